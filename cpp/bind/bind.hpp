// Glue shared by every extension module, in namespace vz::bind, one header per concern:
//   bind/args.hpp     argument checks with the house messages (arg_str, arg_dict, arg_int, ...)
//   bind/errors.hpp   raising: raise(type, msg), raise_arg_type, raise_os (from errno),
//                     raise_from (chained through nanobind's nb::chain_error / nb::raise_from),
//                     steal_or_raise for new references from the C API
//   bind/host.hpp     the host's objects: import, numpy(), import_optional, from_import,
//                     module_attr; contains / get_item / items; truthy, text, to_i64, to_f64;
//                     with_context (a `with` block)
//   bind/buffer.hpp   Buffer, the one RAII holder of a Py_buffer
//   bind/records.hpp  dataclass records, (str, Enum) classes, methods added from C++
//
// Design notes: one way to do each thing.
// - Layers. cpp/core is plain C++ on OpenBLAS with no Python header, in vz::core (shared
//   foundations: blas, parallel) and vz::core::<area> (dedup, gguf, lowrank, deltavault). cpp/bind
//   is the only generic glue, in vz::bind. Each extension module lives in cpp/modules/<name>.cpp
//   or cpp/modules/<name>/, in namespace vz::<name>, with module-internal helpers in an anonymous
//   namespace (never `static`); NB_MODULE stays at global scope and reads as a map of what the
//   module registers.
// - Includes are rooted at cpp/: "bind/bind.hpp", "core/parallel.hpp",
//   "modules/hubload/hubload.hpp"; never relative.
// - Python access goes through the helpers above: numpy only through numpy(), optional libraries
//   only through import_optional / from_import at call time, membership only through contains.
// - Errors: raise(...) for a new error with a house message, raise_from(...) to chain, and
//   nb::raise_python_error() to propagate the pending one. No hand-written PyErr_Fetch.
// - References: nb::steal for the new references the C API returns (steal_or_raise where NULL
//   means an error), nb::borrow for borrowed ones; no Py_INCREF / Py_DECREF by hand.
// - Buffers: bind::Buffer for the buffer protocol, or nb::ndarray where a typed view serves.
#pragma once

#include "bind/args.hpp"
#include "bind/buffer.hpp"
#include "bind/errors.hpp"
#include "bind/host.hpp"
#include "bind/records.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace vz {
// `nb::` is nanobind throughout the glue: every module namespace (vz::<name>) sees this alias.
namespace nb = nanobind;
}  // namespace vz
