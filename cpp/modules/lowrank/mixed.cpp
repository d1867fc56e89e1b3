// SVD_MIXED: mixed precision over singular vectors (core/mixed_precision.hpp). A 2-D delta (or
// the mode-0 flattening of a higher one) is kept as A * B^T, A_i = sqrt(s_i) U_i and
// B_i = sqrt(s_i) V_i, each kept vector in 2, 3, 4 or 8-bit codes with one float16 scale. The
// widths come from one bit budget: the tensor's own (svd_mixed_compress without widths), or one
// shared by every 2-D tensor of a fine-tune (svd_mixed_widths over their spectra, which the model
// library computes first, tensor by tensor).
//
// Record layout (m x n the mode-0 flattening, r the triplets kept):
//   cores    (codes uint8 (c,), scales float16 (r, 2), widths uint8 (r,))
//   factors  ()
//   metadata "bits" (the budget, bits a weight, float), "rank" (r), "zstd" (bool)
// codes hold each triplet's A_i codes then its B_i codes, each vector on a byte boundary; their
// length c follows from the widths (core::mixed::code_bytes), and with "zstd" they are one
// zstandard frame of that many bytes. A record read back is checked against these extents (and
// the frame's size) before anything is decoded.
#include "modules/lowrank/fewbit.hpp"

#include "core/mixed_precision.hpp"
#include "core/quant_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vz::lowrank {

namespace mx = vz::core::mixed;
using namespace fewbit;

