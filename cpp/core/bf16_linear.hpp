// A linear layer over bfloat16 weights for a few rows at a time, as a decode step needs:
//
//   Y (m x n) = X (m x k) · Wᵀ (+ bias),   W (n x k) row-major, X, W, bias and Y bfloat16
//
// What it is for: one decode step multiplies every weight matrix of a model by a handful of rows.
// That is a matter of reading the weights once at the memory's speed and, with a dozen rows, of
// the processor's bfloat16 dot products. The kernel streams W's rows as they lie (no repacked
// copy of the model), a block of four W rows at a time from L1 against every row of X, with
// AVX-512 BF16 dot products (two bfloat16 products summed into a float32 lane per instruction).
//
// Numerics: products and sums in float32 (bfloat16 inputs are exact in float32), the bias added
// in float32, one rounding to bfloat16 (to nearest, ties to even) at the end. A row's result
// does not depend on the other rows of X or on how the work is split between threads.
//
// Instruction sets: the AVX-512 BF16 kernel where the processor has it (chosen at run time);
// `native()` says whether it does. Elsewhere the portable loop computes the same sums one
// product at a time (correct, but slow: callers use it only for tests).
//
// Threads: the output columns are split between a pool of persistent threads (started on first
// use, `threads` in all including the caller). No Python here; callers release the GIL. Calls
// from several threads at once take turns.
#pragma once

#include <cstdint>

namespace vz::core::bf16 {

// Whether this processor runs the AVX-512 BF16 kernel (VZ_FUSED_BASELINE=1 says no).
bool native();

// y = x · wᵀ (+ bias); bias may be null. Sizes must be positive and the buffers hold m*k, n*k,
// n and m*n elements.
void linear(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, int64_t n, const uint16_t *bias, uint16_t *y,
            unsigned threads);

namespace detail {
// Output columns [j0, j1) of y for all m rows.
using ColsFn = void (*)(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, const uint16_t *bias, uint16_t *y,
                        int64_t n, int64_t j0, int64_t j1);
void cols_portable(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, const uint16_t *bias, uint16_t *y,
                   int64_t n, int64_t j0, int64_t j1);
extern const ColsFn kColsAvx512;  // null where the compiler cannot build it
}  // namespace detail

}  // namespace vz::core::bf16
