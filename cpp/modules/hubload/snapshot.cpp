// Where the hub client keeps its cache, fetching a snapshot, and the weight shards of one.
#include "modules/hubload/hubload.hpp"

namespace vz::hubload {
using namespace nb::literals;

void ensure_cache(nb::handle cache_dir) {
    nb::str dir = bind::arg_str(cache_dir, "cache_dir");
    // os.environ, so Python code and the libraries loaded later both see the values.
    nb::object environ = bind::import("os").attr("environ");
    // A value already present (the user's, or an earlier call's) always wins.
    if (!bind::contains(environ, "HF_HOME")) environ["HF_HOME"] = dir;
    if (!bind::contains(environ, "HF_HUB_DISABLE_SYMLINKS_WARNING"))
        environ["HF_HUB_DISABLE_SYMLINKS_WARNING"] = nb::str("1");
}

nb::object snapshot(nb::handle repo_id) {
    nb::str repo = bind::arg_str(repo_id, "repo_id");
    nb::object snapshot_download = bind::from_import("huggingface_hub", "snapshot_download");
    // Weights, configuration and tokenizer files; the cache location comes from the environment.
    nb::list patterns;
    for (const char *p : {"*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"}) patterns.append(nb::str(p));
    nb::object local_dir = snapshot_download(repo, "allow_patterns"_a = patterns);
    return bind::import("pathlib").attr("Path")(local_dir);
}

nb::list shard_files(nb::handle model_dir) {
    // Top-level matches only, in path order so numbered shards come in number order.
    nb::object matches = model_dir.attr("glob")("*.safetensors");
    nb::list shards = nb::borrow<nb::list>(bind::steal_or_raise(PySequence_List(matches.ptr())));
    if (PyList_Sort(shards.ptr()) < 0) nb::raise_python_error();
    if (nb::len(shards) == 0) bind::raise(PyExc_FileNotFoundError, "No .safetensors in " + bind::text(model_dir));
    return shards;
}

nb::object model_disk_bytes(nb::handle model_dir) {
    nb::object shards = own("_shard_files")(model_dir);
    // Exact Python integer; stat follows the symbolic links that the hub cache uses.
    nb::object total = nb::int_(0);
    for (nb::handle shard : shards) {
        total = bind::steal_or_raise(PyNumber_Add(total.ptr(), shard.attr("stat")().attr("st_size").ptr()));
    }
    return total;
}

}  // namespace vz::hubload
