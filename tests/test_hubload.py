import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from velkor_zuma import hubload

PATTERNS = ["*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"]


def save_np(path, tensors):
    from safetensors.numpy import save_file

    save_file(tensors, str(path))
    return path


def save_torch(path, tensors):
    from safetensors.torch import save_file

    save_file(tensors, str(path))
    return path


def rand(shape, seed, dtype=np.float32):
    return np.random.default_rng(seed).standard_normal(shape).astype(dtype)


def bf16(shape, seed):
    import torch

    return torch.from_numpy(rand(shape, seed)).to(torch.bfloat16)


def stored_keys(shard):
    from safetensors import safe_open

    with safe_open(str(shard), framework="np") as f:
        return list(f.keys())


# ---- import ----------------------------------------------------------------------------------


def test_import_needs_numpy_only():
    code = (
        "import sys, velkor_zuma.hubload as h\n"
        "heavy = {'torch', 'transformers', 'safetensors', 'datasets', 'huggingface_hub'}\n"
        "print(sorted(heavy & set(sys.modules)), h.np.__name__, h.os.__name__, h.Path.__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.split() == ["[]", "numpy", "os", "Path"]


# ---- ensure_cache ----------------------------------------------------------------------------


@pytest.fixture
def clean_env(monkeypatch):
    # setenv first, so that teardown removes whatever the test's calls wrote.
    for name in ("HF_HOME", "HF_HUB_DISABLE_SYMLINKS_WARNING"):
        monkeypatch.setenv(name, "placeholder")
        monkeypatch.delenv(name)
    return monkeypatch


def test_ensure_cache_sets_unset_variables(clean_env, tmp_path):
    target = tmp_path / "does" / "not" / "exist"
    assert hubload.ensure_cache(str(target)) is None
    assert os.environ["HF_HOME"] == str(target)
    assert os.getenv("HF_HUB_DISABLE_SYMLINKS_WARNING") == "1"
    assert not target.exists() and list(tmp_path.iterdir()) == []
    # The process environment itself changed, as child processes see it.
    out = subprocess.run([sys.executable, "-c", "import os; print(os.environ['HF_HOME'])"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(target)


def test_ensure_cache_keeps_existing_values(clean_env):
    clean_env.setenv("HF_HOME", "/user/choice")
    clean_env.setenv("HF_HUB_DISABLE_SYMLINKS_WARNING", "0")
    hubload.ensure_cache("/other")
    assert os.environ["HF_HOME"] == "/user/choice"
    assert os.environ["HF_HUB_DISABLE_SYMLINKS_WARNING"] == "0"


def test_ensure_cache_first_call_wins(clean_env):
    hubload.ensure_cache("/first")
    hubload.ensure_cache(cache_dir="/second")
    assert os.environ["HF_HOME"] == "/first"


@pytest.mark.parametrize("bad, tname", [(Path("/x"), "PosixPath"), (None, "NoneType"), (b"/x", "bytes")])
def test_ensure_cache_refuses_non_str(clean_env, bad, tname):
    with pytest.raises(TypeError, match=rf"^Argument 'cache_dir' has incorrect type \(expected str, got {tname}\)$"):
        hubload.ensure_cache(bad)
    assert "HF_HOME" not in os.environ


# ---- snapshot --------------------------------------------------------------------------------


@pytest.fixture
def fake_download(monkeypatch, tmp_path):
    import huggingface_hub

    calls = []

    def snapshot_download(*args, **kwargs):
        calls.append((args, kwargs))
        return str(tmp_path / "snap")

    monkeypatch.setattr(huggingface_hub, "snapshot_download", snapshot_download)
    return calls


def test_snapshot_makes_the_exact_call(fake_download, tmp_path):
    for call in (lambda: hubload.snapshot("org/model"), lambda: hubload.snapshot(repo_id="org/model")):
        fake_download.clear()
        out = call()
        assert type(out) is type(tmp_path) and out == tmp_path / "snap"
        assert fake_download == [(("org/model",), {"allow_patterns": PATTERNS})]


def test_snapshot_type_error_before_download(fake_download):
    with pytest.raises(TypeError, match=r"^Argument 'repo_id' has incorrect type \(expected str, got PosixPath\)$"):
        hubload.snapshot(Path("org/model"))
    assert fake_download == []


def test_snapshot_passes_download_errors_through(monkeypatch):
    import huggingface_hub

    def boom(*args, **kwargs):
        raise ConnectionError("offline")

    monkeypatch.setattr(huggingface_hub, "snapshot_download", boom)
    with pytest.raises(ConnectionError, match="offline"):
        hubload.snapshot("org/model")


# ---- shard inventory -------------------------------------------------------------------------


def touch(path, size):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"x" * size)
    return path


def test_shard_files_sorted_top_level_only(tmp_path):
    touch(tmp_path / "model-00002-of-00002.safetensors", 1)
    touch(tmp_path / "model-00001-of-00002.safetensors", 1)
    touch(tmp_path / "B.safetensors", 1)  # case-sensitive path order: upper case first
    touch(tmp_path / "sub" / "inner.safetensors", 1)
    touch(tmp_path / "weights.safetensors.bak", 1)
    touch(tmp_path / "config.json", 1)
    shards = hubload._shard_files(tmp_path)
    assert type(shards) is list
    assert [p.name for p in shards] == ["B.safetensors", "model-00001-of-00002.safetensors",
                                         "model-00002-of-00002.safetensors"]
    assert all(isinstance(p, Path) for p in shards)


@pytest.mark.parametrize("fn", [hubload._shard_files, hubload.model_disk_bytes,
                                hubload.load_state_dict_numpy, hubload.load_state_dict_numpy_safe])
@pytest.mark.parametrize("where", ["empty", "missing", "only_nested"])
def test_no_shards_is_file_not_found(tmp_path, fn, where):
    d = tmp_path / "m"
    if where != "missing":
        d.mkdir()
    if where == "only_nested":
        touch(d / "sub" / "model.safetensors", 4)
        touch(d / "model.safetensors.bak", 4)
    with pytest.raises(FileNotFoundError) as err:
        fn(d)
    assert str(err.value) == f"No .safetensors in {d}"


def test_model_disk_bytes_counts_shards_only(tmp_path):
    touch(tmp_path / "a.safetensors", 10)
    touch(tmp_path / "b.safetensors", 20)
    touch(tmp_path / "config.json", 5)
    touch(tmp_path / "sub" / "c.safetensors", 100)
    assert hubload.model_disk_bytes(tmp_path) == 30
    assert type(hubload.model_disk_bytes(model_dir=tmp_path)) is int


def test_model_disk_bytes_follows_links(tmp_path):
    # The hub cache's snapshot files are symbolic links to blobs.
    blob = touch(tmp_path / "blobs" / "abc123", 1234)
    snap = tmp_path / "snap"
    snap.mkdir()
    (snap / "model.safetensors").symlink_to(blob)
    assert hubload.model_disk_bytes(snap) == 1234


def test_model_disk_bytes_is_native_size(tmp_path):
    import torch

    save_torch(tmp_path / "model.safetensors", {"w": torch.zeros(1000, dtype=torch.bfloat16)})
    size = (tmp_path / "model.safetensors").stat().st_size
    assert 2000 <= size < 4000 and hubload.model_disk_bytes(tmp_path) == size


# ---- state dict loading ----------------------------------------------------------------------

LOADERS = [hubload.load_state_dict_numpy, hubload.load_state_dict_numpy_safe]


@pytest.mark.parametrize("load", LOADERS)
def test_float32_shard_exact_in_reader_order(tmp_path, load):
    tensors = {"zeta": rand((4, 3), 0), "alpha": rand((5,), 1), "mid.w": rand((2, 2, 2), 2)}
    shard = save_np(tmp_path / "model.safetensors", tensors)
    out = load(tmp_path)
    assert list(out) == stored_keys(shard)
    for k, v in tensors.items():
        assert out[k].dtype == np.float32 and out[k].shape == v.shape
        np.testing.assert_array_equal(out[k], v)


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("stored, dtype", [(np.float32, np.float16), (np.float16, np.float32),
                                           (np.float16, "float64"), (np.float32, np.float32)])
def test_dtype_argument_numpy_path(tmp_path, load, stored, dtype):
    tensors = {"a": rand((3, 4), 3, stored), "b": rand((7,), 4, stored)}
    save_np(tmp_path / "model.safetensors", tensors)
    out = load(tmp_path, dtype=dtype)
    for k, v in tensors.items():
        assert out[k].dtype == np.dtype(dtype)
        np.testing.assert_array_equal(out[k], v.astype(dtype))


def test_bfloat16_shard(tmp_path):
    import torch

    tensors = {"w": bf16((8, 4), 5), "b": bf16((4,), 6)}
    save_torch(tmp_path / "model.safetensors", tensors)
    with pytest.raises(Exception):
        hubload.load_state_dict_numpy(tmp_path)
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert sorted(out) == ["b", "w"]
    for k, t in tensors.items():
        assert out[k].dtype == np.float32
        np.testing.assert_array_equal(out[k], t.to(torch.float32).numpy())  # exact widening


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_fallback_goes_through_float32(tmp_path, dtype):
    import torch

    t = bf16((6, 5), 7)
    shard = save_torch(tmp_path / "model.safetensors", {"w": t})
    expect = t.to(torch.float32).numpy().astype(dtype)
    for out in (hubload._bf16_safe_load(shard, dtype), hubload._bf16_safe_load(shard=shard, dtype=dtype),
                hubload.load_state_dict_numpy_safe(tmp_path, dtype)):
        assert out["w"].dtype == np.dtype(dtype)
        np.testing.assert_array_equal(out["w"], expect)


def test_mixed_checkpoint_orders_by_shard(tmp_path):
    import torch
    from safetensors.torch import load_file

    first = save_np(tmp_path / "model-00001-of-00002.safetensors", {"y": rand((3,), 8), "x": rand((2, 2), 9)})
    second = save_torch(tmp_path / "model-00002-of-00002.safetensors", {"q": bf16((4,), 10), "p": bf16((2,), 11)})
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert list(out) == stored_keys(first) + list(load_file(str(second)))
    np.testing.assert_array_equal(out["x"], rand((2, 2), 9))
    np.testing.assert_array_equal(out["p"], bf16((2,), 11).to(torch.float32).numpy())


@pytest.mark.parametrize("load", LOADERS)
def test_shared_name_keeps_first_position_and_last_value(tmp_path, load):
    save_np(tmp_path / "model-00001-of-00002.safetensors", {"a": rand((2,), 1), "shared": np.ones(3, np.float32)})
    save_np(tmp_path / "model-00002-of-00002.safetensors", {"shared": np.full(3, 2, np.float32), "z": rand((2,), 2)})
    out = load(tmp_path)
    assert list(out) == ["a", "shared", "z"]
    np.testing.assert_array_equal(out["shared"], np.full(3, 2, np.float32))


def test_shared_name_across_paths(tmp_path):
    import torch

    save_np(tmp_path / "a.safetensors", {"shared": np.ones(3, np.float32), "t": rand((2,), 1)})
    save_torch(tmp_path / "b.safetensors", {"shared": torch.full((3,), 2.5, dtype=torch.bfloat16)})
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert list(out) == ["shared", "t"]
    np.testing.assert_array_equal(out["shared"], np.full(3, 2.5, np.float32))


@pytest.mark.parametrize("load", LOADERS)
def test_nested_and_backup_shards_ignored(tmp_path, load):
    save_np(tmp_path / "model.safetensors", {"top": rand((2,), 1)})
    (tmp_path / "sub").mkdir()
    save_np(tmp_path / "sub" / "model.safetensors", {"nested": rand((2,), 2)})
    save_np(tmp_path / "model.safetensors.bak", {"backup": rand((2,), 3)})
    assert list(load(tmp_path)) == ["top"]


def test_partial_shard_is_reloaded_whole(tmp_path, monkeypatch):
    # "a" reads fine through numpy before "b" (bfloat16) fails it; the reload wins for all three.
    import torch

    save_torch(tmp_path / "model.safetensors", {"a": torch.ones(2), "b": torch.ones(2, dtype=torch.bfloat16),
                                                "c": torch.ones(2)})
    seen = []

    def marked(shard, dtype):
        seen.append((Path(shard).name, dtype))
        return {"c": np.full(2, 3.0, np.float32), "b": np.full(2, 2.0, np.float32),
                "a": np.full(2, 1.5, np.float32)}

    monkeypatch.setattr(hubload, "_bf16_safe_load", marked)
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert seen == [("model.safetensors", np.float32)]
    assert list(out) == ["a", "c", "b"]
    assert out["a"][0] == 1.5 and out["b"][0] == 2.0 and out["c"][0] == 3.0


@pytest.mark.parametrize("error", [RuntimeError, ImportError, ValueError])
def test_any_ordinary_error_falls_back(tmp_path, monkeypatch, error):
    import safetensors

    tensors = {"w": rand((3, 2), 1), "v": rand((4,), 2)}
    save_np(tmp_path / "model.safetensors", tensors)

    def broken(*args, **kwargs):
        raise error("numpy path unavailable")

    monkeypatch.setattr(safetensors, "safe_open", broken)
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert sorted(out) == ["v", "w"]
    np.testing.assert_array_equal(out["w"], tensors["w"])
    with pytest.raises(error, match="numpy path unavailable"):
        hubload.load_state_dict_numpy(tmp_path)


def test_interrupt_is_not_swallowed(tmp_path, monkeypatch):
    import safetensors

    save_np(tmp_path / "model.safetensors", {"w": rand((2,), 1)})

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(safetensors, "safe_open", interrupted)
    with pytest.raises(KeyboardInterrupt):
        hubload.load_state_dict_numpy_safe(tmp_path)


def test_damaged_shard_fallback_error_propagates(tmp_path):
    save_np(tmp_path / "a.safetensors", {"w": rand((2,), 1)})
    touch(tmp_path / "b.safetensors", 64)
    with pytest.raises(Exception) as err:
        hubload.load_state_dict_numpy_safe(tmp_path)
    assert not isinstance(err.value, FileNotFoundError)


def test_shard_closed_after_read_error(tmp_path, monkeypatch):
    # The numpy path leaves the shard through its context manager even when a read fails.
    import safetensors

    save_np(tmp_path / "model.safetensors", {"w": rand((2,), 1)})
    real = safetensors.safe_open
    events = []

    class Tracking:
        def __init__(self, *args, **kwargs):
            self.inner = real(*args, **kwargs)

        def __enter__(self):
            events.append("enter")
            self.inner.__enter__()
            return self

        def __exit__(self, *exc):
            events.append(("exit", exc[0]))
            return self.inner.__exit__(*exc)

        def keys(self):
            return ["w"]

        def get_tensor(self, name):
            raise OSError("read failed")

    monkeypatch.setattr(safetensors, "safe_open", Tracking)
    with pytest.raises(OSError, match="read failed"):
        hubload.load_state_dict_numpy(tmp_path)
    assert events == ["enter", ("exit", OSError)]


def test_missing_safetensors(tmp_path, monkeypatch):
    # The robust loader lists shards before importing anything; the plain one imports first.
    monkeypatch.setitem(sys.modules, "safetensors", None)
    with pytest.raises(FileNotFoundError):
        hubload.load_state_dict_numpy_safe(tmp_path)
    with pytest.raises(ImportError):
        hubload.load_state_dict_numpy(tmp_path)


# ---- perplexity ------------------------------------------------------------------------------


def corpus_lines(n=300):
    rng = np.random.default_rng(0)
    words = ("the model stores many fine tunes of one base as compressed deltas weights are read "
             "from shards into arrays perplexity measures surprise").split()
    lines = []
    for i in range(n):
        kind = i % 10
        if kind == 3:
            lines.append("")
        elif kind == 6:
            lines.append("  \t ")
        else:
            body = " ".join(rng.choice(words, size=int(rng.integers(6, 14))))
            lines.append(f" {body} \n" if kind == 0 else body)
    return lines


@pytest.fixture
def wikitext(monkeypatch):
    """Replaces datasets.load_dataset with a local split; .calls records the arguments."""
    import datasets

    class Fake:
        lines = corpus_lines()
        calls = []

    def load_dataset(*args, **kwargs):
        Fake.calls.append((args, kwargs))
        return datasets.Dataset.from_dict({"text": list(Fake.lines)})

    monkeypatch.setattr(datasets, "load_dataset", load_dataset)
    return Fake


@pytest.fixture(scope="module")
def tokenizer(tiny_model_dir):
    from transformers import AutoTokenizer

    return AutoTokenizer.from_pretrained(str(tiny_model_dir))


@pytest.fixture(scope="module")
def corpus_len(tiny_model_dir, tokenizer):
    kept = [ln for ln in corpus_lines() if ln.strip()]
    return len(tokenizer("\n\n".join(kept))["input_ids"])


@pytest.fixture
def forwards(monkeypatch):
    """Records (row shape, scored labels) of every forward call of the tiny model."""
    from transformers import LlamaForCausalLM

    real = LlamaForCausalLM.forward
    calls = []

    def counting(self, *args, **kwargs):
        labels = kwargs["labels"]
        calls.append((tuple(args[0].shape), int((labels != -100).sum()), labels[0].tolist()))
        return real(self, *args, **kwargs)

    monkeypatch.setattr(LlamaForCausalLM, "forward", counting)
    return calls


def test_wikitext_ids_join_rule(tiny_model_dir, tokenizer, wikitext, corpus_len):
    kept = [ln for ln in wikitext.lines if ln.strip()]
    assert len(kept) < len(wikitext.lines) and any(ln != ln.strip() for ln in kept)
    expect = tokenizer("\n\n".join(kept))["input_ids"]
    ids = hubload._load_wikitext_ids(tiny_model_dir, 0)
    assert ids.ndim == 1 and ids.tolist() == expect
    assert wikitext.calls == [(("Salesforce/wikitext", "wikitext-2-raw-v1"), {"split": "test"})]
    assert hubload._load_wikitext_ids(model_dir=tiny_model_dir, max_tokens=100.9).tolist() == expect[:100]
    assert hubload._load_wikitext_ids(tiny_model_dir, corpus_len + 50).tolist() == expect


@pytest.mark.parametrize("max_tokens, window, stride, rows, scored", [
    (2000, 1024, 512, [1024, 1024, 976], [1024, 512, 464]),
    (1024, 1024, 512, [1024], [1024]),
    (4096, 1024, 512, [1024] * 7, [1024] + [512] * 6),
    (1000, 100, 300, [100] * 4, [100] * 4),   # gaps between windows: nothing masked
    (700, 300, 300, [300, 300, 100], [300, 300, 100]),
    (500, 2**62, 2**62, [500], [500]),
    (500, 200, 2**62, [200], [200]),
])
def test_window_arithmetic(tiny_model_dir, wikitext, forwards, corpus_len, max_tokens, window, stride, rows, scored):
    assert corpus_len > 4096
    ppl = hubload.perplexity_from_state_dict(tiny_model_dir, None, max_tokens=max_tokens, window=window,
                                             stride=stride)
    assert [shape for shape, _, _ in forwards] == [(1, r) for r in rows]
    assert [n for _, n, _ in forwards] == scored
    for (shape, n, labels) in forwards:  # the masked positions are the leading ones
        assert labels[: shape[1] - n] == [-100] * (shape[1] - n) and -100 not in labels[shape[1] - n:]
    assert isinstance(ppl, float) and 1.0 < ppl < 10 * 384


def test_default_and_uncapped_windows(tiny_model_dir, wikitext, forwards, corpus_len):
    hubload.perplexity_from_state_dict(tiny_model_dir, None)
    assert [n for _, n, _ in forwards] == [1024] + [512] * 6
    forwards.clear()
    hubload.perplexity_from_state_dict(tiny_model_dir, None, max_tokens=0, window=2048, stride=2048)
    assert sum(n for _, n, _ in forwards) == corpus_len


def test_own_weights_match_baseline_and_perturbed_are_worse(tiny_model_dir, wikitext):
    kw = dict(max_tokens=600, window=256, stride=128)
    base = hubload.perplexity_from_state_dict(tiny_model_dir, None, **kw)
    own = hubload.load_state_dict_numpy_safe(tiny_model_dir)
    assert not any("lm_head" in k for k in own)  # tied embeddings: the head is not stored
    assert hubload.perplexity_from_state_dict(tiny_model_dir, own, **kw) == base
    rng = np.random.default_rng(1)
    noisy = {k: v + rng.standard_normal(v.shape).astype(np.float32) for k, v in own.items()}
    assert hubload.perplexity_from_state_dict(model_dir=tiny_model_dir, state_dict=noisy, **kw) > base * 1.5
    # The caller's arrays are left as they were.
    np.testing.assert_array_equal(own["model.norm.weight"], hubload.load_state_dict_numpy(tiny_model_dir)["model.norm.weight"])


def test_state_dict_mismatch(tiny_model_dir, wikitext):
    own = hubload.load_state_dict_numpy_safe(tiny_model_dir)
    head = {**own, "lm_head.weight": own["model.embed_tokens.weight"]}
    assert hubload.perplexity_from_state_dict(tiny_model_dir, head, max_tokens=64) > 1.0
    short = dict(own)
    del short["model.norm.weight"], short["model.layers.1.mlp.up_proj.weight"]
    short["extra.bias"] = np.zeros(2, np.float32)
    with pytest.raises(RuntimeError) as err:
        hubload.perplexity_from_state_dict(tiny_model_dir, short, max_tokens=64)
    assert str(err.value) == ("state_dict mismatch missing=['model.layers.1.mlp.up_proj.weight', "
                              "'model.norm.weight'] unexpected=['extra.bias']")


def test_empty_text_and_zero_loss_give_one(tiny_model_dir, wikitext, forwards, monkeypatch):
    wikitext.lines = ["", "   ", "\t"]
    assert hubload.perplexity_from_state_dict(tiny_model_dir, None) == 1.0
    assert forwards == []
    wikitext.lines = corpus_lines()

    from transformers import LlamaForCausalLM

    real = LlamaForCausalLM.forward

    def zero_loss(self, *args, **kwargs):
        out = real(self, *args, **kwargs)
        out.loss = out.loss * 0.0
        return out

    monkeypatch.setattr(LlamaForCausalLM, "forward", zero_loss)
    assert hubload.perplexity_from_state_dict(tiny_model_dir, None, max_tokens=300, window=128, stride=64) == 1.0


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(state_dict=[]), TypeError, "Argument 'state_dict' has incorrect type (expected dict, got list)"),
    (dict(max_tokens="9"), TypeError, "Argument 'max_tokens' has incorrect type (expected int, got str)"),
    (dict(window=None), TypeError, "Argument 'window' has incorrect type (expected int, got NoneType)"),
    (dict(stride=0), ValueError, "window and stride must be positive, got window=1024 stride=0"),
    (dict(stride=-512), ValueError, "window and stride must be positive, got window=1024 stride=-512"),
    (dict(window=0.5), ValueError, "window and stride must be positive, got window=0 stride=512"),
    (dict(max_tokens=-5), ValueError, "max_tokens must not be negative, got max_tokens=-5"),
])
def test_bad_arguments_fail_before_loading(tmp_path, kwargs, exc, message):
    # The model directory does not exist: any loading would fail with another error.
    args = dict(state_dict=None)
    args.update(kwargs)
    sd = args.pop("state_dict")
    with pytest.raises(exc) as err:
        hubload.perplexity_from_state_dict(tmp_path / "nothing", sd, **args)
    assert str(err.value) == message


def test_wikitext_ids_bad_cap(tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'max_tokens' has incorrect type \(expected int, got str\)$"):
        hubload._load_wikitext_ids(tmp_path, "10")
    with pytest.raises(ValueError, match="^max_tokens must not be negative, got max_tokens=-1$"):
        hubload._load_wikitext_ids(tmp_path, -1)


def test_window_keywords_are_keyword_only(tiny_model_dir):
    with pytest.raises(TypeError):
        hubload.perplexity_from_state_dict(tiny_model_dir, None, 4096)

