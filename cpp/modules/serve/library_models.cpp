// Serving a model library: its base is the engine's resident model (read from the library in
// its stored element type) and every stored fine-tune (or those named) is a model of its own,
// named by its id, applied per row by the step scheduler without building its dense weights.
//
// Each fine-tune's records are sorted once, when the engine loads:
// - a record that is a product of two thin factors (SVD, 2-D tensor train, 2-D Tucker) of a
//   linear layer's weight is applied as x·Aᵀ·Bᵀ over that fine-tune's rows, as the LoRA
//   adapters are (deltas.cpp);
// - a sign or few-bit record (sign, svd_q4, svd_q8) of a linear layer's weight is applied
//   straight from its packed bytes by the packed-delta kernel (lowrank._apply_packed) over the
//   fine-tune's rows;
// - anything else (dense records of norms, biases and embeddings, a Tucker record of a 4-D
//   tensor, a weight shared with a module that is not a linear layer) is rebuilt once as the
//   fine-tune's own tensor, with a warning naming it; its rows run that module with the rebuilt
//   tensor in place of the base's (torch.func.functional_call) and its bytes count in the report.
// A record whose delta is all zeros changes nothing and is left out; a tensor the model lacks is
// left out too, as loading the exported fine-tune would ignore it.
//
// The modules that own a changed parameter get a forward of their own (the module that owns the
// parameter itself: a peft LoRA layer's base layer, so that adapters and fine-tunes mix in one
// step). Outside the scheduler's steps they run their own forward unchanged.
#include "modules/deltavault/thin_factors.hpp"
#include "modules/serve/rows.hpp"

#include <algorithm>
#include <map>

