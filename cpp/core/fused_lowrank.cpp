// Driver of the fused low-rank kernels: splits the result into units of work shared by the
// worker threads, picks the instruction set, takes the BLAS path above the fused rank, and
// turns compressed records into products. The kernels themselves are in
// fused_lowrank_kernels.inc.
#include "core/fused_lowrank.hpp"

#include "core/deltavault_kernels.hpp"
#include "core/fused_lowrank_kernels.hpp"
#include "core/lowrank_kernels.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <vector>

// The kernels pass 32-byte vectors between helpers internal to this file (no ABI crosses it).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vz::core::fused {

namespace detail {
namespace {
#define VZ_FMA(c, a, b) ((c) + (a) * (b))
#include "core/fused_lowrank_kernels.inc"
#undef VZ_FMA
}  // namespace

const Table kBaselineTable = kTable;
}  // namespace detail

using detail::Job;
using detail::kMR;
using detail::Range;
using detail::Table;

std::size_t elem_size(Elem k) {
    switch (k) {
        case Elem::F16:
        case Elem::BF16: return 2;
        case Elem::F32: return 4;
        case Elem::F64: return 8;
    }
    return 0;
}

namespace {

// A unit of work is about this many result elements (1 MiB of float32): large enough that
// handing it out costs nothing, small enough that a thread the (shared, often busy) machine
// delays does not hold up the others.
constexpr int64_t kUnitElems = int64_t(1) << 18;
// Below this many elements everything runs on the calling thread (the grain of the delta passes
// in deltavault_kernels.cpp too: starting a thread costs more than so little work).
constexpr int64_t kSerialElems = int64_t(1) << 16;
// Outputs at least this large are written with streaming stores (they do not fit in cache), when
// the caller asks for them: fresh outputs take plain stores since the change that brought
// benchmarks/bench_roofline.py. Smaller outputs may still be in cache for the next step, which
// streaming would forfeit.
constexpr std::size_t kStreamBytes = std::size_t(4) << 20;
// The packed strip of B for one column tile is kept to this size (it stays in L2 while the
// rows of the unit stream past it): an eighth of the 512 KiB L2 a core of the 2-core machine
// the benchmarks ran on, leaving the rest for A's rows and the output tiles.
constexpr std::size_t kPackBytes = std::size_t(64) << 10;

const Table &table() {
    // VZ_FUSED_BASELINE=1 forces the baseline kernels (tests compare both on one machine).
    if (const char *env = std::getenv("VZ_FUSED_BASELINE"))
        if (env[0] == '1') return detail::kBaselineTable;
    static const bool avx2 = detail::kAvx2Table && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2 ? *detail::kAvx2Table : detail::kBaselineTable;
}

template <typename T>
constexpr Elem elem_of() {
    return sizeof(T) == 4 ? Elem::F32 : Elem::F64;
}

template <typename T>
int64_t tile_cols(int64_t r) {
    constexpr int64_t NR = detail::nr<T>();
    int64_t c = int64_t(kPackBytes / (std::size_t(std::max<int64_t>(r, 1)) * sizeof(T))) / NR * NR;
    // At most 4096 columns (reached below rank 4 in float32): caps the output tile, kMR x nc, at
    // 64 KiB of float32 where a tiny rank would make the strip very wide.
    return std::clamp<int64_t>(c, NR, 4096);
}

struct Grid {
    int64_t m, n, rp, cw, rows, cols;
    int64_t count() const { return rows * cols; }
    Range at(int64_t u) const {
        int64_t pi = u / cols, ci = u % cols;
        return Range{pi * rp, std::min(m, (pi + 1) * rp), ci * cw, std::min(n, (ci + 1) * cw)};
    }
};

// The units depend on m, n and the tile width only: the error sums add up per unit, in unit
// order, so their value never depends on the thread count.
Grid make_grid(int64_t m, int64_t n, int64_t nc) {
    Grid g{m, n, 0, 0, 0, 0};
    if (n * kMR > kUnitElems) {
        g.rp = kMR;
        g.cw = std::max<int64_t>(nc, (kUnitElems / kMR) / nc * nc);
    } else {
        g.rp = std::max<int64_t>(kMR, (kUnitElems / n) / kMR * kMR);
        g.cw = n;
    }
    g.rows = (m + g.rp - 1) / g.rp;
    g.cols = (n + g.cw - 1) / g.cw;
    return g;
}

// Per-thread scratch memory for the packed factor strip and the product tile, kept between
// calls: allocating it per unit costs page faults (the allocator returns freed blocks of this
// size to the system) on every unit.
struct AlignedFree {
    void operator()(void *p) const { std::free(p); }
};

void *scratch(std::unique_ptr<void, AlignedFree> &slot, std::size_t &cap, std::size_t bytes) {
    bytes = (std::max<std::size_t>(bytes, 64) + 63) / 64 * 64;
    if (cap < bytes) {
        slot.reset();
        cap = 0;
        void *p = std::aligned_alloc(64, bytes);
        if (!p) throw std::bad_alloc();
        slot.reset(p);
        cap = bytes;
    }
    return slot.get();
}

struct Scratch {
    std::unique_ptr<void, AlignedFree> pack, tile;
    std::size_t pack_cap = 0, tile_cap = 0;
};
thread_local Scratch t_scratch;

// Calls fn(range, unit, pack, tile) for every unit, on all workers.
template <typename T, typename Fn>
void run_units(const Job &J, const Grid &g, Fn &&fn) {
    const std::size_t pack_bytes = std::size_t(std::max<int64_t>(J.r, 1)) * std::size_t(J.ldt) * sizeof(T);
    const std::size_t tile_bytes = std::size_t(kMR) * std::size_t(J.ldt) * sizeof(T);
    auto unit = [&](std::size_t u) {
        void *pack = nullptr, *tile = nullptr;
        if (!J.pre) {
            Scratch &s = t_scratch;
            pack = scratch(s.pack, s.pack_cap, pack_bytes);
            tile = scratch(s.tile, s.tile_cap, tile_bytes);
        }
        fn(g.at(int64_t(u)), int64_t(u), pack, tile);
    };
    const std::size_t units = std::size_t(g.count());
    if (J.m * J.n <= kSerialElems || units <= 1) {
        for (std::size_t u = 0; u < units; ++u) unit(u);
        return;
    }
    parallel_units(units, unit);
}

// Fills the fields of a job shared by both passes; above the fused rank (and within 32-bit
// BLAS) the product is formed by BLAS into `pre_own` first.
template <typename T>
Job make_job(const Product<T> &p, Src base, std::unique_ptr<T[]> &pre_own, T *direct_out) {
    Job J;
    J.m = p.m;
    J.n = p.n;
    J.r = p.r;
    J.a = p.a;
    J.a_rs = p.a_rs;
    J.a_cs = p.a_cs;
    J.b = p.b;
    J.b_rs = p.b_rs;
    J.b_cs = p.b_cs;
    J.base = base;
    J.nc = tile_cols<T>(p.r);
    J.ldt = J.nc;
    if (p.r > kMaxFusedRank && lowrank::lapack_fits(p.m, p.r) && lowrank::lapack_fits(p.r, p.n) &&
        lowrank::lapack_fits(p.m, p.n)) {
        // Contiguous copies of the factors when they are laid out otherwise.
        std::unique_ptr<T[]> ac, bc;
        const T *a = p.a, *b = p.b;
        if (!(p.a_cs == 1 && p.a_rs == p.r)) {
            ac.reset(new T[std::size_t(p.m * p.r)]);
            for (int64_t i = 0; i < p.m; ++i)
                for (int64_t k = 0; k < p.r; ++k) ac[std::size_t(i * p.r + k)] = p.a[i * p.a_rs + k * p.a_cs];
            a = ac.get();
        }
        if (!(p.b_cs == 1 && p.b_rs == p.n)) {
            bc.reset(new T[std::size_t(p.r * p.n)]);
            for (int64_t k = 0; k < p.r; ++k)
                for (int64_t j = 0; j < p.n; ++j) bc[std::size_t(k * p.n + j)] = p.b[k * p.b_rs + j * p.b_cs];
            b = bc.get();
        }
        T *dst = direct_out;
        if (!dst) {
            pre_own.reset(new T[std::size_t(p.m) * std::size_t(p.n)]);
            dst = pre_own.get();
        }
        lowrank::matmul<T>(p.m, p.n, p.r, a, b, dst);
        J.pre = dst;
    }
    return J;
}

}  // namespace

