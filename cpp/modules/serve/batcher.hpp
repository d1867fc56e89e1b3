// The step scheduler's jobs and its queue, shared by the scheduler (scheduler.cpp) and the HTTP
// handlers that submit requests and wait for (or stream) their replies.
#pragma once

#include "modules/serve/serve.hpp"

#include <nanobind/stl/vector.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vz::serve {

// What one row asks of sampling and of its reply. The HTTP side fills it from the request
// (after checking every field) and the scheduler carries it unchanged through the step loop.
struct RowSettings {
    double temperature = 0.0;  // 0 is greedy
    double top_p = 1.0;        // nucleus mass in (0, 1]
    bool has_seed = false;     // a seeded row draws from its own generator: same seed, same reply
    uint64_t seed = 0;
    double presence_penalty = 0.0, frequency_penalty = 0.0;  // -2..2, over the row's own new tokens
    std::vector<std::pair<int64_t, double>> logit_bias;      // token id -> -100..100, added to the logits
    std::vector<std::string> stop;  // stop texts: the reply ends before the first one and never shows it
    bool logprobs = false;          // report each new token's log-probability
    int64_t top_logprobs = 0;       // and this many alternatives (0..20)
    // Structured output: "" (free text), "json_object" (any JSON object) or "json_schema"
    // (`schema` holds the schema as JSON text). Tool calls that must happen arrive here as a
    // "json_schema" built from the declared functions.
    std::string grammar;
    std::string schema;
    bool raw_prompt = false;  // the conversation is a prompt string: no chat template (/v1/completions)
};

// One generated token's log-probability and its alternatives, in OpenAI's logprobs shape.
struct TokenLogprob {
    std::string token;  // the token's text (its bytes may be a partial character)
    double logprob = 0.0;
    std::vector<std::pair<std::string, double>> top;  // most likely first
};

// One chat request on its way through the scheduler. The Python objects are touched only with
// the GIL held; the rest is guarded by `mu` (the scheduler writes, the handler reads).
struct Job {
    nb::object name, conversation;  // the model name and the [{"role", "content"}] list (or a prompt str)
    nb::object tools;               // None, or the request's `tools` list for the chat template
    int64_t limit = 0;              // requested new tokens; 0 means the configured default
    RowSettings settings;
    bool stream = false;
    std::atomic<bool> cancelled{false};  // the client went away: end this row at the next step
    // Queued again after a failed step shared with other rows: runs alone (scheduler only).
    bool solo = false;

    std::mutex mu;
    std::condition_variable cv;
    bool admitted = false;  // the prompt was counted (or refused); prompt_tokens is known
    bool done = false;
    std::string pending;  // streamed text the reader has not taken yet
    std::vector<TokenLogprob> pending_logprobs;  // logprobs of streamed tokens not taken yet
    std::vector<TokenLogprob> logprobs;          // every new token's, once done (when asked)
    // Steady-clock seconds at submit and at the first new token (0 until then), for metrics.
    double submitted_at = 0.0, first_token_at = 0.0;
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

// Durations of the decode steps for /metrics: cumulative counts per upper bound, as Prometheus
// histograms report them. Written by the scheduler and read by the metrics route under the
// scheduler's `mu`.
struct StepHistogram {
    static constexpr double kBounds[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};
    uint64_t counts[std::size(kBounds)] = {};  // observations at or below each bound
    uint64_t count = 0;
    double sum = 0.0;
    void observe(double seconds) {
        for (size_t i = 0; i < std::size(kBounds); ++i)
            if (seconds <= kBounds[i]) ++counts[i];
        ++count;
        sum += seconds;
    }
};

struct Scheduler : std::enable_shared_from_this<Scheduler> {
    Scheduler(nb::object engine, int64_t max_batch, int64_t max_waiting = kDefaultMaxWaiting);

    nb::object engine, thread;
    int64_t max_batch;
    int64_t max_waiting;  // queued requests past which submit refuses with 503
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> queue;  // guarded by mu
    bool started = false;                    // guarded by mu
    size_t in_batch = 0;                     // rows running now: admitted, prompt read or being read (mu)
    StepHistogram step_seconds;              // decode step durations (mu)
    std::atomic<bool> stopping{false};

    // Queues a request. A refusal (server stopping, queue full: status 503) comes back as a
    // job that is already done.
    std::shared_ptr<Job> submit(nb::object name, nb::object conversation, nb::object tools, int64_t limit,
                                RowSettings settings, bool stream);
    void shutdown();
    void join(double seconds);

private:
    void run();  // the scheduler thread's loop (scheduler.cpp)
};

// Re-takes the GIL released for a wait, parking the thread instead when the interpreter is
// finalizing (a daemon thread unwound into Python frames would crash the process).
void reacquire(PyThreadState *state);

// What Python holds (`_Batcher`): a handle on the scheduler.
struct Batcher {
    std::shared_ptr<Scheduler> core;
    std::shared_ptr<Scheduler> &get();
};

}  // namespace vz::serve
