// Few-bit delta methods: signs with a fitted scale (SIGN) and low rank plus a 4/8-bit residual
// with per-group scales (SVD_Q4, SVD_Q8); their reconstruction; and compress_best, the smallest
// record within an error bound.
//
// Record layout (the tensor viewed as its mode-0 flattening, m x n; a vector or a scalar as one
// row). Every array is stored as it is counted: nothing is derived from the metadata alone.
//
//   SIGN     cores   (bits uint8 m x ceil(n/8), scales float32 (m,) per row or (1,) per matrix),
//                    or with row and column scales (bits, rows float32 (m,), columns float32 (n,))
//   SVD_Q4/8 cores   (codes uint8 m x ceil(n*b/8), scales float32 m x ceil(n/group_size))
//   both     factors ()  when rank is 0, else  (U float16 m x r, s float32 (r,), Vt float16 r x n)
//   metadata SIGN: "rank", "scale" ("row", "matrix" or "row+column");  SVD_Q*: "rank", "bits", "group_size"
//
// The few-bit part codes the residual left after the low-rank part as stored (the float16
// factors), so the rounding of the factors is corrected by the residual too. A record read back
// from disk is checked against these extents before any memory is touched.
#include "modules/lowrank/fewbit.hpp"

#include "core/finite.hpp"
#include "core/quant_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vz::lowrank {

namespace qk = vz::core::quant;

namespace fewbit {

// ---- shapes and raw arrays -------------------------------------------------------------------

// The mode-0 flattening of `shape` (a tuple of non-negative ints); false when the product
// overflows.
bool flatten(nb::handle shape, Flat &f) {
    nb::tuple t = as_tuple(shape);
    size_t nd = nb::len(t);
    int64_t total = 1, first = 1;
    for (size_t i = 0; i < nd; ++i) {
        nb::handle e = t[i];
        if (!PyLong_Check(e.ptr()) || PyBool_Check(e.ptr())) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(e.ptr(), &overflow);
        if (overflow || v < 0) return false;
        if (__builtin_mul_overflow(total, int64_t(v), &total)) return false;
        if (i == 0) first = v;
    }
    if (nd >= 2) {
        f.m = first;
        f.n = first ? total / first : 0;
        if (!first) {  // the other extents still define n
            int64_t rest = 1;
            for (size_t i = 1; i < nd; ++i)
                if (__builtin_mul_overflow(rest, nb::cast<int64_t>(t[i]), &rest)) return false;
            f.n = rest;
        }
    } else {
        f.m = 1;
        f.n = total;
    }
    return true;
}

nb::object empty_array(std::initializer_list<int64_t> shape, const char *dtype, void *&data) {
    nb::object np = bind::numpy();
    nb::list dims;
    for (int64_t d : shape) dims.append(nb::int_(d));
    nb::object arr = np.attr("empty")(nb::tuple(dims), np.attr(dtype));
    // The array keeps its memory: the pointer stays valid while it lives, after the view is gone.
    data = bind::Buffer(arr, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS).data();
    return arr;
}

[[noreturn]] void bad_record(const std::string &method, const std::string &what) {
    bind::raise(PyExc_ValueError, "malformed " + method + " record: " + what);
}

void hold(nb::handle arr, const char *dtype, std::initializer_list<int64_t> shape, Held &h, const std::string &method,
          const char *what) {
    nb::object np = bind::numpy();
    if (!nb::isinstance(arr, np.attr("ndarray"))) bad_record(method, std::string(what) + " is not a numpy array");
    nb::object want = np.attr("dtype")(dtype);
    if (!arr.attr("dtype").equal(want))
        bad_record(method, std::string(what) + " must be " + dtype + ", got " + bind::text(arr.attr("dtype")));
    nb::tuple got = as_tuple(arr.attr("shape"));
    bool ok = nb::len(got) == shape.size();
    size_t i = 0;
    for (int64_t d : shape) {
        if (!ok) break;
        ok = nb::cast<int64_t>(got[i++]) == d;
    }
    if (!ok) {
        std::string want_shape = "(";
        i = 0;
        for (int64_t d : shape) want_shape += (i++ ? ", " : "") + std::to_string(d);
        want_shape += shape.size() == 1 ? ",)" : ")";
        bad_record(method, std::string(what) + " has shape " + bind::text(got) + ", expected " + want_shape);
    }
    h.keep = np.attr("ascontiguousarray")(arr);  // native order is implied by the dtype test
    h.buf = bind::Buffer(h.keep, PyBUF_C_CONTIGUOUS);
}

int64_t meta_int(nb::handle meta, const char *key, const std::string &method, int64_t lo, int64_t hi) {
    if (!PyDict_Check(meta.ptr())) bad_record(method, "metadata is not a mapping");
    PyObject *v = PyDict_GetItemString(meta.ptr(), key);
    if (!v || !PyLong_Check(v) || PyBool_Check(v))
        bad_record(method, std::string("metadata '") + key + "' is not an integer");
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || x < lo || x > hi)
        bad_record(method, std::string("metadata '") + key + "' is out of range: " + bind::text(nb::handle(v)));
    return x;
}

