// Subcommands over the storage side (libraries, dedup, local models, perplexity) and `serve`.
#include "modules/cli/cli.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace vz::cli {

namespace {

std::string str_arg(nb::handle args, const char *name) { return nb::cast<std::string>(args.attr(name)); }

nb::object optional_arg(nb::handle args, const char *name) { return args.attr(name); }

nb::module_ deltavault() { return bind::import("velkor_zuma.deltavault"); }

}  // namespace

// ---- printing shared with the demo -------------------------------------------------------------

void print_library_header(nb::handle base_id, nb::handle method, nb::handle max_rank, nb::handle energy,
                          size_t base_tensors, nb::dict summary, const std::string &title) {
    out(title);
    std::string method_text = nb::hasattr(method, "value") ? bind::text(method.attr("value")) : bind::text(method);
    std::string settings = energy.is_none()
                               ? "method " + method_text + ", max_rank " + bind::text(max_rank)
                               : "svd to energy " + bind::text(energy) + ", max_rank " + bind::text(max_rank);
    out("  base              : " + py_repr(base_id) + ", " + std::to_string(base_tensors) + " tensors");
    out("  settings          : " + settings);
    out("  fine-tunes        : " + bind::text(summary["n_models"]));
    out("  base bytes        : " + bytes_both(nb::cast<int64_t>(summary["base_bytes"])));
    out("  naive total bytes : " + bytes_both(nb::cast<int64_t>(summary["naive_total_bytes"])) +
        "   (every fine-tune stored densely, in its own types)");
    out("  stored bytes      : " + bytes_both(nb::cast<int64_t>(summary["velkor_zuma_bytes"])) +
        "   (base once + compressed deltas)");
    out("  delta-only bytes  : " + bytes_both(nb::cast<int64_t>(summary["delta_only_bytes"])));
    double ratio = nb::cast<double>(summary["overall_ratio"]);
    out("  overall ratio     : " + (std::isfinite(ratio) ? fixed(ratio, 2) + "x" : std::string("- (nothing stored)")));
}

void print_library(nb::handle lib, nb::dict summary, const std::string &title) {
    print_library_header(lib.attr("base_id"), lib.attr("method"), lib.attr("max_rank"), lib.attr("energy"),
                         nb::len(nb::object(lib.attr("base"))), summary, title);
}

void print_dedup(nb::handle store, const std::string &title) {
    out(title);
    nb::dict unique = nb::borrow<nb::dict>(store.attr("unique"));
    nb::dict tenant_bytes = nb::borrow<nb::dict>(store.attr("_tenant_bytes"));
    nb::dict seen;
    std::vector<std::vector<std::string>> rows;
    for (auto [tenant, refs] : nb::borrow<nb::dict>(store.attr("tenants"))) {
        int64_t fresh = 0;
        for (nb::handle h : refs) {
            if (bind::contains(seen, h)) continue;
            seen[h] = nb::none();
            fresh += nb::cast<int64_t>(unique[h]);
        }
        int64_t total = bind::contains(tenant_bytes, tenant) ? nb::cast<int64_t>(tenant_bytes[tenant]) : 0;
        rows.push_back(
            {bind::text(tenant), std::to_string(nb::len(refs)), human((double) total), human((double) fresh)});
    }
    out(table({"tenant", "blocks", "bytes", "new bytes"}, rows, {false, true, true, true}));
    nb::dict s = nb::borrow<nb::dict>(store.attr("summary")());
    out("  block size        : " + bytes_both(nb::cast<int64_t>(s["block_size"])));
    out("  naive bytes       : " + bytes_both(nb::cast<int64_t>(s["naive_bytes"])));
    out("  deduped bytes     : " + bytes_both(nb::cast<int64_t>(s["deduped_bytes"])));
    out("  unique blocks     : " + bind::text(s["unique_blocks"]));
    out("  dedup ratio       : " + fixed(nb::cast<double>(s["dedup_ratio"]), 2) + "x");
    out("  shared fraction   : " + fixed(100.0 * nb::cast<double>(s["shared_fraction"]), 1) + "%");
}

