// Records (real dataclasses) and `(str, Enum)` classes built from C++, and methods, properties,
// classmethods and staticmethods implemented in C++ attached to them.
#pragma once

#include "bind/host.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

namespace vz::bind {
namespace nb = nanobind;

struct Field {
    enum Kind { Required, Default, Factory };
    std::string name;
    std::string annotation;  // annotation text, e.g. "np.ndarray" or "int"
    Kind kind = Required;
    nb::object value;        // default value, or the factory callable (dict, list, ...)

    static Field req(std::string n, std::string ann) { return {std::move(n), std::move(ann), Required, nb::none()}; }
    static Field def(std::string n, std::string ann, nb::object v) {
        return {std::move(n), std::move(ann), Default, std::move(v)};
    }
    static Field factory(std::string n, std::string ann, nb::object f) {
        return {std::move(n), std::move(ann), Factory, std::move(f)};
    }
};

// Builds a real dataclass (dataclasses.make_dataclass) whose __module__ is the module's name
// and stores it as an attribute of the module. `frozen` records raise FrozenInstanceError on
// assignment. Extra class attributes (methods, properties, docstring) go in `ns`.
nb::object make_dataclass(nb::module_ &m, const char *name, const std::vector<Field> &fields, bool frozen,
                          nb::dict ns = nb::dict(), const char *doc = nullptr);

// A `(str, Enum)` class: members compare equal to their text, str() gives "Name.MEMBER".
nb::object make_str_enum(nb::module_ &m, const char *name,
                         const std::vector<std::pair<const char *, const char *>> &members);

// Adds a method implemented in C++ to a class built above. The first parameter of `f`
// receives `self` (take it as nb::handle / nb::object).
template <typename Func, typename... Extra>
void add_method(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::scope(cls), nb::name(name), nb::is_method(), extra...);
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

}  // namespace vz::bind