namespace vz::serve {
using namespace nb::literals;

namespace {

// One fine-tune's change to one module.
struct Part {
    std::vector<std::pair<nb::object, nb::object>> lowrank;  // Aᵀ [in, k], Bᵀ [k, out]
    std::vector<nb::object> packed;                          // sign / svd_q4 / svd_q8 records
    nb::dict rebuilt;                                        // parameter name -> the fine-tune's tensor
};

struct ModuleDeltas {
    nb::handle module;  // the model owns its modules for as long as the engine lives
    std::map<size_t, Part> parts;  // by adapter index
};

struct Library {
    std::string dir;
    std::vector<std::string> ids;
    size_t first = 0;  // adapter index of ids[0]
    std::vector<std::unique_ptr<ModuleDeltas>> modules;
    std::vector<int64_t> lowrank_bytes, packed_bytes, rebuilt_bytes;
    std::vector<std::vector<std::string>> rebuilt_names;
    int64_t base_bytes = 0;  // parameters of the resident base as loaded
    bool installed = false;
};

const char *kLibraryAttr = "_library_models";

std::shared_ptr<Library> library_of(nb::handle engine) {
    nb::object kept = nb::getattr(engine, kLibraryAttr, nb::none());
    if (kept.is_none()) return nullptr;
    return *static_cast<std::shared_ptr<Library> *>(nb::cast<nb::capsule>(kept).data());
}

int64_t tensor_bytes(nb::handle t) {
    return nb::cast<int64_t>(t.attr("numel")()) * nb::cast<int64_t>(t.attr("element_size")());
}

nb::object library_dir(nb::handle cfg) { return nb::getattr(cfg, "library", nb::none()); }

// Sets the base source from the library when none was given, and "auto" precision to the
// library's stored type.
nb::object prepare(nb::handle self) {
    nb::object cfg = self.attr("cfg");
    nb::object dir = library_dir(cfg);
    if (!nonempty_str(dir)) bind::raise(PyExc_ValueError, "library must be a directory path");
    nb::object reader = bind::import("velkor_zuma.deltavault").attr("open_library")(dir);
    nb::object base_id = reader.attr("base_id");
    reader.attr("close")();
    if (!nonempty_str(cfg.attr("base"))) nb::setattr(cfg, "base", base_id);
    std::string p = nb::cast<std::string>(cfg.attr("precision").attr("lower")());
    if (p == "auto")
        nb::setattr(cfg, "precision", nb::str("stored"));
    else if (p != "stored" && p != "fp32" && p != "fp16" && p != "bf16")
        bind::raise(PyExc_ValueError, "serving a library keeps its base as stored, or in fp32, fp16 or bf16; not '" +
                                          bind::text(cfg.attr("precision")) + "'");
    return nb::none();
}

// The base model: the architecture and configuration from `source` (a model directory or hub
// id), every weight from the library's base file in its stored type (or the fp32/fp16 asked for).
nb::object load_base(nb::handle self, nb::handle source) {
    nb::object cfg = self.attr("cfg");
    nb::object dir = library_dir(cfg);
    nb::module_ torch = bind::import("torch");
    nb::module_ transformers = bind::import("transformers");
    nb::object pathlib = bind::import("pathlib").attr("Path");
    nb::object reader = bind::import("velkor_zuma.deltavault").attr("open_library")(dir);
    nb::list names;
    try {
        names = nb::borrow<nb::list>(reader.attr("base_names")());
    } catch (...) {
        reader.attr("close")();
        throw;
    }
    reader.attr("close")();
    // The base's file, named by the manifest (a plain name in the library's directory, as the
    // reader checked when it opened).
    nb::object manifest = bind::import("json").attr("loads")(
        (pathlib(dir) / nb::str("manifest.json")).attr("read_text")());
    nb::object file = manifest[nb::str("base")][nb::str("file")];
    std::string fname = bind::text(file);
    if (fname.empty() || fname.find('/') != std::string::npos || fname == "." || fname == "..")
        bind::raise(PyExc_ValueError, "the library's manifest names no plain base file");
    nb::object base_file = nb::str(pathlib(dir) / file);

    std::string p = nb::cast<std::string>(cfg.attr("precision").attr("lower")());
    nb::object want = p == "fp32"   ? nb::object(torch.attr("float32"))
                      : p == "fp16" ? nb::object(torch.attr("float16"))
                      : p == "bf16" ? nb::object(torch.attr("bfloat16"))
                                    : nb::object(nb::none());
    nb::dict state;
    nb::object dtype = want;
    bind::with_context(bind::import("safetensors").attr("safe_open")(base_file, "framework"_a = "pt"),
                       [&](nb::handle f) {
                           for (nb::handle n : names) {
                               nb::object t = f.attr("get_tensor")(n);
                               if (bind::truthy(t.attr("is_floating_point")())) {
                                   if (!want.is_none())
                                       t = t.attr("to")(want);
                                   else if (dtype.is_none() && nb::cast<int64_t>(t.attr("dim")()) >= 2)
                                       dtype = t.attr("dtype");
                               }
                               state[n] = t;
                           }
                       });
    if (dtype.is_none()) dtype = torch.attr("float32");
    nb::object config = transformers.attr("AutoConfig").attr("from_pretrained")(source);
    nb::object model = transformers.attr("AutoModelForCausalLM").attr("from_config")(config, "dtype"_a = dtype);
    nb::object result = model.attr("load_state_dict")(state, "strict"_a = false);
    // Tensors the model has and the library lacks may only be ones tied to another.
    nb::object missing = result.attr("missing_keys");
    if (bind::truthy(missing)) {
        nb::object tied = nb::getattr(model, "_tied_weights_keys", nb::none());
        nb::list left;
        for (nb::handle k : missing) {
            bool is_tied = false;
            if (!tied.is_none()) {
                try {
                    is_tied = bind::contains(tied, k);
                } catch (nb::python_error &e) {
                    if (!ordinary(e)) throw;
                }
            }
            std::string key = bind::text(k);
            const std::string head = "lm_head.weight";
            bool is_head = key.size() >= head.size() && key.compare(key.size() - head.size(), head.size(), head) == 0;
            if (!is_tied && !is_head) left.append(k);
        }
        if (bind::truthy(left))
            bind::raise(PyExc_ValueError, "the library's base lacks tensors the model '" + bind::text(source) +
                                              "' needs: " + bind::text(left));
    }
    model.attr("tie_weights")();
    nb::setattr(cfg, "precision", nb::str(("stored " + bind::text(dtype).substr(6)).c_str()));
    if (!want.is_none()) nb::setattr(cfg, "precision", nb::str(p.c_str()));
    return model;
}

// Every changed parameter's owners: (module, parameter name) pairs for each parameter object,
// and each tensor name's parameter (peft's ".base_layer" left out of the name).
struct Owners {
    std::map<PyObject *, std::vector<std::pair<nb::object, std::string>>> by_param;
    std::map<std::string, nb::object> param_of;
};

Owners owners_of(nb::handle model) {
    Owners o;
    for (nb::handle item : model.attr("named_modules")("remove_duplicate"_a = false)) {
        std::string mname = nb::cast<std::string>(item[0]);
        nb::handle module = item[1];
        for (nb::handle pitem : module.attr("named_parameters")("recurse"_a = false)) {
            std::string pname = nb::cast<std::string>(pitem[0]);
            nb::object param = nb::borrow(pitem[1]);
            std::string full = mname.empty() ? pname : mname + "." + pname;
            for (size_t at; (at = full.find(".base_layer.")) != std::string::npos;) full.erase(at, 11);
            if (full.rfind("base_model.model.", 0) == 0) full.erase(0, 17);
            auto &list = o.by_param[param.ptr()];
            bool seen = false;
            for (auto &[m, n] : list) seen = seen || (m.is(module) && n == pname);
            if (!seen) list.emplace_back(nb::borrow(module), pname);
            o.param_of.emplace(full, param);
        }
    }
    return o;
}

// Reads the chosen fine-tunes' records and sorts them; appends their ids to the engine's model
// names. Returns the bytes they keep resident.
nb::object attach(nb::handle self) {
    nb::object cfg = self.attr("cfg");
    nb::module_ torch = bind::import("torch");
    nb::module_ np = bind::numpy();
    nb::object decompress = bind::import("velkor_zuma.lowrank").attr("decompress");
    nb::object warn = bind::import("warnings").attr("warn");
    auto lib = std::make_shared<Library>();
    lib->dir = bind::text(library_dir(cfg));
    nb::object reader = bind::import("velkor_zuma.deltavault").attr("open_library")(library_dir(cfg));
    std::vector<std::pair<std::string, nb::object>> deltas;
    try {
        nb::list stored = nb::borrow<nb::list>(reader.attr("finetune_ids")());
        nb::object chosen = nb::getattr(cfg, "finetunes", nb::none());
        nb::list ids = chosen.is_none() || !bind::truthy(chosen) ? stored : nb::list(chosen);
        for (nb::handle id : ids) {
            if (!bind::contains(stored, id))
                bind::raise(PyExc_ValueError, "no fine-tune '" + bind::text(id) + "' in library " + lib->dir +
                                                  " (it holds: " + bind::text(nb::str(", ").attr("join")(stored)) +
                                                  ")");
            std::string name = nb::cast<std::string>(id);
            for (auto &[n, d] : deltas)
                if (n == name) bind::raise(PyExc_ValueError, "fine-tune '" + name + "' named twice");
            deltas.emplace_back(name, reader.attr("delta")(id));
        }
    } catch (...) {
        reader.attr("close")();
        throw;
    }
    reader.attr("close")();

    nb::object names = self.attr("adapter_names");
    for (auto &[id, d] : deltas)
        if (bind::contains(names, nb::str(id.c_str())))
            bind::raise(PyExc_ValueError, "fine-tune '" + id + "' has the name of an adapter; serve one of them");
    lib->first = (size_t) nb::len(names);

    nb::object model = self.attr("model");
    nb::object base = nb::hasattr(model, "get_base_model") ? model.attr("get_base_model")() : model;
    for (nb::handle p : base.attr("parameters")()) lib->base_bytes += tensor_bytes(p);
    Owners owners = owners_of(base);
    nb::object device = torch.attr("device")(self.attr("device"));
    nb::object linear = torch.attr("nn").attr("Linear");
    std::map<PyObject *, size_t> module_index;
    auto part_of = [&](nb::handle module, size_t adapter) -> Part & {
        auto it = module_index.find(module.ptr());
        if (it == module_index.end()) {
            auto md = std::make_unique<ModuleDeltas>();
            md->module = module;
            it = module_index.emplace(module.ptr(), lib->modules.size()).first;
            lib->modules.push_back(std::move(md));
        }
        return lib->modules[it->second]->parts[adapter];
    };

    for (size_t i = 0; i < deltas.size(); ++i) {
        const std::string &id = deltas[i].first;
        size_t adapter = lib->first + i;
        int64_t lr = 0, pk = 0, rb = 0;
        std::vector<std::string> rebuilt;
        nb::dict tensors = nb::borrow<nb::dict>(deltas[i].second.attr("tensors"));
        for (auto [key, rec] : tensors) {
            std::string name = nb::cast<std::string>(key);
            auto found = owners.param_of.find(name);
            if (found == owners.param_of.end()) continue;  // not in the model
            nb::object param = found->second;
            const auto &own = owners.by_param[param.ptr()];
            std::vector<int64_t> shape = vz::factors::shape_of(param);
            std::vector<int64_t> rshape;
            for (nb::handle d : nb::tuple(rec.attr("shape"))) rshape.push_back(nb::cast<int64_t>(d));
            if (rshape != shape)
                bind::raise(PyExc_ValueError,
                            "fine-tune '" + id + "': the record of '" + name + "' does not have the model's shape");
            bool linear_weight = shape.size() == 2;
            for (auto &[m, pname] : own)
                linear_weight = linear_weight && pname == "weight" && PyObject_IsInstance(m.ptr(), linear.ptr()) == 1;
            std::string method = vz::factors::method_text(rec.attr("method"));
            if (linear_weight) {
                nb::object b, a;
                std::string why;
                if (vz::factors::thin_factors(rec, shape[0], shape[1], b, a, why)) {
                    if (!bind::truthy(np.attr("any")(b)) || !bind::truthy(np.attr("any")(a))) continue;
                    // On a GPU the factors take the model's type; on the CPU they stay float32.
                    nb::object fdt = nb::str("cuda").equal(self.attr("device")) ? param.attr("dtype")
                                                                                : torch.attr("float32");
                    auto to_t = [&](nb::object arr) {
                        return torch.attr("from_numpy")(np.attr("ascontiguousarray")(arr))
                            .attr("to")("device"_a = device, "dtype"_a = fdt);
                    };
                    nb::object a_t = to_t(a.attr("T")), b_t = to_t(b.attr("T"));
                    lr += tensor_bytes(a_t) + tensor_bytes(b_t);
                    for (auto &[m, pname] : own) part_of(m, adapter).lowrank.emplace_back(a_t, b_t);
                    continue;
                }
                if (method == "sign" || method == "svd_q4" || method == "svd_q8") {
                    // Read by the kernel once now, so that a damaged record fails the load, naming
                    // it, rather than every step its rows take.
                    try {
                        bind::import("velkor_zuma.lowrank")
                            .attr("_apply_packed")(
                                rec, np.attr("zeros")(nb::make_tuple(1, shape[1]), "dtype"_a = np.attr("float32")));
                    } catch (nb::python_error &e) {
                        if (!ordinary(e)) throw;
                        bind::raise_from(e, PyExc_ValueError,
                                         "fine-tune '" + id + "': the " + method + " record of '" + name +
                                             "' cannot be applied: " + bind::text(e.value()));
                    }
                    nb::object size = rec.attr("compressed_size_bytes");
                    if (PyCallable_Check(size.ptr())) size = size();
                    pk += nb::cast<int64_t>(size);
                    for (auto &[m, pname] : own) part_of(m, adapter).packed.push_back(nb::borrow(rec));
                    continue;
                }
            }
            nb::object delta = decompress(rec);
            if (!bind::truthy(np.attr("any")(delta))) continue;
            nb::object base_value = param.attr("detach")().attr("to")("cpu", torch.attr("float32")).attr("numpy")();
            nb::object value = torch.attr("from_numpy")(np.attr("ascontiguousarray")(
                base_value.attr("__add__")(delta.attr("reshape")(base_value.attr("shape"))),
                "dtype"_a = np.attr("float32")));
            value = value.attr("to")("device"_a = device, "dtype"_a = param.attr("dtype"));
            rb += tensor_bytes(value);
            rebuilt.push_back(name + " (" + method + ")");
            for (auto &[m, pname] : own) part_of(m, adapter).rebuilt[nb::str(pname.c_str())] = value;
        }
        if (!rebuilt.empty()) {
            std::string list;
            for (const auto &r : rebuilt) list += (list.empty() ? "" : ", ") + r;
            warn(nb::str(("fine-tune '" + id + "': " + std::to_string(rebuilt.size()) +
                          " record(s) cannot be applied per row from their stored form and were rebuilt dense (" +
                          bind::text(human(nb::int_(rb))) + "): " + list)
                             .c_str()),
                 bind::import("builtins").attr("RuntimeWarning"), "stacklevel"_a = 2);
        }
        lib->ids.push_back(id);
        lib->lowrank_bytes.push_back(lr);
        lib->packed_bytes.push_back(pk);
        lib->rebuilt_bytes.push_back(rb);
        lib->rebuilt_names.push_back(std::move(rebuilt));
        names.attr("append")(nb::str(id.c_str()));
    }
    auto *held = new std::shared_ptr<Library>(lib);
    nb::setattr(self, kLibraryAttr,
                nb::capsule(held, [](void *p) noexcept { delete static_cast<std::shared_ptr<Library> *>(p); }));
    int64_t total = 0;
    for (size_t i = 0; i < lib->ids.size(); ++i)
        total += lib->lowrank_bytes[i] + lib->packed_bytes[i] + lib->rebuilt_bytes[i];
    return nb::int_(total);
}

// Lines of the serve report about the library (none without one).
nb::list report(nb::handle engine) {
    nb::list out;
    std::shared_ptr<Library> lib = library_of(engine);
    if (!lib) return out;
    int64_t total = 0;
    out.append(
        nb::str(("  library         : " + lib->dir + "  (" + std::to_string(lib->ids.size()) + " fine-tunes as models)")
                    .c_str()));
    for (size_t i = 0; i < lib->ids.size(); ++i) {
        int64_t all = lib->lowrank_bytes[i] + lib->packed_bytes[i] + lib->rebuilt_bytes[i];
        total += all;
        std::string line = "    " + lib->ids[i] + " : " + bind::text(human(nb::int_(all))) + " resident (low-rank " +
                           bind::text(human(nb::int_(lib->lowrank_bytes[i]))) + ", packed " +
                           bind::text(human(nb::int_(lib->packed_bytes[i]))) + ", rebuilt " +
                           bind::text(human(nb::int_(lib->rebuilt_bytes[i]))) + ")";
        out.append(nb::str(line.c_str()));
    }
    int64_t n = (int64_t) lib->ids.size();
    int64_t served = lib->base_bytes + total;
    int64_t naive = lib->base_bytes * std::max<int64_t>(n, 1);
    out.append(nb::str(("  base + fine-tunes : " + bind::text(human(nb::int_(lib->base_bytes))) + " + " +
                        bind::text(human(nb::int_(total))) + " = " + bind::text(human(nb::int_(served))))
                           .c_str()));
    out.append(
        nb::str(("  " + std::to_string(n) + " full models   : " + bind::text(human(nb::int_(naive))) + "  (" +
                 bind::text(nb::str("{:.2f}").format(nb::float_(served > 0 ? (double) naive / (double) served : 0.0))) +
                 "x less)")
                    .c_str()));
    return out;
}

nb::object own_forward(const std::shared_ptr<RowPlan> &plan, const ModuleDeltas *md, nb::handle orig, nb::args args,
                       nb::kwargs kwargs) {
    if (!plan->active || args.size() != 1 || kwargs.size() != 0) return orig(*args, **kwargs);
    nb::handle x = args[0];
    nb::object result = orig(x);
    nb::object call;
    for (const RowPlan::Group &g : plan->groups) {
        auto it = md->parts.find(g.adapter);
        if (it == md->parts.end()) continue;
        const Part &p = it->second;
        nb::object xs = g.rows.is_valid() ? nb::object(x.attr("index_select")(0, g.rows)) : nb::borrow(x);
        if (bind::truthy(p.rebuilt)) {
            // The module itself with the fine-tune's tensors in place of the base's: its own
            // forward runs (the plan is off for the nested call).
            if (!call.is_valid()) call = bind::import("torch.func").attr("functional_call");
            nb::object out;
            {
                struct Resume {
                    RowPlan *plan;
                    ~Resume() { plan->active = true; }
                } resume{plan.get()};
                plan->active = false;
                out = call(md->module, p.rebuilt, nb::make_tuple(xs));
            }
            if (!out.attr("dtype").is(result.attr("dtype"))) out = out.attr("to")(result.attr("dtype"));
            if (g.rows.is_valid())
                result.attr("index_copy_")(0, g.rows, out);
            else
                result = out;
        }
        for (const auto &[a_t, b_t] : p.lowrank) {
            nb::object xl = xs;
            if (!xl.attr("dtype").is(a_t.attr("dtype"))) xl = xl.attr("to")(a_t.attr("dtype"));
            nb::object delta = xl.attr("matmul")(a_t).attr("matmul")(b_t);
            if (!delta.attr("dtype").is(result.attr("dtype"))) delta = delta.attr("to")(result.attr("dtype"));
            RowPlan::add_into(result, g, delta);
        }
        if (!p.packed.empty()) {
            nb::module_ torch = bind::import("torch");
            nb::object apply = bind::import("velkor_zuma.lowrank").attr("_apply_packed");
            nb::object shape = xs.attr("shape");
            int64_t n = nb::cast<int64_t>(shape[nb::int_(-1)]);
            nb::object flat = xs.attr("detach")().attr("to")("cpu", torch.attr("float32")).attr("reshape")(-1, n);
            nb::object xn = flat.attr("contiguous")().attr("numpy")();
            for (const nb::object &rec : p.packed) {
                nb::object y = torch.attr("from_numpy")(apply(rec, xn));
                nb::list out_shape;
                for (nb::handle d : shape) out_shape.append(d);
                out_shape[nb::len(out_shape) - 1] = y.attr("shape")[nb::int_(1)];
                nb::object delta = y.attr("reshape")(nb::tuple(out_shape))
                                       .attr("to")("device"_a = result.attr("device"),
                                                   "dtype"_a = result.attr("dtype"));
                RowPlan::add_into(result, g, delta);
            }
        }
    }
    return result;
}

}  // namespace

bool library_attached(nb::handle engine) { return library_of(engine) != nullptr; }

void install_library_rows(EngineView &ev) {
    std::shared_ptr<Library> lib = library_of(ev.engine);
    if (!lib || lib->installed) return;
    std::shared_ptr<RowPlan> plan = ev.plan;
    for (const auto &md : lib->modules) {
        const ModuleDeltas *kept = md.get();
        nb::object orig = md->module.attr("forward");
        nb::object fn = nb::cpp_function(
            [plan, lib, kept, orig](nb::args args, nb::kwargs kwargs) {
                return own_forward(plan, kept, orig, args, kwargs);
            },
            nb::name("forward"));
        nb::setattr(md->module, "forward", fn);
    }
    lib->installed = true;
}

bool library_generate_begin(nb::handle engine, nb::handle name) {
    std::shared_ptr<Library> lib = library_of(engine);
    if (!lib || !PyUnicode_Check(name.ptr())) return false;
    std::string text = nb::cast<std::string>(name);
    auto it = std::find(lib->ids.begin(), lib->ids.end(), text);
    if (it == lib->ids.end()) return false;
    EngineView ev;
    ev.engine = nb::borrow(engine);
    ev.model = engine.attr("model");
    ev.adapter_names = engine.attr("adapter_names");
    ev.adapter_count = (size_t) nb::len(ev.adapter_names);
    if (!install_row_deltas(ev)) return false;
    ev.plan->groups.clear();
    RowPlan::Group g;
    g.adapter = lib->first + (size_t) (it - lib->ids.begin());
    ev.plan->row_adapter.assign(1, (int64_t) g.adapter);  // generate runs one row
    for (nb::object &m : ev.plan->masks) m = nb::object();
    ev.plan->groups.push_back(std::move(g));
    ev.plan->active = true;
    return true;
}

void library_generate_end(nb::handle engine) noexcept {
    try {
        nb::object kept = nb::getattr(engine, "_row_plan", nb::none());
        if (kept.is_none()) return;
        RowPlan &plan = **static_cast<std::shared_ptr<RowPlan> *>(nb::cast<nb::capsule>(kept).data());
        plan.active = false;
        plan.groups.clear();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("ending a library fine-tune's generation");
    } catch (...) {
    }
}

void register_library(nb::module_ &m) {
    m.def("_library_prepare", &prepare, "engine"_a,
          "Sets a library engine's base source (the library's base id when none was given) and its precision.");
    m.def("_library_base", &load_base, "engine"_a, "source"_a,
          "The library's base as a transformers model: configuration from `source`, weights from the library.");
    m.def("_library_attach", &attach, "engine"_a,
          "Sorts the chosen fine-tunes' records for per-row use and names them as models; returns their "
          "resident bytes.");
    m.def("_library_report", &report, "engine"_a, "Lines of the serve report about the library.");
}

}  // namespace vz::serve
