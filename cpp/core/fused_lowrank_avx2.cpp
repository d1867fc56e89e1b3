// The fused_lowrank kernels compiled for AVX2 with FMA (this file alone gets -mavx2 -mfma); the
// driver uses them when the processor reports both. Elsewhere the table is absent.
#include "core/fused_lowrank_kernels.hpp"

#if defined(__AVX2__) && defined(__FMA__)

#include "core/deltavault_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <immintrin.h>

namespace vz::core::fused::detail {
namespace {

inline __m256 fma_v(__m256 c, __m256 a, __m256 b) { return _mm256_fmadd_ps(a, b, c); }
inline __m256d fma_v(__m256d c, __m256d a, __m256d b) { return _mm256_fmadd_pd(a, b, c); }
#define VZ_FMA(c, a, b) fma_v((c), (a), (b))

#include "core/fused_lowrank_kernels.inc"

#undef VZ_FMA
}  // namespace

const Table *const kAvx2Table = &kTable;

}  // namespace vz::core::fused::detail

#else

namespace vz::core::fused::detail {
const Table *const kAvx2Table = nullptr;
}  // namespace vz::core::fused::detail

#endif
