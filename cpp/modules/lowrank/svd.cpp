// Truncated SVD of the mode-0 flattening: fixed-ratio rank (svd_compress), energy-target rank
// (svd_compress_energy), and reconstruction (svd_decompress).
#include "modules/lowrank/common.hpp"

#include <nanobind/stl/vector.h>  // singular values of the numpy fallback as std::vector<double>

#include <cmath>
#include <type_traits>

namespace vz::lowrank {

namespace {

int64_t ndim_of(nb::handle tensor, const Dense &d, bool fast) {
    return fast ? int64_t(d.shape.size()) : nb::cast<int64_t>(tensor.attr("ndim"));
}

void check_ndim(int64_t ndim) {
    if (ndim < 2) bind::raise(PyExc_ValueError, "SVD requires ndim >= 2, got " + std::to_string(ndim));
}

// Output arrays u (m x r), s (r), vt (r x n) of element type O.
template <typename O>
struct SvdOut {
    nb::object u, s, vt;
    O *pu = nullptr, *ps = nullptr, *pvt = nullptr;
    SvdOut(int64_t m, int64_t n, int64_t r) {
        u = new_array<O>(std::vector<int64_t>{m, r}, pu);
        s = new_array<O>(std::vector<int64_t>{r}, ps);
        vt = new_array<O>(std::vector<int64_t>{r, n}, pvt);
    }
};

// Fixed number of triplets: when all of them are kept, LAPACK writes straight into the outputs.
template <typename T>
SvdOut<T> svd_fixed(const Dense &d, int64_t keep) {
    int64_t m = d.shape[0], n = d.size / m, k = std::min(m, n);
    SvdOut<T> out(m, n, keep);
    native([&] {
        if (keep == k) {
            kern::Buffer<T> work = kern::alloc<T>(size_t(m) * size_t(n));
            kern::convert(d.ptr<T>(), work.get(), size_t(m) * size_t(n));
            kern::svd_inplace<T>(work.get(), m, n, out.ps, out.pu, out.pvt);
            return;
        }
        kern::Svd<T> f = kern::thin_svd<T, T>(d.ptr<T>(), m, n);
        kern::keep_leading<T, T>(f, keep, out.pu, out.ps, out.pvt);
    });
    return out;
}

// The leading `keep` triplets by the randomized solver; false (nothing written) when it declines.
template <typename T>
bool svd_randomized(const Dense &d, int64_t keep, SvdOut<T> &out) {
    int64_t m = d.shape[0], n = d.size / m;
    return native([&] {
        kern::Svd<T> f;
        if (!kern::randomized_svd<T>(d.ptr<T>(), m, n, keep, f)) return false;
        kern::keep_leading<T, T>(f, keep, out.pu, out.ps, out.pvt);
        return true;
    });
}

double clamp_ratio(double ratio) { return ratio < 1.0 ? std::max(ratio, 0.01) : 1.0; }

nb::object svd_record(nb::handle shape, nb::handle dtype, nb::handle u, nb::handle s, nb::handle vt, nb::dict meta) {
    return make_record(member("SVD"), shape, dtype, nb::make_tuple(s), nb::make_tuple(u, vt), meta);
}

// Rank for an energy target from the singular values (computed in float32, summed in float64).
struct EnergyRank {
    double energy;
    int64_t min_rank;
    std::optional<int64_t> max_rank;
    int64_t rank = 0;       // the value recorded in the metadata
    int64_t full_rank = 0;  // number of singular values

