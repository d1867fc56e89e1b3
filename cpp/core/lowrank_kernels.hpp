// Dense kernels behind the tensor-compression module: truncated SVD, HOSVD (Tucker), TT-SVD and
// their reconstructions. Arrays are row-major (C order) throughout; LAPACK's column-major view of
// a row-major matrix is its transpose, which the kernels exploit instead of copying.
// No Python here: callers release the GIL around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vz::core::lowrank {

template <typename T>
using Buffer = std::unique_ptr<T[]>;

template <typename T>
Buffer<T> alloc(std::size_t n) {
    return Buffer<T>(new T[n ? n : 1]);
}

// How the leading singular triplets of a matrix are found: LAPACK's full thin SVD, a randomized
// range finder (randomized_svd.hpp), or the one of the two that randomized_svd.hpp's rule picks.
enum class Solver { Exact, Randomized, Auto };

// True when a matrix of these extents can be handed to 32-bit LAPACK: each extent below INT_MAX / 2
// and m * n below INT_MAX, so that every extent, leading dimension and element count the kernels
// pass converts to LAPACK's `int` (checked_int in blas.hpp then never fires). Every caller of the
// LAPACK / BLAS kernels below checks this first and takes another path (numpy's) where it fails.
bool lapack_fits(int64_t m, int64_t n);

// Element-wise conversion (parallel for large inputs).
template <typename S, typename D>
void convert(const S *src, D *dst, std::size_t n);

// Thin SVD of the row-major m x n matrix `a` (overwritten) in LAPACK's gesdd: u is m x k, s has
// k = min(m, n) values in descending order, vt is k x n, all row-major.
template <typename T>
void svd_inplace(T *a, int64_t m, int64_t n, T *s, T *u, T *vt);

// Thin SVD computed in precision T of a row-major matrix of element type S (left untouched).
template <typename T>
struct Svd {
    int64_t m = 0, n = 0, k = 0;
    Buffer<T> u, s, vt;
};
template <typename T, typename S>
Svd<T> thin_svd(const S *a, int64_t m, int64_t n);

// Copies the leading r <= k triplets into row-major outputs u (m x r), s (r), vt (r x n), as O.
template <typename T, typename O>
void keep_leading(const Svd<T> &f, int64_t r, O *u, O *s, O *vt);

// numpy's pairwise summation (the order numpy's add.reduce uses on a contiguous double array).
double pairwise_sum(const double *a, int64_t n);

// out (m x n) = (u * s) @ vt with u m x r, s r values, vt r x n; row-major.
template <typename T>
void svd_reconstruct(int64_t m, int64_t n, int64_t r, const T *u, const T *s, const T *vt, T *out);

// c (m x n) = a (m x k) * b (k x n), all row-major and contiguous, by BLAS (sized to the problem
// like every product here). Extents must suit 32-bit BLAS (lapack_fits).
template <typename T>
void matmul(int64_t m, int64_t n, int64_t k, const T *a, const T *b, T *c);

// n-mode product on x viewed as a x p x b (row-major): y[i, j, l] = sum_q M[j, q] x[i, q, l],
// y is a x jn x b. `mat` is M stored row-major jn x p, or (mat_is_transpose) M's transpose
// stored row-major p x jn.
template <typename T>
void mode_product(const T *x, int64_t a, int64_t p, int64_t b, const T *mat, int64_t jn, bool mat_is_transpose, T *y);

// Mode-k unfolding of x viewed as a x p x b: out is p x (a * b), row q holding x[:, q, :] in
// row-major order.
template <typename T>
void unfold(const T *x, int64_t a, int64_t p, int64_t b, T *out);

// Higher-order SVD of a row-major tensor with extents `dims`: factor k (dims[k] x ranks[k],
// row-major) holds the leading left singular vectors of the mode-k unfolding, and the core
// (extents ranks) the tensor projected on every factor. ranks[k] <= min(dims[k], size / dims[k]).
// `solver` picks how each mode's vectors are found; returns true when any mode used the
// randomized solver.
template <typename T>
bool tucker_hosvd(const T *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &ranks,
                  const std::vector<T *> &factors, T *core, Solver solver = Solver::Exact);

// Tucker reconstruction: the core (extents core_dims) times factor k (rows[k] x core_dims[k],
// row-major) along every mode k < factors.size(), written to out.
template <typename T>
void tucker_reconstruct(const T *core, const std::vector<int64_t> &core_dims, const std::vector<const T *> &factors,
                        const std::vector<int64_t> &rows, T *out);

// Bond ranks of a TT-SVD with cap `cap` (d + 1 entries, first and last 1).
std::vector<int64_t> tt_ranks(const std::vector<int64_t> &dims, int64_t cap);

// TT-SVD in double precision of a row-major tensor (element type S) with the bond ranks of
// tt_ranks; core k (ranks[k] x dims[k] x ranks[k+1]) is written to cores[k] as O. `solver` picks
// how each step's truncated SVD is found; returns true when any step used the randomized solver.
template <typename S, typename O>
bool tt_svd(const S *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &ranks,
            const std::vector<O *> &cores, Solver solver = Solver::Exact);

// Contracts a chain of three-way cores (extents (r0[k], n[k], r1[k]), r1[k] == r0[k+1]) into out,
// r0[0] * n[0] * ... * n[d-1] * r1[d-1] elements.
template <typename T>
void tt_reconstruct(const std::vector<const T *> &cores, const std::vector<int64_t> &r0, const std::vector<int64_t> &n,
                    const std::vector<int64_t> &r1, T *out);

}  // namespace vz::core::lowrank
