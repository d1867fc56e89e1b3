#include "modules/lowrank/common.hpp"

#include <climits>
#include <cmath>
#include <cstring>

namespace lr {

nb::object method_cls() { return vz::module_attr(kModule, "CompressionMethod"); }
nb::object member(const char *name) { return method_cls().attr(name); }
nb::object tensor_cls() { return vz::module_attr(kModule, "CompressedTensor"); }
nb::object report_cls() { return vz::module_attr(kModule, "CompressionReport"); }

nb::object make_record(nb::handle method, nb::handle shape, nb::handle dtype, nb::handle cores, nb::handle factors,
                       nb::handle metadata) {
    return tensor_cls()(method, shape, dtype, cores, factors, metadata);
}

std::string py_str(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

void raise_value(const std::string &msg) { throw nb::value_error(msg.c_str()); }

nb::object slice_to(int64_t stop) {
    return nb::steal(PySlice_New(Py_None, nb::int_(stop).ptr(), Py_None));
}

nb::object cols_to(int64_t stop) {
    nb::object all = nb::steal(PySlice_New(Py_None, Py_None, Py_None));
    return nb::make_tuple(all, slice_to(stop));
}

nb::object astype_nocopy(nb::handle arr, nb::handle dtype) { return arr.attr("astype")(dtype, "copy"_a = false); }

nb::tuple as_tuple(nb::handle obj) {
    if (PyTuple_CheckExact(obj.ptr())) return nb::borrow<nb::tuple>(obj);
    return nb::steal<nb::tuple>(chk(PySequence_Tuple(obj.ptr())).release());
}

nb::list as_list(nb::handle obj) { return nb::steal<nb::list>(chk(PySequence_List(obj.ptr())).release()); }

int64_t py_ceil(double v) { return int64_t(std::ceil(v)); }

int64_t slice_len(int64_t stop, int64_t len) {
    if (stop < 0) stop = std::max<int64_t>(0, len + stop);
    return std::min(stop, len);
}

bool dense_view(nb::handle obj, Dense &d, bool allow_copy) {
    nb::object ndarray = vz::numpy().attr("ndarray");
    if ((PyObject *) Py_TYPE(obj.ptr()) != ndarray.ptr()) return false;
    nb::handle src = obj;
    if (PyObject_GetBuffer(src.ptr(), &d.view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        if (!allow_copy) return false;
        // Strided: check the element type before paying for a contiguous copy.
        if (PyObject_GetBuffer(src.ptr(), &d.view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return false;
        }
        bool ok = d.view.format && (!std::strcmp(d.view.format, "f") || !std::strcmp(d.view.format, "d"));
        PyBuffer_Release(&d.view);
        if (!ok) return false;
        d.keep = vz::numpy().attr("ascontiguousarray")(obj);
        src = d.keep;
        if (PyObject_GetBuffer(src.ptr(), &d.view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return false;
        }
    }
    d.held = true;
    const char *f = d.view.format;
    if (f && !std::strcmp(f, "f") && d.view.itemsize == 4)
        d.kind = 1;
    else if (f && !std::strcmp(f, "d") && d.view.itemsize == 8)
        d.kind = 2;
    else {
        d.release();
        return false;
    }
    d.data = d.view.buf;
    d.shape.assign(d.view.shape, d.view.shape + d.view.ndim);
    d.size = 1;
    for (int64_t e : d.shape) d.size *= e;
    if (d.size == 0) {
        d.release();
        d.kind = 0;
        return false;
    }
    return true;
}

}  // namespace lr
