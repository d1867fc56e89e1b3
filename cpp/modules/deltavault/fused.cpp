// base + decompress(record) and its squared error against a fine-tune tensor, in one pass over
// the weights: a compressed record (SVD, tensor train, Tucker) is read as a product of two
// small-rank factors (core/fused_lowrank.hpp) and the kernels add the base (or compare with the
// target) tile by tile, so the dense delta never exists. Applies to plain records of dense
// float32/float64 arrays over dense float16/32/64 bases; everything else returns "not handled"
// and the caller takes the general path (decompress, then numpy's operators), so results and
// errors always follow decompress and numpy. The fused result equals base + decompress(record)
// bit for bit: decompress forms the product with the same kernels.
#include "modules/deltavault/deltavault.hpp"

#include "core/fused_lowrank.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace vz::deltavault {
using namespace nb::literals;
namespace fz = vz::core::fused;

namespace {

// A C-contiguous buffer of a native-order float16/32/64 numpy array with at least one element.
struct View {
    bind::Buffer buf;
    fz::Elem kind = fz::Elem::F32;
    std::vector<int64_t> shape;
    int64_t size = 0;
    // Fails (false, no Python error) for anything that is not such an array.
    bool open(nb::handle obj, bool allow_half) {
        try {
            buf = bind::Buffer(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        } catch (nb::python_error &) {
            return false;  // not an exporter of such a buffer: the general path takes it
        }
        const Py_buffer &v = buf.view();
        const char *f = v.format ? v.format : "";
        if (!std::strcmp(f, "f") && v.itemsize == 4)
            kind = fz::Elem::F32;
        else if (!std::strcmp(f, "d") && v.itemsize == 8)
            kind = fz::Elem::F64;
        else if (allow_half && !std::strcmp(f, "e") && v.itemsize == 2)
            kind = fz::Elem::F16;
        else
            return false;
        shape.assign(v.shape, v.shape + v.ndim);
        size = 1;
        for (int64_t e : shape) size *= e;
        return size > 0;
    }
    const void *data() const { return buf.data(); }
    template <typename T>
    const T *ptr() const {
        return static_cast<const T *>(buf.data());
    }
};

bool exact_ndarray(nb::handle obj) { return obj.type().is(bind::numpy().attr("ndarray")); }

// ndarray or memmap (which overrides no operator): numpy's plain arithmetic applies.
bool plain_array(nb::handle obj) {
    nb::module_ np = bind::numpy();
    nb::handle t = obj.type();
    return t.is(np.attr("ndarray")) || t.is(np.attr("memmap"));
}

// Record arrays: exactly ndarray, C-contiguous, float32/float64, non-empty.
bool record_array(nb::handle obj, View &v) { return exact_ndarray(obj) && v.open(obj, false); }

// A base or target array as a contiguous view (a contiguous copy of a strided one is kept in
// `keep`); false when it is not a plain dense float16/32/64 array.
bool dense_operand(nb::handle obj, View &v, nb::object &keep) {
    if (!plain_array(obj)) return false;
    nb::object dt = obj.attr("dtype");
    if (!nb::cast<bool>(dt.attr("isnative"))) return false;
    std::string c = nb::cast<std::string>(dt.attr("char"));
    if (c != "e" && c != "f" && c != "d") return false;
    keep = bind::numpy().attr("ascontiguousarray")(obj);
    return v.open(keep, true);
}

nb::object tuple_items(nb::handle seq) {
    if (PyTuple_Check(seq.ptr()) || PyList_Check(seq.ptr())) return nb::borrow(seq);
    return nb::object();
}

// A decompressible record as a product of two factors, with views of its arrays held.
struct RecordProduct {
    fz::Elem kind = fz::Elem::F32;  // element type of the record's arrays (and of its dense tensor)
    std::vector<int64_t> out_shape;  // extents of decompress(record)
    std::vector<std::unique_ptr<View>> views;
    fz::Factored<float> f32;
    fz::Factored<double> f64;

    View &add_view() {
        views.push_back(std::make_unique<View>());
        return *views.back();
    }

