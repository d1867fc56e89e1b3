// ModelLibrary.save / ModelLibrary.load: a library kept in one directory.
//
//   manifest.json                         settings, base tensor names, every record's method,
//                                         shape, dtype, metadata and array keys, and the size and
//                                         SHA-256 of every array file
//   base-<gen>.safetensors                the base state dict, once, keyed by tensor name
//   finetune-<gen>-<i>.safetensors        fine-tune i's compressed records: their cores and
//                                         factors as stored (never the dense tensors)
//
// <gen> is a fresh random token per save. Array files are written under a temporary name and
// renamed when complete; the manifest is written the same way last, and its rename is the
// commit: until then the previous manifest still names the previous files, which are removed
// only after the new manifest is in place. An interrupted save therefore leaves the previous
// library loadable.
#include "modules/deltavault/deltavault.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace deltavault {
using namespace nb::literals;
namespace fs = std::filesystem;

namespace {

constexpr const char *kFormat = "velkor_zuma.deltavault.library";
constexpr long kVersion = 1;
constexpr const char *kManifest = "manifest.json";
constexpr const char *kTmpPrefix = ".vz-tmp-";
constexpr const char *kHint =
    "saving or loading a model library needs the safetensors library; install it with: "
    "pip install 'velkor-zuma[hub]'";

nb::module_ safetensors_numpy() { return vz::import_optional("safetensors.numpy", kHint); }

std::string quoted(const fs::path &p) { return "'" + p.string() + "'"; }

[[noreturn]] void fail(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

// OSError (FileNotFoundError, PermissionError, ... by errno) for a failed file-system call.
[[noreturn]] void raise_os(int err, const fs::path &p) {
    errno = err;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, p.string().c_str());
    throw nb::python_error();
}

fs::path to_path(nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) && !nb::hasattr(path, "__fspath__"))
        vz::raise_arg_type("path", "str or os.PathLike", path);
    nb::object s = vz::import("os").attr("fspath")(path);
    if (!PyUnicode_Check(s.ptr())) vz::raise_arg_type("path", "str or os.PathLike", path);
    return fs::path(nb::cast<std::string>(s));
}

void fsync_path(const fs::path &p, bool directory) {
    int fd = ::open(p.c_str(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
    if (fd < 0) raise_os(errno, p);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0 && !directory) raise_os(err, p);  // some file systems refuse fsync on directories
}

void rename_file(const fs::path &from, const fs::path &to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) raise_os(errno, to);
}

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) raise_os(errno ? errno : EIO, p);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &p, const std::string &data) {
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        if (!out) raise_os(errno ? errno : EIO, p);
        out.write(data.data(), std::streamsize(data.size()));
        out.flush();
        if (!out) raise_os(errno ? errno : EIO, p);
    }
    fsync_path(p, false);
}

// SHA-256 (hex) of a file through the host's hashlib, read in 4 MiB pieces.
std::string sha256_file(const fs::path &p) {
    nb::object h = vz::import("hashlib").attr("sha256")();
    std::ifstream in(p, std::ios::binary);
    if (!in) raise_os(errno ? errno : EIO, p);
    std::vector<char> buf(std::size_t(4) << 20);
    while (in) {
        in.read(buf.data(), std::streamsize(buf.size()));
        std::streamsize got = in.gcount();
        if (got > 0) h.attr("update")(nb::bytes(buf.data(), std::size_t(got)));
    }
    if (in.bad()) raise_os(EIO, p);
    return nb::cast<std::string>(h.attr("hexdigest")());
}

std::string random_token() {
    std::random_device rd;
    std::uint64_t v = (std::uint64_t(rd()) << 32) ^ std::uint64_t(rd());
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", (unsigned long long) v);
    return out;
}

