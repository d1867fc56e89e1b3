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
#include <vector>

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

// Eight 4-bit nibbles (0 .. 15, low nibble first) from four bytes; the code is the nibble - 8,
// which the callers fold into the scaling: nibble * s + (-8 s) rounds exactly as (nibble - 8) * s.
inline __m256 unpack_nibbles(const uint8_t *p) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    __m256i v = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int(word)), shifts), _mm256_set1_epi32(0xF));
    return _mm256_cvtepi32_ps(v);
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

// Bytes of X per pass over the packed rows of a task: half of a 32 KiB first-level data cache, so
// the block of X stays there while the packed rows stream past it (512 columns of 8 rows).
constexpr int64_t kColBlockBytes = int64_t(16) << 10;
// Packed bytes per strip of delta rows: a quarter of a 256 KiB second-level cache.
constexpr int64_t kStripBytes = int64_t(64) << 10;

// The values of eight codes at scale sv (codes of 4 bits stored as nibbles offset by 8).
template <int BITS>
inline __m256 scaled(__m256 q, __m256 sv) {
    if constexpr (BITS == 4)
        return _mm256_fmadd_ps(q, sv, _mm256_mul_ps(sv, _mm256_set1_ps(-8.0f)));
    else
        return _mm256_mul_ps(q, sv);
}

template <int BITS>
inline __m256 unpack(const uint8_t *row, int64_t k) {
    if constexpr (BITS == 1)
        return unpack_signs(row[k / 8]);
    else if constexpr (BITS == 4)
        return unpack_nibbles(row + k / 2);
    else
        return unpack_bytes(row + k);
}

// The sums over columns [k0, k1) (multiples of eight) of RB rows of X times one delta row's
// unpacked values (before a sign record's row scale), added to out[0 .. RB).
template <int RB, int BITS>
void block(const Delta &d, const float *x, int64_t k0, int64_t k1, const uint8_t *row, const float *sc, float *out) {
    // U independent sums per row, so that a few rows still keep both FMA units busy (one chain
    // waits four cycles on each of its multiply-adds).
    constexpr int U = RB == 1 ? 4 : RB == 2 ? 2 : 1;
    __m256 acc[RB][U];
    for (int i = 0; i < RB; ++i)
        for (int u = 0; u < U; ++u) acc[i][u] = _mm256_setzero_ps();
    const int64_t n = d.n;
    auto fma_rows = [&](__m256 w, int64_t k, int u) {
        for (int i = 0; i < RB; ++i) acc[i][u] = _mm256_fmadd_ps(w, _mm256_loadu_ps(x + i * n + k), acc[i][u]);
    };
    // Vectors [a, b) with one scale vector (or none for signs), U at a time.
    auto run = [&](int64_t a, int64_t b, __m256 sv) {
        int64_t k = a;
        for (; k + 8 * U <= b; k += 8 * U)
            for (int u = 0; u < U; ++u) {
                __m256 q = unpack<BITS>(row, k + 8 * u);
                fma_rows(BITS == 1 ? q : scaled<BITS>(q, sv), k + 8 * u, u);
            }
        for (; k < b; k += 8) {
            __m256 q = unpack<BITS>(row, k);
            fma_rows(BITS == 1 ? q : scaled<BITS>(q, sv), k, 0);
        }
    };
    if constexpr (BITS == 1) {
        run(k0, k1, _mm256_setzero_ps());
    } else if (d.group % 8 == 0) {
        // Groups start on a multiple of eight: one scale per run of whole vectors.
        const int64_t group = d.group;
        for (int64_t g = k0 / group; g * group < k1; ++g)
            run(std::max(k0, g * group), std::min(k1, (g + 1) * group), _mm256_set1_ps(sc[g]));
    } else {
        int64_t g = 0, gend = 0;
        for (int64_t k = k0; k < k1; k += 8)
            fma_rows(scaled<BITS>(unpack<BITS>(row, k), chunk_scales(sc, k, d.group, g, gend)), k, 0);
    }
    for (int i = 0; i < RB; ++i) {
        __m256 sum = acc[i][0];
        for (int u = 1; u < U; ++u) sum = _mm256_add_ps(sum, acc[i][u]);
        out[i] += hsum(sum);
    }
}

