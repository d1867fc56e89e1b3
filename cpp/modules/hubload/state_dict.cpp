// Safetensors shards into one state dict of numpy arrays.
//
// The numpy reader cannot produce bfloat16 (numpy has no such type), so the robust loader
// reads shard by shard and sends any shard the numpy path fails on through torch instead.
#include "modules/hubload/hubload.hpp"

namespace vz::hubload {
using namespace nb::literals;

namespace {

// Stores every tensor of one shard, read through the numpy backend and cast without a copy
// where the type already matches, into `out` (a name seen before keeps its position).
void read_shard_numpy(nb::handle safe_open, nb::handle shard, nb::handle dtype, nb::dict &out) {
    nb::object opened = safe_open(shard, "framework"_a = "np");
    bind::with_context(opened, [&](nb::handle f) {
        nb::object names = f.attr("keys")();
        nb::object get_tensor = f.attr("get_tensor");
        for (nb::handle name : names) out[name] = get_tensor(name).attr("astype")(dtype, "copy"_a = false);
    });
}

}  // namespace

nb::dict load_state_dict_numpy(nb::handle model_dir, nb::handle dtype) {
    nb::object safe_open = bind::from_import("safetensors", "safe_open");
    nb::dict out;
    for (nb::handle shard : own("_shard_files")(model_dir)) read_shard_numpy(safe_open, shard, dtype, out);
    return out;
}

nb::dict bf16_safe_load(nb::handle shard, nb::handle dtype) {
    nb::module_ torch = bind::import("torch");
    nb::object load_file = bind::from_import("safetensors.torch", "load_file");
    nb::object loaded = load_file(nb::str(shard));
    // Whatever the stored type, every tensor passes through float32 (numpy has no bfloat16).
    nb::object f32 = torch.attr("float32");
    nb::dict out;
    for (nb::handle item : loaded.attr("items")()) {
        nb::object name = item[0], tensor = item[1];
        out[name] = tensor.attr("to")(f32).attr("numpy")().attr("astype")(dtype, "copy"_a = false);
    }
    return out;
}

nb::dict load_state_dict_numpy_safe(nb::handle model_dir, nb::handle dtype) {
    nb::dict out;
    for (nb::handle shard : own("_shard_files")(model_dir)) {
        bool fallback = false;
        try {
            nb::object safe_open = bind::from_import("safetensors", "safe_open");
            read_shard_numpy(safe_open, shard, dtype, out);
        } catch (nb::python_error &e) {
            // Any ordinary error (bfloat16, missing package, damaged shard, failed cast) sends
            // the shard to torch; KeyboardInterrupt, SystemExit and the like still end the call.
            if (!e.matches(PyExc_Exception)) throw;
            fallback = true;
        } catch (std::exception &) {
            fallback = true;  // a C++-side failure here would surface as an ordinary error too
        }
        // The whole shard is reloaded: tensors stored before the failure take the new arrays
        // and keep their positions; the rest are appended. Errors here end the call.
        if (fallback) out.attr("update")(own("_bf16_safe_load")(shard, dtype));
    }
    return out;
}

}  // namespace vz::hubload
