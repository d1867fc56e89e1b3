// The request batcher: one scheduler thread owns the engine's model and decodes together the
// chat requests that are waiting when it is free, whatever adapters they name.
//
// Design notes
// - Batches form at arrival: the scheduler takes the oldest waiting request and every other
//   waiting request with the same sampling setting (greedy, or one temperature), up to
//   `max_batch`, and runs one `generate` over them. Requests that arrive meanwhile wait for the
//   next batch. After a batch of several rows it waits up to kGatherMs for as many requests to
//   gather again (the same clients coming back a moment apart). A lone request runs exactly as
//   the engine's own `generate` would: the same inputs, the adapter switched with
//   `set_adapter`, no padding.
// - Mixed adapters: prompts are left-padded to one length with an attention mask (the model
//   derives position ids from the mask), and peft's per-row `adapter_names` applies each row's
//   adapter ("__base__" for the bare base). Greedy rows give the replies they would alone.
// - Each row has its own token limit (capped by the context left after its prompt). A
//   stopping criterion called after every step records each row's new token, ends a row at its
//   limit or when its request is cancelled (client gone, server stopping), and feeds the text
//   of streamed rows to their readers as it decodes.
// - Threads: the HTTP handlers submit jobs and wait on them with the GIL released; the
//   scheduler waits for work with the GIL released. A mutex is never held while waiting for
//   the GIL. The scheduler also takes the engine's generation lock around each batch, so direct
//   `generate` calls and batches never interleave on the shared model.
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

namespace {

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

// Text that is safe to stream from a partial decode: no trailing replacement character (a
// character whose bytes have not all arrived) and no trailing white space (which the final
// decode may still fold into the next token, e.g. before punctuation).
size_t stable_prefix(const std::string &text) {
    size_t n = text.size();
    for (;;) {
        if (n >= 3 && text.compare(n - 3, 3, "\xEF\xBF\xBD") == 0) {
            n -= 3;
        } else if (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\n' || text[n - 1] == '\t' || text[n - 1] == '\r')) {
            n -= 1;
        } else {
            return n;
        }
    }
}

std::vector<int64_t> eos_ids(nb::handle model) {
    std::vector<int64_t> out;
    try {
        nb::object cfg = nb::getattr(model, "generation_config", nb::none());
        nb::object eos = cfg.is_none() ? nb::none() : nb::getattr(cfg, "eos_token_id", nb::none());
        if (PyLong_Check(eos.ptr())) {
            out.push_back(nb::cast<int64_t>(eos));
        } else if (!eos.is_none()) {
            for (nb::handle e : eos) out.push_back(nb::cast<int64_t>(e));
        }
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
    } catch (nb::cast_error &) {
    }
    return out;
}

// One row of a running batch.
struct Row {
    std::shared_ptr<Job> job;
    int64_t limit = 0;
    bool finished = false;
    std::string streamed;  // text already handed to the stream's reader
};

// The rows of one `generate` call and what the per-step criterion needs.
struct Batch {
    std::vector<Row> rows;
    std::vector<int64_t> eos;
    nb::object tokenizer, torch;
    std::atomic<bool> *stopping = nullptr;

    void decode_stream(Row &row) {
        Job &job = *row.job;
        std::string text = bind::text(tokenizer.attr("decode")(nb::cast(job.tokens), "skip_special_tokens"_a = true));
        size_t n = stable_prefix(text);
        if (n <= row.streamed.size() || text.compare(0, row.streamed.size(), row.streamed) != 0) return;
        std::string piece = text.substr(row.streamed.size(), n - row.streamed.size());
        row.streamed.assign(text, 0, n);
        {
            std::lock_guard<std::mutex> lk(job.mu);
            job.pending += piece;
        }
        job.cv.notify_all();
    }

