// Per-row adapters at batch speed. peft's own mixed-batch forward (`adapter_names=`) regroups
// the rows in Python inside every LoRA layer of every step and registers a hook on each layer
// per call, which costs more than the low-rank products themselves on a small model. Here each
// plain LoRA linear layer of the engine's peft model gets a forward of its own while the step
// scheduler runs a step: the base projection once over all rows, then the adapters' low-rank
// products, added into the base output. Rows on the bare base get no delta, and a step with
// no adapter row computes none. Outside the scheduler's steps (direct `generate` calls, the
// adapter switch, `disable_adapter`) the layer runs peft's forward unchanged. Models with other
// LoRA layers (embeddings, convolutions, DoRA and other variants) keep peft's `adapter_names=`.
//
// Two ways to the low-rank products, chosen per layer when the layers are installed:
// - Stacked (a layer's adapters hold at most kStackedWidth ranks in all): every adapter's A is
//   stacked into one [in, R] matrix and every B into one [R, out] matrix. A step computes
//   x·A_allᵀ for all rows at once, multiplies it by a [rows, R] mask that keeps each row's own
//   adapter's columns (with its scale) and zeroes the others, and multiplies by B_allᵀ: two
//   products and a product with the mask, however the rows mix adapters. Per-group products
//   (an index_select, two products and an index_add per adapter present) made a batch over
//   four adapters 20-25% slower than over one on a small model.
// - Per group (more ranks than that, where computing every adapter's columns for every row
//   would cost more than it saves): x_g·Aᵀ·Bᵀ·scale over each adapter's rows only.
// The choice is per layer, never per step, so that a row's numbers do not depend on its
// neighbours' adapters.
#include "modules/serve/rows.hpp"

#include <algorithm>

