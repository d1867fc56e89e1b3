// LAPACK / BLAS entry points of the OpenBLAS build shipped in the scipy-openblas32 wheel
// (32-bit integers, symbols prefixed with scipy_), plus thin typed wrappers, the conversion of
// extents to those 32-bit integers, and the process-wide policy for OpenBLAS's thread count.
// Column-major (Fortran) storage throughout, as LAPACK expects.
#pragma once

#include <climits>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
void scipy_sgesdd_(const char *jobz, const int *m, const int *n, float *a, const int *lda, float *s, float *u,
                   const int *ldu, float *vt, const int *ldvt, float *work, const int *lwork, int *iwork, int *info);
void scipy_dgesdd_(const char *jobz, const int *m, const int *n, double *a, const int *lda, double *s, double *u,
                   const int *ldu, double *vt, const int *ldvt, double *work, const int *lwork, int *iwork, int *info);
void scipy_sgemm_(const char *ta, const char *tb, const int *m, const int *n, const int *k, const float *alpha,
                  const float *a, const int *lda, const float *b, const int *ldb, const float *beta, float *c,
                  const int *ldc);
void scipy_dgemm_(const char *ta, const char *tb, const int *m, const int *n, const int *k, const double *alpha,
                  const double *a, const int *lda, const double *b, const int *ldb, const double *beta, double *c,
                  const int *ldc);
void scipy_sgeqrf_(const int *m, const int *n, float *a, const int *lda, float *tau, float *work, const int *lwork,
                   int *info);
void scipy_dgeqrf_(const int *m, const int *n, double *a, const int *lda, double *tau, double *work, const int *lwork,
                   int *info);
void scipy_sorgqr_(const int *m, const int *n, const int *k, float *a, const int *lda, const float *tau, float *work,
                   const int *lwork, int *info);
void scipy_dorgqr_(const int *m, const int *n, const int *k, double *a, const int *lda, const double *tau, double *work,
                   const int *lwork, int *info);
// OpenBLAS's own thread count (one setting for the whole process).
void scipy_openblas_set_num_threads(int);
int scipy_openblas_get_num_threads(void);
}

namespace vz::core {

// LAPACK reported that the SVD did not converge (info > 0).
struct LinAlgError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An extent, leading dimension or count as the `int` that this 32-bit-integer (LP64) build of
// LAPACK and BLAS takes. A value outside [0, INT_MAX] would wrap round into a wrong size (a wrong
// result, or a read or write outside the arrays), so it throws std::length_error instead (a
// ValueError in Python). Callers keep their matrices within range beforehand (lowrank::lapack_fits), so on
// their paths this is a guard that never fires, not a way to report a refusal.
inline int checked_int(int64_t v) {
    if (v < 0 || v > INT_MAX)
        throw std::length_error("extent " + std::to_string(v) + " is outside LAPACK's 32-bit integer range");
    return int(v);
}

// Thin SVD of an m x n column-major matrix `a` (overwritten), like numpy.linalg.svd(full_matrices=False):
// u is m x k, s has k = min(m, n) values in descending order, vt is k x n; all column-major.
template <typename T>
void gesdd_thin(int m, int n, T *a, T *s, T *u, T *vt);

// The min(m, n) singular values of an m x n column-major matrix `a` (overwritten), descending,
// without the vectors.
template <typename T>
void gesdd_values(int m, int n, T *a, T *s);

// C = alpha * op(A) * op(B) + beta * C, column-major.
template <typename T>
void gemm(char ta, char tb, int m, int n, int k, T alpha, const T *a, int lda, const T *b, int ldb, T beta, T *c,
          int ldc);

// Replaces the m x n (m >= n) column-major matrix `a` (leading dimension lda) by the n orthonormal
// columns of its QR factorisation (Householder: geqrf, then orgqr), spanning the same space.
template <typename T>
void orthonormalize(int m, int n, T *a, int lda);

// OpenBLAS's thread count is process-wide, so it is changed only when a call needs another one:
// small problems run single-threaded (waking and synchronising BLAS threads costs more than it
// saves there, and on a busy machine a second thread may wait long for a core); larger ones use
// every core (worker_count(), which VZ_NUM_THREADS overrides). The SVD parallelises less well than
// a matrix product, so its bar is higher.
// A change must not overlap a running BLAS call, so single-threaded work shares a lock and a
// change (and multi-threaded work) holds it alone. Guards do not nest: one per call chain.
//
// Products from this many flops (m * n * k) on use every core. Measured with
// benchmarks/bench_lowrank.py, ours and numpy timed in alternation: the bar went from 262144 up to
// 4e6 and back to 1e6, below which a second thread cost more than it saved.
constexpr double kParallelGemmFlops = 1.0e6;
// An SVD (m * n * min(m, n)) from this many on uses every core: gesdd's bidiagonalisation is
// largely matrix-vector work that gains little from threads, so the bar sits two orders of
// magnitude above the product's. It was set with the lazy thread count (no recorded benchmark
// isolates it): lower, small SVDs pay the thread start-up; higher, large ones run on one core.
constexpr double kParallelSvdFlops = 2.0e8;

class BlasThreads {
public:
    // Takes the thread count a call of `flops` work needs: one below `parallel_from`, every
    // worker from it on.
    BlasThreads(double flops, double parallel_from);
    BlasThreads(const BlasThreads &) = delete;
    BlasThreads &operator=(const BlasThreads &) = delete;

private:
    std::shared_lock<std::shared_mutex> shared_;
    std::unique_lock<std::shared_mutex> unique_;
};

}  // namespace vz::core
