// Module entry: imports the compression names from velkor_zuma.lowrank (an import error when
// that module or one of the names is missing), then builds the records and functions.
#include "modules/deltavault/deltavault.hpp"

#include <string>

namespace nb = nanobind;

NB_MODULE(deltavault, m) {
    nb::module_ lowrank = nb::module_::import_("velkor_zuma.lowrank");
    for (const char *name : {"CompressionMethod", "CompressedTensor", "compress", "decompress",
                             "svd_compress_energy"}) {
        if (!nb::hasattr(lowrank, name)) {
            std::string msg = std::string("cannot import name '") + name + "' from 'velkor_zuma.lowrank'";
            PyErr_SetString(PyExc_ImportError, msg.c_str());
            throw nb::python_error();
        }
        m.attr(name) = lowrank.attr(name);
    }
    m.attr("np") = vz::numpy();
    deltavault::register_library(m);
    deltavault::register_storage(m.attr("ModelLibrary"));
    deltavault::register_stream(m);
    deltavault::register_cluster(m);
}