namespace {

constexpr const char *kText = "svd_mixed";
// zstandard's level for the code streams: codes are close to random bits, so higher levels buy
// little for much more time.
constexpr int kZstdLevel = 9;
const char *const kZstdHint =
    "svd_mixed with zstd needs the 'zstandard' package: pip install 'velkor-zuma[zstd]' (or pip install zstandard)";

void check_bits(double bits) {
    if (!(bits > 0.0) || !std::isfinite(bits))
        bind::raise(PyExc_ValueError, "bits must be a positive number of bits a weight, got " + std::to_string(bits));
}

// The matrix view of a compressor's input: ndim >= 2, finite, within LAPACK's extents.
void check_matrix(const Input &in, nb::handle tensor) {
    int64_t ndim = nb::cast<int64_t>(bind::numpy().attr("ndim")(tensor));
    if (ndim < 2) bind::raise(PyExc_ValueError, "SVD requires ndim >= 2, got " + std::to_string(ndim));
    if (!kern::lapack_fits(in.flat.m, in.flat.n))
        bind::raise(PyExc_ValueError, "svd_mixed needs a matrix that LAPACK can take");
    if (!bind::truthy(bind::numpy().attr("isfinite")(in.arr).attr("all")())) non_finite(kText);
}

// widths as the caller gave them: a sequence of ints, each 0, 2, 3, 4 or 8, at most min(m, n).
std::vector<uint8_t> arg_widths(nb::handle obj, const Flat &f) {
    nb::object np = bind::numpy();
    nb::object arr = np.attr("asarray")(obj);
    if (nb::cast<int64_t>(arr.attr("ndim")) != 1) bind::raise(PyExc_ValueError, "widths must be one-dimensional");
    if (!bind::truthy(np.attr("issubdtype")(arr.attr("dtype"), np.attr("integer"))) &&
        nb::cast<int64_t>(arr.attr("size")) > 0)
        bind::raise(PyExc_TypeError, "widths must hold integers, got " + bind::text(arr.attr("dtype")));
    std::vector<uint8_t> out;
    for (nb::handle v : arr.attr("tolist")()) {
        int64_t w = nb::cast<int64_t>(v);
        if (!mx::valid_width(int(std::clamp<int64_t>(w, -1, 9))))
            bind::raise(PyExc_ValueError, "widths must be 0, 2, 3, 4 or 8 bits, got " + std::to_string(w));
        out.push_back(uint8_t(w));
    }
    if (int64_t(out.size()) > std::min(f.m, f.n))
        bind::raise(PyExc_ValueError, "widths name " + std::to_string(out.size()) + " triplets; the matrix has " +
                                          std::to_string(std::min(f.m, f.n)));
    while (!out.empty() && out.back() == 0) out.pop_back();
    return out;
}

nb::object zstd_compress(nb::object codes) {
    nb::module_ z = bind::import_optional("zstandard", kZstdHint);
    nb::object frame = z.attr("ZstdCompressor")("level"_a = kZstdLevel).attr("compress")(codes.attr("tobytes")());
    return bind::numpy().attr("frombuffer")(frame, "dtype"_a = "uint8").attr("copy")();
}

nb::object make_mixed(const Input &in, const std::vector<uint8_t> &widths, double bits, bool zstd, Solver solver) {
    const int64_t m = in.flat.m, n = in.flat.n, r = int64_t(widths.size());
    const int64_t c = mx::code_bytes(widths.data(), r, m, n);
    if (c < 0) bind::raise(PyExc_ValueError, "svd_mixed: the codes of this matrix would not fit in memory");
    void *pc, *ps, *pw;
    nb::object codes = empty_array({c}, "uint8", pc);
    nb::object scales = empty_array({r, 2}, "float16", ps);
    nb::object warr = empty_array({r}, "uint8", pw);
    if (r) std::memcpy(pw, widths.data(), size_t(r));
    bool randomized = false;
    if (r > 0) {
        native([&] {
            kern::Svd<float> f;
            // Only the kept triplets are needed: at small ranks the Krylov path, at the ranks of a
            // whole budget (hundreds to thousands) subspace iteration, whose basis is r plus a margin.
            if (kern::use_randomized(solver, m, n, r))
                randomized = kern::randomized_svd<float>(in.data, m, n, r, f);
            else if (kern::use_power(solver, m, n, r))
                randomized = kern::power_svd<float>(in.data, m, n, r, f);
            if (!randomized) f = kern::thin_svd<float, float>(in.data, m, n);
            mx::encode(f.u.get(), f.k, f.s.get(), f.vt.get(), m, n, widths.data(), r, static_cast<uint8_t *>(pc),
                       static_cast<uint16_t *>(ps));
        });
    }
    if (zstd) codes = zstd_compress(codes);
    nb::dict meta;
    meta["bits"] = bits;
    meta["rank"] = r;
    meta["zstd"] = nb::bool_(zstd);
    note_solver(meta, randomized);
    return make_record(member("SVD_MIXED"), in.shape, in.dtype, nb::make_tuple(codes, scales, warr), nb::tuple(), meta);
}

// ---- reading a record back ------------------------------------------------------------------------

struct Parsed {
    Flat flat;
    int64_t r = 0;
    std::vector<uint8_t> widths;
    Held scales, codes;
    nb::object raw;  // the decompressed code stream, when the record holds a zstd frame
    const uint8_t *code_ptr = nullptr;
};

void parse(nb::handle compressed, Parsed &p) {
    nb::object method = compressed.attr("method");
    if (!method.is(member("SVD_MIXED"))) bind::raise(PyExc_ValueError, "Expected SVD_MIXED, got " + bind::text(method));
    if (!flatten(compressed.attr("shape"), p.flat)) bad_record(kText, "shape is not a tuple of non-negative integers");
    nb::object meta = compressed.attr("metadata");
    const int64_t m = p.flat.m, n = p.flat.n;
    p.r = meta_int(meta, "rank", kText, 0, std::min(m, n));
    PyObject *z = PyDict_GetItemString(meta.ptr(), "zstd");
    if (z && !PyBool_Check(z)) bad_record(kText, "metadata 'zstd' is not a bool");
    bool zstd = z == Py_True;
    nb::tuple cores = as_tuple(compressed.attr("cores"));
    if (nb::len(cores) != 3)
        bad_record(kText, "expected 3 cores (codes, scales, widths), got " + std::to_string(nb::len(cores)));
    if (nb::len(as_tuple(compressed.attr("factors"))) != 0) bad_record(kText, "holds factors");
    Held hw;
    hold(cores[2], "uint8", {p.r}, hw, kText, "widths");
    p.widths.assign(static_cast<const uint8_t *>(hw.ptr()), static_cast<const uint8_t *>(hw.ptr()) + p.r);
    for (uint8_t w : p.widths)
        if (!mx::valid_width(w)) bad_record(kText, "a width of " + std::to_string(int(w)) + " bits");
    const int64_t c = mx::code_bytes(p.widths.data(), p.r, m, n);
    if (c < 0) bad_record(kText, "its codes would not fit in memory");
    hold(cores[1], "float16", {p.r, 2}, p.scales, kText, "scales");
    if (!zstd) {
        hold(cores[0], "uint8", {c}, p.codes, kText, "codes");
        p.code_ptr = static_cast<const uint8_t *>(p.codes.ptr());
        return;
    }
    nb::object frame = cores[0];
    nb::object np = bind::numpy();
    if (!nb::isinstance(frame, np.attr("ndarray")) || !frame.attr("dtype").equal(np.attr("dtype")("uint8")) ||
        nb::cast<int64_t>(frame.attr("ndim")) != 1)
        bad_record(kText, "codes must be a one-dimensional uint8 array");
    nb::module_ zs = bind::import_optional("zstandard", kZstdHint);
    nb::object raw;
    try {
        // max_output_size bounds what a damaged or hostile frame can make this allocate.
        raw = zs.attr("ZstdDecompressor")().attr("decompress")(np.attr("ascontiguousarray")(frame).attr("tobytes")(),
                                                               "max_output_size"_a = std::max<int64_t>(c, 1));
    } catch (nb::python_error &e) {
        bad_record(kText, "its zstd frame does not decompress: " + bind::text(e.value()));
    }
    if (int64_t(nb::len(raw)) != c)
        bad_record(kText, "its zstd frame holds " + std::to_string(nb::len(raw)) + " bytes of codes, expected " +
                              std::to_string(c));
    p.raw = np.attr("frombuffer")(raw, "dtype"_a = "uint8");
    hold(p.raw, "uint8", {c}, p.codes, kText, "codes");
    p.code_ptr = static_cast<const uint8_t *>(p.codes.ptr());
}

// The dequantized factors A (m x r) and B^T (r x n), float32.
void factors_of(const Parsed &p, nb::object &a, nb::object &bt) {
    const int64_t m = p.flat.m, n = p.flat.n, r = p.r;
    void *pa, *pb;
    a = empty_array({m, r}, "float32", pa);
    bt = empty_array({r, n}, "float32", pb);
    native([&] {
        mx::decode(p.code_ptr, static_cast<const uint16_t *>(p.scales.ptr()), p.widths.data(), r, m, n,
                   static_cast<float *>(pa), static_cast<float *>(pb));
    });
}

}  // namespace

