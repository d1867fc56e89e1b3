// Module velkor_zuma.serve: one resident base model serving many LoRA adapters over an
// OpenAI-style HTTP API, with a VRAM report and a dashboard heartbeat.
#include "modules/serve/serve.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace sv = vz::serve;

NB_MODULE(serve, m) {
    // Daemon threads (the batcher, the heartbeat) may still hold this module's objects when
    // the interpreter exits; that is by design, not a reference leak.
    nb::set_leak_warnings(false);
    m.doc() = "One resident base model serving many LoRA adapters over an OpenAI-style HTTP API.";
    sv::register_config(m);   // ServeConfig, _human, _vram_bytes, _rss_bytes, _auto_precision
    sv::register_engine(m);   // _Engine
    sv::register_library(m);  // _library_prepare, _library_base, _library_attach, _library_report
    sv::register_batcher(m);  // _Batcher
    sv::register_models(m);   // ChatMessage, ChatRequest, CompletionRequest, _EventStream, route endpoints
    sv::register_http(m);     // _RequestGuard, _Then, _http_protocol
    sv::register_metrics(m);  // _Metrics
    m.def("_bf16_linears", &sv::install_bf16_linears, "model"_a,
          "Give a model's plain bfloat16 linear layers on the CPU the native few-row kernel; returns how many "
          "(0 without AVX-512 BF16).");
    m.def("build_app", &sv::build_app, "engine"_a.none(), nb::kw_only(), "max_batch"_a.none() = sv::kDefaultMaxBatch,
          "max_body_bytes"_a.none() = sv::kDefaultMaxBodyBytes, "max_waiting"_a.none() = sv::kDefaultMaxWaiting,
          "The fastapi application around a loaded engine: /healthz, /v1/models, /v1/models/{id}, "
          "/v1/chat/completions, /v1/completions and /metrics, decoding up to max_batch rows a step with up to "
          "max_waiting requests queued behind them (503 with Retry-After past that).");
    m.def("_start_heartbeat", &sv::start_heartbeat, "cfg"_a.none(), "engine"_a.none(), "host"_a.none(), "port"_a.none(),
          "Start the dashboard heartbeat thread when the configuration carries a key.");
    m.def("serve", &sv::serve, "cfg"_a.none(), "host"_a.none(), "port"_a.none(), nb::kw_only(),
          "max_batch"_a.none() = sv::kDefaultMaxBatch, "max_waiting"_a.none() = sv::kDefaultMaxWaiting,
          "request_timeout"_a.none() = sv::kDefaultRequestTimeout,
          "keep_alive_timeout"_a.none() = sv::kDefaultKeepAlive,
          "Load the engine, print the VRAM report, start the heartbeat and run the server.");
}
