// ModelLibrary.save / ModelLibrary.load: a library kept in one directory.
//
//   manifest.json                         settings, the base's tensor names, shapes and file types,
//                                         every record's method, shape, dtype, metadata and arrays
//                                         (key, shape, type, bytes), and the size and SHA-256 of
//                                         every array file
//   base-<token>.safetensors              the base state dict, once, keyed by tensor name, each
//                                         tensor in its source's own type (bf16 and fp16 stay
//                                         2 bytes a value and round-trip exactly)
//   finetune-<token>-<i>.safetensors      fine-tune i's compressed records: their cores and
//                                         factors as stored (never the dense tensors), C-contiguous
//   .vz-lock                              the writers' lock (lock.cpp)
//
// What must stay: a file is written once under a fresh random token and never modified; the
// manifest is written last under a temporary name and renamed into place, and that rename is the
// commit: until then the previous manifest still names the previous files. Files are removed
// only after a committed manifest stopped naming them, and only names this module writes
// (base-*, finetune-*, .vz-tmp-*) are ever removed. Every writer holds the lock from before it
// reads the manifest until after it committed; temporary names carry the writer's pid and a
// random token, and the next writer removes those a killed writer left.
//
// What may change: the base file is written by add-base (or by a save whose base differs from
// the one on disk); a save of an unchanged base, or of an unchanged fine-tune, keeps its file.
// Version 1 manifests (every save wrote every file) are still read. A record array that was not
// C-contiguous when saved keeps its strides in the manifest and comes back with them, so that it
// decompresses bit for bit as before.
//
// Loading checks every array file's size and (for a whole load) its SHA-256, parses each file's
// header with overflow-checked arithmetic (core/safetensors), checks every record against its
// method's structure and the base tensor it changes, and reads each array with a copy; nothing
// is handed out that points into a file. Manifest values nest a bounded number of levels.
// A commit removes only files the previous manifest named; a directory whose manifest is not
// one of this format (or not JSON at all) is never written to.
#include "modules/deltavault/files.hpp"

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vz::deltavault {
using namespace nb::literals;
using namespace files;

namespace {

// ---- save: the target directory ---------------------------------------------------------------------------

// Refuses a directory that holds something other than a library of this module; creates a
// missing one.
void check_target(const fs::path &dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec) bind::raise_os(ec.value(), dir);
        return;
    }
    if (!fs::is_directory(dir, ec))
        bind::raise(PyExc_NotADirectoryError,
                    "cannot save a model library to " + quoted(dir) + ": it is not a directory");
    fs::path mf = dir / kManifest;
    if (fs::exists(mf, ec)) {
        // A manifest of another program is never overwritten; an unreadable one of ours is.
        nb::object parsed;
        std::string raw;
        try {
            raw = fileio::read_file(mf, kMaxManifestBytes);
        } catch (fileio::OsError &) {
            raw.clear();  // unreadable, or too large to be ours: tested as no JSON at all
        }
        try {
            parsed = bind::import("json").attr("loads")(nb::bytes(raw.data(), raw.size()));
        } catch (nb::python_error &e) {
            // A manifest that is not JSON cannot be told apart from another program's: refused.
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
            parsed = nb::none();
        }
        if (PyDict_Check(parsed.ptr())) {
            nb::dict d = nb::borrow<nb::dict>(parsed);
            if (bind::contains(d, "format") && nb::str(d["format"]).equal(nb::str(kFormat))) return;
        }
        bind::raise(PyExc_FileExistsError, "cannot save a model library to " + quoted(dir) + ": " + quoted(mf) +
                                               " belongs to something else; choose a new or empty directory");
    }
    for (const std::string &name : os_call([&] { return fileio::list_dir(dir); })) {
        if (!is_library_file(name))
            bind::raise(PyExc_FileExistsError, "cannot save a model library to " + quoted(dir) +
                                                   ": the directory is not empty and holds no model library; "
                                                   "choose a new or empty directory");
    }
}

