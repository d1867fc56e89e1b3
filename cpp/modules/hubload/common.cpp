#include "hubload.hpp"

namespace hubload {

nb::object from_import(const char *module, const char *name) {
    nb::module_ mod = nb::module_::import_(module);
    PyObject *obj = PyObject_GetAttrString(mod.ptr(), name);
    if (obj) return nb::steal(obj);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
}

nb::object own(const char *name) { return vz::module_attr(kModule, name); }

int64_t to_i64(nb::handle obj) {
    PyObject *num = PyNumber_Index(obj.ptr());
    if (!num) {
        PyErr_Clear();
        num = PyNumber_Long(obj.ptr());
        if (!num) throw nb::python_error();
    }
    long long v = PyLong_AsLongLong(num);
    Py_DECREF(num);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double to_f64(nb::handle obj) {
    double v = PyFloat_AsDouble(obj.ptr());  // uses __float__ (0-d tensors, numpy scalars)
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

void raise(PyObject *exc_type, const std::string &message) {
    PyErr_SetString(exc_type, message.c_str());
    throw nb::python_error();
}

bool contains(nb::handle container, const char *key) {
    int r = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

std::string text(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

}  // namespace hubload
