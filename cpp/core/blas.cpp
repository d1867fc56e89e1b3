#include "core/blas.hpp"

#include "core/parallel.hpp"

#include <algorithm>

namespace vz::core {

namespace {
// Held shared by single-threaded BLAS work and alone by a change of the thread count.
std::shared_mutex g_blas_mutex;
}  // namespace

BlasThreads::BlasThreads(double flops, double parallel_from) {
    int want = flops < parallel_from ? 1 : int(worker_count());
    if (want == 1) {
        shared_ = std::shared_lock<std::shared_mutex>(g_blas_mutex);
        if (scipy_openblas_get_num_threads() == 1) return;
        shared_.unlock();
    }
    unique_ = std::unique_lock<std::shared_mutex>(g_blas_mutex);
    if (scipy_openblas_get_num_threads() != want) scipy_openblas_set_num_threads(want);
}

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

template <typename T>
void gesdd_values(int m, int n, T *a, T *s) {
    int k = std::min(m, n);
    if (k == 0) return;
    const char jobz = 'N';
    int lda = std::max(1, m), one = 1;
    std::vector<int> iwork(8 * std::size_t(k));
    int info = 0, lwork = -1;
    T wq = 0, dummy = 0;
    gesdd_call(&jobz, &m, &n, a, &lda, s, &dummy, &one, &dummy, &one, &wq, &lwork, iwork.data(), &info);
    if (info < 0) throw std::invalid_argument("gesdd: illegal argument " + std::to_string(-info));
    lwork = std::max(1, int(wq));
    std::vector<T> work(std::size_t(lwork) + 1);
    gesdd_call(&jobz, &m, &n, a, &lda, s, &dummy, &one, &dummy, &one, work.data(), &lwork, iwork.data(), &info);
    if (info > 0) throw LinAlgError("SVD did not converge");
    if (info < 0) throw std::invalid_argument("gesdd: illegal argument " + std::to_string(-info));
}

template <>
void gemm<float>(char ta, char tb, int m, int n, int k, float alpha, const float *a, int lda, const float *b, int ldb,
                 float beta, float *c, int ldc) {
    scipy_sgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}
template <>
void gemm<double>(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda, const double *b,
                  int ldb, double beta, double *c, int ldc) {
    scipy_dgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

namespace {
inline void geqrf_call(const int *m, const int *n, float *a, const int *lda, float *tau, float *work, const int *lwork,
                       int *info) {
    scipy_sgeqrf_(m, n, a, lda, tau, work, lwork, info);
}
inline void geqrf_call(const int *m, const int *n, double *a, const int *lda, double *tau, double *work,
                       const int *lwork, int *info) {
    scipy_dgeqrf_(m, n, a, lda, tau, work, lwork, info);
}
inline void orgqr_call(const int *m, const int *n, const int *k, float *a, const int *lda, const float *tau,
                       float *work, const int *lwork, int *info) {
    scipy_sorgqr_(m, n, k, a, lda, tau, work, lwork, info);
}
inline void orgqr_call(const int *m, const int *n, const int *k, double *a, const int *lda, const double *tau,
                       double *work, const int *lwork, int *info) {
    scipy_dorgqr_(m, n, k, a, lda, tau, work, lwork, info);
}
}  // namespace

template <typename T>
void orthonormalize(int m, int n, T *a, int lda) {
    if (m == 0 || n == 0) return;
    std::vector<T> tau(static_cast<std::size_t>(n));
    int info = 0, lwork = -1;
    T wq = 0, wq2 = 0;
    geqrf_call(&m, &n, a, &lda, tau.data(), &wq, &lwork, &info);
    if (info < 0) throw std::invalid_argument("geqrf: illegal argument " + std::to_string(-info));
    orgqr_call(&m, &n, &n, a, &lda, tau.data(), &wq2, &lwork, &info);
    if (info < 0) throw std::invalid_argument("orgqr: illegal argument " + std::to_string(-info));
    lwork = std::max({1, int(wq), int(wq2)});
    std::vector<T> work(std::size_t(lwork) + 1);
    geqrf_call(&m, &n, a, &lda, tau.data(), work.data(), &lwork, &info);
    if (info < 0) throw std::invalid_argument("geqrf: illegal argument " + std::to_string(-info));
    orgqr_call(&m, &n, &n, a, &lda, tau.data(), work.data(), &lwork, &info);
    if (info < 0) throw std::invalid_argument("orgqr: illegal argument " + std::to_string(-info));
}

template void orthonormalize<float>(int, int, float *, int);
template void orthonormalize<double>(int, int, double *, int);

template void gesdd_thin<float>(int, int, float *, float *, float *, float *);
template void gesdd_thin<double>(int, int, double *, double *, double *, double *);
template void gesdd_values<float>(int, int, float *, float *);
template void gesdd_values<double>(int, int, double *, double *);

}  // namespace vz::core
