// The step scheduler: one thread owns the engine's model and advances every running request
// ("row") by one token per decode step; a request joins at the next step after its prompt is
// read and leaves at the step that ends it.
//
// Design notes
// - One batched KV cache (transformers' DynamicCache: per layer, keys and values shaped
//   [rows, heads, columns, head_dim]) holds every running row, left-padded to one width. Each
//   row keeps its count of leading padding columns; a decode step passes the rows' last tokens,
//   an attention mask that hides each row's padding and per-row position ids (the row's real
//   length), so a row's positions never depend on its neighbours.
// - Joining: admitted rows' prompts are read in their own forward (several short prompts
//   together, left-padded; a long prompt alone in chunks over its own cache),
//   their first tokens are chosen from it, and their cache is merged into the batch's: the
//   narrower of the two is padded on the left, then the rows are concatenated. At most
//   kPrefillTokens prompt tokens are read per step while rows run (kIdlePrefillTokens when
//   none does), so a long prompt delays the running streams by about one such forward per step
//   rather than by its whole prompt. Requests sent together are read together: an idle
//   scheduler gathers a burst for a moment before its first forward, and requests that arrive
//   while prompts are read are read before the next decode step (once in a row).
// - Leaving: a row ends at an end token, its limit, a stop text, a complete grammar or when its
//   client goes away; its reply goes out at once, its rows of the cache are dropped, and
//   padding columns that no remaining row needs are trimmed.
// - Adapters: the base projection runs once over all rows, and the adapters' low-rank products
//   are applied per row (deltas.cpp gives peft's LoRA linear layers a forward that does so from
//   the step's rows: stacked factors with a per-row column mask, or per adapter group; models
//   with other LoRA layers pass peft's `adapter_names=`, "__base__" for the bare base). A step
//   with no adapter row computes no delta.
// - Sampling, stop texts, logprobs and grammars are per row (sampling.cpp, grammar.cpp).
// - Failures: a forward that raises with several rows in it may be one row's fault. Rows that
//   have shown nothing to their clients are queued again at the front, marked to run alone;
//   a streamed row that has sent text gets the error, as does a row that fails alone.
// - Threads: the scheduler holds the GIL only while it calls Python (torch releases it inside
//   its kernels); it waits for work with the GIL released, and HTTP handlers wait for their
//   jobs with it released. It takes the engine's generation lock for each step, so direct
//   `generate` calls run between steps and never interleave with one on the shared model.
//   A job's mutex is never held while waiting for the GIL.
// - Why a loop of our own over the model's forward rather than transformers' continuous-batching
//   manager (`generate_batch`, a paged cache): on this CPU it took 62-96 s for 8 x 32 tokens of
//   the demo model with its default cache sizing and 2.5-3.5 s with small pages and blocks,
//   against about 1.2 s here, and it takes no per-request adapter, stop text or grammar.
// - What must stay: the Job and RowSettings contract with the HTTP side (batcher.hpp); a row's
//   greedy tokens do not depend on the rows beside it.
#include "modules/serve/rows.hpp"

#include <algorithm>
#include <chrono>
#include <deque>

namespace vz::serve {
using namespace nb::literals;

namespace {

// Prompt tokens read per step while rows run (rows x padded length). A forward over this many
// tokens costs a few decode steps of a small batch, which bounds how long a joining prompt
// holds up the running streams, and takes a dozen chat prompts at once, so that requests
// arriving together start together.
constexpr int64_t kPrefillTokens = 256;
// With no row running there is no stream to hold up: prompts that arrive together are read in
// one forward of up to this many tokens.
constexpr int64_t kIdlePrefillTokens = 1024;

// How long an idle scheduler waits for more of a burst of requests: until none has come for
// kGatherQuiet, and never longer than kGatherMost after the first.
constexpr auto kGatherQuiet = std::chrono::microseconds(1500);
constexpr auto kGatherMost = std::chrono::milliseconds(6);

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
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

// The loop's state; lives on the scheduler thread for as long as the scheduler runs.
struct Loop {
    Scheduler &s;
    EngineView ev;
    std::vector<std::unique_ptr<Row>> running;  // rows in the batch cache, in its row order
    std::deque<std::unique_ptr<Row>> reading;   // admitted rows whose prompts are being read
    nb::object cache;                           // the batch's cache (unset while no row runs)
    int64_t width = 0;                          // its columns
    bool alone = false;                         // a row rerun alone holds the model to itself
    bool deferred = false;                      // the last pass read new prompts instead of decoding
    // The forward's cache argument (and output field): "cache" in newer transformers,
    // "past_key_values" before.
    const char *cache_name = "past_key_values";

