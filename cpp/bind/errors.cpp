#include "bind/errors.hpp"

#include "bind/args.hpp"

#include <cerrno>

namespace vz::bind {

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    nb::raise_python_error();
}

void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    nb::raise_python_error();
}

void raise_arg_type(const char *name, const char *expected, nb::handle given) {
    std::string msg = std::string("Argument '") + name + "' has incorrect type (expected " + expected + ", got " +
                      bind::type_name(given) + ")";
    throw nb::type_error(msg.c_str());
}

void raise_os(int err, nb::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    nb::raise_python_error();
}

void raise_os(int err, const std::string &filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename.c_str());
    nb::raise_python_error();
}

void raise_from(PyObject *type, const std::string &message) {
    nb::chain_error(type, "%s", message.c_str());
    nb::raise_python_error();
}

void raise_from(nb::python_error &e, PyObject *type, const std::string &message) {
    nb::raise_from(e, type, "%s", message.c_str());
}

nb::object steal_or_raise(PyObject *result) {
    if (!result) nb::raise_python_error();
    return nb::steal(result);
}

}  // namespace vz::bind
