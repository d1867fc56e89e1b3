// Mixed precision over singular vectors: a matrix kept as the product A * B^T of its leading
// singular triplets, A_i = sqrt(s_i) U_i and B_i = sqrt(s_i) V_i, every kept vector quantized on
// its own at 2, 3, 4 or 8 bits a value with one half-precision scale; how many triplets each
// matrix keeps and at which width is set by one bit budget shared by all the matrices of a
// fine-tune (allocate below).
//
// Design notes (what may change and what must stay):
// - Stored form, per matrix of extents m x n keeping r triplets: widths (r bytes, each 0, 2, 3, 4
//   or 8), scales (r x 2 half-precision values: A_i's, then B_i's) and one code stream in which
//   triplet i holds A_i's m codes, then B_i's n codes, each vector packed least significant bit
//   first and starting on a byte boundary. The stream's length follows from the widths alone
//   (code_bytes), so a stored record is checked against it before anything is decoded.
// - Codes: width 2 stands for (c - 1.5) * scale, c in 0..3 ({+-0.5, +-1.5} * scale); width
//   b >= 3 for (c - q) * scale with q = 2^(b-1) - 1, c in 0..2q (the integers +-q). Round to nearest.
// - The scale of a vector is the one among clip fractions 1, 0.9, ..., 0.4 of its largest
//   magnitude that gives the smallest squared error, after rounding it to half precision (the
//   value stored is the value searched).
// - The budget's model of a width's error (kLevelError) and the bits of a step may change; the
//   stored form may not without a new method name.
// No Python here: callers release the GIL around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vz::core::mixed {

constexpr int kLevels = 5;
// Widths a triplet may take, in bits a value (0: not kept).
constexpr int kWidths[kLevels] = {0, 2, 3, 4, 8};
// Expected squared error of a triplet kept at each width, relative to s_i^2: twice the relative
// mean squared error of round-to-nearest of a Gaussian vector at that width (once per factor).
constexpr double kLevelError[kLevels] = {1.0, 0.235, 0.0748, 0.023, 1e-4};
// Bits a kept triplet pays besides its codes: its two half-precision scales.
constexpr int64_t kScaleBits = 32;

inline bool valid_width(int w) { return w == 0 || w == 2 || w == 3 || w == 4 || w == 8; }
inline int level_of(int w) { return w == 0 ? 0 : w == 2 ? 1 : w == 3 ? 2 : w == 4 ? 3 : 4; }

// Bytes of one packed vector of `len` values at `bits` bits.
inline int64_t vector_bytes(int64_t len, int bits) { return (len * bits + 7) / 8; }

// Bytes of the code stream of r triplets with these widths for an m x n matrix; -1 when a width
// is not one of kWidths or the count overflows.
int64_t code_bytes(const uint8_t *widths, int64_t r, int64_t m, int64_t n);

// One matrix's spectrum for the budget: its extents and its k singular values, descending.
struct Spectrum {
    int64_t m = 0, n = 0;
    const double *s = nullptr;
    int64_t k = 0;
};

// One budget of `budget_bits` over all `mats`: a max-heap holds one upgrade step per triplet
// (its width to the next one), costing (m + n) * (b' - b) bits, plus kScaleBits when the triplet
// is first kept, and gaining s_i^2 * (kLevelError[b] - kLevelError[b']); the best gain per bit is
// taken while it fits (a step that does not fit is dropped), and that triplet's next step pushed.
// widths[j] receives matrix j's widths, trailing unkept triplets trimmed (so its length is the
// number of triplets that matrix keeps). Returns the bits spent.
double allocate(const std::vector<Spectrum> &mats, double budget_bits, std::vector<std::vector<uint8_t>> &widths);

// The min(m, n) singular values, descending, of the row-major m x n matrix `a` (left untouched),
// without the vectors (LAPACK's gesdd, jobz 'N': a fraction of the full decomposition's cost).
// Extents must suit 32-bit LAPACK (lowrank::lapack_fits).
void singular_values(const float *a, int64_t m, int64_t n, float *s);

// Expected relative squared error of one matrix under `widths` by the budget's model:
// sum_i s_i^2 kLevelError[w_i] / sum_i s_i^2 (0 for a zero spectrum).
double predicted_error(const Spectrum &sp, const uint8_t *widths, int64_t r);

// Codes the r leading triplets of a thin SVD: u is m x k row-major (left vectors as columns),
// s the singular values, vt k x n row-major (r <= k). codes receives code_bytes(...) bytes,
// scales r x 2 half-precision values. Throws std::invalid_argument when a scale does not fit half
// precision.
void encode(const float *u, int64_t k, const float *s, const float *vt, int64_t m, int64_t n, const uint8_t *widths,
            int64_t r, uint8_t *codes, uint16_t *scales);

// The dequantized factors: a is m x r row-major (A_i as column i), bt r x n row-major (B_i as
// row i). A triplet of width 0 gives zeros.
void decode(const uint8_t *codes, const uint16_t *scales, const uint8_t *widths, int64_t r, int64_t m, int64_t n,
            float *a, float *bt);

}  // namespace vz::core::mixed
