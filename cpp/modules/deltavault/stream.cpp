// The library on disk worked tensor by tensor, so that memory follows the largest tensor and not
// the model:
//
//   open_library(path)            a LibraryReader: the manifest read, files opened over memory
//                                 maps, tensors and records read on access
//   create_library(path, ...)     a new library from a base source, copied tensor by tensor in
//                                 the source's own types (add-base)
//   add_finetune_from(path, ...)  one fine-tune from a source: per tensor, the float32 delta
//                                 against the base read from its file, compressed, written to
//                                 the fine-tune's file, and measured (add-finetune)
//   export_finetune(path, ...)    base + decompressed delta, tensor by tensor, into one
//                                 safetensors file (export)
//
// A source is a path (a .safetensors file or a directory of shards, read over memory maps) or a
// mapping whose values are arrays read on access. Pages of a file tensor are dropped from this
// process once it is done. Writers take the library's lock for their whole run (files.hpp).
#include "modules/deltavault/files.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace vz::deltavault {
using namespace nb::literals;
using namespace files;

namespace {

// ---- sources ---------------------------------------------------------------------------------------

// One tensor of a source, while it is in use: its bytes, type and shape.
struct Tensor {
    std::string name;
    st::DType dtype = st::DType::F32;
    bool file_type = true;   // representable in a library file (else: `np_dtype` names it)
    std::string np_dtype;    // numpy's name of the element type
    std::vector<std::uint64_t> shape;
    const void *data = nullptr;
    std::uint64_t nbytes = 0;
    nb::object keep;                      // the array that owns `data` (mapping sources)
    bind::Buffer buffer;                  // its buffer
    const st::Reader *reader = nullptr;   // file sources
    const st::TensorInfo *info = nullptr;
    nb::object mapped;                    // the source's value when it views a shared file map
    void release() {
        if (reader && info) reader->release(*info);
        buffer.release();
        keep = nb::object();
        if (mapped.is_valid()) drop_mapped_pages(mapped);
        mapped = nb::object();
    }
    // Pages of an array that views a file mapped shared (numpy.memmap in mode "r" or "r+", as
    // the GGUF reader maps its file) leave this process's resident set once the tensor is done;
    // later reads fault them in again from the page cache. Other memory is never touched.
    static void drop_mapped_pages(nb::handle arr) {
        nb::module_ np = bind::numpy();
        nb::object memmap = np.attr("memmap");
        bool shared = false;
        for (nb::object b = nb::borrow(arr); b.is_valid() && !b.is_none();) {
            if (nb::isinstance(b, memmap)) {
                nb::object mode = nb::getattr(b, "mode", nb::none());
                shared = !mode.is_none() && (nb::str(mode).equal(nb::str("r")) || nb::str(mode).equal(nb::str("r+")));
                break;
            }
            if (!nb::isinstance(b, np.attr("ndarray"))) break;
            b = b.attr("base");
        }
        if (!shared) return;
        nb::tuple data = nb::borrow<nb::tuple>(arr.attr("__array_interface__")["data"]);
        std::uintptr_t lo = nb::cast<std::uintptr_t>(data[0]);
        std::uintptr_t hi = lo + nb::cast<std::uintptr_t>(arr.attr("nbytes"));
        const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
        lo = (lo + page - 1) / page * page;
        hi = hi / page * page;
        if (hi > lo) ::madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_DONTNEED);
    }
};

class Source {
public:
    Source(nb::handle src, const char *argname) {
        if (PyUnicode_Check(src.ptr()) || nb::hasattr(src, "__fspath__")) {
            fs::path p = fs::path(nb::cast<std::string>(bind::import("os").attr("fspath")(src)));
            label_ = p.string();
            open_path(p);
        } else if (nb::isinstance(src, bind::import("collections.abc").attr("Mapping"))) {
            mapping_ = nb::borrow(src);
            label_ = "the fine-tune";
            for (nb::handle k : src) {
                if (!PyUnicode_Check(k.ptr()))
                    bind::raise(PyExc_TypeError, "tensor names must be str, not " + bind::type_name(k));
                names_.push_back(nb::cast<std::string>(k));
            }
            // A plain dict of numpy arrays tells its types and shapes without reading anything.
            known_ = PyDict_Check(src.ptr());
            if (known_)
                for (auto kv : nb::borrow<nb::dict>(src))
                    if (!nb::isinstance(kv.second, bind::numpy().attr("ndarray"))) known_ = false;
        } else {
            bind::raise_arg_type(argname, "str, os.PathLike or Mapping[str, array]", src);
        }
    }
    const std::string &label() const { return label_; }
    const std::vector<std::string> &names() const { return names_; }
    bool metadata_known() const { return known_; }
    std::uint64_t total_bytes() {
        std::uint64_t t = 0;
        for (std::size_t i = 0; i < names_.size(); ++i) t += peek(i).nbytes;
        return t;
    }
    // Type and shape without the data (reads the value for mappings that are not plain dicts).
    Tensor peek(std::size_t i) { return get(i, false); }
    Tensor get(std::size_t i, bool with_data = true) {
        Tensor t;
        t.name = names_[i];
        if (!mapping_.is_valid()) {
            const auto &[r, info] = where_[i];
            t.reader = r.get();
            t.info = info;
            t.dtype = info->dtype;
            t.np_dtype = numpy_name(info->dtype);
            t.shape = info->shape;
            t.nbytes = info->nbytes();
            if (with_data) t.data = r->data(*info);
            return t;
        }
        nb::module_ np = bind::numpy();
        nb::object v = mapping_[nb::str(t.name.c_str())];
        nb::object arr = np.attr("asarray")(v);
        nb::object dt = arr.attr("dtype");
        t.np_dtype = bind::text(dt);
        if (!file_dtype(dt, t.dtype)) t.file_type = false;
        for (nb::handle n : arr.attr("shape")) t.shape.push_back(nb::cast<unsigned long long>(n));
        t.nbytes = nb::cast<unsigned long long>(arr.attr("nbytes"));
        if (with_data && t.file_type) {
            if (nb::cast<bool>(arr.attr("flags").attr("c_contiguous"))) t.mapped = arr;
            t.keep = np.attr("asarray")(arr, "order"_a = "C");
            t.buffer = contiguous_bytes(t.keep);
            t.data = t.buffer.data();
        }
        return t;
    }

private:
    void open_path(const fs::path &p) {
        SourceFiles files = open_source_files(p, false);
        names_ = std::move(files.names);
        where_ = std::move(files.where);
        known_ = true;
    }

