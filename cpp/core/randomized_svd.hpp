// Truncated SVD by a randomized range finder (Halko, Martinsson and Tropp, 2011) with block Krylov
// iterations (Musco and Musco, 2015): the leading singular triplets of an m x n matrix at a cost of
// about m * n * rank per pass over the matrix, instead of the m * n * min(m, n) of a full
// decomposition.
//
// Design notes (what may change and what must stay):
// - Deterministic. The test matrices come from a counter-based generator: every entry is a pure
//   function of (seed, block, index), so neither the thread count nor the order of generation
//   changes them. The Frobenius norm that an energy rank is measured against is summed over
//   fixed-size chunks in a fixed order. (OpenBLAS's own rounding still varies with its thread
//   count, on the exact path as well; with one thread count the same input gives the same record.)
// - Basis: b = rank + oversampling Gaussian start vectors are multiplied by A and orthonormalised
//   (Householder QR); each of kKrylovDepth further blocks is A times the previous block's image
//   under A^T, projected off every column before it (twice, since once is not enough in floating
//   point) and orthonormalised. The A^T-images are the rows of B = Q^T A, so B costs no extra
//   pass: 2 * (depth + 1) passes of b columns in all. The error of A ~ Q B is known exactly as
//   ||A||_F^2 - ||B||_F^2.
// - Why Krylov rather than plain power iterations: on the hardest model-shaped delta, pure
//   Gaussian noise (a flat spectrum), keeping rank k of 300..2816-wide matrices, two power
//   iterations lose up to 1.4 % of relative Frobenius error against the exact truncation, four
//   0.6 %, eight 0.25 %; the Krylov basis of depth 3 (8 passes, like three power iterations) stays
//   within 0.25 % on all of them. Its basis is 4 * (rank + 10) wide, which sets when it pays.
// - The leading triplets are those of Q B: an SVD of the small matrix B, then U = Q * (B's left
//   vectors). Row-major inputs and outputs, as the other kernels of this module.
// - The solver choice ("exact", "randomized", "auto") and its constants live here, beside the
//   algorithm whose cost they weigh; the exact path is the LAPACK one in lowrank_kernels.
#pragma once

#include "core/lowrank_kernels.hpp"

#include <cstdint>

