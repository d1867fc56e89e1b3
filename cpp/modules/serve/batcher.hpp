// The request batcher's jobs and scheduler, shared by the batcher itself and the HTTP handlers
// that submit requests and wait for (or stream) their replies.
#pragma once

#include "modules/serve/serve.hpp"

#include <nanobind/stl/vector.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vz::serve {

// One chat request on its way through the scheduler. The Python objects are touched only with
// the GIL held; the rest is guarded by `mu` (the scheduler writes, the handler reads).
struct Job {
    nb::object name, conversation;  // the model name and the [{"role", "content"}] list
    int64_t limit = 0;              // requested new tokens; 0 means the configured default
    double temperature = 0.0;
    bool stream = false;
    std::atomic<bool> cancelled{false};  // the client went away: end this row at the next step

    std::mutex mu;
    std::condition_variable cv;
    bool admitted = false;  // the prompt was counted (or refused); prompt_tokens is known
    bool done = false;
    std::string pending;  // streamed text the reader has not taken yet
    int64_t prompt_tokens = 0, completion_tokens = 0;
    std::string finish_reason, text;
    int status = 0;  // an HTTP refusal (400, 503, 500) with its message; 0 when none
    std::string message;
    nb::object error;  // an exception of the generation, raised again for the handler

    std::vector<int64_t> tokens;  // new tokens so far (scheduler only)

    void finish_locked();  // with mu held: mark done (and admitted)
    void refuse(int code, std::string why);
    // Waits with the GIL released until ready() (checked under mu) or the time passes.
    bool wait_for(const std::function<bool()> &ready, double seconds);
};

struct Scheduler : std::enable_shared_from_this<Scheduler> {
    Scheduler(nb::object engine, int64_t max_batch);

    nb::object engine, thread;
    int64_t max_batch;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> queue;  // guarded by mu
    bool started = false;                    // guarded by mu
    size_t in_batch = 0;                     // requests of the batch being decoded (mu)
    size_t last_batch = 0;                   // rows of the batch before (mu)
    // Longest wait for a batch to fill up again: far below the time of one generate call, so a
    // batch that does not gather again costs little (batched against batch-1 in bench_serve.py).
    static constexpr int kGatherMs = 10;
    std::atomic<bool> stopping{false};

    std::shared_ptr<Job> submit(nb::object name, nb::object conversation, int64_t limit, double temperature,
                                bool stream);
    void shutdown();
    void join(double seconds);

private:
    bool wait_for_work();
    std::vector<std::shared_ptr<Job>> take();
    void run();
    void run_batch(std::vector<std::shared_ptr<Job>> &jobs);
    static bool finished(Job &job);
    // Ends the jobs not yet done, except `spared`, with the generation's exception.
    static void fail(const std::vector<std::shared_ptr<Job>> &jobs, const std::vector<std::shared_ptr<Job>> &spared,
                     nb::object error);
    // Ends the jobs not yet done with a 500 naming a native failure.
    static void fail(const std::vector<std::shared_ptr<Job>> &jobs, const char *what);
};

// What Python holds (`_Batcher`): a handle on the scheduler.
struct Batcher {
    std::shared_ptr<Scheduler> core;
    std::shared_ptr<Scheduler> &get();
};

}  // namespace vz::serve