    explicit Loop(Scheduler &sched) : s(sched) {}

    void view() {
        nb::object engine = s.engine;
        ev.engine = engine;
        ev.torch = bind::import("torch");
        ev.model = engine.attr("model");
        ev.tokenizer = engine.attr("tokenizer");
        ev.device = ev.torch.attr("device")(engine.attr("device"));
        ev.adapter_names = engine.attr("adapter_names");
        ev.peft = bind::truthy(ev.adapter_names);
        ev.eos = eos_ids(ev.model);
        nb::object pad = ev.tokenizer.attr("pad_token_id");
        if (pad.is_none()) pad = ev.tokenizer.attr("eos_token_id");
        ev.pad_id = pad.is_none() ? 0 : nb::cast<int64_t>(pad);
        ev.context = context_limit(engine);
        ev.default_limit = nb::cast<int64_t>(nb::int_(engine.attr("cfg").attr("max_new_tokens")));
        nb::object config = nb::getattr(ev.model, "config", nb::none());
        nb::object vocab = config.is_none() ? nb::none() : nb::getattr(config, "vocab_size", nb::none());
        ev.vocab = PyLong_Check(vocab.ptr()) ? nb::cast<int64_t>(vocab) : 0;
        nb::object base = nb::hasattr(ev.model, "get_base_model") ? ev.model.attr("get_base_model")() : ev.model;
        nb::object params = bind::import("inspect").attr("signature")(base.attr("forward")).attr("parameters");
        if (bind::contains(params, "cache")) cache_name = "cache";
        if (ev.peft) {
            ev.adapter_count = (size_t) nb::len(ev.adapter_names);
            install_row_deltas(ev);
        }
        // Grad mode is per thread: this one never needs it.
        ev.torch.attr("set_grad_enabled")(false);
    }

    size_t live() const { return running.size() + reading.size(); }

    // A request waits and the batch has room for it.
    bool arrived() {
        std::lock_guard<std::mutex> lk(s.mu);
        return !s.queue.empty() && (int64_t) live() < s.max_batch && !alone;
    }

    void publish() {
        std::lock_guard<std::mutex> lk(s.mu);
        s.in_batch = live();
    }

    // Blocks (GIL released) until a request waits or the scheduler stops; false when stopping
    // with nothing queued. Requests sent together reach an idle model a fraction of a
    // millisecond apart: while more keep coming (each within kGatherQuiet of the last, for at
    // most kGatherMost) they are gathered, so that their prompts are read in one forward and
    // all of them see their first token then, not one forward after another.
    bool wait_for_work() {
        PyThreadState *state = PyEval_SaveThread();
        bool ready;
        {
            std::unique_lock<std::mutex> lk(s.mu);
            s.cv.wait(lk, [&] { return s.stopping.load() || !s.queue.empty(); });
            auto until = std::chrono::steady_clock::now() + kGatherMost;
            for (size_t seen = s.queue.size(); !s.stopping.load() && seen > 0 && (int64_t) seen < s.max_batch;) {
                auto quiet = std::min(until, std::chrono::steady_clock::now() + kGatherQuiet);
                if (!s.cv.wait_until(lk, quiet, [&] { return s.stopping.load() || s.queue.size() != seen; })) break;
                seen = s.queue.size();
            }
            ready = !s.queue.empty();
        }
        reacquire(state);
        return ready;
    }

    // Moves waiting jobs into rows while the batch has room.
    void admit() {
        std::vector<std::shared_ptr<Job>> taken;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            while (!s.queue.empty() && (int64_t) (live() + taken.size()) < s.max_batch && !alone) {
                std::shared_ptr<Job> &front = s.queue.front();
                if (front->solo) {
                    if (live() + taken.size() > 0) break;  // it waits for the model to empty
                    alone = true;
                }
                taken.push_back(std::move(front));
                s.queue.pop_front();
            }
            s.in_batch = live() + taken.size();
        }
        // The end tokens are read again as rows join: the generation config is the caller's to change.
        if (!taken.empty()) ev.eos = eos_ids(ev.model);
        for (auto &job : taken) {
            try {
                start_row(job);
            } catch (nb::python_error &e) {
                fail_job(*job, nb::borrow(e.value()));
            } catch (std::exception &e) {
                job->refuse(500, std::string("generation failed: ") + e.what());
            }
        }
        publish();
    }

