// The serve entry point: web-stack check, engine load, the VRAM report on standard output,
// the heartbeat, then the application under uvicorn until the server stops.
#include "serve.hpp"

#include <string>

namespace vz::serve {
using namespace nb::literals;

namespace {

std::string text(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

bool installed(const char *name) {
    return !vz::import("importlib.util").attr("find_spec")(name).is_none();
}

}  // namespace

nb::object serve(nb::handle cfg, nb::handle host, nb::handle port) {
    nb::str host_text = vz::arg_str(host, "host");
    nb::int_ port_num(vz::arg_int(port, "port"));

    // 1. The web stack, checked without importing it.
    if (!installed("uvicorn") || !installed("fastapi"))
        throw nb::builtin_exception(nb::exception_type::runtime_error,
                                    "serve needs fastapi + uvicorn: pip install \"velkor-zuma[serve]\"");

    nb::object print = vz::import("builtins").attr("print");
    print(nb::str(("Loading base '" + text(cfg.attr("base")) + "' (" + text(cfg.attr("precision")) +
                   ") ...").c_str()),
          "flush"_a = true);

    // 3. Load failures propagate; nothing more is printed and no server starts.
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
    line("  device          : " + text(engine.attr("device")));
    line("  precision       : " + text(cfg.attr("precision")));
    line("  base (resident) : " + text(human(base_vram)));
    line("  adapters loaded : " + std::to_string(n) + "  " + text(names));
    line("  total VRAM      : " + text(human(total_vram)));
    if (n > 0) {
        nb::object naive = base_vram * nb::int_(n);
        line("  naive (N full models) : ~" + text(human(naive)));
        if (truthy(total_vram)) {
            nb::object ratio = naive / total_vram;  // true division
            line("  ZUMA saving           : " + text(nb::str("{:.2f}").format(ratio)) + "x less VRAM");
        }
    }
    line(rule);
    line("\nServing on http://" + text(host_text) + ":" + text(port_num));
    line("  GET  /v1/models");
    line("  POST /v1/chat/completions   (model = one of " + text(engine.attr("servable")()) + ")");
    print(nb::str(report.c_str(), report.size()), "flush"_a = true);

    attr("_start_heartbeat")(cfg, engine, host_text, port_num);

    nb::module_ uvicorn = vz::import("uvicorn");
    uvicorn.attr("run")(attr("build_app")(engine), "host"_a = host_text, "port"_a = port_num,
                        "log_level"_a = "info");
    return nb::none();
}

}  // namespace vz::serve