// ---- add-base / add-finetune / list / export -----------------------------------------------------

// A library source as the tensor-by-tensor operations take it: a directory or .safetensors file
// read over memory maps, or (GGUF models) the mapping of memory-mapped arrays of the GGUF reader.
nb::object stream_source(const std::string &src) {
    if (is_gguf_source(src)) return load_source(src);
    if (is_dir(src)) return path(src);
    if (is_file(src)) {
        std::string low = src;
        for (char &c : low) c = char(std::tolower((unsigned char) c));
        if (low.size() > 12 && low.compare(low.size() - 12, 12, ".safetensors") == 0) return path(src);
        return load_source(src);  // its error names what a source may be
    }
    return snapshot_source(src);
}

int cmd_add_base(nb::handle args) {
    std::string src = str_arg(args, "src"), dir = str_arg(args, "library");
    if (is_file(dir)) throw CliError(dir + " is a file; choose a new directory for the library");
    nb::object source = stream_source(src);
    if (PyDict_Check(source.ptr()) && nb::len(source) == 0) throw CliError("'" + src + "' holds no tensors");
    // A local base is recorded by its absolute path: export later copies its config from there,
    // whatever the working directory is then.
    std::string base_id = is_dir(src) ? bind::text(bind::import("os.path").attr("abspath")(src)) : src;
    ProgressBar bar("add-base");
    nb::dict res = nb::borrow<nb::dict>(deltavault().attr("create_library")(
        dir, base_id, source, "wait"_a = !nb::cast<bool>(args.attr("no_wait")), "progress"_a = bar.callback()));
    bar.close();
    out("Created library " + dir + " with base '" + src + "': " + bind::text(res["tensors"]) + " tensors, " +
        bytes_both(nb::cast<int64_t>(res["bytes"])));
    return 0;
}

nb::object method_max_rank(nb::handle args) {
    nb::object rank = optional_arg(args, "max_rank"), method = optional_arg(args, "method");
    // sign means what its help says, one bit a weight and a scale per row: no low-rank part unless
    // --max-rank asks for one (the library's max_rank is the tensor-train bond rank).
    if (rank.is_none() && !method.is_none() && bind::text(method) == "sign") return nb::int_(0);
    return rank;
}

void check_mixed_args(nb::handle args) {
    nb::object method = optional_arg(args, "method");
    bool other = !method.is_none() && bind::text(method) != "svd_mixed";
    if (other && !optional_arg(args, "bits").is_none()) throw UsageError("--bits goes with --method svd_mixed");
    if (other && nb::cast<bool>(args.attr("zstd"))) throw UsageError("--zstd goes with --method svd_mixed");
}

nb::dict mixed_kwargs(nb::handle args) {
    nb::dict kw;
    if (!optional_arg(args, "bits").is_none()) kw["bits"] = optional_arg(args, "bits");
    if (nb::cast<bool>(args.attr("zstd"))) kw["zstd"] = nb::bool_(true);
    return kw;
}

void print_added(const std::string &id, const std::string &dir, nb::dict res) {
    int64_t dense = nb::cast<int64_t>(res["dense_bytes"]), stored = nb::cast<int64_t>(res["stored_bytes"]);
    bool replaced = nb::cast<bool>(res["replaced"]);
    std::string ratio;
    if (stored && stored <= dense)
        ratio = " (" + fixed((double) dense / (double) stored, 2) + "x smaller than dense)";
    else if (stored)
        ratio = " (" + fixed((double) stored / (double) dense, 2) + "x larger than dense)";
    out(std::string(replaced ? "Replaced" : "Added") + " fine-tune '" + id + "' in " + dir + ": " +
        bind::text(res["tensors"]) + " tensors, dense " + human((double) dense) + " (in its own types), stored " +
        human((double) stored) + ratio + ", reconstruction error " + sci(nb::cast<double>(res["error"])));
    // Which method each tensor got, and any record that takes more than its delta stored densely
    // (float32), so that such a choice is never made silently.
    if (bind::contains(res, "methods")) {
        std::string methods;
        for (auto [m, n] : nb::borrow<nb::dict>(res["methods"]))
            methods += (methods.empty() ? "" : ", ") + bind::text(m) + " " + bind::text(n);
        out("  methods: " + methods);
    }
    int64_t larger = bind::contains(res, "larger_than_dense") ? nb::cast<int64_t>(res["larger_than_dense"]) : 0;
    if (larger)
        out("  note: " + std::to_string(larger) + " tensor" + (larger == 1 ? " is" : "s are") +
            " stored larger than their dense float32 delta; --method auto --max-error E never does that");
}