// The manifest now in `dir` when it is a readable one of this format, else nothing.
std::optional<Manifest> previous_manifest(const fs::path &dir) {
    std::error_code ec;
    if (!fs::exists(dir / kManifest, ec)) return std::nullopt;
    try {
        return read_manifest(dir);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_OSError)) return std::nullopt;
        throw;
    }
}

// Whether the tensor in the file holds exactly the values of `arr` (same shape; same type, or
// a bf16 file tensor whose float32 widening equals a float32 array).
bool same_tensor(const st::Reader &r, const st::TensorInfo &t, nb::object arr) {
    nb::module_ np = bind::numpy();
    nb::tuple shape = nb::borrow<nb::tuple>(arr.attr("shape"));
    if (nb::len(shape) != t.shape.size()) return false;
    for (std::size_t i = 0; i < t.shape.size(); ++i)
        if (nb::cast<unsigned long long>(shape[i]) != t.shape[i]) return false;
    st::DType d;
    if (!file_dtype(arr.attr("dtype"), d)) return false;
    if (d == t.dtype) {
        bind::Buffer b = contiguous_bytes(np.attr("asarray")(arr, "order"_a = "C"));
        return b.size_bytes() == t.nbytes() && (t.nbytes() == 0 || std::memcmp(b.data(), r.data(t), t.nbytes()) == 0);
    }
    if (t.dtype == st::DType::BF16 && d == st::DType::F32) {
        nb::object wide = tensor_array(r, t);
        return nb::cast<bool>(np.attr("array_equal")(wide.attr("view")("uint32"),
                                                     np.attr("asarray")(arr, "order"_a = "C").attr("view")("uint32")));
    }
    return false;
}

// The previous base entry when it holds this base exactly (names, order and values).
nb::object reusable_base(const fs::path &dir, const Manifest &old, nb::handle base) {
    if (!old.root.contains("base") || !PyDict_Check(old.root["base"].ptr())) return nb::object();
    nb::dict entry = nb::borrow<nb::dict>(old.root["base"]);
    try {
        fs::path p = checked_file(dir, old, entry, "\"base\"", false);
        nb::list names = old.as_list(old.key(entry, "tensors", "\"base\""), "\"base\" tensors");
        nb::object items = nb::list(base.attr("items")());
        if (nb::len(names) != nb::len(items)) return nb::object();
        auto reader = open_reader(p);
        std::size_t i = 0;
        for (nb::handle item : items) {
            nb::handle name = item[0];
            if (!PyUnicode_Check(name.ptr()) || !nb::str(name).equal(names[i++])) return nb::object();
            const st::TensorInfo *t = reader->find(nb::cast<std::string>(name));
            if (!t) return nb::object();
            bool same = same_tensor(*reader, *t, bind::numpy().attr("asarray")(item[1]));
            reader->release(*t);
            if (!same) return nb::object();
        }
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_OSError)) return nb::object();
        throw;
    }
    return entry;
}

// The previous entry of fine-tune `key` when its file holds exactly these records.
nb::object reusable_finetune(const fs::path &dir, const Manifest &old, nb::dict fresh,
                             const std::vector<std::pair<std::string, nb::object>> &arrays) {
    if (!old.root.contains("finetunes") || !PyList_Check(old.root["finetunes"].ptr())) return nb::object();
    for (nb::handle e : old.root["finetunes"]) {
        if (!PyDict_Check(e.ptr())) continue;
        nb::dict prev = nb::borrow<nb::dict>(e);
        nb::dict bare;
        for (auto kv : prev) {
            std::string k = bind::text(kv.first);
            if (k != "file" && k != "size" && k != "sha256") bare[kv.first] = kv.second;
        }
        if (!bare.equal(fresh)) continue;
        try {
            fs::path p = checked_file(dir, old, prev, "a fine-tune entry", false);
            auto reader = open_reader(p);
            if (reader->tensors().size() != arrays.size()) continue;
            bool same = true;
            for (const auto &kv : arrays) {
                const st::TensorInfo *t = reader->find(kv.first);
                if (!t || !same_tensor(*reader, *t, kv.second)) {
                    same = false;
                    break;
                }
            }
            if (same) return prev;
        } catch (nb::python_error &ex) {
            if (ex.matches(PyExc_ValueError) || ex.matches(PyExc_OSError)) continue;
            throw;
        }
    }
    return nb::object();
}

