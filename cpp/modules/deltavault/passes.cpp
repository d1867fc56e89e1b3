// The per-tensor passes of adding a fine-tune from files, shared by add_finetune_from and the
// tasks of add_finetunes_from, so that both store and measure a fine-tune alike: the float32
// delta of a fine-tune tensor against its base tensor as stored, the reconstruction error from
// the base, the record and the fine-tune tensor, and the solver the compressors are given.
#include "modules/deltavault/files.hpp"

#include "core/deltavault_kernels.hpp"

#include <cstdint>
#include <vector>

namespace deltavault::files {
using namespace nb::literals;
namespace kern = vz::core::deltavault;
namespace fz = vz::core::fused;

fz::Elem fused_kind(st::DType d) {
    switch (d) {
        case st::DType::F16: return fz::Elem::F16;
        case st::DType::BF16: return fz::Elem::BF16;
        case st::DType::F64: return fz::Elem::F64;
        default: return fz::Elem::F32;
    }
}

namespace {

kern::Float kernel_kind(st::DType d) {
    switch (d) {
        case st::DType::F16: return kern::Float::F16;
        case st::DType::BF16: return kern::Float::BF16;
        case st::DType::F64: return kern::Float::F64;
        default: return kern::Float::F32;
    }
}

// Whether lowrank's compressors take the `solver` keyword, probed on a 2x2 zero with the solver
// asked for, so that an unknown one is refused with lowrank's own message.
bool solver_keyword(nb::handle solver) {
    nb::module_ np = vz::numpy();
    try {
        own_attr("compress")(np.attr("zeros")(nb::make_tuple(2, 2), "dtype"_a = np.attr("float32")),
                             own_attr("CompressionMethod").attr("SVD"), "solver"_a = solver);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_TypeError)) return false;
        throw;
    }
}

}  // namespace

nb::object compressor_solver(const Manifest &mf, nb::handle solver) {
    nb::object s = solver.is_none() ? nb::object(mf.solver()) : nb::borrow(solver);
    vz::arg_str(s, "solver");
    std::string sv = nb::cast<std::string>(s);
    if (sv == "exact") return nb::none();
    // Compressors without the keyword use their exact solver and cannot check the name, so it is
    // checked here with lowrank's message.
    if (solver_keyword(s)) return s;
    if (sv != "randomized" && sv != "auto")
        fail(PyExc_ValueError, "solver must be one of 'exact', 'randomized', 'auto', got " +
                                   nb::cast<std::string>(nb::repr(s)));
    return nb::none();
}

void delta_pass(const void *w, st::DType wk, const void *b, st::DType bk, float *out, std::size_t count) {
    std::vector<std::uint64_t> sw, sb;
    const std::size_t wi = st::itemsize(wk);
    w = aligned_bytes(w, wi, count * wi, sw);
    if (b) b = aligned_bytes(b, st::itemsize(bk), count * st::itemsize(bk), sb);
    // Both operands widened to the wider of their types (float64 when either is, float32
    // otherwise: bfloat16 and float16 widen exactly) and subtracted there.
    kern::Float calc = wk == st::DType::F64 || (b && bk == st::DType::F64) ? kern::Float::F64 : kern::Float::F32;
    kern::delta_to_f32(w, kernel_kind(wk), b, b ? kernel_kind(bk) : kern::Float::F32, calc, out, count);
}

void error_pass(const void *b, const st::TensorInfo *bt, nb::handle rec, const void *t, st::DType tk,
                const std::vector<std::uint64_t> &shape, double &sq_diff, double &sq_ref) {
    std::size_t count = 1;
    for (std::uint64_t e : shape) count *= std::size_t(e);
    Stored base_in{b, bt ? fused_kind(bt->dtype) : fz::Elem::F32, bt ? &bt->shape : nullptr};
    Stored target_in{t, fused_kind(tk), &shape};
    if (!b) base_in.data = nullptr;
    if (fused_error_stored(base_in, rec, target_in, sq_diff, sq_ref)) return;
    nb::module_ np = vz::numpy();
    nb::object d = own_attr("decompress")(rec);
    d = np.attr("array")(d, "dtype"_a = np.attr("float32"), "order"_a = "C");
    Py_buffer db;
    if (PyObject_GetBuffer(d.ptr(), &db, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) nb::raise_python_error();
    float *dp = static_cast<float *>(db.buf);
    {
        nb::gil_scoped_release nogil;
        std::vector<std::uint64_t> sb, stt;
        if (b) {
            const std::size_t bi = st::itemsize(bt->dtype);
            kern::add_base(aligned_bytes(b, bi, count * bi, sb), kernel_kind(bt->dtype), dp, dp, kern::Float::F32,
                           count);
        }
        const std::size_t ti = st::itemsize(tk);
        kern::squared_error_sums(dp, kern::Float::F32, aligned_bytes(t, ti, count * ti, stt), kernel_kind(tk), count,
                                 &sq_diff, &sq_ref);
    }
    PyBuffer_Release(&db);
}

}  // namespace deltavault::files