template <typename T>
void product_add(const Product<T> &p, Src base, Dst out) {
    if (p.m <= 0 || p.n <= 0) return;
    // Without a base and with the product's own type and layout, BLAS writes the result itself.
    bool direct = !base.data && out.kind == elem_of<T>() && out.ld == p.n;
    std::unique_ptr<T[]> pre_own;
    Job J = make_job<T>(p, base, pre_own, direct ? static_cast<T *>(out.data) : nullptr);
    if (direct && J.pre) return;
    J.out = out;
    J.stream = out.stream && std::size_t(p.m) * std::size_t(p.n) * elem_size(out.kind) >= kStreamBytes;
    const Table &tab = table();
    auto add = sizeof(T) == 4 ? tab.add_f32 : tab.add_f64;
    run_units<T>(J, make_grid(p.m, p.n, J.nc),
                 [&](const Range &g, int64_t, void *pack, void *tile) { add(J, g, pack, tile); });
}

template <typename T>
void product_error(const Product<T> &p, Src base, Elem recon, Src target, double *sq_diff, double *sq_ref) {
    *sq_diff = 0.0;
    *sq_ref = 0.0;
    if (p.m <= 0 || p.n <= 0) return;
    std::unique_ptr<T[]> pre_own;
    Job J = make_job<T>(p, base, pre_own, nullptr);
    J.target = target;
    J.recon = recon;
    const Table &tab = table();
    auto err = sizeof(T) == 4 ? tab.err_f32 : tab.err_f64;
    Grid g = make_grid(p.m, p.n, J.nc);
    std::vector<double> partial(2 * std::size_t(g.count()), 0.0);
    run_units<T>(J, g, [&](const Range &rg, int64_t u, void *pack, void *tile) {
        err(J, rg, pack, tile, &partial[2 * std::size_t(u)], &partial[2 * std::size_t(u) + 1]);
    });
    double sd = 0, sr = 0;
    for (std::size_t u = 0; u < partial.size(); u += 2) {
        sd += partial[u];
        sr += partial[u + 1];
    }
    *sq_diff = sd;
    *sq_ref = sr;
}

