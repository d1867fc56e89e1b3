// Per-row sampling and reply text: every row of a step keeps its own settings. Greedy rows
// with nothing else to apply take the step's one batched argmax; any other row is processed on
// its own logits row: penalties over its new tokens, logit bias, grammar mask, temperature,
// nucleus cut and a draw from its own generator (a seeded row draws the same tokens alone or
// batched, since nothing else touches its generator). Log-probabilities are those of the raw
// logits (before any of the above), most likely alternatives first.
#include "modules/serve/rows.hpp"

#include <algorithm>
#include <chrono>
#include <random>
#include <unordered_map>

namespace vz::serve {
using namespace nb::literals;

namespace {

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

// Length of the longest end of text[0, n) that begins one of the stop texts: held back from
// a stream, since the next tokens may complete the stop text and it must never be shown.
size_t held_for_stop(const std::string &text, size_t n, const std::vector<std::string> &stop) {
    size_t hold = 0;
    for (const std::string &s : stop) {
        for (size_t k = std::min(s.size() - 1, n); k > hold; --k) {
            if (text.compare(n - k, k, s, 0, k) == 0) {
                hold = k;
                break;
            }
        }
    }
    return hold;
}

nb::object decode(const EngineView &ev, const std::vector<int64_t> &tokens) {
    return ev.tokenizer.attr("decode")(nb::cast(tokens), "skip_special_tokens"_a = true);
}

void record_logprobs(const EngineView &ev, Row &row, nb::handle raw, int64_t token) {
    Job &job = *row.job;
    nb::object lp = ev.torch.attr("log_softmax")(raw, -1);
    TokenLogprob entry;
    entry.logprob = bind::to_f64(lp[nb::int_(token)]);
    nb::list ids;
    ids.append(nb::make_tuple(token));
    nb::list top_ids;
    std::vector<double> top_values;
    if (job.settings.top_logprobs > 0) {
        int64_t k = std::min(job.settings.top_logprobs, ev.vocab > 0 ? ev.vocab : job.settings.top_logprobs);
        nb::object best = lp.attr("topk")(k);  // sorted, largest first
        top_values = nb::cast<std::vector<double>>(best.attr("values").attr("tolist")());
        for (nb::handle i : best.attr("indices").attr("tolist")()) ids.append(nb::make_tuple(i));
    }
    nb::list texts = nb::list(ev.tokenizer.attr("batch_decode")(ids));
    entry.token = bind::text(texts[0]);
    for (size_t i = 0; i < top_values.size(); ++i) entry.top.emplace_back(bind::text(texts[i + 1]), top_values[i]);
    {
        std::lock_guard<std::mutex> lk(job.mu);
        if (job.stream) job.pending_logprobs.push_back(entry);
        job.logprobs.push_back(std::move(entry));
    }
}

// One row's token from its own logits row, every setting applied.
int64_t choose_one(const EngineView &ev, Row &row, nb::handle logits_row) {
    const RowSettings &s = row.job->settings;
    nb::object torch = ev.torch;
    nb::object z = logits_row.attr("float")();
    nb::object raw = z;
    bool copied = false;
    auto own = [&] {
        if (!copied) z = z.attr("clone")();
        copied = true;
    };
    if ((s.presence_penalty != 0.0 || s.frequency_penalty != 0.0) && !row.job->tokens.empty()) {
        std::unordered_map<int64_t, int64_t> counts;
        for (int64_t t : row.job->tokens) ++counts[t];
        std::vector<int64_t> ids;
        std::vector<double> cut;
        for (auto &[t, c] : counts) {
            if (t < 0 || (ev.vocab > 0 && t >= ev.vocab)) continue;
            ids.push_back(t);
            cut.push_back(-(s.presence_penalty + s.frequency_penalty * (double) c));
        }
        own();
        z.attr("index_add_")(0, torch.attr("tensor")(ids, "dtype"_a = torch.attr("long"), "device"_a = ev.device),
                             torch.attr("tensor")(cut, "dtype"_a = z.attr("dtype"), "device"_a = ev.device));
    }
    if (row.bias_ids.is_valid()) {
        own();
        z.attr("index_add_")(0, row.bias_ids, row.bias_values);
    }
    if (row.grammar) {
        own();
        mask_grammar(ev, row, z);
    }
    int64_t token;
    if (s.temperature <= 0.0) {
        token = bind::to_i64(z.attr("argmax")());
    } else {
        nb::object probs = torch.attr("softmax")(z / nb::float_(s.temperature), -1);
        if (s.top_p < 1.0) {
            nb::object sorted = torch.attr("sort")(probs, "descending"_a = true);
            nb::object p = sorted.attr("values"), order = sorted.attr("indices");
            // Keep the most likely tokens whose mass before them is under top_p (at least one).
            nb::object before = torch.attr("cumsum")(p, 0) - p;
            p = p.attr("masked_fill")(torch.attr("gt")(before, s.top_p), 0.0);
            nb::object pick = torch.attr("multinomial")(p, 1, "generator"_a = row.generator);
            token = bind::to_i64(order[pick[nb::int_(0)]]);
        } else {
            token = bind::to_i64(torch.attr("multinomial")(probs, 1, "generator"_a = row.generator)[nb::int_(0)]);
        }
    }
    if (s.logprobs) record_logprobs(ev, row, raw, token);
    return token;
}

}  // namespace

void prepare_sampling(const EngineView &ev, Row &row) {
    const RowSettings &s = row.job->settings;
    nb::object torch = ev.torch;
    if (s.temperature > 0.0) {
        uint64_t seed = s.seed;
        if (!s.has_seed) {
            std::random_device entropy;
            seed = ((uint64_t) entropy() << 32) ^ entropy();
        }
        row.generator = torch.attr("Generator")("device"_a = ev.device);
        // manual_seed takes a non-negative int below 2**64.
        row.generator.attr("manual_seed")(nb::int_(seed));
    }
    if (!s.logit_bias.empty()) {
        std::vector<int64_t> ids;
        std::vector<double> values;
        for (auto &[t, v] : s.logit_bias) {
            if (t < 0 || (ev.vocab > 0 && t >= ev.vocab)) continue;  // the HTTP side refuses these
            ids.push_back(t);
            values.push_back(v);
        }
        if (!ids.empty()) {
            row.bias_ids = torch.attr("tensor")(ids, "dtype"_a = torch.attr("long"), "device"_a = ev.device);
            row.bias_values = torch.attr("tensor")(values, "dtype"_a = torch.attr("float32"), "device"_a = ev.device);
        }
    }
    row.plain = s.temperature <= 0.0 && s.presence_penalty == 0.0 && s.frequency_penalty == 0.0 &&
                !row.bias_ids.is_valid() && !s.logprobs && !row.grammar;
}

std::vector<int64_t> choose_tokens(const EngineView &ev, nb::handle logits, std::vector<Row *> &rows) {
    std::vector<int64_t> out(rows.size(), 0);
    bool any_plain = false;
    for (Row *r : rows) any_plain = any_plain || r->plain;
    if (any_plain) {
        nb::object best = logits.attr("argmax")("dim"_a = -1).attr("tolist")();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i]->plain) out[i] = nb::cast<int64_t>(best[nb::int_((Py_ssize_t) i)]);
    }
    for (size_t i = 0; i < rows.size(); ++i)
        if (!rows[i]->plain) out[i] = choose_one(ev, *rows[i], logits[nb::int_((Py_ssize_t) i)]);
    return out;
}

