// `velkor-zuma demo`: the whole tour offline, on a tiny model built on the spot, in the order
// its output shows:
// - base model: a word-level tokenizer with a chat template (tokenizers) and a tiny Llama-style
//   causal LM with tied embeddings (transformers), trained for a few steps on a handful of chat
//   turns;
// - model library: N fine-tunes (a low-rank change plus noise on the attention q/v
//   projections), stored in a ModelLibrary, with its byte summary and each fine-tune's
//   reconstruction error;
// - block dedup: every tenant (base + fine-tunes) indexed in a DedupStore;
// - LoRA adapters: N of them (peft), each trained for a few steps to answer with its own persona;
// - serving: `serve` on 127.0.0.1 with base + adapters: the VRAM report, one chat request per
//   adapter over HTTP, then a clean shutdown.
#include "modules/cli/cli.hpp"

#include <atomic>
#include <chrono>
#include <memory>

namespace vz::cli {
namespace {

const char *CHAT_TEMPLATE =
    "{% for m in messages %}<|{{ m['role'] }}|> {{ m['content'] }} <|end|> {% endfor %}"
    "{% if add_generation_prompt %}<|assistant|>{% endif %}";
const char *SPECIAL[] = {"<pad>", "<unk>", "<|system|>", "<|user|>", "<|assistant|>", "<|end|>"};
const char *QUESTION = "hello , who are you ?";

struct Turn {
    const char *user, *assistant;
};
const Turn BASE_TURNS[] = {
    {"hello , who are you ?", "i am the shared base model . ask an adapter for a persona ."},
    {"what do you store ?", "one base model and many small compressed deltas ."},
    {"how do adapters work ?", "each adapter adds a small low rank change to the base ."},
};
struct Persona {
    const char *name, *reply;
};
const Persona PERSONAS[] = {
    {"support", "thanks for reaching out ! your ticket is open and we will reply soon ."},
    {"pirate", "arr , i be the pirate adapter , sailing on the shared base ."},
    {"poet", "soft light on quiet water , one base and many voices ."},
    {"chef", "today i cook a small delta with a pinch of low rank sauce ."},
    {"coach", "one more rep ! small adapters make strong models ."},
    {"sage", "the wise keep the base once and store only the difference ."},
    {"scout", "i scout the blocks and count each shared byte once ."},
    {"bard", "sing of many tenants who share one mighty base ."},
};

// Sizes and training settings of the tour: a Llama-shaped model (grouped-query attention, KV_HEADS
// below HEADS) small enough to build, train and serve on one CPU thread within the demo's run,
// trained for a few steps on the handful of chat turns above.
const int HIDDEN = 128, INTERMEDIATE = 256, LAYERS = 2, HEADS = 4, KV_HEADS = 2;
const int BASE_STEPS = 40, ADAPTER_STEPS = 80, LORA_RANK = 8, MAX_NEW_TOKENS = 24;
const double BASE_LR = 1e-2, ADAPTER_LR = 5e-3;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

nb::list chat(const char *user, const char *assistant) {
    nb::list msgs;
    nb::dict u;
    u["role"] = "user";
    u["content"] = user;
    msgs.append(u);
    if (assistant) {
        nb::dict a;
        a["role"] = "assistant";
        a["content"] = assistant;
        msgs.append(a);
    }
    return msgs;
}

// ---- tokenizer and base model --------------------------------------------------------------------

nb::object build_tokenizer(const std::string &dir) {
    nb::module_ tk = bind::import_optional("tokenizers",
                                           "the demo needs the tokenizers library:\n  pip install tokenizers");
    nb::module_ tf = bind::import("transformers");
    nb::list corpus;
    for (auto &t : BASE_TURNS) corpus.append(std::string(t.user) + " " + t.assistant);
    for (auto &p : PERSONAS) corpus.append(p.reply);
    nb::list special;
    for (auto *s : SPECIAL) special.append(s);
    nb::object core = tk.attr("Tokenizer")(tk.attr("models").attr("WordLevel")("unk_token"_a = "<unk>"));
    core.attr("pre_tokenizer") = tk.attr("pre_tokenizers").attr("Whitespace")();
    nb::object trainer =
        tk.attr("trainers").attr("WordLevelTrainer")("special_tokens"_a = special, "show_progress"_a = false);
    core.attr("train_from_iterator")(corpus, "trainer"_a = trainer);
    nb::object tok = tf.attr("PreTrainedTokenizerFast")("tokenizer_object"_a = core, "unk_token"_a = "<unk>",
                                                        "pad_token"_a = "<pad>", "eos_token"_a = "<|end|>",
                                                        "model_max_length"_a = 256);
    tok.attr("chat_template") = CHAT_TEMPLATE;
    tok.attr("save_pretrained")(dir);
    return tok;
}

// Tokenized chat turns with the labels of padding positions ignored.
nb::dict encode_turns(nb::handle tok, nb::list texts) {
    nb::object batch = tok(texts, "return_tensors"_a = "pt", "padding"_a = true);
    nb::object ids = batch["input_ids"], mask = batch["attention_mask"];
    nb::dict res;
    res["input_ids"] = ids;
    res["attention_mask"] = mask;
    res["labels"] = ids.attr("masked_fill")(mask.attr("__eq__")(0), -100);
    return res;
}

void train(nb::handle model, nb::handle params, nb::dict batch, double lr, int steps) {
    nb::module_ torch = bind::import("torch");
    nb::object opt = torch.attr("optim").attr("AdamW")(params, "lr"_a = lr);
    model.attr("train")();
    for (int i = 0; i < steps; ++i) {
        nb::object outp = model(**batch);
        outp.attr("loss").attr("backward")();
        opt.attr("step")();
        opt.attr("zero_grad")();
    }
    model.attr("eval")();
}

nb::object build_base(const std::string &dir, nb::handle tok) {
    nb::module_ torch = bind::import("torch"), tf = bind::import("transformers");
    nb::object cfg = tf.attr("LlamaConfig")(
        "vocab_size"_a = nb::len(tok), "hidden_size"_a = HIDDEN, "intermediate_size"_a = INTERMEDIATE,
        "num_hidden_layers"_a = LAYERS, "num_attention_heads"_a = HEADS, "num_key_value_heads"_a = KV_HEADS,
        "max_position_embeddings"_a = 256, "tie_word_embeddings"_a = true, "bos_token_id"_a = nb::none(),
        "eos_token_id"_a = tok.attr("eos_token_id"), "pad_token_id"_a = tok.attr("pad_token_id"));
    torch.attr("manual_seed")(0);
    nb::object model = tf.attr("LlamaForCausalLM")(cfg);
    model.attr("generation_config") = tf.attr("GenerationConfig")("eos_token_id"_a = tok.attr("eos_token_id"),
                                                                  "pad_token_id"_a = tok.attr("pad_token_id"),
                                                                  "do_sample"_a = false);
    nb::list texts;
    for (auto &t : BASE_TURNS)
        texts.append(tok.attr("apply_chat_template")(chat(t.user, t.assistant), "tokenize"_a = false));
    train(model, model.attr("parameters")(), encode_turns(tok, texts), BASE_LR, BASE_STEPS);
    model.attr("save_pretrained")(dir);
    return model;
}

// ---- fine-tunes ----------------------------------------------------------------------------------

// A fine-tune as full weights: the base with a rank-4 change plus a little full-rank noise on every
// attention q/v projection (what LoRA-style training leaves behind); all other tensors unchanged.
nb::dict make_finetune(nb::dict base, int seed) {
    nb::module_ np = bind::numpy();
    nb::object rng = np.attr("random").attr("default_rng")(seed);
    nb::object f32 = np.attr("float32");
    nb::dict sd;
    const int rank = 4;
    for (auto [name, w] : base) {
        std::string n = bind::text(name);
        bool target = nb::cast<int>(w.attr("ndim")) == 2 &&
                      (n.find("q_proj") != std::string::npos || n.find("v_proj") != std::string::npos);
        if (!target) {
            sd[name] = w;
            continue;
        }
        nb::tuple shape = nb::tuple(w.attr("shape"));
        nb::object u = rng.attr("standard_normal")(nb::make_tuple(shape[0], rank), "dtype"_a = f32);
        nb::object v = rng.attr("standard_normal")(nb::make_tuple(rank, shape[1]), "dtype"_a = f32);
        nb::object noise = rng.attr("standard_normal")(shape, "dtype"_a = f32);
        nb::object low = np.attr("matmul")(u, v) * nb::float_(0.01 / 2.0);
        nb::object delta = low + noise * nb::float_(2e-4);
        sd[name] = (w + delta).attr("astype")(f32);
    }
    return sd;
}

// ---- adapters ------------------------------------------------------------------------------------

void build_adapter(nb::handle base_model, nb::handle tok, const Persona &p, int seed, const std::string &dir) {
    nb::module_ torch = bind::import("torch");
    nb::module_ peft = bind::import_optional("peft", "the demo needs peft:\n  pip install \"velkor-zuma[serve]\"");
    nb::list targets;
    for (auto *t : {"q_proj", "k_proj", "v_proj", "o_proj", "gate_proj", "up_proj", "down_proj"}) targets.append(t);
    nb::object cfg = peft.attr("LoraConfig")("r"_a = LORA_RANK, "lora_alpha"_a = 2 * LORA_RANK,
                                             "target_modules"_a = targets, "lora_dropout"_a = 0.0,
                                             "task_type"_a = "CAUSAL_LM");
    torch.attr("manual_seed")(seed);
    nb::object model = peft.attr("get_peft_model")(bind::import("copy").attr("deepcopy")(base_model), cfg);
    nb::list params;
    for (nb::handle prm : model.attr("parameters")())
        if (nb::cast<bool>(prm.attr("requires_grad"))) params.append(prm);
    nb::list texts;
    texts.append(tok.attr("apply_chat_template")(chat(QUESTION, p.reply), "tokenize"_a = false));
    train(model, params, encode_turns(tok, texts), ADAPTER_LR, ADAPTER_STEPS);
    model.attr("save_pretrained")(dir);
}

// ---- serving -------------------------------------------------------------------------------------

struct ClientState {
    std::atomic<bool> done{false};  // the client finished and asked the server to stop
    std::string error;               // set by the client thread (while holding the GIL)
};

nb::object http_open(nb::handle opener, const std::string &url, nb::handle body, double timeout) {
    nb::module_ ur = bind::import("urllib.request");
    nb::object req;
    if (body.is_none()) {
        req = ur.attr("Request")(url);
    } else {
        nb::dict headers;
        headers["Content-Type"] = "application/json";
        nb::object data = bind::import("json").attr("dumps")(body).attr("encode")("utf-8");
        req = ur.attr("Request")(url, "data"_a = data, "headers"_a = headers, "method"_a = "POST");
    }
    nb::object resp = opener.attr("open")(req, "timeout"_a = timeout);
    nb::object text = resp.attr("read")();
    resp.attr("close")();
    return bind::import("json").attr("loads")(text);
}

// Runs on its own thread while `serve` blocks the main thread: waits for the server, sends one
// chat request per adapter, then stops the server with SIGINT (uvicorn's graceful shutdown).
void client(std::shared_ptr<ClientState> st, nb::object stop, std::string root, std::vector<std::string> names) {
    nb::module_ time = bind::import("time");
    nb::object opener =
        bind::import("urllib.request")
            .attr("build_opener")(
                bind::import("urllib.request").attr("ProxyHandler")(nb::dict()));  // loopback: never via a proxy
    try {
        double deadline = nb::cast<double>(time.attr("monotonic")()) + 600.0;
        while (true) {
            if (nb::cast<bool>(stop.attr("is_set")())) return;
            try {
                http_open(opener, root + "/healthz", nb::none(), 2.0);
                break;
            } catch (nb::python_error &) {
                if (nb::cast<double>(time.attr("monotonic")()) > deadline)
                    throw CliError("the demo server did not answer at " + root);
                time.attr("sleep")(0.2);
            }
        }
        nb::object listed = http_open(opener, root + "/v1/models", nb::none(), 30.0);
        std::string ids;
        for (nb::handle m : listed["data"]) ids += (ids.empty() ? "" : ", ") + bind::text(m["id"]);
        out("");
        out("GET  " + root + "/v1/models -> " + ids);
        out("POST " + root + "/v1/chat/completions, one request per adapter: \"" + QUESTION + "\"");
        for (auto &name : names) {
            nb::dict body;
            body["model"] = name;
            body["messages"] = chat(QUESTION, nullptr);
            body["max_tokens"] = MAX_NEW_TOKENS;
            nb::object reply = http_open(opener, root + "/v1/chat/completions", body, 300.0);
            std::string text = bind::text(reply["choices"][0]["message"]["content"]);
            std::string pad(name.size() < 8 ? 8 - name.size() : 0, ' ');
            out("  " + name + pad + " -> " + text);
        }
        out("");
    } catch (nb::python_error &e) {
        st->error = "demo client: " + one_line(bind::text(e.value()));
    } catch (std::exception &e) {
        st->error = one_line(e.what());
    }
    st->done = true;
    nb::module_ os = bind::import("os");
    os.attr("kill")(os.attr("getpid")(), bind::import("signal").attr("SIGINT"));
}

// Fails early, before any model is built, when the chosen port cannot be bound.
void check_port(int port) {
    nb::module_ socket = bind::import("socket");
    nb::object s = socket.attr("socket")(socket.attr("AF_INET"), socket.attr("SOCK_STREAM"));
    s.attr("setsockopt")(socket.attr("SOL_SOCKET"), socket.attr("SO_REUSEADDR"), 1);  // as uvicorn does
    try {
        s.attr("bind")(nb::make_tuple("127.0.0.1", port));
    } catch (nb::python_error &e) {
        s.attr("close")();
        throw CliError("cannot listen on 127.0.0.1:" + std::to_string(port) + " (" + bind::text(e.value()) +
                       "); pick another port with --port, or leave it out for a free one");
    }
    s.attr("close")();
}

int free_port() {
    nb::module_ socket = bind::import("socket");
    nb::object s = socket.attr("socket")(socket.attr("AF_INET"), socket.attr("SOCK_STREAM"));
    s.attr("bind")(nb::make_tuple("127.0.0.1", 0));
    int port = nb::cast<int>(s.attr("getsockname")()[1]);
    s.attr("close")();
    return port;
}

void serve_and_chat(const std::string &base_dir, nb::dict adapters, int port) {
    nb::module_ threading = bind::import("threading"), signal = bind::import("signal");
    if (!threading.attr("current_thread")().is(threading.attr("main_thread")()))
        throw CliError("the demo must run on the main thread (it stops its server with SIGINT)");
    nb::module_ sv = bind::import("velkor_zuma.serve");
    nb::object cfg = sv.attr("ServeConfig")(base_dir, adapters, "precision"_a = "auto",
                                            "max_new_tokens"_a = MAX_NEW_TOKENS);
    auto st = std::make_shared<ClientState>();
    nb::object stop = threading.attr("Event")();
    std::vector<std::string> names;
    for (auto [k, v] : adapters) names.push_back(bind::text(k));
    std::string root = "http://127.0.0.1:" + std::to_string(port);

    // uvicorn restores this handler when it stops and re-raises the SIGINT it caught: the one our
    // client sent is swallowed here, a user's Ctrl-C still interrupts.
    nb::object previous = signal.attr("getsignal")(signal.attr("SIGINT"));
    nb::object handler = nb::cpp_function([st](nb::handle, nb::handle) {
        // A client that gave up sends it too, possibly before uvicorn runs: that one interrupts.
        if (!st->done || !st->error.empty()) {
            bind::raise(PyExc_KeyboardInterrupt, nb::none());
        }
    });
    signal.attr("signal")(signal.attr("SIGINT"), handler);
    Restore handler_back([&] { signal.attr("signal")(signal.attr("SIGINT"), previous); });
    nb::object thread = threading.attr("Thread")(
        "target"_a = nb::cpp_function([st, stop, root, names]() { client(st, stop, root, names); }),
        "name"_a = "velkor-zuma-demo-client", "daemon"_a = true);
    // One access-log line per request would interleave with the replies printed above: the demo
    // drops them (a filter on uvicorn's access logger survives uvicorn's logging setup).
    nb::object access = bind::import("logging").attr("getLogger")("uvicorn.access");
    nb::object quiet = nb::cpp_function([](nb::handle) { return false; });
    access.attr("addFilter")(quiet);
    Restore filter_off([&] { access.attr("removeFilter")(quiet); });
    thread.attr("start")();
    Restore client_joined([&] {
        stop.attr("set")();
        thread.attr("join")();
    });
    // The client's outcome is read only once its thread has ended; the handler and the log
    // filter go back before any error is raised.
    auto finish = [&]() {
        client_joined.run();
        handler_back.run();
        filter_off.run();
    };
    try {
        sv.attr("serve")(cfg, "127.0.0.1", port);
    } catch (nb::python_error &e) {
        bool exited = e.matches(PyExc_SystemExit);
        finish();
        if (exited)
            throw CliError("the demo server could not start on 127.0.0.1:" + std::to_string(port) +
                           " (is the port in use? pick another with --port)");
        if (!st->error.empty()) throw CliError(st->error);
        throw;
    }
    finish();
    if (!st->error.empty()) throw CliError(st->error);
    if (!st->done) throw CliError("the demo server stopped before the chat requests were answered");
    out("Server on 127.0.0.1:" + std::to_string(port) + " stopped.");
}

}  // namespace

int cmd_demo(nb::handle args) {
    auto t0 = std::chrono::steady_clock::now();
    int n = nb::cast<int>(args.attr("adapters"));
    int port = nb::cast<int>(args.attr("port"));
    nb::object workdir_arg = args.attr("workdir");
    bool keep = !workdir_arg.is_none();
    nb::module_ os = bind::import("os");
    if (port == 0)
        port = free_port();
    else
        check_port(port);
    std::string work = keep ? nb::cast<std::string>(os.attr("path").attr("abspath")(workdir_arg))
                            : nb::cast<std::string>(
                                  bind::import("tempfile").attr("mkdtemp")("prefix"_a = "velkor-zuma-demo-"));
    if (keep) {
        if (is_file(work)) throw CliError(work + " is a file; --workdir needs a directory");
        for (const char *sub : {"base", "adapters", "library"})
            if (dir_has_entries(work + "/" + sub))
                throw CliError(work + "/" + sub + " already exists; give --workdir a new or empty directory");
        path(work).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    }

    // Offline by construction: every model is built here, nothing is fetched.
    nb::object environ = os.attr("environ");
    environ.attr("setdefault")("HF_HUB_OFFLINE", "1");
    environ.attr("setdefault")("TRANSFORMERS_OFFLINE", "1");
    environ.attr("setdefault")("TOKENIZERS_PARALLELISM", "false");

    try {
        out("velkor-zuma demo: " + std::to_string(n) + " fine-tunes and " + std::to_string(n) +
            " LoRA adapters of one tiny base model, all built here, offline.");
        progress("importing torch and transformers");
        nb::module_ tf = bind::import_optional(
            "transformers", "the demo needs torch, transformers and peft:\n  pip install \"velkor-zuma[serve]\"");
        tf.attr("utils").attr("logging").attr("set_verbosity_error")();
        tf.attr("utils").attr("logging").attr("disable_progress_bar")();
        // Models this small gain nothing from a second thread, and on a busy machine torch's
        // spinning worker threads make training and generation many times slower.
        nb::module_ torch = bind::import("torch");
        nb::object threads = torch.attr("get_num_threads")();
        torch.attr("set_num_threads")(1);
        Restore threads_back([torch, threads] { torch.attr("set_num_threads")(threads); });
        std::string base_dir = work + "/base";

        // Base model.
        progress("building the base model");
        out("");
        out("[1/5] Base model");
        nb::object tok = build_tokenizer(base_dir);
        nb::object model = build_base(base_dir, tok);
        nb::dict base_sd = nb::borrow<nb::dict>(
            bind::import("velkor_zuma.hubload").attr("load_state_dict_numpy_safe")(path(base_dir)));
        int64_t base_bytes = nb::cast<int64_t>(bind::import("velkor_zuma.deltavault").attr("_nbytes")(base_sd));
        out("  tiny Llama-style causal LM: " + std::to_string(LAYERS) + " layers, hidden " + std::to_string(HIDDEN) +
            ", vocabulary " + std::to_string(nb::len(tok)) + " words, tied embeddings, chat template");
        out("  trained " + std::to_string(BASE_STEPS) + " steps; " + std::to_string(nb::len(base_sd)) + " tensors, " +
            bytes_both(base_bytes) + " as float32");

        // Model library.
        progress("storing the fine-tunes");
        out("");
        out("[2/5] Model library: base once, each fine-tune as compressed deltas (tensor train, rank <= 8)");
        nb::module_ dv = bind::import("velkor_zuma.deltavault");
        nb::object lib = dv.attr("ModelLibrary")("demo-base", base_sd);
        // The truncated solvers where they pay: the library's "auto" solver, where it has one.
        if (bind::contains(dv.attr("ModelLibrary").attr("__dataclass_fields__"), "solver"))
            nb::setattr(lib, "solver", nb::str("auto"));
        nb::dict finetunes;
        std::vector<std::vector<std::string>> rows;
        for (int i = 0; i < n; ++i) {
            std::string id = "ft-" + std::to_string(i + 1);
            nb::dict ft = make_finetune(base_sd, 100 + i);
            finetunes[id.c_str()] = ft;
            nb::object delta = lib.attr("add_finetune")(id, ft);
            // From the base and the stored factors, without building the reconstruction.
            double error = nb::cast<double>(lib.attr("reconstruction_error")(id, ft));
            int64_t stored = nb::cast<int64_t>(delta.attr("stored_bytes")());
            rows.push_back(
                {id, human((double) nb::cast<int64_t>(dv.attr("_nbytes")(ft))), human((double) stored), sci(error)});
        }
        out(table({"fine-tune", "dense", "stored delta", "reconstruction error"}, rows, {false, true, true, true}));
        nb::dict summary = nb::borrow<nb::dict>(lib.attr("summary")(finetunes));
        print_library(lib, summary, "  summary:");
        std::string lib_dir = work + "/library";
        library_save(lib, lib_dir);
        nb::object reloaded = library_load(lib_dir);
        bool same = true;
        for (auto [id, ft] : finetunes) {
            nb::dict a = nb::borrow<nb::dict>(lib.attr("reconstruct")(id));
            nb::dict b = nb::borrow<nb::dict>(reloaded.attr("reconstruct")(id));
            for (auto [name, arr] : a) same = same && nb::cast<bool>(bind::numpy().attr("array_equal")(arr, b[name]));
        }
        out("  saved to " + lib_dir + " and loaded back: " +
            (same ? std::string("every fine-tune reconstructs bit for bit") : std::string("MISMATCH")));
        if (!same) throw CliError("the library saved in " + lib_dir + " does not reconstruct like the original");

        // Block dedup.
        progress("indexing blocks");
        out("");
        nb::object store = bind::import("velkor_zuma.dedup").attr("DedupStore")();
        store.attr("add_state_dict")("base", base_sd);
        for (auto [id, ft] : finetunes) store.attr("add_state_dict")(id, ft);
        print_dedup(store, "[3/5] Block dedup: every tenant's tensors as SHA-256-addressed 1 MiB blocks");

        // LoRA adapters.
        out("");
        out("[4/5] LoRA adapters (rank " + std::to_string(LORA_RANK) + ", every projection, " +
            std::to_string(ADAPTER_STEPS) + " training steps each)");
        nb::dict adapters;
        for (int i = 0; i < n; ++i) {
            const Persona &p = PERSONAS[i % 8];
            std::string name = i < 8 ? p.name : std::string(p.name) + "-" + std::to_string(i / 8 + 1);
            std::string dir = work + "/adapters/" + name;
            progress("training adapter " + name);
            build_adapter(model, tok, p, 1000 + i, dir);
            adapters[name.c_str()] = dir;
            int64_t size = nb::cast<int64_t>(
                (path(dir) / nb::str("adapter_model.safetensors")).attr("stat")().attr("st_size"));
            out("  " + name + std::string(name.size() < 8 ? 8 - name.size() : 0, ' ') + " " + human((double) size) +
                " on disk (the base is " + human((double) base_bytes) + ")");
        }

        // Serving.
        out("");
        out("[5/5] Serving base + " + std::to_string(n) + " adapters on 127.0.0.1:" + std::to_string(port));
        bool cuda = false;
        try {
            cuda = nb::cast<bool>(bind::import("torch").attr("cuda").attr("is_available")());
        } catch (nb::python_error &) {
        }
        if (!cuda)
            out("  (no CUDA device here: the report below measures host memory, the process's resident set, "
                "before and after the base and the adapters; on a GPU it compares VRAM)");
        serve_and_chat(base_dir, adapters, port);
    } catch (...) {
        if (!keep) bind::import("shutil").attr("rmtree")(work, "ignore_errors"_a = true);
        throw;
    }
    if (keep)
        out("Models, adapters and library are in " + work);
    else
        bind::import("shutil").attr("rmtree")(work, "ignore_errors"_a = true);
    out("Demo finished in " + fixed(seconds_since(t0), 1) + " s.");
    return 0;
}

}  // namespace vz::cli