// ---- records as products ----------------------------------------------------------------------

template <typename T>
Factored<T> factor_svd(const T *u, const T *s, const T *vt, int64_t m, int64_t n, int64_t r) {
    Factored<T> f;
    f.ok = true;
    Product<T> &p = f.product;
    p.m = m;
    p.n = n;
    p.r = r;
    if (m <= n) {
        f.a_own.reset(new T[std::size_t(std::max<int64_t>(m * r, 1))]);
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = 0; j < r; ++j) f.a_own[std::size_t(i * r + j)] = u[i * r + j] * s[j];
        p.a = f.a_own.get();
        p.b = vt;
    } else {
        f.b_own.reset(new T[std::size_t(std::max<int64_t>(r * n, 1))]);
        for (int64_t j = 0; j < r; ++j)
            for (int64_t c = 0; c < n; ++c) f.b_own[std::size_t(j * n + c)] = s[j] * vt[j * n + c];
        p.a = u;
        p.b = f.b_own.get();
    }
    p.a_rs = r;
    p.a_cs = 1;
    p.b_rs = n;
    p.b_cs = 1;
    return f;
}

namespace {
// Contraction of cores [lo, hi) of a chain into a new buffer (rows: r0[lo] * n[lo] * ...).
template <typename T>
std::unique_ptr<T[]> contract(const T *const *cores, const int64_t *r0, const int64_t *n, const int64_t *r1,
                              std::size_t lo, std::size_t hi) {
    std::vector<const T *> c(cores + lo, cores + hi);
    std::vector<int64_t> a(r0 + lo, r0 + hi), b(n + lo, n + hi), e(r1 + lo, r1 + hi);
    std::size_t total = std::size_t(a[0]) * std::size_t(e.back());
    for (int64_t x : b) total *= std::size_t(x);
    std::unique_ptr<T[]> out(new T[std::max<std::size_t>(total, 1)]);
    lowrank::tt_reconstruct<T>(c, a, b, e, out.get());
    return out;
}
}  // namespace

template <typename T>
Factored<T> factor_tt(const T *const *cores, const int64_t *r0, const int64_t *n, const int64_t *r1, std::size_t d) {
    Factored<T> f;
    if (d < 2) return f;
    double total = double(r0[0]) * double(r1[d - 1]);
    for (std::size_t k = 0; k < d; ++k) total *= double(n[k]);
    if (total <= 0) return f;
    // Split before core s: left = cores [0, s), right = cores [s, d), bond rank r0[s]. The cost
    // counts the elements of the two partial contractions (what forming them writes) and the
    // multiply-adds of the final product; splits at a bond of fused rank come first.
    std::size_t best = 0;
    double best_cost = 0;
    bool best_fused = false;
    double rows = double(r0[0]);
    for (std::size_t s = 1; s < d; ++s) {
        rows *= double(n[s - 1]);
        double rank = double(r0[s]), cols = total / rows;
        double cost = (s > 1 ? rows * rank : 0.0) + (s + 1 < d ? rank * cols : 0.0) + total * rank;
        bool fused = r0[s] <= kMaxFusedRank;
        if (best == 0 || (fused && !best_fused) || (fused == best_fused && cost < best_cost)) {
            best = s;
            best_cost = cost;
            best_fused = fused;
        }
    }
    const std::size_t s = best;
    Product<T> &p = f.product;
    p.m = r0[0];
    for (std::size_t k = 0; k < s; ++k) p.m *= n[k];
    p.r = r0[s];
    p.n = r1[d - 1];
    for (std::size_t k = s; k < d; ++k) p.n *= n[k];
    if (s == 1) {
        p.a = cores[0];
    } else {
        f.a_own = contract<T>(cores, r0, n, r1, 0, s);
        p.a = f.a_own.get();
    }
    if (s + 1 == d) {
        p.b = cores[d - 1];
    } else {
        f.b_own = contract<T>(cores, r0, n, r1, s, d);
        p.b = f.b_own.get();
    }
    p.a_rs = p.r;
    p.a_cs = 1;
    p.b_rs = p.n;
    p.b_cs = 1;
    f.ok = true;
    return f;
}

