// The request queue and the Python-facing handle of the step scheduler (its loop lives in
// scheduler.cpp): handlers submit jobs and wait on them with the GIL released; `_Batcher`
// offers the same to Python (`start`, `complete`) for callers without HTTP.
#include "modules/serve/batcher.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vz::serve {
using namespace nb::literals;

// Re-takes the GIL after a wait. When the interpreter is finalizing it ends daemon threads
// that ask for the GIL by unwinding their stacks, and unwinding into the Python frames above
// crashes the process: park the thread instead; process exit ends it.
void reacquire(PyThreadState *state) {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
#else
    PyEval_RestoreThread(state);
#endif
}

// ---- jobs ----------------------------------------------------------------------------------

void Job::finish_locked() {
    done = true;
    admitted = true;
}

void Job::refuse(int code, std::string why) {
    {
        std::lock_guard<std::mutex> lk(mu);
        status = code;
        message = std::move(why);
        finish_locked();
    }
    cv.notify_all();
}

bool Job::wait_for(const std::function<bool()> &ready, double seconds) {
    PyThreadState *state = PyEval_SaveThread();
    bool ok;
    {
        std::unique_lock<std::mutex> lk(mu);
        ok = cv.wait_for(lk, std::chrono::duration<double>(seconds), ready);
    }
    reacquire(state);
    return ok;
}

// ---- scheduler -----------------------------------------------------------------------------

Scheduler::Scheduler(nb::object engine_, int64_t max_batch_, int64_t max_waiting_)
    : engine(std::move(engine_)), max_batch(max_batch_), max_waiting(max_waiting_) {}

std::shared_ptr<Job> Scheduler::submit(nb::object name, nb::object conversation, nb::object tools, int64_t limit,
                                       RowSettings settings, bool stream) {
    auto job = std::make_shared<Job>();
    job->name = std::move(name);
    job->conversation = std::move(conversation);
    job->tools = std::move(tools);
    job->limit = limit;
    job->settings = std::move(settings);
    job->stream = stream;
    job->submitted_at = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    bool start = false, refused = false, full = false;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopping.load()) {
            refused = true;
        } else if ((int64_t) queue.size() >= max_waiting) {
            full = true;
        } else {
            queue.push_back(job);
            start = !started;
            started = true;
        }
    }
    if (refused) {
        job->refuse(503, "the server is shutting down");
        return job;
    }
    if (full) {
        job->refuse(503, "too many requests are waiting; retry shortly");
        return job;
    }
    if (start) {
        auto self = shared_from_this();
        nb::object loop = nb::cpp_function([self]() { self->run(); }, nb::name("batcher_loop"));
        thread = bind::import("threading")
                     .attr("Thread")("target"_a = loop, "name"_a = "velkor-zuma-batcher", "daemon"_a = true);
        thread.attr("start")();
    }
    cv.notify_all();
    return job;
}

void Scheduler::shutdown() {
    std::deque<std::shared_ptr<Job>> waiting;
    {
        std::lock_guard<std::mutex> lk(mu);
        stopping = true;
        waiting.swap(queue);
    }
    cv.notify_all();
    for (auto &job : waiting) job->refuse(503, "the server is shutting down");
    // Running rows see `stopping` at their next step and end; their handlers answer 503.
}

void Scheduler::join(double seconds) {
    if (thread.is_valid() && !thread.is_none()) thread.attr("join")(seconds);
}

// ---- the Python-facing handle --------------------------------------------------------------

namespace {

// Every live scheduler, so that interpreter exit can stop them before tearing threads down.
std::mutex registry_mu;
std::vector<std::weak_ptr<Scheduler>> registry;

void stop_all() {
    std::vector<std::shared_ptr<Scheduler>> live;
    {
        std::lock_guard<std::mutex> lk(registry_mu);
        for (auto &w : registry)
            if (auto s = w.lock()) live.push_back(s);
    }
    for (auto &s : live) s->shutdown();
    for (auto &s : live) s->join(10.0);
}

}  // namespace

std::shared_ptr<Scheduler> &Batcher::get() {
    if (!core) bind::raise(PyExc_ValueError, "this batcher was not created over an engine");
    return core;
}

