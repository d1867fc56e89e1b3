// Tucker decomposition by higher-order SVD and its reconstruction.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

namespace {

template <typename T>
nb::tuple hosvd_native(const Dense &d, const std::vector<int64_t> &targets, Solver solver, bool &randomized) {
    std::vector<int64_t> ranks;
    nb::list factors;
    std::vector<T *> fptr;
    for (size_t k = 0; k < d.shape.size(); ++k) {
        int64_t n = d.shape[k];
        ranks.push_back(std::min(targets[k], std::min(n, d.size / n)));
        T *p = nullptr;
        factors.append(new_array<T>(std::vector<int64_t>{n, ranks.back()}, p));
        fptr.push_back(p);
    }
    T *pc = nullptr;
    nb::object core = new_array<T>(ranks, pc);
    randomized = native([&] { return kern::tucker_hosvd<T>(d.ptr<T>(), d.shape, ranks, fptr, pc, solver); });
    return nb::make_tuple(core, nb::tuple(factors));
}

bool unfoldings_fit(const Dense &d) {
    for (int64_t e : d.shape)
        if (!kern::lapack_fits(e, d.size / e)) return false;
    return true;
}

}  // namespace

nb::object tucker_compress(nb::handle tensor, double rank_ratio, int64_t min_rank, Solver solver) {
    Dense d;
    bool fast = dense_view(tensor, d, true);
    int64_t ndim = fast ? int64_t(d.shape.size()) : nb::cast<int64_t>(tensor.attr("ndim"));
    if (ndim < 2) bind::raise(PyExc_ValueError, "Tucker requires ndim >= 2, got " + std::to_string(ndim));
    double ratio = rank_ratio < 1.0 ? std::max(rank_ratio, 0.01) : 1.0;
    nb::tuple shape = as_tuple(tensor.attr("shape"));
    std::vector<int64_t> targets;
    for (nb::handle e : shape) targets.push_back(std::max(min_rank, py_ceil(double(nb::cast<int64_t>(e)) * ratio)));

    nb::object core;
    nb::tuple factors;
    nb::object dtype;
    bool randomized = false;
    if (fast && unfoldings_fit(d)) {
        nb::tuple cf = d.kind == 1 ? hosvd_native<float>(d, targets, solver, randomized)
                                   : hosvd_native<double>(d, targets, solver, randomized);
        core = cf[0];
        factors = nb::borrow<nb::tuple>(cf[1]);
        dtype = nb::str(d.dtype_name());
    } else {
        // numpy's SVD for other element types (integers in float64; unsupported types raise there).
        nb::object np = bind::numpy();
        nb::object svd = np.attr("linalg").attr("svd");
        nb::object tdtype = tensor.attr("dtype");
        nb::list fl;
        for (size_t k = 0; k < targets.size(); ++k) {
            nb::object unf = unfold(tensor, int64_t(k));
            nb::object u = nb::borrow<nb::tuple>(svd(unf, "full_matrices"_a = false))[0];
            int64_t cols = nb::cast<int64_t>(u.attr("shape")[1]);
            int64_t r = std::min(targets[k], cols);
            fl.append(astype_nocopy(u[cols_to(r)], tdtype));
        }
        nb::object c = tensor.attr("copy")();
        for (size_t k = 0; k < targets.size(); ++k) c = mode_dot(c, fl[k].attr("T"), int64_t(k));
        core = c;
        factors = nb::tuple(fl);
        dtype = nb::str(tdtype);
    }
    nb::list ranks;
    for (nb::handle f : factors) ranks.append(f.attr("shape")[1]);
    nb::dict meta;
    meta["rank_ratio"] = ratio;
    meta["ranks"] = nb::tuple(ranks);
    note_solver(meta, randomized);
    return make_record(member("TUCKER"), shape, dtype, nb::make_tuple(core), factors, meta);
}

