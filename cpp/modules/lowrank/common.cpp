#include "modules/lowrank/common.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace vz::lowrank {

namespace {
// The buffer of `obj` with `flags`, or an empty Buffer when the exporter refuses (its error dropped:
// the caller then takes the numpy path, which reports what is wrong with the array).
bind::Buffer try_buffer(nb::handle obj, int flags) {
    try {
        return bind::Buffer(obj, flags);
    } catch (nb::python_error &) {
        return bind::Buffer();
    }
}

bool format_is(const Py_buffer &view, const char *format) { return view.format && !std::strcmp(view.format, format); }
}  // namespace

nb::object method_cls() { return bind::module_attr(kModule, "CompressionMethod"); }
nb::object member(const char *name) { return method_cls().attr(name); }
nb::object tensor_cls() { return bind::module_attr(kModule, "CompressedTensor"); }
nb::object report_cls() { return bind::module_attr(kModule, "CompressionReport"); }

template <typename T>
nb::object new_array(nb::handle shape, T *&data) {
    nb::module_ np = bind::numpy();
    nb::object arr = np.attr("empty")(shape, np.attr(std::is_same_v<T, float> ? "float32" : "float64"));
    // The array keeps its memory: the pointer stays valid while it lives, after the view is gone.
    bind::Buffer view(arr, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    data = static_cast<T *>(view.data());
    return arr;
}

template <typename T>
nb::object new_array(const std::vector<int64_t> &shape, T *&data) {
    nb::list dims;
    for (int64_t e : shape) dims.append(e);
    return new_array<T>(nb::tuple(dims), data);
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
    std::string text = nb::cast<std::string>(bind::arg_str(obj, "solver"));
    if (text == "exact") return Solver::Exact;
    if (text == "randomized") return Solver::Randomized;
    if (text == "auto") return Solver::Auto;
    bind::raise(PyExc_ValueError,
                "solver must be one of 'exact', 'randomized', 'auto', got " + bind::text(nb::repr(obj)));
}

nb::object slice_to(int64_t stop) { return nb::slice(nb::none(), nb::int_(stop), nb::none()); }

nb::object cols_to(int64_t stop) {
    return nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), slice_to(stop));
}

nb::object astype_nocopy(nb::handle arr, nb::handle dtype) { return arr.attr("astype")(dtype, "copy"_a = false); }

int64_t py_ceil(double v) { return int64_t(std::ceil(v)); }

int64_t slice_len(int64_t stop, int64_t len) {
    if (stop < 0) stop = std::max<int64_t>(0, len + stop);
    return std::min(stop, len);
}

bool dense_view(nb::handle obj, Dense &d, bool allow_copy) {
    // exactly numpy.ndarray (subclasses keep numpy's own semantics)
    if (std::strcmp(Py_TYPE(obj.ptr())->tp_name, "numpy.ndarray") != 0) return false;
    d.buf = try_buffer(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    if (!d.buf.held()) {
        if (!allow_copy) return false;
        // Strided: check the element type before paying for a contiguous copy.
        {
            bind::Buffer probe = try_buffer(obj, PyBUF_STRIDES | PyBUF_FORMAT);
            if (!probe.held() || !(format_is(probe.view(), "f") || format_is(probe.view(), "d"))) return false;
        }
        d.keep = bind::numpy().attr("ascontiguousarray")(obj);
        d.buf = try_buffer(d.keep, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        if (!d.buf.held()) return false;
    }
    const Py_buffer &view = d.buf.view();
    if (format_is(view, "f") && view.itemsize == 4)
        d.kind = 1;
    else if (format_is(view, "d") && view.itemsize == 8)
        d.kind = 2;
    else {
        d.buf.release();
        return false;
    }
    d.data = view.buf;
    d.shape.assign(view.shape, view.shape + view.ndim);
    d.size = 1;
    for (int64_t e : d.shape) d.size *= e;
    if (d.size == 0) {
        d.buf.release();
        d.kind = 0;
        return false;
    }
    return true;
}

}  // namespace vz::lowrank
