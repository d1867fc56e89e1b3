// The element-wise passes of the library over numpy arrays: the float32 delta of a fine-tune
// tensor, base + decompressed delta, and the squared-error sums of reconstruction_error.
// Dense float16/float32/float64 arrays go through the fused native kernels (GIL released,
// all cores); anything else (other element types, array subclasses, arrays that broadcast)
// is left to numpy's own operators, so results always follow numpy's rules.
#include "modules/deltavault/deltavault.hpp"

#include "core/deltavault_kernels.hpp"
#include "core/finite.hpp"

#include <cmath>
#include <optional>
#include <string>

namespace vz::deltavault {
using namespace nb::literals;
namespace kern = vz::core::deltavault;
using kern::Float;

namespace {

// The C-contiguous buffer of a dense float array (its kind is known to the caller).
class FloatView {
public:
    FloatView(nb::handle arr, bool writable) : buf_(arr, PyBUF_ND | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)) {}
    void *data() const { return buf_.data(); }
    std::size_t count() const { return buf_.count(); }

private:
    bind::Buffer buf_;
};

// The kind of a numpy dtype when it is a native-order float16/float32/float64.
std::optional<Float> dtype_kind(nb::handle dtype) {
    if (!nb::cast<bool>(dtype.attr("isnative"))) return std::nullopt;
    std::string c = nb::cast<std::string>(dtype.attr("char"));
    if (c == "e") return Float::F16;
    if (c == "f") return Float::F32;
    if (c == "d") return Float::F64;
    return std::nullopt;
}

// Arrays whose arithmetic is numpy's plain ndarray arithmetic: ndarray itself and memmap
// (which does not override any operator). Other subclasses keep their own operators.
bool plain_array(nb::module_ &np, nb::handle obj) {
    PyObject *t = (PyObject *) Py_TYPE(obj.ptr());
    return t == np.attr("ndarray").ptr() || t == np.attr("memmap").ptr();
}

std::optional<Float> plain_float_kind(nb::module_ &np, nb::handle obj) {
    if (!plain_array(np, obj)) return std::nullopt;
    return dtype_kind(obj.attr("dtype"));
}

nb::object contiguous(nb::module_ &np, nb::handle arr) { return np.attr("ascontiguousarray")(arr); }

// The extents of any array-like as a tuple of Python ints (tuple notation in messages).
nb::tuple shape_tuple(nb::module_ &np, nb::handle x) {
    nb::object s = np.attr("shape")(x);
    nb::list out;
    for (nb::handle e : s) out.append(nb::int_(e));
    return nb::tuple(out);
}

nb::object result_type(nb::module_ &np, nb::handle a, nb::handle b) {
    return np.attr("result_type")(a.attr("dtype"), b.attr("dtype"));
}

}  // namespace

nb::object DeltaBuffer::take(nb::module_ &np, nb::handle shape, std::size_t count) {
    if (!buf_.is_valid() || Py_REFCNT(buf_.ptr()) != 1 || size_ < count) {
        buf_ = nb::object();  // still referenced elsewhere (or too small): left to its holders
        size_ = count > 0 ? count : 1;
        buf_ = np.attr("empty")(size_, "dtype"_a = np.attr("float32"));
    }
    nb::object head = buf_[nb::slice(nb::int_(0), nb::int_((long long) count), nb::none())];
    return head.attr("reshape")(shape);
}

nb::object float32_delta(nb::handle name, nb::handle w, nb::handle b, DeltaBuffer &buffer) {
    nb::module_ np = bind::numpy();
    bool has_base = b.is_valid();
    if (has_base) {
        // A fine-tune tensor must have its base tensor's extents: numpy would otherwise
        // broadcast the difference and the delta would be stored with the wrong shape.
        nb::tuple sw = shape_tuple(np, w), sb = shape_tuple(np, b);
        if (!sw.equal(sb)) {
            bind::raise(PyExc_ValueError, "shape mismatch for '" + bind::text(name) + "': fine-tune " +
                                              bind::text(nb::repr(sw)) + " vs base " + bind::text(nb::repr(sb)));
        }
    }
    std::optional<Float> wk = plain_float_kind(np, w), bk, calc;
    if (has_base && wk) {
        bk = plain_float_kind(np, b);
        if (bk) calc = dtype_kind(result_type(np, w, b));
    }
    if (wk && (!has_base || calc)) {
        nb::object wc = contiguous(np, w);
        nb::object bc = has_base ? contiguous(np, b) : nb::none();
        FloatView vw(wc, false);
        nb::object out = buffer.take(np, w.attr("shape"), vw.count());
        FloatView vo(out, true);
        std::optional<FloatView> vb;
        if (has_base) vb.emplace(bc, false);
        const void *bp = has_base ? vb->data() : nullptr;
        {
            nb::gil_scoped_release nogil;
            kern::delta_to_f32(vw.data(), *wk, bp, has_base ? *bk : Float::F32, calc.value_or(Float::F32),
                               static_cast<float *>(vo.data()), vw.count());
        }
        return out;
    }
    nb::object delta = has_base ? bind::steal_or_raise(PyNumber_Subtract(w.ptr(), b.ptr())) : nb::borrow(w);
    return np.attr("asarray")(delta).attr("astype")(np.attr("float32"));
}

