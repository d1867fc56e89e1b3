// ServeConfig and the three machine probes: byte counts as text, CUDA memory allocated by this
// process, and the smallest safe precision for this machine.
#include "serve.hpp"

namespace vz::serve {
using namespace nb::literals;

nb::str human(nb::handle b_obj) {
    double b = vz::arg_float(b_obj, "b");
    static const char *const units[] = {"B", "KB", "MB", "GB"};
    for (int i = 0;; ++i) {
        if (b < 1024.0 || i == 3) {
            // The host's own float formatting, so inf/nan read exactly as format(b, ".2f").
            char *txt = PyOS_double_to_string(b, 'f', 2, 0, nullptr);
            if (!txt) nb::raise_python_error();
            std::string out = std::string(txt) + " " + units[i];
            PyMem_Free(txt);
            return nb::str(out.c_str(), out.size());
        }
        b /= 1024.0;
    }
}

nb::object vram_bytes() {
    try {
        nb::object cuda = vz::import("torch").attr("cuda");
        if (!truthy(cuda.attr("is_available")())) return nb::none();
        return nb::int_(cuda.attr("memory_allocated")());
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::none();
        throw;
    }
}

int64_t vram_or_zero() {
    nb::object v = vram_bytes();
    if (v.is_none()) return 0;
    return nb::cast<int64_t>(v);
}

nb::str auto_precision() {
    bool cuda = false;
    try {
        cuda = truthy(vz::import("torch").attr("cuda").attr("is_available")());
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::str("fp32");
        throw;
    }
    if (!cuda) return nb::str("fp32");
    try {
        vz::import("bitsandbytes");  // a real import: a broken install counts as missing
        return nb::str("int8");
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::str("fp16");
        throw;
    }
}

void register_config(nb::module_ &m) {
    using vz::Field;
    vz::make_dataclass(
        m, "ServeConfig",
        {Field::req("base", "str"),
         Field::req("adapters", "dict[str, str]"),
         Field::def("precision", "str", nb::str("auto")),
         Field::def("cache_dir", "str | None", nb::none()),
         Field::def("max_new_tokens", "int", nb::int_(256)),
         Field::def("api_base", "str", nb::str(kDefaultApiBase)),
         Field::def("api_key", "str | None", nb::none())},
        /*frozen=*/false, nb::dict(),
        "Configuration of the adapter server: base source, adapter name -> source, precision, "
        "hub cache directory, default generation length and the dashboard to report to.");

    m.def("_human", &human, "b"_a.none(), "Byte count as text with two decimals and a unit up to GB.");
    m.def("_vram_bytes", &vram_bytes,
          "CUDA memory allocated by this process, or None without a usable GPU.");
    m.def("_auto_precision", &auto_precision,
          "Smallest safe precision for this machine: 'int8', 'fp16' or 'fp32'.");
}

}  // namespace vz::serve
