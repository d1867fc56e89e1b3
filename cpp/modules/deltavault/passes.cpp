// Adding a fine-tune from files, shared by add_finetune_from and add_finetunes_from (its
// coordinator and its tasks), so that both check, store, measure and commit a fine-tune alike:
// the compression settings, the checks of a tensor against its base, the listing of a source's
// shards, the float32 delta of a fine-tune tensor against its base tensor as stored, its record,
// the reconstruction error from the base, the record and the fine-tune tensor, and the
// fine-tune's file and its commit.
#include "modules/deltavault/files.hpp"

#include "core/deltavault_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace vz::deltavault::files {
using namespace nb::literals;
namespace kern = vz::core::deltavault;
namespace fz = vz::core::fused;

fz::Elem fused_kind(st::DType d) {
    switch (d) {
        case st::DType::F16: return fz::Elem::F16;
        case st::DType::BF16: return fz::Elem::BF16;
        case st::DType::F64: return fz::Elem::F64;
        default: return fz::Elem::F32;
    }
}

namespace {

kern::Float kernel_kind(st::DType d) {
    switch (d) {
        case st::DType::F16: return kern::Float::F16;
        case st::DType::BF16: return kern::Float::BF16;
        case st::DType::F64: return kern::Float::F64;
        default: return kern::Float::F32;
    }
}

// Whether lowrank's compressors take the `solver` keyword, probed on a 2x2 zero with the solver
// asked for, so that an unknown one is refused with lowrank's own message.
bool solver_keyword(nb::handle solver) {
    nb::module_ np = bind::numpy();
    try {
        own_attr("compress")(np.attr("zeros")(nb::make_tuple(2, 2), "dtype"_a = np.attr("float32")),
                             own_attr("CompressionMethod").attr("SVD"), "solver"_a = solver);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_TypeError)) return false;
        throw;
    }
}

// The solver handed to the compressors: `solver`, or the library's where it is None; None for
// "exact". An unknown name is refused with lowrank's message.
nb::object compressor_solver(const Manifest &mf, nb::handle solver) {
    nb::object s = solver.is_none() ? nb::object(mf.solver()) : nb::borrow(solver);
    bind::arg_str(s, "solver");
    std::string sv = nb::cast<std::string>(s);
    if (sv == "exact") return nb::none();
    // Compressors without the keyword use their exact solver and cannot check the name, so it is
    // checked here with lowrank's message.
    if (solver_keyword(s)) return s;
    if (sv != "randomized" && sv != "auto")
        bind::raise(PyExc_ValueError,
                    "solver must be one of 'exact', 'randomized', 'auto', got " + nb::cast<std::string>(nb::repr(s)));
    return nb::none();
}

// out = float32(w - b) for a fine-tune tensor and its base tensor as stored (b null: a float32
// copy of w); runs without the interpreter lock.
void delta_pass(const void *w, st::DType wk, const void *b, st::DType bk, float *out, std::size_t count) {
    std::vector<std::uint64_t> sw, sb;
    const std::size_t wi = st::itemsize(wk);
    w = aligned_bytes(w, wi, count * wi, sw);
    if (b) b = aligned_bytes(b, st::itemsize(bk), count * st::itemsize(bk), sb);
    // Both operands widened to the wider of their types (float64 when either is, float32
    // otherwise: bfloat16 and float16 widen exactly) and subtracted there.
    kern::Float calc = wk == st::DType::F64 || (b && bk == st::DType::F64) ? kern::Float::F64 : kern::Float::F32;
    kern::delta_to_f32(w, kernel_kind(wk), b, b ? kernel_kind(bk) : kern::Float::F32, calc, out, count);
}

