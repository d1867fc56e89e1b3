#include "core/quant_kernels.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace vz::core::quant {

namespace {

// Rows per task: enough work per chunk that thread start-up does not dominate.
std::size_t row_grain(int64_t n) { return std::size_t(std::max<int64_t>(1, (1 << 16) / std::max<int64_t>(n, 1))); }

// +1 / -1 for each of the 8 bits of a byte, least significant bit first.
const std::array<std::array<float, 8>, 256> &sign_table() {
    static const std::array<std::array<float, 8>, 256> table = [] {
        std::array<std::array<float, 8>, 256> t{};
        for (int b = 0; b < 256; ++b)
            for (int k = 0; k < 8; ++k) t[size_t(b)][size_t(k)] = (b >> k) & 1 ? 1.0f : -1.0f;
        return t;
    }();
    return table;
}

double row_abs_sum(const float *x, int64_t n) {
    double s = 0.0;
    for (int64_t j = 0; j < n; ++j) s += std::fabs(double(x[j]));
    return s;
}

void pack_signs(const float *x, int64_t n, uint8_t *out) {
    int64_t full = n / 8;
    for (int64_t b = 0; b < full; ++b) {
        const float *p = x + 8 * b;
        unsigned v = 0;
        for (int k = 0; k < 8; ++k) v |= unsigned(p[k] >= 0.0f) << k;
        out[b] = uint8_t(v);
    }
    if (n % 8) {
        unsigned v = 0;
        for (int64_t k = 0; k < n % 8; ++k) v |= unsigned(x[8 * full + k] >= 0.0f) << k;
        out[full] = uint8_t(v);
    }
}

template <bool Acc>
void unpack_signs(const uint8_t *bits, float scale, int64_t n, float *out) {
    const auto &t = sign_table();
    int64_t full = n / 8;
    for (int64_t b = 0; b < full; ++b) {
        const float *s = t[bits[b]].data();
        float *o = out + 8 * b;
        for (int k = 0; k < 8; ++k) {
            if (Acc)
                o[k] += scale * s[k];
            else
                o[k] = scale * s[k];
        }
    }
    for (int64_t k = 0; k < n % 8; ++k) {
        float v = scale * t[bits[full]][size_t(k)];
        if (Acc)
            out[8 * full + k] += v;
        else
            out[8 * full + k] = v;
    }
}

// Clipping levels tried for a group's scale, as fractions of its largest magnitude. Four-bit
// codes gain from clipping a few outliers; eight-bit codes have rounding error far below what
// clipping would add.
constexpr float kClip4[] = {1.0f, 0.95f, 0.9f, 0.85f, 0.8f, 0.75f, 0.7f};
constexpr float kClip8[] = {1.0f};

inline int quantize(float v, float inv, int qmax) {
    float q = std::nearbyint(v * inv);
    return int(std::min(float(qmax), std::max(float(-qmax), q)));
}

float fit_scale(const float *x, int64_t len, int bits) {
    float amax = 0.0f;
    for (int64_t j = 0; j < len; ++j) amax = std::max(amax, std::fabs(x[j]));
    if (!(amax > 0.0f) || !std::isfinite(amax)) return std::isfinite(amax) ? 0.0f : amax;
    const int qmax = (1 << (bits - 1)) - 1;
    const float *clips = bits == 4 ? kClip4 : kClip8;
    const int nclips = bits == 4 ? int(std::size(kClip4)) : int(std::size(kClip8));
    float best_scale = amax / float(qmax);
    double best_err = -1.0;
    for (int c = 0; c < nclips; ++c) {
        float scale = amax * clips[c] / float(qmax);
        float inv = 1.0f / scale;
        double err = 0.0;
        for (int64_t j = 0; j < len; ++j) {
            double d = double(x[j]) - double(quantize(x[j], inv, qmax)) * double(scale);
            err += d * d;
        }
        if (best_err < 0.0 || err < best_err) {
            best_err = err;
            best_scale = scale;
        }
    }
    return best_scale;
}

void quant_row(const float *x, int64_t n, int bits, int64_t group, uint8_t *codes, float *scales) {
    const int qmax = (1 << (bits - 1)) - 1;
    if (bits == 4) std::memset(codes, 0, size_t(row_bytes(n, 4)));
    for (int64_t g = 0, j0 = 0; j0 < n; ++g, j0 += group) {
        int64_t len = std::min(group, n - j0);
        float scale = fit_scale(x + j0, len, bits);
        scales[g] = scale;
        float inv = scale > 0.0f && std::isfinite(scale) ? 1.0f / scale : 0.0f;
        for (int64_t j = j0; j < j0 + len; ++j) {
            int q = quantize(x[j], inv, qmax);
            if (bits == 8)
                codes[j] = uint8_t(int8_t(q));
            else
                codes[j >> 1] |= uint8_t((q + 8) << ((j & 1) * 4));
        }
    }
}

template <bool Acc>
void dequant_row(const uint8_t *codes, const float *scales, int64_t n, int bits, int64_t group, float *out) {
    for (int64_t g = 0, j0 = 0; j0 < n; ++g, j0 += group) {
        int64_t end = std::min(n, j0 + group);
        float scale = scales[g];
        if (bits == 8) {
            for (int64_t j = j0; j < end; ++j) {
                float v = float(int8_t(codes[j])) * scale;
                if (Acc)
                    out[j] += v;
                else
                    out[j] = v;
            }
        } else {
            for (int64_t j = j0; j < end; ++j) {
                int q = int((codes[j >> 1] >> ((j & 1) * 4)) & 0xF) - 8;
                float v = float(q) * scale;
                if (Acc)
                    out[j] += v;
                else
                    out[j] = v;
            }
        }
    }
}

}  // namespace

