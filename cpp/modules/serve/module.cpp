// Module velkor_zuma.serve: one resident base model serving many LoRA adapters over an
// OpenAI-style HTTP API, with a VRAM report and a dashboard heartbeat.
#include "serve.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(serve, m) {
    // Daemon threads (the batcher, the heartbeat) may still hold this module's objects when
    // the interpreter exits; that is by design, not a reference leak.
    nb::set_leak_warnings(false);
    m.doc() = "One resident base model serving many LoRA adapters over an OpenAI-style HTTP API.";
    vz::serve::register_config(m);
    vz::serve::register_engine(m);
    vz::serve::register_batcher(m);
    vz::serve::register_models(m);
    m.def("build_app", &vz::serve::build_app, "engine"_a.none(), nb::kw_only(),
          "max_batch"_a.none() = vz::serve::kDefaultMaxBatch,
          "max_body_bytes"_a.none() = vz::serve::kDefaultMaxBodyBytes,
          "The fastapi application around a loaded engine: /healthz, /v1/models and "
          "/v1/chat/completions, with requests decoded together up to max_batch at a time.");
    m.def("_start_heartbeat", &vz::serve::start_heartbeat, "cfg"_a.none(), "engine"_a.none(), "host"_a.none(), "port"_a.none(),
          "Start the dashboard heartbeat thread when the configuration carries a key.");
    m.def("serve", &vz::serve::serve, "cfg"_a.none(), "host"_a.none(), "port"_a.none(), nb::kw_only(),
          "max_batch"_a.none() = vz::serve::kDefaultMaxBatch,
          "Load the engine, print the VRAM report, start the heartbeat and run the server.");
}