// The squared-error sums of the reconstruction base + decompress(rec), in float32, against the
// fine-tune tensor t (extents `shape`): one pass for records with a product form, the plain add
// and error passes otherwise. b (with its tensor bt) null: no base tensor.
void error_pass(const void *b, const st::TensorInfo *bt, nb::handle rec, const void *t, st::DType tk,
                const std::vector<std::uint64_t> &shape, double &sq_diff, double &sq_ref) {
    std::size_t count = 1;
    for (std::uint64_t e : shape) count *= std::size_t(e);
    Stored base_in{b, bt ? fused_kind(bt->dtype) : fz::Elem::F32, bt ? &bt->shape : nullptr};
    Stored target_in{t, fused_kind(tk), &shape};
    if (!b) base_in.data = nullptr;
    if (fused_error_stored(base_in, rec, target_in, sq_diff, sq_ref)) return;
    nb::module_ np = bind::numpy();
    nb::object d = own_attr("decompress")(rec);
    d = np.attr("array")(d, "dtype"_a = np.attr("float32"), "order"_a = "C");
    bind::Buffer db(d, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    float *dp = static_cast<float *>(db.data());
    {
        nb::gil_scoped_release nogil;
        std::vector<std::uint64_t> sb, stt;
        if (b) {
            const std::size_t bi = st::itemsize(bt->dtype);
            kern::add_base(aligned_bytes(b, bi, count * bi, sb), kernel_kind(bt->dtype), dp, dp, kern::Float::F32,
                           count);
        }
        const std::size_t ti = st::itemsize(tk);
        kern::squared_error_sums(dp, kern::Float::F32, aligned_bytes(t, ti, count * ti, stt), kernel_kind(tk), count,
                                 &sq_diff, &sq_ref);
    }
}

}  // namespace

// ---- settings ----------------------------------------------------------------------------------------

Settings resolve_settings(const Manifest &mf, nb::handle method, nb::handle max_rank, nb::handle energy,
                          nb::handle solver) {
    nb::object methods = own_attr("CompressionMethod");
    Settings s;
    s.method = method.is_none() ? mf.method_of(mf.root, "the manifest") : nb::borrow(method);
    if (!method.is_none() && !nb::isinstance(method, methods)) s.method = methods(method);
    s.max_rank = max_rank.is_none() ? mf.decode(mf.key(mf.root, "max_rank", "the manifest"), "\"max_rank\"")
                                    : nb::borrow(max_rank);
    if (!energy.is_none())
        s.energy = nb::borrow(energy);
    else if (!method.is_none())
        s.energy = nb::none();
    else
        s.energy = mf.decode(mf.key(mf.root, "energy", "the manifest"), "\"energy\"");
    s.energy_cap = nb::none();
    if (!s.energy.is_none()) s.energy_cap = s.max_rank.equal(nb::int_(0)) ? nb::none() : s.max_rank;
    s.solver = compressor_solver(mf, solver);
    return s;
}

void mixed_options(Settings &s, const Manifest &mf, nb::handle bits, nb::handle zstd) {
    if (!bits.is_none())
        s.bits = nb::float_(bind::arg_float(bits, "bits"));
    else if (mf.root.contains("bits"))
        s.bits = mf.decode(mf.root["bits"], "\"bits\"");
    if (!zstd.is_none()) {
        if (!PyBool_Check(zstd.ptr())) bind::raise_arg_type("zstd", "bool", zstd);
        s.zstd = nb::borrow(zstd);
    } else if (mf.root.contains("zstd")) {
        s.zstd = mf.decode(mf.root["zstd"], "\"zstd\"");
        if (!PyBool_Check(s.zstd.ptr())) mf.damaged("\"zstd\" is not true or false");
    }
}

bool is_mixed(const Settings &s) {
    // A member, or its value text as a library made with the text keeps it (both equal the value).
    return s.energy.is_none() && s.max_error.is_none() && s.method.is_valid() && PyUnicode_Check(s.method.ptr()) &&
           s.method.equal(nb::str("svd_mixed"));
}

