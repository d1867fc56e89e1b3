// The AVX-512 BF16 kernel of bf16_linear.hpp (this file alone is built with those instructions;
// bf16_linear.cpp calls it only on a processor that has them).
#include "core/bf16_linear.hpp"

#include "core/bf16.hpp"

#if defined(__AVX512BF16__) && defined(__AVX512BW__) && defined(__AVX512DQ__)
#include <immintrin.h>

#include <algorithm>

namespace vz::core::bf16::detail {
namespace {

inline float sum16(__m512 v) {
    __m256 h = _mm256_add_ps(_mm512_extractf32x8_ps(v, 0), _mm512_extractf32x8_ps(v, 1));
    __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
    q = _mm_add_ps(q, _mm_movehl_ps(q, q));
    q = _mm_add_ss(q, _mm_movehdup_ps(q));
    return _mm_cvtss_f32(q);
}

// MI rows of X against NJ rows of W (columns j.. of Y): MI x NJ float32 accumulators of 16 lanes.
template <int MI, int NJ>
void block(const uint16_t *x, int64_t k, const uint16_t *w, const uint16_t *bias, uint16_t *y, int64_t n, int64_t i0,
           int64_t j) {
    __m512 acc[MI][NJ];
    for (int a = 0; a < MI; ++a)
        for (int b = 0; b < NJ; ++b) acc[a][b] = _mm512_setzero_ps();
    const int64_t full = k / 32 * 32;
    int64_t kk = 0;
    for (; kk < full; kk += 32) {
        __m512i wv[NJ];
        for (int b = 0; b < NJ; ++b) wv[b] = _mm512_loadu_si512(w + (j + b) * k + kk);
        for (int a = 0; a < MI; ++a) {
            __m512i xv = _mm512_loadu_si512(x + (i0 + a) * k + kk);
            for (int b = 0; b < NJ; ++b) acc[a][b] = _mm512_dpbf16_ps(acc[a][b], (__m512bh) xv, (__m512bh) wv[b]);
        }
    }
    if (kk < k) {
        const __mmask32 tail = _cvtu32_mask32((1u << unsigned(k - kk)) - 1u);
        __m512i wv[NJ];
        for (int b = 0; b < NJ; ++b) wv[b] = _mm512_maskz_loadu_epi16(tail, w + (j + b) * k + kk);
        for (int a = 0; a < MI; ++a) {
            __m512i xv = _mm512_maskz_loadu_epi16(tail, x + (i0 + a) * k + kk);
            for (int b = 0; b < NJ; ++b) acc[a][b] = _mm512_dpbf16_ps(acc[a][b], (__m512bh) xv, (__m512bh) wv[b]);
        }
    }
    for (int a = 0; a < MI; ++a)
        for (int b = 0; b < NJ; ++b) {
            float v = sum16(acc[a][b]);
            if (bias) v += bf16_to_float(bias[j + b]);
            y[(i0 + a) * n + j + b] = float_to_bf16(v);
        }
}

using BlockFn = void (*)(const uint16_t *, int64_t, const uint16_t *, const uint16_t *, uint16_t *, int64_t, int64_t,
                         int64_t);

template <int MI>
constexpr BlockFn kRow[4] = {&block<MI, 1>, &block<MI, 2>, &block<MI, 3>, &block<MI, 4>};
constexpr const BlockFn *kBlocks[4] = {kRow<1>, kRow<2>, kRow<3>, kRow<4>};

void cols(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, const uint16_t *bias, uint16_t *y, int64_t n,
          int64_t j0, int64_t j1) {
    // One or two rows of X (a decode step of a sequence or two) barely use the arithmetic:
    // eight W rows at a time keep more of memory's streams in flight (measured 10-15% more
    // bytes a second than four for one row).
    if (m <= 2) {
        int64_t j = j0;
        for (; j + 8 <= j1; j += 8) {
            if (m == 1)
                block<1, 8>(x, k, w, bias, y, n, 0, j);
            else
                block<2, 8>(x, k, w, bias, y, n, 0, j);
        }
        for (; j < j1; j += 4) kBlocks[m - 1][int(std::min<int64_t>(4, j1 - j)) - 1](x, k, w, bias, y, n, 0, j);
        return;
    }
    // Four W rows at a time (read from memory once, then from L1 for every block of X rows).
    for (int64_t j = j0; j < j1; j += 4) {
        const int nj = int(std::min<int64_t>(4, j1 - j));
        for (int64_t i0 = 0; i0 < m; i0 += 4) {
            const int mi = int(std::min<int64_t>(4, m - i0));
            kBlocks[mi - 1][nj - 1](x, k, w, bias, y, n, i0, j);
        }
    }
}

}  // namespace

const ColsFn kColsAvx512 = &cols;

}  // namespace vz::core::bf16::detail

#else

namespace vz::core::bf16::detail {
const ColsFn kColsAvx512 = nullptr;
}

#endif