uint16_t float_to_half(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t mag = x & 0x7FFFFFFFu;
    if (mag >= 0x7F800000u)  // infinity or NaN (NaN keeps a set mantissa bit)
        return uint16_t(sign | 0x7C00u | (mag > 0x7F800000u ? 0x200u : 0u));
    if (mag >= 0x477FF000u) return uint16_t(sign | 0x7C00u);  // rounds past the largest half
    if (mag < 0x38800000u) {                                   // below the smallest normal half
        if (mag < 0x33000000u) return uint16_t(sign);          // rounds to zero
        uint32_t e = mag >> 23;
        uint32_t m = (mag & 0x7FFFFFu) | 0x800000u;
        uint32_t shift = 126u - e;  // 14..24 (subnormal half: value = m * 2^-24)
        uint32_t r = m >> shift;
        uint32_t rem = m & ((1u << shift) - 1u), half = 1u << (shift - 1u);
        if (rem > half || (rem == half && (r & 1u))) ++r;
        return uint16_t(sign | r);
    }
    uint32_t r = ((mag >> 13) - (112u << 10));
    uint32_t rem = mag & 0x1FFFu;
    if (rem > 0x1000u || (rem == 0x1000u && (r & 1u))) ++r;  // a carry into the exponent is right
    return uint16_t(sign | r);
}

float half_to_float(uint16_t h) {
    uint32_t sign = uint32_t(h & 0x8000u) << 16;
    uint32_t e = (h >> 10) & 0x1Fu, m = h & 0x3FFu;
    uint32_t x;
    if (e == 0x1Fu) {
        x = sign | 0x7F800000u | (m << 13);
    } else if (e == 0) {
        if (m == 0) {
            x = sign;
        } else {
            float v = std::ldexp(float(m), -24);
            std::memcpy(&x, &v, 4);
            x |= sign;
        }
    } else {
        x = sign | ((e + 112u) << 23) | (m << 13);
    }
    float f;
    std::memcpy(&f, &x, 4);
    return f;
}

void to_half(const float *src, uint16_t *dst, std::size_t n) {
    parallel_for(n, 1 << 16, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) dst[i] = float_to_half(src[i]);
    });
}

void from_half(const uint16_t *src, float *dst, std::size_t n) {
    parallel_for(n, 1 << 16, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) dst[i] = half_to_float(src[i]);
    });
}

void sign_pack(const float *x, int64_t m, int64_t n, bool per_row, uint8_t *bits, float *scales) {
    const int64_t rb = row_bytes(n, 1);
    std::vector<double> sums(size_t(std::max<int64_t>(m, 0)));
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) {
            const float *row = x + int64_t(i) * n;
            sums[i] = row_abs_sum(row, n);
            pack_signs(row, n, bits + int64_t(i) * rb);
        }
    });
    if (per_row) {
        for (int64_t i = 0; i < m; ++i) scales[i] = n ? float(sums[size_t(i)] / double(n)) : 0.0f;
    } else {
        double total = 0.0;
        for (double s : sums) total += s;
        scales[0] = (m > 0 && n > 0) ? float(total / (double(m) * double(n))) : 0.0f;
    }
}

void sign_unpack(const uint8_t *bits, const float *scales, int64_t m, int64_t n, bool per_row, float *out,
                 bool accumulate) {
    const int64_t rb = row_bytes(n, 1);
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) {
            float s = per_row ? scales[i] : scales[0];
            if (accumulate)
                unpack_signs<true>(bits + int64_t(i) * rb, s, n, out + int64_t(i) * n);
            else
                unpack_signs<false>(bits + int64_t(i) * rb, s, n, out + int64_t(i) * n);
        }
    });
}

void group_quant(const float *x, int64_t m, int64_t n, int bits, int64_t group, uint8_t *codes, float *scales) {
    const int64_t rb = row_bytes(n, bits), ng = row_groups(n, group);
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i)
            quant_row(x + int64_t(i) * n, n, bits, group, codes + int64_t(i) * rb, scales + int64_t(i) * ng);
    });
}

void group_dequant(const uint8_t *codes, const float *scales, int64_t m, int64_t n, int bits, int64_t group,
                   float *out, bool accumulate) {
    const int64_t rb = row_bytes(n, bits), ng = row_groups(n, group);
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) {
            const uint8_t *c = codes + int64_t(i) * rb;
            const float *s = scales + int64_t(i) * ng;
            float *o = out + int64_t(i) * n;
            if (accumulate)
                dequant_row<true>(c, s, n, bits, group, o);
            else
                dequant_row<false>(c, s, n, bits, group, o);
        }
    });
}

}  // namespace vz::core::quant