// The same as `known`: the manifest this library last read from or wrote to `dir` is still the
// one there (or it never met `dir`).
void refuse_changed_since(nb::handle self, const fs::path &dir) {
    std::string known = remembered_manifest(self, dir), now = current_digest(dir);
    if (!known.empty() && known != now)
        bind::raise(PyExc_RuntimeError, "cannot save the library to " + quoted(dir) +
                                            ": its manifest changed since "
                                            "this library was loaded from or saved there (another writer committed in "
                                            "between); nothing was changed: load it again and repeat your changes");
}

// ---- save: check and compute ------------------------------------------------------------------------------

using Arrays = std::vector<std::pair<std::string, nb::object>>;

// One file to be written: its arrays (C-contiguous, of a file type) and its manifest entry (which
// gains "file", "size" and "sha256" when it is written or kept).
struct PlannedFile {
    nb::dict entry;
    Arrays arrays;
};

// The library's settings as manifest fields; a field of the wrong type is refused.
nb::dict manifest_fields(nb::handle self) {
    nb::object methods = own_attr("CompressionMethod");
    nb::dict manifest;
    manifest["format"] = kFormat;
    manifest["version"] = nb::int_(kVersion);
    manifest["base_id"] = need_str(self.attr("base_id"), "base_id");
    nb::object method = self.attr("method");
    if (nb::isinstance(method, methods)) {
        manifest["method"] = method.attr("value");
    } else {
        methods(method);  // an unknown method fails here with the enumeration's error
        manifest["method_text"] = need_str(method, "method");
    }
    manifest["max_rank"] = encode(self.attr("max_rank"), "max_rank");
    manifest["energy"] = encode(self.attr("energy"), "energy");
    manifest["solver"] = need_str(self.attr("solver"), "solver");
    // svd_mixed's budget and zstd choice: written only when they differ from the defaults, so
    // that other libraries' manifests stay as they were.
    nb::object bits = self.attr("bits"), zstd = self.attr("zstd");
    if (!bits.equal(nb::float_(1.2))) manifest["bits"] = encode(bits, "bits");
    if (!zstd.is(Py_False)) manifest["zstd"] = encode(zstd, "zstd");
    return manifest;
}

// The base's file: its tensors in file form (a non-native byte order stored natively) and the
// entry naming their names, shapes, types and bytes.
PlannedFile plan_base(nb::handle base) {
    nb::module_ np = bind::numpy();
    PlannedFile out;
    nb::list names, shapes, dtypes;
    long long nbytes = 0;
    for (nb::handle item : base.attr("items")()) {
        std::string name = need_str(item[0], "a base tensor name");
        if (name == "__metadata__")
            bind::raise(PyExc_ValueError,
                        "cannot save the library: the base tensor name '__metadata__' is reserved "
                        "by the safetensors format");
        nb::object arr = np.attr("asarray")(item[1], "order"_a = "C");
        st::DType d;
        if (!file_dtype(arr.attr("dtype"), d)) {
            // Non-native byte order is stored natively; other types have no file form.
            nb::object native = arr.attr("dtype").attr("newbyteorder")("=");
            if (!file_dtype(native, d))
                bind::raise(PyExc_TypeError, "cannot save the library: the base tensor '" + name +
                                                 "' has the element type " + bind::text(arr.attr("dtype")) +
                                                 ", which has no file form");
            arr = arr.attr("astype")(native);
        }
        out.arrays.emplace_back(name, arr);
        names.append(item[0]);
        nb::list shape;
        for (nb::handle n : arr.attr("shape")) shape.append(nb::int_(n));
        shapes.append(shape);
        dtypes.append(st::dtype_name(d));
        nbytes += nb::cast<long long>(arr.attr("nbytes"));
    }
    out.entry["tensors"] = names;
    out.entry["shapes"] = shapes;
    out.entry["dtypes"] = dtypes;
    out.entry["nbytes"] = nb::int_(nbytes);
    return out;
}

