// Pieces of the on-disk library shared by storage.cpp (ModelLibrary.save / load), stream.cpp
// (the library opened without loading it, and the tensor-by-tensor operations) and lock.cpp.
// The format itself is described in storage.cpp's header.
#pragma once

#include "modules/deltavault/deltavault.hpp"

#include "core/fileio.hpp"
#include "core/safetensors.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vz::deltavault::files {
namespace fs = std::filesystem;
namespace st = vz::core::st;
namespace fileio = vz::core::fileio;

constexpr const char *kFormat = "velkor_zuma.deltavault.library";
constexpr long kVersion = 2;        // written; version 1 (whole-dict saves) is still read
constexpr const char *kManifest = "manifest.json";
constexpr const char *kTmpPrefix = ".vz-tmp-";
constexpr const char *kLockName = ".vz-lock";

// The manifest is read whole and parsed by the host's json module (several times its size in
// memory). One fine-tune of a Llama-shaped 7B model (291 tensors, tensor-train records) takes
// about 165 KiB of it (measured with ModelLibrary.save), so 1 GiB holds over 6,000 of them; a
// larger file is refused before it is read.
constexpr std::uint64_t kMaxManifestBytes = std::uint64_t(1) << 30;

std::string quoted(const fs::path &p);
fs::path to_path(nb::handle path);  // str or os.PathLike, else the argument-type error for "path"
// A temporary name for `final_name`, unique to this process: written only under the lock.
inline std::string tmp_name(const std::string &final_name) { return fileio::temp_name(kTmpPrefix, final_name); }

// Runs `fn`, raising the file layers' failed system calls (fileio::OsError, st::SystemError) as
// the host's OSError naming the file; Python errors pass through as they are.
template <typename Fn>
auto os_call(Fn &&fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (fileio::OsError &e) {
        bind::raise_os(e.err, e.path);
    } catch (st::SystemError &e) {
        bind::raise_os(e.err, e.path);
    }
}
// The names in `dir`; none where it cannot be listed (nothing there to refuse or remove).
inline std::vector<std::string> names_in(const fs::path &dir) {
    try {
        return fileio::list_dir(dir);
    } catch (fileio::OsError &) {
        return {};
    }
}
// Names this module writes into a library directory (and so may remove from it).
bool is_library_file(const std::string &name);

// SHA-256 (hex) of a file through the host's hashlib (OpenSSL's fast digest), read over a memory
// map in pieces.
std::string sha256_file(const fs::path &p);
// SHA-256 (hex) of a byte string.
std::string sha256_bytes(const std::string &data);
// SHA-256 (hex) of the file a reader maps, from its map (the very bytes the reader hands out).
std::string sha256_mapped(const st::Reader &r);

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
    // The fine-tune entries ("finetunes").
    nb::list finetunes() const;
    // The entry of fine-tune `id` and its position, or nothing.
    std::optional<std::pair<nb::dict, std::size_t>> finetune(const std::string &id) const;

private:
    fs::path file_;
};

// The bytes of a manifest file (at most kMaxManifestBytes; a larger one is an OSError, EFBIG).
std::string read_manifest_bytes(const fs::path &file);
// Reads and checks `dir`/manifest.json (errors as ModelLibrary.load raises them).
Manifest read_manifest(const fs::path &dir);
// The digest of the manifest in `dir`, or "" when there is none.
std::string current_digest(const fs::path &dir);
// A plain file name from an entry's "file", joined to `dir` (refuses paths).
fs::path entry_path(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where);
// The entry's file: present and of the recorded size; with `verify`, of the recorded SHA-256.
fs::path checked_file(const fs::path &dir, const Manifest &mf, nb::dict entry, const std::string &where, bool verify);
// A reader over a library file; a malformed file is a ValueError naming it.
std::shared_ptr<st::Reader> open_reader(const fs::path &p);
// The base file a manifest names, opened: its entry, its path (present and of the recorded
// size), a reader over it, and its tensor names in their saved order, each checked to be in it.
struct BaseFile {
    nb::dict entry;
    fs::path file;
    std::shared_ptr<st::Reader> reader;
    std::vector<std::string> names;
};
BaseFile open_base(const fs::path &dir, const Manifest &mf);

// JSON for the manifest: tuples and mappings tagged so that metadata comes back with its types.
nb::object encode(nb::handle v, const std::string &where);
// Writes the manifest under a temporary name, fsyncs it and renames it into place (the commit).
std::string write_manifest(const fs::path &dir, nb::dict manifest);  // returns the new digest
// Removes the files the previous manifest named (`before`) that the committed one (`keep`) no
// longer names; nothing else is ever removed from a library directory by a commit.
void remove_unreferenced(const fs::path &dir, const std::set<std::string> &keep, const std::set<std::string> &before);
// The file names an entry list refers to.
std::set<std::string> referenced(const Manifest &mf);