int cmd_add_finetune(nb::handle args) {
    auto jobs = finetune_jobs(args);
    nb::object method = optional_arg(args, "method"), energy = optional_arg(args, "energy"),
               max_error = optional_arg(args, "max_error");
    bool automatic = !method.is_none() && bind::text(method) == "auto";
    if (automatic && max_error.is_none()) throw UsageError("--method auto needs --max-error E");
    if (!automatic && !max_error.is_none()) throw UsageError("--max-error goes with --method auto");
    if (automatic && !energy.is_none())
        throw UsageError("--method auto and --energy each choose the compression; give one");
    check_mixed_args(args);
    bool several = jobs.size() > 1 || !args.attr("scheduler").is_none() || !args.attr("workers").is_none();
    if (several && automatic)
        throw UsageError("--method auto takes one source at a time, without --scheduler or --workers");
    if (several) return cmd_add_finetunes(args, jobs);
    std::string src = jobs[0].second, dir = str_arg(args, "library"), id = jobs[0].first;
    if (!is_dir(dir))
        throw CliError("no library at " + dir + "; create one with `velkor-zuma add-base SRC --library " + dir + "`");
    nb::object source = stream_source(src);
    if (automatic) method = nb::none();
    if (!method.is_none()) method = bind::import("velkor_zuma.lowrank").attr("CompressionMethod")(method);
    ProgressBar bar("add-finetune");
    nb::dict res = nb::borrow<nb::dict>(deltavault().attr("add_finetune_from")(
        dir, id, source, "method"_a = method, "max_rank"_a = method_max_rank(args), "energy"_a = energy,
        "solver"_a = optional_arg(args, "solver"), "replace"_a = nb::cast<bool>(args.attr("replace")),
        "wait"_a = !nb::cast<bool>(args.attr("no_wait")), "progress"_a = bar.callback(), "max_error"_a = max_error,
        **mixed_kwargs(args)));
    bar.close();
    print_added(id, dir, res);
    return 0;
}

namespace {

// Opens a library without loading it (the manifest and file headers only).
nb::object library_open(const std::string &dir) {
    if (!is_dir(dir))
        throw CliError("no library at " + dir + "; create one with `velkor-zuma add-base SRC --library " + dir + "`");
    return deltavault().attr("open_library")(dir);
}

}  // namespace

int cmd_list(nb::handle args) {
    std::string dir = str_arg(args, "library");
    nb::object lib = library_open(dir);
    nb::dict summary = nb::borrow<nb::dict>(lib.attr("summary")());
    print_library_header(lib.attr("base_id"), lib.attr("method"), lib.attr("max_rank"), lib.attr("energy"),
                         nb::len(lib.attr("base_names")()), summary, "Library " + dir);
    std::vector<std::vector<std::string>> rows;
    for (nb::handle id : lib.attr("finetune_ids")()) {
        nb::dict info = nb::borrow<nb::dict>(lib.attr("finetune_info")(id));
        int64_t dense = nb::cast<int64_t>(info["dense_bytes"]), stored = nb::cast<int64_t>(info["stored_bytes"]);
        std::string joined;
        for (nb::handle m : info["methods"]) joined += (joined.empty() ? "" : "+") + bind::text(m);
        rows.push_back({bind::text(id), bind::text(info["tensors"]), joined, human((double) dense),
                        human((double) stored), stored ? fixed((double) dense / (double) stored, 2) + "x" : "-"});
    }
    if (rows.empty()) {
        out("  (no fine-tunes yet: add one with `velkor-zuma add-finetune SRC --library " + dir + " --id NAME`)");
        return 0;
    }
    out("");
    out(table({"id", "tensors", "methods", "dense", "stored", "ratio"}, rows, {false, true, false, true, true, true}));
    out("  dense: each fine-tune's tensors as added, in their own types (bf16/fp16 2 bytes a value, float32 4);"
        " ratio = dense / stored");
    return 0;
}

