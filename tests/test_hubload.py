import contextlib
import os
import subprocess
import sys
import types
from pathlib import Path
from unittest import mock

import numpy as np
import pytest

from velkor_zuma import hubload

PATTERNS = ["*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"]
LOADERS = [hubload.load_state_dict_numpy, hubload.load_state_dict_numpy_safe]


def save(path, tensors):
    """Writes a shard with the real safetensors library: its numpy writer, or torch's for tensors."""
    import safetensors.numpy
    import safetensors.torch
    numpy_only = all(isinstance(v, np.ndarray) for v in tensors.values())
    (safetensors.numpy if numpy_only else safetensors.torch).save_file(tensors, str(path))
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


def touch(path, size):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"x" * size)
    return path


def test_import_needs_numpy_only():
    code = ("import sys, velkor_zuma.hubload as h\n"
            "heavy = {'torch', 'transformers', 'safetensors', 'datasets', 'huggingface_hub'}\n"
            "print(sorted(heavy & set(sys.modules)), h.np.__name__, h.os.__name__, h.Path.__name__)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.split() == ["[]", "numpy", "os", "Path"]


# ---- ensure_cache, snapshot and the shard inventory ------------------------------------------


def test_ensure_cache_sets_only_unset_variables(monkeypatch, tmp_path):
    # setenv first, so that teardown removes whatever the test's calls wrote.
    for name in ("HF_HOME", "HF_HUB_DISABLE_SYMLINKS_WARNING"):
        monkeypatch.setenv(name, "placeholder")
        monkeypatch.delenv(name)
    for bad, tname in [(Path("/x"), "PosixPath"), (None, "NoneType"), (b"/x", "bytes")]:
        message = rf"^Argument 'cache_dir' has incorrect type \(expected str, got {tname}\)$"
        with pytest.raises(TypeError, match=message):
            hubload.ensure_cache(bad)
        assert "HF_HOME" not in os.environ
    target = tmp_path / "does" / "not" / "exist"
    assert hubload.ensure_cache(str(target)) is None
    hubload.ensure_cache(cache_dir="/second")  # the first call's value wins
    assert os.environ["HF_HOME"] == str(target) and os.getenv("HF_HUB_DISABLE_SYMLINKS_WARNING") == "1"
    assert not target.exists() and list(tmp_path.iterdir()) == []
    # The process environment itself changed, as child processes see it.
    out = subprocess.run([sys.executable, "-c", "import os; print(os.environ['HF_HOME'])"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(target)
    # The user's own values are kept.
    monkeypatch.setenv("HF_HOME", "/user/choice")
    monkeypatch.setenv("HF_HUB_DISABLE_SYMLINKS_WARNING", "0")
    hubload.ensure_cache("/other")
    assert (os.environ["HF_HOME"], os.environ["HF_HUB_DISABLE_SYMLINKS_WARNING"]) == ("/user/choice", "0")


def test_snapshot(monkeypatch, tmp_path):
    import huggingface_hub
    download = mock.Mock(return_value=str(tmp_path / "snap"))
    monkeypatch.setattr(huggingface_hub, "snapshot_download", download)
    for out in (hubload.snapshot("org/model"), hubload.snapshot(repo_id="org/model")):
        assert type(out) is type(tmp_path) and out == tmp_path / "snap"
    assert download.call_args_list == [mock.call("org/model", allow_patterns=PATTERNS)] * 2
    # A wrong type fails before any download.
    with pytest.raises(TypeError, match=r"^Argument 'repo_id' has incorrect type \(expected str, got PosixPath\)$"):
        hubload.snapshot(Path("org/model"))
    assert download.call_count == 2
    # Download errors pass through unchanged.
    monkeypatch.setattr(huggingface_hub, "snapshot_download", mock.Mock(side_effect=ConnectionError("offline")))
    with pytest.raises(ConnectionError, match="offline"):
        hubload.snapshot("org/model")


def test_shard_files_and_disk_bytes(tmp_path):
    import torch
    # Z.safetensors is a real bfloat16 shard: its size on disk is the native one, not float32's.
    save(tmp_path / "Z.safetensors", {"w": torch.zeros(1000, dtype=torch.bfloat16)})
    native = (tmp_path / "Z.safetensors").stat().st_size
    assert 2000 <= native < 4000
    touch(tmp_path / "model-00002-of-00002.safetensors", 20)
    touch(tmp_path / "model-00001-of-00002.safetensors", 10)
    # The hub cache's snapshot files are symbolic links to blobs.
    (tmp_path / "linked.safetensors").symlink_to(touch(tmp_path / "blobs" / "abc123", 1234))
    touch(tmp_path / "sub" / "inner.safetensors", 100)  # not counted: nested, a backup, not a shard
    touch(tmp_path / "weights.safetensors.bak", 100)
    touch(tmp_path / "config.json", 5)
    shards = hubload._shard_files(tmp_path)
    assert type(shards) is list and all(isinstance(p, Path) for p in shards)
    # case-sensitive path order: upper case first
    assert [p.name for p in shards] == ["Z.safetensors", "linked.safetensors", "model-00001-of-00002.safetensors",
                                         "model-00002-of-00002.safetensors"]
    assert hubload.model_disk_bytes(tmp_path) == native + 1234 + 10 + 20
    assert type(hubload.model_disk_bytes(model_dir=tmp_path)) is int


@pytest.mark.parametrize("fn", [hubload._shard_files, hubload.model_disk_bytes, *LOADERS])
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


# ---- state dict loading ----------------------------------------------------------------------


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("stored, dtype", [(np.float32, None), (np.float32, np.float16), (np.float16, np.float32),
                                           (np.float16, "float64"), (np.float32, np.float32)])
def test_numpy_path(tmp_path, load, stored, dtype):
    """Shards in path order, each in reader order; a name in two shards keeps its first position and
    takes the last value; nested and backup shards are ignored. dtype None: the default, float32."""
    first = {"zeta": rand((4, 3), 0, stored), "alpha": rand((5,), 1, stored), "shared": rand((2, 2, 2), 2, stored)}
    second = {"shared": rand((2, 2, 2), 3, stored), "mid.w": rand((3,), 4, stored)}
    shard = save(tmp_path / "model-00001-of-00002.safetensors", first)
    save(tmp_path / "model-00002-of-00002.safetensors", second)
    (tmp_path / "sub").mkdir()
    save(tmp_path / "sub" / "model.safetensors", {"nested": rand((2,), 5)})
    save(tmp_path / "model.safetensors.bak", {"backup": rand((2,), 6)})
    out = load(tmp_path) if dtype is None else load(tmp_path, dtype=dtype)
    assert list(out) == stored_keys(shard) + ["mid.w"]
    for k, v in {**first, **second}.items():
        assert out[k].dtype == np.dtype(dtype or np.float32) and out[k].shape == v.shape
        np.testing.assert_array_equal(out[k], v.astype(dtype or np.float32))


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_bfloat16_shard_goes_through_float32(tmp_path, dtype):
    # A float32 shard, then a bfloat16 one (sharing a name) that only the torch fallback reads.
    from safetensors.torch import load_file
    x, halves = rand((2, 2), 9), {"q": bf16((4,), 10), "shared": bf16((3,), 12), "p": bf16((2,), 11)}
    first = save(tmp_path / "a.safetensors", {"y": rand((3,), 8), "shared": np.ones(3, np.float32), "x": x})
    second = save(tmp_path / "b.safetensors", halves)
    widened = {"x": x, **{k: t.float().numpy() for k, t in halves.items()}}  # exact widening
    with pytest.raises(Exception):
        hubload.load_state_dict_numpy(tmp_path)
    order = stored_keys(first) + [k for k in load_file(str(second)) if k not in stored_keys(first)]
    for out, dt in [(hubload.load_state_dict_numpy_safe(tmp_path), np.float32),
                    (hubload.load_state_dict_numpy_safe(tmp_path, dtype), dtype)]:
        assert list(out) == order
        for k, v in widened.items():
            assert out[k].dtype == np.dtype(dt)
            np.testing.assert_array_equal(out[k], v.astype(dt))
    for out in (hubload._bf16_safe_load(second, dtype), hubload._bf16_safe_load(shard=second, dtype=dtype)):
        assert sorted(out) == sorted(halves)
        np.testing.assert_array_equal(out["q"], widened["q"].astype(dtype))
        assert out["q"].dtype == np.dtype(dtype)
    # A shard that the fallback cannot read either ends the call with its error.
    touch(tmp_path / "c.safetensors", 64)
    with pytest.raises(Exception) as err:
        hubload.load_state_dict_numpy_safe(tmp_path)
    assert not isinstance(err.value, FileNotFoundError)


def test_partial_shard_is_reloaded_whole(tmp_path, monkeypatch):
    # "a" reads fine through numpy before "b" (bfloat16) fails it; the reload wins for all three.
    import torch
    save(tmp_path / "model.safetensors", {"a": torch.ones(2), "b": torch.ones(2, dtype=torch.bfloat16),
                                          "c": torch.ones(2)})
    reload = mock.Mock(return_value={"c": np.full(2, 3.0, np.float32), "b": np.full(2, 2.0, np.float32),
                                     "a": np.full(2, 1.5, np.float32)})
    monkeypatch.setattr(hubload, "_bf16_safe_load", reload)
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert reload.call_args_list == [mock.call(tmp_path / "model.safetensors", np.float32)]
    assert list(out) == ["a", "c", "b"]
    assert out["a"][0] == 1.5 and out["b"][0] == 2.0 and out["c"][0] == 3.0


@pytest.mark.parametrize("error, at", [(RuntimeError, "open"), (ImportError, "open"), (ValueError, "read"),
                                       (OSError, "read"), (KeyboardInterrupt, "open"), (KeyboardInterrupt, "read")])
def test_numpy_path_errors(tmp_path, monkeypatch, error, at):
    """An error opening or reading a shard through numpy: the plain loader raises it, leaving an opened
    shard through its context manager; the robust one sends the shard to the fallback on any ordinary
    error but lets an interrupt through."""
    import safetensors
    tensors = {"w": rand((3, 2), 1), "v": rand((4,), 2)}
    save(tmp_path / "model.safetensors", tensors)
    events = []

    def fail(*args, **kwargs):
        raise error("numpy path unavailable")

    @contextlib.contextmanager
    def opened(*args, **kwargs):
        events.append("enter")
        try:
            yield types.SimpleNamespace(keys=lambda: ["w", "v"], get_tensor=fail)
        except BaseException as exc:
            events.append(("exit", type(exc)))
            raise

    monkeypatch.setattr(safetensors, "safe_open", fail if at == "open" else opened)
    with pytest.raises(error, match="numpy path unavailable"):
        hubload.load_state_dict_numpy(tmp_path)
    assert events == ([] if at == "open" else ["enter", ("exit", error)])
    if error is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            hubload.load_state_dict_numpy_safe(tmp_path)
        return
    out = hubload.load_state_dict_numpy_safe(tmp_path)
    assert sorted(out) == ["v", "w"]
    np.testing.assert_array_equal(out["w"], tensors["w"])


def test_missing_safetensors(tmp_path, monkeypatch):
    # The robust loader lists shards before importing anything; the plain one imports first.
    monkeypatch.setitem(sys.modules, "safetensors", None)
    with pytest.raises(FileNotFoundError):
        hubload.load_state_dict_numpy_safe(tmp_path)
    with pytest.raises(ImportError):
        hubload.load_state_dict_numpy(tmp_path)


# ---- perplexity ------------------------------------------------------------------------------


def corpus_lines(n=300):
    """Random sentences, every tenth one padded, with blank and whitespace-only lines mixed in."""
    rng = np.random.default_rng(0)
    words = ("the model stores many fine tunes of one base as compressed deltas weights are read "
             "from shards into arrays perplexity measures surprise").split()
    lines = [" ".join(rng.choice(words, size=int(rng.integers(6, 14)))) for _ in range(n)]
    return [{0: f" {ln} \n", 3: "", 6: "  \t "}.get(i % 10, ln) for i, ln in enumerate(lines)]


@pytest.fixture
def wikitext(monkeypatch):
    """Replaces datasets.load_dataset with a local split of .lines; .load is the replacement."""
    import datasets
    fake = types.SimpleNamespace(lines=corpus_lines())
    fake.load = mock.Mock(side_effect=lambda *a, **kw: datasets.Dataset.from_dict({"text": list(fake.lines)}))
    monkeypatch.setattr(datasets, "load_dataset", fake.load)
    return fake


@pytest.fixture(scope="module")
def expected_ids(tiny_model_dir):
    """The corpus's token ids under the join rule: non-blank lines, as they are, joined by blank lines."""
    from transformers import AutoTokenizer
    kept = [ln for ln in corpus_lines() if ln.strip()]
    return AutoTokenizer.from_pretrained(str(tiny_model_dir))("\n\n".join(kept))["input_ids"]


def patch_forward(monkeypatch, wrap):
    """Passes every forward call's output of the tiny model through wrap(out, args, kwargs)."""
    from transformers import LlamaForCausalLM
    real = LlamaForCausalLM.forward
    monkeypatch.setattr(LlamaForCausalLM, "forward", lambda self, *a, **kw: wrap(real(self, *a, **kw), a, kw))


@pytest.fixture
def forwards(monkeypatch):
    """Records (row shape, scored labels, labels) of every forward call of the tiny model."""
    calls = []

    def record(out, args, kwargs):
        labels = kwargs["labels"]
        calls.append((tuple(args[0].shape), int((labels != -100).sum()), labels[0].tolist()))
        return out

    patch_forward(monkeypatch, record)
    return calls


def test_wikitext_ids(tiny_model_dir, wikitext, expected_ids, tmp_path):
    kept = [ln for ln in wikitext.lines if ln.strip()]
    assert len(kept) < len(wikitext.lines) and any(ln != ln.strip() for ln in kept)
    ids = hubload._load_wikitext_ids(tiny_model_dir, 0)
    assert ids.ndim == 1 and ids.tolist() == expected_ids
    assert wikitext.load.call_args_list == [mock.call("Salesforce/wikitext", "wikitext-2-raw-v1", split="test")]
    assert hubload._load_wikitext_ids(model_dir=tiny_model_dir, max_tokens=100.9).tolist() == expected_ids[:100]
    assert hubload._load_wikitext_ids(tiny_model_dir, len(expected_ids) + 50).tolist() == expected_ids
    # A bad cap fails before anything is loaded (tmp_path holds no tokenizer).
    with pytest.raises(TypeError, match=r"^Argument 'max_tokens' has incorrect type \(expected int, got str\)$"):
        hubload._load_wikitext_ids(tmp_path, "10")
    with pytest.raises(ValueError, match="^max_tokens must not be negative, got max_tokens=-1$"):
        hubload._load_wikitext_ids(tmp_path, -1)


@pytest.mark.parametrize("kwargs, rows, scored", [
    (dict(max_tokens=2000, window=1024, stride=512), [1024, 1024, 976], [1024, 512, 464]),
    (dict(max_tokens=1024, window=1024, stride=512), [1024], [1024]),
    ({}, [1024] * 7, [1024] + [512] * 6),  # defaults: 4096 tokens, window 1024, stride 512
    (dict(max_tokens=1000, window=100, stride=300), [100] * 4, [100] * 4),  # gaps between windows: nothing masked
    (dict(max_tokens=700, window=300, stride=300), [300, 300, 100], [300, 300, 100]),
    (dict(max_tokens=500, window=2**62, stride=2**62), [500], [500]),
    (dict(max_tokens=500, window=200, stride=2**62), [200], [200]),
    (dict(max_tokens=0, window=2048, stride=2048), None, None),  # uncapped: the whole corpus is scored
    # A last window of one token starts a token earlier, that token serving as context only.
    (dict(max_tokens=601, window=300, stride=300), [300, 300, 2], [300, 300, 1]),
    (dict(max_tokens=201, window=100, stride=200), [100, 2], [100, 1]),
])
def test_window_arithmetic(tiny_model_dir, wikitext, forwards, expected_ids, kwargs, rows, scored):
    assert len(expected_ids) > 4096
    ppl = hubload.perplexity_from_state_dict(tiny_model_dir, None, **kwargs)
    if rows is None:
        assert sum(n for _, n, _ in forwards) == len(expected_ids)
    else:
        assert [shape for shape, _, _ in forwards] == [(1, r) for r in rows]
        assert [n for _, n, _ in forwards] == scored
    for (shape, n, labels) in forwards:  # the masked positions are the leading ones
        assert labels[: shape[1] - n] == [-100] * (shape[1] - n) and -100 not in labels[shape[1] - n:]
    assert isinstance(ppl, float) and 1.0 < ppl < 10 * 384


def test_state_dict_argument(tiny_model_dir, wikitext):
    kw = dict(max_tokens=600, window=256, stride=128)
    with pytest.raises(TypeError):  # max_tokens, window and stride are keyword-only
        hubload.perplexity_from_state_dict(tiny_model_dir, None, 600)
    base = hubload.perplexity_from_state_dict(tiny_model_dir, None, **kw)
    own = hubload.load_state_dict_numpy_safe(tiny_model_dir)
    assert not any("lm_head" in k for k in own)  # tied embeddings: the head is not stored
    assert hubload.perplexity_from_state_dict(tiny_model_dir, own, **kw) == base
    rng = np.random.default_rng(1)
    noisy = {k: v + rng.standard_normal(v.shape).astype(np.float32) for k, v in own.items()}
    assert hubload.perplexity_from_state_dict(model_dir=tiny_model_dir, state_dict=noisy, **kw) > base * 1.5
    # The caller's arrays are left as they were.
    fresh = hubload.load_state_dict_numpy(tiny_model_dir)
    np.testing.assert_array_equal(own["model.norm.weight"], fresh["model.norm.weight"])
    # A stored head is accepted too; any other missing or unexpected name is refused.
    head = {**own, "lm_head.weight": own["model.embed_tokens.weight"]}
    assert hubload.perplexity_from_state_dict(tiny_model_dir, head, **kw) == base
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

    def zero_loss(out, args, kwargs):
        out.loss = out.loss * 0.0
        return out

    patch_forward(monkeypatch, zero_loss)
    assert hubload.perplexity_from_state_dict(tiny_model_dir, None, max_tokens=300, window=128, stride=64) == 1.0


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(state_dict=[]), TypeError, "Argument 'state_dict' has incorrect type (expected dict, got list)"),
    (dict(max_tokens="9"), TypeError, "Argument 'max_tokens' has incorrect type (expected int, got str)"),
    (dict(window=None), TypeError, "Argument 'window' has incorrect type (expected int, got NoneType)"),
    (dict(stride=0), ValueError, "window and stride must be positive, got window=1024 stride=0"),
    (dict(stride=-512), ValueError, "window and stride must be positive, got window=1024 stride=-512"),
    (dict(window=0.5), ValueError, "window and stride must be positive, got window=0 stride=512"),
    (dict(max_tokens=-5), ValueError, "max_tokens must not be negative, got max_tokens=-5"),
    (dict(window=1), ValueError, "window must be at least 2 tokens (a window of one token has nothing to predict), "
                                 "got window=1"),
])
def test_bad_arguments_fail_before_loading(tmp_path, kwargs, exc, message):
    # The model directory does not exist: any loading would fail with another error.
    kwargs = dict(kwargs)
    sd = kwargs.pop("state_dict", None)
    with pytest.raises(exc) as err:
        hubload.perplexity_from_state_dict(tmp_path / "nothing", sd, **kwargs)
    assert str(err.value) == message