// ---- compression ---------------------------------------------------------------------------------

void take_input(nb::handle tensor, Input &in, const char *method) {
    nb::object np = bind::numpy();
    nb::object a = np.attr("asarray")(tensor);
    in.shape = as_tuple(a.attr("shape"));
    in.dtype = as_str(a.attr("dtype"));
    if (!flatten(in.shape, in.flat))
        bind::raise(PyExc_ValueError, std::string(method) + ": the tensor's extents overflow");
    in.arr = np.attr("ascontiguousarray")(a, "dtype"_a = np.attr("float32"));
    in.view = bind::Buffer(in.arr, PyBUF_C_CONTIGUOUS);
    in.data = static_cast<const float *>(in.view.data());
}

[[noreturn]] void non_finite(const char *method) {
    bind::raise(PyExc_ValueError, std::string(method) + " cannot code a tensor holding NaN or infinity");
}

// The float32 m x n result, reshaped to the record's shape and cast to its element type.
nb::object finish(nb::object out, nb::handle compressed) {
    nb::object shaped = out.attr("reshape")(compressed.attr("shape"));
    nb::object dtype = compressed.attr("dtype");
    if (PyUnicode_CheckExact(dtype.ptr()) && bind::text(dtype) == "float32") return shaped;
    return astype_nocopy(shaped, dtype);
}

}  // namespace fewbit

using namespace fewbit;

