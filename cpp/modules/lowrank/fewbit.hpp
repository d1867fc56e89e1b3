// Helpers shared by the few-bit record formats (quant.cpp: SIGN, SVD_Q4, SVD_Q8; mixed.cpp:
// SVD_MIXED): the mode-0 flattening of a shape, new numpy arrays of a named type, the checked
// read of a record's arrays and metadata, and the float32 input of a compressor.
#pragma once

#include "modules/lowrank/common.hpp"

#include <initializer_list>
#include <string>

namespace vz::lowrank::fewbit {

struct Flat {
    int64_t m = 1, n = 1;
};

// The mode-0 flattening of `shape` (a tuple of non-negative ints; a vector or a scalar as one
// row); false when it is not one or the product overflows.
bool flatten(nb::handle shape, Flat &f);

// A new uninitialised numpy array of extents `shape` and numpy type `dtype`; `data` its buffer.
nb::object empty_array(std::initializer_list<int64_t> shape, const char *dtype, void *&data);

// A read view of an array of a record: exactly `dtype` (a numpy name), with exactly the extents
// `shape`; otherwise the record is refused ("malformed <method> record: ...").
struct Held {
    nb::object keep;   // the contiguous array read
    bind::Buffer buf;  // released before `keep` (declared after it)
    const void *ptr() const { return buf.data(); }
};
[[noreturn]] void bad_record(const std::string &method, const std::string &what);
void hold(nb::handle arr, const char *dtype, std::initializer_list<int64_t> shape, Held &h, const std::string &method,
          const char *what);
// metadata[key]: an int in [lo, hi], else the record is refused.
int64_t meta_int(nb::handle meta, const char *key, const std::string &method, int64_t lo, int64_t hi);

// The tensor as a C-contiguous float32 array, its shape and the text of its element type.
struct Input {
    nb::object arr;  // float32, C order
    nb::str dtype;
    nb::tuple shape;
    Flat flat;
    const float *data = nullptr;
    bind::Buffer view;  // of arr, released before it
};
void take_input(nb::handle tensor, Input &in, const char *method);
[[noreturn]] void non_finite(const char *method);

// The float32 m x n result, reshaped to the record's shape and cast to its element type.
nb::object finish(nb::object out, nb::handle compressed);

}  // namespace vz::lowrank::fewbit
