// Shared pieces of the on-disk library: names, the manifest, element types, records.
#include "modules/deltavault/files.hpp"

#include <algorithm>
#include <cstring>

namespace vz::deltavault::files {
using namespace nb::literals;

std::string quoted(const fs::path &p) { return "'" + p.string() + "'"; }

fs::path to_path(nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) && !nb::hasattr(path, "__fspath__"))
        bind::raise_arg_type("path", "str or os.PathLike", path);
    nb::object s = bind::import("os").attr("fspath")(path);
    if (!PyUnicode_Check(s.ptr())) bind::raise_arg_type("path", "str or os.PathLike", path);
    return fs::path(nb::cast<std::string>(s));
}

namespace {

bool is_hex(const std::string &s) { return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos; }

}  // namespace

bool is_library_file(const std::string &name) {
    const std::string ext = ".safetensors";
    if (name.rfind(kTmpPrefix, 0) == 0 || name == kLockName) return true;
    if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return false;
    std::string stem = name.substr(0, name.size() - ext.size());
    if (stem.rfind("base-", 0) == 0) return stem.size() == 21 && is_hex(stem.substr(5));
    if (stem.rfind("finetune-", 0) == 0) {
        std::string rest = stem.substr(9);
        return rest.size() > 17 && rest[16] == '-' && is_hex(rest.substr(0, 16)) &&
               rest.find_first_not_of("0123456789", 17) == std::string::npos;
    }
    return false;
}

// ---- hashing ---------------------------------------------------------------------------------------

nb::object bytes_view(const void *p, std::size_t n, nb::handle owner) {
    // A read-only memoryview over foreign memory; `owner` is kept alive by the numpy array that
    // wraps it when the caller needs that (hashlib only reads it during the call).
    (void) owner;
    return bind::steal_or_raise(
        PyMemoryView_FromMemory(static_cast<char *>(const_cast<void *>(p)), Py_ssize_t(n), PyBUF_READ));
}

std::string sha256_file(const fs::path &p) {
    nb::object h = bind::import("hashlib").attr("sha256")();
    nb::object update = h.attr("update");
    // Pieces of 64 MiB: few calls into hashlib, and the pieces already hashed leave this
    // process's resident set.
    const std::size_t piece = std::size_t(64) << 20;
    os_call([&] {
        fileio::for_each_piece(p, piece, [&](const void *data, std::size_t n) { update(bytes_view(data, n, {})); });
    });
    return bind::text(h.attr("hexdigest")());
}

std::string sha256_mapped(const st::Reader &r) {
    nb::object h = bind::import("hashlib").attr("sha256")();
    nb::object update = h.attr("update");
    const std::size_t piece = std::size_t(64) << 20;
    const std::uint64_t size = r.file_size();
    for (std::uint64_t at = 0; at < size; at += piece)
        update(bytes_view(r.file_bytes() + at, std::size_t(std::min<std::uint64_t>(piece, size - at)), {}));
    return bind::text(h.attr("hexdigest")());
}

std::string sha256_bytes(const std::string &data) {
    nb::object h = bind::import("hashlib").attr("sha256")(nb::bytes(data.data(), data.size()));
    return bind::text(h.attr("hexdigest")());
}

// ---- manifest ---------------------------------------------------------------------------------------

[[noreturn]] void Manifest::damaged(const std::string &what) const {
    bind::raise(PyExc_ValueError, "damaged model library manifest " + quoted(file_) + ": " + what);
}
nb::dict Manifest::as_dict(nb::handle v, const std::string &what) const {
    if (!PyDict_Check(v.ptr())) damaged(what + " is not a JSON object");
    return nb::borrow<nb::dict>(v);
}
nb::list Manifest::as_list(nb::handle v, const std::string &what) const {
    if (!PyList_Check(v.ptr())) damaged(what + " is not a JSON list");
    return nb::borrow<nb::list>(v);
}
nb::object Manifest::key(nb::dict d, const char *k, const std::string &where) const {
    PyObject *v = PyDict_GetItemString(d.ptr(), k);
    if (!v) damaged(where + " lacks \"" + k + "\"");
    return nb::borrow(v);
}
nb::str Manifest::text(nb::dict d, const char *k, const std::string &where) const {
    nb::object v = key(d, k, where);
    if (!PyUnicode_Check(v.ptr())) damaged(where + " \"" + k + "\" is not text");
    return nb::borrow<nb::str>(v);
}
long long Manifest::integer(nb::dict d, const char *k, const std::string &where) const {
    nb::object v = key(d, k, where);
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) damaged(where + " \"" + k + "\" is not an integer");
    long long r = 0;
    if (!nb::try_cast<long long>(v, r)) damaged(where + " \"" + k + "\" is out of range");
    return r;
}

