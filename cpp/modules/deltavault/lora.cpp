// export_lora: a stored fine-tune written as a peft LoRA adapter directory, so that any server
// that loads peft adapters serves it over the library's base.
//
// A record whose delta is a product of two thin factors is exactly what a LoRA module adds:
//   SVD          U diag(s) Vt         B = U * sqrt(s),  A = sqrt(s) * Vt (balanced magnitudes)
//   tensor train G1 (1, m, r) G2 (r, n, 1)   B = G1[0],  A = G2[..., 0]
//   Tucker (2-D) U0 core U1^T         B = U0 core,  A = U1^T
// Every module gets one rank, the largest one (columns of B and rows of A padded with zeros,
// which add nothing), with lora_alpha equal to it, so the adapter's scale is exactly 1 and every
// peft-compatible loader reads the same adapter (not all of them honour per-module ranks).
// An embedding's delta becomes peft's lora_embedding_A (r x vocab) and lora_embedding_B
// (dim x r), whose product peft transposes; when the base ties its output head to the
// embedding (config.json's tie_word_embeddings), the head gets the same delta as a LoRA of
// lm_head, as the reconstructed model's tied head does. GPT-2's Conv1D layers store their
// weights as (in, out): their factors are written transposed, with fan_in_fan_out set, which is
// how peft applies a LoRA to them.
//
// Records of other kinds (dense vectors such as biases and norms, sign and few-bit codes, a
// tensor the base lacks, anything not a 2-D weight) cannot be held by a LoRA adapter: they are
// refused by name unless the caller asks to leave them out. A record whose delta is all zeros
// changes nothing and is left out silently (reported as "unchanged").
//
// The output is written into a temporary sibling directory and renamed into place, so a failed
// export leaves nothing behind; an output inside the library or a non-empty directory is
// refused before anything is read.
#include "modules/deltavault/files.hpp"
#include "modules/deltavault/thin_factors.hpp"

#include <algorithm>
#include <string>
#include <unistd.h>
#include <vector>