    // The record's method is tested by identity against the members, as decompress does; the
    // record's dtype text must name its arrays' type (decompress would cast otherwise).
    bool load(nb::handle rec) {
        nb::object methods = own_attr("CompressionMethod");
        nb::object method = rec.attr("method");
        nb::object dtype = rec.attr("dtype");
        if (!PyUnicode_CheckExact(dtype.ptr())) return false;
        std::string dt = nb::cast<std::string>(dtype);
        if (dt != "float32" && dt != "float64") return false;
        kind = dt == "float32" ? fz::Elem::F32 : fz::Elem::F64;
        nb::object cores = tuple_items(rec.attr("cores"));
        nb::object factors = tuple_items(rec.attr("factors"));
        if (!cores.is_valid() || !factors.is_valid()) return false;
        if (method.is(methods.attr("SVD"))) return load_svd(rec, cores, factors);
        if (method.is(methods.attr("TENSOR_TRAIN"))) return load_tt(rec, cores);
        if (method.is(methods.attr("TUCKER"))) return load_tucker(cores, factors);
        return false;
    }

    // Extents of the record's `shape` field when it is a tuple of non-negative ints.
    static bool record_shape(nb::handle rec, std::vector<int64_t> &out) {
        nb::object shape = rec.attr("shape");
        if (!PyTuple_CheckExact(shape.ptr())) return false;
        out.clear();
        for (nb::handle e : nb::borrow<nb::tuple>(shape)) {
            if (!PyLong_CheckExact(e.ptr())) return false;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(e.ptr(), &overflow);
            if (overflow || v < 0) return false;
            out.push_back(v);
        }
        return true;
    }
    static int64_t product_of(const std::vector<int64_t> &dims) {
        int64_t p = 1;
        for (int64_t e : dims)
            if (__builtin_mul_overflow(p, e, &p)) return -1;
        return p;
    }

    bool load_svd(nb::handle rec, nb::handle cores, nb::handle factors) {
        if (nb::len(factors) != 2 || nb::len(cores) < 1) return false;
        View &u = add_view(), &s = add_view(), &vt = add_view();
        if (!record_array(factors[0], u) || !record_array(cores[0], s) || !record_array(factors[1], vt)) return false;
        if (u.kind != kind || s.kind != kind || vt.kind != kind) return false;
        if (u.shape.size() != 2 || s.shape.size() != 1 || vt.shape.size() != 2) return false;
        const int64_t m = u.shape[0], r = u.shape[1], n = vt.shape[1];
        if (s.shape[0] != r || vt.shape[0] != r) return false;
        if (!record_shape(rec, out_shape) || product_of(out_shape) != m * n) return false;
        nb::gil_scoped_release nogil;
        if (kind == fz::Elem::F32)
            f32 = fz::factor_svd<float>(u.ptr<float>(), s.ptr<float>(), vt.ptr<float>(), m, n, r);
        else
            f64 = fz::factor_svd<double>(u.ptr<double>(), s.ptr<double>(), vt.ptr<double>(), m, n, r);
        return true;
    }

    bool load_tt(nb::handle rec, nb::handle cores) {
        const std::size_t d = nb::len(cores);
        if (d < 2) return false;
        std::vector<int64_t> r0, n, r1;
        int64_t total = 1;
        for (std::size_t k = 0; k < d; ++k) {
            View &c = add_view();
            if (!record_array(cores[k], c) || c.kind != kind || c.shape.size() != 3) return false;
            if (k > 0 && c.shape[0] != r1.back()) return false;
            r0.push_back(c.shape[0]);
            n.push_back(c.shape[1]);
            r1.push_back(c.shape[2]);
            if (__builtin_mul_overflow(total, (k == 0 ? c.shape[0] : 1) * c.shape[1], &total)) return false;
        }
        if (__builtin_mul_overflow(total, r1.back(), &total)) return false;
        if (!record_shape(rec, out_shape) || product_of(out_shape) != total) return false;
        nb::gil_scoped_release nogil;
        if (kind == fz::Elem::F32) {
            std::vector<const float *> p;
            for (std::size_t k = 0; k < d; ++k) p.push_back(views[k]->ptr<float>());
            f32 = fz::factor_tt<float>(p.data(), r0.data(), n.data(), r1.data(), d);
            return f32.ok;
        }
        std::vector<const double *> p;
        for (std::size_t k = 0; k < d; ++k) p.push_back(views[k]->ptr<double>());
        f64 = fz::factor_tt<double>(p.data(), r0.data(), n.data(), r1.data(), d);
        return f64.ok;
    }

