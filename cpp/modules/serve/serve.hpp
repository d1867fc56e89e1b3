// Shared declarations of the adapter server module: the configuration record and machine
// probes, the adapter engine, the web application, the dashboard heartbeat and the entry point.
// Every heavy library (torch, transformers, peft, fastapi, uvicorn) is imported inside the call
// that needs it; the module itself needs pydantic only.
#pragma once

#include "bind/bind.hpp"

#include <cstdint>
#include <string>
#include <utility>

namespace vz::serve {

inline constexpr const char *kModule = "velkor_zuma.serve";

// Default dashboard that receives heartbeats when the configuration names no other.
inline constexpr const char *kDefaultApiBase = "https://dashboard.velkor-zuma.dev";

// A class or function of this module looked up at call time (never held in a C++ static).
inline nb::object attr(const char *name) { return bind::module_attr(kModule, name); }

// An "ordinary" failure: a subclass of Exception (KeyboardInterrupt and SystemExit are not).
inline bool ordinary(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// Non-empty text (an exact or derived str with at least one character).
inline bool nonempty_str(nb::handle h) { return PyUnicode_Check(h.ptr()) && PyUnicode_GetLength(h.ptr()) > 0; }

// ---- configuration and probes (config.cpp) ----
nb::str human(nb::handle b);
nb::object vram_bytes();           // int or None
int64_t vram_or_zero();            // _vram_bytes() or 0
nb::str auto_precision();
bool cpu_native_bf16();  // AVX-512 BF16 or AMX-BF16 in the CPU's flags
// Gives the model's plain bfloat16 linear layers on the CPU the native few-row kernel
// (bf16_layers.cpp); returns how many, 0 where the processor lacks AVX-512 BF16.
int64_t install_bf16_linears(nb::handle model);
void register_config(nb::module_ &m);

// Resident memory of this process in bytes (the kernel's own count), or -1 where unknown.
int64_t rss_now();

// ---- adapter engine (engine.cpp) ----
void register_engine(nb::module_ &m);
// The engine's generation lock, shared by direct `generate` calls and the request batcher.
nb::object generation_lock(nb::handle engine);
// Tokens the model can attend to (its context), or 0 when its configuration does not say.
int64_t context_limit(nb::handle engine);

// Holds a threading.Lock for one scope. acquire() releases the GIL while it waits.
struct LockGuard {
    nb::object lock;
    explicit LockGuard(nb::object l);
    ~LockGuard();
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;
};

// ---- a model library's fine-tunes as models (library_models.cpp) ----
void register_library(nb::module_ &m);
// A direct `generate` for a library fine-tune: every row gets it until the end call (under the
// engine's generation lock). False, changing nothing, for any other name.
bool library_generate_begin(nb::handle engine, nb::handle name);
void library_generate_end(nb::handle engine) noexcept;

// ---- request batcher (batcher.cpp) ----
void register_batcher(nb::module_ &m);
// A new batcher over a loaded engine (a `_Batcher`), decoding up to `max_batch` rows a step with
// up to `max_waiting` requests queued behind them.
nb::object make_batcher(nb::handle engine, int64_t max_batch, int64_t max_waiting);

// ---- web application and request models (app.cpp) ----
void register_models(nb::module_ &m);
nb::object build_app(nb::handle engine, nb::handle max_batch, nb::handle max_body_bytes, nb::handle max_waiting);
inline constexpr int64_t kDefaultMaxBatch = 16;
// Requests that may wait for a row before new ones get 503 with Retry-After.
inline constexpr int64_t kDefaultMaxWaiting = 256;
inline constexpr int64_t kDefaultMaxBodyBytes = 4 << 20;
inline constexpr const char *kApiKeyVariable = "VELKOR_ZUMA_API_KEY";
// A request's head and body must arrive within this many seconds of its first byte.
inline constexpr double kDefaultRequestTimeout = 30.0;
// A connection idle this long (before its first request or between requests) is closed.
inline constexpr double kDefaultKeepAlive = 5.0;

// ---- HTTP face (http.cpp): request guard, error shape, connection deadlines ----
void register_http(nb::module_ &m);
// Handlers that give every refusal of the framework (404, 405, 422, 500) OpenAI's error body.
void install_error_shape(nb::handle app);
// uvicorn's h11 protocol class with the request deadline and idle limit.
nb::object http_protocol(nb::handle request_timeout, nb::handle keep_alive_timeout);

// ---- metrics (metrics.cpp) ----
void register_metrics(nb::module_ &m);

// ---- dashboard heartbeat (heartbeat.cpp) ----
nb::object start_heartbeat(nb::handle cfg, nb::handle engine, nb::handle host, nb::handle port);

// ---- entry point (entry.cpp) ----
nb::object serve(nb::handle cfg, nb::handle host, nb::handle port, nb::handle max_batch, nb::handle max_waiting,
                 nb::handle request_timeout, nb::handle keep_alive_timeout);

}  // namespace vz::serve
