// Tensor-train decomposition by sequential truncated SVD (TT-SVD, float64) and its reconstruction.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

namespace {

template <typename S, typename O>
nb::list tt_native(const Dense &d, const std::vector<int64_t> &dims, int64_t cap, std::vector<int64_t> &ranks,
                   Solver solver, bool &randomized) {
    ranks = kern::tt_ranks(dims, cap);
    nb::list cores;
    std::vector<O *> ptrs;
    for (size_t k = 0; k < dims.size(); ++k) {
        O *p = nullptr;
        cores.append(new_array<O>(std::vector<int64_t>{ranks[k], dims[k], ranks[k + 1]}, p));
        ptrs.push_back(p);
    }
    randomized = native([&] { return kern::tt_svd<S, O>(d.ptr<S>(), dims, ranks, ptrs, solver); });
    return cores;
}

bool steps_fit(const std::vector<int64_t> &dims, int64_t total, int64_t cap) {
    // The first step is the largest matrix; later ones have at most cap * n_k rows.
    for (size_t k = 0; k + 1 < dims.size(); ++k) {
        int64_t rows = (k == 0 ? 1 : std::min<int64_t>(cap, total)) * dims[k];
        if (!kern::lapack_fits(rows, total / dims[k])) return false;
    }
    return true;
}

// The same sweep through numpy (arrays without elements, or too large for 32-bit LAPACK).
nb::list tt_numpy(nb::object c, nb::handle shape, const std::vector<int64_t> &dims, int64_t cap, nb::handle dtype,
                  std::vector<int64_t> &ranks) {
    nb::object np = bind::numpy();
    nb::object svd = np.attr("linalg").attr("svd");
    nb::list cores;
    int64_t r_prev = 1;
    ranks.assign(1, 1);
    for (size_t k = 0; k + 1 < dims.size(); ++k) {
        c = c.attr("reshape")(r_prev * dims[k], -1);
        nb::object usv = svd(c, "full_matrices"_a = false);
        nb::object u = bind::get_item(usv, nb::int_(0)), s = bind::get_item(usv, nb::int_(1)),
                   vt = bind::get_item(usv, nb::int_(2));
        int64_t r = std::min(cap, nb::cast<int64_t>(bind::get_item(u.attr("shape"), nb::int_(1))));
        u = u[cols_to(r)];
        s = s[slice_to(r)];
        vt = vt[slice_to(r)];
        cores.append(astype_nocopy(u.attr("reshape")(r_prev, bind::get_item(shape, nb::int_(k)), r), dtype));
        nb::object diag = np.attr("diag")(s);
        c = bind::steal_or_raise(PyNumber_MatrixMultiply(diag.ptr(), vt.ptr()));
        r_prev = r;
        ranks.push_back(r);
    }
    cores.append(astype_nocopy(c.attr("reshape")(r_prev, bind::get_item(shape, nb::int_(-1)), 1), dtype));
    ranks.push_back(1);
    return cores;
}

}  // namespace

nb::object tt_compress(nb::handle tensor, int64_t max_rank, Solver solver) {
    Dense d;
    bool fast = dense_view(tensor, d, true);
    int64_t ndim = fast ? int64_t(d.shape.size()) : nb::cast<int64_t>(tensor.attr("ndim"));
    if (ndim < 2) bind::raise(PyExc_ValueError, "TT requires ndim >= 2, got " + std::to_string(ndim));
    int64_t cap = std::max<int64_t>(1, max_rank);
    nb::tuple shape = as_tuple(tensor.attr("shape"));
    std::vector<int64_t> dims;
    for (nb::handle e : shape) dims.push_back(nb::cast<int64_t>(e));

    nb::list cores;
    std::vector<int64_t> ranks;
    nb::object dtype;
    bool randomized = false;
    if (fast && steps_fit(dims, d.size, cap)) {
        cores = d.kind == 1 ? tt_native<float, float>(d, dims, cap, ranks, solver, randomized)
                            : tt_native<double, double>(d, dims, cap, ranks, solver, randomized);
        dtype = nb::str(d.dtype_name());
    } else {
        // Other element types: numpy converts to float64 (and reports what it cannot convert).
        nb::object np = bind::numpy();
        nb::object tdtype = tensor.attr("dtype");
        nb::object c = astype_nocopy(tensor, np.attr("float64")).attr("reshape")(shape[0], -1);
        Dense cd;
        if (dense_view(c, cd, true) && steps_fit(dims, cd.size, cap)) {
            nb::list raw = tt_native<double, double>(cd, dims, cap, ranks, solver, randomized);
            for (nb::handle core : raw) cores.append(astype_nocopy(core, tdtype));
        } else {
            cores = tt_numpy(c, shape, dims, cap, tdtype, ranks);
        }
        dtype = nb::str(tdtype);
    }
    nb::list bonds;
    for (size_t k = 1; k + 1 < ranks.size(); ++k) bonds.append(ranks[k]);
    nb::dict meta;
    meta["max_rank"] = cap;
    meta["ranks"] = nb::tuple(bonds);
    note_solver(meta, randomized);
    return make_record(member("TENSOR_TRAIN"), shape, dtype, nb::tuple(cores), nb::tuple(), meta);
}

