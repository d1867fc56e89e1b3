// Dashboard heartbeat: a daemon thread that posts this endpoint's status every 20 seconds,
// best-effort, when the configuration carries a dashboard key.
#include "serve.hpp"

#include <chrono>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vz::serve {
using namespace nb::literals;

namespace {

constexpr double kBeatSeconds = 20.0;
constexpr double kTimeoutSeconds = 4.0;
constexpr const char *kHeartbeatPath = "/api/zuma/endpoints/heartbeat";

// A configuration value usable in the KV arithmetic: a real number, never None or text.
nb::object number(nb::object v) {
    if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr())) {
        PyErr_SetString(PyExc_TypeError, "not a number");
        nb::raise_python_error();
    }
    return v;
}

// Key and value bytes of one token across all layers and KV heads, at two bytes per element;
// 0 when the model configuration lacks what it takes.
nb::object kv_bytes_per_token(nb::handle engine) {
    nb::object model = engine.attr("model");
    nb::object config = nb::getattr(model, "config", nb::none());
    if (config.is_none()) return nb::int_(0);
    try {
        nb::object layers = number(config.attr("num_hidden_layers"));
        nb::object attention_heads = number(config.attr("num_attention_heads"));
        nb::object kv_heads = nb::hasattr(config, "num_key_value_heads")
                                  ? number(config.attr("num_key_value_heads"))
                                  : attention_heads;
        nb::object derived = number(config.attr("hidden_size")).floor_div(attention_heads);
        nb::object head = nb::hasattr(config, "head_dim") ? number(config.attr("head_dim")) : derived;
        nb::object two = nb::int_(2);
        return nb::int_(two * layers * kv_heads * head * two);
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::int_(0);
        throw;
    }
}

// (free, total) bytes of the current CUDA device; (0, 0) without one or on any failure.
std::pair<nb::object, nb::object> gpu_memory() {
    try {
        nb::object cuda = vz::import("torch").attr("cuda");
        if (truthy(cuda.attr("is_available")())) {
            nb::object info = cuda.attr("mem_get_info")();
            return {nb::int_(info[0]), nb::int_(info[1])};
        }
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
    }
    return {nb::int_(0), nb::int_(0)};
}

void beat_loop(nb::object cfg, nb::object engine, nb::str host, nb::int_ port, nb::object kv,
               nb::int_ agents) {
    // Declared outside the guarded part so that none of them is released without the GIL when
    // the thread is torn down at interpreter exit (see the handler below).
    nb::object time, socket, json, request, url_text, hostname, body, url, req, resp;
    std::pair<nb::object, nb::object> gpu;
    nb::dict msg, headers;
#if defined(__GLIBCXX__)
    try {
#endif
    time = vz::import("time");
    socket = vz::import("socket");
    json = vz::import("json");
    request = vz::import("urllib.request");
    url_text = nb::str("http://{}:{}/v1").format(host, port);
    for (;;) {
        gpu = gpu_memory();
        nb::object &gpu_free = gpu.first, &gpu_total = gpu.second;

        // The message: configuration and engine read afresh at every beat.
        hostname = socket.attr("gethostname")();
        msg = nb::dict();
        msg["name"] = hostname;
        msg["host"] = hostname;
        msg["url"] = url_text;
        msg["base"] = cfg.attr("base");
        msg["precision"] = cfg.attr("precision");
        msg["adapters"] = nb::list(engine.attr("adapter_names"));
        msg["vram_bytes"] = nb::int_(engine.attr("total_vram"));
        msg["base_vram_bytes"] = nb::int_(engine.attr("base_vram"));
        msg["kv_per_token_bytes"] = kv;
        msg["gpu_total_bytes"] = gpu_total;
        msg["gpu_free_bytes"] = gpu_free;
        msg["n_agents"] = agents;
        msg["status"] = "serving";

        // Sending is best-effort: a lost beat is dropped silently; the response is not read.
        try {
            body = json.attr("dumps")(msg).attr("encode")("utf-8");
            url = nb::str(cfg.attr("api_base")) + nb::str(kHeartbeatPath);
            headers = nb::dict();
            headers["Content-Type"] = "application/json";
            headers["X-ZUMA-Key"] = cfg.attr("api_key");
            req = request.attr("Request")(url, "data"_a = body, "headers"_a = headers,
                                                     "method"_a = "POST");
            resp = request.attr("urlopen")(req, "timeout"_a = kTimeoutSeconds);
            resp.attr("close")();
        } catch (nb::python_error &e) {
            if (!ordinary(e)) throw;
        }

        time.attr("sleep")(kBeatSeconds);
    }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // The process is exiting while this daemon thread waited with the GIL released (on the
        // dashboard, an import or the sleep): the interpreter ends the thread by unwinding its
        // stack, and unwinding on into the Python call machinery crashes the process. Park the
        // thread instead; process exit ends it.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
#endif
}

}  // namespace

nb::object start_heartbeat(nb::handle cfg, nb::handle engine, nb::handle host, nb::handle port) {
    nb::str host_text = vz::arg_str(host, "host");
    nb::int_ port_num(vz::arg_int(port, "port"));

    nb::object key = cfg.attr("api_key");
    if (key.is_none() || !truthy(key)) return nb::none();  // no key: no thread, no traffic

    nb::object kv = kv_bytes_per_token(engine);
    Py_ssize_t n = PyObject_Length(engine.attr("adapter_names").ptr());
    if (n < 0) nb::raise_python_error();
    nb::int_ agents(n > 1 ? n : 1);

    nb::object loop = nb::cpp_function(&beat_loop, nb::name("heartbeat_loop"));
    nb::object thread = vz::import("threading").attr("Thread")(
        "target"_a = loop,
        "args"_a = nb::make_tuple(nb::borrow(cfg), nb::borrow(engine), host_text, port_num, kv, agents),
        "name"_a = "velkor-zuma-heartbeat", "daemon"_a = true);
    thread.attr("start")();
    return nb::none();
}

}  // namespace vz::serve
