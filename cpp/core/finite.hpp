// The one scan for values that are not finite (NaN, +inf, -inf), shared by every path that must
// refuse them before a solver or a quantizer sees them: LAPACK fails or loops on them, and a
// factorization would spread one of them over a whole record.
#pragma once

#include <cstddef>

namespace vz::core {

// The index of the first of the n values that is not finite, or n when all are. Runs on all
// worker threads; the answer does not depend on their number.
template <typename T>
std::size_t first_non_finite(const T *a, std::size_t n);

}  // namespace vz::core
