#include "core/randomized_svd.hpp"

#include "core/finite.hpp"

#include "core/blas.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vz::core::lowrank {

namespace {

// Elements per partial sum: the chunking of a sum is fixed, whatever the thread count. 65536
// values are 256 KiB of float32, many parallel_for units for a model-sized matrix and a short
// list of partial sums; any fixed size keeps the sums reproducible.
constexpr std::size_t kSumChunk = std::size_t(1) << 16;
// Gaussian pairs per worker chunk before the generation is split over the cores (each pair costs
// two hashes, a log, a sqrt and a sincos: far more than a copied element, hence a smaller grain
// than lowrank_kernels' kCopyGrain).
constexpr std::size_t kGaussGrain = std::size_t(1) << 15;

uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Standard normal test matrix for block `stream`: entry i depends only on (kSeed, stream, i).
// Box-Muller on pairs: entries 2j and 2j + 1 share the two uniforms of pair j.
template <typename T>
void gaussian(uint64_t stream, T *out, std::size_t count) {
    const uint64_t key = splitmix64(kSeed ^ splitmix64(stream + 1));
    const std::size_t pairs = (count + 1) / 2;
    parallel_for(pairs, kGaussGrain, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t j = b; j < e; ++j) {
            uint64_t h1 = splitmix64(key + 2 * uint64_t(j)), h2 = splitmix64(key + 2 * uint64_t(j) + 1);
            double u1 = (double(h1 >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]
            double u2 = double(h2 >> 11) * 0x1.0p-53;          // [0, 1)
            double rad = std::sqrt(-2.0 * std::log(u1)), ang = 6.283185307179586 * u2;
            out[2 * j] = T(rad * std::cos(ang));
            if (2 * j + 1 < count) out[2 * j + 1] = T(rad * std::sin(ang));
        }
    });
}

// How many chunks of kSumChunk elements hold n elements.
std::size_t chunk_count(std::size_t n) { return (n + kSumChunk - 1) / kSumChunk; }

// Calls fn(chunk, data, length) on each chunk of `a`, in parallel. Callers keep one result per
// chunk and combine them in order, so sums do not depend on the thread count. At least 16 chunks
// a thread: 1 << 20 elements, lowrank_kernels' kCopyGrain.
template <typename T, typename Fn>
void for_each_chunk(const T *a, std::size_t n, Fn &&fn) {
    parallel_for(chunk_count(n), 16, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t c = b; c < e; ++c) fn(c, a + c * kSumChunk, std::min(kSumChunk, n - c * kSumChunk));
    });
}

template <typename T>
double chunked_square_sum(const T *a, std::size_t n) {
    std::vector<double> part(chunk_count(n), 0.0);
    for_each_chunk(a, n, [&](std::size_t c, const T *p, std::size_t len) {
        double acc = 0.0;
        for (std::size_t i = 0; i < len; ++i) acc += double(p[i]) * double(p[i]);
        part[c] = acc;
    });
    double total = 0.0;
    for (double v : part) total += v;
    return total;
}

// An orthonormal basis Q (m x cols, column-major) of part of the range of the row-major m x n
// matrix A, with Bt = A^T Q (n x cols, column-major), grown block by block up to `cap` columns.
template <typename T>
class Basis {
public:
    Basis(const T *a, int64_t m, int64_t n, int64_t cap)
        : a_(a),
          m_(m),
          n_(n),
          cap_(cap),
          q_(alloc<T>(std::size_t(m) * std::size_t(cap))),
          bt_(alloc<T>(std::size_t(n) * std::size_t(cap))) {}

    // Appends a block Krylov space of the residual (I - Q Q^T) A: b Gaussian start vectors, then
    // `depth` more blocks, each A times the previous block's A^T-image. Every block is projected
    // off all columns before it and orthonormalised, and its rows of B = Q^T A (the A^T-image
    // that the next block starts from) are kept. Adds b * (depth + 1) columns; cap permitting.
    void grow(int64_t b, int depth) {
        const std::size_t sm = std::size_t(m_), sn = std::size_t(n_), sb = std::size_t(b);
        if (b <= 0 || cols_ + b * (depth + 1) > cap_) throw std::logic_error("randomized basis: capacity exceeded");
        Buffer<T> w = alloc<T>(sn * sb);
        gaussian<T>(stream_++, w.get(), sn * sb);
        starts_ += b;
        for (int level = 0; level <= depth; ++level) {
            if (level > 0) {
                // The next block starts from the previous block's A^T-image, orthonormalised.
                std::memcpy(w.get(), bt_.get() + std::size_t(cols_ - b) * sn, sn * sb * sizeof(T));
                orthonormalize<T>(checked_int(n_), checked_int(b), w.get(), checked_int(n_));
            }
            T *y = q_.get() + std::size_t(cols_) * sm;  // the new columns, written in place
            a_times(w.get(), b, y);
            project_out(y, b);
            orthonormalize<T>(checked_int(m_), checked_int(b), y, checked_int(m_));
            if (cols_ > 0) {
                // A second projection: the first leaves components along Q of the order of rounding
                // times the norm of A, which normalisation can magnify.
                project_out(y, b);
                orthonormalize<T>(checked_int(m_), checked_int(b), y, checked_int(m_));
            }
            at_times(y, b, bt_.get() + std::size_t(cols_) * sn);
            cols_ += b;
        }
    }