nb::object make_batcher(nb::handle engine, int64_t max_batch, int64_t max_waiting) {
    if (max_batch < 1) bind::raise(PyExc_ValueError, "max_batch must be at least 1, got " + std::to_string(max_batch));
    if (max_waiting < 1)
        bind::raise(PyExc_ValueError, "max_waiting must be at least 1, got " + std::to_string(max_waiting));
    nb::object handle = nb::cast(Batcher{});
    Batcher &b = nb::cast<Batcher &>(handle);
    b.core = std::make_shared<Scheduler>(nb::borrow(engine), max_batch, max_waiting);
    {
        std::lock_guard<std::mutex> lk(registry_mu);
        registry.erase(std::remove_if(registry.begin(), registry.end(), [](auto &w) { return w.expired(); }),
                       registry.end());
        registry.push_back(b.core);
    }
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        bind::import("atexit").attr("register")(nb::cpp_function(&stop_all, nb::name("_stop_batchers")));
    }
    return handle;
}

// A job submitted from Python (`_Batcher.start`): waits, streams, cancels.
struct Pending {
    std::shared_ptr<Job> job;

    // The next streamed text (waiting for it); None once the reply is over. Raises
    // TimeoutError when nothing comes within `timeout` seconds.
    nb::object next_text(double timeout) {
        Job &j = *job;
        if (!j.wait_for([&] { return !j.pending.empty() || j.done; }, timeout))
            bind::raise(PyExc_TimeoutError, "no text within the timeout");
        std::string piece;
        {
            std::lock_guard<std::mutex> lk(j.mu);
            piece.swap(j.pending);
            j.pending_logprobs.clear();
        }
        if (piece.empty()) return nb::none();
        return nb::str(piece.c_str(), piece.size());
    }

    // The finished reply as a dict; raises the generation's exception where it failed.
    nb::dict result(double timeout) {
        Job &j = *job;
        if (!j.wait_for([&] { return j.done; }, timeout))
            bind::raise(PyExc_TimeoutError, "no reply within the timeout");
        if (j.error.is_valid() && !j.error.is_none()) bind::raise(j.error.type().ptr(), j.error);
        nb::dict out;
        std::lock_guard<std::mutex> lk(j.mu);
        out["status"] = j.status;
        out["message"] = nb::str(j.message.c_str(), j.message.size());
        out["text"] = nb::str(j.text.c_str(), j.text.size());
        out["tokens"] = nb::cast(j.tokens);
        out["finish_reason"] = nb::str(j.finish_reason.c_str(), j.finish_reason.size());
        out["prompt_tokens"] = j.prompt_tokens;
        out["completion_tokens"] = j.completion_tokens;
        nb::list lps;
        for (const TokenLogprob &t : j.logprobs) {
            nb::list top;
            for (auto &[text, lp] : t.top) top.append(nb::make_tuple(nb::str(text.c_str(), text.size()), lp));
            lps.append(nb::make_tuple(nb::str(t.token.c_str(), t.token.size()), t.logprob, top));
        }
        out["logprobs"] = lps;
        return out;
    }
};

// RowSettings from keyword fields named as in the OpenAI request (`response_format` is
// "json_object" or "json_schema" with `schema`, a dict or its JSON text).
RowSettings settings_from(nb::kwargs fields) {
    RowSettings s;
    for (auto [k, v] : fields) {
        std::string key = nb::cast<std::string>(k);
        if (key == "temperature") {
            s.temperature = bind::to_f64(v);
        } else if (key == "top_p") {
            s.top_p = bind::to_f64(v);
        } else if (key == "seed") {
            s.has_seed = !v.is_none();
            if (s.has_seed) s.seed = (uint64_t) bind::to_i64(v);
        } else if (key == "presence_penalty") {
            s.presence_penalty = bind::to_f64(v);
        } else if (key == "frequency_penalty") {
            s.frequency_penalty = bind::to_f64(v);
        } else if (key == "logit_bias") {
            if (!v.is_none())
                for (nb::handle item : bind::items(v))
                    s.logit_bias.emplace_back(bind::to_i64(item[0]), bind::to_f64(item[1]));
        } else if (key == "stop") {
            if (PyUnicode_Check(v.ptr()))
                s.stop.push_back(nb::cast<std::string>(v));
            else if (!v.is_none())
                for (nb::handle t : v) s.stop.push_back(nb::cast<std::string>(t));
        } else if (key == "logprobs") {
            s.logprobs = bind::truthy(v);
        } else if (key == "top_logprobs") {
            s.top_logprobs = bind::to_i64(v);
        } else if (key == "response_format") {
            if (!v.is_none()) s.grammar = nb::cast<std::string>(v);
        } else if (key == "schema") {
            if (PyUnicode_Check(v.ptr()))
                s.schema = nb::cast<std::string>(v);
            else if (!v.is_none())
                s.schema = bind::text(bind::import("json").attr("dumps")(v));
        } else if (key == "raw_prompt") {
            s.raw_prompt = bind::truthy(v);
        } else {
            bind::raise(PyExc_TypeError, "unknown field '" + key + "'");
        }
    }
    return s;
}

