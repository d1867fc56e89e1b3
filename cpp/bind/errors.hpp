// Raising Python exceptions from C++ with the house messages, and chaining one error onto another.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace vz::bind {
namespace nb = nanobind;

// Raises `type(message)`. The message is a UTF-8 string or any Python object (a str built with
// str.format, so that paths and reprs read exactly as the host writes them).
[[noreturn]] void raise(PyObject *type, const std::string &message);
[[noreturn]] void raise(PyObject *type, nb::handle message);

// TypeError "Argument '{name}' has incorrect type (expected {expected}, got {type(obj).__name__})".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle given);

// OSError for a failed system call, subclass chosen by `err` (FileNotFoundError, PermissionError,
// IsADirectoryError, ...), with the file name the host's own open() would report.
[[noreturn]] void raise_os(int err, nb::handle filename);
[[noreturn]] void raise_os(int err, const std::string &filename);

// `raise type(message) from <pending error>`: chained through nanobind's own nb::chain_error, so the
// pending error becomes both __cause__ and __context__ of the new one.
[[noreturn]] void raise_from(PyObject *type, const std::string &message);
// `raise type(message) from e` for an error already caught as nb::python_error.
[[noreturn]] void raise_from(nb::python_error &e, PyObject *type, const std::string &message);

// Takes the new reference a C API call returned; a NULL result raises the pending Python error.
nb::object steal_or_raise(PyObject *result);

}  // namespace vz::bind
