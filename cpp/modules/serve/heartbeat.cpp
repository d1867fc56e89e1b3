// Dashboard heartbeat: a daemon thread that posts this endpoint's status every 20 seconds,
// best-effort, when the configuration carries a dashboard key.
//
// The dashboard is a remote server and is not trusted with more than the beat itself:
// - The key travels as a header that urllib never copies into a redirected request, so a
//   dashboard that redirects (to another origin, or to plain http) never receives it again; a
//   redirected POST is re-sent by urllib, if at all, as a bare GET without the body.
// - Each beat has one deadline for everything (connecting, TLS, sending, waiting for the
//   answer, redirects): the request runs on a short-lived sender thread, the beat thread waits
//   for it at most the time-out, and a sender still busy then is stopped by raising TimeoutError
//   in it (it leaves its current socket wait within one per-operation time-out). While one is
//   still stopping, the next beat is skipped, so a dashboard that trickles its answer ties up
//   one thread at most.
#include "modules/serve/serve.hpp"

#include <chrono>
#include <memory>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vz::serve {
using namespace nb::literals;

namespace {

// The dashboard's reporting interval: one beat, then this long asleep.
constexpr double kBeatSeconds = 20.0;
// The deadline of one beat, everything included; a small part of the interval, so that a slow
// dashboard costs at most one lost beat and never delays the next one.
constexpr double kTimeoutSeconds = 4.0;
constexpr const char *kHeartbeatPath = "/api/zuma/endpoints/heartbeat";

// A configuration value usable in the KV arithmetic: a real number, never None or text.
nb::object number(nb::object v) {
    if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr())) {
        bind::raise(PyExc_TypeError, "not a number");
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
        nb::object kv_heads = nb::hasattr(config, "num_key_value_heads") ? number(config.attr("num_key_value_heads"))
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
        nb::object cuda = bind::import("torch").attr("cuda");
        if (bind::truthy(cuda.attr("is_available")())) {
            nb::object info = cuda.attr("mem_get_info")();
            return {nb::int_(info[0]), nb::int_(info[1])};
        }
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
    }
    return {nb::int_(0), nb::int_(0)};
}

// What one beat's sender and the beat thread share; read and written with the GIL held only.
struct Beat {
    bool started = false;   // the sender is inside its guarded request
    bool finished = false;  // and has left it
};

// Marks the beat finished and drops a TimeoutError the beat thread may have aimed at this
// sender in the meantime, so that it never escapes into code outside the request. No Python
// code runs between the two steps (the GIL is held throughout).
void finish(Beat &beat) {
    beat.finished = true;
    PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), nullptr);
}

// The sender thread's body: one request, every ordinary failure swallowed, the response closed
// unread.
void send_beat(const std::shared_ptr<Beat> &beat, nb::object request, nb::object req) {
    nb::object resp;  // outside the guarded part: never released without the GIL (see beat_loop)
#if defined(__GLIBCXX__)
    try {
#endif
        try {
            beat->started = true;
            resp = request.attr("urlopen")(req, "timeout"_a = kTimeoutSeconds);
            resp.attr("close")();
        } catch (nb::python_error &e) {
            finish(*beat);
            if (!ordinary(e)) throw;
            return;
        }
        finish(*beat);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));  // as in beat_loop
    }
#endif
}

void beat_loop(nb::object cfg, nb::object engine, nb::str host, nb::int_ port, nb::object kv, nb::int_ agents) {
    // Declared outside the guarded part so that none of them is released without the GIL when
    // the thread is torn down at interpreter exit (see the handler below).
    nb::object time, socket, json, request, threading, url_text, hostname, body, url, req, sender, sender_fn;
    std::pair<nb::object, nb::object> gpu;
    nb::dict msg, headers;
    std::shared_ptr<Beat> beat;
#if defined(__GLIBCXX__)
    try {
#endif
        time = bind::import("time");
        socket = bind::import("socket");
        json = bind::import("json");
        request = bind::import("urllib.request");
        threading = bind::import("threading");
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
                req = request.attr("Request")(url, "data"_a = body, "headers"_a = headers, "method"_a = "POST");
                // Sent with this request only, never with one that a redirect leads to.
                req.attr("add_unredirected_header")("X-ZUMA-Key", cfg.attr("api_key"));
                // A sender of an earlier beat still being stopped: this beat is skipped.
                if (!sender.is_valid() || !bind::truthy(sender.attr("is_alive")())) {
                    beat = std::make_shared<Beat>();
                    sender_fn = nb::cpp_function(
                        [b = beat](nb::object request, nb::object req) {
                            send_beat(b, std::move(request), std::move(req));
                        },
                        nb::name("heartbeat_send"));
                    sender = threading.attr("Thread")("target"_a = sender_fn, "args"_a = nb::make_tuple(request, req),
                                                      "name"_a = "velkor-zuma-heartbeat-send", "daemon"_a = true);
                    sender.attr("start")();
                    sender.attr("join")("timeout"_a = kTimeoutSeconds);
                    // Past the deadline: stop the sender at its next step, but only while it is
                    // inside its request (the GIL orders this test against its own updates).
                    if (beat->started && !beat->finished) {
                        unsigned long ident = nb::cast<unsigned long>(sender.attr("ident"));
                        PyThreadState_SetAsyncExc(ident, PyExc_TimeoutError);
                    }
                }
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
    nb::str host_text = bind::arg_str(host, "host");
    nb::int_ port_num(bind::arg_int(port, "port"));

    nb::object key = cfg.attr("api_key");
    if (key.is_none() || !bind::truthy(key)) return nb::none();  // no key: no thread, no traffic

    nb::object kv = kv_bytes_per_token(engine);
    Py_ssize_t n = PyObject_Length(engine.attr("adapter_names").ptr());
    if (n < 0) nb::raise_python_error();
    nb::int_ agents(n > 1 ? n : 1);

    nb::object loop = nb::cpp_function(&beat_loop, nb::name("heartbeat_loop"));
    nb::object thread = bind::import("threading")
                            .attr("Thread")("target"_a = loop,
                                            "args"_a = nb::make_tuple(nb::borrow(cfg), nb::borrow(engine), host_text,
                                                                      port_num, kv, agents),
                                            "name"_a = "velkor-zuma-heartbeat", "daemon"_a = true);
    thread.attr("start")();
    return nb::none();
}

}  // namespace vz::serve
