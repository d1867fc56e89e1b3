// Module velkor_zuma.lowrank: low-rank compression of single tensors (truncated SVD, Tucker,
// tensor train), dispatch by method, method advice, round-trip report and merge operators.
#include "modules/lowrank/common.hpp"

namespace nb = nanobind;

NB_MODULE(lowrank, m) {
    m.doc() = "Low-rank compression of single tensors: truncated SVD, Tucker (HOSVD) and tensor train.";
    // The names a pure-Python version of this module would have bound at import.
    m.attr("math") = nb::module_::import_("math");
    nb::module_ dc = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dc.attr("dataclass");
    m.attr("field") = dc.attr("field");
    m.attr("Enum") = nb::module_::import_("enum").attr("Enum");
    m.attr("Sequence") = nb::module_::import_("typing").attr("Sequence");
    m.attr("np") = nb::module_::import_("numpy");
    lr::register_records(m);
    lr::register_algebra(m);
    lr::register_svd(m);
    lr::register_tucker(m);
    lr::register_tt(m);
    lr::register_dispatch(m);
    lr::register_merge(m);
    lr::register_quant(m);
}
