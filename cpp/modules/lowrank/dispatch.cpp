// compress / decompress by method, method advice from a shape, and the round-trip report.
#include "modules/lowrank/common.hpp"

#include <chrono>

namespace vz::lowrank {

nb::object compress(nb::handle tensor, nb::handle method, double rank_ratio, int64_t max_rank, Solver solver,
                    double bits) {
    nb::object m;
    if (PyUnicode_Check(method.ptr()))
        m = method_cls()(method);  // a member passes through; unknown text fails in the lookup
    else
        bind::raise(PyExc_ValueError, "Unknown compression method: " + bind::text(method));
    if (m.is(member("TUCKER"))) return tucker_compress(tensor, rank_ratio, 1, solver);
    if (m.is(member("TENSOR_TRAIN"))) return tt_compress(tensor, max_rank, solver);
    if (m.is(member("SVD"))) return svd_compress(tensor, rank_ratio, 1, solver);
    // Few-bit methods: max_rank is the rank of their low-rank part (0: none).
    if (m.is(member("SIGN"))) return sign_compress(tensor, max_rank, true);
    if (m.is(member("SVD_Q4"))) return svd_quant_compress(tensor, max_rank, 4, kDefaultGroupSize);
    if (m.is(member("SVD_Q8"))) return svd_quant_compress(tensor, max_rank, 8, kDefaultGroupSize);
    // The tensor's own budget of `bits` bits a weight (the model library shares one over a fine-tune).
    if (m.is(member("SVD_MIXED"))) return svd_mixed_compress(tensor, bits, nb::none(), false, solver);
    if (m.is(member("NONE"))) {
        nb::tuple shape = as_tuple(tensor.attr("shape"));
        // str(tensor.dtype): the record holds the element type as text, e.g. "float32".
        nb::str dtype = as_str(tensor.attr("dtype"));
        nb::object copy = tensor.attr("copy")();
        return make_record(m, shape, dtype, nb::make_tuple(copy), nb::tuple(), nb::dict());
    }
    bind::raise(PyExc_ValueError, "Unknown compression method: " + bind::text(method));
}

nb::object decompress(nb::handle compressed) {
    nb::object m = compressed.attr("method");
    if (m.is(member("TUCKER"))) return tucker_decompress(compressed);
    if (m.is(member("TENSOR_TRAIN"))) return tt_decompress(compressed);
    if (m.is(member("SVD"))) return svd_decompress(compressed);
    if (m.is(member("NONE"))) return compressed.attr("cores")[0].attr("copy")();
    if (m.is(member("SIGN"))) return sign_decompress(compressed);
    if (m.is(member("SVD_Q4")) || m.is(member("SVD_Q8"))) return svd_quant_decompress(compressed);
    if (m.is(member("SVD_MIXED"))) return svd_mixed_decompress(compressed);
    bind::raise(PyExc_ValueError, "Unknown compression method: " + bind::text(m));
}

namespace {

nb::object suggest_method(nb::handle tensor_shape) {
    nb::tuple shape = bind::arg_tuple(tensor_shape, "tensor_shape");
    size_t n = nb::len(shape);
    if (n == 2) return member("SVD");
    if (n == 3) return member("TUCKER");
    nb::list dims = nb::borrow<nb::list>(bind::import("builtins").attr("sorted")(shape, "reverse"_a = true));
    if (nb::len(dims) == 0) bind::raise(PyExc_IndexError, "list index out of range");
    nb::object largest = dims[0], smallest = dims[nb::len(dims) - 1];
    nb::object four_small = bind::steal_or_raise(PyNumber_Multiply(nb::int_(4).ptr(), smallest.ptr()));
    return largest > four_small ? member("TUCKER") : member("TENSOR_TRAIN");
}

nb::object roundtrip_report(nb::handle tensor, nb::handle method, double rank_ratio, int64_t max_rank) {
    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    nb::object rec = compress(tensor, method, rank_ratio, max_rank);
    auto t1 = clock::now();
    nb::object rebuilt = decompress(rec);
    auto t2 = clock::now();
    double rfe = relative_frobenius_error(tensor, rebuilt);
    double quality = 1.0 - rfe;
    if (quality > 1.0) quality = 1.0;
    if (quality < 0.0) quality = 0.0;
    double c_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    double d_ms = std::chrono::duration<double, std::milli>(t2 - t1).count();
    return report_cls()(rec.attr("method"), rec.attr("shape"), rec.attr("original_size_bytes"),
                        rec.attr("compressed_size_bytes"), rec.attr("compression_ratio"), rfe, quality, c_ms, d_ms);
}

}  // namespace

void register_dispatch(nb::module_ &m) {
    m.def(
        "compress",
        [](nb::handle tensor, nb::handle method, nb::handle rank_ratio, nb::handle max_rank, nb::handle solver,
           nb::handle bits) {
            double ratio = bind::arg_float(rank_ratio, "rank_ratio");
            int64_t cap = bind::arg_int(max_rank, "max_rank");
            double b = bind::arg_float(bits, "bits");
            return compress(tensor, method, ratio, cap, arg_solver(solver), b);
        },
        "tensor"_a, "method"_a.none(), nb::kw_only(), "rank_ratio"_a.none() = 0.5, "max_rank"_a.none() = 8,
        "solver"_a.none() = "exact", "bits"_a.none() = kDefaultMixedBits,
        "Compress `tensor` by `method` (a CompressionMethod or its value text).\n\n"
        "`bits` is SVD_MIXED's budget, bits a weight over this tensor alone (other methods ignore it). "
        "`solver` is passed to the SVD, Tucker, tensor-train and SVD_MIXED compressors (NONE ignores it). " SOLVER_DOC);
    m.def(
        "decompress", [](nb::handle compressed) { return decompress(compressed); }, "compressed"_a,
        "Dense array rebuilt from any CompressedTensor.");
    m.def(
        "suggest_method", [](nb::handle tensor_shape) { return suggest_method(tensor_shape); }, "tensor_shape"_a,
        "Advised method for a tensor of this shape (the shape only, never the values).");
    m.def(
        "roundtrip_report",
        [](nb::handle tensor, nb::handle method, nb::handle rank_ratio, nb::handle max_rank) {
            double ratio = bind::arg_float(rank_ratio, "rank_ratio");
            int64_t cap = bind::arg_int(max_rank, "max_rank");
            return roundtrip_report(tensor, method, ratio, cap);
        },
        "tensor"_a, "method"_a.none(), nb::kw_only(), "rank_ratio"_a.none() = 0.5, "max_rank"_a.none() = 8,
        "Compress, decompress and measure one tensor.");
}

}  // namespace vz::lowrank
