// bfloat16 linear layers of a model on the CPU through the native kernel (core/bf16_linear.hpp).
// torch's own bfloat16 product for a handful of rows reads the weights at about half of what the
// memory gives (a 1.1B model's one-row decode step on a 2-core AVX-512 BF16 machine: 140-170 ms
// in torch against about 100 ms through the kernel), and a decode step is little else; for
// prompts (many rows) the two are within about 10% of each other. Every input goes through the
// kernel, whatever its rows, because the kernel's result for a row never depends on the other
// rows: a row's greedy tokens are then the same alone, in any batch and whatever the prompts
// read beside it (torch picks different kernels for one row and for many).
//
// Each plain `torch.nn.Linear` with a contiguous bfloat16 weight gets a forward that does so;
// other dtypes, gradients and a weight swapped for another tensor (or moved, or cast) go to
// torch's linear, exactly as before.
#include "core/bf16_linear.hpp"
#include "modules/serve/serve.hpp"

#include <nanobind/stl/vector.h>

#include <memory>
#include <vector>

namespace vz::serve {
using namespace nb::literals;

namespace {

struct Layer {
    nb::object weight, bias;  // the tensors the kernel was set up with
    int64_t n = 0, k = 0;
    uintptr_t weight_ptr = 0, bias_ptr = 0;
};

struct Shared {
    nb::object torch, bf16, linear, is_grad_enabled, empty;
    unsigned threads = 1;
};

uintptr_t data_ptr(nb::handle t) { return nb::cast<uintptr_t>(t.attr("data_ptr")()); }

nb::object forward(const Shared &s, const Layer &l, nb::handle m, nb::handle x) {
    nb::object weight = m.attr("weight"), bias = m.attr("bias");
    auto fallback = [&] { return s.linear(x, weight, bias); };
    // Still the tensors it was set up with, in place (a move or a cast changes the address) and
    // laid out as then (a view put in as the parameter's data can keep the address).
    if (!weight.is(l.weight) || !bias.is(l.bias) || data_ptr(weight) != l.weight_ptr) return fallback();
    if (!bias.is_none() && data_ptr(bias) != l.bias_ptr) return fallback();
    if (nb::cast<std::vector<int64_t>>(weight.attr("stride")()) != std::vector<int64_t>{l.k, 1} ||
        nb::cast<std::vector<int64_t>>(nb::tuple(weight.attr("shape"))) != std::vector<int64_t>{l.n, l.k})
        return fallback();
    if (!nb::hasattr(x, "dtype") || !x.attr("dtype").is(s.bf16)) return fallback();
    if (!nb::str("cpu").equal(x.attr("device").attr("type"))) return fallback();
    if (bind::truthy(s.is_grad_enabled()) &&
        (bind::truthy(weight.attr("requires_grad")) || bind::truthy(x.attr("requires_grad"))))
        return fallback();
    auto shape = nb::cast<std::vector<int64_t>>(nb::tuple(x.attr("shape")));
    if (shape.empty() || shape.back() != l.k) return fallback();
    int64_t rows = 1;
    for (size_t i = 0; i + 1 < shape.size(); ++i) rows *= shape[i];
    if (rows <= 0) return fallback();
    nb::object xc = x.attr("contiguous")();
    shape.back() = l.n;
    nb::object y = s.empty(nb::tuple(nb::cast(shape)), "dtype"_a = s.bf16);
    const auto *xp = reinterpret_cast<const uint16_t *>(data_ptr(xc));
    const auto *wp = reinterpret_cast<const uint16_t *>(l.weight_ptr);
    const auto *bp = reinterpret_cast<const uint16_t *>(l.bias_ptr);
    auto *yp = reinterpret_cast<uint16_t *>(data_ptr(y));
    {
        nb::gil_scoped_release nogil;
        core::bf16::linear(xp, rows, l.k, wp, l.n, bp, yp, s.threads);
    }
    return y;
}

}  // namespace

int64_t install_bf16_linears(nb::handle model) {
    if (!core::bf16::native()) return 0;
    auto shared = std::make_shared<Shared>();
    shared->torch = bind::import("torch");
    shared->bf16 = shared->torch.attr("bfloat16");
    shared->linear = shared->torch.attr("nn").attr("functional").attr("linear");
    shared->is_grad_enabled = shared->torch.attr("is_grad_enabled");
    shared->empty = shared->torch.attr("empty");
    // As many threads as torch had before the first engine set it to one (see engine.cpp).
    static int64_t torch_threads = 0;
    if (torch_threads <= 0) torch_threads = nb::cast<int64_t>(shared->torch.attr("get_num_threads")());
    shared->threads = (unsigned) std::max<int64_t>(1, torch_threads);
    nb::object linear_type = shared->torch.attr("nn").attr("Linear");
    nb::object method_type = bind::import("types").attr("MethodType");
    int64_t installed = 0;
    for (nb::handle module : model.attr("modules")()) {
        // Plain linear layers only: subclasses (quantized layers, adapters' own) have forwards of their own.
        if (!nb::handle((PyObject *) Py_TYPE(module.ptr())).is(linear_type)) continue;
        nb::object weight = module.attr("weight"), bias = module.attr("bias");
        if (!weight.attr("dtype").is(shared->bf16) || !nb::str("cpu").equal(weight.attr("device").attr("type")) ||
            !bind::truthy(weight.attr("is_contiguous")()))
            continue;
        if (!bias.is_none() && (!bias.attr("dtype").is(shared->bf16) || !bind::truthy(bias.attr("is_contiguous")())))
            continue;
        auto layer = std::make_shared<Layer>();
        layer->weight = weight;
        layer->bias = bias;
        layer->n = nb::cast<int64_t>(weight.attr("shape")[nb::int_(0)]);
        layer->k = nb::cast<int64_t>(weight.attr("shape")[nb::int_(1)]);
        if (layer->n <= 0 || layer->k <= 0) continue;
        layer->weight_ptr = data_ptr(weight);
        layer->bias_ptr = bias.is_none() ? 0 : data_ptr(bias);
        // A method bound to the module: the module holds its forward and the forward the module,
        // a cycle the garbage collector sees whole, so that a dropped model is freed.
        nb::object fn = nb::cpp_function(
            [shared, layer](nb::handle self, nb::handle x) { return forward(*shared, *layer, self, x); },
            nb::name("forward"));
        nb::setattr(module, "forward", method_type(fn, module));
        ++installed;
    }
    return installed;
}

}  // namespace vz::serve