    std::string label_;
    nb::object mapping_;
    bool known_ = false;
    std::vector<std::string> names_;
    std::vector<std::pair<std::shared_ptr<st::Reader>, const st::TensorInfo *>> where_;  // file sources
};

// ---- the library opened on disk -------------------------------------------------------------------------

struct Opened {
    fs::path dir;
    Manifest mf;
    nb::dict base_entry;
    fs::path base_file;
    std::shared_ptr<st::Reader> base;
    std::vector<std::string> base_names;

    explicit Opened(const fs::path &d) : dir(d) {
        // A writer may replace files between our reading the manifest and opening them: the
        // manifest is then read again (it changed), a few times at most.
        BaseFile b;
        for (int attempt = 0;; ++attempt) {
            try {
                mf = read_manifest(dir);
                b = open_base(dir, mf);
                break;
            } catch (nb::python_error &e) {
                if (attempt >= 4 || !e.matches(PyExc_FileNotFoundError) || current_digest(dir) == mf.digest) throw;
            }
        }
        base_entry = b.entry;
        base_file = b.file;
        base = b.reader;
        base_names = std::move(b.names);
        // Every record must fit its method and the base tensor it changes: checked here from the
        // manifest, so that a damaged library is refused when it is opened, not halfway through.
        nb::list fts = finetunes();
        for (std::size_t i = 0; i < nb::len(fts); ++i) {
            std::string w = "fine-tune entry " + std::to_string(i);
            nb::dict fe = mf.as_dict(fts[i], w);
            nb::list tl = mf.as_list(mf.key(fe, "tensors", w), w + " tensors");
            for (std::size_t k = 0; k < nb::len(tl); ++k) {
                std::string tw = w + " tensor " + std::to_string(k);
                nb::dict te = mf.as_dict(tl[k], tw);
                const st::TensorInfo *b = base_tensor(nb::cast<std::string>(mf.text(te, "name", tw)));
                check_record_entry(mf, te, tw, b ? &b->shape : nullptr);
            }
        }
    }
    nb::list finetunes() const { return mf.finetunes(); }
    std::optional<std::pair<nb::dict, std::size_t>> finetune(const std::string &id) const { return mf.finetune(id); }
    const st::TensorInfo *base_tensor(const std::string &name) const {
        if (std::find(base_names.begin(), base_names.end(), name) == base_names.end()) return nullptr;
        return base->find(name);
    }
};

// ---- LibraryReader (Python class) -----------------------------------------------------------------------

class LibraryReader {
public:
    explicit LibraryReader(const fs::path &dir) : lib_(std::make_unique<Opened>(dir)) {}
    Opened &lib() {
        if (!lib_) bind::raise(PyExc_ValueError, "the library reader is closed");
        return *lib_;
    }
    void close() {
        lib_.reset();
        readers_.clear();
    }
    std::shared_ptr<st::Reader> finetune_reader(nb::dict entry, const std::string &where, fs::path &file) {
        Opened &l = lib();
        file = checked_file(l.dir, l.mf, entry, where, false);
        auto it = readers_.find(file.string());
        if (it != readers_.end()) return it->second;
        auto r = open_reader(file);
        // Fine-tune files of one size are told apart by their digest only (two restored under
        // each other's names): each is checked against the manifest once, when first opened.
        if (sha256_mapped(*r) != nb::cast<std::string>(l.mf.text(entry, "sha256", where)))
            bind::raise(PyExc_ValueError, "library file " + quoted(file) + " of " + where +
                                              " is damaged or another fine-tune's: its SHA-256 differs from the "
                                              "one recorded in " +
                                              quoted(l.mf.file()) + "; nothing was read from it");
        readers_[file.string()] = r;
        return r;
    }
    nb::dict entry_of(const std::string &id) {
        auto e = lib().finetune(id);
        if (!e) {
            bind::raise(PyExc_KeyError, nb::str(id.c_str()));
        }
        return e->first;
    }
    // The records of one tensor (nullopt: the fine-tune has no such tensor).
    nb::object record(const std::string &id, const std::string &name) {
        nb::dict fe = entry_of(id);
        Opened &l = lib();
        std::string where = "fine-tune '" + id + "'";
        fs::path file;
        auto r = finetune_reader(fe, where, file);
        nb::list tl = l.mf.as_list(l.mf.key(fe, "tensors", where), where + " tensors");
        for (std::size_t i = 0; i < nb::len(tl); ++i) {
            std::string tw = where + " tensor " + std::to_string(i);
            nb::dict te = l.mf.as_dict(tl[i], tw);
            if (nb::cast<std::string>(l.mf.text(te, "name", tw)) == name) {
                const st::TensorInfo *b = l.base_tensor(name);
                return record_from(l.mf, te, *r, file, tw, b ? &b->shape : nullptr);
            }
        }
        return nb::object();
    }

private:
    std::unique_ptr<Opened> lib_;
    std::map<std::string, std::shared_ptr<st::Reader>> readers_;
};

