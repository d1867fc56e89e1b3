// Entry point of the `velkor-zuma` console script: argument parsing (the host's argparse),
// dispatch to the subcommands, and the exit-status contract (0 success, 1 runtime error,
// 2 usage error; errors as one line on stderr, no traceback unless VELKOR_ZUMA_DEBUG is set).
#include "modules/cli/cli.hpp"

#include <map>

namespace vz::cli {
namespace {

const char *PROG = "velkor-zuma";

[[noreturn]] void arg_type_error(const std::string &msg) {
    nb::object cls = bind::import("argparse").attr("ArgumentTypeError");
    bind::raise(cls.ptr(), msg);
}

// int(text) with bounds; argparse turns the ArgumentTypeError into a usage error (status 2).
nb::object int_type(int64_t lo, int64_t hi, std::string what) {
    return nb::cpp_function(
        [lo, hi, what](nb::handle text) -> nb::object {
            nb::object value;
            try {
                value = bind::import("builtins").attr("int")(text);
            } catch (nb::python_error &) {
                arg_type_error("invalid " + what + ": " + py_repr(text) + " (expected a whole number)");
            }
            int64_t v = nb::cast<int64_t>(value);
            if (v < lo || v > hi)
                arg_type_error("invalid " + what + ": " + bind::text(text) + " (expected " + std::to_string(lo) +
                               (hi == INT64_MAX ? " or more" : " to " + std::to_string(hi)) + ")");
            return value;
        },
        nb::name("int"));
}

// An argparse type for a float option: `what` names it in the message, `in_range` accepts a
// value and `expected` says which values it accepts.
nb::object float_type(std::string what, bool (*in_range)(double), std::string expected) {
    return nb::cpp_function(
        [what, in_range, expected](nb::handle text) -> nb::object {
            double v = 0;
            try {
                v = nb::cast<double>(bind::import("builtins").attr("float")(text));
            } catch (nb::python_error &) {
                arg_type_error("invalid " + what + ": " + py_repr(text) + " (expected a number)");
            }
            if (!in_range(v))
                arg_type_error("invalid " + what + ": " + bind::text(text) + " (expected " + expected + ")");
            return nb::float_(v);
        },
        nb::name("float"));
}

nb::object energy_type() {
    return float_type("energy", [](double v) { return v > 0.0 && v <= 1.0; }, "0 < E <= 1");
}

nb::object error_type() {
    return float_type("error bound", [](double v) { return v >= 0.0 && v < 1e300; }, "E >= 0");
}

nb::object bits_type() {
    return float_type("bit budget", [](double v) { return v > 0.0 && v <= 32.0; }, "0 < B <= 32");
}

nb::object adapter_type() {
    return nb::cpp_function(
        [](nb::handle text) -> nb::object {
            std::string s = nb::cast<std::string>(text);
            size_t eq = s.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == s.size())
                arg_type_error("invalid adapter: " + py_repr(text) + " (expected NAME=SRC)");
            return nb::make_tuple(s.substr(0, eq), s.substr(eq + 1));
        },
        nb::name("adapter"));
}

nb::object lower_type() {
    return nb::cpp_function([](nb::handle text) -> nb::object { return text.attr("lower")(); }, nb::name("str"));
}

// Writers of a library wait for one another; --no-wait fails at once instead.
void add_no_wait(nb::handle p) {
    p.attr("add_argument")("--no-wait", "action"_a = "store_true",
                           "help"_a = "fail at once when another writer holds the library's lock, instead of waiting");
}

struct Command {
    int (*run)(nb::handle);
    nb::object parser;
};

nb::object add_command(nb::handle subs, std::map<std::string, Command> &table, const char *name, int (*run)(nb::handle),
                       const char *help, const char *description) {
    nb::object p = subs.attr("add_parser")(name, "help"_a = help, "description"_a = description);
    table[name] = Command{run, p};
    return p;
}

nb::object build_parser(std::map<std::string, Command> &cmds) {
    nb::module_ argparse = bind::import("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        "prog"_a = PROG,
        "description"_a =
            "Store many fine-tunes of one base model as compressed deltas, deduplicate their weight "
            "blocks, and serve one base with many LoRA adapters. Run `velkor-zuma demo` for a tour.",
        "epilog"_a =
            "SRC is a model directory of .safetensors shards, a hub id (owner/name), a .gguf file, "
            "ollama:NAME or lmstudio:NAME. Run `velkor-zuma COMMAND --help` for a command's options.");
    nb::object version = bind::import("velkor_zuma").attr("__version__");
    parser.attr("add_argument")("--version", "action"_a = "version",
                                "version"_a = std::string(PROG) + " " + bind::text(version));
    nb::object subs = parser.attr("add_subparsers")("dest"_a = "command", "metavar"_a = "COMMAND",
                                                    "title"_a = "commands");
    subs.attr("required") = true;
    nb::object p;

    p = add_command(subs, cmds, "demo", cmd_demo, "run the whole tour offline on a tiny built-in model",
                    "Builds a tiny base causal LM with its tokenizer, N fine-tunes and N LoRA adapters; stores "
                    "the fine-tunes in a model library, indexes every tenant in a block-dedup store, then serves "
                    "base + adapters on 127.0.0.1, sends one chat request per adapter and stops the server. "
                    "Nothing reaches the network.");
    p.attr("add_argument")("--workdir", "metavar"_a = "DIR",
                           "help"_a =
                               "keep the built models, adapters and library here (default: a temporary "
                               "directory, removed at the end)");
    p.attr("add_argument")("--adapters", "metavar"_a = "N", "type"_a = int_type(1, 8, "adapter count"), "default"_a = 3,
                           "help"_a = "number of fine-tunes and of LoRA adapters, 1 to 8 (default 3)");
    p.attr("add_argument")("--port", "metavar"_a = "P", "type"_a = int_type(0, 65535, "port"), "default"_a = 0,
                           "help"_a = "port on 127.0.0.1 for the demo server (default: a free port)");

    p = add_command(subs, cmds, "serve", cmd_serve, "serve a base model with LoRA adapters over HTTP",
                    "Loads one base model and its LoRA adapters and answers OpenAI-style chat completions "
                    "(POST /v1/chat/completions, POST /v1/completions, GET /v1/models; GET /metrics for "
                    "Prometheus). The dashboard heartbeat runs only when the "
                    "environment variable VELKOR_ZUMA_DASHBOARD_KEY holds a key (VELKOR_ZUMA_DASHBOARD_URL "
                    "overrides the dashboard address).");
    p.attr("add_argument")("--base", "metavar"_a = "SRC",
                           "help"_a =
                               "base model: a local model directory or a hub id (with --library: where "
                               "its configuration and tokenizer come from; default the library's base id)");
    p.attr("add_argument")("--library", "metavar"_a = "DIR",
                           "help"_a =
                               "a model library: its base stays resident in its stored type and every stored "
                               "fine-tune is served as a model named by its id");
    p.attr("add_argument")("--finetune", "metavar"_a = "ID", "action"_a = "append",
                           "help"_a = "serve only this stored fine-tune of --library (repeatable)");
    p.attr("add_argument")("--adapter", "metavar"_a = "NAME=SRC", "action"_a = "append", "type"_a = adapter_type(),
                           "help"_a = "a LoRA adapter directory or hub id served under NAME (repeatable)");
    p.attr("add_argument")(
        "--precision", "type"_a = lower_type(), "default"_a = "auto",
        "choices"_a = nb::make_tuple("auto", "fp32", "fp16", "bf16", "int8", "int4"),
        "help"_a =
            "precision of the resident base (default auto: int8 or fp16 on a GPU; on the CPU bf16 where it "
            "computes bfloat16 natively, else fp32)");
    p.attr("add_argument")("--host", "metavar"_a = "H", "default"_a = "127.0.0.1",
                           "help"_a = "address to listen on (default 127.0.0.1, this machine only)");
    p.attr("add_argument")("--port", "metavar"_a = "P", "type"_a = int_type(1, 65535, "port"), "default"_a = 8000,
                           "help"_a = "port to listen on (default 8000)");
    p.attr("add_argument")("--cache-dir", "metavar"_a = "D", "help"_a = "hub cache directory for models fetched by id");
    p.attr("add_argument")("--max-new-tokens", "metavar"_a = "N", "type"_a = int_type(1, INT64_MAX, "token count"),
                           "default"_a = 256, "help"_a = "reply length when a request gives none (default 256)");
    p.attr("add_argument")("--max-batch", "metavar"_a = "N", "type"_a = int_type(1, 4096, "row count"),
                           "default"_a = 16, "help"_a = "requests decoded together in one step, at most (default 16)");
    p.attr("add_argument")("--max-waiting", "metavar"_a = "N", "type"_a = int_type(1, 1000000, "request count"),
                           "default"_a = 256,
                           "help"_a =
                               "requests that may wait for a free row; past that a request gets 503 with Retry-After "
                               "(default 256)");

    p = add_command(subs, cmds, "add-base", cmd_add_base, "create a model library on a base model",
                    "Creates a model library in a new directory, holding the base model's weights once.");
    p.attr("add_argument")("src", "metavar"_a = "SRC", "help"_a = "the base model");
    p.attr("add_argument")("--library", "metavar"_a = "DIR", "required"_a = true,
                           "help"_a = "directory of the new library (must be new or empty)");
    add_no_wait(p);

    p = add_command(subs, cmds, "add-finetune", cmd_add_finetune, "store a fine-tune as a compressed delta",
                    "Adds a fine-tune of the library's base, stored as compressed per-tensor deltas, and "
                    "prints its size and reconstruction error. The options apply to this fine-tune only.");
    p.attr("add_argument")("src", "metavar"_a = "SRC", "nargs"_a = "+", "help"_a = "the fine-tuned model(s)");
    p.attr("add_argument")("--library", "metavar"_a = "DIR", "required"_a = true, "help"_a = "the library");
    p.attr("add_argument")("--id", "metavar"_a = "NAME", "action"_a = "append",
                           "help"_a =
                               "name of the fine-tune in the library, once per SRC in order (an existing one "
                               "is kept unless --replace)");
    p.attr("add_argument")("--replace", "action"_a = "store_true",
                           "help"_a = "replace a fine-tune the library already holds under this id");
    p.attr("add_argument")(
        "--method", "metavar"_a = "M", "type"_a = lower_type(),
        "choices"_a = nb::make_tuple("tt", "svd", "tucker", "none", "sign", "svd_q4", "svd_q8", "svd_mixed", "auto"),
        "help"_a =
            "compression of 2-D and larger deltas: tt, svd, tucker, none, sign (1 bit a weight and "
            "a fitted scale per row; with --max-rank R also a rank-R part), svd_q4 / svd_q8 (rank "
            "--max-rank plus 4/8-bit residual), svd_mixed (singular vectors at 0-8 bits each, "
            "one budget of --bits bits a weight over the whole fine-tune), or auto (per tensor, "
            "the smallest record within --max-error) (default: the library's, tt)");
    p.attr("add_argument")("--max-rank", "metavar"_a = "R", "type"_a = int_type(0, INT64_MAX, "rank"),
                           "help"_a = "rank cap (tensor-train bond rank; with --energy, 0 means no cap)");
    p.attr("add_argument")(
        "--energy", "metavar"_a = "E", "type"_a = energy_type(),
        "help"_a = "keep this fraction of each delta's spectral energy by truncated SVD (0 < E <= 1)");
    p.attr("add_argument")("--bits", "metavar"_a = "B", "type"_a = bits_type(),
                           "help"_a =
                               "with --method svd_mixed: bits a weight over the fine-tune's 2-D tensors "
                               "(default: the library's, 1.2)");
    p.attr("add_argument")("--zstd", "action"_a = "store_true",
                           "help"_a =
                               "with --method svd_mixed: store the codes as zstd frames (needs the "
                               "zstandard package; about a tenth smaller)");
    p.attr("add_argument")("--max-error", "metavar"_a = "E", "type"_a = error_type(),
                           "help"_a =
                               "with --method auto: the largest relative error a tensor may get; each tensor "
                               "is stored by the method with the fewest bytes within it, and dense when "
                               "nothing is smaller");
    p.attr("add_argument")("--solver", "type"_a = lower_type(), "default"_a = "auto",
                           "choices"_a = nb::make_tuple("auto", "exact", "randomized"),
                           "help"_a =
                               "truncated SVD solver: auto (randomized where the kept rank is small), exact "
                               "(LAPACK) or randomized (default auto)");
    add_no_wait(p);
    add_finetune_cluster_arguments(p, int_type(1, 4096, "worker count"));

    p = add_command(subs, cmds, "list", cmd_list, "show a library's byte summary and fine-tunes",
                    "Prints the library's byte accounting against storing every fine-tune densely, and one row "
                    "per fine-tune.");
    p.attr("add_argument")("--library", "metavar"_a = "DIR", "required"_a = true, "help"_a = "the library");

    p = add_command(subs, cmds, "export", cmd_export, "write a fine-tune back out as a safetensors snapshot",
                    "Reconstructs a fine-tune (base + decompressed delta) and writes it as model.safetensors, "
                    "with the base directory's config and tokenizer files when the base is a local directory; "
                    "or, with --as-lora, writes its low-rank records as a peft LoRA adapter over the base.");
    p.attr("add_argument")("--library", "metavar"_a = "DIR", "required"_a = true, "help"_a = "the library");
    p.attr("add_argument")("--id", "metavar"_a = "NAME", "required"_a = true, "help"_a = "the fine-tune");
    {
        nb::object dest = p.attr("add_mutually_exclusive_group")("required"_a = true);
        dest.attr("add_argument")("--out", "metavar"_a = "DIR", "help"_a = "output directory (new or empty)");
        dest.attr("add_argument")("--as-lora", "metavar"_a = "DIR",
                                  "help"_a =
                                      "write a peft LoRA adapter built from the fine-tune's low-rank records "
                                      "instead (new or empty directory, outside the library)");
    }
    p.attr("add_argument")("--drop-non-lowrank", "action"_a = "store_true",
                           "help"_a =
                               "with --as-lora: leave out records that are not low rank (biases, norms, "
                               "sign and few-bit records) instead of refusing them");

    p = add_command(subs, cmds, "dedup", cmd_dedup, "measure block dedup across several models",
                    "Indexes every model's tensors as SHA-256-addressed 1 MiB blocks and prints how many bytes "
                    "the models share.");
    p.attr("add_argument")("src", "metavar"_a = "SRC", "nargs"_a = "+", "help"_a = "the models (tenants)");

    add_command(subs, cmds, "list-ollama", cmd_list_ollama, "list the models Ollama installed",
                "Lists the models in Ollama's store (OLLAMA_MODELS or ~/.ollama/models) with their sizes.");
    add_command(subs, cmds, "list-lmstudio", cmd_list_lmstudio, "list the GGUF models LM Studio downloaded",
                "Lists the GGUF files in LM Studio's models directory (LMSTUDIO_MODELS or the platform "
                "default) with their sizes.");

    p = add_command(subs, cmds, "perplexity", cmd_perplexity, "perplexity on wikitext-2 or on your own text",
                    "Evaluates a model's perplexity on the wikitext-2 test split, or with --text on a text file of "
                    "your own (offline); with --library and --id, the stored fine-tune's reconstructed weights are "
                    "loaded over the model first.");
    p.attr("add_argument")("src", "metavar"_a = "SRC",
                           "help"_a = "model directory or hub id (config, tokenizer, weights)");
    p.attr("add_argument")("--library", "metavar"_a = "DIR", "help"_a = "library holding the fine-tune");
    p.attr("add_argument")("--id", "metavar"_a = "NAME", "help"_a = "fine-tune to evaluate (with --library)");
    p.attr("add_argument")("--max-tokens", "metavar"_a = "N", "type"_a = int_type(0, INT64_MAX, "token count"),
                           "default"_a = 4096, "help"_a = "evaluate the first N tokens (0: all; default 4096)");
    p.attr("add_argument")("--text", "metavar"_a = "FILE",
                           "help"_a = "evaluate on this UTF-8 text file instead of wikitext-2 (works offline)");
    return parser;
}

int exit_code_of(nb::handle system_exit) {
    nb::object code = system_exit.attr("code");
    if (code.is_none()) return 0;
    if (PyLong_Check(code.ptr())) return nb::cast<int>(code);
    err(bind::text(code));
    return 1;
}

std::string describe(const nb::python_error &e) {
    nb::handle v = e.value();
    std::string type = bind::text(v.type().attr("__name__"));
    std::string text = bind::text(v);
    if (e.matches(PyExc_KeyError)) {
        nb::tuple a = nb::borrow<nb::tuple>(v.attr("args"));
        text = "not found: " + (nb::len(a) ? py_repr(a[0]) : std::string("?"));
    }
    if (text.empty()) text = type;
    return one_line(text);
}

bool debug_enabled() {
    nb::object v = bind::import("os").attr("environ").attr("get")("VELKOR_ZUMA_DEBUG");
    return !v.is_none() && nb::len(v) > 0 && bind::text(v) != "0";
}

int report_error(const std::string &msg) {
    err(std::string(PROG) + ": error: " + msg);
    return 1;
}

}  // namespace

