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

namespace vz::hubload {

inline constexpr const char *kModule = "velkor_zuma.hubload";

// A function of this module, looked up at call time.
inline nb::object own(const char *name) { return bind::module_attr(kModule, name); }

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
double perplexity_from_state_dict(nb::handle model_dir, nb::handle state_dict, nb::handle max_tokens, nb::handle window,
                                  nb::handle stride);
nb::object load_text_ids(nb::handle model_dir, nb::handle text_file, nb::handle max_tokens);
double perplexity_from_text(nb::handle model_dir, nb::handle state_dict, nb::handle text_file, nb::handle max_tokens,
                            nb::handle window, nb::handle stride);

}  // namespace vz::hubload
