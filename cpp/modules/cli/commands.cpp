// Subcommands over the storage side (libraries, dedup, local models, perplexity) and `serve`.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace vzcli {

static std::string str_arg(nb::handle args, const char *name) { return nb::cast<std::string>(args.attr(name)); }

static nb::object optional_arg(nb::handle args, const char *name) { return args.attr(name); }

static int64_t sd_nbytes(nb::handle sd) {
    return nb::cast<int64_t>(vz::import("velkor_zuma.deltavault").attr("_nbytes")(sd));
}

// ---- printing shared with the demo -------------------------------------------------------------

void print_library(nb::handle lib, nb::dict summary, const std::string &title) {
    out(title);
    nb::object energy = lib.attr("energy");
    nb::object method = lib.attr("method");
    std::string method_text = nb::hasattr(method, "value") ? py_str(method.attr("value")) : py_str(method);
    std::string settings = energy.is_none()
                               ? "method " + method_text + ", max_rank " + py_str(lib.attr("max_rank"))
                               : "svd to energy " + py_str(energy) + ", max_rank " + py_str(lib.attr("max_rank"));
    out("  base              : " + py_repr(lib.attr("base_id")) + ", " +
        std::to_string(nb::len(nb::object(lib.attr("base")))) + " tensors");
    out("  settings          : " + settings);
    out("  fine-tunes        : " + py_str(summary["n_models"]));
    out("  base bytes        : " + bytes_both(nb::cast<int64_t>(summary["base_bytes"])));
    out("  naive total bytes : " + bytes_both(nb::cast<int64_t>(summary["naive_total_bytes"])) +
        "   (every fine-tune stored densely)");
    out("  stored bytes      : " + bytes_both(nb::cast<int64_t>(summary["velkor_zuma_bytes"])) +
        "   (base once + compressed deltas)");
    out("  delta-only bytes  : " + bytes_both(nb::cast<int64_t>(summary["delta_only_bytes"])));
    double ratio = nb::cast<double>(summary["overall_ratio"]);
    out("  overall ratio     : " + (std::isfinite(ratio) ? fixed(ratio, 2) + "x" : std::string("- (nothing stored)")));
}

static std::vector<std::vector<std::string>> finetune_rows(nb::handle lib) {
    std::vector<std::vector<std::string>> rows;
    for (auto [id, delta] : nb::borrow<nb::dict>(lib.attr("deltas"))) {
        int64_t dense = 0;
        std::vector<std::string> methods;
        std::set<std::string> seen;
        nb::dict tensors = nb::borrow<nb::dict>(delta.attr("tensors"));
        for (auto [name, rec] : tensors) {
            dense += nb::cast<int64_t>(rec.attr("original_size_bytes"));
            nb::object m = rec.attr("method");
            std::string mt = nb::hasattr(m, "value") ? py_str(m.attr("value")) : py_str(m);
            if (seen.insert(mt).second) methods.push_back(mt);
        }
        int64_t stored = nb::cast<int64_t>(delta.attr("stored_bytes")());
        std::string joined;
        for (auto &m : methods) joined += (joined.empty() ? "" : "+") + m;
        rows.push_back({py_str(id), std::to_string(nb::len(tensors)), joined, human((double) dense),
                        human((double) stored), stored ? fixed((double) dense / (double) stored, 2) + "x" : "-"});
    }
    return rows;
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
            if (seen.contains(h)) continue;
            seen[h] = nb::none();
            fresh += nb::cast<int64_t>(unique[h]);
        }
        int64_t total = tenant_bytes.contains(tenant) ? nb::cast<int64_t>(tenant_bytes[tenant]) : 0;
        rows.push_back({py_str(tenant), std::to_string(nb::len(refs)), human((double) total), human((double) fresh)});
    }
    out(table({"tenant", "blocks", "bytes", "new bytes"}, rows, {false, true, true, true}));
    nb::dict s = nb::borrow<nb::dict>(store.attr("summary")());
    out("  block size        : " + bytes_both(nb::cast<int64_t>(s["block_size"])));
    out("  naive bytes       : " + bytes_both(nb::cast<int64_t>(s["naive_bytes"])));
    out("  deduped bytes     : " + bytes_both(nb::cast<int64_t>(s["deduped_bytes"])));
    out("  unique blocks     : " + py_str(s["unique_blocks"]));
    out("  dedup ratio       : " + fixed(nb::cast<double>(s["dedup_ratio"]), 2) + "x");
    out("  shared fraction   : " + fixed(100.0 * nb::cast<double>(s["shared_fraction"]), 1) + "%");
}