    int64_t operator()(const double *s, int64_t k) {
        std::vector<double> sq(static_cast<size_t>(k));
        for (int64_t i = 0; i < k; ++i) sq[size_t(i)] = s[i] * s[i];
        double total = kern::pairwise_sum(sq.data(), k);
        int64_t r;
        if (total <= 1e-30) {
            r = min_rank;
        } else {
            // first position whose cumulative fraction reaches the target (searchsorted, left)
            double acc = 0.0;
            int64_t i = 0;
            for (; i < k; ++i) {
                acc += sq[size_t(i)];
                if (acc / total >= energy) break;
            }
            r = i + 1;
        }
        r = std::max(r, min_rank);
        if (max_rank) r = std::min(r, *max_rank);
        r = std::min(r, k);
        rank = r;
        full_rank = k;
        return slice_len(r, k);
    }
};

// Decomposes in float32 (S: the input type), picks the rank from the spectrum, stores as O. With a
// non-exact solver the basis grows block by block until it holds the target (randomized_svd.hpp);
// when that stops paying, the exact decomposition of the same float32 copy decides.
template <typename S, typename O>
nb::tuple energy_native(const Dense &d, EnergyRank &er, Solver solver, bool &randomized) {
    int64_t m = d.shape[0], n = d.size / m, side = std::min(m, n);
    bool try_randomized = solver != Solver::Exact && er.min_rank >= 1 && (!er.max_rank || *er.max_rank >= 1) &&
                          (solver == Solver::Randomized || side >= kern::kAutoMinSide);
    kern::Svd<float> f;
    int64_t rank = 0;
    randomized = false;
    if (try_randomized) {
        randomized = native([&] {
            kern::Buffer<float> work;
            const float *a = nullptr;
            if constexpr (std::is_same_v<S, float>) {
                a = d.ptr<float>();
            } else {
                work = kern::alloc<float>(size_t(m) * size_t(n));
                kern::convert(d.ptr<S>(), work.get(), size_t(m) * size_t(n));
                a = work.get();
            }
            kern::EnergyRequest req{er.energy, er.min_rank, er.max_rank ? *er.max_rank : -1};
            return kern::randomized_svd_energy<float>(a, m, n, req, f, rank);
        });
    }
    int64_t keep;
    if (randomized) {
        er.rank = rank;
        er.full_rank = side;
        keep = rank;
    } else {
        f = native([&] { return kern::thin_svd<float, S>(d.ptr<S>(), m, n); });
        std::vector<double> sd(f.s.get(), f.s.get() + f.k);
        keep = er(sd.data(), f.k);
    }
    SvdOut<O> out(m, n, keep);
    native([&] { kern::keep_leading<float, O>(f, keep, out.pu, out.ps, out.pvt); });
    return nb::make_tuple(out.u, out.s, out.vt);
}

}  // namespace

nb::object svd_compress(nb::handle tensor, double rank_ratio, int64_t min_rank, Solver solver) {
    Dense d;
    bool fast = dense_view(tensor, d, true);
    check_ndim(ndim_of(tensor, d, fast));
    nb::tuple shape = as_tuple(tensor.attr("shape"));
    double ratio = clamp_ratio(rank_ratio);
    nb::dict meta;
    meta["rank_ratio"] = ratio;
    if (fast && kern::lapack_fits(d.shape[0], d.size / d.shape[0])) {
        int64_t m = d.shape[0], n = d.size / m, k = std::min(m, n);
        int64_t r = std::max(min_rank, py_ceil(double(k) * ratio));
        meta["rank"] = r;
        int64_t keep = slice_len(r, k);
        nb::object u, s, vt;
        bool randomized = false;
        if (kern::use_randomized(solver, m, n, keep)) {
            if (d.kind == 1) {
                SvdOut<float> o(m, n, keep);
                if ((randomized = svd_randomized<float>(d, keep, o))) u = o.u, s = o.s, vt = o.vt;
            } else {
                SvdOut<double> o(m, n, keep);
                if ((randomized = svd_randomized<double>(d, keep, o))) u = o.u, s = o.s, vt = o.vt;
            }
        }
        if (!randomized) {
            if (d.kind == 1) {
                SvdOut<float> o = svd_fixed<float>(d, keep);
                u = o.u, s = o.s, vt = o.vt;
            } else {
                SvdOut<double> o = svd_fixed<double>(d, keep);
                u = o.u, s = o.s, vt = o.vt;
            }
        }
        note_solver(meta, randomized);
        return svd_record(shape, nb::str(d.dtype_name()), u, s, vt, meta);
    }
    // Other element types: numpy's own SVD (integers in float64; unsupported types raise there).
    nb::object np = bind::numpy();
    nb::object mat = tensor.attr("reshape")(shape[0], -1);
    nb::tuple mshape = nb::borrow<nb::tuple>(mat.attr("shape"));
    int64_t k = std::min(nb::cast<int64_t>(mshape[0]), nb::cast<int64_t>(mshape[1]));
    int64_t r = std::max(min_rank, py_ceil(double(k) * ratio));
    meta["rank"] = r;
    nb::tuple usv = nb::borrow<nb::tuple>(np.attr("linalg").attr("svd")(mat, "full_matrices"_a = false));
    nb::object dtype = tensor.attr("dtype");
    nb::object u = astype_nocopy(usv[0][cols_to(r)], dtype);
    nb::object s = astype_nocopy(usv[1][slice_to(r)], dtype);
    nb::object vt = astype_nocopy(usv[2][slice_to(r)], dtype);
    return svd_record(shape, nb::str(dtype), u, s, vt, meta);
}

nb::object svd_compress_energy(nb::handle tensor, double energy, int64_t min_rank, std::optional<int64_t> max_rank,
                               Solver solver) {
    Dense d;
    bool fast = dense_view(tensor, d, false);
    check_ndim(ndim_of(tensor, d, fast));
    nb::tuple shape = as_tuple(tensor.attr("shape"));
    double target = energy < 1.0 ? std::max(energy, 0.0) : 1.0;
    EnergyRank er{target, min_rank, max_rank};
    nb::tuple usv;
    nb::object dtype;
    bool randomized = false;
    if (fast && kern::lapack_fits(d.shape[0], d.size / d.shape[0])) {
        // Decompose in float32, store in the tensor's own type.
        usv = d.kind == 1 ? energy_native<float, float>(d, er, solver, randomized)
                          : energy_native<double, double>(d, er, solver, randomized);
        dtype = nb::str(d.dtype_name());
    } else {
        nb::object np = bind::numpy();
        nb::object mat = np.attr("ascontiguousarray")(tensor.attr("reshape")(shape[0], -1),
                                                      "dtype"_a = np.attr("float32"));
        dtype = tensor.attr("dtype");
        Dense md;
        if (dense_view(mat, md, false) && kern::lapack_fits(md.shape[0], md.size / md.shape[0])) {
            usv = energy_native<float, float>(md, er, solver, randomized);
        } else {
            nb::tuple full = nb::borrow<nb::tuple>(np.attr("linalg").attr("svd")(mat, "full_matrices"_a = false));
            nb::object s64 = np.attr("asarray")(full[1], "dtype"_a = np.attr("float64"));
            std::vector<double> sv = nb::cast<std::vector<double>>(s64.attr("tolist")());
            int64_t keep = er(sv.data(), int64_t(sv.size()));
            usv = nb::make_tuple(full[0][cols_to(keep)], full[1][slice_to(keep)], full[2][slice_to(keep)]);
        }
        usv = nb::make_tuple(astype_nocopy(usv[0], dtype), astype_nocopy(usv[1], dtype), astype_nocopy(usv[2], dtype));
        dtype = nb::str(dtype);
    }
    nb::dict meta;
    meta["energy"] = target;
    meta["rank"] = er.rank;
    meta["full_rank"] = er.full_rank;
    note_solver(meta, randomized);
    return svd_record(shape, dtype, usv[0], usv[1], usv[2], meta);
}

namespace {
template <typename T>
nb::object svd_reconstruct_native(const Dense &u, const Dense &s, const Dense &vt, nb::handle shape) {
    int64_t m = u.shape[0], r = u.shape[1], n = vt.shape[1];
    T *o = nullptr;
    // Allocate with the record's extents directly when they hold m * n elements; otherwise as a
    // matrix, so that the reshape reports numpy's error.
    nb::object out = plain_size(shape) == m * n ? new_array<T>(shape, o) : new_array<T>(std::vector<int64_t>{m, n}, o);
    native([&] {
        // One pass that writes each element once (BLAS above the fused rank).
        fused::Factored<T> f = fused::factor_svd<T>(u.ptr<T>(), s.ptr<T>(), vt.ptr<T>(), m, n, r);
        fused::product_add<T>(f.product, fused::Src{}, fused::Dst{o, fused_kind<T>(), n});
    });
    return out;
}

// reshape to the record's shape, then cast to its element type (no copy when already of it).
nb::object finish(nb::handle arr, nb::handle compressed, const char *native_dtype) {
    nb::object shape = compressed.attr("shape");
    nb::object out = nb::borrow(arr);
    if (!arr.attr("shape").equal(shape) || !PyTuple_CheckExact(shape.ptr())) out = arr.attr("reshape")(shape);
    nb::object dtype = compressed.attr("dtype");
    if (native_dtype && PyUnicode_CheckExact(dtype.ptr()) && bind::text(dtype) == native_dtype) return out;
    return astype_nocopy(out, dtype);
}
}  // namespace

nb::object svd_decompress(nb::handle compressed) {
    nb::object method = compressed.attr("method");
    if (!method.is(member("SVD"))) bind::raise(PyExc_ValueError, "Expected SVD, got " + bind::text(method));
    nb::list factors = as_list(compressed.attr("factors"));
    size_t nf = nb::len(factors);
    if (nf > 2) bind::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (nf < 2)
        bind::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(nf) + ")");
    nb::object u = factors[0], vt = factors[1];
    nb::object s = compressed.attr("cores")[0];
    {
        Dense du, ds, dvt;
        if (dense_view(u, du, false) && dense_view(s, ds, false) && dense_view(vt, dvt, false) && du.kind == ds.kind &&
            du.kind == dvt.kind && du.shape.size() == 2 && ds.shape.size() == 1 && dvt.shape.size() == 2 &&
            du.shape[1] == ds.shape[0] && dvt.shape[0] == ds.shape[0] && kern::lapack_fits(du.shape[0], dvt.shape[1]) &&
            kern::lapack_fits(du.shape[0], du.shape[1]) && kern::lapack_fits(dvt.shape[0], dvt.shape[1])) {
            nb::object shape = compressed.attr("shape");
            nb::object out = du.kind == 1 ? svd_reconstruct_native<float>(du, ds, dvt, shape)
                                          : svd_reconstruct_native<double>(du, ds, dvt, shape);
            return finish(out, compressed, du.dtype_name());
        }
    }
    nb::object us = bind::steal_or_raise(PyNumber_Multiply(u.ptr(), s.ptr()));
    nb::object prod = bind::steal_or_raise(PyNumber_MatrixMultiply(us.ptr(), vt.ptr()));
    return finish(prod, compressed, nullptr);
}