    // Tucker's result takes its extents from the factors (the record's shape is not consulted).
    bool load_tucker(nb::handle cores, nb::handle factors) {
        if (nb::len(cores) < 1) return false;
        View &core = add_view();
        if (!record_array(cores[0], core) || core.kind != kind) return false;
        const std::size_t d = core.shape.size();
        if (d < 1 || nb::len(factors) != d) return false;
        std::vector<int64_t> rows;
        for (std::size_t k = 0; k < d; ++k) {
            View &f = add_view();
            if (!record_array(factors[k], f) || f.kind != kind || f.shape.size() != 2 || f.shape[1] != core.shape[k])
                return false;
            rows.push_back(f.shape[0]);
        }
        out_shape = rows;
        if (product_of(rows) <= 0) return false;
        nb::gil_scoped_release nogil;
        if (kind == fz::Elem::F32) {
            std::vector<const float *> p;
            for (std::size_t k = 0; k < d; ++k) p.push_back(views[k + 1]->ptr<float>());
            f32 = fz::factor_tucker<float>(core.ptr<float>(), core.shape.data(), p.data(), rows.data(), d);
            return f32.ok;
        }
        std::vector<const double *> p;
        for (std::size_t k = 0; k < d; ++k) p.push_back(views[k + 1]->ptr<double>());
        f64 = fz::factor_tucker<double>(core.ptr<double>(), core.shape.data(), p.data(), rows.data(), d);
        return f64.ok;
    }

    int64_t cols() const { return kind == fz::Elem::F32 ? f32.product.n : f64.product.n; }
};

nb::tuple to_tuple(const std::vector<int64_t> &v) {
    nb::list l;
    for (int64_t e : v) l.append(nb::int_(e));
    return nb::tuple(l);
}

// The fused path applies: deltavault's decompress is lowrank's own (a caller that replaced it
// gets it called), and the record has a product form.
bool fused_record(nb::handle rec, RecordProduct &rp) {
    nb::object mine = own_attr("decompress");
    nb::object theirs = bind::import("velkor_zuma.lowrank").attr("decompress");
    if (!mine.is(theirs)) return false;
    return rp.load(rec);
}

// numpy's result type of base + (record's dense tensor), when it is float32 or float64.
std::optional<fz::Elem> sum_kind(nb::handle base_dtype, fz::Elem rec_kind) {
    nb::module_ np = bind::numpy();
    nb::object rt = np.attr("result_type")(base_dtype, rec_kind == fz::Elem::F32 ? "float32" : "float64");
    std::string c = nb::cast<std::string>(rt.attr("char"));
    if (c == "f") return fz::Elem::F32;
    if (c == "d") return fz::Elem::F64;
    return std::nullopt;
}

bool same_extents(const View &v, const std::vector<int64_t> &shape) { return v.shape == shape; }

}  // namespace

nb::object fused_add_base(nb::handle b, nb::handle rec) {
    if (!plain_array(b)) return nb::object();
    RecordProduct rp;
    if (!fused_record(rec, rp)) return nb::object();
    View vb;
    nb::object keep;
    if (!dense_operand(b, vb, keep) || !same_extents(vb, rp.out_shape)) return nb::object();
    std::optional<fz::Elem> rk = sum_kind(b.attr("dtype"), rp.kind);
    if (!rk) return nb::object();
    nb::module_ np = bind::numpy();
    nb::object out = np.attr("empty")(to_tuple(rp.out_shape), "dtype"_a = *rk == fz::Elem::F32 ? "float32" : "float64");
    void *optr = bind::Buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS).data();  // `out` keeps its memory
    const int64_t n = rp.cols();
    fz::Src base{vb.data(), vb.kind, n};
    fz::Dst dst{optr, *rk, n};
    {
        nb::gil_scoped_release nogil;
        if (rp.kind == fz::Elem::F32)
            fz::product_add<float>(rp.f32.product, base, dst);
        else
            fz::product_add<double>(rp.f64.product, base, dst);
    }
    return out;
}

