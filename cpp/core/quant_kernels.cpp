#include "core/quant_kernels.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <cmath>
#include <cstring>
#include <vector>

namespace vz::core::quant {

namespace {

// Rows per task: enough work per chunk that thread start-up does not dominate.
std::size_t row_grain(int64_t n) { return std::size_t(std::max<int64_t>(1, (1 << 16) / std::max<int64_t>(n, 1))); }

// Sum of |x| over a row: eight float lanes over blocks of 256 values (vectorisable), each block
// added into a double, so that long rows keep their precision.
double row_abs_sum(const float *x, int64_t n) {
    double total = 0.0;
    int64_t j = 0;
    for (; j + 256 <= n; j += 256) {
        float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int64_t b = 0; b < 256; b += 8)
            for (int k = 0; k < 8; ++k) lane[k] += std::fabs(x[j + b + k]);
        double block = 0.0;
        for (float v : lane) block += double(v);
        total += block;
    }
    for (; j < n; ++j) total += std::fabs(double(x[j]));
    return total;
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
// clipping would add. The levels (1.0 down to 0.7 by 0.05) are a choice, not a measurement: each
// one is another pass over the group (benchmarks/bench_quant.py times the 4-bit pack with all
// seven); a wider or finer range trades more passes for a closer fit.
constexpr float kClip4[] = {1.0f, 0.95f, 0.9f, 0.85f, 0.8f, 0.75f, 0.7f};
constexpr float kClip8[] = {1.0f};

// Round to nearest (ties to even) by the float magic number: exact for |v| < 2^22 and without
// a library call, unlike nearbyint on baseline x86-64. Values are clamped first, so the
// magnitude never exceeds qmax. NaN never reaches here (callers refuse non-finite input).
inline float round_code(float v, float inv, float qmax) {
    constexpr float kMagic = 12582912.0f;  // 1.5 * 2^23
    float q = std::min(qmax, std::max(-qmax, v * inv));
    return (q + kMagic) - kMagic;  // not folded: IEEE arithmetic without -ffast-math
}
inline int quantize(float v, float inv, int qmax) { return int(round_code(v, inv, float(qmax))); }

// The scale of one group; false when the group holds a NaN or an infinity.
bool fit_scale(const float *x, int64_t len, int bits, float &out) {
    float amax = 0.0f;
    bool finite = true;
    for (int64_t j = 0; j < len; ++j) {
        float a = std::fabs(x[j]);
        finite &= a <= std::numeric_limits<float>::max();  // false for NaN and infinity
        amax = std::max(amax, a);
    }
    if (!finite) return false;
    out = 0.0f;
    if (!(amax > 0.0f)) return true;
    const int qmax = (1 << (bits - 1)) - 1;
    const float *clips = bits == 4 ? kClip4 : kClip8;
    const int nclips = bits == 4 ? int(std::size(kClip4)) : int(std::size(kClip8));
    float best_scale = amax / float(qmax);
    double best_err = -1.0;
    for (int c = 0; c < nclips; ++c) {
        float scale = amax * clips[c] / float(qmax);
        float inv = 1.0f / scale;
        // Squared error in eight float lanes (vectorisable); a group is short, so float is enough
        // to rank the candidates.
        float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        int64_t j = 0;
        for (; j + 8 <= len; j += 8)
            for (int k = 0; k < 8; ++k) {
                float d = x[j + k] - round_code(x[j + k], inv, float(qmax)) * scale;
                lane[k] += d * d;
            }
        for (; j < len; ++j) {
            float d = x[j] - round_code(x[j], inv, float(qmax)) * scale;
            lane[0] += d * d;
        }
        double err = 0.0;
        for (float v : lane) err += double(v);
        if (best_err < 0.0 || err < best_err) {
            best_err = err;
            best_scale = scale;
        }
    }
    out = best_scale;
    return true;
}

bool quant_row(const float *x, int64_t n, int bits, int64_t group, uint8_t *codes, float *scales) {
    const int qmax = (1 << (bits - 1)) - 1;
    if (bits == 4) std::memset(codes, 0, size_t(row_bytes(n, 4)));
    for (int64_t g = 0, j0 = 0; j0 < n; ++g, j0 += group) {
        int64_t len = std::min(group, n - j0);
        float scale = 0.0f;
        if (!fit_scale(x + j0, len, bits, scale)) return false;
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
    return true;
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
        } else if ((j0 & 1) == 0) {
            // Whole bytes (two codes each) through a table, then an odd last code if any.
            const auto &t = nibble_table();
            int64_t j = j0;
            for (; j + 2 <= end; j += 2) {
                const float *p = t[codes[j >> 1]].data();
                if (Acc) {
                    out[j] += p[0] * scale;
                    out[j + 1] += p[1] * scale;
                } else {
                    out[j] = p[0] * scale;
                    out[j + 1] = p[1] * scale;
                }
            }
            if (j < end) {
                float v = t[codes[j >> 1]][0] * scale;
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

// The two 4-bit codes of a byte as values (low nibble first): nibble - 8.
const std::array<std::array<float, 2>, 256> &nibble_table() {
    static const std::array<std::array<float, 2>, 256> table = [] {
        std::array<std::array<float, 2>, 256> t{};
        for (int b = 0; b < 256; ++b) t[size_t(b)] = {float((b & 0xF) - 8), float((b >> 4) - 8)};
        return t;
    }();
    return table;
}

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

bool sign_pack(const float *x, int64_t m, int64_t n, bool per_row, uint8_t *bits, float *scales) {
    const int64_t rb = row_bytes(n, 1);
    std::vector<double> sums(size_t(std::max<int64_t>(m, 0)));
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) {
            const float *row = x + int64_t(i) * n;
            sums[i] = row_abs_sum(row, n);
            pack_signs(row, n, bits + int64_t(i) * rb);
        }
    });
    // A NaN or an infinity anywhere makes its row's sum non-finite (a sum of float32
    // magnitudes cannot overflow a double).
    double total = 0.0;
    for (double s : sums) total += s;
    if (!std::isfinite(total)) return false;
    if (per_row) {
        for (int64_t i = 0; i < m; ++i) scales[i] = n ? float(sums[size_t(i)] / double(n)) : 0.0f;
    } else {
        scales[0] = (m > 0 && n > 0) ? float(total / (double(m) * double(n))) : 0.0f;
    }
    return true;
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

void fit_row_column_scales(const float *x, int64_t m, int64_t n, float *rows, float *cols) {
    // Alternating least squares of |x| ~ r c^T from r = the rows' mean magnitudes, c = 1: each
    // step is the exact minimiser in one factor given the other.
    constexpr int kSteps = 6;
    std::vector<double> r(size_t(std::max<int64_t>(m, 0))), c(size_t(std::max<int64_t>(n, 0)), 1.0);
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e; ++i) r[i] = n ? row_abs_sum(x + int64_t(i) * n, n) / double(n) : 0.0;
    });
    for (int step = 0; step < kSteps; ++step) {
        double rr = 0.0;
        for (double v : r) rr += v * v;
        std::fill(c.begin(), c.end(), 0.0);
        for (int64_t i = 0; i < m; ++i) {
            const float *row = x + i * n;
            const double ri = r[size_t(i)];
            if (ri == 0.0) continue;
            for (int64_t j = 0; j < n; ++j) c[size_t(j)] += ri * std::fabs(double(row[j]));
        }
        for (double &v : c) v = rr > 0.0 ? v / rr : 0.0;
        double cc = 0.0;
        for (double v : c) cc += v * v;
        parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
            for (std::size_t i = b; i < e; ++i) {
                const float *row = x + int64_t(i) * n;
                double acc = 0.0;
                for (int64_t j = 0; j < n; ++j) acc += c[size_t(j)] * std::fabs(double(row[j]));
                r[i] = cc > 0.0 ? acc / cc : 0.0;
            }
        });
    }
    for (int64_t i = 0; i < m; ++i) rows[i] = float(r[size_t(i)]);
    for (int64_t j = 0; j < n; ++j) cols[j] = float(c[size_t(j)]);
}