nb::object compress_delta(nb::object delta, const Settings &s, const std::string &name) {
    long ndim = nb::cast<long>(delta.attr("ndim"));
    nb::object methods = own_attr("CompressionMethod");
    if (ndim < 2) return own_attr("compress")(delta, methods.attr("NONE"));
    if (is_mixed(s)) {
        nb::dict kw;
        if (!s.bits.is_none()) kw["bits"] = s.bits;
        kw["zstd"] = s.zstd;
        if (!s.solver.is_none()) kw["solver"] = s.solver;
        nb::str key(name.c_str());
        if (!s.widths.is_none() && bind::contains(s.widths, key)) kw["widths"] = bind::get_item(s.widths, key);
        return bind::module_attr("velkor_zuma.lowrank", "svd_mixed_compress")(delta, **kw);
    }
    if (!s.max_error.is_none())
        return bind::module_attr("velkor_zuma.lowrank", "compress_best")(delta, "max_error"_a = s.max_error,
                                                                         "max_rank"_a = s.max_rank);
    nb::dict kw;
    if (!s.solver.is_none()) kw["solver"] = s.solver;
    if (!s.energy.is_none()) {
        kw["energy"] = s.energy;
        kw["max_rank"] = s.energy_cap;
        return own_attr("svd_compress_energy")(delta, **kw);
    }
    kw["max_rank"] = s.max_rank;
    return own_attr("compress")(delta, s.method, **kw);
}

// ---- checks and sources ------------------------------------------------------------------------------

namespace {

[[noreturn]] void refuse_kind(const std::string &name, const std::string &np_dtype) {
    bind::raise(PyExc_ValueError, "tensor '" + name + "' is stored as " + np_dtype +
                                      " (quantized or integer), not floating point; the library keeps float deltas "
                                      "only: use a float16/float32 export of the model (`dedup` takes quantized "
                                      "ones)");
}

}  // namespace

void check_tensor(const std::string &name, bool is_float, const std::string &np_dtype,
                  const std::vector<std::uint64_t> &shape, const st::TensorInfo *base, const std::string &label) {
    if (!is_float) refuse_kind(name, np_dtype);
    if (!base) return;
    if (!st::is_float(base->dtype)) refuse_kind(name, numpy_name(base->dtype));
    if (base->shape != shape)
        bind::raise(PyExc_ValueError, "tensor '" + name + "' has shape " + shape_text(shape) + " in '" + label +
                                          "' but " + shape_text(base->shape) + " in the library's base");
}

std::shared_ptr<st::Reader> open_source_file(const fs::path &p) {
    try {
        return os_call([&] { return std::make_shared<st::Reader>(p.string()); });
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, quoted(p) + " is not a readable safetensors file: " + e.what());
    }
}

SourceFiles open_source_files(const fs::path &p, bool absolute) {
    std::error_code ec;
    std::vector<fs::path> shards;
    if (fs::is_directory(p, ec)) {
        for (const std::string &n : names_in(p))
            if (n.size() > 12 && n.compare(n.size() - 12, 12, ".safetensors") == 0 && fs::is_regular_file(p / n, ec))
                shards.push_back(p / n);
        std::sort(shards.begin(), shards.end());
        if (shards.empty()) bind::raise(PyExc_FileNotFoundError, "No .safetensors in " + p.string());
    } else if (fs::is_regular_file(p, ec)) {
        shards.push_back(p);
    } else {
        bind::raise(PyExc_FileNotFoundError, "model source " + quoted(p) + " does not exist");
    }
    SourceFiles out;
    std::map<std::string, std::size_t> pos;
    for (const fs::path &s : shards) {
        fs::path at = s;
        if (absolute) {
            at = fs::absolute(s, ec);
            if (ec) at = s;
        }
        std::shared_ptr<st::Reader> r = open_source_file(at);
        std::vector<const st::TensorInfo *> infos;
        for (const auto &t : r->tensors()) infos.push_back(&t);
        std::sort(infos.begin(), infos.end(), [](auto *a, auto *b) { return a->name < b->name; });
        for (const st::TensorInfo *t : infos) {
            auto it = pos.find(t->name);
            if (it != pos.end()) {
                out.where[it->second] = {r, t};
            } else {
                pos[t->name] = out.names.size();
                out.names.push_back(t->name);
                out.where.push_back({r, t});
            }
        }
    }
    return out;
}

// ---- one tensor ----------------------------------------------------------------------------------------