namespace vz::core::lowrank {

// Extra start vectors beyond the wanted rank (Halko et al. recommend 5 to 10): the upper end,
// for accuracy of the last wanted triplets, at (kKrylovDepth + 1) * 10 extra basis columns.
constexpr int64_t kOversampling = 10;
// Krylov blocks after the first (see the notes above for the measurement behind 3).
constexpr int kKrylovDepth = 3;
// Any fixed value serves: only its being fixed matters (the same input gives the same record).
constexpr uint64_t kSeed = 0x5f3759df2f6b9a1dULL;

// "auto" takes the randomized path when the matrix is at least this wide on its smaller side...
// (The crossover measurement below starts at 256; at 128 the basis fraction already allows only
// rank <= 6, and below it the exact SVD of so small a matrix is quick, so "auto" keeps to it.)
constexpr int64_t kAutoMinSide = 128;
// ...and the Krylov basis, 4 * (rank + 10), is at most this fraction of the smaller side, that is
// rank + 10 <= min(m, n) / 8. Measured single-threaded (the shared two-core machine's load made
// threaded timings meaningless) on float32 and float64 matrices 256^2, 512^2, 1024^2 and
// 2816 x 1024 (benchmarks/bench_solvers.py, crossover section): the randomized path was 1.2x to
// 2.8x faster than the exact one at a basis of half the smaller side, 1.0x to 2.2x at five
// eighths, 0.6x to 1.8x at three quarters, and 8x to 19x at an eighth.
constexpr double kAutoBasisFraction = 0.5;
// The energy path doubles its start vectors and gives up for the exact SVD once the basis would
// pass this fraction of the smaller side: the same break-even as "auto", so that the work thrown
// away is at most about what the exact decomposition costs again.
constexpr double kEnergyBasisFraction = 0.5;
// First basis on the energy path (before oversampling), unless min_rank or max_rank says otherwise.
// Not measured: smaller, typical delta ranks (8 to 16) need a second, doubled basis; larger, a
// target reached at a low rank pays for a wider first basis than it needs.
constexpr int64_t kEnergyFirstRank = 16;

// The subspace-iteration path, for ranks whose Krylov basis would be too wide: rank + oversampling
// start vectors and kPowerIterations passes of A A^T, each followed by orthonormalisation (which
// keeps float32 stable), then the SVD of the small projected matrix. It costs about
// 2 * (kPowerIterations + 1) passes of m * n * l plus as many QRs of m x l and n x l, all BLAS-3,
// against LAPACK's bidiagonalisation, half of it matrix-vector, for the exact SVD.
// Measured on the hardest case for it, a 4096 x 4096 rank-64 signal under Gaussian noise with a
// 1.2-bit budget keeping 1,074 triplets (mostly noise, at 2 bits): relative error of the coded
// matrix 0.3201 exact; 0.3255 with 2 iterations and a sixteenth's margin, 0.3229 with 2 and a
// quarter, 0.3217 with 4 and a sixteenth, 0.3222 with 3 and an eighth (the choice: within 1 %).
constexpr int kPowerIterations = 3;
// "auto" takes the subspace-iteration path while its basis is at most this fraction of the
// smaller side. Its cost, 2 * (kPowerIterations + 1) = 8 passes of 2 m n l flops and the QRs, stays
// below the exact SVD's at half the side by the flop count; measured at 0.29 of the side on a
// 4096 x 4096 float32 matrix on two cores, it took 7 s against 58 s exact (2 iterations).
constexpr double kPowerBasisFraction = 0.5;

// Columns of the subspace-iteration basis for `rank` triplets: rank plus kOversampling or an
// eighth of the rank, whichever is larger (the wider margin holds the last wanted triplets at
// the ranks of a whole budget).
int64_t power_basis(int64_t rank);

// True when the leading `rank` triplets should be found by subspace iteration under `solver`:
// never for "exact", nor when use_randomized already takes the Krylov path; for "randomized"
// whenever the basis is narrower than min(m, n); for "auto" when min(m, n) >= kAutoMinSide and
// the basis is at most kPowerBasisFraction of it.
bool use_power(Solver solver, int64_t m, int64_t n, int64_t rank);

// The leading `rank` triplets (power_basis(rank) < min(m, n)) of the row-major m x n matrix `a`
// by subspace iteration, in precision T. Returns false, doing nothing else, when `a` holds a
// value that is not finite. Deterministic: its start vectors come from a fixed stream.
template <typename T>
bool power_svd(const T *a, int64_t m, int64_t n, int64_t rank, Svd<T> &out);

// Columns of the randomized basis for `rank` triplets: (rank + oversampling) * (depth + 1).
int64_t randomized_basis(int64_t rank);

// True when the leading `rank` triplets of an m x n matrix should be found by the randomized
// solver under `solver`. "randomized": whenever the basis is narrower than min(m, n) (otherwise
// it spans the whole space and the exact SVD is cheaper for the same answer); "auto": when
// additionally min(m, n) >= kAutoMinSide and the basis is at most kAutoBasisFraction of it.
bool use_randomized(Solver solver, int64_t m, int64_t n, int64_t rank);

// True when every element of the n values is finite (the randomized path leaves non-finite input to
// the exact solver, so that both report it the same way).
template <typename T>
bool all_finite(const T *a, std::size_t n);

// Squared Frobenius norm in double precision, summed in fixed-size chunks in a fixed order.
template <typename T>
double squared_norm(const T *a, std::size_t n);

// The leading `rank` singular triplets (k = rank, randomized_basis(rank) <= min(m, n)) of the row-major m x n
// matrix `a` (left untouched), computed in precision T, into `out`. Returns false, doing nothing
// else, when `a` holds a value that is not finite: the caller then takes the exact path.
template <typename T>
bool randomized_svd(const T *a, int64_t m, int64_t n, int64_t rank, Svd<T> &out);

// Rank choice of the energy-target truncation, computed on a randomized basis grown block by block.
struct EnergyRequest {
    double energy;      // clamped target in [0, 1]
    int64_t min_rank;   // lower bound on the rank (>= 1)
    int64_t max_rank;   // upper bound, or -1 for none (>= 1 otherwise)
};

// Grows a randomized basis of `a` (row-major m x n) until its leading triplets hold the requested
// fraction of ||a||_F^2 (the exact total): on success fills `out` (k >= rank triplets) and `rank`
// (the smallest such rank, bounded as the exact rule bounds it) and returns true. Returns false,
// having done no harm, when the basis would grow past kEnergyBasisFraction of min(m, n), or the
// input is not finite: the caller then takes the exact path.
template <typename T>
bool randomized_svd_energy(const T *a, int64_t m, int64_t n, const EnergyRequest &req, Svd<T> &out, int64_t &rank);

}  // namespace vz::core::lowrank
