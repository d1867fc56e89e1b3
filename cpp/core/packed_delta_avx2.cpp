// The packed-delta kernel for AVX2 with FMA and F16C (this file alone is compiled with those
// instruction sets; packed_delta.cpp picks it at run time when the processor has them).
//
// Per delta row: eight packed values at a time are unpacked into one vector (sign bits by a
// compare against the bit masks, 4-bit codes by variable shifts of one broadcast word, 8-bit
// codes by sign extension), scaled by their group's scale, and multiplied into up to eight rows
// of X held in eight accumulators, so the unpacking is shared by the block of rows. The values
// past the last multiple of eight in a row take the portable path.
#include "core/packed_delta.hpp"

#if defined(__AVX2__) && defined(__FMA__) && defined(__F16C__)

#include "core/quant_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <immintrin.h>

namespace vz::core::packed::detail {
namespace {

// Rows of X per block: eight accumulators, the unpacked vector, its scale and an X load fit in
// AVX2's sixteen registers.
constexpr int kRowBlock = 8;

inline float hsum(__m256 v) {
    __m128 lo = _mm256_castps256_ps128(v), hi = _mm256_extractf128_ps(v, 1);
    __m128 s = _mm_add_ps(lo, hi);
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(s);
}

// Eight sign values (+1 / -1) from one byte, least significant bit first.
inline __m256 unpack_signs(uint8_t byte) {
    const __m256i sel = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(byte), sel), sel);
    // -1.0f with the sign bit cleared where the bit is set.
    __m256 minus = _mm256_set1_ps(-1.0f);
    return _mm256_andnot_ps(_mm256_and_ps(_mm256_castsi256_ps(set), _mm256_set1_ps(-0.0f)), minus);
}

// Eight 4-bit codes (value - 8, low nibble first) from four bytes.
inline __m256 unpack_nibbles(const uint8_t *p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    __m256i v = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int(word)), shifts), _mm256_set1_epi32(0xF));
    return _mm256_cvtepi32_ps(_mm256_sub_epi32(v, _mm256_set1_epi32(8)));
}

// Eight 8-bit codes (int8) from eight bytes.
inline __m256 unpack_bytes(const uint8_t *p) {
    long long word;
    std::memcpy(&word, p, 8);
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_cvtsi64_si128(word)));
}

// The scales of values k .. k+7 of a row of grouped codes (k + 8 <= n), given the group g that
// holds value k and where it ends.
inline __m256 chunk_scales(const float *sc, int64_t k, int64_t group, int64_t &g, int64_t &gend) {
    if (k >= gend) {
        g = k / group;
        gend = (g + 1) * group;
    }
    if (k + 8 <= gend) return _mm256_set1_ps(sc[g]);
    alignas(32) float v[8];
    int64_t gg = g, ge = gend;
    for (int e = 0; e < 8; ++e) {
        while (k + e >= ge) {
            ++gg;
            ge += group;
        }
        v[e] = sc[gg];
    }
    return _mm256_load_ps(v);
}

template <int RB>
void block(const Delta &d, const float *x, int64_t n8, const uint8_t *row, const float *sc, float *out) {
    __m256 acc[RB];
    for (int i = 0; i < RB; ++i) acc[i] = _mm256_setzero_ps();
    const int64_t n = d.n;
    if (d.kind == Kind::Sign) {
        for (int64_t k = 0; k < n8; k += 8) {
            __m256 w = unpack_signs(row[k / 8]);
            for (int i = 0; i < RB; ++i) acc[i] = _mm256_fmadd_ps(w, _mm256_loadu_ps(x + i * n + k), acc[i]);
        }
    } else {
        int64_t g = 0, gend = 0;
        for (int64_t k = 0; k < n8; k += 8) {
            __m256 q = d.bits == 8 ? unpack_bytes(row + k) : unpack_nibbles(row + k / 2);
            __m256 w = _mm256_mul_ps(q, chunk_scales(sc, k, d.group, g, gend));
            for (int i = 0; i < RB; ++i) acc[i] = _mm256_fmadd_ps(w, _mm256_loadu_ps(x + i * n + k), acc[i]);
        }
    }
    for (int i = 0; i < RB; ++i) out[i] = hsum(acc[i]);
}

void rows_avx2(const Delta &d, const float *x, int64_t rows, const float *ts, float *y, int64_t ldy, int64_t j0,
               int64_t j1) {
    const int64_t n = d.n, r = d.rank;
    const int64_t n8 = n & ~int64_t(7);
    const int64_t rb = quant::row_bytes(n, d.bits);
    const int64_t groups = d.kind == Kind::Codes ? quant::row_groups(n, d.group) : 0;
    float u[64];
    for (int64_t j = j0; j < j1; ++j) {
        const uint8_t *row = d.data + j * rb;
        const float *sc = d.kind == Kind::Codes ? d.scales + j * groups : nullptr;
        const float row_scale = d.kind == Kind::Sign ? (d.per_row ? d.scales[j] : d.scales[0]) : 1.0f;
        for (int64_t t = 0; t < std::min<int64_t>(r, 64); ++t) u[t] = _cvtsh_ss(d.u[j * r + t]);
        for (int64_t i0 = 0; i0 < rows; i0 += kRowBlock) {
            const int64_t nb = std::min<int64_t>(kRowBlock, rows - i0);
            float part[kRowBlock];
            const float *xb = x + i0 * n;
            switch (nb) {
                case 8: block<8>(d, xb, n8, row, sc, part); break;
                case 7: block<7>(d, xb, n8, row, sc, part); break;
                case 6: block<6>(d, xb, n8, row, sc, part); break;
                case 5: block<5>(d, xb, n8, row, sc, part); break;
                case 4: block<4>(d, xb, n8, row, sc, part); break;
                case 3: block<3>(d, xb, n8, row, sc, part); break;
                case 2: block<2>(d, xb, n8, row, sc, part); break;
                default: block<1>(d, xb, n8, row, sc, part); break;
            }
            for (int64_t b = 0; b < nb; ++b) {
                const int64_t i = i0 + b;
                const float *xi = x + i * n;
                float acc = part[b];
                // The values past the last multiple of eight.
                for (int64_t k = n8; k < n; ++k) {
                    float v;
                    if (d.kind == Kind::Sign)
                        v = (row[k / 8] >> (k % 8)) & 1u ? 1.0f : -1.0f;
                    else if (d.bits == 8)
                        v = float(int8_t(row[k])) * sc[k / d.group];
                    else
                        v = float(int((k % 2 ? row[k / 2] >> 4 : row[k / 2] & 0xFu)) - 8) * sc[k / d.group];
                    acc += v * xi[k];
                }
                float low = 0.0f;
                if (r) {
                    const float *t = ts + i * r;
                    if (r <= 64)
                        for (int64_t q = 0; q < r; ++q) low += u[q] * t[q];
                    else
                        for (int64_t q = 0; q < r; ++q) low += _cvtsh_ss(d.u[j * r + q]) * t[q];
                }
                y[i * ldy + j] = low + row_scale * acc;
            }
        }
    }
}

}  // namespace

const RowsFn kRowsAvx2 = &rows_avx2;

}  // namespace vz::core::packed::detail

#else

namespace vz::core::packed::detail {
const RowsFn kRowsAvx2 = nullptr;
}  // namespace vz::core::packed::detail

#endif
