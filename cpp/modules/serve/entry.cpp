// The serve entry point: web-stack check, engine load, the VRAM report on standard output,
// the heartbeat, then the application under uvicorn until the server stops.
#include "modules/serve/serve.hpp"

#include <string>

namespace vz::serve {
using namespace nb::literals;

namespace {

bool installed(const char *name) { return !bind::import("importlib.util").attr("find_spec")(name).is_none(); }

bool loopback(const std::string &host) {
    return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

}  // namespace

nb::object serve(nb::handle cfg, nb::handle host, nb::handle port, nb::handle max_batch, nb::handle max_waiting,
                 nb::handle request_timeout, nb::handle keep_alive_timeout) {
    nb::str host_text = bind::arg_str(host, "host");
    nb::int_ port_num(bind::arg_int(port, "port"));
    nb::int_ batch(bind::arg_int(max_batch, "max_batch"));
    nb::int_ waiting(bind::arg_int(max_waiting, "max_waiting"));
    double request_s = bind::arg_float(request_timeout, "request_timeout");
    double keep_alive_s = bind::arg_float(keep_alive_timeout, "keep_alive_timeout");
    if (bind::to_i64(batch) < 1)
        bind::raise(PyExc_ValueError, "max_batch must be at least 1, got " + bind::text(batch));
    if (bind::to_i64(waiting) < 1)
        bind::raise(PyExc_ValueError, "max_waiting must be at least 1, got " + bind::text(waiting));
    if (!(request_s > 0)) bind::raise(PyExc_ValueError, "request_timeout must be above 0 seconds");
    if (!(keep_alive_s > 0)) bind::raise(PyExc_ValueError, "keep_alive_timeout must be above 0 seconds");

    // The web stack, checked without importing it.
    if (!installed("uvicorn") || !installed("fastapi"))
        bind::raise(PyExc_RuntimeError, "serve needs fastapi + uvicorn: pip install \"velkor-zuma[serve]\"");

    nb::object print = bind::import("builtins").attr("print");
    nb::object library = nb::getattr(cfg, "library", nb::none());
    std::string loading = library.is_none() ? "base '" + bind::text(cfg.attr("base")) + "'"
                                            : "library '" + bind::text(library) + "'";
    print(nb::str(("Loading " + loading + " (" + bind::text(cfg.attr("precision")) + ") ...").c_str()),
          "flush"_a = true);

    // Load failures propagate; nothing more is printed and no server starts.
    nb::object engine = attr("_Engine")(cfg).attr("load")();

    nb::object names = engine.attr("adapter_names");
    Py_ssize_t n = PyObject_Length(names.ptr());
    if (n < 0) nb::raise_python_error();
    nb::object base_vram = engine.attr("base_vram");
    nb::object total_vram = engine.attr("total_vram");

    const std::string rule(60, '=');
    std::string report;
    auto line = [&report](const std::string &s) {
        if (!report.empty()) report += "\n";
        report += s;
    };
    line("\n" + rule);
    line("velkor-zuma serve - VRAM proof");
    line("  device          : " + bind::text(engine.attr("device")));
    std::string precision = bind::text(cfg.attr("precision"));
    // bfloat16 on a CPU without native support runs, but torch widens it in software.
    if (precision == "bf16" && !nb::str("cuda").equal(engine.attr("device")) && !bind::truthy(attr("_cpu_has_bf16")()))
        precision += " (emulated: this CPU has no native bfloat16; fp32 may be faster)";
    line("  precision       : " + precision);
    // Without CUDA the weights live in host memory: there the same before/after readings are
    // taken of the process's resident set, and the report says so.
    nb::object base_rss = nb::getattr(engine, "base_rss", nb::int_(0));
    bool host_memory = !nb::str("cuda").equal(engine.attr("device")) && bind::truthy(base_rss);
    nb::object base_bytes = host_memory ? base_rss : base_vram;
    nb::object total_bytes = host_memory ? nb::getattr(engine, "total_rss", nb::int_(0)) : total_vram;
    const std::string unit = host_memory ? "host RAM" : "VRAM";
    line("  base (resident) : " + bind::text(human(base_bytes)) +
         (host_memory ? "  (host RAM: process RSS, no CUDA device)" : ""));
    line("  adapters loaded : " + std::to_string(n) + "  " + bind::text(names));
    line((host_memory ? "  total host RAM  : " : "  total VRAM      : ") + bind::text(human(total_bytes)) +
         (host_memory ? "  (RSS added by the base and its adapters)" : ""));
    for (nb::handle l : attr("_library_report")(engine)) line(bind::text(l));
    if (n > 0) {
        nb::object naive = base_bytes * nb::int_(n);
        line("  naive (N full models) : ~" + bind::text(human(naive)));
        if (bind::truthy(total_bytes)) {
            nb::object ratio = naive / total_bytes;  // true division
            line("  ZUMA saving           : " + bind::text(nb::str("{:.2f}").format(ratio)) + "x less " + unit);
        }
    }
    line(rule);
    line("\nServing on http://" + bind::text(host_text) + ":" + bind::text(port_num));
    line("  GET  /v1/models");
    line("  POST /v1/chat/completions   (model = one of " + bind::text(engine.attr("servable")()) + ")");
    print(nb::str(report.c_str(), report.size()), "flush"_a = true);

    nb::object key = bind::import("os").attr("environ").attr("get")(kApiKeyVariable, "");
    if (!bind::truthy(key) && !loopback(bind::text(host_text)))
        print(nb::str(("WARNING: serving on " + bind::text(host_text) +
                       " without an API key: anyone who can reach port " + bind::text(port_num) +
                       " can use these models. Set " + kApiKeyVariable + " to require 'Authorization: Bearer <key>'.")
                          .c_str()),
              "file"_a = bind::import("sys").attr("stderr"), "flush"_a = true);

    attr("_start_heartbeat")(cfg, engine, host_text, port_num);

    nb::module_ uvicorn = bind::import("uvicorn");
    nb::object app = attr("build_app")(engine, "max_batch"_a = batch, "max_waiting"_a = waiting);
    // The h11 protocol with deadlines: a request must arrive whole in time and an idle
    // connection is closed, so slow or silent clients cannot hold the server's sockets.
    nb::object protocol = attr("_http_protocol")("request_timeout"_a = request_s,
                                                 "keep_alive_timeout"_a = keep_alive_s);
    nb::object server = uvicorn.attr("Server")(uvicorn.attr("Config")(app, "host"_a = host_text, "port"_a = port_num,
                                                                      "log_level"_a = "info", "http"_a = protocol,
                                                                      "timeout_keep_alive"_a = keep_alive_s));
    // Ctrl-C / SIGTERM: uvicorn waits for open requests before it stops, so first end the
    // generations (the running rows stop at their next step, waiting requests get 503).
    nb::object state = nb::getattr(app, "state", nb::none());
    nb::object batcher = state.is_none() ? nb::none() : nb::getattr(state, "batcher", nb::none());
    if (!batcher.is_none()) {
        nb::object uvicorn_exit = server.attr("handle_exit");
        nb::object on_exit = nb::cpp_function(
            [batcher, uvicorn_exit](nb::handle sig, nb::handle frame) {
                batcher.attr("shutdown")();
                uvicorn_exit(sig, frame);
            },
            nb::name("handle_exit"));
        nb::setattr(server, "handle_exit", on_exit);
    }
    // As uvicorn.run does: the Ctrl-C that stopped the server ends here, and a server that
    // never started (say, the port is taken) exits the process with uvicorn's startup-failure
    // status.
    try {
        server.attr("run")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
    }
    if (!batcher.is_none()) {
        batcher.attr("shutdown")();
        batcher.attr("join")(10.0);
    }
    if (!bind::truthy(server.attr("started")))
        bind::import("sys").attr("exit")(bind::import("uvicorn.config").attr("STARTUP_FAILURE"));
    return nb::none();
}

}  // namespace vz::serve
