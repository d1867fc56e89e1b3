// Module deltavault: one base state dict plus many fine-tunes kept as compressed deltas.
// Pieces shared by the files of this module.
#pragma once

#include "bind/bind.hpp"
#include "core/fused_lowrank.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vz::deltavault {

constexpr const char *kModule = "velkor_zuma.deltavault";

// An attribute of this module, looked up at call time: its records and the names it imported
// from velkor_zuma.lowrank when it loaded (CompressionMethod, CompressedTensor, compress,
// decompress, svd_compress_energy), so that calls use the objects callers see there.
nb::object own_attr(const char *name);

// ---- array passes (arrays.cpp) --------------------------------------------------------------
// A float32 buffer reused for the deltas of one add_finetune call. Each delta is handed to a
// compressor and normally dropped afterwards; writing the next delta into memory that is
// already mapped saves the page faults and zeroing of a fresh allocation per tensor. The
// buffer is reused only while nothing else refers to it: a compressor that keeps the delta
// (or any view of it) keeps the buffer, and the next delta gets a new one.
class DeltaBuffer {
public:
    // A C-contiguous float32 array of `count` elements and extents `shape`.
    nb::object take(nb::module_ &np, nb::handle shape, std::size_t count);

private:
    nb::object buf_;  // 1-D float32 array owned here (refcount 1 while free)
    std::size_t size_ = 0;
};

// float32(w - b) for a fine-tune tensor w and its base tensor b (b null: float32 copy of w),
// written into `buffer` when the fused pass applies. Raises ValueError when the shapes differ.
nb::object float32_delta(nb::handle name, nb::handle w, nb::handle b, DeltaBuffer &buffer);

// Refuses (ValueError naming `what`, e.g. "tensor 'w' of fine-tune 'ft'", and the first bad
// index in `shape`) a float32 delta of `count` values holding one that is not finite, before a
// compressor sees it: a factorization would turn the whole record into NaN, or fail in LAPACK.
// `source_value(i)` is the fine-tune's own value at flat index i, to tell a value that is not
// finite in the fine-tune from a difference that is not (an infinite base value, or one too
// large for float32).
void refuse_non_finite(const float *delta, std::size_t count, const std::vector<std::uint64_t> &shape,
                       const std::string &what, const std::function<double(std::size_t)> &source_value);

// b + d for a base tensor b and a decompressed delta d (numpy's result type).
nb::object add_base(nb::handle b, nb::object d);

// ---- fused passes over compressed records (fused.cpp) ------------------------------------------
// b + decompress(rec) computed in one pass without the dense delta, for a plain SVD / tensor-train
// / Tucker record of float32/float64 arrays and a dense float base of the result's extents;
// an invalid object (nothing done) when that does not apply.
nb::object fused_add_base(nb::handle b, nb::handle rec);

// The squared-error sums of squared_error_sums(b + decompress(rec), target) without forming
// the sum; false (nothing done) where fused_add_base would not apply or target is not a dense
// float array of the same extents.
bool fused_error(nb::handle b, nb::handle rec, nb::handle target, double &sq_diff, double &sq_ref);

// The same two passes over tensors given by their bytes as stored in a library or source file
// (bfloat16 included), for the streaming paths. `base.data` null: no base tensor.
struct Stored {
    const void *data = nullptr;
    vz::core::fused::Elem kind = vz::core::fused::Elem::F32;
    const std::vector<std::uint64_t> *shape = nullptr;
};
// base + decompress(rec) with numpy's result type of the base as read (bfloat16 read as
// float32) and the record; invalid where the record has no product form or the extents differ.
nb::object fused_add_stored(const Stored &base, nb::handle rec);
// The sums of squared_error_sums(reconstruction, target) for the float32 reconstruction
// float32(base) + float32(decompress(rec)) (float64 sum for a float64 base); false where the
// record has no product form or the extents differ.
bool fused_error_stored(const Stored &base, nb::handle rec, const Stored &target, double &sq_diff, double &sq_ref);
// `p` itself when it is aligned for elements of `item` bytes, else a copy of its `nbytes` bytes
// in `scratch` (file tensors may sit at any offset).
const void *aligned_bytes(const void *p, std::size_t item, std::size_t nbytes, std::vector<std::uint64_t> &scratch);

// Sum of squared float32 differences of x and y and sum of squares of y (float64 sums).
void squared_error_sums(nb::handle x, nb::handle y, double &sq_diff, double &sq_ref);

// Byte size of a state dict (exact-dict check on `sd`, error naming `argname`).
long long state_dict_nbytes(nb::handle sd, const char *argname);

// ---- registration ----------------------------------------------------------------------------
void register_library(nb::module_ &m);  // library.cpp: records, methods, module functions
void register_storage(nb::handle library_cls);  // storage.cpp: ModelLibrary.save / load
void register_stream(nb::module_ &m);  // stream.cpp: open_library and the tensor-by-tensor operations
void register_cluster(nb::module_ &m);  // cluster.cpp: add_finetunes_from and its task
void register_lora(nb::module_ &m);     // lora.cpp: export_lora

// cluster.cpp: add_finetune_from's work when it is given an executor.
nb::dict add_finetune_with(nb::handle path, nb::handle model_id, nb::handle source, nb::handle method,
                           nb::handle max_rank, nb::handle energy, nb::handle solver, bool replace, bool wait,
                           nb::handle progress, nb::handle executor, nb::handle bits, nb::handle zstd);

}  // namespace vz::deltavault
