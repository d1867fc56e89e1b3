#include "core/lowrank_kernels.hpp"

#include "core/blas.hpp"
#include "core/randomized_svd.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace vz::core::lowrank {

namespace {
// Work per thread before a loop is split over the cores (elements copied / multiply-adds): about
// a millisecond, so that starting and joining a thread (slow when the cores are busy) pays off.
// (Raised from 1 << 16 with the lazy BLAS thread count. Smaller, mid-sized copies pay a thread
// start-up that costs more than it saves; larger, they stay on one core.)
constexpr std::size_t kCopyGrain = std::size_t(1) << 20;
constexpr double kLoopGrain = double(1 << 21);

template <typename T>
void fill_zero(T *p, std::size_t n) {
    std::fill(p, p + n, T(0));
}
}  // namespace

// Every LAPACK / BLAS call below passes its extents through checked_int (blas.hpp): the library
// takes 32-bit integers, and the callers' lapack_fits check keeps the extents within their range.
// The bound on each side (INT_MAX / 2) is a margin for LAPACK's own `int` arithmetic on an extent;
// the product bound (m * n < INT_MAX) is what keeps every count the kernels pass, up to a whole
// matrix, representable.
bool lapack_fits(int64_t m, int64_t n) {
    return m >= 0 && n >= 0 && m < INT_MAX / 2 && n < INT_MAX / 2 &&
           double(std::max(m, n)) * double(std::min(m, n)) < double(INT_MAX);
}

template <typename S, typename D>
void convert(const S *src, D *dst, std::size_t n) {
    if constexpr (std::is_same_v<S, D>) {
        parallel_for(n, kCopyGrain, [&](std::size_t b, std::size_t e, unsigned) {
            std::memcpy(dst + b, src + b, (e - b) * sizeof(D));
        });
    } else {
        parallel_for(n, kCopyGrain, [&](std::size_t b, std::size_t e, unsigned) {
            for (std::size_t i = b; i < e; ++i) dst[i] = D(src[i]);
        });
    }
}

// numpy's pairwise summation, with the constants of numpy's umath loops: 8 partial sums unrolled,
// blocks of up to 128 (PW_BLOCKSIZE) summed so, longer ranges split in two at a multiple of 8. The
// same constants give the same rounding, so the energy rank matches numpy's to the last bit.
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

namespace {
// dst (cols x rows, row-major) = transpose of src (rows x cols, row-major), in cache blocks.
template <typename T>
void transpose(const T *src, int64_t rows, int64_t cols, T *dst) {
    // 32 x 32 elements: a float64 tile is 8 KiB, so the source and destination tiles fit in a
    // 32 KiB L1 data cache together, and each of the tile's 32 rows fills whole 64-byte lines.
    constexpr int64_t B = 32;
    for (int64_t i0 = 0; i0 < rows; i0 += B)
        for (int64_t j0 = 0; j0 < cols; j0 += B) {
            int64_t i1 = std::min(rows, i0 + B), j1 = std::min(cols, j0 + B);
            for (int64_t i = i0; i < i1; ++i)
                for (int64_t j = j0; j < j1; ++j)
                    dst[std::size_t(j) * std::size_t(rows) + std::size_t(i)] =
                        src[std::size_t(i) * std::size_t(cols) + std::size_t(j)];
        }
}
}  // namespace

