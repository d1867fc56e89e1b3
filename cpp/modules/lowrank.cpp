// Placeholder: the tensor-compression module (replaced as the module is built).
#include "bind/bind.hpp"
#include "core/blas.hpp"

#include <nanobind/ndarray.h>

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(lowrank, m) {
    vz::make_str_enum(m, "CompressionMethod", {{"NONE", "none"}, {"SVD", "svd"}, {"TUCKER", "tucker"}, {"TENSOR_TRAIN", "tt"}});
    nb::object cls = vz::make_dataclass(m, "Rec", {vz::Field::req("a", "int"), vz::Field::factory("meta", "dict", nb::borrow(&PyDict_Type))}, true);
    vz::add_method(cls, "twice", [](nb::handle self, int64_t k) { return nb::int_(nb::cast<int64_t>(self.attr("a")) * 2 * k); }, "k"_a = 1);
    vz::add_property(cls, "neg", [](nb::handle self) { return -nb::cast<int64_t>(self.attr("a")); });
    m.def("sv", [](nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu> a) {
        int rows = (int) a.shape(0), cols = (int) a.shape(1);
        // C-order rows x cols is column-major cols x rows
        std::vector<double> buf(a.data(), a.data() + a.size()), s(std::min(rows, cols)), u(cols * s.size()), vt(s.size() * rows);
        { nb::gil_scoped_release r; vz::core::gesdd_thin<double>(cols, rows, buf.data(), s.data(), u.data(), vt.data()); }
        nb::list out; for (double v : s) out.append(v); return out;
    });
    m.def("chk", [](nb::handle x, nb::handle i) { vz::arg_str(x, "model_id"); return vz::arg_int(i, "n"); }, "x"_a, nb::kw_only(), "i"_a = 0);
}
