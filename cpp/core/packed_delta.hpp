// Rows times a packed delta, straight from its stored form:
//
//   Y (rows x m) = X (rows x n) · Deltaᵀ,   Delta = U·diag(s)·Vt + R    (Delta is m x n)
//
// for the few-bit delta records (see quant_kernels.hpp for the packing):
//   sign      R[j][k] = ±scale_j (one bit per element, a scale per row or one per matrix)
//   codes     R[j][k] = q[j][k] · scale[j][k / group]   (symmetric 4- or 8-bit codes)
// with an optional low-rank part whose U (m x r) and Vt (r x n) are float16 and s float32.
//
// Delta is never formed: each delta row's bytes are unpacked a vector at a time in registers and
// multiplied into every row of X while they are there, and the low-rank part is applied as the
// two thin products (X·Vtᵀ)·diag(s) and then times Uᵀ. What a call reads: the packed bytes once
// (per block of X rows), the factors once, X from cache.
//
// Numerics (the contract of the fused low-rank kernels, fused_lowrank.hpp, for 16-bit inputs):
// X may be float32, float16 or bfloat16 (16-bit patterns); every element is widened to float32
// exactly and all sums are float32 chains (fused multiply-adds where the processor has them), so
// the result is float32 and agrees with numpy's float32 `x @ decompress(record).T` to float
// rounding (the order of the additions differs). The output is written, not accumulated.
//
// Instruction sets: AVX2 with FMA and F16C where the processor has all three (chosen at run
// time), else the portable loops; VZ_FUSED_BASELINE=1 forces the portable loops, as it does for
// the fused low-rank kernels, so tests compare both paths on one machine.
//
// Runs on all worker threads (parallel_for over blocks of delta rows); no Python here, callers
// release the GIL.
#pragma once

#include "core/fused_lowrank.hpp"

#include <cstdint>

namespace vz::core::packed {

enum class Kind { Sign, Codes };

struct Delta {
    int64_t m = 0, n = 0;
    Kind kind = Kind::Sign;
    const uint8_t *data = nullptr;  // m rows of row_bytes(n, bits) bytes (bits 1 for Sign)
    const float *scales = nullptr;  // Sign: m (per_row) or 1; Codes: m x groups
    bool per_row = true;            // Sign only
    int bits = 1;                   // 1 (Sign), 4 or 8 (Codes)
    int64_t group = 1;              // Codes: values per scale (the last group of a row may be short)
    int64_t rank = 0;               // low-rank part (0: none)
    const uint16_t *u = nullptr;    // m x rank, float16
    const float *s = nullptr;       // rank
    const uint16_t *vt = nullptr;   // rank x n, float16
};

// A row-major rows x n input: element (i, k) at x + (i * ld + k) * elem_size(kind); kind F32,
// F16 or BF16 (F64 is refused by the caller's glue).
struct Rows {
    const void *data = nullptr;
    fused::Elem kind = fused::Elem::F32;
    int64_t rows = 0, ld = 0;
};

// y (rows x m, row stride ldy) = X · Deltaᵀ.
void apply(const Delta &d, const Rows &x, float *y, int64_t ldy);

// Whether the AVX2 path would be used now (false under VZ_FUSED_BASELINE=1).
bool uses_avx2();

namespace detail {
// One kernel: rows [0, rows) of y for delta rows [j0, j1). x is rows x n float32 contiguous;
// ts is rows x rank (X·Vtᵀ·diag(s)), null when rank is 0.
using RowsFn = void (*)(const Delta &d, const float *x, int64_t rows, const float *ts, float *y, int64_t ldy,
                        int64_t j0, int64_t j1);
void rows_baseline(const Delta &d, const float *x, int64_t rows, const float *ts, float *y, int64_t ldy, int64_t j0,
                   int64_t j1);
// Null when this build has no AVX2 variant (another architecture).
extern const RowsFn kRowsAvx2;
}  // namespace detail

}  // namespace vz::core::packed
