// One-pass kernels for dense tensors held as a product of two small-rank factors: a truncated
// SVD (U·diag(s)·Vt), a tensor train (the chain split at one bond) or a Tucker record (the core
// contracted with all but one factor, times that factor).
//
//   out    = base + A·B                                  (product_add)
//   sums   = sum((base + A·B - target)^2), sum(target^2) (product_error)
//
// A is m x r and B is r x n, both given by pointer and element strides (any layout); base, out
// and target are row-major m x n matrices with unit column stride and a row stride (`ld`, in
// elements), in float16 / bfloat16 (as uint16 bits), float32 or float64. base may be absent.
//
// What a call reads and writes: the factors (small, kept in cache) and, once each, base and out
// (or base and target). For r <= kMaxFusedRank the product is formed tile by tile in cache by a
// register-blocked kernel (AVX2+FMA when the processor has it, chosen at run time) and each
// tile is added to the base and stored at once, with streaming stores for large outputs; above
// that rank the product comes from BLAS and a second element-wise pass adds the base (the
// product dominates the cost there).
//
// Numerics, the contract callers rely on:
//  * Every element of A·B is one chain over k = 0 .. r-1 in the factors' type T (the first term
//    a product, then fused multiply-adds where the processor has them), independent of tiling,
//    thread count and whether a base is added: base + decompress(record) and the fused call
//    agree bit for bit.
//  * The sum is formed in C = double when out is float64, else float: out = O(C(base) + C(p)),
//    where p is the product element (rounded to C first when T is wider), which is numpy's
//    `base + product` when O is numpy's result type of the two (float32 base + float32 product
//    gives float32, a float64 base gives float64, a float16 base gives float32). bfloat16 and
//    float16 outputs are rounded to nearest even.
//  * product_error forms each reconstructed element exactly as product_add would with out kind
//    `recon` (F32 or F64), converts it and the target to float32, and accumulates the float32
//    squares of their difference and of the target in float64: the sums of
//    reconstruction_error(reconstruction, target). The order of the float64 additions depends
//    only on m, n and r, never on the thread count.
//
// Runs on all worker threads (parallel_for); no Python here, callers release the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vz::core::fused {

// Element types of the dense operands (bfloat16 and float16 as their 16-bit patterns).
enum class Elem { F16, BF16, F32, F64 };

std::size_t elem_size(Elem k);

// Largest inner dimension handled by the cache-resident kernel; BLAS above it. At the ranks of
// delta records (8 to 16: the rank-8 TT and SVD records of benchmarks/bench_roofline.py) the step
// is memory-bound and one pass saves writing and re-reading the product; at Tucker's ranks in the
// hundreds (the same benchmark) it is compute-bound and BLAS's blocked product is the faster
// form. 64 lies between the two; no benchmark places the crossover more exactly.
constexpr int64_t kMaxFusedRank = 64;

// The m x n product A·B: A[i][k] = a[i * a_rs + k * a_cs], B[k][j] = b[k * b_rs + j * b_cs].
template <typename T>
struct Product {
    int64_t m = 0, n = 0, r = 0;
    const T *a = nullptr;
    int64_t a_rs = 0, a_cs = 0;
    const T *b = nullptr;
    int64_t b_rs = 0, b_cs = 0;
};

// A row-major operand: element (i, j) at data + (i * ld + j) * elem_size(kind).
struct Src {
    const void *data = nullptr;  // null: no operand (a base that is absent)
    Elem kind = Elem::F32;
    int64_t ld = 0;
};
struct Dst {
    void *data = nullptr;
    Elem kind = Elem::F32;
    int64_t ld = 0;
    // Write a large output with streaming (non-temporal) stores. Pays off for memory that is
    // already mapped and not in cache (a reused buffer, a mapped file); for a fresh allocation
    // the kernel has just zeroed each page through the cache on first touch, and plain stores
    // that hit those lines are faster.
    bool stream = false;
};

// out = base + A·B (base.data null: out = A·B). out must not overlap base or the factors.
template <typename T>
void product_add(const Product<T> &p, Src base, Dst out);

// *sq_diff = sum over (i, j) of double(e * e), e = float32(x) - float32(target), x the element
// that product_add would store with out kind `recon` (F32 or F64); *sq_ref = sum of
// double(float32(target)^2).
template <typename T>
void product_error(const Product<T> &p, Src base, Elem recon, Src target, double *sq_diff, double *sq_ref);

// ---- records as products ----------------------------------------------------------------------
// The dense tensor of a compressed record as one product (flattened to m x n, row-major, which
// is the record's tensor in C order). Holds the temporaries that the product refers to; the
// record's own arrays are referenced, not copied, and must outlive it. `ok` is false when the
// record has no product form (a one-core tensor train); callers then use the plain
// reconstruction.
template <typename T>
struct Factored {
    bool ok = false;
    Product<T> product;
    std::unique_ptr<T[]> a_own, b_own;
};

// SVD record: u (m x r), s (r), vt (r x n), all contiguous. The smaller factor is scaled by s
// (u * s when m <= n, else s * vt), as the plain reconstruction does.
template <typename T>
Factored<T> factor_svd(const T *u, const T *s, const T *vt, int64_t m, int64_t n, int64_t r);

// Tensor train: contiguous cores of extents (r0[k], n[k], r1[k]) with r1[k] == r0[k + 1]. The
// chain is split at the bond that keeps the partial contractions and the final product
// cheapest, among the bonds of rank <= kMaxFusedRank (any bond when none is), each side
// contracted by tt_reconstruct.
// The product is (r0[0] * n[0] * ... * n[s-1]) x (n[s] * ... * n[d-1] * r1[d-1]).
template <typename T>
Factored<T> factor_tt(const T *const *cores, const int64_t *r0, const int64_t *n, const int64_t *r1, std::size_t d);

// Tucker: contiguous core with extents core_dims (d of them) and one contiguous factor per mode
// (rows[k] x core_dims[k]). The result is the core times every factor along its mode; the
// product is U_0 times the rest (m = rows[0]) or the rest times U_{d-1}^T (n = rows[d-1]),
// whichever costs fewer multiply-adds (mode products included).
template <typename T>
Factored<T> factor_tucker(const T *core, const int64_t *core_dims, const T *const *factors, const int64_t *rows,
                          std::size_t d);

}  // namespace vz::core::fused
