// bfloat16 bit patterns to and from float32. Internal linkage on purpose: files built for other
// instruction sets include this too, and an inline function with external linkage compiled there
// could be the copy the linker keeps for every file.
#pragma once

#include <cstdint>
#include <cstring>

namespace vz::core {

// Exact: bfloat16 is float32's upper half.
static inline float bf16_to_float(std::uint16_t b) {
    std::uint32_t u = std::uint32_t(b) << 16;
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// To nearest, ties to even; a NaN stays a (quiet) NaN.
static inline std::uint16_t float_to_bf16(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    if ((u & 0x7fffffffu) > 0x7f800000u) return std::uint16_t((u >> 16) | 0x40u);
    u += 0x7fffu + ((u >> 16) & 1u);
    return std::uint16_t(u >> 16);
}

}  // namespace vz::core
