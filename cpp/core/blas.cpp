#include "core/blas.hpp"

#include <algorithm>

namespace vz::core {

namespace {
inline void gesdd_call(const char *jobz, const int *m, const int *n, float *a, const int *lda, float *s, float *u,
                       const int *ldu, float *vt, const int *ldvt, float *work, const int *lwork, int *iwork,
                       int *info) {
    scipy_sgesdd_(jobz, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, iwork, info);
}
inline void gesdd_call(const char *jobz, const int *m, const int *n, double *a, const int *lda, double *s, double *u,
                       const int *ldu, double *vt, const int *ldvt, double *work, const int *lwork, int *iwork,
                       int *info) {
    scipy_dgesdd_(jobz, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, iwork, info);
}
}  // namespace

template <typename T>
void gesdd_thin(int m, int n, T *a, T *s, T *u, T *vt) {
    int k = std::min(m, n);
    if (k == 0) return;
    const char jobz = 'S';
    int lda = std::max(1, m), ldu = std::max(1, m), ldvt = std::max(1, k);
    std::vector<int> iwork(8 * std::size_t(k));
    int info = 0, lwork = -1;
    T wq = 0;
    gesdd_call(&jobz, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, &wq, &lwork, iwork.data(), &info);
    if (info < 0) throw std::invalid_argument("gesdd: illegal argument " + std::to_string(-info));
    lwork = std::max(1, int(wq));
    std::vector<T> work(std::size_t(lwork) + 1);
    gesdd_call(&jobz, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work.data(), &lwork, iwork.data(), &info);
    if (info > 0) throw LinAlgError("SVD did not converge");
    if (info < 0) throw std::invalid_argument("gesdd: illegal argument " + std::to_string(-info));
}

template <>
void gemm<float>(char ta, char tb, int m, int n, int k, float alpha, const float *a, int lda, const float *b,
                 int ldb, float beta, float *c, int ldc) {
    scipy_sgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}
template <>
void gemm<double>(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda, const double *b,
                  int ldb, double beta, double *c, int ldc) {
    scipy_dgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

template void gesdd_thin<float>(int, int, float *, float *, float *, float *);
template void gesdd_thin<double>(int, int, double *, double *, double *, double *);

}  // namespace vz::core
