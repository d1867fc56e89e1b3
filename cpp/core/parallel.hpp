// A small fork-join helper: splits [0, n) into contiguous chunks, one per worker thread.
// Runs without the Python interpreter; callers release the GIL around it.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
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
            try {
                if (b < e) fn(b, e, unsigned(c));
            } catch (...) {
                errors[c] = std::current_exception();
            }
        });
    }
    try {
        fn(std::size_t(0), std::min(n, step), 0u);
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (auto &t : threads) t.join();
    for (auto &e : errors)
        if (e) std::rethrow_exception(e);
}

namespace detail {
// Shared by the caller and the helper threads of one parallel_units call; the helpers hold it
// by shared_ptr so that it outlives the call when one of them starts late.
struct UnitQueue {
    explicit UnitQueue(std::size_t n) : units(n) {}
    const std::size_t units;
    std::atomic<std::size_t> next{0}, done{0};
    std::mutex mu;
    std::condition_variable all_done;
    std::exception_ptr error;

    // Runs unclaimed units until none is left. `fn` is touched only for a claimed unit, and the
    // caller waits for every claimed unit, so it is alive whenever it is called.
    template <typename Fn>
    void drain(Fn *fn) {
        for (std::size_t u = next.fetch_add(1); u < units; u = next.fetch_add(1)) {
            try {
                (*fn)(u);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mu);
                if (!error) error = std::current_exception();
            }
            if (done.fetch_add(1) + 1 == units) {
                std::lock_guard<std::mutex> lock(mu);
                all_done.notify_all();
            }
        }
    }
};
}  // namespace detail

// Calls fn(unit) for every unit of [0, units), handed out one at a time to the calling thread
// and up to worker_count() - 1 helper threads. Returns when every unit is done, without
// waiting for a helper that has not started yet: on a busy machine a helper may get a core
// only milliseconds later, and then it finds nothing left and ends by itself. So the call
// never takes longer than the caller doing all the work alone (plus starting the helpers).
// The first exception thrown by fn is rethrown here, after all units have run.
template <typename Fn>
void parallel_units(std::size_t units, Fn &&fn) {
    using F = std::remove_reference_t<Fn>;
    std::size_t helpers = std::min<std::size_t>(worker_count(), units);
    helpers = helpers ? helpers - 1 : 0;
    if (helpers == 0) {
        for (std::size_t u = 0; u < units; ++u) fn(u);
        return;
    }
    auto queue = std::make_shared<detail::UnitQueue>(units);
    F *f = &fn;
    for (std::size_t h = 0; h < helpers; ++h) {
        try {
            std::thread([queue, f] { queue->drain(f); }).detach();
        } catch (...) {
            break;  // no thread to be had: the caller does the work
        }
    }
    queue->drain(f);
    {
        std::unique_lock<std::mutex> lock(queue->mu);
        queue->all_done.wait(lock, [&] { return queue->done.load() == units; });
    }
    if (queue->error) std::rethrow_exception(queue->error);
}

}  // namespace vz::core
