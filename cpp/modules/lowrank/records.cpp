// CompressionMethod, CompressedTensor (with its size properties) and CompressionReport.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

namespace {

// Product of the extents as an exact integer; numpy's product for anything but plain ints.
nb::object extent_product(nb::handle shape) {
    if (PyTuple_CheckExact(shape.ptr())) {
        int64_t prod = 1;
        bool exact = true;
        Py_ssize_t n = PyTuple_GET_SIZE(shape.ptr());
        for (Py_ssize_t i = 0; i < n && exact; ++i) {
            PyObject *e = PyTuple_GET_ITEM(shape.ptr(), i);
            if (!PyLong_CheckExact(e)) {
                exact = false;
                break;
            }
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
            if (overflow || v < 0 || __builtin_mul_overflow(prod, (int64_t) v, &prod)) exact = false;
        }
        if (exact) return nb::int_(prod);
    }
    nb::object p = bind::numpy().attr("prod")(shape);
    return bind::steal_or_raise(PyNumber_Long(p.ptr()));
}

nb::object original_size_bytes(nb::handle self) {
    nb::object prod = extent_product(self.attr("shape"));
    nb::object itemsize = bind::numpy().attr("dtype")(self.attr("dtype")).attr("itemsize");
    return bind::steal_or_raise(PyNumber_Multiply(prod.ptr(), itemsize.ptr()));
}

nb::object compressed_size_bytes(nb::handle self) {
    nb::object total = nb::int_(0);
    for (const char *field : {"cores", "factors"}) {
        for (nb::handle arr : self.attr(field)) {
            nb::object nbytes = bind::steal_or_raise(PyNumber_Long(arr.attr("nbytes").ptr()));
            total = bind::steal_or_raise(PyNumber_Add(total.ptr(), nbytes.ptr()));
        }
    }
    return total;
}

}  // namespace

void register_records(nb::module_ &m) {
    bind::make_str_enum(m, "CompressionMethod",
                        {{"NONE", "none"},
                         {"SVD", "svd"},
                         {"TUCKER", "tucker"},
                         {"TENSOR_TRAIN", "tt"},
                         {"SIGN", "sign"},
                         {"SVD_Q4", "svd_q4"},
                         {"SVD_Q8", "svd_q8"},
                         {"SVD_MIXED", "svd_mixed"}});

    nb::object tensor = bind::make_dataclass(
        m, "CompressedTensor",
        {bind::Field::req("method", "CompressionMethod"), bind::Field::req("shape", "tuple[int, ...]"),
         bind::Field::req("dtype", "str"), bind::Field::req("cores", "tuple[np.ndarray, ...]"),
         bind::Field::def("factors", "tuple[np.ndarray, ...]", nb::tuple()),
         bind::Field::factory("metadata", "dict[str, Any]", nb::borrow(&PyDict_Type))},
        true, nb::dict(), "One tensor kept as the arrays of a low-rank decomposition (never a dense reconstruction).");
    bind::add_property(tensor, "original_size_bytes", [](nb::handle self) { return original_size_bytes(self); });
    bind::add_property(tensor, "compressed_size_bytes", [](nb::handle self) { return compressed_size_bytes(self); });
    bind::add_property(tensor, "compression_ratio", [](nb::handle self) {
        nb::object orig = original_size_bytes(self);
        nb::object comp = compressed_size_bytes(self);
        if (comp.equal(nb::int_(0))) return nb::float_(1.0);
        return nb::float_(bind::steal_or_raise(PyNumber_TrueDivide(orig.ptr(), comp.ptr())));
    });

    bind::make_dataclass(
        m, "CompressionReport",
        {bind::Field::req("method", "CompressionMethod"), bind::Field::req("shape", "tuple[int, ...]"),
         bind::Field::req("original_bytes", "int"), bind::Field::req("compressed_bytes", "int"),
         bind::Field::req("compression_ratio", "float"), bind::Field::req("relative_frobenius_error", "float"),
         bind::Field::req("reconstruction_quality", "float"), bind::Field::req("elapsed_compress_ms", "float"),
         bind::Field::req("elapsed_decompress_ms", "float")},
        true, nb::dict(), "Sizes, error, quality and timings of one compress/decompress round trip.");
}

}  // namespace vz::lowrank