namespace {
template <typename T>
nb::object tt_reconstruct_native(const std::vector<std::unique_ptr<Dense>> &cs, nb::handle shape) {
    std::vector<const T *> ptrs;
    std::vector<int64_t> r0, n, r1;
    for (auto &c : cs) {
        ptrs.push_back(c->ptr<T>());
        r0.push_back(c->shape[0]);
        n.push_back(c->shape[1]);
        r1.push_back(c->shape[2]);
    }
    int64_t total = r0[0] * r1.back();
    for (int64_t e : n) total *= e;
    T *o = nullptr;
    // The record's extents directly when they hold that many elements; otherwise flat, so that
    // the reshape reports numpy's error.
    nb::object out = plain_size(shape) == total ? new_array<T>(shape, o) : new_array<T>(std::vector<int64_t>{total}, o);
    native([&] {
        // The chain split at its cheapest bond: one pass that writes each element once.
        fused::Factored<T> f = fused::factor_tt<T>(ptrs.data(), r0.data(), n.data(), r1.data(), ptrs.size());
        if (f.ok)
            fused::product_add<T>(f.product, fused::Src{}, fused::Dst{o, fused_kind<T>(), f.product.n});
        else
            kern::tt_reconstruct<T>(ptrs, r0, n, r1, o);
    });
    return out;
}
}  // namespace

nb::object tt_decompress(nb::handle compressed) {
    nb::object method = compressed.attr("method");
    if (!method.is(member("TENSOR_TRAIN")))
        bind::raise(PyExc_ValueError, "Expected TENSOR_TRAIN, got " + bind::text(method));
    nb::object cores_obj = compressed.attr("cores");
    nb::object result = cores_obj[0];
    nb::list cores = as_list(cores_obj);
    nb::object dtype = compressed.attr("dtype");
    {
        std::vector<std::unique_ptr<Dense>> cs;
        bool ok = nb::len(cores) > 1;
        int64_t rows = 1;
        for (size_t k = 0; ok && k < nb::len(cores); ++k) {
            cs.push_back(std::make_unique<Dense>());
            Dense &c = *cs.back();
            ok = dense_view(cores[k], c, false) && c.shape.size() == 3 && c.kind == cs[0]->kind &&
                 (k == 0 || c.shape[0] == cs[k - 1]->shape[2]);
            if (ok) {
                rows *= (k == 0 ? c.shape[0] : 1) * c.shape[1];
                ok = kern::lapack_fits(rows, c.shape[2]) && kern::lapack_fits(c.shape[0], c.shape[1] * c.shape[2]);
            }
        }
        if (ok) {
            nb::object shape = compressed.attr("shape");
            nb::object res = cs[0]->kind == 1 ? tt_reconstruct_native<float>(cs, shape)
                                              : tt_reconstruct_native<double>(cs, shape);
            if (plain_size(shape) < 0 || !res.attr("shape").equal(shape)) res = res.attr("reshape")(shape);
            if (PyUnicode_CheckExact(dtype.ptr()) && bind::text(dtype) == cs[0]->dtype_name()) return res;
            return astype_nocopy(res, dtype);
        }
    }
    for (size_t k = 1; k < nb::len(cores); ++k) {
        nb::handle g = cores[k];
        nb::tuple rshape = nb::borrow<nb::tuple>(result.attr("shape"));
        nb::tuple gshape = nb::borrow<nb::tuple>(g.attr("shape"));
        nb::object left = result.attr("reshape")(-1, rshape[nb::len(rshape) - 1]);
        nb::object right = g.attr("reshape")(gshape[0], -1);
        nb::object merged = bind::steal_or_raise(PyNumber_MatrixMultiply(left.ptr(), right.ptr()));
        nb::list ext;
        for (size_t i = 0; i + 1 < nb::len(rshape); ++i) ext.append(rshape[i]);
        ext.append(gshape[1]);
        ext.append(gshape[2]);
        result = merged.attr("reshape")(nb::tuple(ext));
    }
    return astype_nocopy(result.attr("reshape")(compressed.attr("shape")), dtype);
}

void register_tt(nb::module_ &m) {
    m.def(
        "tt_compress",
        [](nb::handle tensor, nb::handle max_rank, nb::handle solver) {
            int64_t cap = bind::arg_int(max_rank, "max_rank");
            return tt_compress(tensor, cap, arg_solver(solver));
        },
        "tensor"_a, "max_rank"_a.none() = 8, nb::kw_only(), "solver"_a.none() = "exact",
        "Tensor-train decomposition (TT-SVD in float64) with bond ranks capped at max_rank.\n\n"
        "The solver is chosen per sweep step, on that step's matrix and bond rank. " SOLVER_DOC);
    m.def(
        "tt_decompress", [](nb::handle compressed) { return tt_decompress(compressed); }, "compressed"_a,
        "Dense array rebuilt from a tensor-train record.");
}

}  // namespace vz::lowrank
