// Few-bit kernels behind the quantized delta methods: 1-bit signs with a fitted scale, and
// symmetric 4/8-bit codes with one scale per group of a row. Matrices are row-major m x n; every
// row is packed on its own (a row starts on a byte boundary), so rows can be packed and unpacked
// in parallel and a row's bytes are contiguous.
// No Python here: callers release the GIL around every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vz::core::quant {

// +1 / -1 for each of the 8 bits of a byte, least significant bit first; and the two 4-bit codes
// of a byte as values (low nibble first): nibble - 8. Shared by the quantizers and the kernels
// that apply packed records, so that their loops multiply without branches.
const std::array<std::array<float, 8>, 256> &sign_table();
const std::array<std::array<float, 2>, 256> &nibble_table();

// Bytes of one packed row of n values at `bits` bits each.
inline int64_t row_bytes(int64_t n, int bits) { return (n * bits + 7) / 8; }
// Groups of `group` values in a row of n (the last one may be short).
inline int64_t row_groups(int64_t n, int64_t group) { return (n + group - 1) / group; }

// IEEE half precision, round to nearest even (overflow to infinity, subnormals kept).
uint16_t float_to_half(float f);
float half_to_float(uint16_t h);
void to_half(const float *src, uint16_t *dst, std::size_t n);
void from_half(const uint16_t *src, float *dst, std::size_t n);

// Sign bits of x (bit set: value >= 0, stored least significant bit first within a byte) and
// the least-squares scale: the mean absolute value of each row (per_row) or of the whole matrix
// (one scale). bits is m x row_bytes(n, 1); scales holds m values, or 1. Returns false (the
// outputs then undefined) when x holds a NaN or an infinity.
bool sign_pack(const float *x, int64_t m, int64_t n, bool per_row, uint8_t *bits, float *scales);

// out (m x n) = [out +] scale * (+1 | -1) from sign_pack's arrays.
void sign_unpack(const uint8_t *bits, const float *scales, int64_t m, int64_t n, bool per_row, float *out,
                 bool accumulate);

// Scales of signs per row and per column: rows (m) and cols (n) such that rows[i] * cols[j] is the
// least-squares fit of |x[i, j]| (a rank-1 fit of the magnitudes by a few alternating steps, which
// converge fast for non-negative matrices), so that x ~ sign(x) * rows[i] * cols[j]. x is finite.
void fit_row_column_scales(const float *x, int64_t m, int64_t n, float *rows, float *cols);

// out (m x n) = [out +] rows[i] * cols[j] * (+1 | -1) from sign_pack's bits.
void sign_unpack_row_column(const uint8_t *bits, const float *rows, const float *cols, int64_t m, int64_t n, float *out,
                            bool accumulate);

// Symmetric codes of `bits` (4 or 8) bits, one scale per group of `group` values of a row. A
// code q in [-qmax, qmax] (qmax = 2^(bits-1) - 1) stands for q * scale. The scale of a group is
// the one among a few clipping levels of its largest magnitude that gives the smallest squared
// error. 8-bit codes are stored as int8 bytes; 4-bit codes as q + 8 in a nibble, the low nibble
// first. codes is m x row_bytes(n, bits), scales m x row_groups(n, group). Returns false (the
// outputs then undefined) when x holds a NaN or an infinity.
bool group_quant(const float *x, int64_t m, int64_t n, int bits, int64_t group, uint8_t *codes, float *scales);

// out (m x n) = [out +] dequantized group_quant codes.
void group_dequant(const uint8_t *codes, const float *scales, int64_t m, int64_t n, int bits, int64_t group, float *out,
                   bool accumulate);

}  // namespace vz::core::quant