// ---- adding a fine-tune (passes.cpp) ---------------------------------------------------------------
// Shared by add_finetune_from and add_finetunes_from (its coordinator and its tasks), so that a
// fine-tune is checked, compressed, measured and committed alike whichever path adds it.

// The fused kernels' name of a floating-point file type.
vz::core::fused::Elem fused_kind(st::DType d);

// The compression settings of one add: the call's options over the library's.
struct Settings {
    nb::object method, max_rank, energy, energy_cap, solver;
    nb::object max_error = nb::none();  // set: the smallest record within it, per tensor
    // svd_mixed: the budget in bits a weight (None: lowrank's default), whether its codes are
    // zstd frames, and the widths of each 2-D tensor from one budget over the fine-tune (a dict
    // name -> widths; None: each tensor's own budget).
    nb::object bits = nb::none(), zstd = nb::bool_(false), widths = nb::none();
};
// The options apply to this add only and the library's settings fill in the rest: an explicit
// method without an energy means no energy target; max_rank 0 means no cap on the energy path;
// the solver defaults to the library's, None for "exact" (an unknown name is refused with
// lowrank's message).
Settings resolve_settings(const Manifest &mf, nb::handle method, nb::handle max_rank, nb::handle energy,
                          nb::handle solver);
// svd_mixed's options of one add: `bits` and `zstd` as given, else the library's (its manifest's
// "bits" and "zstd", when it records them).
void mixed_options(Settings &s, const Manifest &mf, nb::handle bits, nb::handle zstd);
// Whether the settings store 2-D deltas by svd_mixed (its method, and no energy or max_error).
bool is_mixed(const Settings &s);
// The one place where a delta meets a compressor, as ModelLibrary.add_finetune does it; `name`
// picks its widths under svd_mixed.
nb::object compress_delta(nb::object delta, const Settings &s, const std::string &name);

// svd_mixed's first pass over a fine-tune: the singular values of each 2-D delta, one tensor at a
// time (memory follows the largest tensor), then one budget over all of them.
class MixedPlan {
public:
    // The delta of tensor t (of type tk, extents `shape`) against its base tensor b (bt; null:
    // none), as compress_tensor computes it, and its spectrum when it has 2 or more dimensions.
    void add(DeltaBuffer &buffer, const std::string &name, const void *t, st::DType tk,
             const std::vector<std::uint64_t> &shape, const void *b, const st::TensorInfo *bt);
    // The same for a delta already computed (float32 numpy array).
    void add_delta(const std::string &name, nb::handle delta);
    // name -> widths under the settings' budget.
    nb::dict widths(const Settings &s) const;

private:
    nb::list names_, shapes_, spectra_;
};

// add_finetune_from's checks of a fine-tune tensor (`is_float`: of a floating-point file type;
// `np_dtype`: numpy's name of its type) against its base tensor `base` (null: none).
void check_tensor(const std::string &name, bool is_float, const std::string &np_dtype,
                  const std::vector<std::uint64_t> &shape, const st::TensorInfo *base, const std::string &label);

// The tensors of a source path (a .safetensors file or a directory of shards) in the order
// add_finetune_from reads them: shards sorted by name, names sorted within a shard, and a name
// in two shards keeping its first position with the later shard's tensor. `absolute`: shards are
// opened by their absolute paths (which tasks elsewhere open too).
struct SourceFiles {
    std::vector<std::string> names;
    std::vector<std::pair<std::shared_ptr<st::Reader>, const st::TensorInfo *>> where;  // per name
};
SourceFiles open_source_files(const fs::path &p, bool absolute);
// A source shard; a malformed file is a ValueError naming it.
std::shared_ptr<st::Reader> open_source_file(const fs::path &p);

// progress(tensors_done, tensors, bytes_done, bytes), called after each tensor when given.
struct Progress {
    nb::object fn;
    std::size_t total_tensors = 0;
    std::uint64_t total_bytes = 0, bytes = 0;
    std::size_t done = 0;
    void step(std::uint64_t b) {
        ++done;
        bytes += b;
        if (fn.is_valid() && !fn.is_none())
            fn(nb::int_((long long) done), nb::int_((long long) total_tensors), nb::int_((long long) bytes),
               nb::int_((long long) total_bytes));
    }
};

// One fine-tune tensor compressed: its manifest entry, its arrays (key -> C-contiguous array)
// and the squared-error sums of its reconstruction against the tensor.
struct TensorRecord {
    nb::dict entry;
    std::vector<std::pair<std::string, nb::object>> arrays;
    double sq_diff = 0.0, sq_ref = 0.0;
};
// A tensor as stored (t, of type tk and extents `shape`) against its base tensor as stored (b with
// its header bt; null: none): the float32 delta (in `buffer`), its record, the record's entry
// (number `index`, errors naming `where`) and the reconstruction error from the base, the record
// and the tensor.
TensorRecord compress_tensor(DeltaBuffer &buffer, const std::string &name, std::size_t index, const void *t,
                             st::DType tk, const std::vector<std::uint64_t> &shape, const void *b,
                             const st::TensorInfo *bt, const Settings &s, const std::string &where);