    // Start vectors drawn so far (the basis is accurate for about this many leading triplets,
    // less the oversampling).
    int64_t starts() const { return starts_; }

    // All singular triplets of Q B (as many as the basis has columns), row-major as Svd holds them.
    Svd<T> svd() const {
        const int64_t l = cols_;
        const std::size_t sn = std::size_t(n_), sl = std::size_t(l);
        Svd<T> f;
        f.m = m_;
        f.n = n_;
        f.k = l;
        Buffer<T> work = alloc<T>(sn * sl);
        std::memcpy(work.get(), bt_.get(), sn * sl * sizeof(T));
        // Bt = U' S V'^T (a tall column-major matrix: LAPACK takes its QR-first path), so B = V' S U'^T:
        // A's right vectors are U' (column-major n x l is row-major l x n: f.vt directly), and its
        // left vectors are Q V'; row-major U is column-major U^T = V'^T Q^T.
        Buffer<T> vtb = alloc<T>(sl * sl);
        f.s = alloc<T>(sl);
        f.vt = alloc<T>(sl * sn);
        gesdd_thin<T>(checked_int(n_), checked_int(l), work.get(), f.s.get(), f.vt.get(), vtb.get());
        f.u = alloc<T>(std::size_t(m_) * sl);
        gemm<T>('N', 'T', checked_int(l), checked_int(m_), checked_int(l), T(1), vtb.get(), checked_int(l), q_.get(),
                checked_int(m_), T(0), f.u.get(), checked_int(l));
        return f;
    }

private:
    // y (m x b) = A x, x n x b; column-major. A row-major is column-major A^T (n x m, ld n).
    void a_times(const T *x, int64_t b, T *y) const {
        gemm<T>('T', 'N', checked_int(m_), checked_int(b), checked_int(n_), T(1), a_, checked_int(n_), x,
                checked_int(n_), T(0), y, checked_int(m_));
    }
    // z (n x b) = A^T y, y m x b; column-major.
    void at_times(const T *y, int64_t b, T *z) const {
        gemm<T>('N', 'N', checked_int(n_), checked_int(b), checked_int(m_), T(1), a_, checked_int(n_), y,
                checked_int(m_), T(0), z, checked_int(n_));
    }
    // y -= Q (Q^T y) over the columns already in the basis.
    void project_out(T *y, int64_t b) const {
        if (cols_ == 0) return;
        Buffer<T> c = alloc<T>(std::size_t(cols_) * std::size_t(b));
        gemm<T>('T', 'N', checked_int(cols_), checked_int(b), checked_int(m_), T(1), q_.get(), checked_int(m_), y,
                checked_int(m_), T(0), c.get(), checked_int(cols_));
        gemm<T>('N', 'N', checked_int(m_), checked_int(b), checked_int(cols_), T(-1), q_.get(), checked_int(m_),
                c.get(), checked_int(cols_), T(1), y, checked_int(m_));
    }

    const T *a_;
    int64_t m_, n_, cap_, cols_ = 0, starts_ = 0;
    uint64_t stream_ = 0;
    Buffer<T> q_, bt_;
};

// BLAS threads for the whole randomized computation: its cost is a few passes of m * n * l.
double pass_flops(int64_t m, int64_t n, int64_t l) { return double(m) * double(n) * double(l); }

}  // namespace

int64_t randomized_basis(int64_t rank) { return (rank + kOversampling) * (kKrylovDepth + 1); }