// Names this module writes into a library directory (and so may remove from it).
bool is_hex(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}
bool is_library_file(const std::string &name) {
    const std::string ext = ".safetensors";
    if (name.rfind(kTmpPrefix, 0) == 0) return true;
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

// ---- values in the manifest -----------------------------------------------------------------------
// JSON keeps numbers, text, booleans, null and lists; tuples and mappings are tagged so that
// a record's metadata comes back with the same Python types ("ranks" stays a tuple).

nb::object encode(nb::handle v, const std::string &where) {
    PyObject *o = v.ptr();
    if (o == Py_None || PyBool_Check(o)) return nb::borrow(v);
    if (PyLong_Check(o)) return nb::int_(v);
    if (PyFloat_Check(o)) return nb::float_(v);
    if (PyUnicode_Check(o)) return nb::str(v);
    if (PyTuple_Check(o) || PyList_Check(o)) {
        nb::list items;
        for (nb::handle e : v) items.append(encode(e, where));
        if (PyList_Check(o)) return items;
        nb::dict tagged;
        tagged["tuple"] = items;
        return tagged;
    }
    if (PyDict_Check(o)) {
        nb::dict inner;
        for (auto kv : nb::borrow<nb::dict>(v)) {
            if (!PyUnicode_Check(kv.first.ptr()))
                fail(PyExc_TypeError, "cannot save " + where + ": mapping key " +
                                           nb::cast<std::string>(nb::repr(kv.first)) + " is not str");
            inner[nb::str(kv.first)] = encode(kv.second, where);
        }
        nb::dict tagged;
        tagged["dict"] = inner;
        return tagged;
    }
    if (nb::isinstance(v, vz::numpy().attr("generic"))) return encode(v.attr("item")(), where);
    fail(PyExc_TypeError, "cannot save " + where + ": value " + nb::cast<std::string>(nb::repr(v)) +
                               " of type " + vz::type_name(v) + " has no file form");
}

// ---- reading the manifest ---------------------------------------------------------------------------

class Manifest {
public:
    explicit Manifest(fs::path file) : file_(std::move(file)) {}
    const fs::path &file() const { return file_; }

    [[noreturn]] void damaged(const std::string &what) const {
        fail(PyExc_ValueError, "damaged model library manifest " + quoted(file_) + ": " + what);
    }
    nb::dict as_dict(nb::handle v, const std::string &what) const {
        if (!PyDict_Check(v.ptr())) damaged(what + " is not a JSON object");
        return nb::borrow<nb::dict>(v);
    }
    nb::list as_list(nb::handle v, const std::string &what) const {
        if (!PyList_Check(v.ptr())) damaged(what + " is not a JSON list");
        return nb::borrow<nb::list>(v);
    }
    nb::object key(nb::dict d, const char *k, const std::string &where) const {
        PyObject *v = PyDict_GetItemString(d.ptr(), k);
        if (!v) damaged(where + " lacks \"" + k + "\"");
        return nb::borrow(v);
    }
    nb::str text(nb::dict d, const char *k, const std::string &where) const {
        nb::object v = key(d, k, where);
        if (!PyUnicode_Check(v.ptr())) damaged(where + " \"" + k + "\" is not text");
        return nb::borrow<nb::str>(v);
    }
    long long integer(nb::dict d, const char *k, const std::string &where) const {
        nb::object v = key(d, k, where);
        if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) damaged(where + " \"" + k + "\" is not an integer");
        long long r = PyLong_AsLongLong(v.ptr());
        if (r == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            damaged(where + " \"" + k + "\" is out of range");
        }
        return r;
    }
    nb::object decode(nb::handle v, const std::string &where) const {
        PyObject *o = v.ptr();
        if (PyList_Check(o)) {
            nb::list out;
            for (nb::handle e : v) out.append(decode(e, where));
            return out;
        }
        if (PyDict_Check(o)) {
            nb::dict d = nb::borrow<nb::dict>(v);
            if (d.size() == 1 && d.contains("tuple")) {
                nb::list items = as_list(d["tuple"], where);
                nb::list out;
                for (nb::handle e : items) out.append(decode(e, where));
                return nb::tuple(out);
            }
            if (d.size() == 1 && d.contains("dict")) {
                nb::dict inner = as_dict(d["dict"], where), out;
                for (auto kv : inner) out[kv.first] = decode(kv.second, where);
                return out;
            }
            damaged(where + " holds an unknown tagged value");
        }
        return nb::borrow(v);
    }

private:
    fs::path file_;
};