// Metadata nests a few levels at most; deeper nesting is refused rather than recursed into.
constexpr int kMaxDepth = 32;

nb::object Manifest::decode(nb::handle v, const std::string &where, int depth) const {
    if (depth > kMaxDepth) damaged(where + " nests deeper than " + std::to_string(kMaxDepth) + " levels");
    PyObject *o = v.ptr();
    if (PyList_Check(o)) {
        nb::list out;
        for (nb::handle e : v) out.append(decode(e, where, depth + 1));
        return out;
    }
    if (PyDict_Check(o)) {
        nb::dict d = nb::borrow<nb::dict>(v);
        if (d.size() == 1 && d.contains("tuple")) {
            nb::list items = as_list(d["tuple"], where);
            nb::list out;
            for (nb::handle e : items) out.append(decode(e, where, depth + 1));
            return nb::tuple(out);
        }
        if (d.size() == 1 && d.contains("dict")) {
            nb::dict inner = as_dict(d["dict"], where), out;
            for (auto kv : inner) out[kv.first] = decode(kv.second, where, depth + 1);
            return out;
        }
        damaged(where + " holds an unknown tagged value");
    }
    return nb::borrow(v);
}

nb::object Manifest::method_of(nb::dict d, const std::string &where) const {
    if (d.contains("method_text")) return text(d, "method_text", where);
    nb::str v = text(d, "method", where);
    try {
        return own_attr("CompressionMethod")(v);
    } catch (nb::python_error &) {
        damaged(where + " has the unknown method '" + nb::cast<std::string>(v) + "'");
    }
}

namespace {

// Parses JSON text with the host's json module, refusing nesting that would exhaust its
// recursion (a crafted manifest of a million "[" is a ValueError, not a RecursionError).
nb::object parse_json(const std::string &raw, const Manifest &mf) {
    int depth = 0, deepest = 0;
    bool in_str = false, esc = false;
    for (char c : raw) {
        if (in_str) {
            if (esc)
                esc = false;
            else if (c == '\\')
                esc = true;
            else if (c == '"')
                in_str = false;
            continue;
        }
        if (c == '"')
            in_str = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if (c == ']' || c == '}')
            --depth;
    }
    if (deepest > 2 * kMaxDepth + 8) mf.damaged("it nests deeper than any library manifest");
    try {
        return bind::import("json").attr("loads")(nb::bytes(raw.data(), raw.size()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        e.restore();
        bind::raise_from(PyExc_ValueError,
                         "damaged model library manifest " + quoted(mf.file()) + ": it is not valid JSON");
    }
}

}  // namespace

std::string read_manifest_bytes(const fs::path &file) {
    return os_call([&] { return fileio::read_file(file, kMaxManifestBytes); });
}

nb::str Manifest::solver() const {
    if (!root.contains("solver")) return nb::str("exact");
    // Any text: an unknown name is refused where it is used, as ModelLibrary's own field is.
    return text(root, "solver", "the manifest");
}

nb::list Manifest::finetunes() const { return as_list(key(root, "finetunes", "the manifest"), "\"finetunes\""); }

std::optional<std::pair<nb::dict, std::size_t>> Manifest::finetune(const std::string &id) const {
    nb::list l = finetunes();
    for (std::size_t i = 0; i < nb::len(l); ++i) {
        std::string where = "fine-tune entry " + std::to_string(i);
        nb::dict e = as_dict(l[i], where);
        if (nb::cast<std::string>(text(e, "key", where)) == id) return std::make_pair(e, i);
    }
    return std::nullopt;
}

Manifest read_manifest(const fs::path &dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec))
        bind::raise(PyExc_FileNotFoundError, "no model library at " + quoted(dir) +
                                                 ": the directory does not exist; ModelLibrary.save writes one");
    if (!fs::is_directory(dir, ec))
        bind::raise(PyExc_NotADirectoryError, "no model library at " + quoted(dir) + ": it is not a directory");
    Manifest mf(dir / kManifest);
    if (!fs::exists(mf.file(), ec))
        bind::raise(PyExc_FileNotFoundError, "no model library at " + quoted(dir) + ": " + quoted(mf.file()) +
                                                 " is missing; ModelLibrary.save writes it");
    std::string raw = read_manifest_bytes(mf.file());
    mf.digest = sha256_bytes(raw);
    nb::object parsed = parse_json(raw, mf);
    if (!PyDict_Check(parsed.ptr()) || !nb::borrow<nb::dict>(parsed).contains("format") ||
        !nb::str(nb::borrow<nb::dict>(parsed)["format"]).equal(nb::str(kFormat)))
        bind::raise(PyExc_ValueError, quoted(mf.file()) +
                                          " is not a velkor_zuma model library manifest (its \"format\" "
                                          "is not \"" +
                                          kFormat + "\")");
    mf.root = nb::borrow<nb::dict>(parsed);
    long long version = mf.integer(mf.root, "version", "the manifest");
    if (version != 1 && version != kVersion)
        bind::raise(PyExc_ValueError, quoted(mf.file()) + " has library format version " + std::to_string(version) +
                                          "; this version of velkor_zuma reads versions 1 and " +
                                          std::to_string(kVersion));
    mf.version = long(version);
    return mf;
}