namespace {

// Low-rank part: the leading `rank` triplets with U and Vt rounded to float16, and the residual
// x - U s Vt (as stored) in `resid`. Returns the factors tuple (empty for rank 0, when the
// residual is the input itself and `resid` is left empty).
// The thin SVD of one input, computed once and shared by every candidate that needs a low-rank
// part (compress_best tries several ranks on the same tensor).
struct SvdCache {
    bool ready = false;
    kern::Svd<float> f;
};

nb::tuple low_rank_part(const Input &in, int64_t rank, kern::Buffer<float> &resid, const char *method,
                        SvdCache &cache) {
    const int64_t m = in.flat.m, n = in.flat.n;
    const size_t mn = size_t(m) * size_t(n);
    if (rank == 0 || m == 0 || n == 0) return nb::tuple();
    // LAPACK would loop forever or fail on non-finite values; refuse them first.
    if (native([&] { return vz::core::first_non_finite(in.data, mn); }) != mn) non_finite(method);
    resid = kern::alloc<float>(mn);
    if (!kern::lapack_fits(m, n))
        bind::raise(PyExc_ValueError, "the low-rank part needs a matrix that LAPACK can take");
    void *pu, *ps, *pvt;
    nb::object u = empty_array({m, rank}, "float16", pu);
    nb::object s = empty_array({rank}, "float32", ps);
    nb::object vt = empty_array({rank, n}, "float16", pvt);
    native([&] {
        if (!cache.ready) {
            cache.f = kern::thin_svd<float, float>(in.data, m, n);
            cache.ready = true;
        }
        const kern::Svd<float> &f = cache.f;
        kern::Buffer<float> uf = kern::alloc<float>(size_t(m) * size_t(rank));
        kern::Buffer<float> vf = kern::alloc<float>(size_t(rank) * size_t(n));
        kern::keep_leading<float, float>(f, rank, uf.get(), static_cast<float *>(ps), vf.get());
        qk::to_half(uf.get(), static_cast<uint16_t *>(pu), size_t(m) * size_t(rank));
        qk::to_half(vf.get(), static_cast<uint16_t *>(pvt), size_t(rank) * size_t(n));
        // The product of the factors as stored.
        qk::from_half(static_cast<uint16_t *>(pu), uf.get(), size_t(m) * size_t(rank));
        qk::from_half(static_cast<uint16_t *>(pvt), vf.get(), size_t(rank) * size_t(n));
        float *rp = resid.get();
        kern::svd_reconstruct<float>(m, n, rank, uf.get(), static_cast<float *>(ps), vf.get(), rp);
        for (size_t i = 0; i < mn; ++i) rp[i] = in.data[i] - rp[i];
    });
    return nb::make_tuple(u, s, vt);
}

int64_t clamp_rank(int64_t rank, const Flat &f) {
    if (rank < 0) bind::raise(PyExc_ValueError, "rank must not be negative, got " + std::to_string(rank));
    return std::min(rank, std::min(f.m, f.n));
}

}  // namespace

namespace {

nb::object sign_impl(const Input &in, int64_t rank, bool per_row, SvdCache &cache, bool per_column = false) {
    const int64_t m = in.flat.m, n = in.flat.n;
    int64_t r = clamp_rank(rank, in.flat);
    kern::Buffer<float> resid;
    nb::tuple factors = low_rank_part(in, r, resid, "sign", cache);
    const float *src = resid ? resid.get() : in.data;
    void *pb, *ps, *pc = nullptr;
    nb::object bits = empty_array({m, qk::row_bytes(n, 1)}, "uint8", pb);
    nb::object scales = empty_array({per_row ? m : 1}, "float32", ps);
    nb::object cols;
    if (per_column) cols = empty_array({n}, "float32", pc);
    bool finite = native([&] {
        if (!qk::sign_pack(src, m, n, per_row, static_cast<uint8_t *>(pb), static_cast<float *>(ps))) return false;
        if (per_column) qk::fit_row_column_scales(src, m, n, static_cast<float *>(ps), static_cast<float *>(pc));
        return true;
    });
    if (!finite) non_finite("sign");
    nb::dict meta;
    meta["rank"] = r;
    meta["scale"] = per_column ? "row+column" : per_row ? "row" : "matrix";
    nb::tuple cores = per_column ? nb::make_tuple(bits, scales, cols) : nb::make_tuple(bits, scales);
    return make_record(member("SIGN"), in.shape, in.dtype, cores, factors, meta);
}

nb::object quant_impl(const Input &in, int64_t rank, int64_t bits, int64_t group_size, SvdCache &cache) {
    const int64_t m = in.flat.m, n = in.flat.n;
    int64_t r = clamp_rank(rank, in.flat);
    int64_t group = std::min<int64_t>(group_size, std::max<int64_t>(n, 1));
    kern::Buffer<float> resid;
    nb::tuple factors = low_rank_part(in, r, resid, "svd_quant", cache);
    const float *src = resid ? resid.get() : in.data;
    void *pc, *ps;
    nb::object codes = empty_array({m, qk::row_bytes(n, int(bits))}, "uint8", pc);
    nb::object scales = empty_array({m, qk::row_groups(n, group)}, "float32", ps);
    bool finite = native([&] {
        return qk::group_quant(src, m, n, int(bits), group, static_cast<uint8_t *>(pc), static_cast<float *>(ps));
    });
    if (!finite) non_finite("svd_quant");
    nb::dict meta;
    meta["rank"] = r;
    meta["bits"] = bits;
    meta["group_size"] = group;
    return make_record(member(bits == 4 ? "SVD_Q4" : "SVD_Q8"), in.shape, in.dtype, nb::make_tuple(codes, scales),
                       factors, meta);
}

void check_quant_settings(int64_t bits, int64_t group_size) {
    if (bits != 4 && bits != 8) bind::raise(PyExc_ValueError, "bits must be 4 or 8, got " + std::to_string(bits));
    if (group_size < 1) bind::raise(PyExc_ValueError, "group_size must be positive, got " + std::to_string(group_size));
}

}  // namespace

