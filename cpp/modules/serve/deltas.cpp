// Per-row adapters at batch speed. peft's own mixed-batch forward (`adapter_names=`) regroups
// the rows in Python inside every LoRA layer of every step and registers a hook on each layer
// per call, which costs more than the low-rank products themselves on a small model. Here each
// plain LoRA linear layer of the engine's peft model gets a forward of its own while the step
// scheduler runs a step: the base projection once over all rows, then for each adapter of the
// step, x_g·Aᵀ·Bᵀ·scale over its rows only, added into the base output (all rows at once when
// the step has one adapter). Rows on the bare base are in no group and pay nothing. Outside the
// scheduler's steps (direct `generate` calls, the adapter switch, `disable_adapter`) the layer
// runs peft's forward unchanged. Models with other LoRA layers (embeddings, convolutions,
// DoRA and other variants) keep peft's `adapter_names=` path.
#include "modules/serve/rows.hpp"

#include <algorithm>

namespace vz::serve {
using namespace nb::literals;

namespace {

struct Factors {
    nb::object a_t, b_t;  // Aᵀ [in, r] and Bᵀ [r, out]: views of the adapter's weights
    nb::object dtype;
    double scale = 0.0;
    bool present = false;
};

// One LoRA linear layer: its factors per adapter, in the engine's adapter order.
struct LoraLinear {
    std::vector<Factors> adapters;
};

nb::object own_forward(const std::shared_ptr<RowPlan> &plan, const std::shared_ptr<LoraLinear> &layer,
                       nb::handle module, nb::handle peft_forward, nb::args args, nb::kwargs kwargs) {
    if (!plan->active || args.size() != 1 || kwargs.size() != 0) return peft_forward(*args, **kwargs);
    nb::handle x = args[0];
    nb::object result = module.attr("base_layer")(x);
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
