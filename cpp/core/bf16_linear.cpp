#include "core/bf16_linear.hpp"

#include "core/bf16.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace vz::core::bf16 {

namespace detail {

void cols_portable(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, const uint16_t *bias, uint16_t *y,
                   int64_t n, int64_t j0, int64_t j1) {
    for (int64_t j = j0; j < j1; ++j)
        for (int64_t i = 0; i < m; ++i) {
            float v = 0.0f;
            for (int64_t t = 0; t < k; ++t) v += bf16_to_float(x[i * k + t]) * bf16_to_float(w[j * k + t]);
            if (bias) v += bf16_to_float(bias[j]);
            y[i * n + j] = float_to_bf16(v);
        }
}

}  // namespace detail

namespace {

constexpr int64_t kPartWork = int64_t(1) << 21;

// Persistent workers: a call hands each of them one part of the columns and does part 0 itself.
// A decode step makes a couple of hundred calls of a fraction of a millisecond each, too short
// to start threads for, and short enough that waking a sleeping thread (tens of microseconds)
// shows: a worker watches for the next call for a while (kWatch) before it sleeps, and the
// caller watches for its parts to finish.
class Pool {
public:
    // Whether this process is the one that started the workers: a child made by fork() has the
    // pool's state but none of its threads, and must not wait for them.
    bool ours() const { return getpid() == owner_; }

    void run(unsigned parts, const std::function<void(unsigned)> &fn) {
        std::lock_guard<std::mutex> turn(call_mu_);  // one call at a time
        bool wake;
        {
            std::lock_guard<std::mutex> lk(mu_);
            while (workers_.size() + 1 < parts)
                workers_.emplace_back([this, id = unsigned(workers_.size()) + 1] { work(id); });
            job_ = &fn;
            parts_ = parts;
            pending_.store(parts - 1);
            generation_.fetch_add(1);
            wake = sleepers_ > 0;
        }
        if (wake) wake_.notify_all();
        fn(0);
        if (!watch([&] { return pending_.load() == 0; })) {
            std::unique_lock<std::mutex> lk(mu_);
            done_.wait(lk, [&] { return pending_.load() == 0; });
        }
        job_ = nullptr;
    }

private:
    static constexpr auto kWatch = std::chrono::microseconds(200);

    // Polls `ready` for up to kWatch; true once it holds.
    template <class F>
    static bool watch(F &&ready) {
        const auto until = std::chrono::steady_clock::now() + kWatch;
        for (unsigned spin = 0;; ++spin) {
            if (ready()) return true;
            if ((spin & 63u) == 63u && std::chrono::steady_clock::now() > until) return false;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }

    void work(unsigned id) {
        uint64_t seen = 0;
        for (;;) {
            if (!watch([&] { return generation_.load() != seen; })) {
                std::unique_lock<std::mutex> lk(mu_);
                ++sleepers_;
                wake_.wait(lk, [&] { return generation_.load() != seen; });
                --sleepers_;
            }
            seen = generation_.load();
            if (id >= parts_) continue;  // this call needs fewer workers
            (*job_)(id);
            if (pending_.fetch_sub(1) == 1) {
                std::lock_guard<std::mutex> lk(mu_);
                done_.notify_one();
            }
        }
    }

    std::mutex call_mu_, mu_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> workers_;
    const std::function<void(unsigned)> *job_ = nullptr;
    unsigned parts_ = 0, sleepers_ = 0;
    std::atomic<unsigned> pending_{0};
    std::atomic<uint64_t> generation_{0};
    const pid_t owner_ = getpid();
};

// Never destroyed: its workers wait on it until the process ends.
Pool &pool() {
    static Pool *p = new Pool();
    return *p;
}

}  // namespace

bool native() {
    if (const char *env = std::getenv("VZ_FUSED_BASELINE"))
        if (env[0] == '1') return false;
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = detail::kColsAvx512 && __builtin_cpu_supports("avx512bf16") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return has;
#else
    return false;
#endif
}

void linear(const uint16_t *x, int64_t m, int64_t k, const uint16_t *w, int64_t n, const uint16_t *bias, uint16_t *y,
            unsigned threads) {
    if (m <= 0 || n <= 0 || k <= 0) return;
    detail::ColsFn fn = native() ? detail::kColsAvx512 : &detail::cols_portable;
    // X in chunks of rows that stay in a core's L2 cache while W streams past
    // them once per chunk (up to 1 MB of X); a decode step's few rows are one chunk.
    const int64_t chunk = std::clamp<int64_t>((int64_t(1) << 19) / k / 4 * 4, 4, 256);
    // Parts of whole blocks of four columns and of at least kPartWork products each (a smaller
    // share of a call costs less than handing it to another thread), at most one per thread.
    const int64_t blocks = (n + 3) / 4;
    const int64_t work = std::min(m, chunk) * n * k;
    const unsigned parts = unsigned(std::clamp<int64_t>(std::min(blocks, work / kPartWork), 1, std::max(1u, threads)));
    const int64_t per = (blocks + parts - 1) / parts * 4;
    for (int64_t i0 = 0; i0 < m; i0 += chunk) {
        const int64_t mi = std::min(chunk, m - i0);
        const uint16_t *xi = x + i0 * k;
        uint16_t *yi = y + i0 * n;
        if (parts == 1) {
            fn(xi, mi, k, w, bias, yi, n, 0, n);
            continue;
        }
        std::function<void(unsigned)> part = [&](unsigned p) {
            const int64_t j0 = std::min<int64_t>(n, int64_t(p) * per), j1 = std::min<int64_t>(n, j0 + per);
            if (j0 < j1) fn(xi, mi, k, w, bias, yi, n, j0, j1);
        };
        if (pool().ours()) {
            pool().run(parts, part);
        } else {
            for (unsigned p = 0; p < parts; ++p) part(p);
        }
    }
}

}  // namespace vz::core::bf16