namespace {

// Non-weight files of a snapshot that a reconstructed copy needs to load (config, tokenizer,
// chat template); shard indexes are left out since the export writes a single shard.
void copy_snapshot_files(const std::string &from, const std::string &to) {
    nb::module_ shutil = bind::import("shutil");
    for (nb::handle entry : path(from).attr("iterdir")()) {
        if (!nb::cast<bool>(entry.attr("is_file")())) continue;
        std::string name = bind::text(entry.attr("name"));
        auto ends = [&](const std::string &suf) {
            return name.size() >= suf.size() && name.compare(name.size() - suf.size(), suf.size(), suf) == 0;
        };
        if (ends(".safetensors") || ends(".safetensors.index.json")) continue;
        bool wanted = ends(".json") || ends(".txt") || ends(".model") || ends(".jinja") ||
                      name.rfind("tokenizer", 0) == 0;
        if (wanted) shutil.attr("copy2")(entry, path(to) / nb::str(name.c_str()));
    }
}

}  // namespace

namespace {

int export_as_lora(nb::handle args) {
    std::string dir = str_arg(args, "library"), id = str_arg(args, "id"), dest = str_arg(args, "as_lora");
    bool drop = nb::cast<bool>(args.attr("drop_non_lowrank"));
    nb::object lib = library_open(dir);
    nb::list ids = nb::borrow<nb::list>(lib.attr("finetune_ids")());
    lib.attr("close")();
    if (!bind::contains(ids, id.c_str())) throw CliError("no fine-tune '" + id + "' in library " + dir);
    nb::dict res = nb::borrow<nb::dict>(deltavault().attr("export_lora")(dir, id, dest, "drop_non_lowrank"_a = drop));
    out("Exported fine-tune '" + id + "' as a LoRA adapter (" + bind::text(res["modules"]) + " modules, rank " +
        bind::text(res["rank"]) + ", " + bytes_both(nb::cast<int64_t>(res["file_bytes"])) + ") to " + dest);
    nb::list left = nb::borrow<nb::list>(res["left_out"]);
    if (nb::len(left)) {
        std::string names;
        for (nb::handle h : left) names += (names.empty() ? "" : ", ") + bind::text(h);
        out("Left out (not low rank): " + names);
    }
    return 0;
}

}  // namespace

int cmd_export(nb::handle args) {
    if (!args.attr("as_lora").is_none()) return export_as_lora(args);
    if (nb::cast<bool>(args.attr("drop_non_lowrank"))) throw UsageError("--drop-non-lowrank goes with --as-lora");
    std::string dir = str_arg(args, "library"), id = str_arg(args, "id"), dest = str_arg(args, "out");
    if (is_file(dest)) throw CliError(dest + " is a file; --out needs a directory");
    if (dir_has_entries(dest)) throw CliError(dest + " is not empty; export into a new or empty directory");
    nb::object lib = library_open(dir);
    nb::list ids = nb::borrow<nb::list>(lib.attr("finetune_ids")());
    if (!bind::contains(ids, id.c_str())) {
        std::string have;
        for (nb::handle k : ids) have += (have.empty() ? "" : ", ") + bind::text(k);
        throw CliError("no fine-tune '" + id + "' in library " + dir +
                       (have.empty() ? " (it holds none)" : " (it holds: " + have + ")"));
    }
    std::string base_id = nb::cast<std::string>(lib.attr("base_id"));
    lib.attr("close")();
    path(dest).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    // Config and tokenizer files come only from an absolute directory that holds a JSON config.
    bool copied = is_dir(base_id) && nb::cast<bool>(bind::import("os.path").attr("isabs")(base_id)) &&
                  is_file(base_id + "/config.json");
    if (copied) {
        try {
            nb::object cfg = bind::import("json").attr("loads")(path(base_id + "/config.json").attr("read_text")());
            copied = PyDict_Check(cfg.ptr());
        } catch (nb::python_error &) {
            copied = false;
        }
    }
    if (copied) copy_snapshot_files(base_id, dest);
    // Written under a temporary name and renamed, so an interrupted export leaves no half shard.
    nb::object target = path(dest) / nb::str("model.safetensors");
    ProgressBar bar("export");
    nb::dict res = nb::borrow<nb::dict>(
        deltavault().attr("export_finetune")(dir, id, target, "progress"_a = bar.callback()));
    bar.close();
    out("Exported fine-tune '" + id + "' (" + bind::text(res["tensors"]) + " tensors, " +
        bytes_both(nb::cast<int64_t>(res["bytes"])) + ") to " + bind::text(target));
    if (!copied)
        out("The base '" + base_id + "' is not a local directory: copy its config and tokenizer files into " + dest +
            " to load the export with transformers.");
    return 0;
}

