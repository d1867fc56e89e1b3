// Shared helpers of the tensor-compression module: class lookups, numpy calls, dense views of
// float32/float64 arrays for the native kernels and wrapping native buffers as numpy arrays.
// native() below is the module's one GIL boundary: every call into cpp/core goes through it.
#pragma once

#include "bind/bind.hpp"
#include "core/blas.hpp"
#include "core/fused_lowrank.hpp"
#include "core/lowrank_kernels.hpp"
#include "core/packed_delta.hpp"
#include "core/randomized_svd.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vz::lowrank {
using namespace nb::literals;
namespace kern = vz::core::lowrank;
namespace fused = vz::core::fused;

// The fused kernels' element kind of float / double.
template <typename T>
constexpr fused::Elem fused_kind() {
    return sizeof(T) == 4 ? fused::Elem::F32 : fused::Elem::F64;
}

inline constexpr const char *kModule = "velkor_zuma.lowrank";

// ---- classes and members (looked up on the module, never cached in C++) -------------------------
nb::object method_cls();
nb::object member(const char *name);  // CompressionMethod.<name>
nb::object tensor_cls();
nb::object report_cls();

// Builds a CompressedTensor.
nb::object make_record(nb::handle method, nb::handle shape, nb::handle dtype, nb::handle cores, nb::handle factors,
                       nb::handle metadata);

// ---- numpy helpers ------------------------------------------------------------------------------
nb::object slice_to(int64_t stop);                 // slice(None, stop)
nb::object cols_to(int64_t stop);                  // (slice(None), slice(None, stop))
nb::object astype_nocopy(nb::handle arr, nb::handle dtype);  // arr.astype(dtype, copy=False)
// tuple(obj), list(obj), str(obj). They take a handle on purpose: nb::tuple(x.attr("shape")) would
// cast the attribute to the class unchecked (a torch.Size or a list kept as it is), not convert it.
inline nb::tuple as_tuple(nb::handle obj) { return nb::tuple(obj); }
inline nb::list as_list(nb::handle obj) { return nb::list(obj); }
inline nb::str as_str(nb::handle obj) { return nb::str(obj); }
int64_t py_ceil(double v);                         // math.ceil for finite values
int64_t slice_len(int64_t stop, int64_t len);      // len(range(len)[:stop])

// ---- dense views --------------------------------------------------------------------------------
// A C-contiguous, native-order float32 (kind 1) or float64 (kind 2) numpy array with at least one
// element; held through the buffer protocol for the lifetime of the view, so that the kernels may
// read it with the GIL released.
struct Dense {
    int kind = 0;
    const void *data = nullptr;
    std::vector<int64_t> shape;
    int64_t size = 0;
    nb::object keep;   // the contiguous copy of a strided input, when one was made
    bind::Buffer buf;  // released before `keep` (declared after it)
    template <typename T>
    const T *ptr() const {
        return static_cast<const T *>(data);
    }
    const char *dtype_name() const { return kind == 1 ? "float32" : "float64"; }
};

// Fills `d` when `obj` is exactly a numpy.ndarray of float32/float64 with elements. A strided array
// is made contiguous first (a copy) when `allow_copy`, otherwise refused.
bool dense_view(nb::handle obj, Dense &d, bool allow_copy);

// A new uninitialised C-ordered numpy array of element type T (float or double) with extents
// `shape` (a sequence object, or a list of extents); `data` receives its buffer.
template <typename T>
nb::object new_array(nb::handle shape, T *&data);
template <typename T>
nb::object new_array(const std::vector<int64_t> &shape, T *&data);

// Product of the extents when `shape` is a tuple of non-negative ints, otherwise -1.
int64_t plain_size(nb::handle shape);

// Runs native work with the GIL released: the one place of this module that releases it, so `f`
// must touch no Python object (only buffers held by Dense / bind::Buffer or arrays made before).
// LAPACK convergence failures become numpy's LinAlgError, as numpy.linalg.svd reports them. The
// core's std::length_error (an extent beyond LAPACK's 32-bit integers, which callers rule out with
// kern::lapack_fits first) and std::invalid_argument reach Python as ValueError through nanobind's
// own translation, like this module's other refusals.
template <typename F>
auto native(F &&f) -> decltype(f()) {
    try {
        nb::gil_scoped_release unlocked;
        return f();
    } catch (const vz::core::LinAlgError &e) {
        nb::object err = bind::numpy().attr("linalg").attr("LinAlgError");
        bind::raise(err.ptr(), e.what());
    }
}

// ---- solver choice -------------------------------------------------------------------------------
using Solver = kern::Solver;
// The keyword-only `solver` argument: exactly a str, one of "exact", "randomized", "auto";
// anything else is a TypeError (not text) or ValueError naming the allowed values.
Solver arg_solver(nb::handle obj);
// Docstring text shared by the compressors that take `solver`.
#define SOLVER_DOC_SHORT                                                                                  \
    "Records made by the randomized solver say so in their metadata (\"solver\": \"randomized\"); exact " \
    "records are unchanged. A fixed seed makes the result the same for the same input."
