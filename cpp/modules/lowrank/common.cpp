#include "modules/lowrank/common.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace lr {

namespace {
// A loaded module by name: a lookup in sys.modules, importing only the first time.
nb::object loaded(const char *name) {
    PyObject *mod = PyImport_GetModule(nb::str(name).ptr());
    if (mod) return nb::steal(mod);
    if (PyErr_Occurred()) nb::raise_python_error();
    return nb::module_::import_(name);
}
}  // namespace

nb::object np_module() { return loaded("numpy"); }
nb::object method_cls() { return loaded(kModule).attr("CompressionMethod"); }
nb::object member(const char *name) { return method_cls().attr(name); }
nb::object tensor_cls() { return loaded(kModule).attr("CompressedTensor"); }
nb::object report_cls() { return loaded(kModule).attr("CompressionReport"); }

template <typename T>
nb::object new_array(nb::handle shape, T *&data) {
    nb::object np = np_module();
    nb::object arr = np.attr("empty")(shape, np.attr(std::is_same_v<T, float> ? "float32" : "float64"));
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) nb::raise_python_error();
    data = static_cast<T *>(view.buf);
    PyBuffer_Release(&view);  // the array keeps its memory; the pointer stays valid while it lives
    return arr;
}

template <typename T>
nb::object new_array(const std::vector<int64_t> &shape, T *&data) {
    nb::tuple t = nb::steal<nb::tuple>(PyTuple_New(Py_ssize_t(shape.size())));
    for (size_t i = 0; i < shape.size(); ++i) PyTuple_SET_ITEM(t.ptr(), Py_ssize_t(i), PyLong_FromLongLong(shape[i]));
    return new_array<T>(t, data);
}

template nb::object new_array<float>(nb::handle, float *&);
template nb::object new_array<double>(nb::handle, double *&);
template nb::object new_array<float>(const std::vector<int64_t> &, float *&);
template nb::object new_array<double>(const std::vector<int64_t> &, double *&);

int64_t plain_size(nb::handle shape) {
    if (!PyTuple_CheckExact(shape.ptr())) return -1;
    int64_t prod = 1;
    Py_ssize_t n = PyTuple_GET_SIZE(shape.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *e = PyTuple_GET_ITEM(shape.ptr(), i);
        if (!PyLong_CheckExact(e)) return -1;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
        if (overflow || v < 0 || __builtin_mul_overflow(prod, (int64_t) v, &prod)) return -1;
    }
    return prod;
}

nb::object make_record(nb::handle method, nb::handle shape, nb::handle dtype, nb::handle cores, nb::handle factors,
                       nb::handle metadata) {
    return tensor_cls()(method, shape, dtype, cores, factors, metadata);
}

Solver arg_solver(nb::handle obj) {
    std::string text = nb::cast<std::string>(vz::arg_str(obj, "solver"));
    if (text == "exact") return Solver::Exact;
    if (text == "randomized") return Solver::Randomized;
    if (text == "auto") return Solver::Auto;
    nb::object shown = nb::steal(PyObject_Repr(obj.ptr()));
    if (!shown) nb::raise_python_error();
    raise_value("solver must be one of 'exact', 'randomized', 'auto', got " + py_str(shown));
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
    // exactly numpy.ndarray (subclasses keep numpy's own semantics)
    if (std::strcmp(Py_TYPE(obj.ptr())->tp_name, "numpy.ndarray") != 0) return false;
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
        d.keep = np_module().attr("ascontiguousarray")(obj);
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
