// Dense kernels behind the tensor-compression module: truncated SVD, HOSVD (Tucker), TT-SVD and
// their reconstructions. Arrays are row-major (C order) throughout; LAPACK's column-major view of
// a row-major matrix is its transpose, which the kernels exploit instead of copying.
// No Python here: callers release the GIL around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vz::core::lowrank {

template <typename T>
using Buffer = std::unique_ptr<T[]>;

template <typename T>
Buffer<T> alloc(std::size_t n) {
    return Buffer<T>(new T[n ? n : 1]);
}

// True when a matrix of these extents can be handed to 32-bit LAPACK.
bool lapack_fits(int64_t m, int64_t n);

// Element-wise conversion (parallel for large inputs).
template <typename S, typename D>
void convert(const S *src, D *dst, std::size_t n);

// Result of a truncated thin SVD of a row-major m x n matrix: u is m x r, s has r values
// (descending), vt is r x n, all row-major; k = min(m, n) singular values were computed.
template <typename O>
struct TruncatedSvd {
    int64_t m = 0, n = 0, k = 0, r = 0;
    Buffer<O> u, s, vt;
    std::vector<double> all_s;  // every singular value, only when requested
};

// Picks how many singular triplets to keep (0..k) given all k singular values.
template <typename T>
using RankChooser = std::function<int64_t(const T *s, int64_t k)>;

// Thin SVD computed in precision T of the row-major matrix `a` (element type S, read only), keeping
// the triplets chosen by `choose`; results stored as O.
template <typename T, typename O, typename S>
TruncatedSvd<O> truncated_svd(const S *a, int64_t m, int64_t n, const RankChooser<T> &choose);

// numpy's pairwise summation (the order numpy's add.reduce uses on a contiguous double array).
double pairwise_sum(const double *a, int64_t n);

// out (m x n) = (u * s) @ vt with u m x r, s r values, vt r x n; row-major.
template <typename T>
void svd_reconstruct(int64_t m, int64_t n, int64_t r, const T *u, const T *s, const T *vt, T *out);

// n-mode product on x viewed as a x p x b (row-major): y[i, j, l] = sum_q M[j, q] x[i, q, l],
// y is a x jn x b. `mat` is M stored row-major jn x p, or (mat_is_transpose) M's transpose
// stored row-major p x jn.
template <typename T>
void mode_product(const T *x, int64_t a, int64_t p, int64_t b, const T *mat, int64_t jn, bool mat_is_transpose,
                  T *y);

// Mode-k unfolding of x viewed as a x p x b: out is p x (a * b), row q holding x[:, q, :] in
// row-major order.
template <typename T>
void unfold(const T *x, int64_t a, int64_t p, int64_t b, T *out);

// Higher-order SVD of a row-major tensor with extents `dims`, target rank per mode.
template <typename T>
struct TuckerResult {
    std::vector<Buffer<T>> factors;   // factor k: dims[k] x ranks[k], row-major
    std::vector<int64_t> ranks;
    Buffer<T> core;                   // extents ranks
};
template <typename T>
TuckerResult<T> tucker_hosvd(const T *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &targets);

// Tucker reconstruction: core (extents core_dims) times factor k (rows[k] x core_dims[k], row-major)
// along every mode k < factors.size(). Returns the result and its extents.
template <typename T>
Buffer<T> tucker_reconstruct(const T *core, const std::vector<int64_t> &core_dims, const std::vector<const T *> &factors,
                             const std::vector<int64_t> &rows, std::vector<int64_t> &out_dims);

// TT-SVD in double precision of a row-major tensor (element type S), bond ranks capped at `cap`;
// cores stored as O, core k of extents (ranks[k], dims[k], ranks[k+1]).
template <typename O>
struct TTResult {
    std::vector<Buffer<O>> cores;
    std::vector<int64_t> ranks;  // d + 1 entries, ranks[0] = ranks[d] = 1
};
template <typename S, typename O>
TTResult<O> tt_svd(const S *x, const std::vector<int64_t> &dims, int64_t cap);

// Contracts a chain of three-way cores (extents (r_k, n_k, r_{k+1})) into one row-major array of
// r_0 * n_0 * ... * n_{d-1} * r_d elements.
template <typename T>
Buffer<T> tt_reconstruct(const std::vector<const T *> &cores, const std::vector<int64_t> &r0,
                         const std::vector<int64_t> &n, const std::vector<int64_t> &r1);

}  // namespace vz::core::lowrank