template <typename T>
void svd_inplace(T *a, int64_t m, int64_t n, T *s, T *u, T *vt) {
    // m >= 11/6 n is gesdd's own bound for its QR-first path (MNTHR = INT(MINMN * 11 / 6) in
    // LAPACK's [sd]gesdd). Below 16384 elements (128 x 128) the two transposing copies are not
    // worth it: the decomposition is too short for either path to matter (no benchmark sets it).
    if (6 * m >= 11 * n && double(m) * double(n) >= 16384.0) {
        // Much taller than wide: LAPACK's QR-first path for a tall column-major matrix runs
        // markedly faster than the LQ-first path it would take on the transpose, so hand it the
        // matrix itself (a transposing copy) and transpose the factors back.
        const int64_t k = n;
        Buffer<T> col = alloc<T>(std::size_t(m) * std::size_t(n));
        transpose(a, m, n, col.get());
        Buffer<T> uc = alloc<T>(std::size_t(m) * std::size_t(k));
        Buffer<T> vc = alloc<T>(std::size_t(k) * std::size_t(n));
        {
            BlasThreads threads(double(m) * double(n) * double(k), kParallelSvdFlops);
            gesdd_thin<T>(checked_int(m), checked_int(n), col.get(), s, uc.get(), vc.get());
        }
        transpose(uc.get(), k, m, u);   // column-major m x k -> row-major
        transpose(vc.get(), n, k, vt);  // column-major k x n -> row-major
        return;
    }
    // Row-major m x n is column-major n x m (the transpose): LAPACK's left vectors of the
    // transpose are our right vectors and vice versa, so no transposing copy is needed.
    BlasThreads threads(double(m) * double(n) * double(std::min(m, n)), kParallelSvdFlops);
    gesdd_thin<T>(checked_int(n), checked_int(m), a, s, vt, u);
}

template <typename T, typename S>
Svd<T> thin_svd(const S *a, int64_t m, int64_t n) {
    Svd<T> f;
    f.m = m;
    f.n = n;
    f.k = std::min(m, n);
    Buffer<T> work = alloc<T>(std::size_t(m) * std::size_t(n));
    convert(a, work.get(), std::size_t(m) * std::size_t(n));
    f.s = alloc<T>(std::size_t(f.k));
    f.u = alloc<T>(std::size_t(m) * std::size_t(f.k));
    f.vt = alloc<T>(std::size_t(f.k) * std::size_t(n));
    svd_inplace<T>(work.get(), m, n, f.s.get(), f.u.get(), f.vt.get());
    return f;
}

template <typename T, typename O>
void keep_leading(const Svd<T> &f, int64_t r, O *u, O *s, O *vt) {
    const int64_t m = f.m, n = f.n, k = f.k;
    const T *src = f.u.get();
    parallel_for(std::size_t(m), std::max<std::size_t>(1, kCopyGrain / std::size_t(std::max<int64_t>(r, 1))),
                 [&](std::size_t b, std::size_t e, unsigned) {
                     for (std::size_t i = b; i < e; ++i)
                         for (int64_t j = 0; j < r; ++j) u[i * r + j] = O(src[i * k + j]);
                 });
    for (int64_t j = 0; j < r; ++j) s[j] = O(f.s[j]);
    convert(f.vt.get(), vt, std::size_t(r) * std::size_t(n));  // the first r rows: a contiguous prefix
}

template <typename T>
void svd_reconstruct(int64_t m, int64_t n, int64_t r, const T *u, const T *s, const T *vt, T *out) {
    if (m == 0 || n == 0) return;
    if (r == 0) {
        fill_zero(out, std::size_t(m) * std::size_t(n));
        return;
    }
    const int mi = checked_int(m), ni = checked_int(n), ri = checked_int(r);
    BlasThreads threads(double(m) * double(n) * double(r), kParallelGemmFlops);
    // Scale the smaller factor, then one product: out^T (n x m, column-major) = vt^T * (u s)^T.
    if (m <= n) {
        Buffer<T> us = alloc<T>(std::size_t(m) * std::size_t(r));
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = 0; j < r; ++j) us[i * r + j] = u[i * r + j] * s[j];
        gemm<T>('N', 'N', ni, mi, ri, T(1), vt, ni, us.get(), ri, T(0), out, ni);
    } else {
        Buffer<T> sv = alloc<T>(std::size_t(r) * std::size_t(n));
        for (int64_t j = 0; j < r; ++j)
            for (int64_t c = 0; c < n; ++c) sv[j * n + c] = s[j] * vt[j * n + c];
        gemm<T>('N', 'N', ni, mi, ri, T(1), sv.get(), ni, u, ri, T(0), out, ni);
    }
}