nb::object start(Batcher &b, nb::object model, nb::object messages, nb::object max_tokens, bool stream,
                 nb::object tools, nb::kwargs fields) {
    RowSettings settings = settings_from(fields);
    int64_t limit = max_tokens.is_none() ? 0 : bind::arg_int(max_tokens, "max_tokens");
    return nb::cast(Pending{
        b.get()->submit(std::move(model), std::move(messages), std::move(tools), limit, std::move(settings), stream)});
}

void register_batcher(nb::module_ &m) {
    nb::class_<Pending>(m, "_Pending", "A request submitted to a `_Batcher`: its stream, its reply, its cancel.")
        .def("next_text", &Pending::next_text, "timeout"_a = 600.0,
             "The next streamed text, waiting for it; None once the reply is over.")
        .def("result", &Pending::result, "timeout"_a = 600.0,
             "Wait for the reply: a dict of status, message, text, tokens, finish_reason, prompt_tokens, "
             "completion_tokens and logprobs ((token, logprob, [(token, logprob), ...]) per new token).")
        .def(
            "cancel", [](Pending &p) { p.job->cancelled = true; }, "End this request at the next step.")
        .def_prop_ro(
            "admitted",
            [](Pending &p) {
                std::lock_guard<std::mutex> lk(p.job->mu);
                return p.job->admitted;
            },
            "The prompt was read into a row (or refused).")
        .def_prop_ro(
            "done",
            [](Pending &p) {
                std::lock_guard<std::mutex> lk(p.job->mu);
                return p.job->done;
            },
            "The reply is over.")
        .def_prop_ro(
            "new_tokens",
            [](Pending &p) {
                std::lock_guard<std::mutex> lk(p.job->mu);
                return p.job->first_token_at > 0.0;
            },
            "At least one new token was chosen.")
        .def_prop_ro(
            "first_token_seconds",
            [](Pending &p) -> nb::object {
                std::lock_guard<std::mutex> lk(p.job->mu);
                if (p.job->first_token_at <= 0.0 || p.job->first_token_at < p.job->submitted_at) return nb::none();
                return nb::float_(p.job->first_token_at - p.job->submitted_at);
            },
            "Seconds from the submission to the first new token (None before it): the server's time to first token.");

    nb::class_<Batcher>(m, "_Batcher",
                        "The step scheduler of one application: it owns the engine's model and advances every "
                        "running request by one token per step; requests join and leave between steps.")
        .def_prop_ro("max_batch", [](Batcher &b) { return b.get()->max_batch; })
        .def_prop_ro(
            "waiting",
            [](Batcher &b) {
                auto &s = *b.get();
                std::lock_guard<std::mutex> lk(s.mu);
                return s.queue.size();
            },
            "Requests waiting for a row.")
        .def_prop_ro(
            "in_batch",
            [](Batcher &b) {
                auto &s = *b.get();
                std::lock_guard<std::mutex> lk(s.mu);
                return s.in_batch;
            },
            "Rows running now (0 when idle).")
        .def("start", &start, "model"_a, "messages"_a, nb::kw_only(), "max_tokens"_a.none() = nb::none(),
             "stream"_a = false, "tools"_a.none() = nb::none(), "fields"_a,
             "Submit a request (messages, or a prompt string with raw_prompt=True) with OpenAI-named fields; "
             "returns a `_Pending`.")
        .def(
            "complete",
            [](Batcher &b, nb::object model, nb::object messages, nb::object max_tokens, bool stream, nb::object tools,
               nb::kwargs fields) {
                nb::object p = start(b, model, messages, max_tokens, stream, tools, fields);
                Pending &pending = nb::cast<Pending &>(p);
                nb::list chunks;
                if (stream)
                    for (nb::object t = pending.next_text(600.0); !t.is_none(); t = pending.next_text(600.0))
                        chunks.append(t);
                nb::dict out = pending.result(600.0);
                if (stream) out["chunks"] = chunks;
                return out;
            },
            "model"_a, "messages"_a, nb::kw_only(), "max_tokens"_a.none() = nb::none(), "stream"_a = false,
            "tools"_a.none() = nb::none(), "fields"_a,
            "Submit a request and wait for its reply (see `start` and `_Pending.result`); a stream's pieces "
            "come under 'chunks'.")
        .def(
            "shutdown", [](Batcher &b) { b.get()->shutdown(); },
            "Refuse new requests and end the running ones at their next step.")
        .def(
            "join", [](Batcher &b, double timeout) { b.get()->join(timeout); }, "timeout"_a = 10.0,
            "Wait for the scheduler thread to end after shutdown().");
}

}  // namespace vz::serve
