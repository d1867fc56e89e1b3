// Fused element-wise passes of the model library, on dense C-ordered buffers of IEEE floats.
// No Python here: callers pass pointers and element counts and release the GIL around calls.
// Every pass runs on all worker threads (parallel_for) and gives the same bits as the
// corresponding sequence of numpy operations (the reductions agree to float rounding only,
// since numpy sums pairwise).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vz::core::deltavault {

// Element types the fused passes handle: IEEE binary16, binary32 and binary64, and bfloat16
// (the upper half of a binary32, as stored in checkpoints; numpy has no such type, callers
// pass its 16-bit patterns).
enum class Float { F16, F32, F64, BF16 };

std::size_t itemsize(Float k);

// out[i] = float32(w[i] - b[i]), the difference formed in `calc` (the type numpy gives the
// difference of the two operands) and rounded to float32 afterwards. bfloat16 operands are
// widened exactly; with calc F32 their difference is the float32 one (calc BF16 rounds it to
// bfloat16 first, as a bfloat16 subtraction would). With b == nullptr the
// pass is a plain cast of w to float32 (`calc` is then ignored). `out` must not overlap the
// inputs.
void delta_to_f32(const void *w, Float wk, const void *b, Float bk, Float calc, float *out, std::size_t n);

// out[i] = b[i] + d[i], computed and stored in `outk` (F32 or F64), b converted from `bk`.
// `out` may be the same buffer as `d` when `outk` is F32 (in-place update of d).
void add_base(const void *b, Float bk, const float *d, void *out, Float outk, std::size_t n);

// Sums of the squared float32 difference and of the squared reference:
//   x = float32(a[i]), y = float32(b[i]), e = x - y (float32),
//   *sq_diff = sum of double(e * e), *sq_ref = sum of double(y * y),
// the products in float32 and the sums in float64, as numpy's
// `np.sum(d * d, dtype=np.float64)` does.
void squared_error_sums(const void *a, Float ak, const void *b, Float bk, std::size_t n, double *sq_diff,
                        double *sq_ref);

// IEEE binary16 <-> binary32 conversions (round to nearest even), as numpy performs them.
float half_to_float(std::uint16_t h);
std::uint16_t float_to_half(float f);

}  // namespace vz::core::deltavault