// base + decompressed record for one tensor (numpy's types, as ModelLibrary.reconstruct). A
// record with a product form is added to the base in one pass from the base's stored bytes.
nb::object rebuild(Opened &l, const std::string &name, nb::handle rec) {
    const st::TensorInfo *b = l.base_tensor(name);
    if (b && st::is_float(b->dtype)) {
        nb::object x = fused_add_stored(Stored{l.base->data(*b), fused_kind(b->dtype), &b->shape}, rec);
        if (x.is_valid()) {
            l.base->release(*b);
            return x;
        }
    }
    nb::object d = own_attr("decompress")(rec);
    if (!b) return d;
    nb::object base = tensor_array(*l.base, *b);
    l.base->release(*b);
    return add_base(base, std::move(d));
}

// Sizes from the manifest alone: (dense bytes of the reconstruction, stored bytes, methods).
struct FinetuneSizes {
    std::size_t tensors = 0;
    long long dense = 0, stored = 0;
    std::vector<std::string> methods;
};

FinetuneSizes sizes_of(Opened &l, nb::dict fe, const std::string &where) {
    nb::module_ np = bind::numpy();
    FinetuneSizes out;
    nb::list tl = l.mf.as_list(l.mf.key(fe, "tensors", where), where + " tensors");
    for (std::size_t i = 0; i < nb::len(tl); ++i) {
        std::string tw = where + " tensor " + std::to_string(i);
        nb::dict te = l.mf.as_dict(tl[i], tw);
        std::string name = nb::cast<std::string>(l.mf.text(te, "name", tw));
        long long count = 1;
        for (nb::handle n : l.mf.as_list(l.mf.key(te, "shape", tw), tw + " shape")) count *= nb::cast<long long>(n);
        // Without the recorded size of the fine-tune as added: its tensors taken in the base's own
        // types (bf16 counts 2 bytes), the record's type where the base lacks the name.
        long long itemsize;
        if (const st::TensorInfo *b = l.base_tensor(name))
            itemsize = (long long) st::itemsize(b->dtype);
        else
            itemsize = nb::cast<long long>(np.attr("dtype")(l.mf.text(te, "dtype", tw)).attr("itemsize"));
        out.dense += count * itemsize;
        for (const char *field : {"cores", "factors"})
            for (nb::handle a : l.mf.as_list(l.mf.key(te, field, tw), tw + " " + field)) {
                nb::dict ae = l.mf.as_dict(a, tw + " " + field);
                if (!ae.contains("nbytes")) {
                    // A version 1 entry: the array's size comes from its file's header.
                    fs::path p = checked_file(l.dir, l.mf, fe, where, false);
                    auto r = open_reader(p);
                    const st::TensorInfo *t = r->find(nb::cast<std::string>(l.mf.text(ae, "key", tw)));
                    if (t) out.stored += (long long) t->nbytes();
                } else {
                    out.stored += l.mf.integer(ae, "nbytes", tw);
                }
            }
        nb::object m = l.mf.method_of(te, tw);
        std::string mt = nb::hasattr(m, "value") ? bind::text(m.attr("value")) : bind::text(m);
        if (std::find(out.methods.begin(), out.methods.end(), mt) == out.methods.end()) out.methods.push_back(mt);
        ++out.tensors;
    }
    // Entries written since record the fine-tune's bytes as added, in its own types.
    if (fe.contains("dense_bytes")) out.dense = l.mf.integer(fe, "dense_bytes", where);
    return out;
}

long long base_nbytes(Opened &l) {
    long long total = 0;
    for (const std::string &n : l.base_names) total += (long long) l.base->find(n)->nbytes();
    return total;
}

// ---- the library's files -------------------------------------------------------------------------------

// A header area for `n` tensors whose names take `name_bytes` bytes: 160 bytes of JSON per
// tensor besides its name, counted twice over as a margin (a header that outgrows it costs one
// move of the data when the file is finished).
std::size_t header_estimate(std::size_t n, std::size_t name_bytes) { return 256 + n * 160 + name_bytes * 2; }