// The array file named by a manifest entry: present, of the recorded size and SHA-256.
fs::path checked_file(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where) {
    std::string name = nb::cast<std::string>(mf.text(entry, "file", where));
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos)
        mf.damaged(where + " names the file '" + name + "', which is not a plain file name");
    fs::path p = dir / name;
    long long size = mf.integer(entry, "size", where);
    std::string sha = nb::cast<std::string>(mf.text(entry, "sha256", where));
    std::error_code ec;
    if (!fs::is_regular_file(p, ec))
        fail(PyExc_FileNotFoundError, "library file " + quoted(p) + " is missing (listed in " + quoted(mf.file()) +
                                           "); the library is incomplete: save it again from a complete copy");
    auto actual = fs::file_size(p, ec);
    if (ec) raise_os(ec.value(), p);
    if ((long long) actual != size)
        fail(PyExc_ValueError, "library file " + quoted(p) + " is damaged: it holds " + std::to_string(actual) +
                                    " bytes, " + quoted(mf.file()) + " records " + std::to_string(size));
    if (sha256_file(p) != sha)
        fail(PyExc_ValueError, "library file " + quoted(p) + " is damaged: its SHA-256 differs from the one " +
                                    "recorded in " + quoted(mf.file()));
    return p;
}

nb::dict load_arrays(nb::module_ &st, const fs::path &p) {
    try {
        nb::object arrays = st.attr("load_file")(p.string());
        if (!PyDict_Check(arrays.ptr())) fail(PyExc_ValueError, "library file " + quoted(p) + " did not load as arrays");
        return nb::borrow<nb::dict>(arrays);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ImportError)) throw;
        e.restore();
        vz::raise_from(PyExc_ValueError, "library file " + quoted(p) + " is not a readable safetensors file");
    }
}

nb::object file_array(const Manifest &mf, nb::dict arrays, const fs::path &p, nb::handle key) {
    PyObject *v = PyDict_GetItemWithError(arrays.ptr(), key.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        fail(PyExc_ValueError, "library file " + quoted(p) + " lacks the array '" + nb::cast<std::string>(nb::str(key)) +
                                    "' listed in " + quoted(mf.file()));
    }
    return nb::borrow(v);
}

// A record array comes back with the memory layout it was saved with (its strides), so that
// numpy takes the same computation path when it is decompressed and the result is
// bit-for-bit the one of the library that was saved.
nb::object restore_layout(nb::module_ &np, const Manifest &mf, nb::object arr, nb::handle strides,
                          const std::string &where) {
    if (!strides.is_valid() || strides.is_none()) return arr;
    nb::list s = mf.as_list(strides, where + " strides");
    nb::tuple shape = nb::borrow<nb::tuple>(arr.attr("shape"));
    long long itemsize = nb::cast<long long>(arr.attr("itemsize"));
    if (nb::len(s) != nb::len(shape)) mf.damaged(where + " strides do not match the array's dimensions");
    long long span = itemsize;
    for (std::size_t k = 0; k < nb::len(s); ++k) {
        if (!PyLong_Check(s[k].ptr())) mf.damaged(where + " strides are not integers");
        long long st = nb::cast<long long>(s[k]), n = nb::cast<long long>(shape[k]);
        if (st <= 0 || st % itemsize != 0) mf.damaged(where + " strides are not positive multiples of the item size");
        if (n == 0) return arr;
        span += (n - 1) * st;
    }
    nb::object buf = np.attr("zeros")(span / itemsize, "dtype"_a = arr.attr("dtype"));
    nb::object view = np.attr("lib").attr("stride_tricks").attr("as_strided")(buf, "shape"_a = shape,
                                                                             "strides"_a = nb::tuple(s));
    np.attr("copyto")(view, arr);
    return view;
}

// ---- save ------------------------------------------------------------------------------------------------

struct ArrayFile {
    std::string name;   // final file name
    nb::dict arrays;    // key -> C-contiguous array
    nb::dict entry;     // manifest entry that receives "file", "size", "sha256"
};

// One record array: its key, and its strides when it is not C-contiguous (kept on load).
nb::dict array_entry(nb::module_ &np, nb::handle a, const std::string &key, nb::dict &arrays) {
    nb::object arr = np.attr("asarray")(a);
    nb::dict e;
    e["key"] = key;
    bool c_contig = nb::cast<bool>(arr.attr("flags").attr("c_contiguous"));
    if (!c_contig) {
        long long itemsize = nb::cast<long long>(arr.attr("itemsize"));
        bool keep = true;
        nb::list strides;
        for (nb::handle st : arr.attr("strides")) {
            long long v = nb::cast<long long>(st);
            if (v <= 0 || v % itemsize != 0) keep = false;
            strides.append(v);
        }
        if (keep) e["strides"] = strides;
    }
    arrays[nb::str(key.c_str())] = np.attr("asarray")(arr, "order"_a = "C");
    return e;
}