# ---- perplexity on a text file ------------------------------------------------------------------


def test_one_token_is_refused_not_scored_as_nan(tiny_model_dir, wikitext, tmp_path):
    from transformers import AutoTokenizer
    one = tmp_path / "one.txt"
    one.write_text("a", encoding="utf-8")
    assert len(AutoTokenizer.from_pretrained(str(tiny_model_dir))("a")["input_ids"]) == 1
    with pytest.raises(ValueError, match=r"^the text file '.*one.txt' holds one token: perplexity needs at least "
                                         r"2 tokens$"):
        hubload.perplexity_from_text(tiny_model_dir, None, one)
    two = tmp_path / "two.txt"
    two.write_text("a model", encoding="utf-8")
    with pytest.raises(ValueError, match=r"^max_tokens=1 leaves one token: perplexity needs at least 2 tokens$"):
        hubload.perplexity_from_text(tiny_model_dir, None, two, max_tokens=1)
    with pytest.raises(ValueError, match=r"^perplexity needs at least 2 tokens, got 1$"):
        hubload.perplexity_from_state_dict(tiny_model_dir, None, max_tokens=1)
    assert 1.0 < hubload.perplexity_from_text(tiny_model_dir, None, two, max_tokens=2) < 10 * 384


def test_a_capped_text_is_read_only_as_far_as_it_needs(tiny_model_dir, tmp_path):
    from transformers import AutoTokenizer
    # " assistant" is one token of the tiny tokenizer: ten characters a token, so a cap of 7000
    # outgrows the first prefix read and the prefix is cut inside a word. Bytes that are not
    # UTF-8 past the text show that nothing beyond what the cap needs was read.
    text = " assistant" * 30_000
    ids = AutoTokenizer.from_pretrained(str(tiny_model_dir))(text)["input_ids"]
    f = tmp_path / "long.txt"
    f.write_bytes(text.encode() + b"\xff\xfe not text" * 1000)
    for cap in (5, 7000):
        assert hubload._load_text_ids(tiny_model_dir, f, cap).tolist() == ids[:cap]
    with pytest.raises(UnicodeDecodeError):
        hubload._load_text_ids(tiny_model_dir, f, 0)  # uncapped: the whole file is read
    whole = tmp_path / "whole.txt"
    whole.write_text(text, encoding="utf-8")
    assert hubload._load_text_ids(tiny_model_dir, whole, 0).tolist() == ids
    assert hubload._load_text_ids(tiny_model_dir, whole, len(ids) + 10).tolist() == ids