// ---- add-base / add-finetune / list / export -----------------------------------------------------

int cmd_add_base(nb::handle args) {
    std::string src = str_arg(args, "src"), dir = str_arg(args, "library");
    if (dir_has_entries(dir))
        throw CliError(dir + " already exists and is not empty; choose a new directory for the library");
    nb::dict sd = load_source(src);
    if (nb::len(sd) == 0) throw CliError("'" + src + "' holds no tensors");
    nb::object lib = vz::import("velkor_zuma.deltavault").attr("ModelLibrary")(src, sd);
    library_save(lib, dir);
    out("Created library " + dir + " with base '" + src + "': " + std::to_string(nb::len(sd)) + " tensors, " +
        bytes_both(sd_nbytes(sd)));
    return 0;
}

// Refuses a fine-tune whose tensors cannot be a fine-tune of this base: no name in common, or a
// tensor whose shape differs from the base's (the subtraction would broadcast into nonsense).
static void check_against_base(nb::dict base, nb::dict sd, const std::string &src) {
    bool common = false;
    for (auto [name, w] : sd) {
        // Quantized GGUF tensors arrive as raw bytes (uint8): a difference of those bytes wraps
        // around and rebuilds into wrong weights, so such fine-tunes are refused here.
        for (nb::handle t : {nb::handle(w), base.contains(name) ? nb::handle(base[name]) : nb::handle(w)}) {
            std::string kind = py_str(t.attr("dtype").attr("kind"));
            if (kind != "f")
                throw CliError("tensor '" + py_str(name) + "' is stored as " + py_str(t.attr("dtype")) +
                               " (quantized or integer), not floating point; the library keeps float deltas "
                               "only: use a float16/float32 export of the model (`dedup` takes quantized ones)");
        }
        if (!base.contains(name)) continue;
        common = true;
        nb::object a = nb::tuple(w.attr("shape")), b = nb::tuple(base[name].attr("shape"));
        if (!a.equal(b))
            throw CliError("tensor '" + py_str(name) + "' has shape " + py_str(a) + " in '" + src +
                           "' but " + py_str(b) + " in the library's base");
    }
    if (!common && nb::len(sd) && nb::len(base))
        throw CliError("'" + src + "' shares no tensor name with the library's base; is it a fine-tune of it?");
}

// reconstruction_error(reconstruct(id), sd), one tensor at a time: the same sums (float32
// differences and squares, accumulated in float64) without a second dense copy of the model.
static double streamed_error(nb::handle lib, nb::handle delta, nb::dict sd) {
    nb::module_ np = vz::numpy();
    nb::object decompress = vz::import("velkor_zuma.lowrank").attr("decompress");
    nb::object f32 = np.attr("float32"), f64 = np.attr("float64");
    nb::dict base = nb::borrow<nb::dict>(lib.attr("base"));
    double num = 0.0, den = 0.0;
    for (auto [name, rec] : nb::borrow<nb::dict>(delta.attr("tensors"))) {
        nb::object x = decompress(rec);
        if (base.contains(name)) x = base[name] + x;
        x = x.attr("astype")(f32, "copy"_a = false);
        nb::object y = sd[name].attr("astype")(f32, "copy"_a = false);
        nb::object d = x - y;
        num += nb::cast<double>(np.attr("sum")(d * d, "dtype"_a = f64));
        den += nb::cast<double>(np.attr("sum")(y * y, "dtype"_a = f64));
    }
    return std::sqrt(num) / (std::sqrt(den) + 1e-12);
}

