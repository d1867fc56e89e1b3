// The adapter engine: one resident base model, its tokenizer and every LoRA adapter attached
// to that same base; one chat reply at a time for a named adapter.
#include "modules/serve/serve.hpp"

#include <nanobind/stl/vector.h>

#include <algorithm>

namespace vz::serve {
using namespace nb::literals;

namespace {

// velkor_zuma.hubload, imported when a cache directory or a hub id needs it.
nb::object hubload(const char *name) { return bind::import("velkor_zuma.hubload").attr(name); }

nb::object resolve(nb::handle self, nb::handle source) {
    (void) self;
    nb::str text = bind::arg_str(source, "source");
    nb::object path = bind::import("pathlib").attr("Path")(text);
    if (bind::truthy(path.attr("exists")())) return path;  // a local path wins over a hub id
    return hubload("snapshot")(text);
}

nb::dict precision_kwargs(nb::handle self) {
    nb::object configured = self.attr("cfg").attr("precision");
    std::string p = nb::cast<std::string>(configured.attr("lower")());
    nb::module_ torch = bind::import("torch");
    nb::dict kw;
    if (p == "fp32") {
        kw["dtype"] = torch.attr("float32");
    } else if (p == "fp16") {
        kw["dtype"] = torch.attr("float16");
    } else if (p == "bf16") {
        kw["dtype"] = torch.attr("bfloat16");
    } else if (p == "int8" || p == "int4") {
        nb::object bnb_config;
        try {
            bnb_config = bind::import("transformers").attr("BitsAndBytesConfig");
        } catch (nb::python_error &e) {
            if (!ordinary(e)) throw;
            bind::raise_from(e, PyExc_RuntimeError, "int8/int4 needs transformers + bitsandbytes");
        }
        if (p == "int8") {
            kw["quantization_config"] = bnb_config("load_in_8bit"_a = true);
        } else {
            kw["quantization_config"] = bnb_config("load_in_4bit"_a = true,
                                                   "bnb_4bit_compute_dtype"_a = torch.attr("float16"),
                                                   "bnb_4bit_quant_type"_a = "nf4");
        }
        kw["device_map"] = "auto";
    } else {
        bind::raise(PyExc_ValueError, "unknown precision '" + bind::text(configured) + "'");
    }
    return kw;
}

// The output projection gets the last position of a prompt's hidden states, a strided view
// ([rows, 1, hidden] out of [rows, positions, hidden]). torch folds a linear layer's input into
// one matrix product only when its leading dimensions are laid out one after another; this view's
// are not (even with one row, where torch still calls it contiguous), and on the CPU torch then
// takes a batched product over an expanded, transposed copy of the whole weight: about 0.3 s in
// bfloat16 for a 32000-word vocabulary on a 2-core machine, against 10 ms for the product itself.
// A fresh copy of the input (a few kilobytes) takes the plain product.
void contiguous_head_input(nb::handle model) {
    if (!nb::hasattr(model, "get_output_embeddings")) return;
    nb::object head = model.attr("get_output_embeddings")();
    if (head.is_none() || !nb::hasattr(head, "register_forward_pre_hook")) return;
    head.attr("register_forward_pre_hook")(nb::cpp_function([](nb::handle, nb::handle args) -> nb::object {
        if (!PyTuple_Check(args.ptr()) || nb::len(args) == 0) return nb::none();
        nb::object x = nb::borrow(args)[0];
        if (!nb::hasattr(x, "stride") || !nb::hasattr(x, "shape")) return nb::none();
        auto strides = nb::cast<std::vector<int64_t>>(x.attr("stride")());
        auto sizes = nb::cast<std::vector<int64_t>>(nb::tuple(x.attr("shape")));
        bool folds = true;
        for (size_t i = 0; i + 2 < sizes.size() && i + 1 < strides.size(); ++i)
            if (strides[i] != strides[i + 1] * sizes[i + 1]) folds = false;
        if (folds) return nb::none();
        nb::list out(args);
        out[0] = x.attr("clone")("memory_format"_a = bind::import("torch").attr("contiguous_format"));
        return nb::tuple(out);
    }));
}

nb::object load(nb::handle self) {
    nb::object cfg = self.attr("cfg");

    // Point the hub cache before transformers is imported.
    nb::object cache_dir = cfg.attr("cache_dir");
    if (nonempty_str(cache_dir)) hubload("ensure_cache")(cache_dir);

    // A model library's base (and its fine-tunes, below) instead of a model directory.
    const bool library = nonempty_str(nb::getattr(cfg, "library", nb::none()));
    if (library) attr("_library_prepare")(self);

    // "auto" in any letter case becomes this machine's choice, written back for the caller.
    if (nb::str("auto").equal(cfg.attr("precision").attr("lower")()))
        nb::setattr(cfg, "precision", attr("_auto_precision")());

    // The model libraries, imported at call time.
    nb::module_ torch = bind::import("torch");
    nb::module_ transformers = bind::import("transformers");
    nb::object auto_model = transformers.attr("AutoModelForCausalLM");
    nb::object auto_tokenizer = transformers.attr("AutoTokenizer");

    // Tokenizer first, so that an unknown precision fails after it and before the model.
    nb::str source = nb::str(self.attr("_resolve")(cfg.attr("base")));
    nb::setattr(self, "tokenizer", auto_tokenizer.attr("from_pretrained")(source));
    nb::object options = library ? nb::dict() : self.attr("_precision_kwargs")();

    // The base model, with the CUDA memory it added (and the host memory, which is where
    // the weights live without CUDA).
    int64_t before = vram_or_zero();
    int64_t rss_before = rss_now();
    nb::object base = library ? attr("_library_base")(self, source)
                              : auto_model.attr("from_pretrained")(source, **options);
    if (bind::truthy(torch.attr("cuda").attr("is_available")())) {
        nb::setattr(self, "device", nb::str("cuda"));
        // Quantized loads are placed by the loader itself.
        if (!bind::contains(options, nb::str("quantization_config")) && !bind::contains(options, nb::str("device_map")))
            base = base.attr("to")("cuda");
    }
    base.attr("eval")();
    contiguous_head_input(base);
    // The native bfloat16 kernel, before any adapter wraps the layers (peft's LoRA layers call
    // the base layer's forward). The kernel's threads (as many as torch had) then do nearly all
    // of the model's arithmetic, and torch runs the rest (norms, attention, sampling) on one
    // thread: its OpenMP threads, spinning between operations or woken for each of the hundreds
    // of small ones a step makes, only took the cores from the kernel (measured on the 1.1B
    // shape, 2 cores: 1 / 4 / 16 clients 7.9 / 25.7 / 56.9 tokens/s with torch's threads
    // sleeping between operations, 9.7 / 28.7 / 64.6 with one torch thread).
    if (!library && !bind::truthy(torch.attr("cuda").attr("is_available")()) && install_bf16_linears(base) > 0)
        torch.attr("set_num_threads")(1);
    nb::setattr(self, "base_vram", nb::int_(vram_or_zero() - before));
    int64_t rss_base = rss_before < 0 ? 0 : std::max<int64_t>(0, rss_now() - rss_before);
    int64_t rss_adapters = 0;

    // Every adapter on the same base object.
    nb::object adapters = cfg.attr("adapters");
    if (bind::truthy(adapters)) {
        nb::object peft_model = bind::import("peft").attr("PeftModel");
        // Read after peft's own import, so that the library's code does not count as adapters.
        int64_t rss_mark = rss_now();
        nb::object wrapper;
        nb::object names = self.attr("adapter_names");
        for (nb::handle item : adapters.attr("items")()) {
            nb::object name = item[0], adapter_source = item[1];
            nb::str path = nb::str(self.attr("_resolve")(adapter_source));
            try {
                if (!wrapper.is_valid())
                    wrapper = peft_model.attr("from_pretrained")(base, path, "adapter_name"_a = name);
                else
                    wrapper.attr("load_adapter")(path, "adapter_name"_a = name);
            } catch (nb::python_error &e) {
                if (e.matches(PyExc_ValueError)) {
                    std::string text = bind::text(e.value());
                    if (text.find("adapter_config.json") != std::string::npos) {
                        std::string msg = "'" + bind::text(adapter_source) +
                                          "' is not a LoRA adapter (no adapter_config.json). serve needs LoRA/PEFT "
                                          "adapters; full fine-tunes are not swappable deltas. Store those with "
                                          "`add-base` instead.";
                        bind::raise_from(e, PyExc_RuntimeError, msg);
                    }
                }
                throw;
            }
            names.attr("append")(name);
        }
        wrapper.attr("eval")();
        nb::setattr(self, "model", wrapper);
        if (rss_mark >= 0) rss_adapters = std::max<int64_t>(0, rss_now() - rss_mark);
    } else {
        nb::setattr(self, "model", base);
    }

    if (library) rss_adapters += nb::cast<int64_t>(attr("_library_attach")(self));

    // An absolute reading of everything resident.
    nb::setattr(self, "total_vram", nb::int_(vram_or_zero()));
    nb::setattr(self, "base_rss", nb::int_(rss_base));
    nb::setattr(self, "total_rss", nb::int_(rss_base + rss_adapters));
    return nb::borrow(self);
}

nb::list servable(nb::handle self) {
    nb::list out;
    nb::object names = self.attr("adapter_names");
    if (!bind::truthy(names)) {
        out.append("base");
        return out;
    }
    for (nb::handle n : names) out.append(n);
    return out;
}

nb::object generate(nb::handle self, nb::handle model_name, nb::handle messages, nb::handle max_new_tokens,
                    nb::handle temperature) {
    nb::str name = bind::arg_str(model_name, "model_name");
    nb::list conversation = bind::arg_list(messages, "messages");
    nb::object limit = max_new_tokens.is_none() ? nb::none()
                                                : nb::object(nb::int_(bind::arg_int(max_new_tokens, "max_new_tokens")));
    double temp = bind::arg_float(temperature, "temperature");

    nb::module_ torch = bind::import("torch");

    // The active adapter is state of the shared model: the switch, the generation and the use
    // of the tokenizer happen under one lock, so concurrent requests for different adapters
    // never generate with another request's adapter.
    LockGuard guard(generation_lock(self));

    nb::object model = self.attr("model");
    nb::object tokenizer = self.attr("tokenizer");
    nb::object names = self.attr("adapter_names");
    bool has_adapters = bind::truthy(names);
    // A library fine-tune goes by the row plan, not peft's active adapter.
    struct LibraryOff {
        nb::handle engine;
        bool on;
        ~LibraryOff() {
            if (on) library_generate_end(engine);
        }
    } library{self, library_generate_begin(self, name)};
    if (!library.on && has_adapters && bind::contains(names, name)) model.attr("set_adapter")(name);

    nb::object prompt = tokenizer.attr("apply_chat_template")(conversation, "tokenize"_a = false,
                                                              "add_generation_prompt"_a = true);
    nb::object inputs = tokenizer(prompt, "return_tensors"_a = "pt").attr("to")(self.attr("device"));

    nb::dict kwargs;
    for (nb::handle item : inputs.attr("items")()) kwargs[item[0]] = item[1];
    nb::object new_tokens = bind::truthy(limit) ? limit : nb::object(self.attr("cfg").attr("max_new_tokens"));
    // Never more new tokens than the context leaves after the prompt: a huge limit would
    // otherwise run until the positions run out, holding the lock all along.
    if (int64_t context = context_limit(self)) {
        int64_t prompt_len = nb::cast<int64_t>(inputs[nb::str("input_ids")].attr("shape")[nb::int_(1)]);
        nb::int_ room(std::max<int64_t>(1, context - prompt_len));
        if (PyLong_Check(new_tokens.ptr()) && new_tokens > room) new_tokens = room;
    }
    kwargs["max_new_tokens"] = new_tokens;
    kwargs["do_sample"] = nb::bool_(temp > 0);
    kwargs["temperature"] = nb::float_(temp < 1e-5 ? 1e-5 : temp);  // max(temperature, 1e-5)
    kwargs["pad_token_id"] = tokenizer.attr("eos_token_id");

    nb::object output;
    auto run = [&](nb::handle) { output = model.attr("generate")(**kwargs); };
    bind::with_context(torch.attr("no_grad")(), [&](nb::handle) {
        if (has_adapters && name.equal(nb::str("base")) && nb::hasattr(model, "disable_adapter"))
            bind::with_context(model.attr("disable_adapter")(), run);
        else
            run(nb::handle());
    });
    // A context that swallowed the error leaves no output, as `with` would leave None.
    if (!output.is_valid()) output = nb::none();

    // Only the new tokens: the prompt's length is the second extent of its input ids.
    nb::object n = inputs[nb::str("input_ids")].attr("shape")[nb::int_(1)];
    nb::object fresh = output[nb::int_(0)][nb::slice(n, nb::none(), nb::none())];
    return tokenizer.attr("decode")(fresh, "skip_special_tokens"_a = true);
}

}  // namespace

// Created on first use. dict.setdefault is atomic under the GIL, so two first requests racing
// still end up sharing one lock.
nb::object generation_lock(nb::handle self) {
    nb::object d = self.attr("__dict__");
    nb::str key("_generate_lock");
    PyObject *found = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (found) return nb::borrow(found);
    if (PyErr_Occurred()) nb::raise_python_error();
    nb::object fresh = bind::import("threading").attr("Lock")();
    PyObject *kept = PyDict_SetDefault(d.ptr(), key.ptr(), fresh.ptr());
    if (!kept) nb::raise_python_error();
    return nb::borrow(kept);
}

LockGuard::LockGuard(nb::object l) : lock(std::move(l)) { lock.attr("acquire")(); }

LockGuard::~LockGuard() {
    try {
        lock.attr("release")();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("releasing the engine's generation lock");
    }
}

int64_t context_limit(nb::handle engine) {
    // A positive integer attribute, or 0.
    auto positive = [](nb::handle owner, const char *name) -> int64_t {
        nb::object v = nb::getattr(owner, name, nb::none());
        if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) return 0;
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow || n <= 0) return 0;
        return (int64_t) n;
    };
    nb::object config = nb::getattr(engine.attr("model"), "config", nb::none());
    if (!config.is_none())
        for (const char *name : {"max_position_embeddings", "n_positions", "max_sequence_length"})
            if (int64_t n = positive(config, name)) return n;
    // Tokenizers without a known limit report a huge sentinel (about 1e30): not a context.
    int64_t n = positive(engine.attr("tokenizer"), "model_max_length");
    return n > 0 && n < (int64_t(1) << 40) ? n : 0;
}

