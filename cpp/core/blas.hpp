// LAPACK / BLAS entry points of the OpenBLAS build shipped in the scipy-openblas32 wheel
// (32-bit integers, symbols prefixed with scipy_), plus thin typed wrappers.
// Column-major (Fortran) storage throughout, as LAPACK expects.
#pragma once

#include <cstdint>
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
void scipy_dgeqrf_(const int *m, const int *n, double *a, const int *lda, double *tau, double *work,
                   const int *lwork, int *info);
void scipy_sorgqr_(const int *m, const int *n, const int *k, float *a, const int *lda, const float *tau, float *work,
                   const int *lwork, int *info);
void scipy_dorgqr_(const int *m, const int *n, const int *k, double *a, const int *lda, const double *tau,
                   double *work, const int *lwork, int *info);
}

namespace vz::core {

// LAPACK reported that the SVD did not converge (info > 0).
struct LinAlgError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thin SVD of an m x n column-major matrix `a` (overwritten), like numpy.linalg.svd(full_matrices=False):
// u is m x k, s has k = min(m, n) values in descending order, vt is k x n; all column-major.
template <typename T>
void gesdd_thin(int m, int n, T *a, T *s, T *u, T *vt);

// C = alpha * op(A) * op(B) + beta * C, column-major.
template <typename T>
void gemm(char ta, char tb, int m, int n, int k, T alpha, const T *a, int lda, const T *b, int ldb, T beta, T *c,
          int ldc);

// Replaces the m x n (m >= n) column-major matrix `a` (leading dimension lda) by the n orthonormal
// columns of its QR factorisation (Householder: geqrf, then orgqr), spanning the same space.
template <typename T>
void orthonormalize(int m, int n, T *a, int lda);

}  // namespace vz::core
