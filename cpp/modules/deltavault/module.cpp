// Module entry: imports the compression names from velkor_zuma.lowrank (an import error when
// that module or one of the names is missing), then builds the records and functions.
#include "modules/deltavault/deltavault.hpp"

NB_MODULE(deltavault, m) {
    namespace dv = vz::deltavault;
    for (const char *name : {"CompressionMethod", "CompressedTensor", "compress", "decompress", "svd_compress_energy"})
        m.attr(name) = vz::bind::from_import("velkor_zuma.lowrank", name);
    m.attr("np") = vz::bind::numpy();
    dv::register_library(m);                       // CompressedDelta, ModelLibrary, _nbytes, reconstruction_error
    dv::register_storage(m.attr("ModelLibrary"));  // ModelLibrary.save / load
    dv::register_stream(m);                        // LibraryReader, open_library, create_library,
                                                   // add_finetune_from, export_finetune
    dv::register_cluster(m);                       // add_finetunes_from and its task
    dv::register_lora(m);                          // export_lora
}