void sign_unpack_row_column(const uint8_t *bits, const float *rows, const float *cols, int64_t m, int64_t n, float *out,
                            bool accumulate) {
    const int64_t rb = row_bytes(n, 1);
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        std::vector<float> tmp(size_t(std::max<int64_t>(n, 1)));
        for (std::size_t i = b; i < e; ++i) {
            unpack_signs<false>(bits + int64_t(i) * rb, rows[i], n, tmp.data());
            float *o = out + int64_t(i) * n;
            if (accumulate)
                for (int64_t j = 0; j < n; ++j) o[j] += tmp[size_t(j)] * cols[j];
            else
                for (int64_t j = 0; j < n; ++j) o[j] = tmp[size_t(j)] * cols[j];
        }
    });
}

bool group_quant(const float *x, int64_t m, int64_t n, int bits, int64_t group, uint8_t *codes, float *scales) {
    const int64_t rb = row_bytes(n, bits), ng = row_groups(n, group);
    std::atomic<bool> finite{true};
    parallel_for(size_t(m), row_grain(n), [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t i = b; i < e && finite.load(std::memory_order_relaxed); ++i)
            if (!quant_row(x + int64_t(i) * n, n, bits, group, codes + int64_t(i) * rb, scales + int64_t(i) * ng))
                finite.store(false, std::memory_order_relaxed);
    });
    return finite.load();
}

void group_dequant(const uint8_t *codes, const float *scales, int64_t m, int64_t n, int bits, int64_t group, float *out,
                   bool accumulate) {
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
