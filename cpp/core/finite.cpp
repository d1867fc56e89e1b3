#include "core/finite.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vz::core {

namespace {

// Values a task scans at a time: large enough that the tasks' overhead vanishes, small enough
// that a bad value is found without scanning far past it.
constexpr std::size_t kScanChunk = std::size_t(1) << 16;

// Bits of a value's type and its exponent field: a value is not finite exactly when its
// exponent bits are all set. Tested on the bits so that the loop vectorizes (a floating-point
// test would be a serial chain of additions).
template <typename T>
struct Bits;
template <>
struct Bits<float> {
    using U = std::uint32_t;
    static constexpr U kExponent = 0x7f800000u;
};
template <>
struct Bits<double> {
    using U = std::uint64_t;
    static constexpr U kExponent = 0x7ff0000000000000ull;
};

template <typename T>
bool any_non_finite(const T *p, std::size_t len) {
    using U = typename Bits<T>::U;
    U bad = 0;
    for (std::size_t i = 0; i < len; ++i) {
        U u;
        std::memcpy(&u, p + i, sizeof u);
        bad |= U((u & Bits<T>::kExponent) == Bits<T>::kExponent);
    }
    return bad != 0;
}

}  // namespace

template <typename T>
std::size_t first_non_finite(const T *a, std::size_t n) {
    const std::size_t chunks = (n + kScanChunk - 1) / kScanChunk;
    // The smallest chunk holding a bad value; chunks past one already found are skipped.
    std::atomic<std::size_t> first{chunks};
    parallel_for(chunks, 16, [&](std::size_t b, std::size_t e, unsigned) {
        for (std::size_t c = b; c < e && c < first.load(std::memory_order_relaxed); ++c) {
            const T *p = a + c * kScanChunk;
            const std::size_t len = std::min(kScanChunk, n - c * kScanChunk);
            if (!any_non_finite(p, len)) continue;
            std::size_t seen = first.load(std::memory_order_relaxed);
            while (c < seen && !first.compare_exchange_weak(seen, c, std::memory_order_relaxed)) {
            }
            break;
        }
    });
    const std::size_t c = first.load();
    if (c == chunks) return n;
    const T *p = a + c * kScanChunk;
    const std::size_t len = std::min(kScanChunk, n - c * kScanChunk);
    for (std::size_t i = 0; i < len; ++i)
        if (!std::isfinite(p[i])) return c * kScanChunk + i;
    return n;  // not reached: the chunk's scan found one
}

template std::size_t first_non_finite<float>(const float *, std::size_t);
template std::size_t first_non_finite<double>(const double *, std::size_t);

}  // namespace vz::core