int cmd_add_finetune(nb::handle args) {
    std::string src = str_arg(args, "src"), dir = str_arg(args, "library"), id = str_arg(args, "id");
    nb::object method = optional_arg(args, "method"), max_rank = optional_arg(args, "max_rank"),
               energy = optional_arg(args, "energy"), max_error = optional_arg(args, "max_error");
    bool automatic = !method.is_none() && py_str(method) == "auto";
    if (automatic && max_error.is_none()) throw UsageError("--method auto needs --max-error E");
    if (!automatic && !max_error.is_none()) throw UsageError("--max-error goes with --method auto");
    if (automatic && !energy.is_none()) throw UsageError("--method auto and --energy each choose the compression; give one");
    nb::object lib = library_load(dir);
    nb::dict sd = load_source(src);
    check_against_base(nb::borrow<nb::dict>(lib.attr("base")), sd, src);

    // The options apply to this fine-tune only; the library keeps its own settings.
    nb::object old_method = lib.attr("method"), old_rank = lib.attr("max_rank"), old_energy = lib.attr("energy"),
               old_error = lib.attr("max_error");
    if (automatic) {
        nb::setattr(lib, "max_error", max_error);
        nb::setattr(lib, "energy", nb::none());
    } else {
        if (!method.is_none())
            nb::setattr(lib, "method", vz::import("velkor_zuma.lowrank").attr("CompressionMethod")(method));
        if (!energy.is_none()) nb::setattr(lib, "energy", energy);
        else if (!method.is_none()) nb::setattr(lib, "energy", nb::none());  // an explicit method wins
        if (!method.is_none() || !energy.is_none()) nb::setattr(lib, "max_error", nb::none());
    }
    if (!max_rank.is_none()) nb::setattr(lib, "max_rank", max_rank);
    auto restore = [&] {
        nb::setattr(lib, "method", old_method);
        nb::setattr(lib, "max_rank", old_rank);
        nb::setattr(lib, "energy", old_energy);
        nb::setattr(lib, "max_error", old_error);
    };
    bool replaced = nb::borrow<nb::dict>(lib.attr("deltas")).contains(id.c_str());
    progress("compressing " + std::to_string(nb::len(sd)) + " tensor deltas");
    nb::object delta;
    try {
        delta = lib.attr("add_finetune")(id, sd);
    } catch (...) {
        restore();
        throw;
    }
    restore();

    progress("measuring the reconstruction error");
    double error = streamed_error(lib, delta, sd);
    library_save(lib, dir);
    int64_t dense = sd_nbytes(sd), stored = nb::cast<int64_t>(delta.attr("stored_bytes")());
    std::string ratio;
    if (stored && stored <= dense)
        ratio = " (" + fixed((double) dense / (double) stored, 2) + "x smaller)";
    else if (stored)
        ratio = " (" + fixed((double) stored / (double) dense, 2) + "x larger)";
    out(std::string(replaced ? "Replaced" : "Added") + " fine-tune '" + id + "' in " + dir + ": " +
        std::to_string(nb::len(sd)) + " tensors, dense " + human((double) dense) + ", stored " + human((double) stored) +
        ratio + ", reconstruction error " + sci(error));
    // Which method each tensor got, and any record that takes more than its delta stored densely
    // (float32), so that such a choice is never made silently.
    std::vector<std::pair<std::string, int64_t>> tally;
    int64_t larger = 0;
    for (nb::handle rec : delta.attr("tensors").attr("values")()) {
        std::string m = py_str(rec.attr("method").attr("value"));
        auto it = std::find_if(tally.begin(), tally.end(), [&](const auto &p) { return p.first == m; });
        if (it == tally.end())
            tally.emplace_back(m, 1);
        else
            ++it->second;
        int64_t dense_delta = 4 * nb::cast<int64_t>(vz::import("math").attr("prod")(rec.attr("shape")));
        if (nb::cast<int64_t>(rec.attr("compressed_size_bytes")) > dense_delta) ++larger;
    }
    std::string methods;
    for (const auto &p : tally) methods += (methods.empty() ? "" : ", ") + p.first + " " + std::to_string(p.second);
    out("  methods: " + methods);
    if (larger)
        out("  note: " + std::to_string(larger) + " tensor" + (larger == 1 ? " is" : "s are") +
            " stored larger than their dense float32 delta; --method auto --max-error E never does that");
    return 0;
}