nb::object svd_spectrum(nb::handle tensor) {
    Input in;
    take_input(tensor, in, kText);
    check_matrix(in, tensor);
    const int64_t m = in.flat.m, n = in.flat.n, k = std::min(m, n);
    double *ps = nullptr;
    nb::object s = new_array<double>(std::vector<int64_t>{k}, ps);
    native([&] {
        kern::Buffer<float> sf = kern::alloc<float>(size_t(k));
        mx::singular_values(in.data, m, n, sf.get());
        for (int64_t i = 0; i < k; ++i) ps[i] = double(sf[size_t(i)]);
    });
    return s;
}

nb::list svd_mixed_widths(nb::handle shapes, nb::handle spectra, double bits) {
    check_bits(bits);
    nb::list sh = bind::arg_list(shapes, "shapes");
    nb::list sp = bind::arg_list(spectra, "spectra");
    if (nb::len(sh) != nb::len(sp))
        bind::raise(PyExc_ValueError, "shapes and spectra differ in length: " + std::to_string(nb::len(sh)) + " and " +
                                          std::to_string(nb::len(sp)));
    nb::object np = bind::numpy();
    std::vector<nb::object> keep;
    std::vector<mx::Spectrum> mats;
    double budget = 0.0;
    for (size_t j = 0; j < nb::len(sh); ++j) {
        Flat f;
        nb::tuple t = bind::arg_tuple(sh[j], "shapes[i]");
        if (nb::len(t) < 2 || !flatten(t, f))
            bind::raise(PyExc_ValueError, "shapes[" + std::to_string(j) +
                                              "] is not the shape of a tensor of 2 or "
                                              "more dimensions: " +
                                              bind::text(t));
        nb::object s = np.attr("ascontiguousarray")(sp[j], "dtype"_a = np.attr("float64"));
        int64_t k = nb::cast<int64_t>(s.attr("size"));
        if (nb::cast<int64_t>(s.attr("ndim")) != 1 || k > std::min(f.m, f.n))
            bind::raise(PyExc_ValueError, "spectra[" + std::to_string(j) + "] is not a vector of at most min(m, n) = " +
                                              std::to_string(std::min(f.m, f.n)) + " singular values");
        if (!bind::truthy(np.attr("all")(np.attr("isfinite")(s))))
            bind::raise(PyExc_ValueError, "spectra[" + std::to_string(j) + "] holds NaN or infinity");
        bind::Buffer b(s, PyBUF_C_CONTIGUOUS);
        mx::Spectrum one;
        one.m = f.m;
        one.n = f.n;
        one.k = k;
        one.s = static_cast<const double *>(b.data());
        // Sorted descending, as an SVD gives them: the widths refer to triplets in that order.
        for (int64_t i = 1; i < k; ++i)
            if (one.s[i] > one.s[i - 1])
                bind::raise(PyExc_ValueError, "spectra[" + std::to_string(j) + "] is not in descending order");
        budget += bits * double(f.m) * double(f.n);
        keep.push_back(s);
        mats.push_back(one);
    }
    std::vector<std::vector<uint8_t>> widths;
    native([&] { mx::allocate(mats, budget, widths); });
    nb::list out;
    for (const auto &w : widths) {
        void *p;
        nb::object arr = empty_array({int64_t(w.size())}, "uint8", p);
        if (!w.empty()) std::memcpy(p, w.data(), w.size());
        out.append(arr);
    }
    return out;
}