namespace {
template <typename T>
nb::object tucker_reconstruct_native(const Dense &core, const std::vector<std::unique_ptr<Dense>> &fs) {
    std::vector<const T *> ptrs;
    std::vector<int64_t> rows, out_dims = core.shape;
    for (size_t k = 0; k < fs.size(); ++k) {
        ptrs.push_back(fs[k]->ptr<T>());
        rows.push_back(fs[k]->shape[0]);
        out_dims[k] = fs[k]->shape[0];
    }
    T *o = nullptr;
    nb::object out = new_array<T>(out_dims, o);
    native([&] {
        if (fs.size() == core.shape.size()) {
            // Every mode expanded: the last step as one fused product that writes each element once.
            fused::Factored<T> f = fused::factor_tucker<T>(core.ptr<T>(), core.shape.data(), ptrs.data(), rows.data(),
                                                           fs.size());
            if (f.ok) {
                fused::product_add<T>(f.product, fused::Src{}, fused::Dst{o, fused_kind<T>(), f.product.n});
                return;
            }
        }
        kern::tucker_reconstruct<T>(core.ptr<T>(), core.shape, ptrs, rows, o);
    });
    return out;
}
}  // namespace

nb::object tucker_decompress(nb::handle compressed) {
    nb::object method = compressed.attr("method");
    if (!method.is(member("TUCKER"))) bind::raise(PyExc_ValueError, "Expected TUCKER, got " + bind::text(method));
    nb::object out = compressed.attr("cores")[0];
    nb::list factors = as_list(compressed.attr("factors"));
    nb::object dtype = compressed.attr("dtype");
    {
        Dense core;
        std::vector<std::unique_ptr<Dense>> fs;
        bool ok = nb::len(factors) > 0 && dense_view(out, core, false) && nb::len(factors) <= core.shape.size();
        std::vector<int64_t> cur = ok ? core.shape : std::vector<int64_t>();
        for (size_t k = 0; ok && k < nb::len(factors); ++k) {
            fs.push_back(std::make_unique<Dense>());
            Dense &f = *fs.back();
            ok = dense_view(factors[k], f, false) && f.kind == core.kind && f.shape.size() == 2 && f.shape[1] == cur[k];
            if (ok) {
                cur[k] = f.shape[0];
                int64_t total = 1;
                for (int64_t e : cur) total *= e;
                ok = kern::lapack_fits(f.shape[0], total / f.shape[0]) && kern::lapack_fits(f.shape[0], f.shape[1]);
            }
        }
        if (ok) {
            nb::object res = core.kind == 1 ? tucker_reconstruct_native<float>(core, fs)
                                            : tucker_reconstruct_native<double>(core, fs);
            if (PyUnicode_CheckExact(dtype.ptr()) && bind::text(dtype) == core.dtype_name()) return res;
            return astype_nocopy(res, dtype);
        }
    }
    for (size_t k = 0; k < nb::len(factors); ++k) out = mode_dot(out, factors[k], int64_t(k));
    return astype_nocopy(out, dtype);
}

void register_tucker(nb::module_ &m) {
    m.def(
        "tucker_compress",
        [](nb::handle tensor, nb::handle rank_ratio, nb::handle min_rank, nb::handle solver) {
            double ratio = bind::arg_float(rank_ratio, "rank_ratio");
            int64_t mr = bind::arg_int(min_rank, "min_rank");
            return tucker_compress(tensor, ratio, mr, arg_solver(solver));
        },
        "tensor"_a, "rank_ratio"_a.none() = 0.5, "min_rank"_a.none() = 1, nb::kw_only(), "solver"_a.none() = "exact",
        "Tucker decomposition by higher-order SVD: a core plus one factor matrix per mode.\n\n"
        "Each mode's leading left singular vectors come from its unfolding (m = n_k rows). " SOLVER_DOC);
    m.def(
        "tucker_decompress", [](nb::handle compressed) { return tucker_decompress(compressed); }, "compressed"_a,
        "Dense array rebuilt from a Tucker record.");
}

}  // namespace vz::lowrank