int cmd_list(nb::handle args) {
    std::string dir = str_arg(args, "library");
    nb::object lib = library_load(dir);
    nb::dict summary = nb::borrow<nb::dict>(lib.attr("summary")(dense_standins(lib)));
    print_library(lib, summary, "Library " + dir);
    auto rows = finetune_rows(lib);
    if (rows.empty()) {
        out("  (no fine-tunes yet: add one with `velkor-zuma add-finetune SRC --library " + dir + " --id NAME`)");
        return 0;
    }
    out("");
    out(table({"id", "tensors", "methods", "dense", "stored", "ratio"}, rows,
              {false, true, false, true, true, true}));
    return 0;
}

// Non-weight files of a snapshot that a reconstructed copy needs to load (config, tokenizer,
// chat template); shard indexes are left out since the export writes a single shard.
static void copy_snapshot_files(const std::string &from, const std::string &to) {
    nb::module_ shutil = vz::import("shutil");
    for (nb::handle entry : path(from).attr("iterdir")()) {
        if (!nb::cast<bool>(entry.attr("is_file")())) continue;
        std::string name = py_str(entry.attr("name"));
        auto ends = [&](const std::string &suf) {
            return name.size() >= suf.size() && name.compare(name.size() - suf.size(), suf.size(), suf) == 0;
        };
        if (ends(".safetensors") || ends(".safetensors.index.json")) continue;
        bool wanted = ends(".json") || ends(".txt") || ends(".model") || ends(".jinja") ||
                      name.rfind("tokenizer", 0) == 0;
        if (wanted) shutil.attr("copy2")(entry, path(to) / nb::str(name.c_str()));
    }
}

int cmd_export(nb::handle args) {
    std::string dir = str_arg(args, "library"), id = str_arg(args, "id"), dest = str_arg(args, "out");
    if (is_file(dest)) throw CliError(dest + " is a file; --out needs a directory");
    if (dir_has_entries(dest)) throw CliError(dest + " is not empty; export into a new or empty directory");
    nb::object lib = library_load(dir);
    nb::dict deltas = nb::borrow<nb::dict>(lib.attr("deltas"));
    if (!deltas.contains(id.c_str())) {
        std::string have;
        for (auto [k, v] : deltas) have += (have.empty() ? "" : ", ") + py_str(k);
        throw CliError("no fine-tune '" + id + "' in library " + dir +
                       (have.empty() ? " (it holds none)" : " (it holds: " + have + ")"));
    }
    progress("reconstructing '" + id + "'");
    nb::dict sd = nb::borrow<nb::dict>(lib.attr("reconstruct")(id));
    nb::module_ np = vz::numpy();
    nb::dict contiguous;
    for (auto [name, arr] : sd) contiguous[name] = np.attr("ascontiguousarray")(arr);
    nb::module_ st = vz::import_optional("safetensors.numpy",
                                         "safetensors is required to export. Install with:\n  pip install \"velkor-zuma[hub]\"");
    path(dest).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    std::string base_id = nb::cast<std::string>(lib.attr("base_id"));
    bool copied = is_dir(base_id);
    if (copied) copy_snapshot_files(base_id, dest);
    // Written under a temporary name and renamed, so an interrupted export leaves no half shard.
    nb::object target = path(dest) / nb::str("model.safetensors");
    nb::object tmp = path(dest) / nb::str(".model.safetensors.tmp");
    nb::dict meta;
    meta["format"] = "pt";
    st.attr("save_file")(contiguous, vz::import("os").attr("fspath")(tmp), "metadata"_a = meta);
    vz::import("os").attr("replace")(tmp, target);
    out("Exported fine-tune '" + id + "' (" + std::to_string(nb::len(sd)) + " tensors, " +
        bytes_both(sd_nbytes(sd)) + ") to " + py_str(target));
    if (!copied)
        out("The base '" + base_id + "' is not a local directory: copy its config and tokenizer files into " +
            dest + " to load the export with transformers.");
    return 0;
}

// ---- dedup ---------------------------------------------------------------------------------------