bool use_randomized(Solver solver, int64_t m, int64_t n, int64_t rank) {
    const int64_t side = std::min(m, n);
    if (solver == Solver::Exact || rank < 1 || randomized_basis(rank) >= side) return false;
    if (solver == Solver::Randomized) return true;
    return side >= kAutoMinSide && double(randomized_basis(rank)) <= kAutoBasisFraction * double(side);
}

int64_t power_basis(int64_t rank) { return rank + std::max<int64_t>(kOversampling, rank / 8); }

bool use_power(Solver solver, int64_t m, int64_t n, int64_t rank) {
    const int64_t side = std::min(m, n);
    if (solver == Solver::Exact || rank < 1 || use_randomized(solver, m, n, rank) || power_basis(rank) >= side)
        return false;
    if (solver == Solver::Randomized) return true;
    return side >= kAutoMinSide && double(power_basis(rank)) <= kPowerBasisFraction * double(side);
}

template <typename T>
bool power_svd(const T *a, int64_t m, int64_t n, int64_t rank, Svd<T> &out) {
    if (!all_finite(a, std::size_t(m) * std::size_t(n))) return false;
    const int64_t l = power_basis(rank);
    if (l >= std::min(m, n)) throw std::logic_error("power_svd: basis as wide as the matrix");
    const int im = checked_int(m), in = checked_int(n), il = checked_int(l);
    const std::size_t sm = std::size_t(m), sn = std::size_t(n), sl = std::size_t(l);
    BlasThreads threads(pass_flops(m, n, l), kParallelGemmFlops);
    // Column-major throughout; A row-major is column-major A^T (n x m, leading dimension n).
    auto a_times = [&](const T *x, T *y) {  // y (m x l) = A x, x n x l
        gemm<T>('T', 'N', im, il, in, T(1), a, in, x, in, T(0), y, im);
    };
    auto at_times = [&](const T *y, T *z) {  // z (n x l) = A^T y, y m x l
        gemm<T>('N', 'N', in, il, im, T(1), a, in, y, im, T(0), z, in);
    };
    Buffer<T> q = alloc<T>(sm * sl), z = alloc<T>(sn * sl);
    // A stream of its own, apart from the Krylov path's (which numbers its blocks from 0).
    gaussian<T>(uint64_t(1) << 32, z.get(), sn * sl);
    a_times(z.get(), q.get());
    orthonormalize<T>(im, il, q.get(), im);
    for (int it = 0; it < kPowerIterations; ++it) {
        at_times(q.get(), z.get());
        orthonormalize<T>(in, il, z.get(), in);
        a_times(z.get(), q.get());
        orthonormalize<T>(im, il, q.get(), im);
    }
    // B^T = A^T Q = U' S V'^T, so A ~ Q B = (Q V') S U'^T: right vectors U' (column-major n x l is
    // row-major l x n, vt directly), left vectors Q V' (row-major U is column-major V'^T Q^T).
    at_times(q.get(), z.get());
    Buffer<T> s = alloc<T>(sl), vt = alloc<T>(sl * sn), vtb = alloc<T>(sl * sl);
    gesdd_thin<T>(in, il, z.get(), s.get(), vt.get(), vtb.get());
    z = Buffer<T>();
    const int64_t k = std::min(rank, l);
    out.m = m;
    out.n = n;
    out.k = k;
    out.s = alloc<T>(std::size_t(k));
    std::memcpy(out.s.get(), s.get(), std::size_t(k) * sizeof(T));
    out.vt = alloc<T>(std::size_t(k) * sn);
    std::memcpy(out.vt.get(), vt.get(), std::size_t(k) * sn * sizeof(T));
    // Row-major U (m x k) is column-major k x m: the first k rows of V'^T times Q^T.
    out.u = alloc<T>(sm * std::size_t(k));
    gemm<T>('N', 'T', checked_int(k), im, il, T(1), vtb.get(), il, q.get(), im, T(0), out.u.get(), checked_int(k));
    return true;
}

template <typename T>
bool all_finite(const T *a, std::size_t n) {
    return first_non_finite(a, n) == n;
}

template <typename T>
double squared_norm(const T *a, std::size_t n) {
    return chunked_square_sum(a, n);
}