// Each fine-tune's file: its records' arrays and the entry describing them.
std::vector<PlannedFile> plan_finetunes(nb::handle deltas) {
    nb::module_ np = bind::numpy();
    std::vector<PlannedFile> out;
    for (nb::handle item : deltas.attr("items")()) {
        std::string key = need_str(item[0], "a deltas key");
        nb::handle cd = item[1];
        PlannedFile f;
        f.entry["key"] = item[0];
        f.entry["model_id"] = need_str(cd.attr("model_id"), "the model_id of fine-tune '" + key + "'");
        f.entry["base_id"] = need_str(cd.attr("base_id"), "the base_id of fine-tune '" + key + "'");
        nb::list tensors;
        std::size_t i = 0;
        for (nb::handle t : cd.attr("tensors").attr("items")()) {
            std::string name = need_str(t[0], "a tensor name of fine-tune '" + key + "'");
            std::string where = "tensor '" + name + "' of fine-tune '" + key + "'";
            tensors.append(record_entry(np, t[0], t[1], i++, f.arrays, where));
        }
        f.entry["tensors"] = tensors;
        out.push_back(std::move(f));
    }
    return out;
}

// ---- save: write ------------------------------------------------------------------------------------------

// The files one save writes, each under a temporary name until commit renames them all; those
// that were renamed are removed again when the manifest naming them cannot be written.
class NewFiles {
public:
    explicit NewFiles(const fs::path &dir) : dir_(dir), token_(fileio::random_token()) {}
    const std::string &token() const { return token_; }
    std::set<std::string> &keep() { return keep_; }  // every file the new manifest names

    // Writes `f` as `final_name` (under a temporary name) and completes its entry.
    void write(const std::string &final_name, PlannedFile &f) {
        writers_.push_back(
            os_call([&] { return std::make_unique<st::Writer>((dir_ / tmp_name(final_name)).string()); }));
        auto [size, sha] = write_arrays(*writers_.back(), f.arrays);
        f.entry["file"] = final_name;
        f.entry["size"] = nb::int_((long long) size);
        f.entry["sha256"] = sha;
        finals_.push_back(final_name);
        keep_.insert(final_name);
    }
    // Renames the files into place, then commits `manifest` (its rename commits the save);
    // returns the manifest's digest. On failure none of the new files is left.
    std::string commit(nb::dict manifest) {
        try {
            os_call([&] {
                for (std::size_t i = 0; i < writers_.size(); ++i) writers_[i]->commit((dir_ / finals_[i]).string());
            });
        } catch (...) {
            remove_finals();
            throw;
        }
        try {
            return write_manifest(dir_, manifest);
        } catch (...) {
            remove_finals();
            throw;
        }
    }

private:
    // Writes arrays (already C-contiguous, file-representable) as one safetensors file under its
    // temporary name; returns (size, sha256) and leaves the writer to be committed.
    static std::pair<std::uint64_t, std::string> write_arrays(st::Writer &w, const Arrays &arrays) {
        std::vector<st::Planned> plan;
        for (const auto &kv : arrays) {
            st::Planned p;
            p.name = kv.first;
            if (!file_dtype(kv.second.attr("dtype"), p.dtype))
                bind::raise(PyExc_TypeError, "cannot save the library: the array '" + kv.first +
                                                 "' has the element type " + bind::text(kv.second.attr("dtype")) +
                                                 ", which has no file form");
            for (nb::handle n : kv.second.attr("shape")) p.shape.push_back(nb::cast<unsigned long long>(n));
            plan.push_back(std::move(p));
        }
        try {
            os_call([&] { w.begin(plan, {{"format", kFormat}}); });
            for (const auto &kv : arrays) {
                bind::Buffer b = contiguous_bytes(kv.second);
                os_call([&] {
                    nb::gil_scoped_release nogil;
                    w.write(b.data(), b.size_bytes());
                });
            }
            os_call([&] { w.finish(); });
        } catch (st::FormatError &e) {
            bind::raise(PyExc_ValueError, std::string("cannot save the library: ") + e.what());
        }
        fs::path tmp = w.tmp_path();
        std::uint64_t size = os_call([&] { return fileio::file_size(tmp); });
        return {size, sha256_file(tmp)};
    }
    void remove_finals() {
        std::error_code ec;
        for (const std::string &n : finals_) fs::remove(dir_ / n, ec);
    }