    // Called by generate after every step with all ids so far; returns the rows to stop.
    nb::object step(nb::handle input_ids) {
        nb::object last = input_ids[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), -1)];
        nb::list tokens = nb::list(last.attr("tolist")());
        nb::list stop;
        bool shutting = stopping && stopping->load();
        for (size_t i = 0; i < rows.size(); ++i) {
            Row &row = rows[i];
            Job &job = *row.job;
            if (!row.finished) {
                int64_t token = nb::cast<int64_t>(tokens[i]);
                job.tokens.push_back(token);
                if (std::find(eos.begin(), eos.end(), token) != eos.end()) {
                    row.finished = true;
                    job.finish_reason = "stop";
                } else if ((int64_t) job.tokens.size() >= row.limit) {
                    row.finished = true;
                    job.finish_reason = "length";
                }
                if (job.stream) decode_stream(row);
            }
            if (!row.finished && (job.cancelled.load() || shutting)) {
                row.finished = true;
                job.finish_reason = "cancelled";
            }
            stop.append(nb::bool_(row.finished));
        }
        return torch.attr("tensor")(stop, "dtype"_a = torch.attr("bool"), "device"_a = input_ids.attr("device"));
    }
};

}  // namespace

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

// Blocks (GIL released) until a request waits or the scheduler stops; false when stopping with
// nothing left to run.
bool Scheduler::wait_for_work() {
    PyThreadState *state = PyEval_SaveThread();
    bool ready;
    {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [&] { return stopping.load() || !queue.empty(); });
        ready = !queue.empty();
    }
    reacquire(state);
    return ready;
}

std::vector<std::shared_ptr<Job>> Scheduler::take() {
    PyThreadState *state = PyEval_SaveThread();
    std::vector<std::shared_ptr<Job>> batch;
    {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [&] { return stopping.load() || !queue.empty(); });
        // Under load the clients of the last batch send their next requests a moment apart:
        // wait briefly for as many as that batch had, rather than start one of them alone and
        // make the rest wait behind it. A lone client (last batch of one) never waits here.
        size_t expect = std::min<size_t>(last_batch, (size_t) max_batch);
        if (expect > 1 && queue.size() < expect)
            cv.wait_for(lk, std::chrono::milliseconds(kGatherMs),
                        [&] { return stopping.load() || queue.size() >= expect; });
        if (!queue.empty()) {
            double key = queue.front()->settings.temperature > 0 ? queue.front()->settings.temperature : 0.0;
            for (auto it = queue.begin(); it != queue.end() && (int64_t) batch.size() < max_batch;) {
                double k = (*it)->settings.temperature > 0 ? (*it)->settings.temperature : 0.0;
                if (k == key) {
                    batch.push_back(std::move(*it));
                    ++in_batch;
                    it = queue.erase(it);
                } else {
                    ++it;
                }
            }
        }
        last_batch = batch.size();
    }
    reacquire(state);
    return batch;
}

void Scheduler::run() {
    for (;;) {
        if (!wait_for_work()) return;  // stopping, nothing left
        // The batch is formed only once the model is free (the engine's generation lock, also
        // taken by direct generate calls): every request that queued while it was busy joins it.
        LockGuard guard(generation_lock(engine));
        std::vector<std::shared_ptr<Job>> jobs = take();
        if (jobs.empty()) return;
        struct Done {
            Scheduler &s;
            ~Done() {
                std::lock_guard<std::mutex> lk(s.mu);
                s.in_batch = 0;
            }
        } done{*this};
        std::vector<std::shared_ptr<Job>> again;
        try {
            run_batch(jobs);
        } catch (nb::python_error &e) {
            // A batch fails as one, but the cause may be one row's (an input its adapter cannot
            // take, a batch too large for the device's memory): the rows that have shown nothing
            // to their clients yet run again one at a time, so that only a failing request fails.
            // A streamed row that has sent text keeps the error: its reply cannot start over.
            if (jobs.size() > 1)
                for (auto &job : jobs)
                    if (!finished(*job) && !(job->stream && !job->tokens.empty())) again.push_back(job);
            fail(jobs, again, nb::borrow(e.value()));
        } catch (std::exception &e) {
            fail(jobs, e.what());
        }
        for (auto &job : again) {
            job->tokens.clear();
            job->finish_reason.clear();
            std::vector<std::shared_ptr<Job>> one{job};
            try {
                run_batch(one);
            } catch (nb::python_error &e) {
                fail(one, {}, nb::borrow(e.value()));
            } catch (std::exception &e) {
                fail(one, e.what());
            }
        }
    }
}

bool Scheduler::finished(Job &job) {
    std::lock_guard<std::mutex> lk(job.mu);
    return job.done;
}

