// The host's objects from C++: modules imported at call time, numpy, mapping access, truth and
// numeric conversions with the host's own rules, and `with` blocks.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace vz::bind {
namespace nb = nanobind;

// ---- modules ---------------------------------------------------------------------------------
nb::module_ import(const char *name);  // through the host's import cache, never stored in C++
nb::module_ numpy();                   // the one way to reach numpy

// Imports an optional library at call time; on failure raises ImportError(hint) chained from the
// original ImportError (`raise ImportError(hint) from err`).
nb::module_ import_optional(const char *name, const std::string &hint);

// `from <module> import <name>`: a missing attribute is an ImportError, as with the statement.
nb::object from_import(const char *module, const char *name);

// An attribute of a module, looked up at call time: classes built by make_dataclass and the
// module's own functions, never held in C++ statics, so a replaced attribute is seen.
nb::object module_attr(const char *module, const char *name);

// ---- mappings and containers -----------------------------------------------------------------
bool contains(nb::handle container, nb::handle key);   // `key in container`
bool contains(nb::handle container, const char *key);  // `key in container`, key a str
nb::object get_item(nb::handle mapping, nb::handle key);  // `mapping[key]` (KeyError propagates)
nb::object items(nb::handle mapping);                     // `mapping.items()`

// ---- truth, text and numbers with the host's rules -------------------------------------------
bool truthy(nb::handle obj);        // `bool(obj)`; errors of __bool__ / __len__ propagate
std::string text(nb::handle obj);   // `str(obj)` as UTF-8
int64_t to_i64(nb::handle obj);     // `int(obj)` (__index__, else __int__)
double to_f64(nb::handle obj);      // `float(obj)` (0-d tensors, numpy scalars)

// ---- with blocks -----------------------------------------------------------------------------
// Runs `body(value)` as `with mgr as value: body(value)` would: __exit__ sees the error (and may
// suppress it) on every exit path, and None triples on a normal one.
template <typename Body>
void with_context(nb::handle mgr, Body &&body) {
    nb::handle type = mgr.type();
    nb::object exit = type.attr("__exit__");
    nb::object value = type.attr("__enter__")(mgr);
    try {
        body(nb::handle(value));
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        if (!tb.is_valid()) tb = nb::none();
        if (truthy(exit(mgr, e.type(), e.value(), tb))) return;
        throw;
    } catch (...) {
        exit(mgr, nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(mgr, nb::none(), nb::none(), nb::none());
}

}  // namespace vz::bind
