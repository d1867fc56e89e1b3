#include "bind/bind.hpp"

#include <cmath>
#include <cstdint>

namespace vz {
using namespace nb::literals;

std::string type_name(nb::handle obj) {
    return nb::cast<std::string>(nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__name__"));
}

void raise_arg_type(const char *name, const char *expected, nb::handle given) {
    std::string msg = std::string("Argument '") + name + "' has incorrect type (expected " + expected +
                      ", got " + vz::type_name(given) + ")";
    throw nb::type_error(msg.c_str());
}

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
// Python ints have no range limit; values beyond int64 saturate (a rank cap of 2**70 or 1e20
// means "no cap", never a wrapped-around small number).
int64_t saturate_long(PyObject *l) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(l, &overflow);
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    if (v == -1 && PyErr_Occurred()) nb::raise_python_error();
    return v;
}
}  // namespace

int64_t arg_int(nb::handle obj, const char *name) {
    PyObject *o = obj.ptr();
    if (PyBool_Check(o) || PyLong_Check(o)) return saturate_long(o);
    if (PyFloat_Check(o)) {
        double d = PyFloat_AsDouble(o);
        if (std::isnan(d)) throw nb::value_error("cannot convert float NaN to integer");
        if (std::isinf(d)) throw nb::value_error("cannot convert float infinity to integer");
        if (d >= 9223372036854775807.0) return INT64_MAX;
        if (d <= -9223372036854775808.0) return INT64_MIN;
        return (int64_t) std::trunc(d);
    }
    // Other numbers (numpy scalars, Fraction, Decimal): int(x) truncates.
    if (PyNumber_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o)) {
        PyObject *l = PyNumber_Long(o);
        if (!l) nb::raise_python_error();
        int64_t v;
        try {
            v = saturate_long(l);
        } catch (...) {
            Py_DECREF(l);
            throw;
        }
        Py_DECREF(l);
        return v;
    }
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

nb::module_ import(const char *name) { return nb::module_::import_(name); }
nb::module_ numpy() { return nb::module_::import_("numpy"); }

void raise_from(PyObject *exc_type, const std::string &message) {
    // raise exc_type(message) from <pending error>
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject *exc = PyObject_CallFunction(exc_type, "s", message.c_str());
    if (!exc) {
        Py_XDECREF(value);
        nb::raise_python_error();
    }
    if (value) {
        Py_INCREF(value);
        PyException_SetContext(exc, value);
        PyException_SetCause(exc, value);  // steals
    }
    PyErr_SetObject(exc_type, exc);
    Py_DECREF(exc);
    nb::raise_python_error();
}

nb::module_ import_optional(const char *name, const std::string &hint) {
    PyObject *m = PyImport_ImportModule(name);
    if (m) return nb::steal<nb::module_>(m);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) nb::raise_python_error();
    raise_from(PyExc_ImportError, hint);
}

nb::object make_dataclass(nb::module_ &m, const char *name, const std::vector<Field> &fields,
                          bool frozen, nb::dict ns, const char *doc) {
    nb::module_ dc = import("dataclasses");
    nb::list field_list;
    for (const Field &f : fields) {
        nb::str ann(f.annotation.c_str());
        switch (f.kind) {
            case Field::Required: field_list.append(nb::make_tuple(nb::str(f.name.c_str()), ann)); break;
            case Field::Default:
                field_list.append(nb::make_tuple(nb::str(f.name.c_str()), ann, dc.attr("field")("default"_a = f.value)));
                break;
            case Field::Factory:
                field_list.append(nb::make_tuple(nb::str(f.name.c_str()), ann,
                                           dc.attr("field")("default_factory"_a = f.value)));
                break;
        }
    }
    nb::object modname = m.attr("__name__");
    ns["__module__"] = modname;
    if (doc) ns["__doc__"] = nb::str(doc);
    nb::object cls = dc.attr("make_dataclass")(name, field_list, "namespace"_a = ns, "frozen"_a = frozen);
    nb::setattr(cls, "__qualname__", nb::str(name));
    m.attr(name) = cls;
    return cls;
}

nb::object make_str_enum(nb::module_ &m, const char *name,
                         const std::vector<std::pair<const char *, const char *>> &members) {
    nb::list names;
    for (auto &kv : members) names.append(nb::make_tuple(kv.first, kv.second));
    nb::object enum_cls = import("enum").attr("Enum");
    nb::object builtins_str = import("builtins").attr("str");
    nb::object cls = enum_cls(name, names, "module"_a = m.attr("__name__"), "qualname"_a = name,
                              "type"_a = builtins_str);
    m.attr(name) = cls;
    return cls;
}

nb::object module_attr(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

}  // namespace vz