using BlockFn = void (*)(const Delta &, const float *, int64_t, int64_t, const uint8_t *, const float *, float *);
template <int BITS>
constexpr BlockFn kBlocksOf[kRowBlock + 1] = {nullptr,         &block<1, BITS>, &block<2, BITS>,
                                              &block<3, BITS>, &block<4, BITS>, &block<5, BITS>,
                                              &block<6, BITS>, &block<7, BITS>, &block<8, BITS>};

void rows_avx2(const Delta &d, const float *x, int64_t rows, const float *ts, float *y, int64_t ldy, int64_t j0,
               int64_t j1) {
    const int64_t n = d.n, r = d.rank;
    const int64_t n8 = n & ~int64_t(7);
    const int64_t rb = quant::row_bytes(n, d.bits);
    const int64_t groups = d.kind == Kind::Codes ? quant::row_groups(n, d.group) : 0;
    // Delta rows per pass: about kStripBytes of packed bytes, which stay in the second-level cache
    // for every block of X rows and every column block (and touch few pages at a time).
    const int64_t strip = std::max<int64_t>(8, kStripBytes / std::max<int64_t>(rb, 1));
    // Sums of the vector part, per row of the block and delta row of the strip.
    std::vector<float> part(size_t(kRowBlock) * size_t(std::min(strip, j1 - j0)));
    float u[64];
    for (int64_t s0 = j0; s0 < j1; s0 += strip) {
        const int64_t s1 = std::min(j1, s0 + strip);
        for (int64_t i0 = 0; i0 < rows; i0 += kRowBlock) {
            const int64_t nb = std::min<int64_t>(kRowBlock, rows - i0);
            const BlockFn fn = d.bits == 1 ? kBlocksOf<1>[nb] : d.bits == 4 ? kBlocksOf<4>[nb] : kBlocksOf<8>[nb];
            const float *xb = x + i0 * n;
            std::fill(part.begin(), part.end(), 0.0f);
            // The block of X kept in cache: kColBlockBytes of it whatever the number of rows.
            const int64_t cols = std::max<int64_t>(8, (kColBlockBytes / int64_t(sizeof(float)) / nb) & ~int64_t(7));
            for (int64_t k0 = 0; k0 < n8; k0 += cols) {
                const int64_t k1 = std::min(n8, k0 + cols);
                for (int64_t j = s0; j < s1; ++j)
                    fn(d, xb, k0, k1, d.data + j * rb, d.kind == Kind::Codes ? d.scales + j * groups : nullptr,
                       part.data() + (j - s0) * kRowBlock);
            }
            for (int64_t j = s0; j < s1; ++j) {
                const uint8_t *row = d.data + j * rb;
                const float *sc = d.kind == Kind::Codes ? d.scales + j * groups : nullptr;
                const float row_scale = d.kind == Kind::Sign ? (d.per_row ? d.scales[j] : d.scales[0]) : 1.0f;
                for (int64_t t = 0; t < std::min<int64_t>(r, 64); ++t) u[t] = _cvtsh_ss(d.u[j * r + t]);
                for (int64_t b = 0; b < nb; ++b) {
                    const int64_t i = i0 + b;
                    const float *xi = x + i * n;
                    float acc = part[size_t((j - s0) * kRowBlock + b)];
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
}

}  // namespace

const RowsFn kRowsAvx2 = &rows_avx2;

}  // namespace vz::core::packed::detail

#else

namespace vz::core::packed::detail {
const RowsFn kRowsAvx2 = nullptr;
}  // namespace vz::core::packed::detail

#endif