std::string need_str(nb::handle v, const std::string &what) {
    if (!PyUnicode_Check(v.ptr()))
        fail(PyExc_TypeError, "cannot save the library: " + what + " is " + vz::type_name(v) + ", not str");
    return nb::cast<std::string>(v);
}

// Refuses a directory that holds something other than a library of this module.
void check_target(const fs::path &dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec) raise_os(ec.value(), dir);
        return;
    }
    if (!fs::is_directory(dir, ec))
        fail(PyExc_NotADirectoryError, "cannot save a model library to " + quoted(dir) + ": it is not a directory");
    fs::path mf = dir / kManifest;
    if (fs::exists(mf, ec)) {
        // A manifest of another program is never overwritten; an unreadable one of ours is.
        nb::object parsed;
        try {
            std::string raw = read_file(mf);
            parsed = vz::import("json").attr("loads")(nb::bytes(raw.data(), raw.size()));
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_ValueError)) return;
            throw;
        }
        if (PyDict_Check(parsed.ptr())) {
            nb::dict d = nb::borrow<nb::dict>(parsed);
            if (d.contains("format") && nb::str(d["format"]).equal(nb::str(kFormat))) return;
        }
        fail(PyExc_FileExistsError, "cannot save a model library to " + quoted(dir) + ": " + quoted(mf) +
                                         " belongs to something else; choose a new or empty directory");
    }
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        if (!is_library_file(entry.path().filename().string()))
            fail(PyExc_FileExistsError, "cannot save a model library to " + quoted(dir) +
                                             ": the directory is not empty and holds no model library; "
                                             "choose a new or empty directory");
    }
    if (ec) raise_os(ec.value(), dir);
}

void save(nb::handle self, nb::handle path) {
    nb::module_ st = safetensors_numpy();
    nb::module_ np = vz::numpy();
    fs::path dir = to_path(path);
    nb::object methods = own_attr("CompressionMethod");
    nb::dict file_meta;
    file_meta["format"] = kFormat;

    // 1. Everything that goes to disk is gathered first: a library that cannot be saved is
    //    refused before any file is written.
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

    std::string gen = random_token();
    std::vector<ArrayFile> files;
    {
        ArrayFile base{"base-" + gen + ".safetensors", nb::dict(), nb::dict()};
        nb::list names;
        for (nb::handle item : self.attr("base").attr("items")()) {
            std::string name = need_str(item[0], "a base tensor name");
            if (name == "__metadata__")
                fail(PyExc_ValueError, "cannot save the library: the base tensor name '__metadata__' is reserved "
                                        "by the safetensors format");
            base.arrays[item[0]] = np.attr("asarray")(item[1], "order"_a = "C");
            names.append(item[0]);
        }
        base.entry["tensors"] = names;
        files.push_back(std::move(base));
    }
    nb::list finetunes;
    std::size_t index = 0;
    for (nb::handle item : self.attr("deltas").attr("items")()) {
        std::string key = need_str(item[0], "a deltas key");
        nb::handle cd = item[1];
        ArrayFile f{"finetune-" + gen + "-" + std::to_string(index++) + ".safetensors", nb::dict(), nb::dict()};
        f.entry["key"] = item[0];
        f.entry["model_id"] = need_str(cd.attr("model_id"), "the model_id of fine-tune '" + key + "'");
        f.entry["base_id"] = need_str(cd.attr("base_id"), "the base_id of fine-tune '" + key + "'");
        nb::list tensors;
        std::size_t i = 0;
        for (nb::handle t : cd.attr("tensors").attr("items")()) {
            std::string name = need_str(t[0], "a tensor name of fine-tune '" + key + "'");
            std::string where = "tensor '" + name + "' of fine-tune '" + key + "'";
            nb::handle rec = t[1];
            nb::dict e;
            e["name"] = t[0];
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
            for (nb::handle a : rec.attr("cores"))
                cores.append(array_entry(np, a, std::to_string(i) + ".core." + std::to_string(j++), f.arrays));
            j = 0;
            for (nb::handle a : rec.attr("factors"))
                factors.append(array_entry(np, a, std::to_string(i) + ".factor." + std::to_string(j++), f.arrays));
            e["cores"] = cores;
            e["factors"] = factors;
            tensors.append(e);
            ++i;
        }
        f.entry["tensors"] = tensors;
        finetunes.append(f.entry);
        files.push_back(std::move(f));
    }
    manifest["base"] = files[0].entry;
    manifest["finetunes"] = finetunes;

    // 2. The files: arrays first, the manifest last (its rename commits the save).
    check_target(dir);
    std::vector<fs::path> made;
    try {
        for (ArrayFile &f : files) {
            fs::path tmp = dir / (kTmpPrefix + f.name), final_path = dir / f.name;
            made.push_back(tmp);
            st.attr("save_file")(f.arrays, tmp.string(), "metadata"_a = file_meta);
            fsync_path(tmp, false);
            std::error_code ec;
            auto size = fs::file_size(tmp, ec);
            if (ec) raise_os(ec.value(), tmp);
            f.entry["file"] = f.name;
            f.entry["size"] = nb::int_((long long) size);
            f.entry["sha256"] = sha256_file(tmp);
            made.push_back(final_path);
            rename_file(tmp, final_path);
        }
        nb::object text = vz::import("json").attr("dumps")(manifest, "indent"_a = 1);
        fs::path tmp = dir / (std::string(kTmpPrefix) + kManifest);
        made.push_back(tmp);
        write_file(tmp, nb::cast<std::string>(text));
        rename_file(tmp, dir / kManifest);
        made.clear();
    } catch (...) {
        std::error_code ec;
        for (const fs::path &p : made) fs::remove(p, ec);
        throw;
    }
    fsync_path(dir, true);

    // 3. Files of earlier saves (and leftovers of interrupted ones) are no longer referenced.
    std::set<std::string> keep;
    for (const ArrayFile &f : files) keep.insert(f.name);
    std::error_code ec;
    std::vector<fs::path> stale;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (is_library_file(name) && !keep.count(name)) stale.push_back(entry.path());
    }
    for (const fs::path &p : stale) fs::remove(p, ec);
}