template <typename T>
bool randomized_svd(const T *a, int64_t m, int64_t n, int64_t rank, Svd<T> &out) {
    if (!all_finite(a, std::size_t(m) * std::size_t(n))) return false;
    const int64_t b = rank + kOversampling, l = b * (kKrylovDepth + 1);
    if (l > std::min(m, n)) throw std::logic_error("randomized_svd: basis larger than the matrix");
    Svd<T> full;
    {
        Basis<T> basis(a, m, n, l);
        BlasThreads threads(pass_flops(m, n, l), kParallelGemmFlops);
        basis.grow(b, kKrylovDepth);
        full = basis.svd();
    }
    if (rank >= full.k) {
        out = std::move(full);
        return true;
    }
    // Keep the leading `rank` triplets.
    out.m = m;
    out.n = n;
    out.k = rank;
    out.u = alloc<T>(std::size_t(m) * std::size_t(rank));
    out.s = alloc<T>(std::size_t(rank));
    out.vt = alloc<T>(std::size_t(rank) * std::size_t(n));
    keep_leading<T, T>(full, rank, out.u.get(), out.s.get(), out.vt.get());
    return true;
}

template <typename T>
bool randomized_svd_energy(const T *a, int64_t m, int64_t n, const EnergyRequest &req, Svd<T> &out, int64_t &rank) {
    const int64_t side = std::min(m, n);
    const std::size_t total_elems = std::size_t(m) * std::size_t(n);
    const double total = squared_norm(a, total_elems);
    if (!std::isfinite(total)) return false;
    const int64_t limit = int64_t(kEnergyBasisFraction * double(side));
    const int64_t lo = std::min(req.min_rank, side);
    const int64_t cap = req.max_rank < 0 ? side : std::min(req.max_rank, side);
    const int64_t per_start = kKrylovDepth + 1;  // basis columns per start vector
    if (total <= 1e-30) {
        // All zero (in practice): the exact rule keeps min_rank triplets, all of value zero. One
        // block without Krylov steps (their images would all be zero too).
        int64_t r = std::min(std::max<int64_t>(1, lo), cap);
        if (r > limit) return false;
        Basis<T> basis(a, m, n, r);
        BlasThreads threads(pass_flops(m, n, r), kParallelGemmFlops);
        basis.grow(r, 0);
        out = basis.svd();
        rank = r;
        return true;
    }
    // The basis is trusted to decide ranks up to its start vectors less the oversampling (all of
    // them once it spans the whole space).
    int64_t b = std::min(std::max(lo, kEnergyFirstRank), cap) + kOversampling;
    if (b * per_start > limit) return false;
    // Start vectors never exceed cap + oversampling, so neither do the basis columns it needs.
    const int64_t room = std::min(limit, per_start * (cap + kOversampling));
    Basis<T> basis(a, m, n, room);
    BlasThreads threads(pass_flops(m, n, room), kParallelGemmFlops);
    basis.grow(b, kKrylovDepth);
    for (;;) {
        Svd<T> f = basis.svd();
        const int64_t k = f.k;
        const int64_t trusted = k >= side ? k : basis.starts() - kOversampling;
        // First position whose cumulative share of the exact total reaches the target.
        double acc = 0.0;
        int64_t i = 0;
        for (; i < k; ++i) {
            acc += double(f.s[i]) * double(f.s[i]);
            if (acc / total >= req.energy) break;
        }
        int64_t r = -1;
        if (i < trusted)
            r = i + 1;
        else if (cap <= trusted)
            r = cap;  // the target lies beyond the cap
        if (r >= 0) {
            r = std::min(std::max(r, lo), cap);
            out = std::move(f);
            rank = r;
            return true;
        }
        // Double the start vectors (no more than the cap needs).
        b = std::min(basis.starts(), cap + kOversampling - basis.starts());
        if (b <= 0 || k + b * per_start > room) return false;
        basis.grow(b, kKrylovDepth);
    }
}

template bool all_finite<float>(const float *, std::size_t);
template bool all_finite<double>(const double *, std::size_t);
template double squared_norm<float>(const float *, std::size_t);
template double squared_norm<double>(const double *, std::size_t);
template bool power_svd<float>(const float *, int64_t, int64_t, int64_t, Svd<float> &);
template bool power_svd<double>(const double *, int64_t, int64_t, int64_t, Svd<double> &);
template bool randomized_svd<float>(const float *, int64_t, int64_t, int64_t, Svd<float> &);
template bool randomized_svd<double>(const double *, int64_t, int64_t, int64_t, Svd<double> &);
template bool randomized_svd_energy<float>(const float *, int64_t, int64_t, const EnergyRequest &, Svd<float> &,
                                           int64_t &);
template bool randomized_svd_energy<double>(const double *, int64_t, int64_t, const EnergyRequest &, Svd<double> &,
                                            int64_t &);

}  // namespace vz::core::lowrank