bool fused_error(nb::handle b, nb::handle rec, nb::handle target, double &sq_diff, double &sq_ref) {
    if (!plain_array(b) || !plain_array(target)) return false;
    RecordProduct rp;
    if (!fused_record(rec, rp)) return false;
    View vb, vt;
    nb::object keep_b, keep_t;
    if (!dense_operand(b, vb, keep_b) || !same_extents(vb, rp.out_shape)) return false;
    if (!dense_operand(target, vt, keep_t) || !same_extents(vt, rp.out_shape)) return false;
    std::optional<fz::Elem> rk = sum_kind(b.attr("dtype"), rp.kind);
    if (!rk) return false;
    const int64_t n = rp.cols();
    fz::Src base{vb.data(), vb.kind, n}, tgt{vt.data(), vt.kind, n};
    nb::gil_scoped_release nogil;
    if (rp.kind == fz::Elem::F32)
        fz::product_error<float>(rp.f32.product, base, *rk, tgt, &sq_diff, &sq_ref);
    else
        fz::product_error<double>(rp.f64.product, base, *rk, tgt, &sq_diff, &sq_ref);
    return true;
}

// ---- tensors as stored --------------------------------------------------------------------------

const void *aligned_bytes(const void *p, std::size_t item, std::size_t nbytes, std::vector<std::uint64_t> &scratch) {
    if (reinterpret_cast<std::uintptr_t>(p) % item == 0) return p;
    scratch.assign((nbytes + 7) / 8, 0);
    std::memcpy(scratch.data(), p, nbytes);
    return scratch.data();
}

namespace {

// numpy's type of a stored tensor as the library reads it (bfloat16 becomes float32).
const char *read_type(fz::Elem k) {
    switch (k) {
        case fz::Elem::F16: return "float16";
        case fz::Elem::F64: return "float64";
        default: return "float32";
    }
}

bool same_extents(const std::vector<std::uint64_t> &a, const std::vector<int64_t> &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != std::uint64_t(b[i])) return false;
    return true;
}

std::size_t count_of(const std::vector<int64_t> &shape) {
    std::size_t n = 1;
    for (int64_t e : shape) n *= std::size_t(e);
    return n;
}

}  // namespace

nb::object fused_add_stored(const Stored &base, nb::handle rec) {
    if (!base.data || !base.shape) return nb::object();
    RecordProduct rp;
    if (!fused_record(rec, rp) || !same_extents(*base.shape, rp.out_shape)) return nb::object();
    std::optional<fz::Elem> rk = sum_kind(nb::str(read_type(base.kind)), rp.kind);
    if (!rk) return nb::object();
    nb::module_ np = bind::numpy();
    nb::object out = np.attr("empty")(to_tuple(rp.out_shape), "dtype"_a = *rk == fz::Elem::F32 ? "float32" : "float64");
    void *optr = bind::Buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS).data();  // `out` keeps its memory
    const int64_t n = rp.cols();
    {
        nb::gil_scoped_release nogil;
        const std::size_t item = fz::elem_size(base.kind);
        std::vector<std::uint64_t> scratch;
        fz::Src b{aligned_bytes(base.data, item, count_of(rp.out_shape) * item, scratch), base.kind, n};
        fz::Dst dst{optr, *rk, n};
        if (rp.kind == fz::Elem::F32)
            fz::product_add<float>(rp.f32.product, b, dst);
        else
            fz::product_add<double>(rp.f64.product, b, dst);
    }
    return out;
}

bool fused_error_stored(const Stored &base, nb::handle rec, const Stored &target, double &sq_diff, double &sq_ref) {
    if (!target.data || !target.shape) return false;
    RecordProduct rp;
    if (!fused_record(rec, rp) || !same_extents(*target.shape, rp.out_shape)) return false;
    if (base.data && (!base.shape || !same_extents(*base.shape, rp.out_shape))) return false;
    // The reconstruction in float32 (float64 over a float64 base), as the plain pass forms it.
    const fz::Elem rk = base.data && base.kind == fz::Elem::F64 ? fz::Elem::F64 : fz::Elem::F32;
    const int64_t n = rp.cols();
    const std::size_t count = count_of(rp.out_shape);
    nb::gil_scoped_release nogil;
    std::vector<std::uint64_t> sb, st;
    fz::Src b;
    if (base.data) {
        const std::size_t item = fz::elem_size(base.kind);
        b = fz::Src{aligned_bytes(base.data, item, count * item, sb), base.kind, n};
    }
    const std::size_t titem = fz::elem_size(target.kind);
    fz::Src t{aligned_bytes(target.data, titem, count * titem, st), target.kind, n};
    if (rp.kind == fz::Elem::F32)
        fz::product_error<float>(rp.f32.product, b, rk, t, &sq_diff, &sq_ref);
    else
        fz::product_error<double>(rp.f64.product, b, rk, t, &sq_diff, &sq_ref);
    return true;
}

}  // namespace vz::deltavault
