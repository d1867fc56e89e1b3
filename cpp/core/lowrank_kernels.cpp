#include "core/lowrank_kernels.hpp"

#include "core/blas.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <type_traits>

extern "C" {
void scipy_openblas_set_num_threads(int);
int scipy_openblas_get_num_threads(void);
}

namespace vz::core::lowrank {

namespace {
constexpr std::size_t kCopyGrain = std::size_t(1) << 16;

// OpenBLAS's thread count for the duration of one kernel: small problems run on the calling
// thread (waking and synchronising BLAS threads costs more than it saves there, and idle
// spinning threads slow down everything else on a busy machine); large ones use every core.
class BlasThreads {
  public:
    explicit BlasThreads(double flops) {
        int want = flops < 4.0e6 ? 1 : int(worker_count());
        prev_ = scipy_openblas_get_num_threads();
        if (want != prev_) {
            scipy_openblas_set_num_threads(want);
            changed_ = true;
        }
    }
    ~BlasThreads() {
        if (changed_) scipy_openblas_set_num_threads(prev_);
    }
    BlasThreads(const BlasThreads &) = delete;
    BlasThreads &operator=(const BlasThreads &) = delete;

  private:
    int prev_ = 1;
    bool changed_ = false;
};

int as_int(int64_t v) { return int(v); }

template <typename T>
void fill_zero(T *p, std::size_t n) {
    std::fill(p, p + n, T(0));
}
}  // namespace

bool lapack_fits(int64_t m, int64_t n) {
    return m >= 0 && n >= 0 && m < INT_MAX / 2 && n < INT_MAX / 2 &&
           double(std::max(m, n)) * double(std::min(m, n)) < double(INT_MAX);
}

template <typename S, typename D>
void convert(const S *src, D *dst, std::size_t n) {
    if constexpr (std::is_same_v<S, D>) {
        parallel_for(n, kCopyGrain * 4, [&](std::size_t b, std::size_t e, unsigned) {
            std::memcpy(dst + b, src + b, (e - b) * sizeof(D));
        });
    } else {
        parallel_for(n, kCopyGrain, [&](std::size_t b, std::size_t e, unsigned) {
            for (std::size_t i = b; i < e; ++i) dst[i] = D(src[i]);
        });
    }
}

double pairwise_sum(const double *a, int64_t n) {
    if (n < 8) {
        double res = 0.;
        for (int64_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        int64_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

template <typename T, typename O, typename S>
TruncatedSvd<O> truncated_svd(const S *a, int64_t m, int64_t n, const RankChooser<T> &choose) {
    TruncatedSvd<O> res;
    res.m = m;
    res.n = n;
    int64_t k = std::min(m, n);
    res.k = k;
    // Row-major m x n is column-major n x m (the transpose): LAPACK's left vectors of the
    // transpose are our right vectors and vice versa, so no transposing copy is needed.
    Buffer<T> work = alloc<T>(std::size_t(m) * std::size_t(n));
    convert(a, work.get(), std::size_t(m) * std::size_t(n));
    Buffer<T> s = alloc<T>(std::size_t(k));
    Buffer<T> u = alloc<T>(std::size_t(m) * std::size_t(k));   // row-major m x k
    Buffer<T> vt = alloc<T>(std::size_t(k) * std::size_t(n));  // row-major k x n
    {
        BlasThreads threads(double(m) * double(n) * double(k));
        gesdd_thin<T>(as_int(n), as_int(m), work.get(), s.get(), vt.get(), u.get());
    }
    work.reset();
    int64_t r = choose(s.get(), k);
    r = std::max<int64_t>(0, std::min(r, k));
    res.r = r;
    if constexpr (std::is_same_v<T, O>) {
        if (r == k) {  // nothing to drop: hand the buffers over
            res.u = std::move(u);
            res.vt = std::move(vt);
        }
    }
    if (!res.u) {
        // u: the first r columns; vt: the first r rows (a contiguous prefix)
        res.u = alloc<O>(std::size_t(m) * std::size_t(r));
        O *dst = res.u.get();
        const T *src = u.get();
        parallel_for(std::size_t(m), std::max<std::size_t>(1, kCopyGrain / std::size_t(std::max<int64_t>(r, 1))),
                     [&](std::size_t b, std::size_t e, unsigned) {
                         for (std::size_t i = b; i < e; ++i)
                             for (int64_t j = 0; j < r; ++j) dst[i * r + j] = O(src[i * k + j]);
                     });
        res.vt = alloc<O>(std::size_t(r) * std::size_t(n));
        convert(vt.get(), res.vt.get(), std::size_t(r) * std::size_t(n));
    }
    res.s = alloc<O>(std::size_t(r));
    for (int64_t j = 0; j < r; ++j) res.s[j] = O(s[j]);
    return res;
}

template <typename T>
void svd_reconstruct(int64_t m, int64_t n, int64_t r, const T *u, const T *s, const T *vt, T *out) {
    if (m == 0 || n == 0) return;
    if (r == 0) {
        fill_zero(out, std::size_t(m) * std::size_t(n));
        return;
    }
    BlasThreads threads(double(m) * double(n) * double(r));
    // Scale the smaller factor, then one product: out^T (n x m, column-major) = vt^T * (u s)^T.
    if (m <= n) {
        Buffer<T> us = alloc<T>(std::size_t(m) * std::size_t(r));
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = 0; j < r; ++j) us[i * r + j] = u[i * r + j] * s[j];
        gemm<T>('N', 'N', as_int(n), as_int(m), as_int(r), T(1), vt, as_int(n), us.get(), as_int(r), T(0), out,
                as_int(n));
    } else {
        Buffer<T> sv = alloc<T>(std::size_t(r) * std::size_t(n));
        for (int64_t j = 0; j < r; ++j)
            for (int64_t c = 0; c < n; ++c) sv[j * n + c] = s[j] * vt[j * n + c];
        gemm<T>('N', 'N', as_int(n), as_int(m), as_int(r), T(1), sv.get(), as_int(n), u, as_int(r), T(0), out,
                as_int(n));
    }
}

template <typename T>
void mode_product(const T *x, int64_t a, int64_t p, int64_t b, const T *mat, int64_t jn, bool mat_is_transpose,
                  T *y) {
    std::size_t total = std::size_t(a) * std::size_t(jn) * std::size_t(b);
    if (total == 0) return;
    if (p == 0) {
        fill_zero(y, total);
        return;
    }
    BlasThreads threads(double(a) * double(b) * double(jn) * double(p));
    if (b == 1) {
        // y (a x jn) = x (a x p) * M^T; column-major: y^T = M * x^T.
        char op = mat_is_transpose ? 'N' : 'T';
        int lda = mat_is_transpose ? as_int(jn) : as_int(p);
        gemm<T>(op, 'N', as_int(jn), as_int(a), as_int(p), T(1), mat, std::max(1, lda), x, as_int(p), T(0), y,
                as_int(jn));
        return;
    }
    // Per slab i: y_i (jn x b) = M * x_i (p x b); column-major: y_i^T = x_i^T * M^T.
    char op = mat_is_transpose ? 'T' : 'N';
    int ldm = mat_is_transpose ? as_int(jn) : as_int(p);
    auto slab = [&](std::size_t i) {
        gemm<T>('N', op, as_int(b), as_int(jn), as_int(p), T(1), x + i * std::size_t(p) * std::size_t(b),
                as_int(b), mat, std::max(1, ldm), T(0), y + i * std::size_t(jn) * std::size_t(b), as_int(b));
    };
    double flops = double(b) * double(jn) * double(p);
    if (a > 1 && flops <= 32.0 * 32.0 * 32.0) {
        // Many small slabs: a plain loop beats one BLAS call per slab.
        auto direct = [&](std::size_t i0, std::size_t i1, unsigned) {
            for (std::size_t i = i0; i < i1; ++i) {
                const T *xi = x + i * std::size_t(p) * std::size_t(b);
                T *yi = y + i * std::size_t(jn) * std::size_t(b);
                for (int64_t j = 0; j < jn; ++j) {
                    T *yrow = yi + std::size_t(j) * std::size_t(b);
                    std::fill(yrow, yrow + b, T(0));
                    for (int64_t q = 0; q < p; ++q) {
                        T mjq = mat_is_transpose ? mat[std::size_t(q) * std::size_t(jn) + std::size_t(j)]
                                                 : mat[std::size_t(j) * std::size_t(p) + std::size_t(q)];
                        const T *xrow = xi + std::size_t(q) * std::size_t(b);
                        for (int64_t l = 0; l < b; ++l) yrow[l] += mjq * xrow[l];
                    }
                }
            }
        };
        std::size_t grain = std::max<std::size_t>(1, std::size_t((1 << 20) / std::max(1.0, flops)));
        parallel_for(std::size_t(a), grain, direct);
        return;
    }
    for (int64_t i = 0; i < a; ++i) slab(std::size_t(i));
}

template <typename T>
void unfold(const T *x, int64_t a, int64_t p, int64_t b, T *out) {
    std::size_t cols = std::size_t(a) * std::size_t(b);
    if (a == 1) {
        convert(x, out, std::size_t(p) * std::size_t(b));
        return;
    }
    parallel_for(std::size_t(p), std::max<std::size_t>(1, kCopyGrain / std::max<std::size_t>(cols, 1)),
                 [&](std::size_t q0, std::size_t q1, unsigned) {
                     for (std::size_t q = q0; q < q1; ++q) {
                         T *row = out + q * cols;
                         for (int64_t i = 0; i < a; ++i) {
                             const T *src = x + (std::size_t(i) * std::size_t(p) + q) * std::size_t(b);
                             std::memcpy(row + std::size_t(i) * std::size_t(b), src, std::size_t(b) * sizeof(T));
                         }
                     }
                 });
}

template <typename T>
TuckerResult<T> tucker_hosvd(const T *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &targets) {
    TuckerResult<T> res;
    const std::size_t d = dims.size();
    std::size_t total = 1;
    for (int64_t e : dims) total *= std::size_t(e);
    Buffer<T> unf = alloc<T>(total);
    for (std::size_t k = 0; k < d; ++k) {
        int64_t a = 1, b = 1;
        for (std::size_t i = 0; i < k; ++i) a *= dims[i];
        for (std::size_t i = k + 1; i < d; ++i) b *= dims[i];
        int64_t p = dims[k];
        unfold(x, a, p, b, unf.get());
        int64_t target = targets[k];
        RankChooser<T> choose = [target](const T *, int64_t kk) { return std::min(target, kk); };
        TruncatedSvd<T> sv = truncated_svd<T, T, T>(unf.get(), p, a * b, choose);
        res.factors.push_back(std::move(sv.u));
        res.ranks.push_back(sv.r);
    }
    unf.reset();
    // Core: project the tensor onto every factor in turn; it shrinks mode by mode.
    std::vector<int64_t> cur = dims;
    Buffer<T> core;
    const T *src = x;
    for (std::size_t k = 0; k < d; ++k) {
        int64_t a = 1, b = 1;
        for (std::size_t i = 0; i < k; ++i) a *= cur[i];
        for (std::size_t i = k + 1; i < d; ++i) b *= cur[i];
        int64_t rk = res.ranks[k];
        Buffer<T> next = alloc<T>(std::size_t(a) * std::size_t(rk) * std::size_t(b));
        mode_product(src, a, cur[k], b, res.factors[k].get(), rk, true, next.get());
        core = std::move(next);
        src = core.get();
        cur[k] = rk;
    }
    if (!core) {  // no modes: the core is the tensor itself
        core = alloc<T>(total);
        convert(x, core.get(), total);
    }
    res.core = std::move(core);
    return res;
}

template <typename T>
Buffer<T> tucker_reconstruct(const T *core, const std::vector<int64_t> &core_dims, const std::vector<const T *> &factors,
                             const std::vector<int64_t> &rows, std::vector<int64_t> &out_dims) {
    std::vector<int64_t> cur = core_dims;
    std::size_t total = 1;
    for (int64_t e : cur) total *= std::size_t(e);
    Buffer<T> out;
    const T *src = core;
    for (std::size_t k = 0; k < factors.size(); ++k) {
        int64_t a = 1, b = 1;
        for (std::size_t i = 0; i < k; ++i) a *= cur[i];
        for (std::size_t i = k + 1; i < cur.size(); ++i) b *= cur[i];
        Buffer<T> next = alloc<T>(std::size_t(a) * std::size_t(rows[k]) * std::size_t(b));
        mode_product(src, a, cur[k], b, factors[k], rows[k], false, next.get());
        out = std::move(next);
        src = out.get();
        cur[k] = rows[k];
    }
    if (!out) {
        out = alloc<T>(total);
        convert(core, out.get(), total);
    }
    out_dims = cur;
    return out;
}

template <typename S, typename O>
TTResult<O> tt_svd(const S *x, const std::vector<int64_t> &dims, int64_t cap) {
    TTResult<O> res;
    const std::size_t d = dims.size();
    std::size_t total = 1;
    for (int64_t e : dims) total *= std::size_t(e);
    // Working matrix C in double precision, row-major.
    Buffer<double> c = alloc<double>(total);
    convert(x, c.get(), total);
    std::size_t elems = total;  // elements of C
    int64_t r_prev = 1;
    res.ranks.push_back(1);
    for (std::size_t k = 0; k + 1 < d; ++k) {
        // C reshaped to (r_prev * n_k) x rest.
        int64_t rows = r_prev * dims[k];
        std::size_t cols = elems / std::size_t(rows);
        RankChooser<double> choose = [cap](const double *, int64_t kk) { return std::min(cap, kk); };
        TruncatedSvd<double> sv = truncated_svd<double, double, double>(c.get(), rows, int64_t(cols), choose);
        int64_t r = sv.r;
        Buffer<O> core = alloc<O>(std::size_t(rows) * std::size_t(r));
        convert(sv.u.get(), core.get(), std::size_t(rows) * std::size_t(r));
        res.cores.push_back(std::move(core));
        // C = diag(s) * Vt: r x cols
        double *vt = sv.vt.get();
        for (int64_t j = 0; j < r; ++j) {
            double sj = sv.s[j];
            double *row = vt + std::size_t(j) * cols;
            for (std::size_t q = 0; q < cols; ++q) row[q] = sj * row[q];
        }
        c = std::move(sv.vt);
        r_prev = r;
        res.ranks.push_back(r);
        elems = std::size_t(r) * cols;
    }
    std::size_t last = std::size_t(r_prev) * std::size_t(dims[d - 1]);
    Buffer<O> core = alloc<O>(last);
    convert(c.get(), core.get(), last);
    res.cores.push_back(std::move(core));
    res.ranks.push_back(1);
    return res;
}

template <typename T>
Buffer<T> tt_reconstruct(const std::vector<const T *> &cores, const std::vector<int64_t> &r0,
                         const std::vector<int64_t> &n, const std::vector<int64_t> &r1) {
    std::size_t rows = std::size_t(r0[0]) * std::size_t(n[0]);  // result viewed as rows x r1[k]
    int64_t bond = r1[0];
    std::size_t size = rows * std::size_t(bond);
    Buffer<T> res = alloc<T>(size);
    convert(cores[0], res.get(), size);
    for (std::size_t k = 1; k < cores.size(); ++k) {
        BlasThreads threads(double(rows) * double(n[k]) * double(r1[k]) * double(bond));
        std::size_t right = std::size_t(n[k]) * std::size_t(r1[k]);
        Buffer<T> next = alloc<T>(rows * right);
        if (rows && right) {
            if (bond == 0) {
                fill_zero(next.get(), rows * right);
            } else {
                // next (rows x right) = res (rows x bond) * G (bond x right); column-major transposes.
                gemm<T>('N', 'N', as_int(int64_t(right)), as_int(int64_t(rows)), as_int(bond), T(1), cores[k],
                        as_int(int64_t(right)), res.get(), as_int(bond), T(0), next.get(), as_int(int64_t(right)));
            }
        }
        res = std::move(next);
        rows *= std::size_t(n[k]);
        bond = r1[k];
    }
    return res;
}

// ---- instantiations ---------------------------------------------------------------------------
template void convert<float, float>(const float *, float *, std::size_t);
template void convert<double, double>(const double *, double *, std::size_t);
template void convert<float, double>(const float *, double *, std::size_t);
template void convert<double, float>(const double *, float *, std::size_t);

template TruncatedSvd<float> truncated_svd<float, float, float>(const float *, int64_t, int64_t,
                                                                const RankChooser<float> &);
template TruncatedSvd<double> truncated_svd<double, double, double>(const double *, int64_t, int64_t,
                                                                   const RankChooser<double> &);
template TruncatedSvd<double> truncated_svd<float, double, double>(const double *, int64_t, int64_t,
                                                                  const RankChooser<float> &);

template void svd_reconstruct<float>(int64_t, int64_t, int64_t, const float *, const float *, const float *, float *);
template void svd_reconstruct<double>(int64_t, int64_t, int64_t, const double *, const double *, const double *,
                                      double *);
template void mode_product<float>(const float *, int64_t, int64_t, int64_t, const float *, int64_t, bool, float *);
template void mode_product<double>(const double *, int64_t, int64_t, int64_t, const double *, int64_t, bool,
                                   double *);
template void unfold<float>(const float *, int64_t, int64_t, int64_t, float *);
template void unfold<double>(const double *, int64_t, int64_t, int64_t, double *);
template TuckerResult<float> tucker_hosvd<float>(const float *, const std::vector<int64_t> &,
                                                 const std::vector<int64_t> &);
template TuckerResult<double> tucker_hosvd<double>(const double *, const std::vector<int64_t> &,
                                                   const std::vector<int64_t> &);
template Buffer<float> tucker_reconstruct<float>(const float *, const std::vector<int64_t> &,
                                                 const std::vector<const float *> &, const std::vector<int64_t> &,
                                                 std::vector<int64_t> &);
template Buffer<double> tucker_reconstruct<double>(const double *, const std::vector<int64_t> &,
                                                   const std::vector<const double *> &, const std::vector<int64_t> &,
                                                   std::vector<int64_t> &);
template TTResult<float> tt_svd<float, float>(const float *, const std::vector<int64_t> &, int64_t);
template TTResult<double> tt_svd<double, double>(const double *, const std::vector<int64_t> &, int64_t);
template Buffer<float> tt_reconstruct<float>(const std::vector<const float *> &, const std::vector<int64_t> &,
                                             const std::vector<int64_t> &, const std::vector<int64_t> &);
template Buffer<double> tt_reconstruct<double>(const std::vector<const double *> &, const std::vector<int64_t> &,
                                               const std::vector<int64_t> &, const std::vector<int64_t> &);

}  // namespace vz::core::lowrank