int main_entry(nb::handle argv) {
    std::map<std::string, Command> cmds;
    nb::object parser, args;
    try {
        parser = build_parser(cmds);
        args = argv.is_none() ? parser.attr("parse_args")() : parser.attr("parse_args")(argv);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_SystemExit)) return exit_code_of(e.value());
        if (e.matches(PyExc_KeyboardInterrupt)) return 130;
        return report_error(describe(e));
    }
    std::string name = nb::cast<std::string>(args.attr("command"));
    Command &cmd = cmds.at(name);
    try {
        // Progress bars only on a terminal: the model libraries draw theirs through the hub
        // client's switch, read when they are first imported (after this point).
        if (!stderr_is_tty())
            bind::import("os").attr("environ").attr("setdefault")("HF_HUB_DISABLE_PROGRESS_BARS", "1");
        try {
            return cmd.run(args);
        } catch (UsageError &u) {
            cmd.parser.attr("error")(u.what());  // prints usage + message, raises SystemExit(2)
            return 2;
        }
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_SystemExit)) return exit_code_of(e.value());
        if (e.matches(PyExc_KeyboardInterrupt)) {
            err(std::string(PROG) + ": interrupted");
            return 130;
        }
        if (debug_enabled()) bind::import("traceback").attr("print_exception")(e.value());
        return report_error(describe(e));
    } catch (CliError &c) {
        return report_error(one_line(c.what()));
    } catch (std::exception &x) {
        return report_error(one_line(x.what()));
    }
}

}  // namespace vz::cli