    fs::path dir_;
    std::string token_;
    std::vector<std::unique_ptr<st::Writer>> writers_;
    std::vector<std::string> finals_;
    std::set<std::string> keep_;
};

// The base's entry: the previous file where it holds this base exactly, else a new file.
nb::dict place_base(const fs::path &dir, const std::optional<Manifest> &old, nb::handle base, PlannedFile &f,
                    NewFiles &files) {
    nb::object reuse = old ? reusable_base(dir, *old, base) : nb::object();
    if (!reuse.is_valid()) {
        files.write("base-" + files.token() + ".safetensors", f);
        return f.entry;
    }
    nb::dict kept = nb::borrow<nb::dict>(reuse);
    for (const char *k : {"file", "size", "sha256"}) f.entry[k] = kept[k];
    // The values may have come back wider (bf16 read as float32): the file's types stand.
    if (bind::contains(kept, "dtypes")) f.entry["dtypes"] = kept["dtypes"];
    if (bind::contains(kept, "nbytes")) f.entry["nbytes"] = kept["nbytes"];
    files.keep().insert(bind::text(kept["file"]));
    return f.entry;
}

// The fine-tunes' entries: each the previous one where its file holds exactly these records,
// else a new file's.
nb::list place_finetunes(const fs::path &dir, const std::optional<Manifest> &old, std::vector<PlannedFile> &fts,
                         NewFiles &files) {
    nb::list entries;
    for (std::size_t index = 0; index < fts.size(); ++index) {
        PlannedFile &f = fts[index];
        nb::object prev = old ? reusable_finetune(dir, *old, f.entry, f.arrays) : nb::object();
        if (prev.is_valid()) {
            entries.append(prev);
            files.keep().insert(bind::text(prev["file"]));
        } else {
            files.write("finetune-" + files.token() + "-" + std::to_string(index) + ".safetensors", f);
            entries.append(f.entry);
        }
    }
    return entries;
}

// Everything that goes to disk is checked and computed first, so that a library that cannot be
// saved is refused before any file is written; then, under the lock, the array files are written
// and the manifest last, whose rename commits the save (all or nothing).
void save(nb::handle self, nb::handle path) {
    fs::path dir = to_path(path);
    nb::dict manifest = manifest_fields(self);
    nb::object base = self.attr("base");
    PlannedFile base_file = plan_base(base);
    std::vector<PlannedFile> finetunes = plan_finetunes(self.attr("deltas"));

    check_target(dir);
    LibraryLock lock(dir, true);
    refuse_changed_since(self, dir);
    std::optional<Manifest> old = previous_manifest(dir);
    NewFiles files(dir);
    manifest["base"] = place_base(dir, old, base, base_file, files);
    manifest["finetunes"] = place_finetunes(dir, old, finetunes, files);
    std::string digest = files.commit(manifest);
    remember_manifest(self, dir, digest);
    // Files of the previous manifest that this one no longer names.
    remove_unreferenced(dir, files.keep(), old ? referenced(*old) : std::set<std::string>());
}

// ---- load: read and check, then build ---------------------------------------------------------------------

// The base's tensors in their saved order, read from its file (size and SHA-256 checked), and
// their shapes by name (which the records are checked against).
nb::dict read_base(const fs::path &dir, const Manifest &mf, std::map<std::string, Shape> &shapes) {
    nb::dict entry = mf.as_dict(mf.key(mf.root, "base", "the manifest"), "\"base\"");
    fs::path file = checked_file(dir, mf, entry, "\"base\"", true);
    auto reader = open_reader(file);
    nb::dict base;
    for (nb::handle name : mf.as_list(mf.key(entry, "tensors", "\"base\""), "\"base\" tensors")) {
        if (!PyUnicode_Check(name.ptr())) mf.damaged("\"base\" tensors holds a name that is not text");
        const st::TensorInfo *t = reader->find(nb::cast<std::string>(name));
        if (!t)
            bind::raise(PyExc_ValueError, "library file " + quoted(file) + " lacks the array '" +
                                              nb::cast<std::string>(name) + "' listed in " + quoted(mf.file()));
        base[name] = tensor_array(*reader, *t);
        shapes[t->name] = t->shape;
        reader->release(*t);
    }
    return base;
}

