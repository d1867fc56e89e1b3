// A small fork-join helper: splits [0, n) into contiguous chunks, one per worker thread.
// Runs without the Python interpreter; callers release the GIL around it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace vz::core {

// Number of worker threads to use (hardware threads, at least 1). VZ_NUM_THREADS overrides.
unsigned worker_count();

// Calls fn(begin, end, worker) on disjoint chunks covering [0, n). Work below `grain` items
// runs on the calling thread. The first exception thrown by a worker is rethrown here.
template <typename Fn>
void parallel_for(std::size_t n, std::size_t grain, Fn &&fn) {
    unsigned workers = worker_count();
    if (grain == 0) grain = 1;
    std::size_t chunks = std::min<std::size_t>(workers, (n + grain - 1) / grain);
    if (chunks <= 1) {
        if (n) fn(std::size_t(0), n, 0u);
        return;
    }
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> errors(chunks);
    std::size_t step = (n + chunks - 1) / chunks;
    for (std::size_t c = 1; c < chunks; ++c) {
        std::size_t b = c * step, e = std::min(n, b + step);
        threads.emplace_back([&, b, e, c] {
            try { if (b < e) fn(b, e, unsigned(c)); } catch (...) { errors[c] = std::current_exception(); }
        });
    }
    try { fn(std::size_t(0), std::min(n, step), 0u); } catch (...) { errors[0] = std::current_exception(); }
    for (auto &t : threads) t.join();
    for (auto &e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace vz::core
