// velkor_zuma.hubload: Hugging Face hub checkpoints to numpy state dicts, and their perplexity.
#include "modules/hubload/hubload.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace bind = vz::bind;
namespace hl = vz::hubload;

NB_MODULE(hubload, m) {
    m.doc() = "Hub model I/O: cache location, snapshots, safetensors shards into numpy state dicts, perplexity.";
    // What the module itself loads at import: os, pathlib.Path and numpy. Everything heavier
    // is imported inside the functions that use it.
    nb::module_ np = bind::numpy();
    m.attr("os") = bind::import("os");
    m.attr("Path") = bind::import("pathlib").attr("Path");
    m.attr("np") = np;

    m.def("ensure_cache", &hl::ensure_cache, "cache_dir"_a.none(), nb::sig("def ensure_cache(cache_dir: str) -> None"),
          "Point the hub client's cache at cache_dir (sets HF_HOME and HF_HUB_DISABLE_SYMLINKS_WARNING=1,\n"
          "each only where not already set). Call before transformers or huggingface_hub are imported.");
    m.def("snapshot", &hl::snapshot, "repo_id"_a.none(), nb::sig("def snapshot(repo_id: str) -> pathlib.Path"),
          "Download (or reuse from the cache) the weights, configuration and tokenizer files of a hub\n"
          "repository and return its local snapshot directory.");
    m.def("_shard_files", &hl::shard_files, "model_dir"_a.none(),
          nb::sig("def _shard_files(model_dir: pathlib.Path) -> list[pathlib.Path]"),
          "The top-level *.safetensors files of model_dir, sorted; FileNotFoundError when there is none.");
    m.def("model_disk_bytes", &hl::model_disk_bytes, "model_dir"_a.none(),
          nb::sig("def model_disk_bytes(model_dir: pathlib.Path) -> int"),
          "Total on-disk size of the weight shards of model_dir, as shipped (symbolic links followed).");

    m.def("load_state_dict_numpy", &hl::load_state_dict_numpy, "model_dir"_a.none(),
          "dtype"_a.none() = np.attr("float32"),
          nb::sig("def load_state_dict_numpy(model_dir: pathlib.Path, dtype: numpy.typing.DTypeLike = numpy.float32) "
                  "-> dict[str, numpy.ndarray]"),
          "Read every shard through safetensors' numpy backend into one state dict cast to dtype.");
    m.def(
        "_bf16_safe_load", &hl::bf16_safe_load, "shard"_a.none(), "dtype"_a.none(),
        nb::sig("def _bf16_safe_load(shard: pathlib.Path, dtype: numpy.typing.DTypeLike) -> dict[str, numpy.ndarray]"),
        "Read one shard through torch, every tensor widened to float32 and then cast to dtype.");
    m.def("load_state_dict_numpy_safe", &hl::load_state_dict_numpy_safe, "model_dir"_a.none(),
          "dtype"_a.none() = np.attr("float32"),
          nb::sig("def load_state_dict_numpy_safe(model_dir: pathlib.Path, dtype: numpy.typing.DTypeLike = "
                  "numpy.float32) -> dict[str, numpy.ndarray]"),
          "Like load_state_dict_numpy, but a shard the numpy path fails on (bfloat16, ...) is reread\n"
          "through torch with _bf16_safe_load.");

    m.def("_load_wikitext_ids", &hl::load_wikitext_ids, "model_dir"_a.none(), "max_tokens"_a.none(),
          nb::sig("def _load_wikitext_ids(model_dir: pathlib.Path, max_tokens: int) -> torch.Tensor"),
          "Token ids of the wikitext-2 test split (non-blank lines joined by blank lines), capped at\n"
          "max_tokens (0: no cap).");
    m.def("perplexity_from_state_dict", &hl::perplexity_from_state_dict, "model_dir"_a.none(), "state_dict"_a.none(),
          nb::kw_only(), "max_tokens"_a.none() = 4096, "window"_a.none() = 1024, "stride"_a.none() = 512,
          nb::sig(
              "def perplexity_from_state_dict(model_dir: pathlib.Path, state_dict: dict[str, numpy.ndarray] | None, *, "
              "max_tokens: int = 4096, window: int = 1024, stride: int = 512) -> float"),
          "Perplexity on wikitext-2 of the model in model_dir, with state_dict (if given) loaded over its\n"
          "weights, scored over sliding windows.");
    m.def("_load_text_ids", &hl::load_text_ids, "model_dir"_a.none(), "text_file"_a.none(), "max_tokens"_a.none(),
          nb::sig("def _load_text_ids(model_dir: pathlib.Path, text_file: str | os.PathLike[str], max_tokens: int) -> "
                  "torch.Tensor"),
          "Token ids of a UTF-8 text file as it is, capped at max_tokens (0: no cap); a capped file is read "
          "only as far as the cap needs.");
    m.def("perplexity_from_text", &hl::perplexity_from_text, "model_dir"_a.none(), "state_dict"_a.none(),
          "text_file"_a.none(), nb::kw_only(), "max_tokens"_a.none() = 4096, "window"_a.none() = 1024,
          "stride"_a.none() = 512,
          nb::sig("def perplexity_from_text(model_dir: pathlib.Path, state_dict: dict[str, numpy.ndarray] | None, "
                  "text_file: str | os.PathLike[str], *, max_tokens: int = 4096, window: int = 1024, "
                  "stride: int = 512) -> float"),
          "Perplexity on the text of text_file (offline) of the model in model_dir, with state_dict (if\n"
          "given) loaded over its weights, with the windows of perplexity_from_state_dict.");
}