// ---- dedup ---------------------------------------------------------------------------------------

int cmd_dedup(nb::handle args) {
    nb::list srcs = nb::borrow<nb::list>(args.attr("src"));
    nb::object store = bind::import("velkor_zuma.dedup").attr("DedupStore")();
    nb::dict names;
    size_t i = 0, n = nb::len(srcs);
    for (nb::handle h : srcs) {
        std::string src = nb::cast<std::string>(h);
        progress("[" + std::to_string(++i) + "/" + std::to_string(n) + "] " + src);
        std::string tenant = src;
        for (int k = 2; bind::contains(names, tenant.c_str()); ++k) tenant = src + " (" + std::to_string(k) + ")";
        names[tenant.c_str()] = nb::none();
        nb::dict sd = load_source(src);
        store.attr("add_state_dict")(tenant, sd);
    }
    print_dedup(store, "Block dedup across " + std::to_string(n) + " models");
    return 0;
}

// ---- local models --------------------------------------------------------------------------------

namespace {
// Prints installed models ({"name", "size_bytes", ...} records) as a name/size table with a total
// line, or the hint when there are none.
int print_model_table(nb::handle models, const std::string &home, const std::string &empty_hint) {
    if (nb::len(models) == 0) {
        out(empty_hint);
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    int64_t total = 0;
    for (nb::handle m : models) {
        int64_t size = nb::cast<int64_t>(m["size_bytes"]);
        total += size;
        rows.push_back({bind::text(m["name"]), human((double) size)});
    }
    out(table({"name", "size"}, rows, {false, true}));
    out(std::to_string(rows.size()) + " model(s), " + human((double) total) + " in " + home);
    return 0;
}
}  // namespace

int cmd_list_ollama(nb::handle) {
    nb::module_ lm = bind::import("velkor_zuma.localmodels");
    nb::object models = lm.attr("list_ollama_models")();
    std::string home = bind::text(lm.attr("OLLAMA_HOME"));
    return print_model_table(
        models, home, "No Ollama models found in " + home + " (set OLLAMA_MODELS to your Ollama models directory).");
}

int cmd_list_lmstudio(nb::handle) {
    nb::module_ lm = bind::import("velkor_zuma.localmodels");
    nb::object models = lm.attr("list_lmstudio_models")();
    std::string home = bind::text(lm.attr("_lmstudio_home")());
    return print_model_table(
        models, home,
        "No LM Studio models found in " + home + " (set LMSTUDIO_MODELS to your LM Studio models directory).");
}

// ---- perplexity ------------------------------------------------------------------------------------

int cmd_perplexity(nb::handle args) {
    std::string src = str_arg(args, "src");
    nb::object library = args.attr("library"), id = args.attr("id");
    if (library.is_none() != id.is_none()) throw UsageError("--library and --id go together");
    int64_t max_tokens = nb::cast<int64_t>(args.attr("max_tokens"));
    nb::object model_dir = model_dir_source(src, "perplexity");
    nb::object sd = nb::none();
    std::string what = "'" + src + "'";
    if (!library.is_none()) {
        std::string dir = nb::cast<std::string>(library), name = nb::cast<std::string>(id);
        nb::object lib = library_load(dir);
        if (!bind::contains(lib.attr("deltas"), name.c_str()))
            throw CliError("no fine-tune '" + name + "' in library " + dir);
        progress("reconstructing '" + name + "'");
        sd = lib.attr("reconstruct")(name);
        what = "fine-tune '" + name + "' from " + dir + " on '" + src + "'";
    }
    nb::object text_file = args.attr("text");
    std::string span = max_tokens ? "first " + std::to_string(max_tokens) + " tokens" : std::string();
    nb::object ppl;
    std::string on;
    if (!text_file.is_none()) {
        std::string file = nb::cast<std::string>(text_file);
        if (!is_file(file)) throw CliError("text file not found: '" + file + "'");
        progress("evaluating on " + file + (max_tokens ? " (" + span + ")" : std::string()));
        ppl = bind::import("velkor_zuma.hubload")
                  .attr("perplexity_from_text")(model_dir, sd, path(file), "max_tokens"_a = max_tokens);
        on = "'" + file + "' (" + (max_tokens ? span : std::string("whole file")) + ")";
    } else {
        progress("evaluating on wikitext-2 (" + std::to_string(max_tokens) + " tokens)");
        ppl = bind::import("velkor_zuma.hubload")
                  .attr("perplexity_from_state_dict")(model_dir, sd, "max_tokens"_a = max_tokens);
        on = "wikitext-2 (" + (max_tokens ? span : std::string("whole test split")) + ")";
    }
    out("Perplexity of " + what + " on " + on + ": " + fixed(nb::cast<double>(ppl), 4));
    return 0;
}

// ---- serve ---------------------------------------------------------------------------------------

int cmd_serve(nb::handle args) {
    nb::object library = args.attr("library");
    if (args.attr("base").is_none() && library.is_none()) throw UsageError("serve needs --base or --library");
    if (!args.attr("finetune").is_none() && library.is_none()) throw UsageError("--finetune goes with --library");
    std::string base = args.attr("base").is_none() ? std::string() : str_arg(args, "base");
    if (!base.empty() && is_gguf_source(base))
        throw CliError("serve needs a transformers model directory or hub id as --base, not a GGUF model: '" + base +
                       "'");
    nb::dict adapters;
    nb::object given = args.attr("adapter");
    if (!given.is_none()) {
        for (nb::handle pair : given) {
            nb::object name = pair[0], source = pair[1];
            if (bind::contains(adapters, name)) throw UsageError("adapter name '" + bind::text(name) + "' given twice");
            adapters[name] = source;
        }
    }
    nb::module_ sv = bind::import("velkor_zuma.serve");
    nb::object cfg = sv.attr("ServeConfig")(base, adapters, "precision"_a = args.attr("precision"),
                                            "cache_dir"_a = args.attr("cache_dir"),
                                            "max_new_tokens"_a = args.attr("max_new_tokens"));
    nb::setattr(cfg, "library", library);
    nb::setattr(cfg, "finetunes", args.attr("finetune"));
    // The dashboard key comes only from the environment, so that it never shows in the process list.
    nb::object environ = bind::import("os").attr("environ");
    nb::object key = environ.attr("get")("VELKOR_ZUMA_DASHBOARD_KEY");
    if (!key.is_none() && nb::len(key) > 0) nb::setattr(cfg, "api_key", key);
    nb::object url = environ.attr("get")("VELKOR_ZUMA_DASHBOARD_URL");
    if (!url.is_none() && nb::len(url) > 0) nb::setattr(cfg, "api_base", url);
    sv.attr("serve")(cfg, args.attr("host"), args.attr("port"), "max_batch"_a = args.attr("max_batch"),
                     "max_waiting"_a = args.attr("max_waiting"));
    out("Server stopped.");
    return 0;
}

}  // namespace vz::cli