nb::object svd_mixed_compress(nb::handle tensor, double bits, nb::handle widths, bool zstd, Solver solver) {
    check_bits(bits);
    Input in;
    take_input(tensor, in, kText);
    check_matrix(in, tensor);
    const int64_t m = in.flat.m, n = in.flat.n;
    std::vector<uint8_t> w;
    if (!widths.is_none()) {
        w = arg_widths(widths, in.flat);
    } else {
        // The tensor's own budget over its own spectrum.
        const int64_t k = std::min(m, n);
        std::vector<double> s(static_cast<size_t>(k));
        std::vector<std::vector<uint8_t>> out;
        native([&] {
            kern::Buffer<float> sf = kern::alloc<float>(size_t(k));
            mx::singular_values(in.data, m, n, sf.get());
            for (int64_t i = 0; i < k; ++i) s[size_t(i)] = double(sf[size_t(i)]);
            mx::Spectrum sp{m, n, s.data(), k};
            mx::allocate({sp}, bits * double(m) * double(n), out);
        });
        w = out[0];
    }
    return make_mixed(in, w, bits, zstd, solver);
}

nb::object svd_mixed_within(nb::handle tensor, double max_error) {
    Input in;
    take_input(tensor, in, kText);
    const int64_t m = in.flat.m, n = in.flat.n, k = std::min(m, n);
    if (k == 0 || !kern::lapack_fits(m, n)) return nb::none();
    const double target = max_error * max_error;
    std::vector<double> s(static_cast<size_t>(k));
    std::vector<uint8_t> w;
    double bits = 0.0;
    bool found = native([&] {
        kern::Buffer<float> sf = kern::alloc<float>(size_t(k));
        mx::singular_values(in.data, m, n, sf.get());
        for (int64_t i = 0; i < k; ++i) s[size_t(i)] = double(sf[size_t(i)]);
        mx::Spectrum sp{m, n, s.data(), k};
        std::vector<std::vector<uint8_t>> out;
        auto error_at = [&](double b) {
            mx::allocate({sp}, b * double(m) * double(n), out);
            return mx::predicted_error(sp, out[0].data(), int64_t(out[0].size()));
        };
        // Every triplet at 8 bits and its scales is the most a budget can buy.
        double hi = 8.0 + 32.0 * double(k) / (double(m) * double(n)) + 1e-9;
        if (error_at(hi) > target) return false;
        double lo = 0.0;
        for (int it = 0; it < 30; ++it) {
            double mid = 0.5 * (lo + hi);
            (error_at(mid) <= target ? hi : lo) = mid;
        }
        error_at(hi);
        w = out[0];
        bits = hi;
        return true;
    });
    if (!found) return nb::none();
    return make_mixed(in, w, bits, false, Solver::Exact);
}