std::string current_digest(const fs::path &dir) {
    fs::path p = dir / kManifest;
    std::error_code ec;
    if (!fs::exists(p, ec)) return "";
    return sha256_bytes(read_manifest_bytes(p));
}

fs::path entry_path(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where) {
    std::string name = nb::cast<std::string>(mf.text(entry, "file", where));
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos || name.find('\0') != std::string::npos)
        mf.damaged(where + " names the file '" + name + "', which is not a plain file name");
    return dir / name;
}

fs::path checked_file(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where, bool verify) {
    fs::path p = entry_path(dir, mf, entry, where);
    long long size = mf.integer(entry, "size", where);
    std::string sha = nb::cast<std::string>(mf.text(entry, "sha256", where));
    std::error_code ec;
    if (!fs::is_regular_file(p, ec))
        bind::raise(PyExc_FileNotFoundError, "library file " + quoted(p) + " is missing (listed in " +
                                                 quoted(mf.file()) +
                                                 "); the library is incomplete: save it again from a complete copy");
    std::uint64_t actual = os_call([&] { return fileio::file_size(p); });
    if ((long long) actual != size)
        bind::raise(PyExc_ValueError, "library file " + quoted(p) + " is damaged: it holds " + std::to_string(actual) +
                                          " bytes, " + quoted(mf.file()) + " records " + std::to_string(size));
    if (verify && sha256_file(p) != sha)
        bind::raise(PyExc_ValueError, "library file " + quoted(p) + " is damaged: its SHA-256 differs from the one " +
                                          "recorded in " + quoted(mf.file()));
    return p;
}

std::shared_ptr<st::Reader> open_reader(const fs::path &p) {
    try {
        return os_call([&] { return std::make_shared<st::Reader>(p.string()); });
    } catch (st::FormatError &e) {
        bind::raise(PyExc_ValueError, "library file " + quoted(p) + " is not a readable safetensors file: " + e.what());
    }
}

BaseFile open_base(const fs::path &dir, const Manifest &mf) {
    BaseFile b;
    b.entry = mf.as_dict(mf.key(mf.root, "base", "the manifest"), "\"base\"");
    b.file = checked_file(dir, mf, b.entry, "\"base\"", false);
    b.reader = open_reader(b.file);
    for (nb::handle name : mf.as_list(mf.key(b.entry, "tensors", "\"base\""), "\"base\" tensors")) {
        if (!PyUnicode_Check(name.ptr())) mf.damaged("\"base\" tensors holds a name that is not text");
        std::string n = nb::cast<std::string>(name);
        if (!b.reader->find(n))
            bind::raise(PyExc_ValueError, "library file " + quoted(b.file) + " lacks the array '" + n + "' listed in " +
                                              quoted(mf.file()));
        b.names.push_back(n);
    }
    return b;
}