void register_engine(nb::module_ &m) {
    using bind::Field;
    nb::object cls = bind::make_dataclass(
        m, "_Engine",
        {Field::req("cfg", "ServeConfig"), Field::def("model", "object", nb::none()),
         Field::def("tokenizer", "object", nb::none()),
         Field::factory("adapter_names", "list[str]", nb::borrow((PyObject *) &PyList_Type)),
         Field::def("base_vram", "int", nb::int_(0)), Field::def("total_vram", "int", nb::int_(0)),
         Field::def("device", "str", nb::str("cpu"))},
        /*frozen=*/false, nb::dict(),
        "One resident base model with its LoRA adapters; replies to chats for a named adapter.");

    // Host memory (resident set) that loading added: the base alone, then base and adapters.
    // Plain class attributes rather than fields, so the record's fields stay as they are.
    nb::setattr(cls, "base_rss", nb::int_(0));
    nb::setattr(cls, "total_rss", nb::int_(0));
    bind::add_method(cls, "load", &load, "Load tokenizer, base model and every adapter; returns the engine itself.");
    bind::add_method(cls, "_resolve", &resolve, "source"_a.none(),
                     "An existing local path as a Path, else the hub snapshot directory.");
    bind::add_method(cls, "_precision_kwargs", &precision_kwargs,
                     "Keyword arguments for loading the base model at the configured precision.");
    bind::add_method(cls, "servable", &servable, "Model names that requests may ask for.");
    bind::add_method(cls, "generate", &generate, "model_name"_a.none(), "messages"_a.none(), "max_new_tokens"_a.none(),
                     "temperature"_a.none(),
                     "Reply to a conversation with the named adapter; only the new text is returned.");
}

}  // namespace vz::serve
