// Driver of the packed-delta kernels (packed_delta.hpp) and their portable loops.
#include "core/packed_delta.hpp"

#include "core/bf16.hpp"
#include "core/parallel.hpp"
#include "core/quant_kernels.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vz::core::packed {

namespace {

// Delta rows per task: about this many multiply-adds, so that a thread's start-up (tens of
// microseconds) is small beside its work.
constexpr int64_t kTaskWork = int64_t(1) << 18;

// Sum of a[k] * b[k] over k < n in float32, in eight lanes (a shape the compiler vectorises).
float dot(const float *a, const float *b, int64_t n) {
    float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int64_t k = 0;
    for (; k + 8 <= n; k += 8)
        for (int e = 0; e < 8; ++e) lane[e] += a[k + e] * b[k + e];
    float tail = 0.0f;
    for (; k < n; ++k) tail += a[k] * b[k];
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7])) + tail;
}

// The low-rank part of one delta row j for every X row: sum over t of U[j][t] * ts[i][t].
void low_rank_row(const Delta &d, const float *ts, int64_t rows, int64_t j, float *out) {
    const int64_t r = d.rank;
    float uj[64];
    std::unique_ptr<float[]> big;
    float *u = uj;
    if (r > 64) {
        big.reset(new float[size_t(r)]);
        u = big.get();
    }
    for (int64_t t = 0; t < r; ++t) u[t] = quant::half_to_float(d.u[j * r + t]);
    for (int64_t i = 0; i < rows; ++i) {
        float acc = 0.0f;
        for (int64_t t = 0; t < r; ++t) acc += u[t] * ts[i * r + t];
        out[i] = acc;
    }
}

}  // namespace

namespace detail {

void rows_baseline(const Delta &d, const float *x, int64_t rows, const float *ts, float *y, int64_t ldy, int64_t j0,
                   int64_t j1) {
    const int64_t n = d.n;
    const int64_t rb = quant::row_bytes(n, d.bits);
    const auto &signs = quant::sign_table();
    const auto &nibbles = quant::nibble_table();
    std::vector<float> low(size_t(rows), 0.0f);
    for (int64_t j = j0; j < j1; ++j) {
        const uint8_t *row = d.data + j * rb;
        if (d.rank) low_rank_row(d, ts, rows, j, low.data());
        for (int64_t i = 0; i < rows; ++i) {
            const float *xi = x + i * n;
            float acc = 0.0f;
            if (d.kind == Kind::Sign) {
                float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                int64_t k = 0;
                for (; k + 8 <= n; k += 8) {
                    const float *sg = signs[row[k / 8]].data();
                    for (int e = 0; e < 8; ++e) lane[e] += sg[e] * xi[k + e];
                }
                float tail = 0.0f;
                for (; k < n; ++k) tail += (row[k / 8] >> (k % 8)) & 1u ? xi[k] : -xi[k];
                float sum = ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7])) +
                            tail;
                acc = (d.per_row ? d.scales[j] : d.scales[0]) * sum;
            } else {
                const int64_t groups = quant::row_groups(n, d.group);
                const float *sc = d.scales + j * groups;
                for (int64_t g = 0; g < groups; ++g) {
                    const int64_t k0 = g * d.group, k1 = std::min(n, k0 + d.group);
                    float part = 0.0f;
                    if (d.bits == 8) {
                        for (int64_t k = k0; k < k1; ++k) part += float(int8_t(row[k])) * xi[k];
                    } else {
                        int64_t k = k0;
                        if (k % 2) {
                            part += float(int(row[k / 2] >> 4) - 8) * xi[k];
                            ++k;
                        }
                        for (; k + 2 <= k1; k += 2) {
                            const float *q = nibbles[row[k / 2]].data();
                            part += q[0] * xi[k] + q[1] * xi[k + 1];
                        }
                        if (k < k1) part += float(int(row[k / 2] & 0xFu) - 8) * xi[k];
                    }
                    acc += sc[g] * part;
                }
            }
            y[i * ldy + j] = low[size_t(i)] + acc;
        }
    }
}

}  // namespace detail

bool uses_avx2() {
    if (const char *env = std::getenv("VZ_FUSED_BASELINE"))
        if (env[0] == '1') return false;
    static const bool avx2 = detail::kRowsAvx2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                             __builtin_cpu_supports("f16c");
    return avx2;
}

void apply(const Delta &d, const Rows &xr, float *y, int64_t ldy) {
    const int64_t rows = xr.rows, m = d.m, n = d.n;
    if (rows == 0 || m == 0) return;
    if (n == 0) {
        for (int64_t i = 0; i < rows; ++i) std::fill(y + i * ldy, y + i * ldy + m, 0.0f);
        return;
    }
    // X as contiguous float32 rows (widened exactly); a float32 input with unit row gap is used
    // as it is.
    std::unique_ptr<float[]> own;
    const float *x = static_cast<const float *>(xr.data);
    if (xr.kind != fused::Elem::F32 || xr.ld != n) {
        own.reset(new float[size_t(rows) * size_t(n)]);
        for (int64_t i = 0; i < rows; ++i) {
            float *o = own.get() + i * n;
            if (xr.kind == fused::Elem::F32) {
                std::memcpy(o, static_cast<const float *>(xr.data) + i * xr.ld, size_t(n) * sizeof(float));
            } else {
                const uint16_t *src = static_cast<const uint16_t *>(xr.data) + i * xr.ld;
                if (xr.kind == fused::Elem::F16)
                    for (int64_t k = 0; k < n; ++k) o[k] = quant::half_to_float(src[k]);
                else
                    for (int64_t k = 0; k < n; ++k) o[k] = bf16_to_float(src[k]);
            }
        }
        x = own.get();
    }
    // ts = (X · Vtᵀ) · diag(s): rows x rank, one float32 row of Vt at a time.
    std::unique_ptr<float[]> ts;
    if (d.rank) {
        const int64_t r = d.rank;
        ts.reset(new float[size_t(rows) * size_t(r)]);
        float *tp = ts.get();
        parallel_for(size_t(r), size_t(std::max<int64_t>(1, kTaskWork / std::max<int64_t>(1, rows * n))),
                     [&](std::size_t t0, std::size_t t1, unsigned) {
                         std::unique_ptr<float[]> v(new float[size_t(n)]);
                         for (std::size_t t = t0; t < t1; ++t) {
                             const uint16_t *h = d.vt + int64_t(t) * n;
                             for (int64_t k = 0; k < n; ++k) v[size_t(k)] = quant::half_to_float(h[k]);
                             for (int64_t i = 0; i < rows; ++i)
                                 tp[i * r + int64_t(t)] = dot(x + i * n, v.get(), n) * d.s[t];
                         }
                     });
    }
    detail::RowsFn fn = uses_avx2() ? detail::kRowsAvx2 : &detail::rows_baseline;
    const int64_t per_row = std::max<int64_t>(1, rows * (n + d.rank));
    parallel_for(
        size_t(m), size_t(std::max<int64_t>(1, kTaskWork / per_row)),
        [&](std::size_t j0, std::size_t j1, unsigned) { fn(d, x, rows, ts.get(), y, ldy, int64_t(j0), int64_t(j1)); });
}

}  // namespace vz::core::packed