namespace {

// encode's walk: `path` holds the containers being encoded above `v`, so that one that holds
// itself is refused as json.dumps refuses it, and nesting is bounded as the manifest reader
// bounds it (what is saved can be loaded again), before the walk could exhaust the stack.
nb::object encode_value(nb::handle v, const std::string &where, std::vector<PyObject *> &path) {
    PyObject *o = v.ptr();
    if (o == Py_None || PyBool_Check(o)) return nb::borrow(v);
    if (PyLong_Check(o)) return nb::int_(v);
    if (PyFloat_Check(o)) return nb::float_(v);
    if (PyUnicode_Check(o)) return nb::str(v);
    bool sequence = PyTuple_Check(o) || PyList_Check(o);
    if (sequence || PyDict_Check(o)) {
        if (std::find(path.begin(), path.end(), o) != path.end())
            bind::raise(PyExc_ValueError, "cannot save " + where + ": Circular reference detected");
        if (path.size() >= std::size_t(kMaxDepth))
            bind::raise(PyExc_ValueError,
                        "cannot save " + where + ": it nests deeper than " + std::to_string(kMaxDepth) + " levels");
        path.push_back(o);
        nb::dict tagged;
        if (sequence) {
            nb::list items;
            for (nb::handle e : v) items.append(encode_value(e, where, path));
            path.pop_back();
            if (PyList_Check(o)) return items;
            tagged["tuple"] = items;
            return tagged;
        }
        nb::dict inner;
        for (auto kv : nb::borrow<nb::dict>(v)) {
            if (!PyUnicode_Check(kv.first.ptr()))
                bind::raise(PyExc_TypeError, "cannot save " + where + ": mapping key " +
                                                 nb::cast<std::string>(nb::repr(kv.first)) + " is not str");
            inner[nb::str(kv.first)] = encode_value(kv.second, where, path);
        }
        path.pop_back();
        tagged["dict"] = inner;
        return tagged;
    }
    if (nb::isinstance(v, bind::numpy().attr("generic"))) return encode_value(v.attr("item")(), where, path);
    bind::raise(PyExc_TypeError, "cannot save " + where + ": value " + nb::cast<std::string>(nb::repr(v)) +
                                     " of type " + bind::type_name(v) + " has no file form");
}

}  // namespace

nb::object encode(nb::handle v, const std::string &where) {
    std::vector<PyObject *> path;
    return encode_value(v, where, path);
}

std::string write_manifest(const fs::path &dir, nb::dict manifest) {
    // Compact: one fine-tune entry holds several arrays per tensor, and indentation alone made up
    // over half of its bytes.
    std::string text = nb::cast<std::string>(
        bind::import("json").attr("dumps")(manifest, "separators"_a = nb::make_tuple(",", ":")));
    // The digest is taken first: once the rename has committed the manifest nothing may fail, or
    // the caller's rollback would remove files the committed manifest names.
    std::string digest = sha256_bytes(text);
    // The manifest is plain JSON, written whole under a temporary name and renamed into place.
    os_call([&] { fileio::write_file_atomic(dir / tmp_name(kManifest), dir / kManifest, text); });
    return digest;
}

std::set<std::string> referenced(const Manifest &mf) {
    std::set<std::string> names;
    auto add = [&](nb::handle e) {
        if (!PyDict_Check(e.ptr())) return;
        PyObject *f = PyDict_GetItemString(e.ptr(), "file");
        if (f && PyUnicode_Check(f)) names.insert(nb::cast<std::string>(nb::handle(f)));
    };
    if (!mf.root.is_valid()) return names;
    if (mf.root.contains("base")) add(mf.root["base"]);
    if (mf.root.contains("finetunes") && PyList_Check(mf.root["finetunes"].ptr()))
        for (nb::handle e : mf.root["finetunes"]) add(e);
    return names;
}

void remove_unreferenced(const fs::path &dir, const std::set<std::string> &keep, const std::set<std::string> &before) {
    std::error_code ec;
    for (const std::string &name : before) {
        if (keep.count(name) || !is_library_file(name) || name == kLockName) continue;
        fs::path p = dir / name;
        if (fs::is_regular_file(fs::symlink_status(p, ec))) fs::remove(p, ec);
    }
}

// ---- element types ---------------------------------------------------------------------------------

bool file_dtype(nb::handle np_dtype, st::DType &out) {
    if (!nb::cast<bool>(np_dtype.attr("isnative"))) return false;
    std::string kind = nb::cast<std::string>(np_dtype.attr("kind"));
    long size = nb::cast<long>(np_dtype.attr("itemsize"));
    using D = st::DType;
    if (kind == "b" && size == 1)
        out = D::BOOL;
    else if (kind == "u" && size == 1)
        out = D::U8;
    else if (kind == "i" && size == 1)
        out = D::I8;
    else if (kind == "u" && size == 2)
        out = D::U16;
    else if (kind == "i" && size == 2)
        out = D::I16;
    else if (kind == "u" && size == 4)
        out = D::U32;
    else if (kind == "i" && size == 4)
        out = D::I32;
    else if (kind == "u" && size == 8)
        out = D::U64;
    else if (kind == "i" && size == 8)
        out = D::I64;
    else if (kind == "f" && size == 2)
        out = D::F16;
    else if (kind == "f" && size == 4)
        out = D::F32;
    else if (kind == "f" && size == 8)
        out = D::F64;
    else
        return false;
    return true;
}

nb::object numpy_dtype(st::DType d) {
    static const char *names[] = {"bool",   "uint8", "int8",    "uint16",  "int16",   "uint32", "int32",
                                  "uint64", "int64", "float16", "float32", "float32", "float64"};
    return bind::numpy().attr("dtype")(names[static_cast<int>(d)]);
}