std::uint64_t finish_file(st::Writer &w) {
    try {
        return os_call([&] { return w.finish({{"format", kFormat}}); });
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, std::string("cannot write the library file: ") + e.what());
    }
}

void commit_file(st::Writer &w, const fs::path &final_path) {
    os_call([&] { w.commit(final_path.string()); });
}

std::unique_ptr<st::Writer> new_writer(const fs::path &tmp) {
    return os_call([&] { return std::make_unique<st::Writer>(tmp.string()); });
}

// ---- create_library ----------------------------------------------------------------------------------------

nb::dict create_library(nb::handle path, nb::handle base_id, nb::handle source, bool wait, nb::handle progress) {
    fs::path dir = to_path(path);
    bind::arg_str(base_id, "base_id");
    Source src(source, "source");
    if (src.names().empty()) bind::raise(PyExc_ValueError, "'" + src.label() + "' holds no tensors");
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        bind::raise(PyExc_NotADirectoryError,
                    "cannot create a model library in " + quoted(dir) + ": it is not a directory");
    // Only leftovers of an add-base that died (its lock and temporary files) may be there: the
    // check runs before the lock file is made (a foreign directory is left untouched) and again
    // under the lock.
    auto refuse_occupied = [&] {
        for (const std::string &name : names_in(dir))
            if (!is_library_file(name) || name == kManifest)
                bind::raise(PyExc_FileExistsError, "cannot create a model library in " + quoted(dir) +
                                                       ": the directory is not empty; choose a new directory");
    };
    if (fs::exists(dir, ec)) refuse_occupied();
    fs::create_directories(dir, ec);
    if (ec) bind::raise_os(ec.value(), dir);
    LibraryLock lock(dir, wait);
    refuse_occupied();
    for (const std::string &n : src.names())
        if (n == "__metadata__")
            bind::raise(PyExc_ValueError,
                        "cannot save the library: the base tensor name '__metadata__' is reserved "
                        "by the safetensors format");

    Progress prog{nb::borrow(progress)};
    prog.total_tensors = src.names().size();
    if (src.metadata_known()) prog.total_bytes = src.total_bytes();
    std::size_t name_bytes = 0;
    for (const auto &n : src.names()) name_bytes += n.size();
    std::string token = fileio::random_token(), final_name = "base-" + token + ".safetensors";
    auto w = new_writer(dir / tmp_name(final_name));
    // Types and shapes known in advance: the header goes first, exactly as large as it needs.
    bool planned = src.metadata_known();
    try {
        if (planned) {
            std::vector<st::Planned> plan;
            for (std::size_t i = 0; i < src.names().size(); ++i) {
                Tensor t = src.peek(i);
                if (!t.file_type)
                    bind::raise(PyExc_TypeError, "cannot save the library: the base tensor '" + t.name +
                                                     "' has the element type " + t.np_dtype +
                                                     ", which has no file form");
                plan.push_back(st::Planned{t.name, t.dtype, t.shape});
            }
            os_call([&] { w->begin(plan, {{"format", kFormat}}); });
        } else {
            os_call([&] { w->begin_reserved(header_estimate(src.names().size(), name_bytes)); });
        }
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, std::string("cannot save the library: ") + e.what());
    }
    nb::list names, shapes, dtypes;
    long long nbytes = 0;
    for (std::size_t i = 0; i < src.names().size(); ++i) {
        Tensor t = src.get(i);
        if (!t.file_type)
            bind::raise(PyExc_TypeError, "cannot save the library: the base tensor '" + t.name +
                                             "' has the element type " + t.np_dtype + ", which has no file form");
        st::Planned p{t.name, t.dtype, t.shape};
        try {
            os_call([&] {
                {
                    nb::gil_scoped_release nogil;
                    w->write(t.data, std::size_t(t.nbytes));
                }
                if (!planned) w->add(p);
            });
        } catch (st::FormatError &e) {
            bind::raise(PyExc_ValueError, "the base tensor '" + t.name + "' changed while it was copied: " + e.what());
        }
        names.append(nb::str(t.name.c_str()));
        nb::list shape;
        for (auto e : t.shape) shape.append(nb::int_((long long) e));
        shapes.append(shape);
        dtypes.append(st::dtype_name(t.dtype));
        nbytes += (long long) t.nbytes;
        t.release();
        prog.step(t.nbytes);
    }
    std::uint64_t size = finish_file(*w);
    std::string sha = sha256_file(w->tmp_path());
    commit_file(*w, dir / final_name);

    nb::dict base_entry;
    base_entry["tensors"] = names;
    base_entry["shapes"] = shapes;
    base_entry["dtypes"] = dtypes;
    base_entry["nbytes"] = nb::int_(nbytes);
    base_entry["file"] = final_name;
    base_entry["size"] = nb::int_((long long) size);
    base_entry["sha256"] = sha;
    nb::dict manifest;
    manifest["format"] = kFormat;
    manifest["version"] = nb::int_(kVersion);
    manifest["base_id"] = base_id;
    manifest["method"] = own_attr("CompressionMethod").attr("TENSOR_TRAIN").attr("value");
    manifest["max_rank"] = nb::int_(8);
    manifest["energy"] = nb::none();
    manifest["base"] = base_entry;
    manifest["finetunes"] = nb::list();
    try {
        write_manifest(dir, manifest);
    } catch (...) {
        fs::remove(dir / final_name, ec);
        throw;
    }
    nb::dict out;
    out["tensors"] = nb::int_((long long) nb::len(names));
    out["bytes"] = nb::int_(nbytes);
    out["file_bytes"] = nb::int_((long long) size);
    return out;
}

