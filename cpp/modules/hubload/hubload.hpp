// Hub model I/O: the hub cache location, snapshot download, the shard inventory of a snapshot
// directory, safetensors shards into numpy state dicts, and sliding-window perplexity.
//
// Every optional library (huggingface_hub, safetensors, torch, transformers, datasets) is
// imported inside the call that needs it, so importing the module needs numpy only. Helpers
// that other functions of this module use are looked up on the module at call time, the way a
// Python module resolves its globals, so a caller that replaces one (a test, a wrapper) is seen.
#pragma once

#include "bind/bind.hpp"

#include <cstdint>

namespace hubload {
namespace nb = nanobind;

inline constexpr const char *kModule = "velkor_zuma.hubload";

// `from <module> import <name>`: imports the module, then takes the attribute; a missing
// attribute is an ImportError, as with the import statement.
nb::object from_import(const char *module, const char *name);

// A function of this module, looked up at call time.
nb::object own(const char *name);

// Python's `int(obj)` for an integral result (obj.__index__ / __int__) and `float(obj)`.
int64_t to_i64(nb::handle obj);
double to_f64(nb::handle obj);

// Raises `exc_type(message)` as a Python exception.
[[noreturn]] void raise(PyObject *exc_type, const std::string &message);

// `key in container`.
bool contains(nb::handle container, const char *key);

// str(obj) as UTF-8.
std::string text(nb::handle obj);

// Runs `body(value)` as `with mgr as value: body(value)` would: __exit__ sees the error (and
// may suppress it) on every exit path, and None triples on a normal one.
template <typename Body>
void with_context(nb::handle mgr, Body &&body) {
    nb::handle type = (PyObject *) Py_TYPE(mgr.ptr());
    nb::object exit = type.attr("__exit__");
    nb::object value = type.attr("__enter__")(mgr);
    try {
        body(value);
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        if (!tb.is_valid()) tb = nb::none();
        nb::object suppress = exit(mgr, e.type(), e.value(), tb);
        int truth = PyObject_IsTrue(suppress.ptr());
        if (truth < 0) throw nb::python_error();
        if (truth) return;
        throw;
    } catch (...) {
        exit(mgr, nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(mgr, nb::none(), nb::none(), nb::none());
}

// ---- the hub cache, snapshots and the shard inventory ----------------------------------------
void ensure_cache(nb::handle cache_dir);
nb::object snapshot(nb::handle repo_id);
nb::list shard_files(nb::handle model_dir);
nb::object model_disk_bytes(nb::handle model_dir);

// ---- state dicts from safetensors shards -----------------------------------------------------
nb::dict load_state_dict_numpy(nb::handle model_dir, nb::handle dtype);
nb::dict bf16_safe_load(nb::handle shard, nb::handle dtype);
nb::dict load_state_dict_numpy_safe(nb::handle model_dir, nb::handle dtype);

// ---- perplexity ------------------------------------------------------------------------------
nb::object load_wikitext_ids(nb::handle model_dir, nb::handle max_tokens);
double perplexity_from_state_dict(nb::handle model_dir, nb::handle state_dict, nb::handle max_tokens,
                                  nb::handle window, nb::handle stride);
nb::object load_text_ids(nb::handle model_dir, nb::handle text_file, nb::handle max_tokens);
double perplexity_from_text(nb::handle model_dir, nb::handle state_dict, nb::handle text_file, nb::handle max_tokens,
                            nb::handle window, nb::handle stride);

}  // namespace hubload
