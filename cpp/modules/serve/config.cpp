// ServeConfig and the three machine probes: byte counts as text, CUDA memory allocated by this
// process, and the smallest safe precision for this machine.
#include "modules/serve/serve.hpp"

#include <cstdio>
#include <string>
#if defined(__linux__)
#include <unistd.h>
#elif defined(__APPLE__)
#include <mach/mach.h>
#elif defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#endif

namespace vz::serve {
using namespace nb::literals;

nb::str human(nb::handle b_obj) {
    double b = bind::arg_float(b_obj, "b");
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
        nb::object cuda = bind::import("torch").attr("cuda");
        if (!bind::truthy(cuda.attr("is_available")())) return nb::none();
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

int64_t rss_now() {
#if defined(__linux__)
    // The second field of statm is the resident set in pages.
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long long size = 0, resident = 0;
    int got = std::fscanf(f, "%lld %lld", &size, &resident);
    std::fclose(f);
    long page = sysconf(_SC_PAGESIZE);
    if (got != 2 || resident < 0 || page <= 0) return -1;
    return (int64_t) resident * page;
#elif defined(__APPLE__)
    mach_task_basic_info_data_t info;
    mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
    if (task_info(mach_task_self(), MACH_TASK_BASIC_INFO, (task_info_t) &info, &count) != KERN_SUCCESS) return -1;
    return (int64_t) info.resident_size;
#elif defined(_WIN32)
    PROCESS_MEMORY_COUNTERS pmc;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return -1;
    return (int64_t) pmc.WorkingSetSize;
#else
    return -1;
#endif
}

bool cpu_native_bf16() {
#if defined(__linux__)
    // The kernel lists the CPU's feature flags in /proc/cpuinfo; every core lists the same ones,
    // so the first "flags" line says it. AVX-512 BF16 and AMX-BF16 compute bfloat16 natively;
    // without them torch widens every bfloat16 product to float32 in software.
    std::FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return false;
    std::string line;
    bool found = false, done = false;
    char chunk[4096];
    while (!done && std::fgets(chunk, sizeof chunk, f)) {
        line += chunk;
        if (line.empty() || line.back() != '\n') continue;  // a line longer than the chunk: read on
        if (line.compare(0, 5, "flags") == 0) {
            line.back() = ' ';
            for (const char *flag : {" avx512_bf16 ", " amx_bf16 "})
                if (line.find(flag) != std::string::npos) found = true;
            done = true;
        }
        line.clear();
    }
    std::fclose(f);
    return found;
#else
    return false;
#endif
}

nb::str auto_precision() {
    bool cuda = false;
    try {
        cuda = bind::truthy(bind::import("torch").attr("cuda").attr("is_available")());
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::str("fp32");
        throw;
    }
    // On the CPU a step mostly reads weights: bfloat16 halves the bytes, and a CPU that computes it
    // natively (AVX-512 BF16, AMX) also multiplies it faster than float32. Without those
    // instructions torch widens every product in software, and fp32 stays the choice.
    // (The probe is looked up on the module, where a test may stand in for another machine.)
    if (!cuda) return nb::str(bind::truthy(attr("_cpu_has_bf16")()) ? "bf16" : "fp32");
    try {
        bind::import("bitsandbytes");  // a real import: a broken install counts as missing
        return nb::str("int8");
    } catch (nb::python_error &e) {
        if (ordinary(e)) return nb::str("fp16");
        throw;
    }
}

void register_config(nb::module_ &m) {
    using bind::Field;
    nb::object cls = bind::make_dataclass(
        m, "ServeConfig",
        {Field::req("base", "str"), Field::req("adapters", "dict[str, str]"),
         Field::def("precision", "str", nb::str("auto")), Field::def("cache_dir", "str | None", nb::none()),
         Field::def("max_new_tokens", "int", nb::int_(256)), Field::def("api_base", "str", nb::str(kDefaultApiBase)),
         Field::def("api_key", "str | None", nb::none())},
        /*frozen=*/false, nb::dict(),
        "Configuration of the adapter server: base source, adapter name -> source, precision, "
        "hub cache directory, default generation length and the dashboard to report to.");
    // A model library to serve (its base and stored fine-tunes) and the fine-tunes chosen (None:
    // all): plain class attributes set on an instance, so that the record's fields stay as they are.
    nb::setattr(cls, "library", nb::none());
    nb::setattr(cls, "finetunes", nb::none());

    m.def("_human", &human, "b"_a.none(), "Byte count as text with two decimals and a unit up to GB.");
    m.def("_vram_bytes", &vram_bytes, "CUDA memory allocated by this process, or None without a usable GPU.");
    m.def(
        "_rss_bytes",
        []() -> nb::object {
            int64_t n = rss_now();
            return n < 0 ? nb::none() : nb::object(nb::int_(n));
        },
        "Resident host memory of this process in bytes, or None where the system does not say.");
    m.def("_auto_precision", &auto_precision,
          "Smallest safe precision for this machine: 'int8' or 'fp16' with CUDA; 'bf16' or 'fp32' on the CPU.");
    m.def("_cpu_has_bf16", &cpu_native_bf16,
          "Whether this CPU computes bfloat16 natively (AVX-512 BF16 or AMX-BF16, from its feature flags).");
}

}  // namespace vz::serve