template <typename T>
Factored<T> factor_tucker(const T *core, const int64_t *core_dims, const T *const *factors, const int64_t *rows,
                          std::size_t d) {
    Factored<T> f;
    if (d < 1) return f;
    double total = 1;
    for (std::size_t k = 0; k < d; ++k) total *= double(rows[k]);
    double core_total = 1;
    for (std::size_t k = 0; k < d; ++k) core_total *= double(core_dims[k]);
    if (total <= 0 || core_total <= 0) return f;
    // first: U_0 (rows[0] x c_0) times the core with every other mode expanded;
    // last: the core with every mode but the last expanded, times U_{d-1}^T.
    // Each costs its mode products plus the final product; the cheaper one is taken.
    const int64_t c_first = core_dims[0], c_last = core_dims[d - 1];
    auto expand_flops = [&](std::size_t from, std::size_t to) {  // modes [from, to), in order
        double size = core_total, flops = 0;
        for (std::size_t k = from; k < to; ++k) {
            flops += size * double(rows[k]);
            size = size / double(core_dims[k]) * double(rows[k]);
        }
        return flops;
    };
    double cost_first = expand_flops(1, d) + total * double(c_first);
    double cost_last = expand_flops(0, d - 1) + total * double(c_last);
    bool use_last = d > 1 && cost_last < cost_first;
    Product<T> &p = f.product;
    std::vector<int64_t> cur(core_dims, core_dims + d);
    if (!use_last) {
        p.m = rows[0];
        p.r = c_first;
        p.n = int64_t(total / double(rows[0]) + 0.5);
        p.a = factors[0];
        p.a_rs = c_first;
        p.a_cs = 1;
        const T *src = core;
        std::unique_ptr<T[]> buf;
        for (std::size_t k = 1; k < d; ++k) {
            int64_t a = 1, b = 1;
            for (std::size_t i = 0; i < k; ++i) a *= cur[i];
            for (std::size_t i = k + 1; i < d; ++i) b *= cur[i];
            std::unique_ptr<T[]> next(new T[std::max<std::size_t>(std::size_t(a * rows[k] * b), 1)]);
            lowrank::mode_product<T>(src, a, cur[k], b, factors[k], rows[k], false, next.get());
            buf = std::move(next);
            src = buf.get();
            cur[k] = rows[k];
        }
        f.b_own = std::move(buf);
        p.b = src;
        p.b_rs = p.n;
        p.b_cs = 1;
    } else {
        p.n = rows[d - 1];
        p.r = c_last;
        p.m = int64_t(total / double(rows[d - 1]) + 0.5);
        std::vector<const T *> fs(factors, factors + d - 1);
        std::vector<int64_t> rs(rows, rows + d - 1);
        int64_t elems = p.m * c_last;
        f.a_own.reset(new T[std::size_t(std::max<int64_t>(elems, 1))]);
        lowrank::tucker_reconstruct<T>(core, cur, fs, rs, f.a_own.get());
        p.a = f.a_own.get();
        p.a_rs = c_last;
        p.a_cs = 1;
        p.b = factors[d - 1];  // U_{d-1} is rows x c; its transpose is c x rows
        p.b_rs = 1;
        p.b_cs = c_last;
    }
    f.ok = true;
    return f;
}

template void product_add<float>(const Product<float> &, Src, Dst);
template void product_add<double>(const Product<double> &, Src, Dst);
template void product_error<float>(const Product<float> &, Src, Elem, Src, double *, double *);
template void product_error<double>(const Product<double> &, Src, Elem, Src, double *, double *);
template Factored<float> factor_svd<float>(const float *, const float *, const float *, int64_t, int64_t, int64_t);
template Factored<double> factor_svd<double>(const double *, const double *, const double *, int64_t, int64_t, int64_t);
template Factored<float> factor_tt<float>(const float *const *, const int64_t *, const int64_t *, const int64_t *,
                                          std::size_t);
template Factored<double> factor_tt<double>(const double *const *, const int64_t *, const int64_t *, const int64_t *,
                                            std::size_t);
template Factored<float> factor_tucker<float>(const float *, const int64_t *, const float *const *, const int64_t *,
                                              std::size_t);
template Factored<double> factor_tucker<double>(const double *, const int64_t *, const double *const *, const int64_t *,
                                                std::size_t);

}  // namespace vz::core::fused