#define SOLVER_DOC                                                                                           \
    "solver: 'exact' (LAPACK's full thin SVD, the default), 'randomized' (a randomized range finder with "   \
    "rank + 10 start vectors and 3 block Krylov steps, whenever its basis 4 * (rank + 10) < min(m, n)) or "  \
    "'auto': randomized when min(m, n) >= 128 and rank + 10 <= min(m, n) / 8, exact otherwise (decided for " \
    "every matrix that is decomposed, m x n being that matrix). " SOLVER_DOC_SHORT

// Marks a record's metadata when a non-exact solver made it (exact records carry no such key).
inline void note_solver(nb::dict &meta, bool randomized) {
    if (randomized) meta["solver"] = "randomized";
}

// Values that share one float32 scale in the SVD_Q4 / SVD_Q8 codes unless the caller says otherwise:
// 0.25 bit a weight on top of the codes. On the testbed's three full fine-tunes
// (benchmarks/bench_quality.py, the README's quality table) 4-bit codes at this group change
// perplexity by at most +0.24 %. Smaller groups follow outliers more closely for more scale bytes.
inline constexpr int64_t kDefaultGroupSize = 128;

// Bits a weight that SVD_MIXED spends over a fine-tune's 2-D tensors unless the caller says
// otherwise. On the testbed's three full fine-tunes (benchmarks/bench_quality.py, the README's
// quality table) 1.2 bits change perplexity by well under 2 % at over 13x smaller than float16.
inline constexpr double kDefaultMixedBits = 1.2;

// ---- algorithms shared between files -------------------------------------------------------------
nb::object unfold(nb::handle tensor, int64_t mode);
nb::object fold(nb::handle matrix, int64_t mode, nb::handle shape);
nb::object mode_dot(nb::handle tensor, nb::handle matrix, int64_t mode);
double relative_frobenius_error(nb::handle original, nb::handle approx);

nb::object svd_compress(nb::handle tensor, double rank_ratio, int64_t min_rank, Solver solver = Solver::Exact);
nb::object svd_compress_energy(nb::handle tensor, double energy, int64_t min_rank, std::optional<int64_t> max_rank,
                               Solver solver = Solver::Exact);
nb::object svd_decompress(nb::handle compressed);
nb::object tucker_compress(nb::handle tensor, double rank_ratio, int64_t min_rank, Solver solver = Solver::Exact);
nb::object tucker_decompress(nb::handle compressed);
nb::object tt_compress(nb::handle tensor, int64_t max_rank, Solver solver = Solver::Exact);
nb::object tt_decompress(nb::handle compressed);
nb::object sign_compress(nb::handle tensor, int64_t rank, bool per_row, bool per_column = false);
nb::object sign_decompress(nb::handle compressed);
nb::object svd_quant_compress(nb::handle tensor, int64_t rank, int64_t bits, int64_t group_size);
nb::object svd_quant_decompress(nb::handle compressed);
nb::object compress_best(nb::handle tensor, double max_error, int64_t max_rank, int64_t group_size);
nb::object svd_spectrum(nb::handle tensor);
nb::list svd_mixed_widths(nb::handle shapes, nb::handle spectra, double bits);
nb::object svd_mixed_compress(nb::handle tensor, double bits, nb::handle widths, bool zstd, Solver solver);
nb::object svd_mixed_decompress(nb::handle compressed);
nb::tuple svd_mixed_factors(nb::handle compressed);
// The svd_mixed record of the smallest budget whose predicted relative error (by the budget's
// model of each width) is at most max_error, or None when even 8 bits everywhere is predicted
// above it. The tensor is finite, with 2 or more dimensions.
nb::object svd_mixed_within(nb::handle tensor, double max_error);
nb::object compress(nb::handle tensor, nb::handle method, double rank_ratio, int64_t max_rank,
                    Solver solver = Solver::Exact, double bits = kDefaultMixedBits);
nb::object decompress(nb::handle compressed);

// ---- registration --------------------------------------------------------------------------------
void register_records(nb::module_ &m);
void register_algebra(nb::module_ &m);
void register_svd(nb::module_ &m);
void register_tucker(nb::module_ &m);
void register_tt(nb::module_ &m);
void register_dispatch(nb::module_ &m);
void register_merge(nb::module_ &m);
void register_quant(nb::module_ &m);
void register_mixed(nb::module_ &m);

// ---- packed records (quant.cpp, packed.cpp) -------------------------------------------------------
// A SIGN / SVD_Q4 / SVD_Q8 record's arrays, checked as its decompressor checks them and held
// (through the buffer protocol) for the packed-delta kernel while this lives.
struct PackedRecord {
    vz::core::packed::Delta delta;
    std::vector<nb::object> keep;
    std::vector<bind::Buffer> bufs;  // released before `keep` (declared after it)
};
void packed_record(nb::handle compressed, PackedRecord &out);
void register_packed(nb::module_ &m);

}  // namespace vz::lowrank