nb::object tensor_array(const st::Reader &r, const st::TensorInfo &t) {
    nb::module_ np = bind::numpy();
    nb::list shape;
    for (auto e : t.shape) shape.append(nb::int_((long long) e));
    nb::object out = np.attr("empty")(nb::tuple(shape), "dtype"_a = numpy_dtype(t.dtype));
    bind::Buffer buf(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    {
        nb::gil_scoped_release nogil;
        if (t.dtype == st::DType::BF16)
            r.to_float32(t, static_cast<float *>(buf.data()));
        else if (t.nbytes())
            std::memcpy(buf.data(), r.data(t), std::size_t(t.nbytes()));
    }
    return out;
}

// ---- records ---------------------------------------------------------------------------------------

std::string need_str(nb::handle v, const std::string &what) {
    if (!PyUnicode_Check(v.ptr()))
        bind::raise(PyExc_TypeError, "cannot save the library: " + what + " is " + bind::type_name(v) + ", not str");
    return nb::cast<std::string>(v);
}

namespace {

// One record array: its key, shape, type and size, and its strides when it is not C-contiguous
// (kept on load, so that numpy decompresses it along the same path).
nb::dict array_entry(nb::module_ &np, nb::handle a, const std::string &key,
                     std::vector<std::pair<std::string, nb::object>> &arrays, const std::string &where) {
    nb::object arr = np.attr("asarray")(a);
    nb::dict e;
    e["key"] = key;
    st::DType d;
    if (!file_dtype(arr.attr("dtype"), d))
        bind::raise(PyExc_TypeError, "cannot save " + where + ": an array of element type " +
                                         bind::text(arr.attr("dtype")) + " has no file form");
    bool c_contig = nb::cast<bool>(arr.attr("flags").attr("c_contiguous"));
    if (!c_contig) {
        long long itemsize = nb::cast<long long>(arr.attr("itemsize"));
        bool keep = true;
        nb::list strides;
        for (nb::handle s : arr.attr("strides")) {
            long long v = nb::cast<long long>(s);
            if (v <= 0 || v % itemsize != 0) keep = false;
            strides.append(v);
        }
        if (keep) e["strides"] = strides;
    }
    nb::list shape;
    for (nb::handle n : arr.attr("shape")) shape.append(nb::int_(n));
    e["shape"] = shape;
    e["dtype"] = st::dtype_name(d);
    e["nbytes"] = nb::int_(arr.attr("nbytes"));
    arrays.emplace_back(key, np.attr("asarray")(arr, "order"_a = "C"));
    return e;
}

}  // namespace

nb::dict record_entry(nb::module_ &np, nb::handle name, nb::handle rec, std::size_t index,
                      std::vector<std::pair<std::string, nb::object>> &arrays, const std::string &where) {
    nb::object methods = own_attr("CompressionMethod");
    nb::dict e;
    e["name"] = name;
    nb::object m = rec.attr("method");
    if (nb::isinstance(m, methods))
        e["method"] = m.attr("value");
    else
        e["method_text"] = need_str(m, "the method of " + where);
    nb::list shape;
    for (nb::handle n : rec.attr("shape")) shape.append(nb::int_(n));
    e["shape"] = shape;
    // The element type is text; a numpy dtype object in its place is kept as one.
    nb::object dtype = rec.attr("dtype");
    if (nb::isinstance(dtype, np.attr("dtype"))) {
        e["dtype"] = nb::str(dtype);
        e["dtype_object"] = true;
    } else {
        e["dtype"] = need_str(dtype, "the dtype of " + where);
    }
    e["metadata"] = encode(rec.attr("metadata"), "the metadata of " + where);
    nb::list cores, factors;
    std::size_t j = 0;
    std::string prefix = std::to_string(index);
    for (nb::handle a : rec.attr("cores"))
        cores.append(array_entry(np, a, prefix + ".core." + std::to_string(j++), arrays, where));
    j = 0;
    for (nb::handle a : rec.attr("factors"))
        factors.append(array_entry(np, a, prefix + ".factor." + std::to_string(j++), arrays, where));
    e["cores"] = cores;
    e["factors"] = factors;
    return e;
}

namespace {

// A record array comes back with the memory layout it was saved with (its strides). The
// strides are checked first: positive multiples of the item size whose span, computed without
// overflow, stays within a bound proportional to the elements (no gigantic allocation).
nb::object restore_layout(nb::module_ &np, const Manifest &mf, nb::object arr, nb::handle strides,
                          const std::string &where) {
    if (!strides.is_valid() || strides.is_none()) return arr;
    nb::list s = mf.as_list(strides, where + " strides");
    nb::tuple shape = nb::borrow<nb::tuple>(arr.attr("shape"));
    long long itemsize = nb::cast<long long>(arr.attr("itemsize"));
    long long count = nb::cast<long long>(arr.attr("size"));
    if (nb::len(s) != nb::len(shape)) mf.damaged(where + " strides do not match the array's dimensions");
    const unsigned long long limit = 1ull << 40;
    unsigned long long span = (unsigned long long) itemsize;
    for (std::size_t k = 0; k < nb::len(s); ++k) {
        if (!PyLong_Check(s[k].ptr()) || PyBool_Check(s[k].ptr())) mf.damaged(where + " strides are not integers");
        long long stv = 0;
        if (!nb::try_cast<long long>(s[k], stv)) mf.damaged(where + " strides are out of range");
        long long n = nb::cast<long long>(shape[k]);
        if (stv <= 0 || stv % itemsize != 0) mf.damaged(where + " strides are not positive multiples of the item size");
        if (n == 0) return arr;
        unsigned long long step = (unsigned long long) stv, ext = (unsigned long long) (n - 1);
        if (step > limit || ext > limit || (ext && step > limit / ext)) mf.damaged(where + " strides span too far");
        span += ext * step;
        if (span > limit) mf.damaged(where + " strides span too far");
    }
    // A layout may spread the elements out, but not by more than the largest stride allows.
    if (span / (unsigned long long) itemsize > (unsigned long long) (count + 1) * 64 + (1u << 20))
        mf.damaged(where + " strides spread the array implausibly far");
    nb::object buf = np.attr("zeros")((long long) (span / itemsize), "dtype"_a = arr.attr("dtype"));
    nb::object view =
        np.attr("lib").attr("stride_tricks").attr("as_strided")(buf, "shape"_a = shape, "strides"_a = nb::tuple(s));
    np.attr("copyto")(view, arr);
    return view;
}

// ---- record structure ---------------------------------------------------------------------------

Shape shape_of(const Manifest &mf, nb::handle v, const std::string &where) {
    Shape out;
    for (nb::handle n : mf.as_list(v, where)) {
        long long x = -1;
        if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()) || !nb::try_cast<long long>(n, x) || x < 0)
            mf.damaged(where + " holds something other than non-negative integers");
        out.push_back((std::uint64_t) x);
    }
    return out;
}

}  // namespace