nb::object sign_compress(nb::handle tensor, int64_t rank, bool per_row, bool per_column) {
    if (per_column && !per_row)
        bind::raise(PyExc_ValueError, "per_column scales go with per_row scales (per_row=True)");
    Input in;
    take_input(tensor, in, "sign");
    SvdCache cache;
    return sign_impl(in, rank, per_row, cache, per_column);
}

nb::object svd_quant_compress(nb::handle tensor, int64_t rank, int64_t bits, int64_t group_size) {
    check_quant_settings(bits, group_size);
    Input in;
    take_input(tensor, in, "svd_quant");
    SvdCache cache;
    return quant_impl(in, rank, bits, group_size, cache);
}

// ---- reconstruction ------------------------------------------------------------------------------

namespace {

// Checks the low-rank factors of a record and writes their product into out (m x n), or zeros.
void low_rank_into(nb::handle compressed, const std::string &method, const Flat &f, int64_t rank, float *out) {
    nb::tuple factors = as_tuple(compressed.attr("factors"));
    const size_t mn = size_t(f.m) * size_t(f.n);
    if (rank == 0) {
        if (nb::len(factors) != 0) bad_record(method, "rank 0 with stored factors");
        if (mn) std::memset(out, 0, mn * sizeof(float));
        return;
    }
    if (nb::len(factors) != 3)
        bad_record(method, "expected 3 factors (U, s, Vt), got " + std::to_string(nb::len(factors)));
    Held hu, hs, hv;
    hold(factors[0], "float16", {f.m, rank}, hu, method, "U");
    hold(factors[1], "float32", {rank}, hs, method, "s");
    hold(factors[2], "float16", {rank, f.n}, hv, method, "Vt");
    if (!kern::lapack_fits(f.m, f.n)) bad_record(method, "the low-rank part is too large");
    native([&] {
        kern::Buffer<float> uf = kern::alloc<float>(size_t(f.m) * size_t(rank));
        kern::Buffer<float> vf = kern::alloc<float>(size_t(rank) * size_t(f.n));
        qk::from_half(static_cast<const uint16_t *>(hu.ptr()), uf.get(), size_t(f.m) * size_t(rank));
        qk::from_half(static_cast<const uint16_t *>(hv.ptr()), vf.get(), size_t(rank) * size_t(f.n));
        kern::svd_reconstruct<float>(f.m, f.n, rank, uf.get(), static_cast<const float *>(hs.ptr()), vf.get(), out);
    });
}

struct Parsed {
    std::string method;
    Flat flat;
    int64_t rank = 0;
};

void parse_common(nb::handle compressed, const char *member_name, const char *text, Parsed &p) {
    p.method = text;
    if (!flatten(compressed.attr("shape"), p.flat))
        bad_record(p.method, "shape is not a tuple of non-negative integers");
    p.rank = meta_int(compressed.attr("metadata"), "rank", p.method, 0, std::min(p.flat.m, p.flat.n));
    (void) member_name;
}

}  // namespace

