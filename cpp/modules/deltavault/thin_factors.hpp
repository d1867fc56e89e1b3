// A stored delta record seen as a product of two thin factors, delta = b (m x k) @ a (k x n) in
// float32, for the records that are one (SVD, 2-D tensor train, 2-D Tucker, svd_mixed): what the LoRA
// export writes and what the server applies per row without building the dense delta.
//   SVD          U diag(s) Vt         B = U * sqrt(s),  A = sqrt(s) * Vt (balanced magnitudes)
//   tensor train G1 (1, m, r) G2 (r, n, 1)   B = G1[0],  A = G2[..., 0]
//   Tucker (2-D) U0 core U1^T         B = U0 core,  A = U1^T
//   svd_mixed    Â B̂^T (dequantized)  B = Â,  A = B̂^T
// Header-only, so that every module that needs it (deltavault, serve) shares one definition.
#pragma once

#include "bind/bind.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace vz::factors {
using namespace nb::literals;

inline std::string method_text(nb::handle method) {
    return nb::hasattr(method, "value") ? bind::text(method.attr("value")) : bind::text(method);
}

inline std::vector<int64_t> shape_of(nb::handle arr) {
    std::vector<int64_t> out;
    for (nb::handle d : nb::borrow<nb::tuple>(arr.attr("shape"))) out.push_back(nb::cast<int64_t>(d));
    return out;
}

inline bool shape_is(nb::handle arr, std::initializer_list<int64_t> want) {
    nb::module_ np = bind::numpy();
    if (!nb::isinstance(arr, np.attr("ndarray"))) return false;
    std::vector<int64_t> got = shape_of(arr);
    return got == std::vector<int64_t>(want);
}

// The record as a product of thin factors, or false (with the reason) when it is not one.
inline bool thin_factors(nb::handle rec, int64_t m, int64_t n, nb::object &b, nb::object &a, std::string &why) {
    nb::module_ np = bind::numpy();
    nb::object f32 = np.attr("float32");
    std::string method = method_text(rec.attr("method"));
    nb::tuple cores = nb::borrow<nb::tuple>(nb::tuple(rec.attr("cores")));
    nb::tuple factors = nb::borrow<nb::tuple>(nb::tuple(rec.attr("factors")));
    auto as32 = [&](nb::handle x) { return np.attr("asarray")(x, "dtype"_a = f32); };
    if (method == "svd" && nb::len(cores) == 1 && nb::len(factors) == 2) {
        nb::object s = as32(cores[0]);
        int64_t r = nb::cast<int64_t>(s.attr("size"));
        if (shape_is(cores[0], {r}) && shape_is(factors[0], {m, r}) && shape_is(factors[1], {r, n})) {
            // sqrt(|s|) on both sides keeps the two factors' magnitudes alike; the sign stays on B.
            nb::object root = np.attr("sqrt")(np.attr("abs")(s));
            nb::object signed_root = np.attr("copysign")(root, s);
            b = as32(factors[0]).attr("__mul__")(signed_root);
            a = root.attr("reshape")(-1, 1).attr("__mul__")(as32(factors[1]));
            return true;
        }
    } else if (method == "tt" && nb::len(cores) == 2 && nb::len(factors) == 0) {
        std::vector<int64_t> s0 = shape_of(cores[0]), s1 = shape_of(cores[1]);
        if (s0.size() == 3 && s1.size() == 3 && s0[0] == 1 && s0[1] == m && s1[0] == s0[2] && s1[1] == n &&
            s1[2] == 1) {
            b = as32(cores[0]).attr("reshape")(m, s0[2]);
            a = as32(cores[1]).attr("reshape")(s1[0], n);
            return true;
        }
    } else if (method == "tucker" && nb::len(cores) == 1 && nb::len(factors) == 2) {
        std::vector<int64_t> c = shape_of(cores[0]);
        if (c.size() == 2 && shape_is(factors[0], {m, c[0]}) && shape_is(factors[1], {n, c[1]})) {
            b = np.attr("matmul")(as32(factors[0]), as32(cores[0]));
            a = as32(factors[1]).attr("T");
            return true;
        }
    } else if (method == "svd_mixed") {
        // Quantized singular vectors: the product of their dequantized factors is the delta.
        nb::tuple ab = nb::borrow<nb::tuple>(bind::module_attr("velkor_zuma.lowrank", "svd_mixed_factors")(rec));
        nb::object fa = as32(ab[0]), fb = as32(ab[1]);
        std::vector<int64_t> sa = shape_of(fa), sb = shape_of(fb);
        if (sa.size() == 2 && sb.size() == 2 && sa[0] == m && sb[0] == n && sa[1] == sb[1]) {
            b = fa;
            a = fb.attr("T");
            return true;
        }
    }
    if (method == "svd" || method == "tt" || method == "tucker" || method == "svd_mixed")
        why = method + ", not a product of two factors";
    else
        why = method;
    return false;
}

}  // namespace vz::factors