// ---- add_finetune_from ------------------------------------------------------------------------------------

// add_finetune_from's checks of a source tensor against the library's base; `common` is set when
// the base holds its name.
void check_source_tensor(const Opened &l, const Tensor &t, const std::string &label, bool &common) {
    const st::TensorInfo *b = l.base_tensor(t.name);
    check_tensor(t.name, t.file_type && st::is_float(t.dtype), t.np_dtype, t.shape, b, label);
    if (b) common = true;
}

nb::dict add_finetune_from(nb::handle path, nb::handle model_id, nb::handle source, nb::handle method,
                           nb::handle max_rank, nb::handle energy, nb::handle solver, bool replace, bool wait,
                           nb::handle progress, nb::handle executor, nb::handle max_error, nb::handle bits,
                           nb::handle zstd) {
    if (!executor.is_none()) {
        if (!max_error.is_none())
            bind::raise(PyExc_ValueError,
                        "max_error chooses a method per tensor in this process; it cannot be combined "
                        "with an executor");
        return add_finetune_with(path, model_id, source, method, max_rank, energy, solver, replace, wait, progress,
                                 executor, bits, zstd);
    }
    fs::path dir = to_path(path);
    bind::arg_str(model_id, "model_id");
    std::string id = nb::cast<std::string>(model_id);
    Source src(source, "source");

    std::error_code ec;
    if (!fs::is_directory(dir, ec)) read_manifest(dir);  // the usual "no model library" errors
    LibraryLock lock(dir, wait);
    Opened l(dir);
    auto existing = l.finetune(id);
    if (existing && !replace)
        bind::raise(
            PyExc_FileExistsError,
            "the model library " + quoted(dir) + " already holds a fine-tune '" + id +
                "'; nothing was changed: replace it with replace=True (the command's --replace), or choose another id");

    // The options apply to this fine-tune only; the library's settings fill in the rest.
    Settings s = resolve_settings(l.mf, method, max_rank, energy, solver);
    if (!max_error.is_none()) {
        if (!energy.is_none())
            bind::raise(PyExc_ValueError,
                        "energy and max_error cannot both be set: each picks the compression on its own");
        s.max_error = nb::float_(bind::arg_float(max_error, "max_error"));
        s.energy = nb::none();
    }
    mixed_options(s, l.mf, bits, zstd);
    const bool mixed = is_mixed(s);

    // Types, shapes and the names in common are checked before any work where they are known.
    bool common = false;
    if (src.metadata_known()) {
        for (std::size_t i = 0; i < src.names().size(); ++i) check_source_tensor(l, src.peek(i), src.label(), common);
        if (!common && !src.names().empty() && !l.base_names.empty())
            bind::raise(PyExc_ValueError, "'" + src.label() +
                                              "' shares no tensor name with the library's base; is it a "
                                              "fine-tune of it?");
    }

    Progress prog{nb::borrow(progress)};
    prog.total_tensors = src.names().size();
    if (src.metadata_known()) prog.total_bytes = src.total_bytes();
    DeltaBuffer buffer;
    if (mixed) {
        // svd_mixed spends one budget over all the 2-D tensors: a first pass reads each tensor for
        // its singular values alone (memory follows the largest tensor), the second compresses.
        prog.total_tensors *= 2;
        prog.total_bytes *= 2;
        MixedPlan plan;
        for (std::size_t i = 0; i < src.names().size(); ++i) {
            Tensor t = src.get(i);
            check_source_tensor(l, t, src.label(), common);
            const st::TensorInfo *b = l.base_tensor(t.name);
            plan.add(buffer, t.name, t.data, t.dtype, t.shape, b ? l.base->data(*b) : nullptr, b);
            if (b) l.base->release(*b);
            t.release();
            prog.step(t.nbytes);
        }
        s.widths = plan.widths(s);
    }
    FinetuneFile file(dir, existing ? existing->second : nb::len(l.finetunes()), src.names());
    for (std::size_t i = 0; i < src.names().size(); ++i) {
        Tensor t = src.get(i);
        check_source_tensor(l, t, src.label(), common);
        const st::TensorInfo *b = l.base_tensor(t.name);
        TensorRecord r = compress_tensor(buffer, t.name, i, t.data, t.dtype, t.shape, b ? l.base->data(*b) : nullptr, b,
                                         s, "tensor '" + t.name + "' of fine-tune '" + id + "'");
        file.add(t.name, r, (long long) t.nbytes);
        if (b) l.base->release(*b);
        t.release();
        prog.step(t.nbytes);
    }
    if (!common && !src.names().empty() && !l.base_names.empty())
        bind::raise(PyExc_ValueError, "'" + src.label() +
                                          "' shares no tensor name with the library's base; is it a "
                                          "fine-tune of it?");
    return file.commit(l.mf, id, existing ? std::optional<std::size_t>(existing->second) : std::nullopt);
}