namespace vz::serve {
using namespace nb::literals;

namespace {

// Ranks a layer's adapters may hold in all for the stacked products.
constexpr int64_t kStackedWidth = 256;

struct Factors {
    nb::object a_t, b_t;  // Aᵀ [in, r] and Bᵀ [r, out]: views of the adapter's weights
    nb::object dtype;
    double scale = 0.0;
    bool present = false;
};

// One LoRA linear layer: its factors per adapter, in the engine's adapter order, and where the
// layer stacks them, the stacked matrices and their layout in the plan.
struct LoraLinear {
    std::vector<Factors> adapters;
    nb::object a_all, b_all;  // [in, R] and [R, out]; unset: per-group products
    size_t layout = 0;
};

// The step's column mask of a layout ([rows, width]: a row's own adapter's columns hold its
// scale, the others zero), made by the first layer of the step that needs it.
nb::handle step_mask(RowPlan &plan, size_t layout, nb::handle device) {
    nb::object &mask = plan.masks[layout];
    if (mask.is_valid()) return mask;
    const RowPlan::Layout &l = plan.layouts[layout];
    const size_t rows = plan.row_adapter.size();
    std::vector<double> values(rows * (size_t) l.width, 0.0);
    for (size_t i = 0; i < rows; ++i)
        for (const RowPlan::Slice &sl : l.slices)
            if (plan.row_adapter[i] == (int64_t) sl.adapter)
                std::fill_n(values.begin() + (std::ptrdiff_t) (i * (size_t) l.width + (size_t) sl.offset), sl.rank,
                            sl.scale);
    nb::object torch = bind::import("torch");
    mask = torch.attr("tensor")(values, "dtype"_a = l.dtype, "device"_a = device).attr("view")((int64_t) rows, l.width);
    return mask;
}

nb::object own_forward(const std::shared_ptr<RowPlan> &plan, const std::shared_ptr<LoraLinear> &layer,
                       nb::handle module, nb::handle peft_forward, nb::args args, nb::kwargs kwargs) {
    if (!plan->active || args.size() != 1 || kwargs.size() != 0) return peft_forward(*args, **kwargs);
    nb::handle x = args[0];
    nb::object result = module.attr("base_layer")(x);
    if (plan->groups.empty()) return result;  // every row on the bare base
    if (layer->a_all.is_valid()) {
        const RowPlan::Layout &l = plan->layouts[layer->layout];
        bool any = false;  // a row of the step has one of this layer's adapters
        for (const RowPlan::Group &g : plan->groups)
            for (const RowPlan::Slice &sl : l.slices) any = any || sl.adapter == g.adapter;
        if (!any) return result;
        nb::object xs = nb::borrow(x);
        if (!xs.attr("dtype").is(l.dtype)) xs = xs.attr("to")(l.dtype);
        nb::object h = xs.attr("matmul")(layer->a_all);
        nb::object mask = nb::borrow(step_mask(*plan, layer->layout, h.attr("device")));
        // [rows, width] against h's [rows, ..., width]
        size_t dims = nb::cast<size_t>(h.attr("dim")());
        for (size_t d = 2; d < dims; ++d) mask = mask.attr("unsqueeze")(1);
        nb::object delta = h.attr("mul_")(mask).attr("matmul")(layer->b_all);
        if (!delta.attr("dtype").is(result.attr("dtype"))) delta = delta.attr("to")(result.attr("dtype"));
        result.attr("add_")(delta);
        return result;
    }
    for (const RowPlan::Group &g : plan->groups) {
        if (g.adapter >= layer->adapters.size()) continue;
        const Factors &f = layer->adapters[g.adapter];
        if (!f.present) continue;
        nb::object xs = g.rows.is_valid() ? nb::object(x.attr("index_select")(0, g.rows)) : nb::borrow(x);
        if (!xs.attr("dtype").is(f.dtype)) xs = xs.attr("to")(f.dtype);
        nb::object delta = (xs.attr("matmul")(f.a_t)).attr("matmul")(f.b_t);
        delta = delta.attr("mul_")(f.scale);
        if (!delta.attr("dtype").is(result.attr("dtype"))) delta = delta.attr("to")(result.attr("dtype"));
        RowPlan::add_into(result, g, delta);
    }
    return result;
}

// Stacks a layer's factors when their ranks fit, registering (or finding) its layout.
void stack_factors(RowPlan &plan, LoraLinear &layer) {
    RowPlan::Layout l;
    std::vector<nb::object> as, bs;
    for (size_t a = 0; a < layer.adapters.size(); ++a) {
        const Factors &f = layer.adapters[a];
        if (!f.present) continue;
        if (l.dtype.is_valid() && !f.dtype.is(l.dtype)) return;  // mixed dtypes: per group
        l.dtype = f.dtype;
        int64_t rank = nb::cast<int64_t>(f.a_t.attr("shape")[nb::int_(1)]);
        l.slices.push_back({a, l.width, rank, f.scale});
        l.width += rank;
        as.push_back(f.a_t);
        bs.push_back(f.b_t);
    }
    if (l.slices.empty() || l.width > kStackedWidth) return;
    nb::object torch = bind::import("torch");
    nb::list a_list, b_list;
    for (auto &a : as) a_list.append(a);
    for (auto &b : bs) b_list.append(b);
    layer.a_all = torch.attr("cat")(a_list, 1).attr("contiguous")();
    layer.b_all = torch.attr("cat")(b_list, 0).attr("contiguous")();
    for (size_t i = 0; i < plan.layouts.size(); ++i) {
        const RowPlan::Layout &o = plan.layouts[i];
        bool same = o.width == l.width && o.dtype.is(l.dtype) && o.slices.size() == l.slices.size();
        for (size_t k = 0; same && k < l.slices.size(); ++k)
            same = o.slices[k].adapter == l.slices[k].adapter && o.slices[k].rank == l.slices[k].rank &&
                   o.slices[k].scale == l.slices[k].scale;
        if (same) {
            layer.layout = i;
            return;
        }
    }
    layer.layout = plan.layouts.size();
    plan.layouts.push_back(std::move(l));
    plan.masks.emplace_back();
}

}  // namespace

namespace {

// The LoRA layers' own forward; false (nothing changed) where the model has other LoRA layers.
bool install_lora_rows(EngineView &ev) {
    nb::object lora_linear;
    try {
        lora_linear = bind::import("peft.tuners.lora.layer").attr("Linear");
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        return false;
    }
    nb::object lora_base = bind::import("peft.tuners.lora.layer").attr("LoraLayer");
    std::vector<std::string> names;
    for (nb::handle n : ev.adapter_names) names.push_back(nb::cast<std::string>(nb::str(n)));

    std::vector<std::pair<nb::object, std::shared_ptr<LoraLinear>>> found;
    for (nb::handle item : ev.model.attr("named_modules")()) {
        nb::handle module = item[1];
        if (!PyObject_IsInstance(module.ptr(), lora_base.ptr())) continue;
        // Only exact plain LoRA linear layers, without variants (DoRA and the like).
        if (!nb::handle((PyObject *) Py_TYPE(module.ptr())).is(lora_linear)) return false;
        if (bind::truthy(nb::getattr(module, "lora_variant", nb::dict()))) return false;
        if (bind::truthy(nb::getattr(module, "merged_adapters", nb::list()))) return false;
        auto layer = std::make_shared<LoraLinear>();
        nb::object lora_a = module.attr("lora_A"), lora_b = module.attr("lora_B");
        nb::object scaling = module.attr("scaling");
        nb::object lora_bias = nb::getattr(module, "lora_bias", nb::dict());
        for (const std::string &name : names) {
            Factors f;
            nb::str key(name.c_str(), name.size());
            if (bind::contains(lora_a, key)) {
                if (bind::truthy(lora_bias) && bind::truthy(bind::get_item(lora_bias, key))) return false;
                nb::object a = bind::get_item(lora_a, key).attr("weight");
                nb::object b = bind::get_item(lora_b, key).attr("weight");
                f.a_t = a.attr("t")();
                f.b_t = b.attr("t")();
                f.dtype = a.attr("dtype");
                f.scale = bind::to_f64(bind::get_item(scaling, key));
                f.present = true;
            }
            layer->adapters.push_back(std::move(f));
        }
        found.emplace_back(nb::borrow(module), layer);
    }
    if (found.empty()) return false;
    ev.plan = std::make_shared<RowPlan>();
    for (auto &[module, layer] : found) stack_factors(*ev.plan, *layer);
    for (auto &[module, layer] : found) {
        std::shared_ptr<RowPlan> plan = ev.plan;
        std::shared_ptr<LoraLinear> kept = layer;
        nb::handle m = module;  // the model owns its layers for as long as the engine lives
        nb::object peft_forward = module.attr("forward");
        nb::object fn = nb::cpp_function(
            [plan, kept, m, peft_forward](nb::args args, nb::kwargs kwargs) {
                return own_forward(plan, kept, m, peft_forward, args, kwargs);
            },
            nb::name("forward"));
        nb::setattr(module, "forward", fn);
    }
    return true;
}

}  // namespace

bool install_row_deltas(EngineView &ev) {
    // Installed once per engine; later schedulers over the same engine share the plan (they
    // step under the engine's generation lock, one at a time).
    nb::object kept_plan = nb::getattr(ev.engine, "_row_plan", nb::none());
    if (!kept_plan.is_none()) {
        ev.plan = *static_cast<std::shared_ptr<RowPlan> *>(nb::cast<nb::capsule>(kept_plan).data());
        return true;
    }
    if (!install_lora_rows(ev)) {
        if (!library_attached(ev.engine)) return false;
        // A library's fine-tunes go by the plan only: adapters that peft must regroup cannot
        // share a step with them.
        if (nb::hasattr(ev.model, "get_base_model"))
            bind::raise(PyExc_RuntimeError,
                        "these adapters' LoRA layers cannot be served beside a library's fine-tunes");
        ev.plan = std::make_shared<RowPlan>();
    }
    install_library_rows(ev);
    auto *held = new std::shared_ptr<RowPlan>(ev.plan);
    nb::setattr(ev.engine, "_row_plan",
                nb::capsule(held, [](void *p) noexcept { delete static_cast<std::shared_ptr<RowPlan> *>(p); }));
    return true;
}

void plan_rows(const EngineView &ev, const std::vector<Row *> &rows) {
    RowPlan &plan = *ev.plan;
    plan.groups.clear();
    plan.row_adapter.assign(rows.size(), -1);
    for (size_t i = 0; i < rows.size(); ++i) plan.row_adapter[i] = rows[i]->adapter_index;
    for (nb::object &m : plan.masks) m = nb::object();
    std::vector<std::vector<int64_t>> members(ev.adapter_count);
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->adapter_index >= 0) members[(size_t) rows[i]->adapter_index].push_back((int64_t) i);
    for (size_t a = 0; a < members.size(); ++a) {
        if (members[a].empty()) continue;
        RowPlan::Group g;
        g.adapter = a;
        if (members[a].size() != rows.size())
            g.rows = ev.torch.attr("tensor")(members[a], "dtype"_a = ev.torch.attr("long"), "device"_a = ev.device);
        plan.groups.push_back(std::move(g));
    }
    plan.active = true;
}

}  // namespace vz::serve