namespace {

// The file type of a record's dtype text ("float32", "<f4", ...): F16, F32 or F64; "" for any
// other type (a record whose dtype names no numpy type at all is damaged).
std::string record_file_type(const Manifest &mf, nb::dict te, const std::string &where) {
    nb::str text = mf.text(te, "dtype", where);
    nb::object dt;
    try {
        dt = bind::numpy().attr("dtype")(text);
    } catch (nb::python_error &) {
        mf.damaged(where + " has the unknown dtype '" + nb::cast<std::string>(text) + "'");
    }
    std::string name = bind::text(dt.attr("name"));
    if (name == "float16") return "F16";
    if (name == "float32") return "F32";
    if (name == "float64") return "F64";
    return "";
}

}  // namespace

void check_record(const Manifest &mf, nb::dict te, const std::string &where, const std::vector<Shape> &cores,
                  const std::vector<Shape> &factors, const Shape *base, const std::vector<std::string> &types) {
    Shape shape = shape_of(mf, mf.key(te, "shape", where), where + " shape");
    if (base && *base != shape)
        mf.damaged(where + " has shape " + shape_text(shape) + " but the base tensor of that name has " +
                   shape_text(*base));
    // A delta is floating point: decompressing a record into another type (int8 zeros) would make
    // the fine-tune's change vanish without a word.
    const std::string rtype = record_file_type(mf, te, where);
    if (rtype.empty())
        mf.damaged(where + " has the dtype '" + nb::cast<std::string>(mf.text(te, "dtype", where)) +
                   "', but a record holds a floating-point delta (float16, float32 or float64)");
    if (te.contains("method_text")) return;
    std::string method = nb::cast<std::string>(mf.text(te, "method", where));
    auto bad = [&](const std::string &what) { mf.damaged(where + " (" + method + ") " + what); };
    if (method == "none" || method == "svd" || method == "tucker" || method == "tt")
        for (const std::string &t : types)
            if (!t.empty() && t != rtype)
                bad("has the dtype '" + nb::cast<std::string>(mf.text(te, "dtype", where)) + "' but holds " + t +
                    " arrays");
    if (method == "none") {
        if (cores.size() != 1 || !factors.empty() || cores[0] != shape)
            bad("does not hold one core of its shape " + shape_text(shape));
    } else if (method == "svd") {
        if (cores.size() != 1 || factors.size() != 2 || shape.empty()) bad("does not hold s, U and Vt");
        std::uint64_t m = shape[0], n = 1;
        for (std::size_t i = 1; i < shape.size(); ++i) {
            if (shape[i] && n > (std::uint64_t(1) << 62) / shape[i]) bad("has a shape too large");
            n *= shape[i];
        }
        const Shape &s = cores[0], &u = factors[0], &vt = factors[1];
        if (s.size() != 1 || u.size() != 2 || vt.size() != 2 || u[0] != m || vt[1] != n || u[1] != s[0] ||
            vt[0] != s[0])
            bad("holds s " + shape_text(s) + ", U " + shape_text(u) + ", Vt " + shape_text(vt) + " that do not fit " +
                shape_text(shape));
    } else if (method == "tucker") {
        if (cores.size() != 1) bad("does not hold one core");
        const Shape &g = cores[0];
        if (factors.empty()) {
            if (g != shape) bad("holds no factors and a core that is not of its shape");
            return;
        }
        if (factors.size() != shape.size() || g.size() != shape.size()) bad("does not hold one factor per mode");
        for (std::size_t k = 0; k < shape.size(); ++k)
            if (factors[k].size() != 2 || factors[k][0] != shape[k] || factors[k][1] != g[k])
                bad("has a factor " + shape_text(factors[k]) + " that does not fit mode " + std::to_string(k));
    } else if (method == "tt") {
        if (cores.size() != shape.size() || !factors.empty() || cores.empty()) bad("does not hold one core per mode");
        std::uint64_t rank = 1;
        for (std::size_t k = 0; k < cores.size(); ++k) {
            const Shape &c = cores[k];
            if (c.size() != 3 || c[0] != rank || c[1] != shape[k])
                bad("has a core " + shape_text(c) + " that does not chain at mode " + std::to_string(k));
            rank = c[2];
        }
        if (rank != 1) bad("has a last core that does not close the chain");
    } else if (method == "svd_mixed") {
        // codes (c,), scales (r, 2), widths (r,) with r at most min(m, n); the codes' length, which
        // follows from the widths' values, is checked by lowrank when the record is read.
        if (cores.size() != 3 || !factors.empty() || shape.size() < 2) bad("does not hold codes, scales and widths");
        std::uint64_t m = shape[0], n = 1;
        for (std::size_t i = 1; i < shape.size(); ++i) {
            if (shape[i] && n > (std::uint64_t(1) << 62) / shape[i]) bad("has a shape too large");
            n *= shape[i];
        }
        const Shape &c = cores[0], &sc = cores[1], &w = cores[2];
        if (c.size() != 1 || w.size() != 1 || sc.size() != 2 || sc[0] != w[0] || sc[1] != 2 || w[0] > std::min(m, n))
            bad("holds codes " + shape_text(c) + ", scales " + shape_text(sc) + ", widths " + shape_text(w) +
                " that do not fit " + shape_text(shape));
    }
}

