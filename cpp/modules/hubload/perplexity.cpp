// Perplexity of a causal LM over sliding windows: on the wikitext-2 test split, or on a text file
// of the user's own (their fine-tune's domain), offline.
#include "modules/hubload/hubload.hpp"

#include <algorithm>
#include <cmath>

namespace vz::hubload {
using namespace nb::literals;

namespace {

// The ignore label: positions holding it are left out of the model's loss (the default
// ignore_index of torch's cross entropy, which the causal LM loss of transformers uses).
constexpr int64_t kIgnore = -100;

void check_max_tokens(int64_t max_tokens) {
    // A negative cap would slice tokens off the end of the text instead of capping it.
    if (max_tokens < 0)
        bind::raise(PyExc_ValueError, "max_tokens must not be negative, got max_tokens=" + std::to_string(max_tokens));
}

nb::object py_slice(nb::handle begin, nb::handle end) {
    return bind::steal_or_raise(PySlice_New(begin.ptr(), end.ptr(), nullptr));
}
nb::object py_slice(int64_t begin, int64_t end) { return py_slice(nb::int_(begin), nb::int_(end)); }
nb::object full_slice() { return py_slice(nb::none(), nb::none()); }

}  // namespace

nb::object load_wikitext_ids(nb::handle model_dir, nb::handle max_tokens_arg) {
    int64_t max_tokens = bind::arg_int(max_tokens_arg, "max_tokens");
    check_max_tokens(max_tokens);
    nb::object auto_tokenizer = bind::from_import("transformers", "AutoTokenizer");
    nb::object load_dataset = bind::from_import("datasets", "load_dataset");

    nb::object tokenizer = auto_tokenizer.attr("from_pretrained")(nb::str(model_dir));
    nb::object test = load_dataset("Salesforce/wikitext", "wikitext-2-raw-v1", "split"_a = "test");

    // Lines with any non-whitespace character, kept as they are, joined by blank lines.
    nb::list kept;
    for (nb::handle line : test["text"]) {
        if (bind::truthy(line.attr("strip")())) kept.append(line);
    }
    nb::object joined = nb::str("\n\n").attr("join")(kept);

    nb::object ids = tokenizer(joined, "return_tensors"_a = "pt")["input_ids"][nb::int_(0)];
    if (max_tokens != 0 && bind::to_i64(ids.attr("shape")[nb::int_(0)]) > max_tokens)
        ids = ids[py_slice(nb::none(), nb::int_(max_tokens))];
    return ids;
}

namespace {

struct Settings {
    int64_t max_tokens, window, stride;
};

// Argument checks shared by both evaluations, before anything is loaded.
Settings check_settings(nb::handle state_dict, nb::handle max_tokens_arg, nb::handle window_arg,
                        nb::handle stride_arg) {
    if (!state_dict.is_none()) bind::arg_dict(state_dict, "state_dict");
    Settings s{bind::arg_int(max_tokens_arg, "max_tokens"), bind::arg_int(window_arg, "window"),
               bind::arg_int(stride_arg, "stride")};
    // A non-positive stride never advances (or walks backwards) and a non-positive window feeds
    // empty rows: either way nothing would be scored and a perfect 1.0 reported.
    if (s.window <= 0 || s.stride <= 0)
        bind::raise(PyExc_ValueError, "window and stride must be positive, got window=" + std::to_string(s.window) +
                                          " stride=" + std::to_string(s.stride));
    // A one-token window has no token to predict: the model's loss over it is NaN.
    if (s.window == 1)
        bind::raise(PyExc_ValueError,
                    "window must be at least 2 tokens (a window of one token has nothing to "
                    "predict), got window=1");
    check_max_tokens(s.max_tokens);
    return s;
}

// The model of model_dir in float32 with state_dict (if any) loaded over its weights, in eval mode.
nb::object load_model(nb::handle model_dir, nb::handle state_dict) {
    nb::module_ torch = bind::import("torch");
    nb::module_ np = bind::numpy();
    nb::object auto_model = bind::from_import("transformers", "AutoModelForCausalLM");
    nb::object model = auto_model.attr("from_pretrained")(nb::str(model_dir), "dtype"_a = torch.attr("float32"));

    if (!state_dict.is_none()) {
        // Tensors share the arrays' memory; loading copies them into the model's parameters.
        nb::object from_numpy = torch.attr("from_numpy"), asarray = np.attr("asarray");
        nb::dict tensors;
        for (auto [name, value] : nb::borrow<nb::dict>(state_dict)) tensors[name] = from_numpy(asarray(value));
        nb::object result = model.attr("load_state_dict")(tensors, "strict"_a = false);
        nb::tuple pair = nb::borrow<nb::tuple>(bind::steal_or_raise(PySequence_Tuple(result.ptr())));
        if (nb::len(pair) != 2)
            bind::raise(PyExc_ValueError,
                        "load_state_dict returned " + std::to_string(nb::len(pair)) + " values, expected 2");
        // Tied-embedding checkpoints store no output head, so its absence is expected.
        nb::list real_missing, unexpected;
        for (nb::handle name : pair[0])
            if (!bind::contains(name, "lm_head")) real_missing.append(name);
        for (nb::handle name : pair[1]) unexpected.append(name);
        if (nb::len(real_missing) || nb::len(unexpected))
            bind::raise(PyExc_RuntimeError, "state_dict mismatch missing=" + bind::text(real_missing) +
                                                " unexpected=" + bind::text(unexpected));
    }
    model.attr("eval")();
    return model;
}

// exp of the mean negative log-likelihood over sliding windows; each token is scored once.
double windowed_perplexity(nb::handle model, nb::handle ids, int64_t window, int64_t stride) {
    nb::module_ torch = bind::import("torch");
    nb::module_ np = bind::numpy();
    const int64_t n_total = bind::to_i64(ids.attr("shape")[nb::int_(0)]);
    // One token is only context: nothing would be predicted, and the mean loss would be NaN.
    if (n_total == 1) bind::raise(PyExc_ValueError, "perplexity needs at least 2 tokens, got 1");
    double nll_sum = 0.0;
    int64_t n_tok = 0;
    bind::with_context(torch.attr("no_grad")(), [&](nb::handle) {
        int64_t prev_end = 0;
        // Window starts 0, stride, 2*stride, ... below n_total (written so that huge windows or
        // strides cannot overflow).
        for (int64_t begin = 0; begin < n_total; begin = (stride >= n_total - begin) ? n_total : begin + stride) {
            const int64_t end = (window >= n_total - begin) ? n_total : begin + window;
            // A last window of one token has nothing to predict it from: it starts one token
            // earlier, that token serving as context only.
            const int64_t first = (end - begin == 1 && begin > 0) ? begin - 1 : begin;
            nb::object input = ids[py_slice(first, end)].attr("unsqueeze")(0);
            nb::object target = input.attr("clone")();
            // Score only the tokens that no earlier window scored: mask all but the last trg_len.
            const int64_t trg_len = end - prev_end;
            const int64_t masked = std::max((end - first) - trg_len, begin - first);
            if (masked > 0) target[nb::make_tuple(full_slice(), py_slice(0, masked))] = nb::int_(kIgnore);
            nb::object out = model(input, "labels"_a = target);
            const double loss = bind::to_f64(out.attr("loss"));
            nb::object kept = bind::steal_or_raise(PyObject_RichCompare(target.ptr(), nb::int_(kIgnore).ptr(), Py_NE));
            nb::object scored = kept.attr("sum")().attr("item")();
            const int64_t n = bind::to_i64(scored);
            nll_sum += loss * (double) n;
            n_tok += n;
            prev_end = end;
            if (end == n_total) break;
        }
    });
    nb::object ppl = np.attr("exp")(nb::float_(nll_sum / (double) std::max<int64_t>(n_tok, 1)));
    return bind::to_f64(ppl);
}

}  // namespace

double perplexity_from_state_dict(nb::handle model_dir, nb::handle state_dict, nb::handle max_tokens_arg,
                                  nb::handle window_arg, nb::handle stride_arg) {
    Settings s = check_settings(state_dict, max_tokens_arg, window_arg, stride_arg);
    nb::object model = load_model(model_dir, state_dict);
    nb::object ids = own("_load_wikitext_ids")(model_dir, nb::int_(s.max_tokens));
    return windowed_perplexity(model, ids, s.window, s.stride);
}

namespace {

// With a cap, the text is read and tokenized a prefix at a time, the prefix doubling until it
// gives kTokenMargin tokens more than the cap: a prefix's tokens can differ from the whole
// text's only near its end (a word cut in two, an end-of-text token), so the first max_tokens
// are the whole text's. The first prefix holds kCharsPerToken characters a token wanted
// (English text takes about four), and at least kFirstChars.
constexpr int64_t kTokenMargin = 64;
constexpr int64_t kCharsPerToken = 8;
constexpr int64_t kFirstChars = 64 * 1024;

// The token ids of the text file `f` (open in text mode), of its first max_tokens tokens when
// max_tokens is not 0, read no further than they need.
nb::object text_file_ids(nb::handle tokenizer, nb::handle f, int64_t max_tokens) {
    auto tokenize = [&](nb::handle text) -> nb::object {
        return tokenizer(text, "return_tensors"_a = "pt")["input_ids"][nb::int_(0)];
    };
    // A cap beyond any text read in pieces (and beyond overflow in the sizes below) reads it all.
    if (max_tokens == 0 || max_tokens > (int64_t(1) << 40)) return tokenize(f.attr("read")());
    const int64_t wanted = max_tokens + kTokenMargin;
    int64_t chunk = std::max<int64_t>(kFirstChars, wanted * kCharsPerToken);
    nb::object text = nb::str("");
    for (;;) {
        nb::object part = f.attr("read")(nb::int_(chunk));
        text = text + part;
        bool at_end = (int64_t) nb::len(part) < chunk;
        if (at_end) {
            // A text file's read stops short only at its end; one more read makes sure.
            nb::object more = f.attr("read")(nb::int_(1));
            at_end = nb::len(more) == 0;
            text = text + more;
        }
        nb::object ids = tokenize(text);
        if (at_end || bind::to_i64(ids.attr("shape")[nb::int_(0)]) >= wanted) return ids;
        chunk = (int64_t) nb::len(text);  // doubles the prefix: all reads cost twice the last
    }
}

}  // namespace

nb::object load_text_ids(nb::handle model_dir, nb::handle text_file, nb::handle max_tokens_arg) {
    int64_t max_tokens = bind::arg_int(max_tokens_arg, "max_tokens");
    check_max_tokens(max_tokens);
    if (!PyUnicode_Check(text_file.ptr()) && !nb::hasattr(text_file, "__fspath__"))
        bind::raise_arg_type("text_file", "str or os.PathLike", text_file);
    // The user's text as it is (UTF-8, newlines as read_text gives them), opened before any
    // library loads so a wrong path fails fast.
    nb::object path = bind::import("pathlib").attr("Path")(text_file);
    nb::object file = path.attr("open")("encoding"_a = "utf-8");
    nb::object ids;
    bind::with_context(file, [&](nb::handle f) {
        nb::object auto_tokenizer = bind::from_import("transformers", "AutoTokenizer");
        nb::object tokenizer = auto_tokenizer.attr("from_pretrained")(nb::str(model_dir));
        ids = text_file_ids(tokenizer, f, max_tokens);
    });
    int64_t n = bind::to_i64(ids.attr("shape")[nb::int_(0)]);
    // An empty text would score nothing and report a perfect 1.0.
    if (n == 0)
        bind::raise(PyExc_ValueError, "the text file '" + bind::text(nb::str(path)) + "' holds no tokens to evaluate");
    if (max_tokens != 0 && n > max_tokens) {
        ids = ids[py_slice(nb::none(), nb::int_(max_tokens))];
        n = max_tokens;
    }
    // One token is only context: nothing would be predicted (the loss would be NaN).
    if (n < 2)
        bind::raise(PyExc_ValueError, max_tokens == 1 ? std::string("max_tokens=1 leaves one token: perplexity "
                                                                    "needs at least 2 tokens")
                                                      : "the text file '" + bind::text(nb::str(path)) +
                                                            "' holds one token: perplexity needs at least 2 tokens");
    return ids;
}

double perplexity_from_text(nb::handle model_dir, nb::handle state_dict, nb::handle text_file,
                            nb::handle max_tokens_arg, nb::handle window_arg, nb::handle stride_arg) {
    Settings s = check_settings(state_dict, max_tokens_arg, window_arg, stride_arg);
    nb::object ids = own("_load_text_ids")(model_dir, text_file, nb::int_(s.max_tokens));
    nb::object model = load_model(model_dir, state_dict);
    return windowed_perplexity(model, ids, s.window, s.stride);
}

}  // namespace vz::hubload
