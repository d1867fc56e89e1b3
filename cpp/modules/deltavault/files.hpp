// Pieces of the on-disk library shared by storage.cpp (ModelLibrary.save / load), stream.cpp
// (the library opened without loading it, and the tensor-by-tensor operations) and lock.cpp.
// The format itself is described in storage.cpp's header.
#pragma once

#include "modules/deltavault/deltavault.hpp"

#include "core/safetensors.hpp"

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace deltavault::files {
namespace fs = std::filesystem;
namespace st = vz::core::st;

constexpr const char *kFormat = "velkor_zuma.deltavault.library";
constexpr long kVersion = 2;        // written; version 1 (whole-dict saves) is still read
constexpr const char *kManifest = "manifest.json";
constexpr const char *kTmpPrefix = ".vz-tmp-";
constexpr const char *kLockName = ".vz-lock";

std::string quoted(const fs::path &p);
[[noreturn]] void fail(PyObject *type, const std::string &msg);
[[noreturn]] void raise_os(int err, const fs::path &p);
fs::path to_path(nb::handle path);  // str or os.PathLike, else the argument-type error for "path"
std::string random_token();         // 16 hex digits
// A temporary name for `final_name`, unique to this process: written only under the lock.
std::string tmp_name(const std::string &final_name);
// Names this module writes into a library directory (and so may remove from it).
bool is_library_file(const std::string &name);

// SHA-256 (hex) of a file through the host's hashlib, read over a memory map in pieces.
std::string sha256_file(const fs::path &p);
// SHA-256 (hex) of a byte string.
std::string sha256_bytes(const std::string &data);

// ---- manifest --------------------------------------------------------------------------------------

class Manifest {
public:
    Manifest() = default;
    explicit Manifest(fs::path file) : file_(std::move(file)) {}
    const fs::path &file() const { return file_; }
    nb::dict root;        // the parsed manifest
    std::string digest;   // SHA-256 of its bytes: changes with every commit
    long version = 0;

    [[noreturn]] void damaged(const std::string &what) const;
    nb::dict as_dict(nb::handle v, const std::string &what) const;
    nb::list as_list(nb::handle v, const std::string &what) const;
    nb::object key(nb::dict d, const char *k, const std::string &where) const;
    nb::str text(nb::dict d, const char *k, const std::string &where) const;
    long long integer(nb::dict d, const char *k, const std::string &where) const;
    nb::object decode(nb::handle v, const std::string &where, int depth = 0) const;
    // The library's compression method from an entry ("method" or "method_text").
    nb::object method_of(nb::dict d, const std::string &where) const;
    // The library's solver ("solver"; "exact" in libraries saved without one).
    nb::str solver() const;

private:
    fs::path file_;
};

// Reads and checks `dir`/manifest.json (errors as ModelLibrary.load raises them).
Manifest read_manifest(const fs::path &dir);
// The digest of the manifest in `dir`, or "" when there is none.
std::string current_digest(const fs::path &dir);
// A plain file name from an entry's "file", joined to `dir` (refuses paths).
fs::path entry_path(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where);
// The entry's file: present and of the recorded size; with `verify`, of the recorded SHA-256.
fs::path checked_file(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where,
                      bool verify);
// A reader over a library file; a malformed file is a ValueError naming it.
std::shared_ptr<st::Reader> open_reader(const fs::path &p);

// JSON for the manifest: tuples and mappings tagged so that metadata comes back with its types.
nb::object encode(nb::handle v, const std::string &where);
// Writes the manifest under a temporary name, fsyncs it and renames it into place (the commit).
std::string write_manifest(const fs::path &dir, nb::dict manifest);  // returns the new digest
// Removes the files the previous manifest named (`before`) that the committed one (`keep`) no
// longer names; nothing else is ever removed from a library directory by a commit.
void remove_unreferenced(const fs::path &dir, const std::set<std::string> &keep,
                         const std::set<std::string> &before);
// The file names an entry list refers to.
std::set<std::string> referenced(const Manifest &mf);

// ---- per-tensor passes of adding a fine-tune (passes.cpp) -------------------------------------------
// The fused kernels' name of a floating-point file type.
vz::core::fused::Elem fused_kind(st::DType d);
// The solver handed to the compressors: `solver`, or the library's where it is None; None for
// "exact". An unknown name is refused with lowrank's message.
nb::object compressor_solver(const Manifest &mf, nb::handle solver);
// out = float32(w - b) for a fine-tune tensor and its base tensor as stored (b null: a float32
// copy of w); the GIL may be released around it.
void delta_pass(const void *w, st::DType wk, const void *b, st::DType bk, float *out, std::size_t count);
// The squared-error sums of the reconstruction base + decompress(rec), in float32, against the
// fine-tune tensor t (extents `shape`): one pass for records with a product form, the plain add
// and error passes otherwise. b (with its tensor bt) null: no base tensor.
void error_pass(const void *b, const st::TensorInfo *bt, nb::handle rec, const void *t, st::DType tk,
                const std::vector<std::uint64_t> &shape, double &sq_diff, double &sq_ref);

// ---- element types -------------------------------------------------------------------------------
// A numpy dtype's file type (native-order bool/ints/floats); false for anything else.
bool file_dtype(nb::handle np_dtype, st::DType &out);
// The numpy dtype in which a file type is handed to Python (BF16 widens to float32).
nb::object numpy_dtype(st::DType d);
// numpy's name of a file element type ("bfloat16" for the type numpy lacks).
inline std::string numpy_name(st::DType d) {
    return d == st::DType::BF16 ? "bfloat16" : nb::cast<std::string>(nb::str(numpy_dtype(d)));
}
// A shape as Python writes the tuple: "(3,)", "(2, 4)".
inline std::string shape_text(const std::vector<std::uint64_t> &shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    if (shape.size() == 1) s += ",";
    return s + ")";
}
// A C-contiguous buffer of an array (read only), released with the object.
struct Buffer {
    explicit Buffer(nb::handle arr) {
        if (PyObject_GetBuffer(arr.ptr(), &buf, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) nb::raise_python_error();
    }
    ~Buffer() { PyBuffer_Release(&buf); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Py_buffer buf{};
};
// A numpy array over a tensor of a reader: a copy (owned), BF16 widened to float32.
nb::object tensor_array(const st::Reader &r, const st::TensorInfo &t);
// numpy-side read-only view of `n` bytes at `p` (kept alive by `owner`).
nb::object bytes_view(const void *p, std::size_t n, nb::handle owner);

// ---- records ---------------------------------------------------------------------------------------
// The manifest entry of one compressed record and its arrays (key -> C-contiguous array).
nb::dict record_entry(nb::module_ &np, nb::handle name, nb::handle rec, std::size_t index,
                      std::vector<std::pair<std::string, nb::object>> &arrays, const std::string &where);
using Shape = std::vector<std::uint64_t>;
// Checks that a record's arrays fit its method and its shape (NONE: one core of the record's
// shape; SVD: s (r), U (m x r), Vt (r x n) for the mode-0 flattening m x n; TUCKER: a core of
// the record's rank and one n_k x r_k factor per mode; TT: cores (r_k, n_k, r_k+1) chaining
// from 1 to 1), and, when `base` is given, that the record's shape is the base tensor's.
// Records of methods this module does not know are left to their decompressor.
void check_record(const Manifest &mf, nb::dict te, const std::string &where, const std::vector<Shape> &cores,
                  const std::vector<Shape> &factors, const Shape *base);
// The same check from the array shapes the manifest records (version 2 entries); false when the
// entry does not record them.
bool check_record_entry(const Manifest &mf, nb::dict te, const std::string &where, const Shape *base);
// A CompressedTensor back from its entry, its arrays read from `r`.
nb::object record_from(const Manifest &mf, nb::dict te, const st::Reader &r, const fs::path &file,
                       const std::string &where, const Shape *base = nullptr);

// ---- writer lock -----------------------------------------------------------------------------------
// An exclusive flock on `dir`/.vz-lock, held for the lifetime of the object and released by the
// kernel if the process dies. Waiting (wait=true) prints once on stderr whose lock it waits for;
// wait=false raises BlockingIOError at once. After taking it, leftovers of writers that died
// (temporary files) are removed.
class LibraryLock {
public:
    LibraryLock(const fs::path &dir, bool wait);
    ~LibraryLock();
    LibraryLock(const LibraryLock &) = delete;
    LibraryLock &operator=(const LibraryLock &) = delete;

private:
    int fd_ = -1;
};

// Records on a ModelLibrary object which manifest it last read from or wrote to `dir`.
void remember_manifest(nb::handle lib, const fs::path &dir, const std::string &digest);
// The digest remembered for `dir`, or "" when the library has never been loaded from or saved there.
std::string remembered_manifest(nb::handle lib, const fs::path &dir);

}  // namespace deltavault::files
