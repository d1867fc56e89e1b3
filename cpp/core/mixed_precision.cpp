#include "core/mixed_precision.hpp"

#include "core/blas.hpp"
#include "core/lowrank_kernels.hpp"
#include "core/parallel.hpp"
#include "core/quant_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>
#include <stdexcept>

namespace vz::core::mixed {

namespace {

// Clip fractions of a vector's largest magnitude tried for its scale.
constexpr int kClipSteps = 7;  // 1.0, 0.9, ..., 0.4
// Largest finite half-precision value.
constexpr float kHalfMax = 65504.0f;

// The largest code magnitude of a width: 1.5 for width 2 (levels +-0.5, +-1.5), else 2^(b-1) - 1.
float top_level(int bits) { return bits == 2 ? 1.5f : float((1 << (bits - 1)) - 1); }

// Code of value x at `inv` = 1 / scale.
inline uint32_t code_of(float x, float inv, int bits) {
    if (bits == 2) {
        float c = std::floor(x * inv + 2.0f);
        return uint32_t(std::clamp(c, 0.0f, 3.0f));
    }
    const float q = top_level(bits);
    float c = std::nearbyint(x * inv);
    return uint32_t(std::clamp(c, -q, q) + q);
}

inline float value_of(uint32_t c, float scale, int bits) {
    if (bits == 2) return (float(c) - 1.5f) * scale;
    return (float(c) - top_level(bits)) * scale;
}

// Squared error of coding x at `scale`.
double coding_error(const float *x, int64_t len, float scale, int bits) {
    const float inv = 1.0f / scale;
    double e = 0.0;
    for (int64_t i = 0; i < len; ++i) {
        float d = x[i] - value_of(code_of(x[i], inv, bits), scale, bits);
        e += double(d) * double(d);
    }
    return e;
}

void pack(const float *x, int64_t len, int bits, float scale, uint8_t *out) {
    const float inv = 1.0f / scale;
    if (bits == 8) {
        for (int64_t i = 0; i < len; ++i) out[i] = uint8_t(code_of(x[i], inv, bits));
        return;
    }
    uint64_t acc = 0;
    int filled = 0;
    int64_t o = 0;
    for (int64_t i = 0; i < len; ++i) {
        acc |= uint64_t(code_of(x[i], inv, bits)) << filled;
        filled += bits;
        while (filled >= 8) {
            out[o++] = uint8_t(acc & 0xFF);
            acc >>= 8;
            filled -= 8;
        }
    }
    if (filled > 0) out[o] = uint8_t(acc & 0xFF);
}

// Codes one vector; returns its half-precision scale.
uint16_t quantize(const float *x, int64_t len, int bits, uint8_t *out) {
    float peak = 0.0f;
    for (int64_t i = 0; i < len; ++i) peak = std::max(peak, std::fabs(x[i]));
    uint16_t best_half = 0;
    float best_scale = 0.0f;
    if (peak > 0.0f) {
        double best = -1.0;
        for (int c = 0; c < kClipSteps; ++c) {
            float want = peak * float(10 - c) / 10.0f / top_level(bits);
            if (!(want <= kHalfMax))
                throw std::invalid_argument("svd_mixed: a factor is too large for its float16 scale");
            uint16_t h = quant::float_to_half(want);
            float scale = quant::half_to_float(h);
            if (!(scale > 0.0f)) continue;  // below half precision's range: the vector stays zero
            double e = coding_error(x, len, scale, bits);
            if (best < 0.0 || e < best) {
                best = e;
                best_half = h;
                best_scale = scale;
            }
        }
    }
    if (best_scale > 0.0f) {
        pack(x, len, bits, best_scale, out);
    } else {
        // All zero (or too small to scale): codes of the value 0 where the width has one; width 2
        // has none, and its scale 0 makes every code 0 anyway.
        std::memset(out, 0, size_t(vector_bytes(len, bits)));
        best_half = 0;
    }
    return best_half;
}

void unpack(const uint8_t *in, int64_t len, int bits, float scale, float *out, int64_t stride) {
    if (bits == 8) {
        for (int64_t i = 0; i < len; ++i) out[i * stride] = value_of(in[i], scale, bits);
        return;
    }
    const uint32_t mask = (1u << bits) - 1u;
    uint64_t acc = 0;
    int filled = 0;
    int64_t p = 0;
    for (int64_t i = 0; i < len; ++i) {
        while (filled < bits) {
            acc |= uint64_t(in[p++]) << filled;
            filled += 8;
        }
        out[i * stride] = value_of(uint32_t(acc & mask), scale, bits);
        acc >>= bits;
        filled -= bits;
    }
}

// Byte offset of each triplet's codes in the stream (r + 1 entries).
std::vector<int64_t> offsets(const uint8_t *widths, int64_t r, int64_t m, int64_t n) {
    std::vector<int64_t> off(size_t(r) + 1, 0);
    for (int64_t i = 0; i < r; ++i)
        off[size_t(i) + 1] = off[size_t(i)] + vector_bytes(m, widths[i]) + vector_bytes(n, widths[i]);
    return off;
}

}  // namespace

int64_t code_bytes(const uint8_t *widths, int64_t r, int64_t m, int64_t n) {
    if (r < 0 || m < 0 || n < 0) return -1;
    // Each vector's bits stay below 2^62 when its length is below 2^58 (8 bits a value at most).
    constexpr int64_t kMaxLen = int64_t(1) << 58;
    if (m >= kMaxLen || n >= kMaxLen) return -1;
    int64_t total = 0;
    for (int64_t i = 0; i < r; ++i) {
        if (!valid_width(widths[i])) return -1;
        int64_t one = vector_bytes(m, widths[i]) + vector_bytes(n, widths[i]);
        if (__builtin_add_overflow(total, one, &total)) return -1;
    }
    return total;
}

double allocate(const std::vector<Spectrum> &mats, double budget_bits, std::vector<std::vector<uint8_t>> &widths) {
    struct Step {
        double per_bit;
        uint32_t mat;
        uint32_t idx;
        bool operator<(const Step &o) const {
            if (per_bit != o.per_bit) return per_bit < o.per_bit;
            if (mat != o.mat) return mat > o.mat;  // ties: earlier matrix, then earlier triplet first
            return idx > o.idx;
        }
    };
    std::vector<std::vector<uint8_t>> level(mats.size());
    auto step_of = [&](uint32_t j, uint32_t i, int lv, double &cost) {
        const Spectrum &sp = mats[j];
        double s2 = sp.s[i] * sp.s[i];
        cost = double(sp.m + sp.n) * double(kWidths[lv + 1] - kWidths[lv]) + (lv == 0 ? double(kScaleBits) : 0.0);
        return s2 * (kLevelError[lv] - kLevelError[lv + 1]) / cost;
    };
    std::vector<Step> init;
    for (uint32_t j = 0; j < mats.size(); ++j) {
        level[j].assign(size_t(mats[j].k), 0);
        for (uint32_t i = 0; i < uint32_t(mats[j].k); ++i) {
            if (!(mats[j].s[i] > 0.0) || !std::isfinite(mats[j].s[i])) continue;
            double cost;
            double g = step_of(j, i, 0, cost);
            init.push_back({g, j, i});
        }
    }
    std::priority_queue<Step> heap(std::less<Step>(), std::move(init));
    double left = budget_bits, spent = 0.0;
    while (!heap.empty()) {
        Step st = heap.top();
        heap.pop();
        int lv = level[st.mat][st.idx];
        double cost;
        step_of(st.mat, st.idx, lv, cost);
        if (cost > left) continue;
        left -= cost;
        spent += cost;
        level[st.mat][st.idx] = uint8_t(++lv);
        if (lv + 1 < kLevels) {
            double g = step_of(st.mat, st.idx, lv, cost);
            heap.push({g, st.mat, st.idx});
        }
    }
    widths.assign(mats.size(), {});
    for (size_t j = 0; j < mats.size(); ++j) {
        size_t r = level[j].size();
        while (r > 0 && level[j][r - 1] == 0) --r;
        widths[j].resize(r);
        for (size_t i = 0; i < r; ++i) widths[j][i] = uint8_t(kWidths[level[j][i]]);
    }
    return spent;
}

void singular_values(const float *a, int64_t m, int64_t n, float *s) {
    if (m == 0 || n == 0) return;
    lowrank::Buffer<float> work = lowrank::alloc<float>(std::size_t(m) * std::size_t(n));
    std::memcpy(work.get(), a, std::size_t(m) * std::size_t(n) * sizeof(float));
    // Row-major m x n is column-major n x m: the same singular values.
    BlasThreads threads(double(m) * double(n) * double(std::min(m, n)), kParallelSvdFlops);
    gesdd_values<float>(checked_int(n), checked_int(m), work.get(), s);
}

double predicted_error(const Spectrum &sp, const uint8_t *widths, int64_t r) {
    double total = 0.0, err = 0.0;
    for (int64_t i = 0; i < sp.k; ++i) {
        double s2 = sp.s[i] * sp.s[i];
        total += s2;
        err += s2 * (i < r ? kLevelError[level_of(widths[i])] : 1.0);
    }
    return total > 0.0 ? err / total : 0.0;
}

void encode(const float *u, int64_t k, const float *s, const float *vt, int64_t m, int64_t n, const uint8_t *widths,
            int64_t r, uint8_t *codes, uint16_t *scales) {
    std::vector<int64_t> off = offsets(widths, r, m, n);
    parallel_for(std::size_t(r), 1, [&](std::size_t b, std::size_t e, unsigned) {
        std::vector<float> col(size_t(std::max<int64_t>(m, n)));
        for (std::size_t i = b; i < e; ++i) {
            const int w = widths[i];
            uint8_t *out = codes + off[i];
            if (w == 0) {
                scales[2 * i] = scales[2 * i + 1] = 0;
                continue;
            }
            const float root = std::sqrt(std::max(s[i], 0.0f));
            for (int64_t p = 0; p < m; ++p) col[size_t(p)] = root * u[p * k + int64_t(i)];
            scales[2 * i] = quantize(col.data(), m, w, out);
            for (int64_t p = 0; p < n; ++p) col[size_t(p)] = root * vt[int64_t(i) * n + p];
            scales[2 * i + 1] = quantize(col.data(), n, w, out + vector_bytes(m, w));
        }
    });
}

void decode(const uint8_t *codes, const uint16_t *scales, const uint8_t *widths, int64_t r, int64_t m, int64_t n,
            float *a, float *bt) {
    std::vector<int64_t> off = offsets(widths, r, m, n);
    parallel_for(std::size_t(r), 1, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) {
            const int w = widths[i];
            if (w == 0) {
                for (int64_t p = 0; p < m; ++p) a[p * r + int64_t(i)] = 0.0f;
                std::fill(bt + int64_t(i) * n, bt + int64_t(i + 1) * n, 0.0f);
                continue;
            }
            unpack(codes + off[i], m, w, quant::half_to_float(scales[2 * i]), a + i, r);
            unpack(codes + off[i] + vector_bytes(m, w), n, w, quant::half_to_float(scales[2 * i + 1]),
                   bt + int64_t(i) * n, 1);
        }
    });
}

}  // namespace vz::core::mixed
