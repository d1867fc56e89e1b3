// Merging the outputs of several atoms: concatenation and weighted (federated) mean, optionally
// compressed again.
#include "modules/lowrank/common.hpp"

namespace vz::lowrank {

namespace {

nb::object recompress(nb::object merged, nb::handle method, double rank_ratio, int64_t max_rank) {
    if (method.is_none()) return merged;
    if (method.equal(member("NONE"))) return merged;
    return compress(merged, method, rank_ratio, max_rank);
}

nb::object compressed_concat(nb::handle atoms, int64_t axis, nb::handle method, double rank_ratio, int64_t max_rank) {
    nb::list items = as_list(atoms);
    if (nb::len(items) == 0) bind::raise(PyExc_ValueError, "compressed_concat requires at least one atom");
    nb::list dense;
    for (nb::handle a : items) dense.append(decompress(a));
    nb::object merged = bind::numpy().attr("concatenate")(dense, "axis"_a = axis);
    return recompress(merged, method, rank_ratio, max_rank);
}

nb::object compressed_weighted_mean(nb::handle atoms, nb::handle weights, nb::handle method, double rank_ratio,
                                    int64_t max_rank) {
    nb::list items = as_list(atoms);
    size_t n = nb::len(items);
    if (n == 0) bind::raise(PyExc_ValueError, "compressed_weighted_mean requires at least one atom");
    nb::list w;
    if (weights.is_none()) {
        for (size_t i = 0; i < n; ++i) w.append(nb::float_(1.0 / double(n)));
    } else {
        w = as_list(weights);
    }
    if (nb::len(w) != n)
        bind::raise(PyExc_ValueError,
                    "len(weights)=" + std::to_string(nb::len(w)) + " != len(atoms)=" + std::to_string(n));
    nb::object total = nb::int_(0);
    for (nb::handle x : w) total = bind::steal_or_raise(PyNumber_Add(total.ptr(), x.ptr()));
    if (total <= nb::int_(0)) bind::raise(PyExc_ValueError, "Sum of weights must be > 0");
    nb::list norm;
    for (nb::handle x : w) norm.append(bind::steal_or_raise(PyNumber_TrueDivide(x.ptr(), total.ptr())));
    nb::list dense;
    for (nb::handle a : items) dense.append(decompress(a));
    nb::object first = dense[0];
    nb::object shape = first.attr("shape");
    nb::object out = bind::numpy().attr("zeros")(shape, "dtype"_a = first.attr("dtype"));
    for (size_t i = 0; i < n; ++i) {
        nb::object d = dense[i];
        nb::object dshape = d.attr("shape");
        if (!dshape.equal(shape))
            bind::raise(PyExc_ValueError, "Atom shape mismatch: " + bind::text(dshape) + " vs " + bind::text(shape));
        nb::object prod = bind::steal_or_raise(PyNumber_Multiply(d.ptr(), norm[i].ptr()));
        out = bind::steal_or_raise(PyNumber_InPlaceAdd(out.ptr(), prod.ptr()));
    }
    return recompress(out, method, rank_ratio, max_rank);
}

}  // namespace

void register_merge(nb::module_ &m) {
    m.def(
        "compressed_concat",
        [](nb::handle atoms, nb::handle axis, nb::handle method, nb::handle ratio, nb::handle cap) {
            int64_t ax = bind::arg_int(axis, "axis");
            double rr = bind::arg_float(ratio, "recompress_rank_ratio");
            int64_t mr = bind::arg_int(cap, "recompress_max_rank");
            return compressed_concat(atoms, ax, method, rr, mr);
        },
        "atoms"_a, nb::kw_only(), "axis"_a.none() = 0, "recompress_method"_a.none() = nb::none(),
        "recompress_rank_ratio"_a.none() = 0.5, "recompress_max_rank"_a.none() = 8,
        "Decompress every atom and join them along `axis`; optionally compress the result again.");
    m.def(
        "compressed_weighted_mean",
        [](nb::handle atoms, nb::handle weights, nb::handle method, nb::handle ratio, nb::handle cap) {
            double rr = bind::arg_float(ratio, "recompress_rank_ratio");
            int64_t mr = bind::arg_int(cap, "recompress_max_rank");
            return compressed_weighted_mean(atoms, weights, method, rr, mr);
        },
        "atoms"_a, "weights"_a.none() = nb::none(), nb::kw_only(), "recompress_method"_a.none() = nb::none(),
        "recompress_rank_ratio"_a.none() = 0.5, "recompress_max_rank"_a.none() = 8,
        "Weighted average of the decompressed atoms (weights normalised to sum 1); optionally compressed again.");
}

}  // namespace vz::lowrank
