// CompressionMethod, CompressedTensor (with its size properties) and CompressionReport.
#include "modules/lowrank/common.hpp"

namespace lr {

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
    nb::object p = np_module().attr("prod")(shape);
    return chk(PyNumber_Long(p.ptr()));
}

nb::object original_size_bytes(nb::handle self) {
    nb::object prod = extent_product(self.attr("shape"));
    nb::object itemsize = np_module().attr("dtype")(self.attr("dtype")).attr("itemsize");
    return chk(PyNumber_Multiply(prod.ptr(), itemsize.ptr()));
}

nb::object compressed_size_bytes(nb::handle self) {
    nb::object total = nb::int_(0);
    for (const char *field : {"cores", "factors"}) {
        for (nb::handle arr : self.attr(field)) {
            nb::object nbytes = chk(PyNumber_Long(arr.attr("nbytes").ptr()));
            total = chk(PyNumber_Add(total.ptr(), nbytes.ptr()));
        }
    }
    return total;
}

}  // namespace

void register_records(nb::module_ &m) {
    vz::make_str_enum(m, "CompressionMethod",
                      {{"NONE", "none"}, {"SVD", "svd"}, {"TUCKER", "tucker"}, {"TENSOR_TRAIN", "tt"},
                       {"SIGN", "sign"}, {"SVD_Q4", "svd_q4"}, {"SVD_Q8", "svd_q8"}});

    nb::object tensor = vz::make_dataclass(
        m, "CompressedTensor",
        {vz::Field::req("method", "CompressionMethod"), vz::Field::req("shape", "tuple[int, ...]"),
         vz::Field::req("dtype", "str"), vz::Field::req("cores", "tuple[np.ndarray, ...]"),
         vz::Field::def("factors", "tuple[np.ndarray, ...]", nb::tuple()),
         vz::Field::factory("metadata", "dict[str, Any]", nb::borrow(&PyDict_Type))},
        true, nb::dict(),
        "One tensor kept as the arrays of a low-rank decomposition (never a dense reconstruction).");
    vz::add_property(tensor, "original_size_bytes", [](nb::handle self) { return original_size_bytes(self); });
    vz::add_property(tensor, "compressed_size_bytes", [](nb::handle self) { return compressed_size_bytes(self); });
    vz::add_property(tensor, "compression_ratio", [](nb::handle self) {
        nb::object orig = original_size_bytes(self);
        nb::object comp = compressed_size_bytes(self);
        if (PyObject_RichCompareBool(comp.ptr(), nb::int_(0).ptr(), Py_EQ) == 1) return nb::float_(1.0);
        return nb::float_(chk(PyNumber_TrueDivide(orig.ptr(), comp.ptr())));
    });

    vz::make_dataclass(m, "CompressionReport",
                       {vz::Field::req("method", "CompressionMethod"), vz::Field::req("shape", "tuple[int, ...]"),
                        vz::Field::req("original_bytes", "int"), vz::Field::req("compressed_bytes", "int"),
                        vz::Field::req("compression_ratio", "float"),
                        vz::Field::req("relative_frobenius_error", "float"),
                        vz::Field::req("reconstruction_quality", "float"),
                        vz::Field::req("elapsed_compress_ms", "float"),
                        vz::Field::req("elapsed_decompress_ms", "float")},
                       true, nb::dict(), "Sizes, error, quality and timings of one compress/decompress round trip.");
}

}  // namespace lr