namespace vz::deltavault {
using namespace nb::literals;
using namespace files;
using namespace vz::factors;

namespace {

// Final path components of the modules that transformers' causal LMs build as embeddings.
bool is_embedding_module(const std::string &module) {
    std::size_t dot = module.rfind('.');
    std::string last = dot == std::string::npos ? module : module.substr(dot + 1);
    for (const char *e : {"embed_tokens", "wte", "wpe", "word_embeddings", "embed_in", "embed_positions",
                          "position_embeddings", "shared", "tok_embeddings"})
        if (last == e) return true;
    return false;
}

// One module's factors: delta = b (m x k) @ a (k x n), float32.
struct Pair {
    std::string module;
    bool embedding = false;
    nb::object b, a;
    int64_t k = 0;
};

// Whether the record's delta is all zeros (it changes nothing).
bool all_zero(nb::handle rec) {
    nb::module_ np = bind::numpy();
    nb::object d = own_attr("decompress")(rec);
    return !bind::truthy(np.attr("any")(d));
}

// What the base's config.json (base_id a local directory) says about the layout: whether the
// output head is tied to the input embedding (transformers' default when the config does not
// say), and whether the linear layers are GPT-2's Conv1D, whose weights are stored (in, out).
struct BaseLayout {
    bool tied = false;
    bool conv1d = false;
};

BaseLayout base_layout(const std::string &base_id) {
    BaseLayout out;
    std::error_code ec;
    fs::path cfg = fs::path(base_id) / "config.json";
    if (base_id.empty() || !fs::is_regular_file(cfg, ec)) return out;
    try {
        nb::object text = bind::import("pathlib").attr("Path")(cfg.string()).attr("read_text")("encoding"_a = "utf-8");
        nb::object c = bind::import("json").attr("loads")(text);
        if (!PyDict_Check(c.ptr())) return out;
        nb::dict d = nb::borrow<nb::dict>(c);
        out.tied = !d.contains("tie_word_embeddings") || bind::truthy(d["tie_word_embeddings"]);
        out.conv1d = d.contains("model_type") && nb::isinstance<nb::str>(d["model_type"]) &&
                     bind::text(d["model_type"]) == "gpt2";
    } catch (nb::python_error &) {
    }
    return out;
}

// Whether `inner` is `outer` or lies under it: by their paths made absolute with links resolved
// as far as they exist, or because one of inner's existing ancestors is outer's directory by
// another path (a bind mount).
bool is_within(const fs::path &inner, const fs::path &outer) {
    std::error_code ec;
    fs::path i = fs::weakly_canonical(fs::absolute(inner), ec);
    if (ec) i = fs::absolute(inner).lexically_normal();
    fs::path o = fs::weakly_canonical(fs::absolute(outer), ec);
    if (ec) o = fs::absolute(outer).lexically_normal();
    bool prefix = true;
    auto ii = i.begin(), oi = o.begin();
    for (; oi != o.end() && prefix; ++oi, ++ii) {
        if (oi->empty()) continue;  // a trailing separator
        prefix = ii != i.end() && *ii == *oi;
    }
    if (prefix) return true;
    for (fs::path a = i; !a.empty(); a = a.parent_path()) {
        std::error_code eq;
        if (fs::equivalent(a, o, eq) && !eq) return true;
        if (a == a.root_path()) break;
    }
    return false;
}

void check_output(const fs::path &dir, const fs::path &out) {
    std::error_code ec;
    if (is_within(out, dir))
        bind::raise(PyExc_ValueError, "the adapter directory " + quoted(out) + " is inside the library " + quoted(dir) +
                                          "; choose a directory outside it");
    if (fs::is_symlink(out, ec))
        bind::raise(PyExc_FileExistsError, quoted(out) + " is a symbolic link; export into a new or empty directory");
    if (fs::exists(out, ec)) {
        if (!fs::is_directory(out, ec))
            bind::raise(PyExc_FileExistsError, quoted(out) + " is a file; the adapter needs a directory");
        if (!names_in(out).empty())
            bind::raise(PyExc_FileExistsError, quoted(out) + " is not empty; export into a new or empty directory");
    }
}

// Removes the temporary directory unless it was renamed into place.
struct TempDir {
    fs::path path;
    bool done = false;
    ~TempDir() {
        if (done || path.empty()) return;
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

nb::list sorted_list(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    nb::list out;
    for (const auto &s : v) out.append(nb::str(s.c_str()));
    return out;
}

}  // namespace

nb::dict export_lora(nb::handle path, nb::handle finetune_id, nb::handle out_dir, nb::handle drop_handle) {
    fs::path dir = to_path(path);
    bind::arg_str(finetune_id, "finetune_id");
    std::string id = nb::cast<std::string>(finetune_id);
    if (!PyBool_Check(drop_handle.ptr())) bind::raise_arg_type("drop_non_lowrank", "bool", drop_handle);
    bool drop = drop_handle.ptr() == Py_True;
    fs::path out = to_path(out_dir);
    check_output(dir, out);

    nb::module_ np = bind::numpy();
    nb::object f32 = np.attr("float32");
    nb::object reader = own_attr("open_library")(path);
    std::string base_id;
    nb::object delta;
    std::vector<std::string> base_names;
    try {
        base_id = nb::cast<std::string>(reader.attr("base_id"));
        for (nb::handle h : reader.attr("base_names")()) base_names.push_back(nb::cast<std::string>(h));
        delta = reader.attr("delta")(id);
    } catch (...) {
        reader.attr("close")();
        throw;
    }
    reader.attr("close")();
    std::sort(base_names.begin(), base_names.end());

    std::vector<Pair> pairs;
    std::vector<std::string> refused, unchanged;
    bool has_head = false;
    nb::dict tensors = nb::borrow<nb::dict>(delta.attr("tensors"));
    for (auto [key, rec] : tensors)
        if (nb::cast<std::string>(key) == "lm_head.weight") has_head = true;
    for (auto [key, rec] : tensors) {
        std::string name = nb::cast<std::string>(key);
        std::vector<int64_t> shape;
        for (nb::handle d : nb::tuple(rec.attr("shape"))) shape.push_back(nb::cast<int64_t>(d));
        const std::string suffix = ".weight";
        std::string why;
        bool in_base = std::binary_search(base_names.begin(), base_names.end(), name);
        bool weight = name.size() > suffix.size() &&
                      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        Pair p;
        if (!in_base)
            why = "not in the base";
        else if (shape.size() != 2 || !weight) {
            why = method_text(rec.attr("method"));
            if (why == "svd" || why == "tt" || why == "tucker") why += ", not a 2-D weight";
        } else if (thin_factors(rec, shape[0], shape[1], p.b, p.a, why)) {
            if (!bind::truthy(np.attr("any")(p.b)) || !bind::truthy(np.attr("any")(p.a))) {
                unchanged.push_back(name);
                continue;
            }
            p.module = name.substr(0, name.size() - suffix.size());
            p.embedding = is_embedding_module(p.module);
            p.k = nb::cast<int64_t>(p.a.attr("shape")[0]);
            pairs.push_back(std::move(p));
            continue;
        }
        if (all_zero(rec))
            unchanged.push_back(name);
        else
            refused.push_back(name + " (" + why + ")");
    }
    if (!refused.empty() && !drop) {
        std::string list;
        for (const auto &r : refused) list += (list.empty() ? "" : ", ") + r;
        bind::raise(PyExc_ValueError, "fine-tune '" + id + "' has records a LoRA adapter cannot hold: " + list +
                                          "; leave them out with drop_non_lowrank=True (--drop-non-lowrank)");
    }
    if (pairs.empty())
        bind::raise(PyExc_ValueError, "fine-tune '" + id + "' has no low-rank record to export as a LoRA adapter");

    // A tied output head follows its embedding's delta, as the reconstructed model's does.
    const BaseLayout layout = base_layout(base_id);
    if (!has_head && layout.tied) {
        std::vector<Pair> heads;
        for (const auto &p : pairs)
            if (p.embedding && (p.module == "model.embed_tokens" || p.module == "transformer.wte" ||
                                p.module == "model.decoder.embed_tokens" || p.module == "gpt_neox.embed_in"))
                heads.push_back(Pair{"lm_head", false, p.b, p.a, p.k});
        if (heads.size() == 1) pairs.push_back(heads[0]);
    }

    int64_t r = 0;
    for (const auto &p : pairs) r = std::max(r, p.k);
    r = std::max<int64_t>(r, 1);

    // Tensors in peft's names, padded to rank r.
    std::vector<st::Planned> plan;
    std::vector<nb::object> arrays;
    auto pad = [&](nb::object x, int64_t rows_pad, int64_t cols_pad) {
        nb::object z = np.attr("pad")(x, nb::make_tuple(nb::make_tuple(0, rows_pad), nb::make_tuple(0, cols_pad)));
        return np.attr("ascontiguousarray")(z, "dtype"_a = f32);
    };
    auto add = [&](const std::string &name, nb::object arr) {
        st::Planned pl;
        pl.name = name;
        pl.dtype = st::DType::F32;
        for (int64_t d : shape_of(arr)) pl.shape.push_back(std::uint64_t(d));
        plan.push_back(std::move(pl));
        arrays.push_back(std::move(arr));
    };
    std::vector<std::string> modules;
    std::sort(pairs.begin(), pairs.end(), [](const Pair &x, const Pair &y) { return x.module < y.module; });
    for (const auto &p : pairs) {
        std::string prefix = "base_model.model." + p.module;
        nb::object b = pad(p.b, 0, r - p.k), a = pad(p.a, r - p.k, 0);
        if (p.embedding) {
            // peft's embedding delta is (lora_embedding_B @ lora_embedding_A)^T.
            add(prefix + ".lora_embedding_A", np.attr("ascontiguousarray")(b.attr("T")));
            add(prefix + ".lora_embedding_B", np.attr("ascontiguousarray")(a.attr("T")));
        } else if (layout.conv1d && p.module != "lm_head") {
            // A Conv1D weight is the delta's transpose's layout: peft (fan_in_fan_out) applies
            // (lora_B @ lora_A)^T.
            add(prefix + ".lora_A.weight", np.attr("ascontiguousarray")(b.attr("T")));
            add(prefix + ".lora_B.weight", np.attr("ascontiguousarray")(a.attr("T")));
        } else {
            add(prefix + ".lora_A.weight", a);
            add(prefix + ".lora_B.weight", b);
        }
        modules.push_back(p.module);
    }

    nb::dict cfg;
    cfg["peft_type"] = "LORA";
    cfg["task_type"] = "CAUSAL_LM";
    cfg["base_model_name_or_path"] = nb::str(base_id.c_str());
    cfg["r"] = r;
    cfg["lora_alpha"] = r;
    cfg["lora_dropout"] = 0.0;
    cfg["target_modules"] = sorted_list(modules);
    cfg["bias"] = "none";
    cfg["fan_in_fan_out"] = layout.conv1d;
    cfg["use_rslora"] = false;
    cfg["inference_mode"] = true;
    cfg["modules_to_save"] = nb::none();
    cfg["rank_pattern"] = nb::dict();
    cfg["alpha_pattern"] = nb::dict();
    std::string cfg_text = nb::cast<std::string>(bind::import("json").attr("dumps")(cfg, "indent"_a = 2));
    cfg_text += "\n";

    fs::path parent = out.parent_path().empty() ? fs::path(".") : out.parent_path();
    TempDir tmp;
    tmp.path = parent / ("." + out.filename().string() + "." + std::to_string((long long) ::getpid()) + "." +
                         fileio::random_token() + ".tmp");
    std::uint64_t file_bytes = 0;
    os_call([&] {
        std::error_code ec;
        fs::create_directories(parent, ec);
        if (!fs::create_directory(tmp.path, ec)) throw fileio::OsError(ec ? ec.value() : EEXIST, tmp.path.string());
    });
    {
        st::Writer w((tmp.path / "adapter_model.safetensors").string());
        std::vector<bind::Buffer> views;
        try {
            os_call([&] { w.begin(plan, {{"format", "pt"}}); });
        } catch (st::FormatError &e) {
            bind::raise(PyExc_ValueError, e.what());
        }
        for (const auto &a : arrays) {
            bind::Buffer v(a, PyBUF_C_CONTIGUOUS);
            os_call([&] {
                nb::gil_scoped_release nogil;
                w.write(v.data(), v.size_bytes());
            });
        }
        file_bytes = os_call([&] { return w.finish(); });
        os_call([&] { w.commit((tmp.path / "adapter_model.safetensors").string()); });
    }
    os_call([&] {
        fileio::write_file_atomic(tmp.path / ".adapter_config.json.tmp", tmp.path / "adapter_config.json", cfg_text);
    });
    os_call([&] {
        std::error_code ec;
        // rename(2) replaces an empty directory; anything else there was refused above, and a
        // directory that gained entries since then makes the rename fail rather than lose them.
        fs::rename(tmp.path, out, ec);
        if (ec) throw fileio::OsError(ec.value(), out.string());
    });
    tmp.done = true;

    nb::dict res;
    res["modules"] = nb::int_((long long) modules.size());
    res["rank"] = nb::int_((long long) r);
    res["target_modules"] = sorted_list(modules);
    std::vector<std::string> left;
    for (const auto &s : refused) left.push_back(s.substr(0, s.find(" (")));
    res["left_out"] = sorted_list(left);
    res["unchanged"] = sorted_list(unchanged);
    res["file_bytes"] = nb::int_((long long) file_bytes);
    return res;
}

void register_lora(nb::module_ &m) {
    m.def("export_lora", &export_lora, "path"_a.none(), "finetune_id"_a.none(), "out"_a.none(), nb::kw_only(),
          "drop_non_lowrank"_a.none() = false,
          "Writes the stored fine-tune `finetune_id` as a peft LoRA adapter directory `out` "
          "(adapter_config.json, adapter_model.safetensors) built from its low-rank records (SVD, 2-D "
          "tensor train, 2-D Tucker), every module at one rank r (zero-padded) with lora_alpha = r. Records "
          "that are not low rank raise ValueError naming them, unless drop_non_lowrank=True leaves them "
          "out; records whose delta is zero are left out. `out` must be new or an empty directory outside "
          "the library (FileExistsError, ValueError). Returns {'modules', 'rank', 'target_modules', "
          "'left_out', 'unchanged', 'file_bytes'}.");
}

}  // namespace vz::deltavault