nb::object svd_mixed_decompress(nb::handle compressed) {
    Parsed p;
    parse(compressed, p);
    const int64_t m = p.flat.m, n = p.flat.n;
    float *o = nullptr;
    nb::object out = new_array<float>(std::vector<int64_t>{m, n}, o);
    if (p.r == 0 || m == 0 || n == 0) {
        if (m && n) std::memset(o, 0, size_t(m) * size_t(n) * sizeof(float));
        return finish(out, compressed);
    }
    if (!kern::lapack_fits(m, n)) bad_record(kText, "the matrix is too large");
    nb::object a, bt;
    factors_of(p, a, bt);
    bind::Buffer ab(a, PyBUF_C_CONTIGUOUS), bb(bt, PyBUF_C_CONTIGUOUS);
    native([&] {
        kern::matmul<float>(m, n, p.r, static_cast<const float *>(ab.data()), static_cast<const float *>(bb.data()), o);
    });
    return finish(out, compressed);
}

nb::tuple svd_mixed_factors(nb::handle compressed) {
    Parsed p;
    parse(compressed, p);
    nb::object a, bt;
    factors_of(p, a, bt);
    return nb::make_tuple(a, bt.attr("T"));
}

void register_mixed(nb::module_ &m) {
    m.def(
        "svd_spectrum", [](nb::handle tensor) { return svd_spectrum(tensor); }, "tensor"_a,
        "The singular values (float64, descending) of the tensor's mode-0 flattening, computed in float32\n"
        "without the vectors: what svd_mixed_widths needs from each tensor.");
    m.def(
        "svd_mixed_widths",
        [](nb::handle shapes, nb::handle spectra, nb::handle bits) {
            return svd_mixed_widths(shapes, spectra, bind::arg_float(bits, "bits"));
        },
        "shapes"_a.none(), "spectra"_a.none(), nb::kw_only(), "bits"_a.none() = kDefaultMixedBits,
        "One budget of `bits` bits a weight over all the given tensors (shapes: a list of tuples of 2 or\n"
        "more extents; spectra: their singular values, descending, as svd_spectrum gives them): the\n"
        "width (0, 2, 3, 4 or 8 bits) of each leading triplet of each tensor, trailing zeros trimmed,\n"
        "chosen greedily by the best error saved per bit. Pass each to svd_mixed_compress(widths=...).");
    m.def(
        "svd_mixed_compress",
        [](nb::handle tensor, nb::handle bits, nb::handle widths, nb::handle zstd, nb::handle solver) {
            double b = bind::arg_float(bits, "bits");
            if (!PyBool_Check(zstd.ptr())) bind::raise_arg_type("zstd", "bool", zstd);
            return svd_mixed_compress(tensor, b, widths, zstd.ptr() == Py_True, arg_solver(solver));
        },
        "tensor"_a, nb::kw_only(), "bits"_a.none() = kDefaultMixedBits, "widths"_a.none() = nb::none(),
        "zstd"_a.none() = false, "solver"_a.none() = "exact",
        "Mixed precision over singular vectors: the leading triplets as A = sqrt(s) U and B = sqrt(s) V,\n"
        "each kept vector in 2, 3, 4 or 8-bit codes with one float16 scale. Without `widths`, the\n"
        "tensor's own budget of `bits` bits a weight sets them; with `widths` (from svd_mixed_widths,\n"
        "one budget over a whole fine-tune) they are used as given and `bits` is only recorded.\n"
        "zstd=True stores the codes as one zstandard frame (the 'zstandard' package). Only the r kept\n"
        "triplets are computed: where the Krylov basis 4 * (r + 10) does not fit, 'randomized' and 'auto'\n"
        "use subspace iteration (r + max(10, r / 8) start vectors, 3 power iterations), 'auto' only while\n"
        "that basis is at most half of min(m, n) and min(m, n) >= 128. " SOLVER_DOC);
    m.def(
        "_svd_mixed_check",
        [](nb::handle c) {
            Parsed p;
            parse(c, p);
        },
        "compressed"_a, "Checks an SVD_MIXED record's arrays against its widths and metadata (ValueError if not).");
    m.def(
        "svd_mixed_decompress", [](nb::handle c) { return svd_mixed_decompress(c); }, "compressed"_a,
        "Dense array rebuilt from an SVD_MIXED record: A @ B.T of its dequantized factors.");
    m.def(
        "svd_mixed_factors", [](nb::handle c) { return svd_mixed_factors(c); }, "compressed"_a,
        "The dequantized thin factors (A, B) of an SVD_MIXED record, float32, A m x r and B n x r, so\n"
        "that the tensor's mode-0 flattening is A @ B.T: to apply the delta to rows without forming it.");
}

}  // namespace vz::lowrank
