#include "bind/args.hpp"

#include "bind/errors.hpp"

#include <cmath>
#include <cstdint>

namespace vz::bind {

std::string type_name(nb::handle obj) { return nb::cast<std::string>(obj.type().attr("__name__")); }

bool is_none(nb::handle obj) { return obj.is_none(); }

nb::str arg_str(nb::handle obj, const char *name) {
    if (!PyUnicode_CheckExact(obj.ptr())) raise_arg_type(name, "str", obj);
    return nb::borrow<nb::str>(obj);
}
nb::bytes arg_bytes(nb::handle obj, const char *name) {
    if (!PyBytes_CheckExact(obj.ptr())) raise_arg_type(name, "bytes", obj);
    return nb::borrow<nb::bytes>(obj);
}
nb::dict arg_dict(nb::handle obj, const char *name) {
    if (!PyDict_CheckExact(obj.ptr())) raise_arg_type(name, "dict", obj);
    return nb::borrow<nb::dict>(obj);
}
nb::list arg_list(nb::handle obj, const char *name) {
    if (!PyList_CheckExact(obj.ptr())) raise_arg_type(name, "list", obj);
    return nb::borrow<nb::list>(obj);
}
nb::tuple arg_tuple(nb::handle obj, const char *name) {
    if (!PyTuple_CheckExact(obj.ptr())) raise_arg_type(name, "tuple", obj);
    return nb::borrow<nb::tuple>(obj);
}

namespace {
// Python ints have no range limit; values beyond int64 saturate.
int64_t saturate_long(nb::handle l) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(l.ptr(), &overflow);
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    if (v == -1 && PyErr_Occurred()) nb::raise_python_error();
    return v;
}
}  // namespace

int64_t arg_int(nb::handle obj, const char *name) {
    PyObject *o = obj.ptr();
    if (PyBool_Check(o) || PyLong_Check(o)) return saturate_long(obj);
    if (PyFloat_Check(o)) {
        double d = PyFloat_AsDouble(o);
        if (std::isnan(d)) throw nb::value_error("cannot convert float NaN to integer");
        if (std::isinf(d)) throw nb::value_error("cannot convert float infinity to integer");
        if (d >= 9223372036854775807.0) return INT64_MAX;
        if (d <= -9223372036854775808.0) return INT64_MIN;
        return (int64_t) std::trunc(d);
    }
    // Other numbers (numpy scalars, Fraction, Decimal): int(x) truncates.
    if (PyNumber_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o))
        return saturate_long(steal_or_raise(PyNumber_Long(o)));
    raise_arg_type(name, "int", obj);
}

double arg_float(nb::handle obj, const char *name) {
    PyObject *o = obj.ptr();
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (PyUnicode_Check(o) || PyBytes_Check(o) || !PyNumber_Check(o)) raise_arg_type(name, "float", obj);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) nb::raise_python_error();
    return d;
}

}  // namespace vz::bind