nb::object sign_decompress(nb::handle compressed) {
    nb::object method = compressed.attr("method");
    if (!method.is(member("SIGN"))) bind::raise(PyExc_ValueError, "Expected SIGN, got " + bind::text(method));
    Parsed p;
    parse_common(compressed, "SIGN", "sign", p);
    nb::object meta = compressed.attr("metadata");
    PyObject *scale_kind = PyDict_GetItemString(meta.ptr(), "scale");
    bool per_row, per_column = false;
    std::string kind = scale_kind && PyUnicode_Check(scale_kind) ? bind::text(scale_kind) : std::string();
    if (kind == "row")
        per_row = true;
    else if (kind == "matrix")
        per_row = false;
    else if (kind == "row+column")
        per_row = per_column = true;
    else
        bad_record(p.method, "metadata 'scale' must be 'row', 'matrix' or 'row+column'");
    nb::tuple cores = as_tuple(compressed.attr("cores"));
    const size_t want = per_column ? 3 : 2;
    if (nb::len(cores) != want)
        bad_record(p.method, "expected " +
                                 std::string(per_column ? "3 cores (bits, row scales, column scales)"
                                                        : "2 cores (bits, scales)") +
                                 ", got " + std::to_string(nb::len(cores)));
    const int64_t m = p.flat.m, n = p.flat.n;
    Held hb, hs, hc;
    hold(cores[0], "uint8", {m, qk::row_bytes(n, 1)}, hb, p.method, "bits");
    hold(cores[1], "float32", {per_row ? m : 1}, hs, p.method, "scales");
    if (per_column) hold(cores[2], "float32", {n}, hc, p.method, "column scales");
    float *o = nullptr;
    nb::object out = new_array<float>(std::vector<int64_t>{m, n}, o);
    low_rank_into(compressed, p.method, p.flat, p.rank, o);
    native([&] {
        if (per_column)
            qk::sign_unpack_row_column(static_cast<const uint8_t *>(hb.ptr()), static_cast<const float *>(hs.ptr()),
                                       static_cast<const float *>(hc.ptr()), m, n, o, true);
        else
            qk::sign_unpack(static_cast<const uint8_t *>(hb.ptr()), static_cast<const float *>(hs.ptr()), m, n, per_row,
                            o, true);
    });
    return finish(out, compressed);
}

nb::object svd_quant_decompress(nb::handle compressed) {
    nb::object method = compressed.attr("method");
    bool q4 = method.is(member("SVD_Q4"));
    if (!q4 && !method.is(member("SVD_Q8")))
        bind::raise(PyExc_ValueError, "Expected SVD_Q4 or SVD_Q8, got " + bind::text(method));
    Parsed p;
    parse_common(compressed, q4 ? "SVD_Q4" : "SVD_Q8", q4 ? "svd_q4" : "svd_q8", p);
    nb::object meta = compressed.attr("metadata");
    int64_t bits = meta_int(meta, "bits", p.method, 4, 8);
    if (bits != (q4 ? 4 : 8)) bad_record(p.method, "metadata 'bits' is " + std::to_string(bits));
    const int64_t m = p.flat.m, n = p.flat.n;
    int64_t group = meta_int(meta, "group_size", p.method, 1, std::max<int64_t>(n, 1));
    nb::tuple cores = as_tuple(compressed.attr("cores"));
    if (nb::len(cores) != 2)
        bad_record(p.method, "expected 2 cores (codes, scales), got " + std::to_string(nb::len(cores)));
    Held hc, hs;
    hold(cores[0], "uint8", {m, qk::row_bytes(n, int(bits))}, hc, p.method, "codes");
    hold(cores[1], "float32", {m, qk::row_groups(n, group)}, hs, p.method, "scales");
    float *o = nullptr;
    nb::object out = new_array<float>(std::vector<int64_t>{m, n}, o);
    low_rank_into(compressed, p.method, p.flat, p.rank, o);
    native([&] {
        qk::group_dequant(static_cast<const uint8_t *>(hc.ptr()), static_cast<const float *>(hs.ptr()), m, n, int(bits),
                          group, o, true);
    });
    return finish(out, compressed);
}

