// Module velkor_zuma.lowrank: low-rank compression of single tensors (truncated SVD, Tucker,
// tensor train), dispatch by method, method advice, round-trip report and merge operators.
#include "modules/lowrank/common.hpp"

NB_MODULE(lowrank, m) {
    m.doc() = "Low-rank compression of single tensors: truncated SVD, Tucker (HOSVD) and tensor train.";
    lr::register_records(m);
    lr::register_algebra(m);
    lr::register_svd(m);
    lr::register_tucker(m);
    lr::register_tt(m);
    lr::register_dispatch(m);
    lr::register_merge(m);
}