// A fine-tune's file written record by record under a temporary name, then committed: the file,
// then the manifest that names it, then the removal of the files no manifest names any more.
class FinetuneFile {
public:
    // The file of fine-tune number `index` in `dir`, its header sized for the tensors `names`.
    FinetuneFile(const fs::path &dir, std::size_t index, const std::vector<std::string> &names);
    // Writes one record's arrays and keeps its entry and sums; `dense_bytes` is its tensor's size.
    void add(const std::string &tensor, const TensorRecord &r, long long dense_bytes);
    // Commits the file and a copy of `mf` with this fine-tune (`id`) at `pos` (appended where
    // none); `mf` becomes the committed manifest. Returns add_finetune_from's result.
    nb::dict commit(Manifest &mf, const std::string &id, std::optional<std::size_t> pos);

private:
    fs::path dir_;
    std::string final_name_;
    std::unique_ptr<st::Writer> w_;
    nb::list entries_;
    nb::dict methods_;      // tensors per method value, in order of first use
    long long stored_ = 0, dense_ = 0;
    long long larger_ = 0;  // records larger than their delta stored dense (float32)
    double num_ = 0.0, den_ = 0.0;
};

// ---- element types -------------------------------------------------------------------------------
// A numpy dtype's file type (native-order bool/ints/floats); false for anything else.
bool file_dtype(nb::handle np_dtype, st::DType &out);
// The numpy dtype in which a file type is handed to Python (BF16 widens to float32).
nb::object numpy_dtype(st::DType d);
// numpy's name of a file element type ("bfloat16" for the type numpy lacks).
inline std::string numpy_name(st::DType d) { return d == st::DType::BF16 ? "bfloat16" : bind::text(numpy_dtype(d)); }
// A shape as Python writes the tuple: "(3,)", "(2, 4)".
inline std::string shape_text(const std::vector<std::uint64_t> &shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    if (shape.size() == 1) s += ",";
    return s + ")";
}
// The C-contiguous bytes of an array, read only.
inline bind::Buffer contiguous_bytes(nb::handle arr) { return bind::Buffer(arr, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT); }
// A numpy array over a tensor of a reader: a copy (owned), BF16 widened to float32.
nb::object tensor_array(const st::Reader &r, const st::TensorInfo &t);
// numpy-side read-only view of `n` bytes at `p` (kept alive by `owner`).
nb::object bytes_view(const void *p, std::size_t n, nb::handle owner);

// ---- records ---------------------------------------------------------------------------------------
// `v` as a std::string; anything but a str is save's TypeError naming `what`.
std::string need_str(nb::handle v, const std::string &what);
// The manifest entry of one compressed record and its arrays (key -> C-contiguous array).
nb::dict record_entry(nb::module_ &np, nb::handle name, nb::handle rec, std::size_t index,
                      std::vector<std::pair<std::string, nb::object>> &arrays, const std::string &where);
using Shape = std::vector<std::uint64_t>;
// Checks that a record's arrays fit its method and its shape (NONE: one core of the record's
// shape; SVD: s (r), U (m x r), Vt (r x n) for the mode-0 flattening m x n; TUCKER: a core of
// the record's rank and one n_k x r_k factor per mode; TT: cores (r_k, n_k, r_k+1) chaining
// from 1 to 1), and, when `base` is given, that the record's shape is the base tensor's. The
// record's dtype must be a floating type (its delta is added to a floating base), and for the
// methods that store the delta's own values (none, svd, tucker, tt) the type of its arrays,
// whose file types (st::dtype_name; "" where unknown) `types` lists, cores first.
// Records of methods this module does not know are left to their decompressor.
void check_record(const Manifest &mf, nb::dict te, const std::string &where, const std::vector<Shape> &cores,
                  const std::vector<Shape> &factors, const Shape *base, const std::vector<std::string> &types);
// The same check from the array shapes the manifest records (version 2 entries); false when the
// entry does not record them.
bool check_record_entry(const Manifest &mf, nb::dict te, const std::string &where, const Shape *base);
// A CompressedTensor back from its entry, its arrays read from `r`.
nb::object record_from(const Manifest &mf, nb::dict te, const st::Reader &r, const fs::path &file,
                       const std::string &where, const Shape *base = nullptr);

// ---- writer lock -----------------------------------------------------------------------------------
// An exclusive flock on `dir`/.vz-lock, held for the lifetime of the object and released by the
// kernel if the process dies. Waiting (wait=true) prints once on stderr whose lock it waits for;
// wait=false raises BlockingIOError at once; Ctrl-C ends a wait. A lock file that is a link, not a
// regular file or one with other names is refused (OSError), never followed or written. After
// taking it, leftovers of writers that died (temporary files) are removed.
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

}  // namespace vz::deltavault::files