bool check_record_entry(const Manifest &mf, nb::dict te, const std::string &where, const Shape *base) {
    std::vector<Shape> cores, factors;
    std::vector<std::string> types;
    for (const char *field : {"cores", "factors"}) {
        for (nb::handle a : mf.as_list(mf.key(te, field, where), where + " " + field)) {
            nb::dict ae = mf.as_dict(a, where + " " + field);
            if (!ae.contains("shape")) return false;
            Shape s = shape_of(mf, ae["shape"], where + " " + field + " shape");
            (std::string(field) == "cores" ? cores : factors).push_back(std::move(s));
            PyObject *t = PyDict_GetItemString(ae.ptr(), "dtype");
            types.push_back(t && PyUnicode_Check(t) ? nb::cast<std::string>(nb::handle(t)) : std::string());
        }
    }
    check_record(mf, te, where, cores, factors, base, types);
    return true;
}

nb::object record_from(const Manifest &mf, nb::dict te, const st::Reader &r, const fs::path &file,
                       const std::string &twhere, const Shape *base) {
    nb::module_ np = bind::numpy();
    nb::str name = mf.text(te, "name", twhere);
    nb::object rmethod = mf.method_of(te, twhere);
    nb::list shape_list = mf.as_list(mf.key(te, "shape", twhere), twhere + " shape");
    nb::list shape;
    for (nb::handle n : shape_list) {
        long long v = -1;
        if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()) || !nb::try_cast<long long>(n, v) || v < 0)
            mf.damaged(twhere + " shape holds something other than non-negative integers");
        shape.append(n);
    }
    nb::str dtype_text = mf.text(te, "dtype", twhere);
    nb::object dtype_obj;
    try {
        dtype_obj = np.attr("dtype")(dtype_text);
    } catch (nb::python_error &) {
        mf.damaged(twhere + " has the unknown dtype '" + nb::cast<std::string>(dtype_text) + "'");
    }
    PyObject *as_object = PyDict_GetItemString(te.ptr(), "dtype_object");
    nb::object dtype = as_object && bind::truthy(as_object) ? dtype_obj : nb::object(dtype_text);
    nb::object metadata = mf.decode(mf.key(te, "metadata", twhere), twhere + " metadata");
    if (!PyDict_Check(metadata.ptr())) mf.damaged(twhere + " metadata is not a mapping");
    std::vector<Shape> shapes[2];
    std::vector<std::string> types;
    auto arrays_of = [&](const char *field) {
        nb::list out;
        std::vector<Shape> &seen = shapes[std::string(field) == "cores" ? 0 : 1];
        for (nb::handle a : mf.as_list(mf.key(te, field, twhere), twhere + " " + field)) {
            nb::dict ae = mf.as_dict(a, twhere + " " + field);
            std::string akey = nb::cast<std::string>(mf.text(ae, "key", twhere + " " + field));
            const st::TensorInfo *t = r.find(akey);
            if (!t)
                bind::raise(PyExc_ValueError, "library file " + quoted(file) + " lacks the array '" + akey +
                                                  "' listed in " + quoted(mf.file()));
            if (ae.contains("shape") && shape_of(mf, ae["shape"], twhere + " " + field + " shape") != t->shape)
                bind::raise(PyExc_ValueError, "library file " + quoted(file) + " holds the array '" + akey +
                                                  "' with another shape than " + quoted(mf.file()) + " records");
            seen.push_back(t->shape);
            types.push_back(st::dtype_name(t->dtype));
            if (t->dtype == st::DType::BF16)
                bind::raise(PyExc_ValueError, "library file " + quoted(file) + " holds the record array '" + akey +
                                                  "' as bfloat16, which records never use");
            nb::object arr = tensor_array(r, *t);
            PyObject *strides = PyDict_GetItemString(ae.ptr(), "strides");
            out.append(restore_layout(np, mf, arr, nb::handle(strides), twhere + " " + field));
        }
        return nb::tuple(out);
    };
    nb::tuple cores = arrays_of("cores"), factors = arrays_of("factors");
    check_record(mf, te, twhere, shapes[0], shapes[1], base, types);
    nb::object rec = own_attr("CompressedTensor")(rmethod, nb::tuple(shape), dtype, cores, factors, metadata);
    // An svd_mixed record's codes must match its widths (and a zstd frame its size): checked now,
    // as the structure of every other method is, so that a damaged file is refused when read.
    if (rmethod.is(own_attr("CompressionMethod").attr("SVD_MIXED"))) {
        try {
            bind::module_attr("velkor_zuma.lowrank", "_svd_mixed_check")(rec);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            mf.damaged(twhere + " (svd_mixed) " + bind::text(e.value()));
        }
    }
    return rec;
}