void register_svd(nb::module_ &m) {
    m.def(
        "svd_compress",
        [](nb::handle tensor, nb::handle rank_ratio, nb::handle min_rank, nb::handle solver) {
            double ratio = bind::arg_float(rank_ratio, "rank_ratio");
            int64_t mr = bind::arg_int(min_rank, "min_rank");
            return svd_compress(tensor, ratio, mr, arg_solver(solver));
        },
        "tensor"_a, "rank_ratio"_a.none() = 0.5, "min_rank"_a.none() = 1, nb::kw_only(), "solver"_a.none() = "exact",
        "Truncated SVD of the mode-0 flattening keeping ceil(min(m, n) * rank_ratio) triplets (at least "
        "min_rank).\n\n" SOLVER_DOC);
    m.def(
        "svd_compress_energy",
        [](nb::handle tensor, nb::handle energy, nb::handle min_rank, nb::handle max_rank, nb::handle solver) {
            double e = bind::arg_float(energy, "energy");
            int64_t lo = bind::arg_int(min_rank, "min_rank");
            std::optional<int64_t> hi;
            if (!max_rank.is_none()) hi = bind::arg_int(max_rank, "max_rank");
            return svd_compress_energy(tensor, e, lo, hi, arg_solver(solver));
        },
        "tensor"_a, "energy"_a.none() = 0.99, "min_rank"_a.none() = 1, "max_rank"_a.none() = nb::none(), nb::kw_only(),
        "solver"_a.none() = "exact",
        "Truncated SVD keeping the smallest rank whose singular values hold `energy` of the squared mass.\n\n"
        "With solver 'randomized' or 'auto' (the latter from a smaller side of 128 on) a randomized basis grows "
        "block by block (16 + 10 start vectors, then doubling) until its leading singular values hold `energy` "
        "of the exact squared Frobenius norm; the record then reaches the target at the rank it states (the "
        "exact rank where the spectrum has a clear gap, at most a little more otherwise). Once the basis would "
        "pass half of min(m, n) the exact SVD decides instead. " SOLVER_DOC_SHORT);
    m.def(
        "svd_decompress", [](nb::handle compressed) { return svd_decompress(compressed); }, "compressed"_a,
        "Dense array rebuilt from an SVD record.");
}

}  // namespace vz::lowrank