// Every fine-tune's CompressedDelta, its records read from its file (size and SHA-256 checked)
// and checked against their methods and the base.
nb::dict read_finetunes(const fs::path &dir, const Manifest &mf, const std::map<std::string, Shape> &base_shapes) {
    nb::object delta_cls = own_attr("CompressedDelta");
    nb::dict deltas;
    nb::list entries = mf.finetunes();
    for (std::size_t fi = 0; fi < nb::len(entries); ++fi) {
        std::string where = "fine-tune entry " + std::to_string(fi);
        nb::dict fe = mf.as_dict(entries[fi], where);
        nb::str key = mf.text(fe, "key", where);
        fs::path file = checked_file(dir, mf, fe, where, true);
        auto reader = open_reader(file);
        nb::dict tensors;
        nb::list tlist = mf.as_list(mf.key(fe, "tensors", where), where + " tensors");
        for (std::size_t ti = 0; ti < nb::len(tlist); ++ti) {
            std::string twhere = where + " tensor " + std::to_string(ti);
            nb::dict te = mf.as_dict(tlist[ti], twhere);
            nb::str name = mf.text(te, "name", twhere);
            auto b = base_shapes.find(nb::cast<std::string>(name));
            tensors[name] = record_from(mf, te, *reader, file, twhere, b == base_shapes.end() ? nullptr : &b->second);
        }
        deltas[key] = delta_cls("model_id"_a = mf.text(fe, "model_id", where), "tensors"_a = tensors,
                                "base_id"_a = mf.text(fe, "base_id", where));
    }
    return deltas;
}

// Nothing is built until every file has been read and checked: a damaged library raises and
// hands out nothing.
nb::object load(nb::handle cls, nb::handle path) {
    fs::path dir = to_path(path);
    Manifest mf = read_manifest(dir);
    nb::str base_id = mf.text(mf.root, "base_id", "the manifest");
    nb::object method = mf.method_of(mf.root, "the manifest");
    nb::object max_rank = mf.decode(mf.key(mf.root, "max_rank", "the manifest"), "\"max_rank\"");
    nb::object energy = mf.decode(mf.key(mf.root, "energy", "the manifest"), "\"energy\"");
    nb::str solver = mf.solver();
    nb::dict mixed;  // svd_mixed's settings, where the manifest records them
    if (mf.root.contains("bits")) mixed["bits"] = mf.decode(mf.root["bits"], "\"bits\"");
    if (mf.root.contains("zstd")) mixed["zstd"] = mf.decode(mf.root["zstd"], "\"zstd\"");
    std::map<std::string, Shape> base_shapes;
    nb::dict base = read_base(dir, mf, base_shapes);
    nb::dict deltas = read_finetunes(dir, mf, base_shapes);

    nb::object lib = cls("base_id"_a = base_id, "base"_a = base, "deltas"_a = deltas, "method"_a = method,
                         "max_rank"_a = max_rank, "energy"_a = energy, "solver"_a = solver, **mixed);
    remember_manifest(lib, dir, mf.digest);
    return lib;
}

}  // namespace

void register_storage(nb::handle library_cls) {
    bind::add_method(library_cls, "save", &save, "path"_a,
                     "Writes the library to the directory `path` (created if needed): the base once and "
                     "each fine-tune's compressed records in safetensors files, and a JSON manifest. The "
                     "save is atomic: an interrupted save leaves the previous library loadable. Files whose "
                     "contents are unchanged (an unchanged base, unchanged fine-tunes) are kept as they are. "
                     "Takes the library's writer lock, and refuses (changing nothing) when the directory's "
                     "manifest changed since this library was loaded from or saved there.");
    bind::add_classmethod(library_cls, "load", &load, "cls"_a, "path"_a,
                          "Reads a library written by save. A missing, damaged or foreign directory raises an "
                          "error naming the file.");
}

}  // namespace vz::deltavault