TensorRecord compress_tensor(DeltaBuffer &buffer, const std::string &name, std::size_t index, const void *t,
                             st::DType tk, const std::vector<std::uint64_t> &shape, const void *b,
                             const st::TensorInfo *bt, const Settings &s, const std::string &where) {
    nb::module_ np = bind::numpy();
    std::size_t count = 1;
    for (std::uint64_t e : shape) count *= std::size_t(e);
    nb::list extents;
    for (std::uint64_t e : shape) extents.append(nb::int_((long long) e));
    nb::object rec;
    {
        nb::object delta = buffer.take(np, nb::tuple(extents), count);
        bind::Buffer out(delta, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        {
            nb::gil_scoped_release nogil;
            delta_pass(t, tk, b, bt ? bt->dtype : st::DType::F32, static_cast<float *>(out.data()), count);
        }
        refuse_non_finite(static_cast<const float *>(out.data()), count, shape, where, [&](std::size_t i) {
            const std::size_t item = st::itemsize(tk);
            const auto *at = static_cast<const std::uint8_t *>(t) + i * item;
            if (tk == st::DType::F64) {
                double v;
                std::memcpy(&v, at, sizeof v);
                return v;
            }
            float v;
            st::convert_to_float32(at, tk, &v, 1);
            return double(v);
        });
        rec = compress_delta(delta, s, name);
    }
    TensorRecord r;
    r.entry = record_entry(np, nb::str(name.c_str()), rec, index, r.arrays, where);
    // The reconstruction error as reconstruction_error(reconstruct(id), fine-tune) sums it.
    error_pass(b, bt, rec, t, tk, shape, r.sq_diff, r.sq_ref);
    return r;
}

// ---- svd_mixed's first pass ----------------------------------------------------------------------------

void MixedPlan::add(DeltaBuffer &buffer, const std::string &name, const void *t, st::DType tk,
                    const std::vector<std::uint64_t> &shape, const void *b, const st::TensorInfo *bt) {
    if (shape.size() < 2) return;
    nb::module_ np = bind::numpy();
    std::size_t count = 1;
    for (std::uint64_t e : shape) count *= std::size_t(e);
    nb::list extents;
    for (std::uint64_t e : shape) extents.append(nb::int_((long long) e));
    nb::object delta = buffer.take(np, nb::tuple(extents), count);
    {
        bind::Buffer out(delta, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        nb::gil_scoped_release nogil;
        delta_pass(t, tk, b, bt ? bt->dtype : st::DType::F32, static_cast<float *>(out.data()), count);
    }
    add_delta(name, delta);
}

void MixedPlan::add_delta(const std::string &name, nb::handle delta) {
    if (nb::cast<long>(delta.attr("ndim")) < 2) return;
    // A tensor without elements has no triplets to spend bits on.
    if (nb::cast<long long>(delta.attr("size")) == 0) return;
    // A delta that is not finite is refused, naming its first bad value, when it is compressed.
    if (!bind::truthy(bind::numpy().attr("isfinite")(delta).attr("all")())) return;
    nb::object spectrum = bind::module_attr("velkor_zuma.lowrank", "svd_spectrum")(delta);
    names_.append(nb::str(name.c_str()));
    shapes_.append(nb::tuple(delta.attr("shape")));
    spectra_.append(spectrum);
}

nb::dict MixedPlan::widths(const Settings &s) const {
    nb::dict kw;
    if (!s.bits.is_none()) kw["bits"] = s.bits;
    nb::object w = bind::module_attr("velkor_zuma.lowrank", "svd_mixed_widths")(shapes_, spectra_, **kw);
    nb::dict out;
    for (std::size_t i = 0; i < nb::len(names_); ++i) out[names_[i]] = w[i];
    return out;
}

// ---- the fine-tune's file ---------------------------------------------------------------------------------

namespace {

// A header area for the records of the tensors `names`: up to four arrays a tensor at 160 bytes of
// JSON each, and a margin of eight bytes per byte of the tensors' names. A header that outgrows
// it costs one move of the data when the file is finished.
std::size_t header_estimate(const std::vector<std::string> &names) {
    std::size_t name_bytes = 0;
    for (const auto &n : names) name_bytes += n.size();
    return 256 + names.size() * 4 * 160 + name_bytes * 8;
}

}  // namespace

FinetuneFile::FinetuneFile(const fs::path &dir, std::size_t index, const std::vector<std::string> &names)
    : dir_(dir), final_name_("finetune-" + fileio::random_token() + "-" + std::to_string(index) + ".safetensors") {
    w_ = os_call([&] { return std::make_unique<st::Writer>((dir_ / tmp_name(final_name_)).string()); });
    os_call([&] { w_->begin_reserved(header_estimate(names)); });
}

void FinetuneFile::add(const std::string &tensor, const TensorRecord &r, long long dense_bytes) {
    long long stored_before = stored_;
    for (const auto &[key, arr] : r.arrays) {
        st::Planned p;
        p.name = key;
        // Arrays of a task come back through the executor: their types are checked again.
        if (!file_dtype(arr.attr("dtype"), p.dtype))
            bind::raise(PyExc_ValueError, "a task returned an array of type " + bind::type_name(arr.attr("dtype")) +
                                              " for tensor '" + tensor + "'");
        for (nb::handle n : arr.attr("shape")) p.shape.push_back(nb::cast<unsigned long long>(n));
        bind::Buffer b = contiguous_bytes(arr);
        try {
            os_call([&] {
                {
                    nb::gil_scoped_release nogil;
                    w_->write(b.data(), b.size_bytes());
                }
                w_->add(p);
            });
        } catch (st::FormatError &e) {
            bind::raise(PyExc_ValueError, "tensor '" + tensor + "': " + e.what());
        }
        stored_ += (long long) b.size_bytes();
    }
    nb::object mv = r.entry.contains("method") ? nb::object(r.entry["method"]) : nb::object(r.entry["method_text"]);
    methods_[mv] = nb::int_(nb::cast<long long>(methods_.attr("get")(mv, nb::int_(0))) + 1);
    long long count = 1;
    for (nb::handle n : r.entry["shape"]) count *= nb::cast<long long>(n);
    if (stored_ - stored_before > count * 4) ++larger_;
    entries_.append(r.entry);
    num_ += r.sq_diff;
    den_ += r.sq_ref;
    dense_ += dense_bytes;
}

nb::dict FinetuneFile::commit(Manifest &mf, const std::string &id, std::optional<std::size_t> pos) {
    std::uint64_t size = 0;
    try {
        size = os_call([&] { return w_->finish({{"format", kFormat}}); });
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, std::string("cannot write the library file: ") + e.what());
    }
    std::string sha = sha256_file(w_->tmp_path());

    nb::dict entry;
    entry["key"] = id;
    entry["model_id"] = id;
    entry["base_id"] = mf.text(mf.root, "base_id", "the manifest");
    entry["tensors"] = entries_;
    entry["file"] = final_name_;
    entry["size"] = nb::int_((long long) size);
    entry["sha256"] = sha;
    // The fine-tune's tensors as they were added, in their own types: the baseline of its ratio.
    entry["dense_bytes"] = nb::int_(dense_);
    nb::dict manifest = nb::borrow<nb::dict>(bind::import("copy").attr("copy")(mf.root));
    // A version 1 library gains the fields of version 2 for what is written from now on; its
    // older entries keep their form, which version 2 reads too.
    if (mf.version != kVersion) manifest["version"] = nb::int_(kVersion);
    nb::list fts;  // a new list: the manifest as read stays as it was
    for (nb::handle e : mf.finetunes()) fts.append(e);
    if (pos)
        fts[*pos] = entry;
    else
        fts.append(entry);
    manifest["finetunes"] = fts;

    os_call([&] { w_->commit((dir_ / final_name_).string()); });
    try {
        mf.digest = write_manifest(dir_, manifest);
    } catch (...) {
        std::error_code ec;
        fs::remove(dir_ / final_name_, ec);
        throw;
    }
    std::set<std::string> before = referenced(mf);
    mf.root = manifest;
    mf.version = kVersion;
    remove_unreferenced(dir_, referenced(mf), before);

    nb::dict out;
    out["model_id"] = id;
    out["tensors"] = nb::int_((long long) nb::len(entries_));
    out["dense_bytes"] = nb::int_(dense_);
    out["stored_bytes"] = nb::int_(stored_);
    out["file_bytes"] = nb::int_((long long) size);
    out["error"] = nb::float_(std::sqrt(num_) / (std::sqrt(den_) + 1e-12));
    out["replaced"] = nb::bool_(pos.has_value());
    out["methods"] = methods_;
    out["larger_than_dense"] = nb::int_(larger_);
    return out;
}

}  // namespace vz::deltavault::files
