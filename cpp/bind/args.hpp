// Argument checks with the house messages: exact built-in types for containers and text, lenient
// conversion for numbers.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>

namespace vz::bind {
namespace nb = nanobind;

// Exact built-in types: a subclass is refused with raise_arg_type's TypeError.
nb::str arg_str(nb::handle obj, const char *name);
nb::bytes arg_bytes(nb::handle obj, const char *name);
nb::dict arg_dict(nb::handle obj, const char *name);
nb::list arg_list(nb::handle obj, const char *name);
nb::tuple arg_tuple(nb::handle obj, const char *name);
// For `Optional[...]` parameters: check `is_none` first, then the type.
bool is_none(nb::handle obj);

// Integers accept any real number and truncate it (2.9 -> 2), saturating beyond int64 (a cap of
// 2**70 means "no cap", never a wrapped-around small number); floats convert to double.
int64_t arg_int(nb::handle obj, const char *name);
double arg_float(nb::handle obj, const char *name);

std::string type_name(nb::handle obj);  // type(obj).__name__

}  // namespace vz::bind