// ---- the smallest record within an error bound ------------------------------------------------

namespace {

int64_t record_bytes(nb::handle rec) { return nb::cast<int64_t>(rec.attr("compressed_size_bytes")); }

// Bytes a sign / quantized record of these settings will take (the same arithmetic as above).
int64_t predicted_bytes(const Flat &f, int64_t rank, int bits, bool per_row, int64_t group, bool per_column = false) {
    int64_t r = std::min(rank, std::min(f.m, f.n));
    int64_t low = r ? r * (f.m * 2 + 4 + f.n * 2) : 0;
    if (bits == 1) return low + f.m * qk::row_bytes(f.n, 1) + ((per_row ? f.m : 1) + (per_column ? f.n : 0)) * 4;
    int64_t g = std::min<int64_t>(group, std::max<int64_t>(f.n, 1));
    return low + f.m * qk::row_bytes(f.n, bits) + f.m * qk::row_groups(f.n, g) * 4;
}

}  // namespace

nb::object compress_best(nb::handle tensor, double max_error, int64_t max_rank, int64_t group_size) {
    if (!(max_error >= 0.0))
        bind::raise(PyExc_ValueError, "max_error must be a non-negative number, got " + std::to_string(max_error));
    nb::object np = bind::numpy();
    nb::object arr = np.attr("asarray")(tensor);
    nb::object dense = compress(arr, member("NONE"), 0.5, 8);
    const int64_t dense_bytes = record_bytes(dense);
    int64_t ndim = nb::cast<int64_t>(arr.attr("ndim"));
    Flat f;
    if (ndim < 2 || dense_bytes == 0 || !flatten(arr.attr("shape"), f) || f.m == 0 || f.n == 0) return dense;
    // Only the dense record holds a NaN or an infinity as it is.
    if (!bind::truthy(np.attr("isfinite")(arr).attr("all")())) return dense;

    nb::object best = dense;
    int64_t best_bytes = dense_bytes;
    auto consider = [&](nb::object rec) {
        int64_t b = record_bytes(rec);
        if (b >= best_bytes) return;
        double err = relative_frobenius_error(arr, decompress(rec));
        if (std::isfinite(err) && err <= max_error) {
            best = rec;
            best_bytes = b;
        }
    };
    // Truncated SVD at the smallest rank whose discarded energy keeps the error within bound
    // (its size is known only once its rank is).
    if (max_error < 1.0) consider(svd_compress_energy(arr, 1.0 - max_error * max_error, 1, std::nullopt));
    if (max_rank > 0 && ndim >= 3) consider(tt_compress(arr, max_rank));
    // Mixed precision over singular vectors at the smallest budget predicted within the bound; the
    // prediction is a model of the codes' error, so a record that misses is tried again with a
    // tighter target.
    for (double margin : {1.0, 0.8, 0.6}) {
        nb::object rec = svd_mixed_within(arr, max_error * margin);
        if (rec.is_none()) break;
        int64_t before = best_bytes;
        consider(rec);
        if (best_bytes < before) break;
        if (record_bytes(rec) >= best_bytes) break;  // too large already: tighter is larger still
    }

    struct Candidate {
        int64_t rank;
        int bits;
        bool per_row;
        int64_t bytes;
        bool per_column = false;
    };
    std::vector<Candidate> few;
    std::vector<int64_t> ranks{0};
    if (max_rank > 0) {
        ranks.push_back(std::max<int64_t>(1, max_rank / 2));
        ranks.push_back(max_rank);
    }
    for (int64_t r : ranks) {
        few.push_back({r, 1, false, predicted_bytes(f, r, 1, false, group_size)});
        few.push_back({r, 1, true, predicted_bytes(f, r, 1, true, group_size)});
        few.push_back({r, 1, true, predicted_bytes(f, r, 1, true, group_size, true), true});
        few.push_back({r, 4, true, predicted_bytes(f, r, 4, true, group_size)});
        few.push_back({r, 8, true, predicted_bytes(f, r, 8, true, group_size)});
    }
    std::stable_sort(few.begin(), few.end(), [](const Candidate &a, const Candidate &b) { return a.bytes < b.bytes; });
    // Cheapest first: the first one within the bound is the smallest of the few-bit records.
    // One input view and one SVD serve them all.
    Input in;
    SvdCache cache;
    bool taken = false;
    for (const Candidate &c : few) {
        if (c.bytes >= best_bytes) break;
        if (!taken) {
            take_input(arr, in, "compress_best");
            taken = true;
        }
        nb::object rec = c.bits == 1 ? sign_impl(in, c.rank, c.per_row, cache, c.per_column)
                                     : quant_impl(in, c.rank, c.bits, group_size, cache);
        int64_t before = best_bytes;
        consider(rec);
        if (best_bytes < before) break;
    }
    return best;
}

