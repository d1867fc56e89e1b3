// Matricization (_unfold / _fold), the n-mode product (_mode_dot) and the relative Frobenius error.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

nb::object unfold(nb::handle tensor, int64_t mode) {
    nb::object np = bind::numpy();
    nb::object moved = np.attr("moveaxis")(tensor, mode, 0);
    nb::object rows = bind::get_item(tensor.attr("shape"), nb::int_(mode));
    return moved.attr("reshape")(rows, -1);
}

nb::object fold(nb::handle matrix, int64_t mode, nb::handle shape) {
    nb::tuple shp = nb::borrow<nb::tuple>(shape);
    nb::list full;
    full.append(bind::get_item(shp, nb::int_(mode)));
    Py_ssize_t n = (Py_ssize_t) nb::len(shp);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (i != mode) full.append(shp[i]);
    nb::object reshaped = matrix.attr("reshape")(full);
    return bind::numpy().attr("moveaxis")(reshaped, 0, mode);
}

namespace {
template <typename T>
nb::object mode_dot_native(const Dense &t, const Dense &mat, int64_t mode) {
    int64_t a = 1, b = 1;
    for (int64_t i = 0; i < mode; ++i) a *= t.shape[size_t(i)];
    for (size_t i = size_t(mode) + 1; i < t.shape.size(); ++i) b *= t.shape[i];
    int64_t p = t.shape[size_t(mode)], jn = mat.shape[0];
    std::vector<int64_t> shape = t.shape;
    shape[size_t(mode)] = jn;
    T *y = nullptr;
    nb::object out = new_array<T>(shape, y);
    native([&] { kern::mode_product<T>(t.ptr<T>(), a, p, b, mat.ptr<T>(), jn, false, y); });
    return out;
}
}  // namespace

nb::object mode_dot(nb::handle tensor, nb::handle matrix, int64_t mode) {
    {
        Dense t, mat;
        if (dense_view(tensor, t, false) && dense_view(matrix, mat, false) && t.kind == mat.kind &&
            mat.shape.size() == 2 && mode >= 0 && mode < int64_t(t.shape.size()) &&
            mat.shape[1] == t.shape[size_t(mode)] && kern::lapack_fits(mat.shape[0], t.size)) {
            return t.kind == 1 ? mode_dot_native<float>(t, mat, mode) : mode_dot_native<double>(t, mat, mode);
        }
    }
    nb::list new_shape = as_list(tensor.attr("shape"));
    nb::object rows = matrix.attr("shape")[0];
    if (PyObject_SetItem(new_shape.ptr(), nb::int_(mode).ptr(), rows.ptr()) != 0) nb::raise_python_error();
    nb::object unf = unfold(tensor, mode);
    nb::object prod = bind::steal_or_raise(PyNumber_MatrixMultiply(matrix.ptr(), unf.ptr()));
    return fold(prod, mode, nb::tuple(new_shape));
}

double relative_frobenius_error(nb::handle original, nb::handle approx) {
    nb::object norm = bind::numpy().attr("linalg").attr("norm");
    double denom = nb::cast<double>(nb::float_(norm(original)));
    if (denom <= 1e-12) return nb::cast<double>(nb::float_(norm(approx)));
    nb::object diff = bind::steal_or_raise(PyNumber_Subtract(original.ptr(), approx.ptr()));
    return nb::cast<double>(nb::float_(norm(diff))) / denom;
}

void register_algebra(nb::module_ &m) {
    m.def(
        "_unfold", [](nb::handle tensor, nb::handle mode) { return unfold(tensor, bind::arg_int(mode, "mode")); },
        "tensor"_a, "mode"_a.none(), "Mode-`mode` matricization: that axis first, the others flattened in C order.");
    m.def(
        "_fold",
        [](nb::handle matrix, nb::handle mode, nb::handle shape) {
            int64_t k = bind::arg_int(mode, "mode");
            bind::arg_tuple(shape, "shape");
            return fold(matrix, k, shape);
        },
        "matrix"_a, "mode"_a.none(), "shape"_a.none(), "Inverse of _unfold: back to extents `shape`.");
    m.def(
        "_mode_dot",
        [](nb::handle tensor, nb::handle matrix, nb::handle mode) {
            return mode_dot(tensor, matrix, bind::arg_int(mode, "mode"));
        },
        "tensor"_a, "matrix"_a, "mode"_a.none(), "n-mode product: `matrix` applied along axis `mode`.");
    m.def(
        "_relative_frobenius_error",
        [](nb::handle original, nb::handle approx) { return relative_frobenius_error(original, approx); }, "original"_a,
        "approx"_a, "||original - approx||_F / ||original||_F (the norm of approx when original is ~0).");
}

}  // namespace vz::lowrank