// ---- export_finetune --------------------------------------------------------------------------------------

// Whether `p` is `dir` or lies under it (both absolute and resolved).
bool within(const fs::path &p, const fs::path &dir) {
    auto d = dir.begin(), e = p.begin();
    for (; d != dir.end(); ++d, ++e) {
        if (d->empty()) continue;  // the empty last element of a path that ends in a separator
        if (e == p.end() || *e != *d) return false;
    }
    return true;
}

// An export lands in the file `target` by a rename, which would replace a library file in its
// place (the manifest, the base's bytes): a target in the library's directory, or one that
// resolves there through links, is refused before anything is written.
void refuse_target_in_library(const fs::path &dir, const fs::path &target) {
    std::error_code ec;
    fs::path lib = fs::weakly_canonical(fs::absolute(dir, ec), ec);
    if (ec) return;  // a library that cannot be resolved was not opened either
    fs::path abs = fs::absolute(target, ec);
    if (ec) return;
    fs::path parent = abs.has_filename() ? abs.parent_path() : abs;
    fs::path in_parent = fs::weakly_canonical(parent, ec) / abs.filename();
    fs::path resolved = fs::weakly_canonical(abs, ec);
    std::error_code eq;  // the same directory by another path (a bind mount) is the same directory
    const bool same_dir = fs::equivalent(parent, lib, eq);
    if (within(in_parent, lib) || (!ec && within(resolved, lib)) || (same_dir && !eq))
        bind::raise(PyExc_ValueError, "cannot export to " + quoted(target) + ": it is inside the model library " +
                                          quoted(dir) +
                                          ", whose files it would replace; nothing was written: choose a path "
                                          "outside the library");
}

nb::dict export_finetune(nb::handle path, nb::handle model_id, nb::handle out_file, nb::handle progress) {
    fs::path dir = to_path(path);
    bind::arg_str(model_id, "model_id");
    std::string id = nb::cast<std::string>(model_id);
    fs::path target = to_path(out_file);
    LibraryReader reader(dir);
    refuse_target_in_library(dir, target);
    Opened &l = reader.lib();
    nb::dict fe = reader.entry_of(id);
    std::string where = "fine-tune '" + id + "'";
    fs::path file;
    auto r = reader.finetune_reader(fe, where, file);
    nb::list tl = l.mf.as_list(l.mf.key(fe, "tensors", where), where + " tensors");
    nb::module_ np = bind::numpy();

    // The header goes first: every output tensor's type and shape follow from the manifest.
    std::vector<st::Planned> plan;
    std::vector<nb::dict> tes;
    for (std::size_t i = 0; i < nb::len(tl); ++i) {
        std::string tw = where + " tensor " + std::to_string(i);
        nb::dict te = l.mf.as_dict(tl[i], tw);
        st::Planned p;
        p.name = nb::cast<std::string>(l.mf.text(te, "name", tw));
        for (nb::handle n : l.mf.as_list(l.mf.key(te, "shape", tw), tw + " shape")) {
            long long v = -1;
            if (!nb::try_cast<long long>(n, v) || v < 0)
                l.mf.damaged(tw + " shape holds something other than non-negative integers");
            p.shape.push_back((unsigned long long) v);
        }
        nb::object dt = np.attr("dtype")(l.mf.text(te, "dtype", tw));
        if (const st::TensorInfo *b = l.base_tensor(p.name)) dt = np.attr("result_type")(numpy_dtype(b->dtype), dt);
        if (!file_dtype(dt, p.dtype)) l.mf.damaged(tw + " has a type that cannot be exported");
        plan.push_back(std::move(p));
        tes.push_back(te);
    }
    fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    fs::path tmp = parent / ("." + target.filename().string() + "." + std::to_string((long long) ::getpid()) + "." +
                             fileio::random_token() + ".tmp");
    auto w = new_writer(tmp);
    try {
        os_call([&] { w->begin(plan, {{"format", "pt"}}); });
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, e.what());
    }
    Progress prog{nb::borrow(progress)};
    prog.total_tensors = plan.size();
    std::uint64_t total = 0;
    for (const auto &p : plan) {
        std::uint64_t n = 0;
        st::checked_nbytes(p.shape, st::itemsize(p.dtype), n);
        total += n;
    }
    prog.total_bytes = total;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        std::string tw = where + " tensor " + std::to_string(i);
        const st::TensorInfo *bt = l.base_tensor(plan[i].name);
        nb::object rec = record_from(l.mf, tes[i], *r, file, tw, bt ? &bt->shape : nullptr);
        nb::object x = rebuild(l, plan[i].name, rec);
        rec = nb::object();
        x = np.attr("asarray")(x, "dtype"_a = numpy_dtype(plan[i].dtype), "order"_a = "C");
        bind::Buffer xb = contiguous_bytes(x);
        try {
            os_call([&] {
                nb::gil_scoped_release nogil;
                w->write(xb.data(), xb.size_bytes());
            });
        } catch (st::FormatError &e) {
            bind::raise(PyExc_ValueError, std::string("damaged library: ") + e.what());
        }
        prog.step(std::uint64_t(xb.size_bytes()));
    }
    std::uint64_t size = finish_file(*w);
    commit_file(*w, target);
    nb::dict out;
    out["tensors"] = nb::int_((long long) plan.size());
    out["bytes"] = nb::int_((long long) total);
    out["file_bytes"] = nb::int_((long long) size);
    return out;
}

}  // namespace

