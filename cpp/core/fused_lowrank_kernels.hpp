// Internal to fused_lowrank: the work description shared by the driver (fused_lowrank.cpp) and
// the per-instruction-set kernels (fused_lowrank_kernels.inc, compiled once for the baseline
// instruction set and once for AVX2+FMA in fused_lowrank_avx2.cpp).
#pragma once

#include "core/fused_lowrank.hpp"

#include <cstdint>

namespace vz::core::fused::detail {

// Register block of the product kernel: MR rows by two vectors of 32 bytes (NR elements). With
// AVX2's 16 vector registers: 4 x 2 accumulators, the two vectors of B and a broadcast of A take
// 11, leaving the compiler room; NR spans 64 bytes of an output row (a cache line when aligned).
constexpr int kMR = 4;
template <typename T>
constexpr int nr() {
    return int(64 / sizeof(T));
}

// One call's operands. `pre` (when set) is the finished product, m x n row-major, and the
// kernels only add / compare it; otherwise they form it from the factors.
struct Job {
    int64_t m = 0, n = 0, r = 0;
    const void *a = nullptr;
    int64_t a_rs = 0, a_cs = 0;
    const void *b = nullptr;
    int64_t b_rs = 0, b_cs = 0;
    const void *pre = nullptr;
    Src base;
    Dst out;
    bool stream = false;  // write `out` with streaming (non-temporal) stores
    Src target;
    Elem recon = Elem::F32;
    int64_t nc = 0;   // columns per cache tile (a multiple of NR)
    int64_t ldt = 0;  // row stride of the tile buffer (nc rounded up to NR)
};

// Rows [i0, i1) by columns [j0, j1) of the result. `pack` holds r * ldt elements of T and `tile`
// kMR * ldt, both 64-byte aligned (unused when job.pre is set).
struct Range {
    int64_t i0, i1, j0, j1;
};

struct Table {
    void (*add_f32)(const Job &, const Range &, void *pack, void *tile);
    void (*add_f64)(const Job &, const Range &, void *pack, void *tile);
    void (*err_f32)(const Job &, const Range &, void *pack, void *tile, double *sq_diff, double *sq_ref);
    void (*err_f64)(const Job &, const Range &, void *pack, void *tile, double *sq_diff, double *sq_ref);
};

extern const Table kBaselineTable;
// Null when this build has no AVX2 variant (another architecture).
extern const Table *const kAvx2Table;

}  // namespace vz::core::fused::detail
