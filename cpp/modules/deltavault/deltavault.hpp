// Module deltavault: one base state dict plus many fine-tunes kept as compressed deltas.
// Pieces shared by the files of this module.
#pragma once

#include "bind/bind.hpp"

namespace deltavault {
namespace nb = nanobind;

constexpr const char *kModule = "velkor_zuma.deltavault";

// An attribute of this module, looked up at call time: its records and the names it imported
// from velkor_zuma.lowrank when it loaded (CompressionMethod, CompressedTensor, compress,
// decompress, svd_compress_energy), so that calls use the objects callers see there.
nb::object own_attr(const char *name);

// ---- array passes (arrays.cpp) --------------------------------------------------------------
// float32(w - b) for a fine-tune tensor w and its base tensor b (b null: float32 copy of w).
// Raises ValueError when the shapes differ.
nb::object float32_delta(nb::handle name, nb::handle w, nb::handle b);

// b + d for a base tensor b and a decompressed delta d (numpy's result type).
nb::object add_base(nb::handle b, nb::object d);

// Sum of squared float32 differences of x and y and sum of squares of y (float64 sums).
void squared_error_sums(nb::handle x, nb::handle y, double &sq_diff, double &sq_ref);

// Byte size of a state dict (exact-dict check on `sd`, error naming `argname`).
long long state_dict_nbytes(nb::handle sd, const char *argname);

// ---- registration ----------------------------------------------------------------------------
void register_library(nb::module_ &m);  // library.cpp: records, methods, module functions
void register_storage(nb::handle library_cls);  // storage.cpp: ModelLibrary.save / load

}  // namespace deltavault