bool take_token(const EngineView &ev, Row &row, int64_t token) {
    Job &job = *row.job;
    job.tokens.push_back(token);
    if (job.tokens.size() == 1) {
        std::lock_guard<std::mutex> lk(job.mu);
        job.first_token_at = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    const std::vector<std::string> &stop = job.settings.stop;
    bool eos = std::find(ev.eos.begin(), ev.eos.end(), token) != ev.eos.end();
    if (eos) {
        job.finish_reason = "stop";
        row.ended = true;
    } else if (row.grammar && accept_grammar(row, token)) {
        job.finish_reason = "stop";
        row.ended = true;
    }
    if (!eos && (job.stream || !stop.empty())) {
        row.text = bind::text(decode(ev, job.tokens));
        size_t cut = std::string::npos;
        for (const std::string &s : stop)
            if (!s.empty()) cut = std::min(cut, row.text.find(s));
        if (cut != std::string::npos) {
            row.text.resize(cut);
            job.finish_reason = "stop";
            row.ended = true;
            row.cut = true;
        }
    }
    if (!row.ended && (int64_t) job.tokens.size() >= row.limit) {
        job.finish_reason = "length";
        row.ended = true;
    }
    if (job.stream && !row.ended) {
        size_t n = stable_prefix(row.text);
        n -= held_for_stop(row.text, n, stop);
        if (n > row.streamed.size() && row.text.compare(0, row.streamed.size(), row.streamed) == 0) {
            std::string piece = row.text.substr(row.streamed.size(), n - row.streamed.size());
            row.streamed.assign(row.text, 0, n);
            {
                std::lock_guard<std::mutex> lk(job.mu);
                job.pending += piece;
            }
            job.cv.notify_all();
        }
    }
    return row.ended;
}

void finish_row(const EngineView &ev, Row &row, bool stopping) {
    Job &job = *row.job;
    // The reply is the row's tokens up to its own end, cut before a stop text where one came.
    std::string text = row.cut ? row.text : bind::text(decode(ev, job.tokens));
    {
        std::lock_guard<std::mutex> lk(job.mu);
        if (job.finish_reason.empty()) job.finish_reason = "length";
        if (job.finish_reason == "cancelled") {
            job.status = 503;
            job.message = stopping ? "the server is shutting down" : "the client went away";
        }
        job.completion_tokens = (int64_t) job.tokens.size();
        job.text = text;
        if (job.stream && text.compare(0, row.streamed.size(), row.streamed) == 0)
            job.pending += text.substr(row.streamed.size());
        job.finish_locked();
    }
    job.cv.notify_all();
}

}  // namespace vz::serve