// ---- load ------------------------------------------------------------------------------------------------

nb::object load(nb::handle cls, nb::handle path) {
    nb::module_ st = safetensors_numpy();
    nb::module_ np = vz::numpy();
    fs::path dir = to_path(path);
    std::error_code ec;
    if (!fs::exists(dir, ec))
        fail(PyExc_FileNotFoundError, "no model library at " + quoted(dir) +
                                           ": the directory does not exist; ModelLibrary.save writes one");
    if (!fs::is_directory(dir, ec))
        fail(PyExc_NotADirectoryError, "no model library at " + quoted(dir) + ": it is not a directory");
    Manifest mf(dir / kManifest);
    if (!fs::exists(mf.file(), ec))
        fail(PyExc_FileNotFoundError, "no model library at " + quoted(dir) + ": " + quoted(mf.file()) +
                                           " is missing; ModelLibrary.save writes it");

    std::string raw = read_file(mf.file());
    nb::object parsed;
    try {
        parsed = vz::import("json").attr("loads")(nb::bytes(raw.data(), raw.size()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        e.restore();
        vz::raise_from(PyExc_ValueError, "damaged model library manifest " + quoted(mf.file()) +
                                             ": it is not valid JSON");
    }
    if (!PyDict_Check(parsed.ptr()) || !nb::borrow<nb::dict>(parsed).contains("format") ||
        !nb::str(nb::borrow<nb::dict>(parsed)["format"]).equal(nb::str(kFormat)))
        fail(PyExc_ValueError, quoted(mf.file()) + " is not a velkor_zuma model library manifest (its \"format\" "
                                "is not \"" + kFormat + "\")");
    nb::dict m = nb::borrow<nb::dict>(parsed);
    long long version = mf.integer(m, "version", "the manifest");
    if (version != kVersion)
        fail(PyExc_ValueError, quoted(mf.file()) + " has library format version " + std::to_string(version) +
                                    "; this version of velkor_zuma reads version " + std::to_string(kVersion));

    nb::object methods = own_attr("CompressionMethod");
    auto method_of = [&](nb::dict d, const std::string &where) -> nb::object {
        if (d.contains("method_text")) return mf.text(d, "method_text", where);
        nb::str v = mf.text(d, "method", where);
        try {
            return methods(v);
        } catch (nb::python_error &) {
            mf.damaged(where + " has the unknown method '" + nb::cast<std::string>(v) + "'");
        }
    };

    nb::str base_id = mf.text(m, "base_id", "the manifest");
    nb::object method = method_of(m, "the manifest");
    nb::object max_rank = mf.decode(mf.key(m, "max_rank", "the manifest"), "\"max_rank\"");
    nb::object energy = mf.decode(mf.key(m, "energy", "the manifest"), "\"energy\"");

    // Base: the tensors in their saved order.
    nb::dict base_entry = mf.as_dict(mf.key(m, "base", "the manifest"), "\"base\"");
    fs::path base_file = checked_file(dir, mf, base_entry, "\"base\"");
    nb::dict base_arrays = load_arrays(st, base_file);
    nb::dict base;
    for (nb::handle name : mf.as_list(mf.key(base_entry, "tensors", "\"base\""), "\"base\" tensors")) {
        if (!PyUnicode_Check(name.ptr())) mf.damaged("\"base\" tensors holds a name that is not text");
        base[name] = file_array(mf, base_arrays, base_file, name);
    }

    nb::object record_cls = own_attr("CompressedTensor");
    nb::object delta_cls = own_attr("CompressedDelta");
    nb::dict deltas;
    nb::list entries = mf.as_list(mf.key(m, "finetunes", "the manifest"), "\"finetunes\"");
    for (std::size_t fi = 0; fi < nb::len(entries); ++fi) {
        std::string where = "fine-tune entry " + std::to_string(fi);
        nb::dict fe = mf.as_dict(entries[fi], where);
        nb::str key = mf.text(fe, "key", where);
        fs::path file = checked_file(dir, mf, fe, where);
        nb::dict arrays = load_arrays(st, file);
        nb::dict tensors;
        nb::list tlist = mf.as_list(mf.key(fe, "tensors", where), where + " tensors");
        for (std::size_t ti = 0; ti < nb::len(tlist); ++ti) {
            std::string twhere = where + " tensor " + std::to_string(ti);
            nb::dict te = mf.as_dict(tlist[ti], twhere);
            nb::str name = mf.text(te, "name", twhere);
            nb::object rmethod = method_of(te, twhere);
            nb::list shape_list = mf.as_list(mf.key(te, "shape", twhere), twhere + " shape");
            nb::list shape;
            for (nb::handle n : shape_list) {
                if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()) || nb::cast<long long>(n) < 0)
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
            nb::object dtype = as_object && PyObject_IsTrue(as_object) == 1 ? dtype_obj : nb::object(dtype_text);
            nb::object metadata = mf.decode(mf.key(te, "metadata", twhere), twhere + " metadata");
            if (!PyDict_Check(metadata.ptr())) mf.damaged(twhere + " metadata is not a mapping");
            auto arrays_of = [&](const char *field) {
                nb::list out;
                for (nb::handle a : mf.as_list(mf.key(te, field, twhere), twhere + " " + field)) {
                    nb::dict ae = mf.as_dict(a, twhere + " " + field);
                    nb::str akey = mf.text(ae, "key", twhere + " " + field);
                    nb::object arr = file_array(mf, arrays, file, akey);
                    PyObject *strides = PyDict_GetItemString(ae.ptr(), "strides");
                    out.append(restore_layout(np, mf, arr, nb::handle(strides), twhere + " " + field));
                }
                return nb::tuple(out);
            };
            nb::tuple cores = arrays_of("cores"), factors = arrays_of("factors");
            tensors[name] = record_cls(rmethod, nb::tuple(shape), dtype, cores, factors, metadata);
        }
        deltas[key] = delta_cls("model_id"_a = mf.text(fe, "model_id", where), "tensors"_a = tensors,
                                "base_id"_a = mf.text(fe, "base_id", where));
    }
    return cls("base_id"_a = base_id, "base"_a = base, "deltas"_a = deltas, "method"_a = method,
               "max_rank"_a = max_rank, "energy"_a = energy);
}

}  // namespace

void register_storage(nb::handle library_cls) {
    vz::add_method(library_cls, "save", &save, "path"_a,
                   "Writes the library to the directory `path` (created if needed): the base once and "
                   "each fine-tune's compressed records in safetensors files, and a JSON manifest. The "
                   "save is atomic: an interrupted save leaves the previous library loadable.");
    vz::add_classmethod(library_cls, "load", &load, "cls"_a, "path"_a,
                        "Reads a library written by save. A missing, damaged or foreign directory raises an "
                        "error naming the file.");
}

}  // namespace deltavault