    // Renders and counts a job's prompt; refuses what the context or the grammar cannot take.
    void start_row(const std::shared_ptr<Job> &job) {
        if (job->cancelled.load() || s.stopping.load()) {
            job->refuse(503, s.stopping.load() ? "the server is shutting down" : "the client went away");
            return;
        }
        const RowSettings &st = job->settings;
        std::vector<int64_t> ids;
        try {
            nb::object prompt;
            if (st.raw_prompt) {
                prompt = job->conversation;
            } else {
                nb::dict kw;
                kw["tokenize"] = false;
                kw["add_generation_prompt"] = true;
                if (job->tools.is_valid() && !job->tools.is_none()) kw["tools"] = job->tools;
                prompt = ev.tokenizer.attr("apply_chat_template")(job->conversation, **kw);
            }
            ids = nb::cast<std::vector<int64_t>>(ev.tokenizer(prompt)[nb::str("input_ids")]);
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
                return;
            }
            throw;
        }
        const char *field = st.raw_prompt ? "'prompt'" : "'messages'";
        int64_t n = (int64_t) ids.size();
        if (n == 0) {
            job->refuse(400, std::string(field) + ": the prompt is empty");
            return;
        }
        if (ev.context > 0 && n >= ev.context) {
            job->refuse(400, std::string(field) + ": the prompt is " + std::to_string(n) +
                                 " tokens; the model's context holds " + std::to_string(ev.context) +
                                 ", which leaves no room for a reply");
            return;
        }
        auto row = std::make_unique<Row>();
        row->job = job;
        row->prompt = std::move(ids);
        int64_t limit = job->limit > 0 ? job->limit : ev.default_limit;
        if (ev.context > 0) limit = std::min(limit, ev.context - n);
        row->limit = std::max<int64_t>(limit, 1);
        if (ev.peft) {
            bool named = bind::contains(ev.adapter_names, job->name);
            row->adapter = named ? nb::object(job->name) : nb::object(nb::str("__base__"));
            if (named) row->adapter_index = nb::cast<int64_t>(ev.adapter_names.attr("index")(job->name));
        }
        if (!st.grammar.empty() && !prepare_grammar(ev, *row)) return;  // refused
        prepare_sampling(ev, *row);
        {
            std::lock_guard<std::mutex> lk(job->mu);
            job->prompt_tokens = n;
            job->admitted = true;
        }
        job->cv.notify_all();
        reading.push_back(std::move(row));
    }

    static void fail_job(Job &job, nb::object error) {
        {
            std::lock_guard<std::mutex> lk(job.mu);
            if (job.done) return;
            job.error = std::move(error);
            job.finish_locked();
        }
        job.cv.notify_all();
    }

    nb::object tensor(const std::vector<int64_t> &v) {
        return ev.torch.attr("tensor")(v, "dtype"_a = ev.torch.attr("long"), "device"_a = ev.device);
    }