void refuse_non_finite(const float *delta, std::size_t count, const std::vector<std::uint64_t> &shape,
                       const std::string &what, const std::function<double(std::size_t)> &source_value) {
    std::size_t bad;
    {
        nb::gil_scoped_release nogil;
        bad = vz::core::first_non_finite(delta, count);
    }
    if (bad == count) return;
    // The flat index as the index of the tensor's extents, as numpy writes it.
    std::vector<std::uint64_t> index(shape.size(), 0);
    std::uint64_t rest = bad;
    for (std::size_t k = shape.size(); k-- > 0;) {
        if (shape[k] == 0) break;
        index[k] = rest % shape[k];
        rest /= shape[k];
    }
    std::string at = "(";
    for (std::size_t k = 0; k < index.size(); ++k) at += (k ? ", " : "") + std::to_string(index[k]);
    at += index.size() == 1 ? ",)" : ")";
    double v = source_value(bad);
    std::string held = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
    if (!std::isfinite(v))
        bind::raise(PyExc_ValueError, "cannot store " + what + ": it holds " + held + " at index " + at +
                                          "; only finite values can be stored (nothing was stored)");
    bind::raise(PyExc_ValueError, "cannot store " + what + ": its difference from the base at index " + at +
                                      " is not finite in float32 (the base holds a value that is not finite there, "
                                      "or the difference is too large); nothing was stored");
}

nb::object add_base(nb::handle b, nb::object d) {
    nb::module_ np = bind::numpy();
    // The delta may be updated in place when nobody else can see it: this frame holds the only
    // reference (so no view of it exists either, views refer to their base) and the array owns
    // its memory.
    bool sole_owner = Py_REFCNT(d.ptr()) == 1;
    std::optional<Float> bk = plain_float_kind(np, b), dk = plain_float_kind(np, d);
    if (bk && dk == Float::F32 && shape_tuple(np, b).equal(shape_tuple(np, d))) {
        std::optional<Float> rk = dtype_kind(result_type(np, b, d));
        if (rk == Float::F32 || rk == Float::F64) {
            nb::object bc = contiguous(np, b);
            nb::object flags = d.attr("flags");
            bool in_place = rk == Float::F32 && sole_owner && nb::cast<bool>(flags.attr("owndata")) &&
                            nb::cast<bool>(flags.attr("writeable")) && nb::cast<bool>(flags.attr("c_contiguous"));
            flags = nb::object();
            nb::object out;
            if (in_place) {
                out = d;
                FloatView vb(bc, false), vo(out, true);
                nb::gil_scoped_release nogil;
                kern::add_base(vb.data(), *bk, static_cast<const float *>(vo.data()), vo.data(), Float::F32,
                               vo.count());
            } else {
                nb::object dc = contiguous(np, d);
                out = np.attr("empty")(d.attr("shape"),
                                       "dtype"_a = rk == Float::F32 ? np.attr("float32") : np.attr("float64"));
                FloatView vb(bc, false), vd(dc, false), vo(out, true);
                nb::gil_scoped_release nogil;
                kern::add_base(vb.data(), *bk, static_cast<const float *>(vd.data()), vo.data(), *rk, vo.count());
            }
            return out;
        }
    }
    return bind::steal_or_raise(PyNumber_Add(b.ptr(), d.ptr()));
}

void squared_error_sums(nb::handle x, nb::handle y, double &sq_diff, double &sq_ref) {
    nb::module_ np = bind::numpy();
    nb::object f32 = np.attr("float32");
    // Each side viewed as float32: dense float arrays are converted inside the kernel,
    // everything else by numpy (no copy when it already is a float32 array).
    std::optional<Float> xk = plain_float_kind(np, x), yk = plain_float_kind(np, y);
    nb::object xo = xk ? nb::borrow(x) : np.attr("asarray")(x, "dtype"_a = f32);
    nb::object yo = yk ? nb::borrow(y) : np.attr("asarray")(y, "dtype"_a = f32);
    if (!xk) xk = Float::F32;
    if (!yk) yk = Float::F32;
    if (shape_tuple(np, xo).equal(shape_tuple(np, yo))) {
        nb::object xc = contiguous(np, xo), yc = contiguous(np, yo);
        FloatView vx(xc, false), vy(yc, false);
        nb::gil_scoped_release nogil;
        kern::squared_error_sums(vx.data(), *xk, vy.data(), *yk, vx.count(), &sq_diff, &sq_ref);
        return;
    }
    // Extents differ: numpy broadcasts them or raises its own error.
    nb::object xf = np.attr("asarray")(xo, "dtype"_a = f32), yf = np.attr("asarray")(yo, "dtype"_a = f32);
    nb::object d = bind::steal_or_raise(PyNumber_Subtract(xf.ptr(), yf.ptr()));
    nb::object f64 = np.attr("float64");
    sq_diff = nb::cast<double>(np.attr("sum")(d * d, "dtype"_a = f64));
    sq_ref = nb::cast<double>(np.attr("sum")(yf * yf, "dtype"_a = f64));
}

long long state_dict_nbytes(nb::handle sd, const char *argname) {
    nb::dict d = bind::arg_dict(sd, argname);
    long long total = 0;
    for (auto item : d) {
        nb::handle arr = item.second;
        long long count = nb::cast<long long>(nb::int_(arr.attr("size")));
        long long item_size = nb::cast<long long>(nb::int_(arr.attr("dtype").attr("itemsize")));
        total += count * item_size;
    }
    return total;
}

}  // namespace vz::deltavault
