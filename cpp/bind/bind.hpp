// Glue shared by every extension module: argument checks with the house messages,
// record (dataclass) and enum builders, numpy access and call-time imports.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace vz {
namespace nb = nanobind;

// ---- argument checks -------------------------------------------------------------------------
// TypeError "Argument '{name}' has incorrect type (expected {expected}, got {type(obj).__name__})".
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle given);

// Exact built-in types: a subclass is refused.
nb::str arg_str(nb::handle obj, const char *name);
nb::bytes arg_bytes(nb::handle obj, const char *name);
nb::dict arg_dict(nb::handle obj, const char *name);
nb::list arg_list(nb::handle obj, const char *name);
nb::tuple arg_tuple(nb::handle obj, const char *name);
// Same, but None passes through (for `Optional[...]` parameters).
bool is_none(nb::handle obj);

// Integers accept any real number and truncate it (2.9 -> 2); floats convert to double.
int64_t arg_int(nb::handle obj, const char *name);
double arg_float(nb::handle obj, const char *name);

std::string type_name(nb::handle obj);  // type(obj).__name__

// ---- host modules ----------------------------------------------------------------------------
nb::module_ numpy();    // numpy (imported through the host's import cache, never stored)
nb::module_ import(const char *name);

// Imports an optional library at call time; on failure raises ImportError(hint) chained from
// the original ImportError (raise ImportError(hint) from err).
nb::module_ import_optional(const char *name, const std::string &hint);

// Re-raises the current Python error as `exc_type(message)` with the current one as its cause.
[[noreturn]] void raise_from(PyObject *exc_type, const std::string &message);

// ---- records ---------------------------------------------------------------------------------
struct Field {
    enum Kind { Required, Default, Factory };
    std::string name;
    std::string annotation;  // annotation text, e.g. "np.ndarray" or "int"
    Kind kind = Required;
    nb::object value;        // default value, or the factory callable (dict, list, ...)

    static Field req(std::string n, std::string ann) { return {std::move(n), std::move(ann), Required, nb::none()}; }
    static Field def(std::string n, std::string ann, nb::object v) { return {std::move(n), std::move(ann), Default, std::move(v)}; }
    static Field factory(std::string n, std::string ann, nb::object f) { return {std::move(n), std::move(ann), Factory, std::move(f)}; }
};

// Builds a real dataclass (dataclasses.make_dataclass) whose __module__ is the module's name
// and stores it as an attribute of the module. `frozen` records raise FrozenInstanceError on
// assignment. Extra class attributes (methods, properties, docstring) go in `ns`.
nb::object make_dataclass(nb::module_ &m, const char *name, const std::vector<Field> &fields,
                          bool frozen, nb::dict ns = nb::dict(), const char *doc = nullptr);

// A `(str, Enum)` class: members compare equal to their text, str() gives "Name.MEMBER".
nb::object make_str_enum(nb::module_ &m, const char *name,
                         const std::vector<std::pair<const char *, const char *>> &members);

// Adds a method implemented in C++ to a class built above. The first parameter of `f`
// receives `self` (take it as nb::handle / nb::object).
template <typename Func, typename... Extra>
void add_method(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::scope(cls), nb::name(name),
                                     nb::is_method(), extra...);
    nb::setattr(cls, name, fn);
}

// Adds a read-only property computed in C++ (f takes self).
template <typename Func>
void add_property(nb::handle cls, const char *name, Func &&f) {
    nb::object getter = nb::cpp_function(std::forward<Func>(f), nb::name(name));
    nb::object prop = import("builtins").attr("property")(getter);
    nb::setattr(cls, name, prop);
}

// Adds a classmethod / staticmethod implemented in C++ (classmethod's f takes cls first).
template <typename Func, typename... Extra>
void add_classmethod(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    nb::setattr(cls, name, import("builtins").attr("classmethod")(fn));
}
template <typename Func, typename... Extra>
void add_staticmethod(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    nb::setattr(cls, name, import("builtins").attr("staticmethod")(fn));
}

// Looks up a class built by make_dataclass / make_str_enum on the module (by attribute name),
// so functions never hold class objects in C++ statics.
nb::object module_attr(const char *module, const char *name);

}  // namespace vz
