#include "bind/host.hpp"

#include "bind/errors.hpp"

namespace vz::bind {

nb::module_ import(const char *name) { return nb::module_::import_(name); }
nb::module_ numpy() { return nb::module_::import_("numpy"); }

nb::module_ import_optional(const char *name, const std::string &hint) {
    try {
        return nb::module_::import_(name);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_from(e, PyExc_ImportError, hint);
    }
}

nb::object from_import(const char *module, const char *name) {
    nb::module_ mod = nb::module_::import_(module);
    PyObject *obj = PyObject_GetAttrString(mod.ptr(), name);
    if (obj) return nb::steal(obj);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) nb::raise_python_error();
    PyErr_Clear();
    raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
}

nb::object module_attr(const char *module, const char *name) { return nb::module_::import_(module).attr(name); }

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) nb::raise_python_error();
    return r == 1;
}

bool contains(nb::handle container, const char *key) { return contains(container, nb::str(key)); }

nb::object get_item(nb::handle mapping, nb::handle key) {
    return steal_or_raise(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

nb::object items(nb::handle mapping) { return mapping.attr("items")(); }

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) nb::raise_python_error();
    return r == 1;
}

std::string text(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

int64_t to_i64(nb::handle obj) {
    PyObject *num = PyNumber_Index(obj.ptr());
    if (!num) {
        PyErr_Clear();
        num = PyNumber_Long(obj.ptr());
    }
    nb::object n = steal_or_raise(num);
    long long v = PyLong_AsLongLong(n.ptr());
    if (v == -1 && PyErr_Occurred()) nb::raise_python_error();
    return v;
}

double to_f64(nb::handle obj) {
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) nb::raise_python_error();
    return v;
}

}  // namespace vz::bind
