#include "core/parallel.hpp"

#include <cstdlib>

namespace vz::core {

unsigned worker_count() {
    if (const char *env = std::getenv("VZ_NUM_THREADS")) {
        int v = std::atoi(env);
        if (v > 0) return unsigned(v);
    }
    unsigned hc = std::thread::hardware_concurrency();
    return hc ? hc : 1u;
}

}  // namespace vz::core