void Scheduler::fail(const std::vector<std::shared_ptr<Job>> &jobs, const std::vector<std::shared_ptr<Job>> &spared,
                     nb::object error) {
    for (auto &job : jobs) {
        if (std::find(spared.begin(), spared.end(), job) != spared.end()) continue;
        {
            std::lock_guard<std::mutex> lk(job->mu);
            if (job->done) continue;
            job->error = error;
            job->finish_locked();
        }
        job->cv.notify_all();
    }
}

void Scheduler::fail(const std::vector<std::shared_ptr<Job>> &jobs, const char *what) {
    for (auto &job : jobs)
        if (!finished(*job)) job->refuse(500, std::string("generation failed: ") + what);
}

void Scheduler::run_batch(std::vector<std::shared_ptr<Job>> &jobs) {
    nb::module_ torch = bind::import("torch");
    // The caller (run) holds the engine's generation lock.

    nb::object model = engine.attr("model");
    nb::object tokenizer = engine.attr("tokenizer");
    nb::object adapter_names = engine.attr("adapter_names");
    bool has_adapters = bind::truthy(adapter_names);
    int64_t context = context_limit(engine);
    int64_t default_limit = nb::cast<int64_t>(nb::int_(engine.attr("cfg").attr("max_new_tokens")));

    // Admission: render and count every prompt; refuse those the context cannot hold.
    auto batch = std::make_shared<Batch>();
    std::vector<std::vector<int64_t>> prompts;
    for (auto &job : jobs) {
        if (job->cancelled.load() || stopping.load()) {
            job->refuse(503, stopping.load() ? "the server is shutting down" : "the client went away");
            continue;
        }
        std::vector<int64_t> ids;
        try {
            nb::object prompt = job->conversation;  // a completion's prompt goes in as written
            if (!job->settings.raw_prompt)
                prompt = tokenizer.attr("apply_chat_template")(
                    job->conversation, "tokenize"_a = false, "add_generation_prompt"_a = true, "tools"_a = job->tools);
            ids = nb::cast<std::vector<int64_t>>(tokenizer(prompt)[nb::str("input_ids")]);
        } catch (nb::python_error &e) {
            // A conversation the chat template refuses (say, roles out of order) is the
            // client's error; anything else is the server's.
            nb::object template_error = nb::none();
            try {
                template_error = bind::import("jinja2.exceptions").attr("TemplateError");
            } catch (nb::python_error &) {
            }
            if (!template_error.is_none() && e.matches(template_error)) {
                job->refuse(400, "'messages': the chat template refused the conversation: " + bind::text(e.value()));
                continue;
            }
            throw;
        }
        int64_t n = (int64_t) ids.size();
        if (context > 0 && n >= context) {
            job->refuse(400, "'messages': the prompt is " + std::to_string(n) + " tokens; the model's context holds " +
                                 std::to_string(context) + ", which leaves no room for a reply");
            continue;
        }
        int64_t limit = job->limit > 0 ? job->limit : default_limit;
        if (context > 0) limit = std::min(limit, context - n);
        {
            std::lock_guard<std::mutex> lk(job->mu);
            job->prompt_tokens = n;
            job->admitted = true;
        }
        job->cv.notify_all();
        Row row;
        row.job = job;
        row.limit = limit;
        batch->rows.push_back(std::move(row));
        prompts.push_back(std::move(ids));
    }
    if (batch->rows.empty()) return;

    batch->eos = eos_ids(model);
    batch->tokenizer = tokenizer;
    batch->torch = torch;
    batch->stopping = &stopping;

    // Inputs: one row as is; several left-padded to one length, with the attention mask.
    size_t width = 0;
    for (auto &p : prompts) width = std::max(width, p.size());
    nb::object pad = tokenizer.attr("pad_token_id");
    if (pad.is_none()) pad = tokenizer.attr("eos_token_id");
    int64_t pad_id = pad.is_none() ? 0 : nb::cast<int64_t>(pad);
    nb::list ids, mask;
    int64_t max_limit = 0;
    for (size_t i = 0; i < prompts.size(); ++i) {
        nb::list id_row, mask_row;
        size_t fill = width - prompts[i].size();
        for (size_t k = 0; k < fill; ++k) {
            id_row.append(pad_id);
            mask_row.append(0);
        }
        for (int64_t t : prompts[i]) {
            id_row.append(t);
            mask_row.append(1);
        }
        ids.append(id_row);
        mask.append(mask_row);
        max_limit = std::max(max_limit, batch->rows[i].limit);
    }
    nb::object device = engine.attr("device");
    nb::object long_t = torch.attr("long");

    double temp = batch->rows.front().job->settings.temperature;
    nb::dict kwargs;
    kwargs["input_ids"] = torch.attr("tensor")(ids, "dtype"_a = long_t, "device"_a = device);
    kwargs["attention_mask"] = torch.attr("tensor")(mask, "dtype"_a = long_t, "device"_a = device);
    kwargs["max_new_tokens"] = max_limit;
    kwargs["do_sample"] = nb::bool_(temp > 0);
    kwargs["temperature"] = nb::float_(temp < 1e-5 ? 1e-5 : temp);
    kwargs["pad_token_id"] = tokenizer.attr("eos_token_id");
    nb::list criteria;
    criteria.append(
        nb::cpp_function([batch](nb::args args, nb::kwargs) { return batch->step(args[0]); }, nb::name("rows_done")));
    kwargs["stopping_criteria"] = criteria;

    // Adapters: one shared adapter is switched on the model; a mix goes per row.
    bool disable = false;
    if (has_adapters) {
        nb::object first = batch->rows.front().job->name;
        bool same = true;
        for (auto &row : batch->rows) same = same && row.job->name.equal(first);
        if (same) {
            if (bind::contains(adapter_names, first)) model.attr("set_adapter")(first);
            disable = first.equal(nb::str("base")) && nb::hasattr(model, "disable_adapter");
        } else {
            nb::list per_row;
            for (auto &row : batch->rows) {
                bool base = row.job->name.equal(nb::str("base")) && !bind::contains(adapter_names, row.job->name);
                per_row.append(base ? nb::str("__base__") : nb::str(row.job->name));
            }
            kwargs["adapter_names"] = per_row;
        }
    }

    auto run = [&](nb::handle) { model.attr("generate")(**kwargs); };
    bind::with_context(torch.attr("no_grad")(), [&](nb::handle) {
        if (disable)
            bind::with_context(model.attr("disable_adapter")(), run);
        else
            run(nb::handle());
    });

    // Every row's reply is what it would be alone: its tokens up to its own end.
    for (auto &row : batch->rows) {
        Job &job = *row.job;
        std::string text = bind::text(tokenizer.attr("decode")(nb::cast(job.tokens), "skip_special_tokens"_a = true));
        {
            std::lock_guard<std::mutex> lk(job.mu);
            if (job.finish_reason.empty()) job.finish_reason = "length";
            if (job.finish_reason == "cancelled") {
                job.status = 503;
                job.message = stopping.load() ? "the server is shutting down" : "the client went away";
            }
            job.completion_tokens = (int64_t) job.tokens.size();
            job.text = text;
            if (job.stream && text.compare(0, row.streamed.size(), row.streamed) == 0)
                job.pending += text.substr(row.streamed.size());
            job.finish_locked();
        }
        job.cv.notify_all();
    }
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

void register_batcher(nb::module_ &m) {
    nb::class_<Batcher>(m, "_Batcher",
                        "The request scheduler of one application: it owns the engine's model and decodes the "
                        "requests waiting together in one batch.")
        .def_prop_ro("max_batch", [](Batcher &b) { return b.get()->max_batch; })
        .def_prop_ro(
            "waiting",
            [](Batcher &b) {
                auto &s = *b.get();
                std::lock_guard<std::mutex> lk(s.mu);
                return s.queue.size();
            },
            "Requests waiting for the next batch.")
        .def_prop_ro(
            "in_batch",
            [](Batcher &b) {
                auto &s = *b.get();
                std::lock_guard<std::mutex> lk(s.mu);
                return s.in_batch;
            },
            "Requests of the batch being decoded now (0 when idle).")
        .def(
            "shutdown", [](Batcher &b) { b.get()->shutdown(); },
            "Refuse new requests and end the running ones at their next step.")
        .def(
            "join", [](Batcher &b, double timeout) { b.get()->join(timeout); }, "timeout"_a = 10.0,
            "Wait for the scheduler thread to end after shutdown().");
}

}  // namespace vz::serve