int cmd_dedup(nb::handle args) {
    nb::list srcs = nb::borrow<nb::list>(args.attr("src"));
    nb::object store = vz::import("velkor_zuma.dedup").attr("DedupStore")();
    nb::dict names;
    size_t i = 0, n = nb::len(srcs);
    for (nb::handle h : srcs) {
        std::string src = nb::cast<std::string>(h);
        progress("[" + std::to_string(++i) + "/" + std::to_string(n) + "] " + src);
        std::string tenant = src;
        for (int k = 2; names.contains(tenant.c_str()); ++k) tenant = src + " (" + std::to_string(k) + ")";
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
        rows.push_back({py_str(m["name"]), human((double) size)});
    }
    out(table({"name", "size"}, rows, {false, true}));
    out(std::to_string(rows.size()) + " model(s), " + human((double) total) + " in " + home);
    return 0;
}
}  // namespace

int cmd_list_ollama(nb::handle) {
    nb::module_ lm = vz::import("velkor_zuma.localmodels");
    nb::object models = lm.attr("list_ollama_models")();
    std::string home = py_str(lm.attr("OLLAMA_HOME"));
    return print_model_table(models, home, "No Ollama models found in " + home +
                                               " (set OLLAMA_MODELS to your Ollama models directory).");
}

int cmd_list_lmstudio(nb::handle) {
    nb::module_ lm = vz::import("velkor_zuma.localmodels");
    nb::object models = lm.attr("list_lmstudio_models")();
    std::string home = py_str(lm.attr("_lmstudio_home")());
    return print_model_table(models, home, "No LM Studio models found in " + home +
                                               " (set LMSTUDIO_MODELS to your LM Studio models directory).");
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
        if (!nb::borrow<nb::dict>(lib.attr("deltas")).contains(name.c_str()))
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
        ppl = vz::import("velkor_zuma.hubload")
                  .attr("perplexity_from_text")(model_dir, sd, path(file), "max_tokens"_a = max_tokens);
        on = "'" + file + "' (" + (max_tokens ? span : std::string("whole file")) + ")";
    } else {
        progress("evaluating on wikitext-2 (" + std::to_string(max_tokens) + " tokens)");
        ppl = vz::import("velkor_zuma.hubload")
                  .attr("perplexity_from_state_dict")(model_dir, sd, "max_tokens"_a = max_tokens);
        on = "wikitext-2 (" + (max_tokens ? span : std::string("whole test split")) + ")";
    }
    out("Perplexity of " + what + " on " + on + ": " + fixed(nb::cast<double>(ppl), 4));
    return 0;
}

// ---- serve ---------------------------------------------------------------------------------------

int cmd_serve(nb::handle args) {
    std::string base = str_arg(args, "base");
    if (is_gguf_source(base))
        throw CliError("serve needs a transformers model directory or hub id as --base, not a GGUF model: '" + base + "'");
    nb::dict adapters;
    nb::object given = args.attr("adapter");
    if (!given.is_none()) {
        for (nb::handle pair : given) {
            nb::object name = pair[0], source = pair[1];
            if (adapters.contains(name)) throw UsageError("adapter name '" + py_str(name) + "' given twice");
            adapters[name] = source;
        }
    }
    nb::module_ sv = vz::import("velkor_zuma.serve");
    nb::object cfg = sv.attr("ServeConfig")(base, adapters, "precision"_a = args.attr("precision"),
                                             "cache_dir"_a = args.attr("cache_dir"),
                                             "max_new_tokens"_a = args.attr("max_new_tokens"));
    // The dashboard key comes only from the environment, so that it never shows in the process list.
    nb::object environ = vz::import("os").attr("environ");
    nb::object key = environ.attr("get")("VELKOR_ZUMA_DASHBOARD_KEY");
    if (!key.is_none() && nb::len(key) > 0) nb::setattr(cfg, "api_key", key);
    nb::object url = environ.attr("get")("VELKOR_ZUMA_DASHBOARD_URL");
    if (!url.is_none() && nb::len(url) > 0) nb::setattr(cfg, "api_base", url);
    sv.attr("serve")(cfg, args.attr("host"), args.attr("port"));
    out("Server stopped.");
    return 0;
}

}  // namespace vzcli
