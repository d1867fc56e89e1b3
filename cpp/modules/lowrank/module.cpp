// Module velkor_zuma.lowrank: low-rank compression of single tensors (truncated SVD, Tucker,
// tensor train), dispatch by method, method advice, round-trip report and merge operators.
#include "modules/lowrank/common.hpp"

namespace nb = nanobind;
namespace bind = vz::bind;

NB_MODULE(lowrank, m) {
    m.doc() = "Low-rank compression of single tensors: truncated SVD, Tucker (HOSVD) and tensor train.";
    // The names a pure-Python version of this module would have bound at import.
    m.attr("math") = bind::import("math");
    nb::module_ dc = bind::import("dataclasses");
    m.attr("dataclass") = dc.attr("dataclass");
    m.attr("field") = dc.attr("field");
    m.attr("Enum") = bind::import("enum").attr("Enum");
    m.attr("Sequence") = bind::import("typing").attr("Sequence");
    m.attr("np") = bind::numpy();
    vz::lowrank::register_records(m);       // CompressionMethod, CompressedTensor, CompressionReport
    vz::lowrank::register_algebra(m);       // _unfold, _fold, _mode_dot, _relative_frobenius_error
    vz::lowrank::register_svd(m);           // svd_compress, svd_compress_energy, svd_decompress
    vz::lowrank::register_tucker(m);        // tucker_compress, tucker_decompress
    vz::lowrank::register_tt(m);            // tt_compress, tt_decompress
    vz::lowrank::register_dispatch(m);      // compress, decompress, suggest_method, roundtrip_report
    vz::lowrank::register_merge(m);         // compressed_concat, compressed_weighted_mean
    vz::lowrank::register_quant(m);         // sign / svd_quant compress and decompress, compress_best
    vz::lowrank::register_mixed(m);         // svd_mixed: spectra, one budget, compress, decompress, factors
    vz::lowrank::register_packed(m);        // _apply_packed (rows times a packed delta)
}