template <typename T>
void matmul(int64_t m, int64_t n, int64_t k, const T *a, const T *b, T *c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        fill_zero(c, std::size_t(m) * std::size_t(n));
        return;
    }
    const int mi = checked_int(m), ni = checked_int(n), ki = checked_int(k);
    BlasThreads threads(double(m) * double(n) * double(k), kParallelGemmFlops);
    // Row-major c = a b is column-major c^T = b^T a^T.
    gemm<T>('N', 'N', ni, mi, ki, T(1), b, ni, a, ki, T(0), c, ni);
}

template <typename T>
void mode_product(const T *x, int64_t a, int64_t p, int64_t b, const T *mat, int64_t jn, bool mat_is_transpose, T *y) {
    const std::size_t total = std::size_t(a) * std::size_t(jn) * std::size_t(b);
    if (total == 0) return;
    if (p == 0) {
        fill_zero(y, total);
        return;
    }
    const double flops = double(a) * double(b) * double(jn) * double(p);
    // rows x p (row-major) times M^T: column-major, out^T = M * in^T.
    auto rows_times_mt = [&](const T *in, int64_t rows, T *out) {
        char op = mat_is_transpose ? 'N' : 'T';
        int lda = std::max(1, checked_int(mat_is_transpose ? jn : p));
        const int jni = checked_int(jn), pi = checked_int(p);
        gemm<T>(op, 'N', jni, checked_int(rows), pi, T(1), mat, lda, in, pi, T(0), out, jni);
    };
    auto m_at = [&](int64_t j, int64_t q) {
        return mat_is_transpose ? mat[std::size_t(q) * std::size_t(jn) + std::size_t(j)]
                                : mat[std::size_t(j) * std::size_t(p) + std::size_t(q)];
    };
    // 65536 multiply-adds (a 64 x 32 x 32 product): no benchmark isolates this bar; it trades
    // BLAS's call and packing overhead, which dominates tiny products, against its faster inner
    // loop once the product is larger.
    if (flops <= 65536.0) {
        // Tiny problem: a plain loop costs less than setting up BLAS.
        // M as a small row-major jn x p table.
        std::vector<T> mm(std::size_t(jn) * std::size_t(p));
        for (int64_t j = 0; j < jn; ++j)
            for (int64_t q = 0; q < p; ++q) mm[std::size_t(j) * std::size_t(p) + std::size_t(q)] = m_at(j, q);
        const T *mt = mm.data();
        const std::size_t sp = std::size_t(p), sb = std::size_t(b), sj = std::size_t(jn);
        auto direct = [&](std::size_t i0, std::size_t i1, unsigned) {
            if (b == 1) {
                for (std::size_t i = i0; i < i1; ++i) {
                    const T *xi = x + i * sp;
                    T *yi = y + i * sj;
                    for (std::size_t j = 0; j < sj; ++j) {
                        const T *mr = mt + j * sp;
                        T acc = 0;
                        for (std::size_t q = 0; q < sp; ++q) acc += mr[q] * xi[q];
                        yi[j] = acc;
                    }
                }
                return;
            }
            for (std::size_t i = i0; i < i1; ++i) {
                const T *xi = x + i * sp * sb;
                T *yi = y + i * sj * sb;
                for (std::size_t j = 0; j < sj; ++j) {
                    const T *mr = mt + j * sp;
                    T *yrow = yi + j * sb;
                    for (std::size_t l = 0; l < sb; ++l) yrow[l] = mr[0] * xi[l];
                    for (std::size_t q = 1; q < sp; ++q) {
                        const T mq = mr[q];
                        const T *xrow = xi + q * sb;
                        for (std::size_t l = 0; l < sb; ++l) yrow[l] += mq * xrow[l];
                    }
                }
            }
        };
        double per_slab = std::max(1.0, double(b) * double(jn) * double(p));
        parallel_for(std::size_t(a), std::max<std::size_t>(1, std::size_t(kLoopGrain / per_slab)), direct);
        return;
    }
    if (b == 1) {
        BlasThreads threads(flops, kParallelGemmFlops);
        rows_times_mt(x, a, y);
        return;
    }
    // From 512 columns a slab (2 KiB a float32 row) is wide enough for one product each; narrower
    // slabs are gathered into one product instead (raised from 64 when the gathering form came in;
    // the trade: a product per slab pays BLAS's overhead a times, gathering copies the tensor twice).
    if (a == 1 || b >= 512) {
        // Wide slabs: one product per slab, y_i (jn x b) = M * x_i (p x b); column-major transposes.
        BlasThreads threads(flops, kParallelGemmFlops);
        char op = mat_is_transpose ? 'T' : 'N';
        int ldm = std::max(1, checked_int(mat_is_transpose ? jn : p));
        const int bi = checked_int(b), jni = checked_int(jn), pi = checked_int(p);
        for (int64_t i = 0; i < a; ++i)
            gemm<T>('N', op, bi, jni, pi, T(1), x + std::size_t(i) * std::size_t(p) * std::size_t(b), bi, mat, ldm,
                    T(0), y + std::size_t(i) * std::size_t(jn) * std::size_t(b), bi);
        return;
    }
    // Many slabs: gather the mode first (p x a*b, numpy's unfolding), one product
    // z (jn x a*b) = M * xt, and scatter back to a x jn x b.
    const std::size_t ab = std::size_t(a) * std::size_t(b), sb = std::size_t(b);
    Buffer<T> xt = alloc<T>(std::size_t(p) * ab);
    Buffer<T> z = alloc<T>(std::size_t(jn) * ab);
    for (int64_t q = 0; q < p; ++q) {
        T *dst = xt.get() + std::size_t(q) * ab;
        for (int64_t i = 0; i < a; ++i) {
            const T *src = x + (std::size_t(i) * std::size_t(p) + std::size_t(q)) * sb;
            for (std::size_t l = 0; l < sb; ++l) dst[std::size_t(i) * sb + l] = src[l];
        }
    }
    {
        BlasThreads threads(flops, kParallelGemmFlops);
        char op = mat_is_transpose ? 'T' : 'N';
        int ldm = std::max(1, checked_int(mat_is_transpose ? jn : p));
        const int abi = checked_int(int64_t(ab));
        gemm<T>('N', op, abi, checked_int(jn), checked_int(p), T(1), xt.get(), abi, mat, ldm, T(0), z.get(), abi);
    }
    for (int64_t j = 0; j < jn; ++j) {
        const T *src = z.get() + std::size_t(j) * ab;
        for (int64_t i = 0; i < a; ++i) {
            T *dst = y + (std::size_t(i) * std::size_t(jn) + std::size_t(j)) * sb;
            for (std::size_t l = 0; l < sb; ++l) dst[l] = src[std::size_t(i) * sb + l];
        }
    }
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
bool tucker_hosvd(const T *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &ranks,
                  const std::vector<T *> &factors, T *core, Solver solver) {
    const std::size_t d = dims.size();
    std::size_t total = 1;
    for (int64_t e : dims) total *= std::size_t(e);
    bool randomized = false;
    {
        Buffer<T> unf = alloc<T>(total);
        for (std::size_t k = 0; k < d; ++k) {
            int64_t a = 1, b = 1;
            for (std::size_t i = 0; i < k; ++i) a *= dims[i];
            for (std::size_t i = k + 1; i < d; ++i) b *= dims[i];
            int64_t p = dims[k], q = a * b, kk = std::min(p, q);
            int64_t r = ranks[k];
            T *dst = factors[k];
            unfold(x, a, p, b, unf.get());
            Svd<T> f;
            if (use_randomized(solver, p, q, r) && randomized_svd<T>(unf.get(), p, q, r, f)) {
                for (int64_t i = 0; i < p; ++i)
                    for (int64_t j = 0; j < r; ++j)
                        dst[i * r + j] = f.u[std::size_t(i) * std::size_t(f.k) + std::size_t(j)];
                randomized = true;
                continue;
            }
            // Only the left vectors are kept; gesdd overwrites the unfolding, which is rebuilt
            // for every mode anyway.
            Buffer<T> s = alloc<T>(std::size_t(kk));
            Buffer<T> u = alloc<T>(std::size_t(p) * std::size_t(kk));
            Buffer<T> vt = alloc<T>(std::size_t(kk) * std::size_t(q));
            svd_inplace<T>(unf.get(), p, q, s.get(), u.get(), vt.get());
            for (int64_t i = 0; i < p; ++i)
                for (int64_t j = 0; j < r; ++j) dst[i * r + j] = u[std::size_t(i) * std::size_t(kk) + std::size_t(j)];
        }
    }
    // Core: project the tensor onto every factor in turn; it shrinks mode by mode.
    std::vector<int64_t> cur = dims;
    Buffer<T> buf;
    const T *src = x;
    for (std::size_t k = 0; k < d; ++k) {
        int64_t a = 1, b = 1;
        for (std::size_t i = 0; i < k; ++i) a *= cur[i];
        for (std::size_t i = k + 1; i < d; ++i) b *= cur[i];
        int64_t rk = ranks[k];
        T *dst = core;
        Buffer<T> next;
        if (k + 1 < d) {
            next = alloc<T>(std::size_t(a) * std::size_t(rk) * std::size_t(b));
            dst = next.get();
        }
        mode_product(src, a, cur[k], b, factors[k], rk, true, dst);
        buf = std::move(next);
        src = buf.get();
        cur[k] = rk;
    }
    if (d == 0) convert(x, core, total);
    return randomized;
}

template <typename T>
void tucker_reconstruct(const T *core, const std::vector<int64_t> &core_dims, const std::vector<const T *> &factors,
                        const std::vector<int64_t> &rows, T *out) {
    std::vector<int64_t> cur = core_dims;
    std::size_t total = 1;
    for (int64_t e : cur) total *= std::size_t(e);
    const std::size_t nf = factors.size();
    Buffer<T> buf;
    const T *src = core;
    for (std::size_t k = 0; k < nf; ++k) {
        int64_t a = 1, b = 1;
        for (std::size_t i = 0; i < k; ++i) a *= cur[i];
        for (std::size_t i = k + 1; i < cur.size(); ++i) b *= cur[i];
        T *dst = out;
        Buffer<T> next;
        if (k + 1 < nf) {
            next = alloc<T>(std::size_t(a) * std::size_t(rows[k]) * std::size_t(b));
            dst = next.get();
        }
        mode_product(src, a, cur[k], b, factors[k], rows[k], false, dst);
        buf = std::move(next);
        src = buf.get();
        cur[k] = rows[k];
    }
    if (nf == 0) convert(core, out, total);
}

std::vector<int64_t> tt_ranks(const std::vector<int64_t> &dims, int64_t cap) {
    const std::size_t d = dims.size();
    std::vector<int64_t> ranks(d + 1, 1);
    for (std::size_t k = 0; k + 1 < d; ++k) {
        int64_t rows = ranks[k] * dims[k], cols = 1;
        for (std::size_t i = k + 1; i < d; ++i) cols *= dims[i];
        ranks[k + 1] = std::min(cap, std::min(rows, cols));
    }
    return ranks;
}

template <typename S, typename O>
bool tt_svd(const S *x, const std::vector<int64_t> &dims, const std::vector<int64_t> &ranks,
            const std::vector<O *> &cores, Solver solver) {
    const std::size_t d = dims.size();
    std::size_t total = 1;
    for (int64_t e : dims) total *= std::size_t(e);
    // Working matrix C in double precision, row-major; each step replaces it.
    Buffer<double> c = alloc<double>(total);
    convert(x, c.get(), total);
    std::size_t elems = total;
    bool randomized = false;
    for (std::size_t k = 0; k + 1 < d; ++k) {
        int64_t rows = ranks[k] * dims[k];
        int64_t cols = int64_t(elems / std::size_t(rows));
        int64_t kk = std::min(rows, cols), r = ranks[k + 1];
        O *dst = cores[k];
        Svd<double> f;
        if (use_randomized(solver, rows, cols, r) && randomized_svd<double>(c.get(), rows, cols, r, f)) {
            // f holds exactly r triplets.
            for (int64_t i = 0; i < rows; ++i)
                for (int64_t j = 0; j < r; ++j)
                    dst[i * r + j] = O(f.u[std::size_t(i) * std::size_t(r) + std::size_t(j)]);
            for (int64_t j = 0; j < r; ++j) {
                double sj = f.s[j];
                double *row = f.vt.get() + std::size_t(j) * std::size_t(cols);
                for (int64_t q = 0; q < cols; ++q) row[q] = sj * row[q];
            }
            c = std::move(f.vt);
            elems = std::size_t(r) * std::size_t(cols);
            randomized = true;
            continue;
        }
        Buffer<double> s = alloc<double>(std::size_t(kk));
        Buffer<double> u = alloc<double>(std::size_t(rows) * std::size_t(kk));
        Buffer<double> vt = alloc<double>(std::size_t(kk) * std::size_t(cols));
        svd_inplace<double>(c.get(), rows, cols, s.get(), u.get(), vt.get());
        for (int64_t i = 0; i < rows; ++i)
            for (int64_t j = 0; j < r; ++j) dst[i * r + j] = O(u[std::size_t(i) * std::size_t(kk) + std::size_t(j)]);
        // C = diag(s) * Vt: the first r rows of vt, scaled
        for (int64_t j = 0; j < r; ++j) {
            double sj = s[j];
            double *row = vt.get() + std::size_t(j) * std::size_t(cols);
            for (int64_t q = 0; q < cols; ++q) row[q] = sj * row[q];
        }
        c = std::move(vt);
        elems = std::size_t(r) * std::size_t(cols);
    }
    convert(c.get(), cores[d - 1], elems);
    return randomized;
}

template <typename T>
void tt_reconstruct(const std::vector<const T *> &cores, const std::vector<int64_t> &r0, const std::vector<int64_t> &n,
                    const std::vector<int64_t> &r1, T *out) {
    const std::size_t d = cores.size();
    std::size_t rows = std::size_t(r0[0]) * std::size_t(n[0]);  // the partial result is rows x bond
    int64_t bond = r1[0];
    if (d == 1) {
        convert(cores[0], out, rows * std::size_t(bond));
        return;
    }
    // The chain can be contracted from either end with the same result (up to rounding); take
    // the end whose partial products are smaller (a large first extent followed by small ones,
    // as in a 1024 x 64 x 3 x 3 weight, costs several times less from the right).
    double left_cost = 0, right_cost = 0;
    {
        double lrows = double(r0[0]) * double(n[0]);
        for (std::size_t k = 1; k < d; ++k) {
            left_cost += lrows * double(r0[k]) * double(n[k]) * double(r1[k]);
            lrows *= double(n[k]);
        }
        double rest = double(n[d - 1]) * double(r1[d - 1]);
        for (std::size_t k = d - 1; k-- > 0;) {
            right_cost += double(r0[k]) * double(n[k]) * double(r1[k]) * rest;
            rest *= double(n[k]);
        }
    }
    if (right_cost < left_cost) {
        // partial = G_k (r0[k] * n[k] x r1[k]) * partial (r1[k] x rest), from the last core back
        std::size_t rest = std::size_t(n[d - 1]) * std::size_t(r1[d - 1]);
        Buffer<T> buf;
        const T *src = cores[d - 1];
        for (std::size_t k = d - 1; k-- > 0;) {
            std::size_t prow = std::size_t(r0[k]) * std::size_t(n[k]);
            int64_t kk = r1[k];
            T *dst = out;
            Buffer<T> next;
            if (k > 0) {
                next = alloc<T>(prow * rest);
                dst = next.get();
            }
            if (prow && rest) {
                if (kk == 0) {
                    fill_zero(dst, prow * rest);
                } else {
                    BlasThreads threads(double(prow) * double(rest) * double(kk), kParallelGemmFlops);
                    const int resti = checked_int(int64_t(rest)), kki = checked_int(kk);
                    gemm<T>('N', 'N', resti, checked_int(int64_t(prow)), kki, T(1), src, resti, cores[k], kki, T(0),
                            dst, resti);
                }
            }
            buf = std::move(next);
            src = buf.get();
            rest *= std::size_t(n[k]);
        }
        return;
    }
    Buffer<T> buf;
    const T *src = cores[0];
    for (std::size_t k = 1; k < d; ++k) {
        std::size_t right = std::size_t(n[k]) * std::size_t(r1[k]);
        T *dst = out;
        Buffer<T> next;
        if (k + 1 < d) {
            next = alloc<T>(rows * right);
            dst = next.get();
        }
        if (rows && right) {
            if (bond == 0) {
                fill_zero(dst, rows * right);
            } else {
                BlasThreads threads(double(rows) * double(right) * double(bond), kParallelGemmFlops);
                // dst (rows x right) = src (rows x bond) * G (bond x right); column-major transposes.
                const int righti = checked_int(int64_t(right)), bondi = checked_int(bond);
                gemm<T>('N', 'N', righti, checked_int(int64_t(rows)), bondi, T(1), cores[k], righti, src, bondi, T(0),
                        dst, righti);
            }
        }
        buf = std::move(next);
        src = buf.get();
        rows *= std::size_t(n[k]);
        bond = r1[k];
    }
}

// ---- instantiations ---------------------------------------------------------------------------
template void convert<float, float>(const float *, float *, std::size_t);
template void convert<double, double>(const double *, double *, std::size_t);
template void convert<float, double>(const float *, double *, std::size_t);
template void convert<double, float>(const double *, float *, std::size_t);

template void svd_inplace<float>(float *, int64_t, int64_t, float *, float *, float *);
template void svd_inplace<double>(double *, int64_t, int64_t, double *, double *, double *);
template Svd<float> thin_svd<float, float>(const float *, int64_t, int64_t);
template Svd<float> thin_svd<float, double>(const double *, int64_t, int64_t);
template Svd<double> thin_svd<double, double>(const double *, int64_t, int64_t);
template void keep_leading<float, float>(const Svd<float> &, int64_t, float *, float *, float *);
template void keep_leading<float, double>(const Svd<float> &, int64_t, double *, double *, double *);
template void keep_leading<double, double>(const Svd<double> &, int64_t, double *, double *, double *);

template void svd_reconstruct<float>(int64_t, int64_t, int64_t, const float *, const float *, const float *, float *);
template void svd_reconstruct<double>(int64_t, int64_t, int64_t, const double *, const double *, const double *,
                                      double *);
template void matmul<float>(int64_t, int64_t, int64_t, const float *, const float *, float *);
template void matmul<double>(int64_t, int64_t, int64_t, const double *, const double *, double *);
template void mode_product<float>(const float *, int64_t, int64_t, int64_t, const float *, int64_t, bool, float *);
template void mode_product<double>(const double *, int64_t, int64_t, int64_t, const double *, int64_t, bool, double *);
template void unfold<float>(const float *, int64_t, int64_t, int64_t, float *);
template void unfold<double>(const double *, int64_t, int64_t, int64_t, double *);
template bool tucker_hosvd<float>(const float *, const std::vector<int64_t> &, const std::vector<int64_t> &,
                                  const std::vector<float *> &, float *, Solver);
template bool tucker_hosvd<double>(const double *, const std::vector<int64_t> &, const std::vector<int64_t> &,
                                   const std::vector<double *> &, double *, Solver);
template void tucker_reconstruct<float>(const float *, const std::vector<int64_t> &, const std::vector<const float *> &,
                                        const std::vector<int64_t> &, float *);
template void tucker_reconstruct<double>(const double *, const std::vector<int64_t> &,
                                         const std::vector<const double *> &, const std::vector<int64_t> &, double *);
template bool tt_svd<float, float>(const float *, const std::vector<int64_t> &, const std::vector<int64_t> &,
                                   const std::vector<float *> &, Solver);
template bool tt_svd<double, double>(const double *, const std::vector<int64_t> &, const std::vector<int64_t> &,
                                     const std::vector<double *> &, Solver);
template void tt_reconstruct<float>(const std::vector<const float *> &, const std::vector<int64_t> &,
                                    const std::vector<int64_t> &, const std::vector<int64_t> &, float *);
template void tt_reconstruct<double>(const std::vector<const double *> &, const std::vector<int64_t> &,
                                     const std::vector<int64_t> &, const std::vector<int64_t> &, double *);

}  // namespace vz::core::lowrank