// ---- a packed record viewed for the packed-delta kernel ------------------------------------------

void packed_record(nb::handle compressed, PackedRecord &out) {
    namespace pk = vz::core::packed;
    nb::object method = compressed.attr("method");
    bool sign = method.is(member("SIGN")), q4 = method.is(member("SVD_Q4")), q8 = method.is(member("SVD_Q8"));
    if (!sign && !q4 && !q8)
        bind::raise(PyExc_ValueError, "Expected SIGN, SVD_Q4 or SVD_Q8, got " + bind::text(method));
    Parsed p;
    parse_common(compressed, sign ? "SIGN" : q4 ? "SVD_Q4" : "SVD_Q8", sign ? "sign" : q4 ? "svd_q4" : "svd_q8", p);
    const int64_t m = p.flat.m, n = p.flat.n;
    pk::Delta &d = out.delta;
    d.m = m;
    d.n = n;
    d.rank = p.rank;
    nb::object meta = compressed.attr("metadata");
    nb::tuple cores = as_tuple(compressed.attr("cores"));
    if (nb::len(cores) != 2) bad_record(p.method, "expected 2 cores, got " + std::to_string(nb::len(cores)));
    auto held = [&](nb::handle arr, const char *dtype, std::initializer_list<int64_t> shape, const char *what) {
        Held h;
        hold(arr, dtype, shape, h, p.method, what);
        const void *ptr = h.ptr();
        out.keep.push_back(std::move(h.keep));
        out.bufs.push_back(std::move(h.buf));
        return ptr;
    };
    if (sign) {
        PyObject *scale_kind = PyDict_GetItemString(meta.ptr(), "scale");
        if (scale_kind && PyUnicode_Check(scale_kind) && bind::text(scale_kind) == "row")
            d.per_row = true;
        else if (scale_kind && PyUnicode_Check(scale_kind) && bind::text(scale_kind) == "matrix")
            d.per_row = false;
        else
            bad_record(p.method, "metadata 'scale' must be 'row' or 'matrix'");
        d.kind = pk::Kind::Sign;
        d.bits = 1;
        d.data = static_cast<const uint8_t *>(held(cores[0], "uint8", {m, qk::row_bytes(n, 1)}, "bits"));
        d.scales = static_cast<const float *>(held(cores[1], "float32", {d.per_row ? m : 1}, "scales"));
    } else {
        int64_t bits = meta_int(meta, "bits", p.method, 4, 8);
        if (bits != (q4 ? 4 : 8)) bad_record(p.method, "metadata 'bits' is " + std::to_string(bits));
        d.kind = pk::Kind::Codes;
        d.bits = int(bits);
        d.group = meta_int(meta, "group_size", p.method, 1, std::max<int64_t>(n, 1));
        d.data = static_cast<const uint8_t *>(held(cores[0], "uint8", {m, qk::row_bytes(n, d.bits)}, "codes"));
        d.scales = static_cast<const float *>(held(cores[1], "float32", {m, qk::row_groups(n, d.group)}, "scales"));
    }
    nb::tuple factors = as_tuple(compressed.attr("factors"));
    if (p.rank == 0) {
        if (nb::len(factors) != 0) bad_record(p.method, "rank 0 with stored factors");
        return;
    }
    if (nb::len(factors) != 3)
        bad_record(p.method, "expected 3 factors (U, s, Vt), got " + std::to_string(nb::len(factors)));
    d.u = static_cast<const uint16_t *>(held(factors[0], "float16", {m, p.rank}, "U"));
    d.s = static_cast<const float *>(held(factors[1], "float32", {p.rank}, "s"));
    d.vt = static_cast<const uint16_t *>(held(factors[2], "float16", {p.rank, n}, "Vt"));
}

