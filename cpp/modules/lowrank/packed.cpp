// _apply_packed: rows times a packed delta record's transpose, straight from its stored bytes
// (core/packed_delta.hpp), for the server's per-row step and for tests against numpy.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

namespace {

namespace pk = vz::core::packed;

nb::object apply_packed(nb::handle record, nb::handle x) {
    PackedRecord rec;
    packed_record(record, rec);
    const pk::Delta &d = rec.delta;
    nb::module_ np = bind::numpy();
    nb::object arr = np.attr("asarray")(x);
    int64_t ndim = nb::cast<int64_t>(arr.attr("ndim"));
    if (ndim != 1 && ndim != 2)
        bind::raise(PyExc_ValueError,
                    "x must be a vector or a matrix of rows, got " + std::to_string(ndim) + " dimensions");
    nb::tuple shape = as_tuple(arr.attr("shape"));
    int64_t cols = nb::cast<int64_t>(shape[size_t(ndim - 1)]);
    int64_t rows = ndim == 2 ? nb::cast<int64_t>(shape[0]) : 1;
    if (cols != d.n)
        bind::raise(PyExc_ValueError,
                    "x has " + std::to_string(cols) + " columns; the delta has " + std::to_string(d.n));
    // float32, float16 and bfloat16 are read as they are; other types go through numpy's float32.
    nb::object dt = arr.attr("dtype");
    std::string name = bind::text(dt.attr("name"));
    pk::Rows xr;
    if (name == "float16")
        xr.kind = fused::Elem::F16;
    else if (name == "bfloat16" && nb::cast<int64_t>(dt.attr("itemsize")) == 2)
        xr.kind = fused::Elem::BF16;
    else if (name != "float32")
        arr = np.attr("asarray")(arr, "dtype"_a = np.attr("float32"));
    arr = np.attr("ascontiguousarray")(arr);
    bind::Buffer xb(arr, PyBUF_C_CONTIGUOUS);
    xr.data = xb.data();
    xr.rows = rows;
    xr.ld = d.n;
    float *y = nullptr;
    nb::object out = ndim == 2 ? new_array<float>(std::vector<int64_t>{rows, d.m}, y)
                               : new_array<float>(std::vector<int64_t>{d.m}, y);
    native([&] { pk::apply(d, xr, y, d.m); });
    return out;
}

}  // namespace

void register_packed(nb::module_ &m) {
    m.def("_apply_packed", &apply_packed, "record"_a, "x"_a,
          "x @ decompress(record).T for a SIGN, SVD_Q4 or SVD_Q8 record, computed from its packed bytes\n"
          "without forming the delta: x is (rows, n) or (n,) (float32, float16 or bfloat16 read as\n"
          "they are, other types as float32); the result is float32, (rows, m) or (m,), m x n being\n"
          "the record's mode-0 flattening.");
    m.def(
        "_packed_uses_avx2", [] { return pk::uses_avx2(); },
        "Whether _apply_packed runs its AVX2 kernel now (False under VZ_FUSED_BASELINE=1).");
}

}  // namespace vz::lowrank
