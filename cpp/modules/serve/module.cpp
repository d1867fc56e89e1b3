// Module velkor_zuma.serve: one resident base model serving many LoRA adapters over an
// OpenAI-style HTTP API, with a VRAM report and a dashboard heartbeat.
#include "serve.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(serve, m) {
    m.doc() = "One resident base model serving many LoRA adapters over an OpenAI-style HTTP API.";
    vz::serve::register_config(m);
    vz::serve::register_engine(m);
    vz::serve::register_models(m);
    m.def("build_app", &vz::serve::build_app, "engine"_a.none(),
          "The fastapi application around a loaded engine: /healthz, /v1/models and "
          "/v1/chat/completions.");
    m.def("_start_heartbeat", &vz::serve::start_heartbeat, "cfg"_a.none(), "engine"_a.none(), "host"_a.none(), "port"_a.none(),
          "Start the dashboard heartbeat thread when the configuration carries a key.");
    m.def("serve", &vz::serve::serve, "cfg"_a.none(), "host"_a.none(), "port"_a.none(),
          "Load the engine, print the VRAM report, start the heartbeat and run the server.");
}