void register_quant(nb::module_ &m) {
    m.def(
        "sign_compress",
        [](nb::handle tensor, nb::handle rank, nb::handle per_row, nb::handle per_column) {
            int64_t r = bind::arg_int(rank, "rank");
            if (!PyBool_Check(per_row.ptr())) bind::raise_arg_type("per_row", "bool", per_row);
            if (!PyBool_Check(per_column.ptr())) bind::raise_arg_type("per_column", "bool", per_column);
            return sign_compress(tensor, r, per_row.ptr() == Py_True, per_column.ptr() == Py_True);
        },
        "tensor"_a, nb::kw_only(), "rank"_a.none() = 0, "per_row"_a.none() = true, "per_column"_a.none() = false,
        "One bit per element (the sign) times a least-squares scale per row (or one per matrix), after\n"
        "an optional low-rank part of `rank` triplets stored in float16. per_column=True (with per_row)\n"
        "scales element (i, j) by row i's and column j's scales, fitted together to the magnitudes.");
    m.def(
        "svd_quant_compress",
        [](nb::handle tensor, nb::handle rank, nb::handle bits, nb::handle group_size) {
            int64_t r = bind::arg_int(rank, "rank");
            int64_t b = bind::arg_int(bits, "bits");
            int64_t g = bind::arg_int(group_size, "group_size");
            return svd_quant_compress(tensor, r, b, g);
        },
        "tensor"_a, nb::kw_only(), "rank"_a.none() = 8, "bits"_a.none() = 4, "group_size"_a.none() = kDefaultGroupSize,
        "Low rank (`rank` triplets, float16 factors) plus the residual in `bits`-bit symmetric codes\n"
        "with one fitted scale per `group_size` elements of a row.");
    m.def(
        "sign_decompress", [](nb::handle c) { return sign_decompress(c); }, "compressed"_a,
        "Dense array rebuilt from a SIGN record.");
    m.def(
        "svd_quant_decompress", [](nb::handle c) { return svd_quant_decompress(c); }, "compressed"_a,
        "Dense array rebuilt from an SVD_Q4 or SVD_Q8 record.");
    m.def(
        "compress_best",
        [](nb::handle tensor, nb::handle max_error, nb::handle max_rank, nb::handle group_size) {
            double e = bind::arg_float(max_error, "max_error");
            int64_t r = bind::arg_int(max_rank, "max_rank");
            int64_t g = bind::arg_int(group_size, "group_size");
            if (g < 1) bind::raise(PyExc_ValueError, "group_size must be positive, got " + std::to_string(g));
            return compress_best(tensor, e, r, g);
        },
        "tensor"_a, nb::kw_only(), "max_error"_a.none(), "max_rank"_a.none() = 8,
        "group_size"_a.none() = kDefaultGroupSize,
        "The smallest record whose relative Frobenius error is at most `max_error`, among truncated\n"
        "SVD, tensor train (3 or more dimensions), svd_mixed (the tensor's own budget, the smallest\n"
        "predicted within the bound), signs and 4/8-bit codes with low-rank parts of up to\n"
        "`max_rank`; the dense NONE record when none of them is smaller than it.");
}

}  // namespace vz::lowrank