    // One forward; the logits of the last position of each row ([rows, vocab]).
    nb::object forward(nb::object ids, nb::object mask, nb::object positions, nb::object past,
                       const std::vector<Row *> &rows, nb::object *cache_out) {
        nb::dict kw;
        kw["input_ids"] = ids;
        kw["attention_mask"] = mask;
        kw["position_ids"] = positions;
        kw[cache_name] = past;
        kw["use_cache"] = true;
        kw["logits_to_keep"] = 1;
        struct PlanOff {
            RowPlan *plan;
            ~PlanOff() {
                if (plan) plan->active = false;
            }
        } off{ev.plan.get()};
        if (ev.plan) {
            plan_rows(ev, rows);
        } else if (ev.peft) {
            nb::list names;
            for (Row *r : rows) names.append(r->adapter);
            kw["adapter_names"] = names;
        }
        nb::object out = ev.model(**kw);
        *cache_out = out.attr(cache_name);
        nb::object logits = out.attr("logits");
        return logits[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), -1)];
    }

    // Applies f to every layer's keys and values of a cache.
    template <class F>
    static void each_layer(nb::handle c, F &&f) {
        for (nb::handle layer : c.attr("layers")) {
            nb::setattr(layer, "keys", f(layer.attr("keys")));
            nb::setattr(layer, "values", f(layer.attr("values")));
        }
    }

    nb::object pad_left(nb::handle t, int64_t n) {
        return ev.torch.attr("nn").attr("functional").attr("pad")(t, nb::make_tuple(0, 0, n, 0));
    }

    // Keeps the batch rows at `keep` (indices) and trims padding no row needs.
    void select_rows(const std::vector<int64_t> &keep) {
        if (keep.empty()) {
            cache = nb::object();
            width = 0;
            return;
        }
        nb::object index = tensor(keep);
        each_layer(cache, [&](nb::handle t) { return t.attr("index_select")(0, index); });
    }

    void trim() {
        if (running.empty()) return;
        int64_t least = width;
        for (auto &r : running) least = std::min(least, r->pad);
        if (least <= 0) return;
        nb::object cols = nb::slice(nb::int_(least), nb::none(), nb::none());
        nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
        each_layer(cache, [&](nb::handle t) { return t[nb::make_tuple(all, all, cols)].attr("contiguous")(); });
        for (auto &r : running) r->pad -= least;
        width -= least;
    }

    // Merges rows whose prompts were just read (their cache `group`, `group_width` wide) into
    // the batch.
    void merge(std::vector<std::unique_ptr<Row>> &rows, nb::object group, int64_t group_width) {
        if (rows.empty()) return;
        if (running.empty()) {
            cache = group;
            width = group_width;
        } else {
            if (group_width < width) {
                int64_t d = width - group_width;
                each_layer(group, [&](nb::handle t) { return pad_left(t, d); });
                for (auto &r : rows) r->pad += d;
            } else if (group_width > width) {
                int64_t d = group_width - width;
                each_layer(cache, [&](nb::handle t) { return pad_left(t, d); });
                for (auto &r : running) r->pad += d;
                width = group_width;
            }
            nb::list mine = nb::list(cache.attr("layers")), theirs = nb::list(group.attr("layers"));
            for (size_t i = 0; i < mine.size(); ++i) {
                for (const char *part : {"keys", "values"})
                    nb::setattr(mine[i], part,
                                ev.torch.attr("cat")(nb::make_tuple(mine[i].attr(part), theirs[i].attr(part)), 0));
            }
        }
        for (auto &r : rows) running.push_back(std::move(r));
        rows.clear();
    }

    // A forward that raised: `rows` were in it. Several rows: those that have shown nothing
    // go back to the front of the queue to run alone; the others get the error.
    void failed(std::vector<std::unique_ptr<Row>> &rows, nb::object error) {
        std::vector<std::shared_ptr<Job>> again;
        for (auto &r : rows) {
            Job &job = *r->job;
            bool shown = job.stream && !r->streamed.empty();
            if (rows.size() > 1 && !shown && !job.solo) {
                job.solo = true;
                job.tokens.clear();
                job.finish_reason.clear();
                {
                    std::lock_guard<std::mutex> lk(job.mu);
                    job.logprobs.clear();
                    job.pending_logprobs.clear();
                }
                again.push_back(r->job);
            } else {
                fail_job(job, error);
            }
        }
        rows.clear();
        std::lock_guard<std::mutex> lk(s.mu);
        for (auto it = again.rbegin(); it != again.rend(); ++it) s.queue.push_front(*it);
    }

    // Ends `ended` rows of `rows` (which must not be in the cache) and returns the others.
    void finish_ended(std::vector<std::unique_ptr<Row>> &rows) {
        std::vector<std::unique_ptr<Row>> kept;
        for (auto &r : rows) {
            if (r->ended) {
                finish_row(ev, *r, s.stopping.load());
                if (r->job->solo) alone = false;
            } else {
                kept.push_back(std::move(r));
            }
        }
        rows.swap(kept);
    }

    // Reads prompts for at most `budget` tokens: a group of short prompts, or the next
    // chunk of a long one. Rows whose prompt is read choose their first token and join.
    void read_prompts() {
        if (reading.empty()) return;
        const int64_t budget = running.empty() ? kIdlePrefillTokens : kPrefillTokens;
        std::vector<std::unique_ptr<Row>> group;
        Row &first = *reading.front();
        int64_t left = (int64_t) first.prompt.size() - first.prefilled;
        nb::object past = nb::none();
        nb::object ids, mask, positions;
        int64_t group_width = 0;
        if (first.prefilled > 0 || left > budget) {
            // A long prompt: its next chunk over its own cache.
            int64_t take = std::min(left, budget);
            std::vector<int64_t> chunk(first.prompt.begin() + first.prefilled,
                                       first.prompt.begin() + first.prefilled + take);
            std::vector<int64_t> pos(chunk.size());
            for (size_t i = 0; i < pos.size(); ++i) pos[i] = first.prefilled + (int64_t) i;
            ids = tensor(chunk).attr("unsqueeze")(0);
            positions = tensor(pos).attr("unsqueeze")(0);
            mask = ev.torch.attr("ones")(1, first.prefilled + take, "dtype"_a = ev.torch.attr("long"),
                                         "device"_a = ev.device);
            if (first.cache.is_valid()) past = first.cache;
            group.push_back(std::move(reading.front()));
            reading.pop_front();
            group_width = group[0]->prefilled + take;
            group[0]->prefilled = group_width;
        } else {
            // Short prompts together, left-padded, while the padded total stays in bounds.
            int64_t longest = 0;
            while (!reading.empty()) {
                Row &next = *reading.front();
                if (next.prefilled > 0 || (int64_t) next.prompt.size() > budget) break;
                int64_t wide = std::max<int64_t>(longest, (int64_t) next.prompt.size());
                if (!group.empty() && wide * (int64_t) (group.size() + 1) > budget) break;
                longest = wide;
                group.push_back(std::move(reading.front()));
                reading.pop_front();
            }
            std::vector<int64_t> flat_ids, flat_mask, flat_pos;
            for (auto &r : group) {
                int64_t fill = longest - (int64_t) r->prompt.size();
                r->pad = fill;
                r->prefilled = (int64_t) r->prompt.size();
                for (int64_t k = 0; k < fill; ++k) {
                    flat_ids.push_back(ev.pad_id);
                    flat_mask.push_back(0);
                    flat_pos.push_back(0);
                }
                for (size_t k = 0; k < r->prompt.size(); ++k) {
                    flat_ids.push_back(r->prompt[k]);
                    flat_mask.push_back(1);
                    flat_pos.push_back((int64_t) k);
                }
            }
            nb::object shape = nb::make_tuple((int64_t) group.size(), longest);
            ids = tensor(flat_ids).attr("view")(shape);
            mask = tensor(flat_mask).attr("view")(shape);
            positions = tensor(flat_pos).attr("view")(shape);
            group_width = longest;
        }
        std::vector<Row *> ptrs;
        for (auto &r : group) ptrs.push_back(r.get());
        nb::object group_cache;
        nb::object logits;
        try {
            logits = forward(ids, mask, positions, past, ptrs, &group_cache);
        } catch (nb::python_error &e) {
            failed(group, nb::borrow(e.value()));
            return;
        }
        if (group.size() == 1 && group[0]->prefilled < (int64_t) group[0]->prompt.size()) {
            // More chunks to read: the row goes back to the front of the readers.
            group[0]->cache = group_cache;
            reading.push_front(std::move(group[0]));
            return;
        }
        for (auto &r : group) r->cache = nb::object();
        std::vector<int64_t> tokens = choose_tokens(ev, logits, ptrs);
        std::vector<int64_t> keep;
        for (size_t i = 0; i < group.size(); ++i)
            if (!take_token(ev, *group[i], tokens[i])) keep.push_back((int64_t) i);
        if (keep.size() != group.size() && !keep.empty()) {
            nb::object index = tensor(keep);
            each_layer(group_cache, [&](nb::handle t) { return t.attr("index_select")(0, index); });
        }
        finish_ended(group);  // rows ended by their first token; `group` keeps the others
        std::vector<std::unique_ptr<Row>> joining = std::move(group);
        if (!joining.empty()) {
            // Padding columns that none of the joining rows needs.
            int64_t least = group_width;
            for (auto &r : joining) least = std::min(least, r->pad);
            if (least > 0) {
                nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
                nb::object cols = nb::slice(nb::int_(least), nb::none(), nb::none());
                each_layer(group_cache, [&](nb::handle t) { return t[nb::make_tuple(all, all, cols)]; });
                for (auto &r : joining) r->pad -= least;
                group_width -= least;
            }
            merge(joining, group_cache, group_width);
        }
    }

    // Ends rows whose client went away (or every row when the server stops).
    void cancel_gone() {
        bool stopping = s.stopping.load();
        for (auto &r : running)
            if (!r->ended && (r->job->cancelled.load() || stopping)) {
                r->job->finish_reason = "cancelled";
                r->ended = true;
            }
        std::deque<std::unique_ptr<Row>> still;
        for (auto &r : reading) {
            if (r->job->cancelled.load() || stopping) {
                r->job->finish_reason = "cancelled";
                finish_row(ev, *r, stopping);
                if (r->job->solo) alone = false;
            } else {
                still.push_back(std::move(r));
            }
        }
        reading.swap(still);
    }

    // Drops the ended rows from the batch, answering their jobs.
    void drop_ended() {
        std::vector<int64_t> keep;
        for (size_t i = 0; i < running.size(); ++i)
            if (!running[i]->ended) keep.push_back((int64_t) i);
        if (keep.size() == running.size()) return;
        select_rows(keep);
        finish_ended(running);
        trim();
    }

    // One decode step over every running row.
    void decode() {
        if (running.empty()) return;
        double t0 = now_seconds();
        size_t n = running.size();
        std::vector<int64_t> last(n), pads(n), pos(n);
        std::vector<Row *> ptrs(n);
        for (size_t i = 0; i < n; ++i) {
            Row &r = *running[i];
            last[i] = r.job->tokens.back();
            pads[i] = r.pad;
            pos[i] = width - r.pad;
            ptrs[i] = &r;
        }
        nb::object torch = ev.torch;
        nb::object cols = torch.attr("arange")(width + 1, "device"_a = ev.device).attr("unsqueeze")(0);
        nb::object mask = torch.attr("ge")(cols, tensor(pads).attr("unsqueeze")(1)).attr("long")();
        nb::object logits, out_cache;
        try {
            logits = forward(tensor(last).attr("unsqueeze")(1), mask, tensor(pos).attr("unsqueeze")(1), cache, ptrs,
                             &out_cache);
        } catch (nb::python_error &e) {
            cache = nb::object();
            width = 0;
            failed(running, nb::borrow(e.value()));
            return;
        }
        cache = out_cache;
        width += 1;
        std::vector<int64_t> tokens = choose_tokens(ev, logits, ptrs);
        for (size_t i = 0; i < n; ++i) take_token(ev, *running[i], tokens[i]);
        double spent = now_seconds() - t0;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            s.step_seconds.observe(spent);
        }
    }

    // Native failures (no Python exception): every row in flight gets a 500.
    void abandon(const char *what) {
        for (auto &r : running) r->job->refuse(500, std::string("generation failed: ") + what);
        for (auto &r : reading) r->job->refuse(500, std::string("generation failed: ") + what);
        running.clear();
        reading.clear();
        cache = nb::object();
        width = 0;
        alone = false;
    }

    void run() {
        view();
        for (;;) {
            if (running.empty() && reading.empty()) {
                alone = false;
                publish();
                if (!wait_for_work()) return;  // stopping, nothing left
            }
            LockGuard guard(generation_lock(s.engine));
            try {
                admit();
                cancel_gone();
                drop_ended();
                read_prompts();
                // Requests that arrived while prompts were read are read before the next decode
                // step (once: the running rows then get their step), so that requests sent
                // together see their first tokens together rather than a step apart.
                if (!deferred && arrived()) {
                    deferred = true;
                } else {
                    deferred = false;
                    decode();
                }
                drop_ended();
            } catch (nb::python_error &e) {
                // Outside a forward (a tokenizer, a grammar): every row in flight fails with it.
                nb::object error = nb::borrow(e.value());
                for (auto &r : running) fail_job(*r->job, error);
                for (auto &r : reading) fail_job(*r->job, error);
                running.clear();
                reading.clear();
                cache = nb::object();
                width = 0;
                alone = false;
            } catch (std::exception &e) {
                abandon(e.what());
            }
            publish();
        }
    }
};

}  // namespace

void Scheduler::run() {
    Loop loop(*this);
    try {
        loop.run();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("the serve scheduler");
    }
}

}  // namespace vz::serve