// ---- registration -----------------------------------------------------------------------------------------

void register_stream(nb::module_ &m) {
    nb::class_<LibraryReader>(m, "LibraryReader",
                              "A model library opened without loading it: the manifest is read and the files are "
                              "opened over memory maps; tensors and records are read on access. Made by "
                              "open_library(path).")
        .def_prop_ro("path", [](LibraryReader &r) { return r.lib().dir.string(); })
        .def_prop_ro("base_id",
                     [](LibraryReader &r) -> nb::object {
                         Opened &l = r.lib();
                         return l.mf.text(l.mf.root, "base_id", "the manifest");
                     })
        .def_prop_ro("method", [](LibraryReader &r) { return r.lib().mf.method_of(r.lib().mf.root, "the manifest"); })
        .def_prop_ro("max_rank",
                     [](LibraryReader &r) {
                         Opened &l = r.lib();
                         return l.mf.decode(l.mf.key(l.mf.root, "max_rank", "the manifest"), "\"max_rank\"");
                     })
        .def_prop_ro("energy",
                     [](LibraryReader &r) {
                         Opened &l = r.lib();
                         return l.mf.decode(l.mf.key(l.mf.root, "energy", "the manifest"), "\"energy\"");
                     })
        .def(
            "base_names",
            [](LibraryReader &r) {
                nb::list out;
                for (const auto &n : r.lib().base_names) out.append(nb::str(n.c_str()));
                return out;
            },
            "Names of the base tensors, in their saved order.")
        .def(
            "base_tensor",
            [](LibraryReader &r, const std::string &name) {
                Opened &l = r.lib();
                const st::TensorInfo *t = l.base_tensor(name);
                if (!t) {
                    bind::raise(PyExc_KeyError, nb::str(name.c_str()));
                }
                nb::object a = tensor_array(*l.base, *t);
                l.base->release(*t);
                return a;
            },
            "name"_a, "One base tensor, read now (a copy; bfloat16 values come back as float32).")
        .def(
            "base_bytes", [](LibraryReader &r) { return base_nbytes(r.lib()); },
            "Bytes of the base as stored (in its file types).")
        .def(
            "finetune_ids",
            [](LibraryReader &r) {
                Opened &l = r.lib();
                nb::list out;
                nb::list fts = l.finetunes();
                for (std::size_t i = 0; i < nb::len(fts); ++i) {
                    std::string w = "fine-tune entry " + std::to_string(i);
                    out.append(l.mf.text(l.mf.as_dict(fts[i], w), "key", w));
                }
                return out;
            },
            "Ids of the stored fine-tunes, in order.")
        .def(
            "finetune_info",
            [](LibraryReader &r, const std::string &id) {
                nb::dict fe = r.entry_of(id);
                FinetuneSizes s = sizes_of(r.lib(), fe, "fine-tune '" + id + "'");
                nb::dict out;
                out["tensors"] = nb::int_((long long) s.tensors);
                out["dense_bytes"] = nb::int_(s.dense);
                out["stored_bytes"] = nb::int_(s.stored);
                nb::list methods;
                for (const auto &m2 : s.methods) methods.append(nb::str(m2.c_str()));
                out["methods"] = methods;
                return out;
            },
            "model_id"_a,
            "Sizes of a stored fine-tune from the manifest alone: tensor count, dense bytes of the fine-tune "
            "as added, in its own types (fine-tunes added before this was recorded: its tensors in the "
            "base's types), stored bytes of its records, and the methods used.")
        .def(
            "summary",
            [](LibraryReader &r) {
                Opened &l = r.lib();
                long long naive = 0, stored = 0, base = base_nbytes(l);
                nb::list fts = l.finetunes();
                for (std::size_t i = 0; i < nb::len(fts); ++i) {
                    std::string w = "fine-tune entry " + std::to_string(i);
                    FinetuneSizes s = sizes_of(l, l.mf.as_dict(fts[i], w), w);
                    naive += s.dense;
                    stored += s.stored;
                }
                nb::dict out;
                out["n_models"] = nb::int_((long long) nb::len(fts));
                out["base_bytes"] = nb::int_(base);
                out["naive_total_bytes"] = nb::int_(naive);
                out["velkor_zuma_bytes"] = nb::int_(base + stored);
                out["overall_ratio"] = nb::float_(double(naive) / double(base + stored ? base + stored : 0));
                if (base + stored == 0) out["overall_ratio"] = nb::float_(std::numeric_limits<double>::infinity());
                out["delta_only_bytes"] = nb::int_(stored);
                return out;
            },
            "ModelLibrary.summary's accounting from the manifest alone, the fine-tunes counted at their dense "
            "size as added, in their own types (as finetune_info), and the base at its stored size.")
        .def(
            "delta",
            [](LibraryReader &r, const std::string &id) {
                nb::dict fe = r.entry_of(id);
                Opened &l = r.lib();
                std::string where = "fine-tune '" + id + "'";
                fs::path file;
                auto fr = r.finetune_reader(fe, where, file);
                nb::dict tensors;
                nb::list tl = l.mf.as_list(l.mf.key(fe, "tensors", where), where + " tensors");
                for (std::size_t i = 0; i < nb::len(tl); ++i) {
                    std::string tw = where + " tensor " + std::to_string(i);
                    nb::dict te = l.mf.as_dict(tl[i], tw);
                    nb::str name = l.mf.text(te, "name", tw);
                    const st::TensorInfo *b = l.base_tensor(nb::cast<std::string>(name));
                    tensors[name] = record_from(l.mf, te, *fr, file, tw, b ? &b->shape : nullptr);
                }
                return own_attr("CompressedDelta")("model_id"_a = l.mf.text(fe, "model_id", where),
                                                   "tensors"_a = tensors,
                                                   "base_id"_a = l.mf.text(fe, "base_id", where));
            },
            "model_id"_a, "The CompressedDelta of one stored fine-tune (its records read now).")
        .def(
            "reconstruct_tensor",
            [](LibraryReader &r, const std::string &id, const std::string &name) {
                nb::object rec = r.record(id, name);
                if (!rec.is_valid()) {
                    bind::raise(PyExc_KeyError, nb::str(name.c_str()));
                }
                return rebuild(r.lib(), name, rec);
            },
            "model_id"_a, "name"_a, "One tensor of a stored fine-tune rebuilt as base + decompressed delta.")
        .def(
            "load", [](LibraryReader &r) { return own_attr("ModelLibrary").attr("load")(r.lib().dir.string()); },
            "The whole library as a ModelLibrary (ModelLibrary.load of this directory).")
        .def("close", &LibraryReader::close, "Releases the files; later calls raise ValueError.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__exit__", [](LibraryReader &r, nb::args) { r.close(); });

    m.def(
        "open_library", [](nb::handle path) { return LibraryReader(to_path(path)); }, "path"_a.none(),
        "Opens the library in the directory `path` without loading it: a LibraryReader whose tensors and "
        "records are read on access. Readers never wait for writers.");
    m.def("create_library", &create_library, "path"_a.none(), "base_id"_a.none(), "source"_a.none(), nb::kw_only(),
          "wait"_a = true, "progress"_a.none() = nb::none(),
          "Creates a model library in the new or empty directory `path` on the base model `source` (a "
          ".safetensors file, a directory of shards, or a mapping of arrays read on access), copying it tensor "
          "by tensor in its own element types. Takes the library's writer lock (wait=False: BlockingIOError "
          "when another writer holds it). progress(tensors_done, tensors, bytes_done, bytes) is called after "
          "each tensor. Returns {'tensors', 'bytes', 'file_bytes'}.");
    m.def("add_finetune_from", &add_finetune_from, "path"_a.none(), "model_id"_a.none(), "source"_a.none(),
          nb::kw_only(), "method"_a.none() = nb::none(), "max_rank"_a.none() = nb::none(),
          "energy"_a.none() = nb::none(), "solver"_a.none() = nb::none(), "replace"_a = false, "wait"_a = true,
          "progress"_a.none() = nb::none(), "executor"_a.none() = nb::none(), "max_error"_a.none() = nb::none(),
          "bits"_a.none() = nb::none(), "zstd"_a.none() = nb::none(),
          "Adds the fine-tune `source` (a .safetensors file, a directory of shards, or a mapping of arrays read "
          "on access) to the library in `path` tensor by tensor, as ModelLibrary.add_finetune would store it, "
          "writing its file and the manifest and nothing else. method, max_rank and energy default to the "
          "library's (an explicit method without energy means no energy target); solver is passed to the "
          "compressors that take it. An id the library holds is refused unless replace=True. Returns "
          "{'model_id', 'tensors', 'dense_bytes', 'stored_bytes', 'file_bytes', 'error', 'replaced', 'methods', "
          "'larger_than_dense'}, error being reconstruction_error of the stored fine-tune against the source, "
          "methods the number of tensors each method stored, larger_than_dense the records that take more "
          "bytes than their delta stored dense. max_error (not with energy): each tensor gets the smallest "
          "record within that relative error (lowrank.compress_best), dense when nothing is smaller. With an "
          "executor (any concurrent.futures.Executor) the tensors are compressed by its tasks as "
          "add_finetunes_from does it, and `source` must be a path the workers can read (not with max_error). "
          "With method svd_mixed, one budget of `bits` bits a weight (default: the library's, else 1.2) is "
          "spent over all the 2-D tensors: a first pass reads each tensor for its singular values, the second "
          "compresses (progress then counts every tensor twice); zstd=True stores the codes as zstd frames.");
    m.def("export_finetune", &export_finetune, "path"_a.none(), "model_id"_a.none(), "out"_a.none(), nb::kw_only(),
          "progress"_a.none() = nb::none(),
          "Writes the stored fine-tune `model_id`, rebuilt tensor by tensor as ModelLibrary.reconstruct does, "
          "to the safetensors file `out` (written under a temporary name and renamed; a path inside the library's "
          "directory is refused). Returns {'tensors', 'bytes', 'file_bytes'}.");
}

}  // namespace vz::deltavault
