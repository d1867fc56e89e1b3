#include "core/deltavault_kernels.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vz::core::deltavault {
namespace {

// Below this many elements a pass runs on the calling thread: starting threads costs more
// than the work.
constexpr std::size_t kGrain = 1u << 16;
// Work is handed out in blocks of this many elements from a shared counter, so that a thread
// that the (shared, often busy) machine delays does not hold up the others (1 MiB of float32,
// the size of the fused kernels' units in fused_lowrank.cpp).
constexpr std::size_t kBlock = 1u << 18;
// Outputs at least this large are written with streaming stores: they do not fit in cache
// anyway, and streaming saves reading every destination line before it is overwritten (the fused
// kernels' bar too; the passes are timed by benchmarks/bench_deltavault.py).
constexpr std::size_t kStreamBytes = std::size_t(4) << 20;

// Calls fn(lo, hi, block) for the blocks of [0, n), on all workers (a helper that the machine
// starts late finds the blocks taken and does not delay the call).
template <typename Fn>
void for_blocks(std::size_t n, Fn &&fn) {
    if (n <= kGrain) {
        if (n) fn(std::size_t(0), n, std::size_t(0));
        return;
    }
    std::size_t nblocks = (n + kBlock - 1) / kBlock;
    parallel_units(nblocks, [&](std::size_t b) { fn(b * kBlock, std::min(n, (b + 1) * kBlock), b); });
}

std::size_t block_count(std::size_t n) { return n <= kGrain ? 1 : (n + kBlock - 1) / kBlock; }

// out[i] = f(i) for i in [lo, hi); with `stream`, whole 64-byte groups go out as
// non-temporal stores (the results are identical, only the cache traffic differs).
template <typename O, typename F>
inline void write_range(O *out, std::size_t lo, std::size_t hi, bool stream, F &&f) {
    std::size_t i = lo;
#if defined(__SSE2__)
    if (stream) {
        constexpr std::size_t G = 64 / sizeof(O);
        while (i < hi && (reinterpret_cast<std::uintptr_t>(out + i) & 15u)) {
            out[i] = f(i);
            ++i;
        }
        alignas(16) O tmp[G];
        for (; i + G <= hi; i += G) {
            for (std::size_t j = 0; j < G; ++j) tmp[j] = f(i + j);
            const __m128i *src = reinterpret_cast<const __m128i *>(tmp);
            __m128i *dst = reinterpret_cast<__m128i *>(out + i);
            _mm_stream_si128(dst, _mm_load_si128(src));
            _mm_stream_si128(dst + 1, _mm_load_si128(src + 1));
            _mm_stream_si128(dst + 2, _mm_load_si128(src + 2));
            _mm_stream_si128(dst + 3, _mm_load_si128(src + 3));
        }
        for (; i < hi; ++i) out[i] = f(i);
        _mm_sfence();
        return;
    }
#else
    (void) stream;
#endif
    for (; i < hi; ++i) out[i] = f(i);
}

struct half_t {
    std::uint16_t bits;
};
struct bf16_t {
    std::uint16_t bits;
};

inline std::uint32_t bits_of(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
inline float float_of(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// Conversion of every element type to the type in which an operation is computed.
template <typename To>
inline To conv(float v) {
    return To(v);
}
template <typename To>
inline To conv(double v) {
    return To(v);
}
template <typename To>
inline To conv(half_t v) {
    return To(half_to_float(v.bits));
}
template <typename To>
inline To conv(bf16_t v) {
    return To(float_of(std::uint32_t(v.bits) << 16));
}

// The arithmetic type of a computation: halves are computed in float32 and rounded back to
// binary16 after every operation, which is what numpy's float16 loops do.
template <typename T> struct arith {
    using type = T;
};
template <> struct arith<half_t> {
    using type = float;
};
template <> struct arith<bf16_t> {
    using type = float;
};

template <typename T>
inline float round_to_f32(typename arith<T>::type v) {
    return float(v);
}
template <>
inline float round_to_f32<half_t>(float v) {
    return half_to_float(float_to_half(v));
}
template <>
inline float round_to_f32<bf16_t>(float v) {
    std::uint32_t u = bits_of(v);
    if ((u & 0x7fffffffu) > 0x7f800000u) return float_of((u | 0x00400000u) & 0xffff0000u);  // quiet NaN
    u += 0x7fffu + ((u >> 16) & 1u);  // nearest even
    return float_of(u & 0xffff0000u);
}

template <typename C, typename W, typename B>
void delta_range(const W *w, const B *b, float *out, std::size_t lo, std::size_t hi, bool stream) {
    using A = typename arith<C>::type;
    write_range(out, lo, hi, stream, [&](std::size_t i) { return round_to_f32<C>(A(conv<A>(w[i]) - conv<A>(b[i]))); });
}

template <typename W>
void cast_range(const W *w, float *out, std::size_t lo, std::size_t hi, bool stream) {
    write_range(out, lo, hi, stream, [&](std::size_t i) { return conv<float>(w[i]); });
}

template <typename B, typename O>
void add_range(const B *b, const float *d, O *out, std::size_t lo, std::size_t hi, bool stream) {
    write_range(out, lo, hi, stream, [&](std::size_t i) { return O(conv<O>(b[i]) + O(d[i])); });
}

template <typename TA, typename TB>
void sq_range(const TA *a, const TB *b, std::size_t lo, std::size_t hi, double &sd, double &sr) {
    // Eight independent lanes let the compiler vectorise the float64 accumulation without
    // reassociating a single running sum.
    constexpr int L = 8;
    double ad[L] = {0, 0, 0, 0, 0, 0, 0, 0}, ar[L] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = lo;
    for (; i + L <= hi; i += L) {
        for (int j = 0; j < L; ++j) {
            float x = conv<float>(a[i + j]), y = conv<float>(b[i + j]);
            float e = x - y;
            float ee = e * e, yy = y * y;
            ad[j] += double(ee);
            ar[j] += double(yy);
        }
    }
    for (; i < hi; ++i) {
        float x = conv<float>(a[i]), y = conv<float>(b[i]);
        float e = x - y;
        float ee = e * e, yy = y * y;
        ad[0] += double(ee);
        ar[0] += double(yy);
    }
    double s1 = 0, s2 = 0;
    for (int j = 0; j < L; ++j) {
        s1 += ad[j];
        s2 += ar[j];
    }
    sd += s1;
    sr += s2;
}

// Calls fn with a typed pointer for the element kind k.
template <typename Fn>
void with_type(Float k, const void *p, Fn &&fn) {
    switch (k) {
        case Float::F16: fn(static_cast<const half_t *>(p)); break;
        case Float::F32: fn(static_cast<const float *>(p)); break;
        case Float::F64: fn(static_cast<const double *>(p)); break;
        case Float::BF16: fn(static_cast<const bf16_t *>(p)); break;
    }
}

template <typename Fn>
void with_calc(Float k, Fn &&fn) {
    switch (k) {
        case Float::F16: fn(half_t{}); break;
        case Float::F32: fn(float{}); break;
        case Float::F64: fn(double{}); break;
        case Float::BF16: fn(bf16_t{}); break;
    }
}

}  // namespace

std::size_t itemsize(Float k) {
    switch (k) {
        case Float::F16:
        case Float::BF16: return 2;
        case Float::F32: return 4;
        case Float::F64: return 8;
    }
    return 0;
}

float half_to_float(std::uint16_t h) {
    std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16;
    std::uint32_t exp = (h >> 10) & 0x1fu;
    std::uint32_t man = h & 0x3ffu;
    if (exp == 0x1fu) return float_of(sign | 0x7f800000u | (man << 13));  // inf / nan
    if (exp == 0) {
        if (man == 0) return float_of(sign);  // signed zero
        // subnormal: man * 2^-24, exact in float32
        float v = float(man) * 5.9604644775390625e-08f;
        return sign ? -v : v;
    }
    return float_of(sign | ((exp + 112u) << 23) | (man << 13));
}

std::uint16_t float_to_half(float f) {
    std::uint32_t u = bits_of(f);
    std::uint16_t sign = std::uint16_t((u >> 16) & 0x8000u);
    std::uint32_t fexp = u & 0x7f800000u;
    std::uint32_t fman = u & 0x007fffffu;
    if (fexp == 0x7f800000u) {
        if (fman == 0) return sign | 0x7c00u;
        // NaN: keep the top payload bits and make sure it stays a NaN
        std::uint16_t r = std::uint16_t(0x7c00u + (fman >> 13));
        if (r == 0x7c00u) ++r;
        return sign | r;
    }
    if (fexp >= 0x47800000u) return sign | 0x7c00u;  // overflow to infinity
    if (fexp <= 0x38000000u) {
        // result is subnormal (or zero): round |f| / 2^-24 to an integer, ties to even
        if (fexp < 0x33000000u) return sign;  // below half the smallest subnormal
        std::uint32_t e = fexp >> 23;          // 102 .. 112
        std::uint32_t m = fman | 0x00800000u;  // 24-bit significand
        unsigned shift = 126u - e;             // value = m * 2^(e-150); subnormal unit 2^-24
        std::uint32_t q = m >> shift;
        std::uint32_t rem = m & ((1u << shift) - 1u);
        std::uint32_t halfway = 1u << (shift - 1u);
        if (rem > halfway || (rem == halfway && (q & 1u))) ++q;
        return std::uint16_t(sign | q);  // q may carry into the exponent: correct
    }
    std::uint32_t hexp = (fexp - 0x38000000u) >> 13;
    std::uint32_t q = hexp | (fman >> 13);
    std::uint32_t rem = fman & 0x1fffu;
    if (rem > 0x1000u || (rem == 0x1000u && (q & 1u))) ++q;  // may round up to infinity
    return std::uint16_t(sign | q);
}

void delta_to_f32(const void *w, Float wk, const void *b, Float bk, Float calc, float *out, std::size_t n) {
    bool stream = n * sizeof(float) >= kStreamBytes;
    if (!b) {
        with_type(wk, w, [&](auto *wp) {
            for_blocks(n, [&](std::size_t lo, std::size_t hi, std::size_t) { cast_range(wp, out, lo, hi, stream); });
        });
        return;
    }
    with_type(wk, w, [&](auto *wp) {
        with_type(bk, b, [&](auto *bp) {
            with_calc(calc, [&](auto c) {
                using C = decltype(c);
                for_blocks(n, [&](std::size_t lo, std::size_t hi, std::size_t) {
                    delta_range<C>(wp, bp, out, lo, hi, stream);
                });
            });
        });
    });
}

void add_base(const void *b, Float bk, const float *d, void *out, Float outk, std::size_t n) {
    with_type(bk, b, [&](auto *bp) {
        if (outk == Float::F64) {
            double *o = static_cast<double *>(out);
            bool stream = n * sizeof(double) >= kStreamBytes;
            for_blocks(n, [&](std::size_t lo, std::size_t hi, std::size_t) { add_range(bp, d, o, lo, hi, stream); });
        } else {
            float *o = static_cast<float *>(out);
            bool stream = n * sizeof(float) >= kStreamBytes;
            for_blocks(n, [&](std::size_t lo, std::size_t hi, std::size_t) { add_range(bp, d, o, lo, hi, stream); });
        }
    });
}

void squared_error_sums(const void *a, Float ak, const void *b, Float bk, std::size_t n, double *sq_diff,
                        double *sq_ref) {
    // One pair of partial sums per block, added in block order: the result depends only on
    // n, not on how many threads ran or which thread took which block.
    std::vector<double> partial(2 * block_count(n), 0.0);
    with_type(ak, a, [&](auto *ap) {
        with_type(bk, b, [&](auto *bp) {
            for_blocks(n, [&](std::size_t lo, std::size_t hi, std::size_t blk) {
                double sd = 0, sr = 0;
                sq_range(ap, bp, lo, hi, sd, sr);
                partial[2 * blk] = sd;
                partial[2 * blk + 1] = sr;
            });
        });
    });
    double sd = 0, sr = 0;
    for (std::size_t k = 0; k < partial.size(); k += 2) {
        sd += partial[k];
        sr += partial[k + 1];
    }
    *sq_diff = sd;
    *sq_ref = sr;
}

}  // namespace vz::core::deltavault