// ---- which manifest a library object knows ------------------------------------------------------

namespace {

nb::str dir_key(const fs::path &dir) {
    std::error_code ec;
    fs::path canon = fs::weakly_canonical(fs::absolute(dir, ec), ec);
    return nb::str((ec ? dir : canon).string().c_str());
}

// Kept in the instance's __dict__ under a private name: not a field, so equality, repr and
// dataclasses.fields are unchanged.
constexpr const char *kKnown = "_vz_manifests";

}  // namespace

void remember_manifest(nb::handle lib, const fs::path &dir, const std::string &digest) {
    nb::object known;
    if (nb::hasattr(lib, kKnown)) known = lib.attr(kKnown);
    if (!known.is_valid() || !PyDict_Check(known.ptr())) {
        known = nb::dict();
        try {
            nb::setattr(lib, kKnown, known);
        } catch (nb::python_error &) {
            return;  // an object that takes no attributes simply is not tracked
        }
    }
    nb::borrow<nb::dict>(known)[dir_key(dir)] = nb::str(digest.c_str());
}

std::string remembered_manifest(nb::handle lib, const fs::path &dir) {
    if (!nb::hasattr(lib, kKnown)) return "";
    nb::object known = lib.attr(kKnown);
    if (!PyDict_Check(known.ptr())) return "";
    nb::str key = dir_key(dir);
    nb::dict d = nb::borrow<nb::dict>(known);
    if (!d.contains(key)) return "";
    return bind::text(d[key]);
}

}  // namespace vz::deltavault::files
