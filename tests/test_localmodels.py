"""Local GGUF models: Ollama and LM Studio discovery on real directory trees, GGUF loading on
files written by the gguf library's own writer."""

import hashlib
import json
import mmap
import os
import re
import signal
import struct
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import velkor_zuma
from velkor_zuma import localmodels as lm
from waiting import PATIENCE

REGISTRY = "registry.ollama.ai"
PKG_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(velkor_zuma.__file__)))


def check_outcome(call, want, **fmt):
    """`want` is the expected path, or (exception type, exact message or a function of **fmt building it, or None)."""
    if not isinstance(want, tuple):
        assert isinstance(got := call(), Path) and got == want
        return
    exc, msg = want
    msg = msg(**fmt) if callable(msg) else msg and msg.format(**fmt)
    with pytest.raises(exc, match=None if msg is None else "^" + re.escape(msg) + "$"):
        call()


# --- Ollama store ----------------------------------------------------------------------------

MODEL, TEMPLATE = "application/vnd.ollama.image.model", "application/vnd.ollama.image.template"
OTHER = "application/x-other"
LIB = f"{REGISTRY}/library"


def hexof(tag):
    """The 64 hex digits standing for a blob called `tag` in these fixtures."""
    return hashlib.sha256(tag.encode()).hexdigest()


def blob_name(tag):
    return "sha256-" + hexof(tag)


def layer(tag, size=None, media=MODEL):
    return {"mediaType": media, "digest": "sha256:" + hexof(tag), **({} if size is None else {"size": size})}


MANIFESTS = {
    # the usual case: weights, template and license layers, all blobs present
    f"{LIB}/llama3.2/latest": {"config": {"digest": "sha256:cfg", "size": 999}, "layers": [
        layer("w1", 100), layer("t1", 20, TEMPLATE), layer("l1", 5, "application/vnd.ollama.image.license")]},
    # weights blob missing: the largest existing blob is the answer (ties: the first)
    f"{LIB}/mistral/7b": {"layers": [
        layer("gone", 4000), layer("m-small", 10, OTHER), layer("m-big1", 30, OTHER), layer("m-big2", 30, OTHER)]},
    # weights layer found after a non-model layer; a tag holding ":"
    f"{LIB}/qwen/7b:q4": {"layers": [layer("qt", 7, TEMPLATE), layer("qw", 70)]},
    "hf.co/someuser/othermodel/q4": {"layers": [layer("o1", 42)]},      # another registry and namespace
    f"{LIB}/ghost/latest": {"layers": [layer("nope", 3)]},              # no blob at all
    f"{LIB}/nodigest/latest": {"layers": [{"mediaType": MODEL}]},       # a weights layer without digest
    f"{LIB}/nosize/latest": {"layers": [{"digest": "sha256:x"}, {"size": 4}]},
    f"{LIB}/nolayers/latest": {},
    # damaged manifests: bad JSON, non-object layers, sizes that do not add up, not an object
    f"{LIB}/broken/latest": "{not json",
    f"{LIB}/intlayers/latest": {"layers": [1, 2]},
    f"{LIB}/badsize/latest": {"layers": [{"size": 1}, {"size": "2"}]},
    f"{LIB}/listtop/latest": [1, 2],
    "stray": "{}",                  # directly under manifests: fewer than two components
}
BLOBS = {"w1": 100, "t1": 20, "l1": 5, "m-small": 10, "m-big1": 30, "m-big2": 30, "qt": 7, "qw": 70, "o1": 42}


def write_store(root, manifests, blobs):
    for rel, content in manifests.items():
        (root / "manifests" / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / "manifests" / rel).write_text(content if isinstance(content, str) else json.dumps(content))
    (root / "blobs").mkdir(parents=True, exist_ok=True)
    for digest, n in blobs.items():
        (root / "blobs" / blob_name(digest)).write_bytes(b"\x01" * n)
    return root


@pytest.fixture
def ollama(tmp_path, monkeypatch):
    root = write_store(tmp_path / "ollama-models", MANIFESTS, BLOBS)
    monkeypatch.setattr(lm, "OLLAMA_HOME", root)
    return root


# Runs in a fresh interpreter: OLLAMA_MODELS changed after loading must be ignored.
IMPORT_PROBE = """
import json, os, sys
from velkor_zuma import localmodels as lm
os.environ['OLLAMA_MODELS'] = '/set/after/load'
try: lm.find_ollama_blob('x')
except FileNotFoundError as e: msg = str(e)
print(json.dumps({'default': str(lm._OLLAMA_DEFAULT), 'home': str(lm.OLLAMA_HOME), 'msg': msg,
                  'types': [type(lm._OLLAMA_DEFAULT).__name__, type(lm.OLLAMA_HOME).__name__],
                  'models': lm.list_ollama_models(), 'gguf': 'gguf' in sys.modules}))
"""


@pytest.mark.parametrize("setting", ["unset", "dir", "empty"])
def test_ollama_home_fixed_at_import(tmp_path, ollama, setting):
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "OLLAMA_MODELS"}
    env.update(HOME=str(home), PYTHONPATH=os.pathsep.join([PKG_PARENT, os.environ.get("PYTHONPATH", "")]))
    env.update({"unset": {}, "dir": {"OLLAMA_MODELS": str(ollama)}, "empty": {"OLLAMA_MODELS": ""}}[setting])
    out = subprocess.run([sys.executable, "-c", IMPORT_PROBE], capture_output=True, text=True, env=env, cwd=ollama)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    default = str(home / ".ollama" / "models")
    assert got["default"] == default and got["types"] == ["PosixPath", "PosixPath"]
    assert got["home"] == {"unset": default, "dir": str(ollama), "empty": "."}[setting]
    assert got["msg"].startswith("Ollama model 'x:latest' not found in ") and "/set/after/load" not in got["msg"]
    assert not got["gguf"]   # gguf is imported only when loading
    # the empty value is the current directory, which here is the store
    assert (got["models"] == [] if setting == "unset"
            else {"name": "llama3.2:latest", "size_bytes": 125} in got["models"])


def test_list_ollama_models_and_home_redirect(ollama, tmp_path, monkeypatch):
    got = lm.list_ollama_models()
    manifests = ollama / "manifests"
    walk = [p for p in manifests.rglob("*") if p.is_file() and len(p.relative_to(manifests).parts) >= 2]
    damaged = {"broken", "intlayers", "badsize", "listtop"}
    assert [m["name"] for m in got] == [f"{p.parent.name}:{p.name}" for p in walk if p.parent.name not in damaged]
    assert {m["name"]: m["size_bytes"] for m in got} == {
        "llama3.2:latest": 125, "mistral:7b": 4070, "qwen:7b:q4": 77, "othermodel:q4": 42, "ghost:latest": 3,
        "nodigest:latest": 0, "nosize:latest": 4, "nolayers:latest": 0}
    assert all(list(m) == ["name", "size_bytes"] and type(m["size_bytes"]) is int for m in got)
    # assigning the module attribute redirects both functions
    other = write_store(tmp_path / "other", {f"{LIB}/llama3.2/latest": {"layers": [layer("zz", 1)]}}, {"zz": 1})
    monkeypatch.setattr(lm, "OLLAMA_HOME", other)
    assert lm.find_ollama_blob("llama3.2") == other / "blobs" / blob_name("zz")
    assert [m["name"] for m in lm.list_ollama_models()] == ["llama3.2:latest"]
    # no store at all: nothing listed, nothing found
    monkeypatch.setattr(lm, "OLLAMA_HOME", tmp_path / "nowhere")
    assert lm.list_ollama_models() == []
    with pytest.raises(FileNotFoundError, match="not found in .*nowhere/manifests"):
        lm.find_ollama_blob("llama3.2")


NOT_PULLED = ("Ollama model '{0}' not found in {{root}}/manifests.\n"
              "Run `ollama pull {0}` first, or set OLLAMA_MODELS to your Ollama models directory.")


@pytest.mark.parametrize("name, want", [
    ("llama3.2", "w1"),
    ("llama3.2:latest", "w1"),
    ("mistral:7b", "m-big1"),            # weights blob missing: largest, first of equals
    ("qwen:7b:q4", "qw"),                # tag keeps its own ":"; model layer after another
    ("othermodel:q4", "o1"),             # found by the recursive search
    ("hf.co/someuser/othermodel:q4", "o1"),
    ("phi3", (FileNotFoundError, NOT_PULLED.format("phi3:latest"))),
    ("phi3:mini", (FileNotFoundError, NOT_PULLED.format("phi3:mini"))),
    ("ghost", (FileNotFoundError, "No GGUF blob found for 'ghost:latest' in {root}/blobs")),
    ("nodigest", (KeyError, "'digest'")),
    ("broken", (json.JSONDecodeError, None)),
    (b"llama3.2", (TypeError, "Argument 'model_name' has incorrect type (expected str, got bytes)")),
    (None, (TypeError, "Argument 'model_name' has incorrect type (expected str, got NoneType)")),
])
def test_find_ollama_blob(ollama, name, want):
    # the same name and tag also under another namespace: the default library copy wins
    write_store(ollama, {"aaa/ns/llama3.2/latest": {"layers": [layer("o1", 42)]}}, {})
    assert lm._OLLAMA_REGISTRY == REGISTRY
    check_outcome(lambda: lm.find_ollama_blob(name), ollama / "blobs" / blob_name(want) if isinstance(want, str)
                  else want, root=ollama)


# --- LM Studio -------------------------------------------------------------------------------

LLAMA = "lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-"
LMS_FILES = {
    LLAMA + "Q4_K_M.gguf": 11, LLAMA + "Q8_0.gguf": 22, "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_K_M.gguf": 33,
    "bartowski/Qwen2-0.5B-GGUF/qwen2-0_5b-instruct-q5_k_m.gguf": 44,
    "backup/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf.old.gguf": 55,
}


def make_tree(root, files):
    root.mkdir(parents=True, exist_ok=True)
    for rel, n in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(b"\0" * n)
    return root


@pytest.fixture
def lmstudio(tmp_path, monkeypatch):
    root = make_tree(tmp_path / "lmroot-zq", {**LMS_FILES, "TheBloke/Mistral-7B-GGUF/README.md": 3})
    monkeypatch.setenv("LMSTUDIO_MODELS", str(root))
    return root


@pytest.mark.parametrize("osname, sysname, parts", [
    ("posix", "Linux", (".cache", "lm-studio", "models")),
    ("posix", "Darwin", (".lmstudio", "models")),
    ("posix", "FreeBSD", (".cache", "lm-studio", "models")),
    ("nt", "Darwin", (".cache", "lm-studio", "models")),   # os.name decides first
])
@pytest.mark.parametrize("env", [None, "", "mine"])   # empty counts as unset
def test_lmstudio_home_by_platform(tmp_path, monkeypatch, osname, sysname, parts, env):
    # pathlib cannot build paths while os.name says "nt" on this host, so the home directory is
    # given ready-made; a set LMSTUDIO_MODELS is read through a stand-in for the module's `os`
    monkeypatch.setattr(Path, "home", classmethod(lambda cls: tmp_path))
    monkeypatch.delenv("LMSTUDIO_MODELS", raising=False)
    uname = types.SimpleNamespace(sysname=sysname)
    if env:
        environ = {"LMSTUDIO_MODELS": str(tmp_path / env)}
        monkeypatch.setattr(lm, "os", types.SimpleNamespace(name=osname, environ=environ, uname=lambda: uname))
    else:
        if env == "":
            monkeypatch.setenv("LMSTUDIO_MODELS", "")
        monkeypatch.setattr(os, "uname", lambda: uname)
        monkeypatch.setattr(os, "name", osname)
    try:
        got = lm._lmstudio_home()
    finally:
        monkeypatch.undo()
    assert got == (tmp_path / "mine" if env else tmp_path.joinpath(*parts))
    assert not got.exists()   # computed only, never created


def test_list_lmstudio_models_and_directory_redirect(lmstudio, tmp_path, monkeypatch):
    got = lm.list_lmstudio_models()
    assert got == [{"name": str(p.relative_to(lmstudio)), "path": str(p), "size_bytes": p.stat().st_size}
                   for p in lmstudio.rglob("*.gguf")]
    assert {m["name"]: m["size_bytes"] for m in got} == LMS_FILES
    assert all(list(m) == ["name", "path", "size_bytes"] for m in got)
    # LMSTUDIO_MODELS is read at every call
    other = make_tree(tmp_path / "other", {"p/m/solo.gguf": 1})
    monkeypatch.setenv("LMSTUDIO_MODELS", str(other))
    assert [m["name"] for m in lm.list_lmstudio_models()] == [os.path.join("p", "m", "solo.gguf")]
    assert lm.find_lmstudio_model("SOLO") == other / "p/m/solo.gguf"
    # so are the module's own `os` and `_lmstudio_home` attributes
    via_os = make_tree(tmp_path / "via-os", {})
    fake_os = types.SimpleNamespace(name="posix", environ={"LMSTUDIO_MODELS": str(via_os)}, uname=None)
    monkeypatch.setattr(lm, "os", fake_os)
    assert lm._lmstudio_home() == via_os
    via_attr = make_tree(tmp_path / "via-attr", {"a/b.gguf": 2})
    monkeypatch.setattr(lm, "_lmstudio_home", lambda: via_attr)
    assert [m["path"] for m in lm.list_lmstudio_models()] == [str(via_attr / "a/b.gguf")]
    assert lm.find_lmstudio_model("B.GGUF") == via_attr / "a/b.gguf"


def ambiguous(selector):
    """The error for a name matching several files: those `selector` accepts, in walk order."""
    def message(name, root):
        rels = [rel for rel in (str(p.relative_to(root)) for p in root.rglob("*.gguf")) if selector(rel)]
        assert len(rels) >= 2
        return f"Multiple matches for '{name}':\n  " + "\n  ".join(rels) + "\nBe more specific."
    return ValueError, message


NO_DIR = "LM Studio models directory not found: {root}\nSet LMSTUDIO_MODELS to your LM Studio models path."
NO_MATCH = "No GGUF matching '{name}' in {root}.\nRun `velkor-zuma list-lmstudio` to see available models."


@pytest.mark.parametrize("name, where, want", [
    (LLAMA + "Q4_K_M.gguf", None, LLAMA + "Q4_K_M.gguf"),   # exact, though the backup also contains it
    ("mistral-7b", None, "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_K_M.gguf"),
    ("QWEN2-0_5B", None, "bartowski/Qwen2-0.5B-GGUF/qwen2-0_5b-instruct-q5_k_m.gguf"),
    ("meta-llama-3.1-8b-instruct-q8_0", None, LLAMA + "Q8_0.gguf"),
    ("old.GGUF", None, "backup/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf.old.gguf"),
    ("", None, ""),                                                 # the models directory itself
    ("TheBloke/Mistral-7B-GGUF", None, "TheBloke/Mistral-7B-GGUF"),   # an existing subdirectory
    ("TheBloke/Mistral-7B-GGUF/README.md", None, "TheBloke/Mistral-7B-GGUF/README.md"),
    (__file__, None, __file__),                                     # an absolute path outside it
    ("Gemma", None, (FileNotFoundError, NO_MATCH)),
    ("README", None, (FileNotFoundError, NO_MATCH)),               # only .gguf files are matched
    ("llama", "empty", (FileNotFoundError, NO_MATCH)),
    ("llama", "absent", (FileNotFoundError, NO_DIR)),
    ("Meta-Llama-3.1-8B", None, ambiguous(lambda rel: "Meta-Llama-3.1-8B" in rel)),
    ("q4_k_m", None, ambiguous(lambda rel: "q4_k_m" in rel.lower())),
    ("lmroot-ZQ", None, ambiguous(lambda rel: True)),   # only in the directory's own path: every file
    (Path("x"), None, (TypeError, "Argument 'name' has incorrect type (expected str, got PosixPath)")),
    (None, None, (TypeError, "Argument 'name' has incorrect type (expected str, got NoneType)")),
])
def test_find_lmstudio_model_by_name(lmstudio, tmp_path, monkeypatch, name, where, want):
    # matching runs over full paths, and tmp_path holds the first 30 characters of the test's
    # id: the function name is that long so that no parameter text reaches the path
    root = tmp_path / where if where else lmstudio
    if where == "empty":
        root.mkdir()
    if where:   # another models directory, empty or missing: nothing listed either
        monkeypatch.setenv("LMSTUDIO_MODELS", str(root))
        assert lm.list_lmstudio_models() == []
    check_outcome(lambda: lm.find_lmstudio_model(name), lmstudio / want if isinstance(want, str) else want,
                  name=name, root=root)


# --- GGUF loading ----------------------------------------------------------------------------

@pytest.fixture
def gguf_file(tmp_path):
    gguf = pytest.importorskip("gguf")
    rng = np.random.default_rng(5)
    q8 = gguf.GGMLQuantizationType.Q8_0
    tensors = {
        "blk.0.attn_q.weight": rng.standard_normal((4, 8)).astype(np.float32),
        "blk.0.ffn.weight": rng.standard_normal((3, 5)).astype(np.float16),
        "f64": rng.standard_normal(6),
        "positions": np.arange(-3, 7, dtype=np.int32),
        "small": np.arange(-4, 4, dtype=np.int8).reshape(2, 4),
        "blk.0.attn_k.weight": gguf.quants.quantize(rng.standard_normal((4, 64)).astype(np.float32), q8),
    }
    w = gguf.GGUFWriter(str(tmp_path / "model.gguf"), "llama")
    for name, arr in tensors.items():
        w.add_tensor(name, arr, raw_dtype=q8 if name == "blk.0.attn_k.weight" else None)
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    return tmp_path / "model.gguf", tensors


def test_load_gguf_tensors(gguf_file):
    gguf = pytest.importorskip("gguf")
    path, src = gguf_file
    sd = lm.load_gguf_tensors(path)
    assert type(sd) is dict and list(sd) == list(src)   # the reader lists the writer's order
    # floats keep their type; int32 of 10 -> 40 bytes; Q8_0 rows of 64 -> 68 block bytes
    assert {k: (a.dtype, a.shape) for k, a in sd.items()} == {
        "blk.0.attn_q.weight": (np.float32, (4, 8)), "blk.0.ffn.weight": (np.float16, (3, 5)),
        "f64": (np.float64, (6,)), "positions": (np.uint8, (40,)), "small": (np.uint8, (2, 4)),
        "blk.0.attn_k.weight": (np.uint8, (4, 68))}
    assert all(sd[k].tobytes() == src[k].tobytes() for k in src)
    raw = path.read_bytes()
    for t in gguf.GGUFReader(str(path)).tensors:
        arr = base = sd[t.name]
        assert arr.tobytes() == raw[t.data_offset:t.data_offset + t.n_bytes]
        assert not arr.flags.writeable          # opened read-only
        while isinstance(base, np.ndarray):     # a view all the way down to the file mapping
            base = base.base
        assert isinstance(base, mmap.mmap)
    # text is accepted as well as a Path, and the argument by keyword
    assert list(lm.load_gguf_tensors(str(path))) == list(lm.load_gguf_tensors(gguf_path=path)) == list(src)


@pytest.mark.parametrize("case", ["absent", "bad magic", "no gguf", "empty gguf"])
def test_load_gguf_errors(monkeypatch, tmp_path, case):
    path = tmp_path / "x.gguf"
    if case in ("absent", "bad magic"):
        pytest.importorskip("gguf")
        if case == "bad magic":
            path.write_bytes(b"NOPE" + b"\0" * 64)
    else:   # the import itself fails, or GGUFReader cannot be imported from it
        monkeypatch.setitem(sys.modules, "gguf", None if case == "no gguf" else types.ModuleType("gguf"))
    with pytest.raises({"absent": FileNotFoundError, "bad magic": ValueError}.get(case, ImportError)) as ei:
        lm.load_gguf_tensors(path)
    if case.endswith("gguf"):   # the two-line hint, chained from the original ImportError
        assert str(ei.value) == 'gguf package required. Install with:\n  pip install "velkor-zuma[ollama]"'
        assert isinstance(ei.value.__cause__, ImportError) and ei.value.__context__ is ei.value.__cause__


def test_gguf_state_dict_deduplicates_across_tenants(gguf_file):
    dedup = pytest.importorskip("velkor_zuma.dedup")
    sd = lm.load_gguf_tensors(gguf_file[0])
    store = dedup.DedupStore()
    store.add_state_dict("tenant-a", sd)
    store.add_state_dict("tenant-b", sd)
    total = sum(a.nbytes for a in sd.values())
    assert (store.naive_bytes(), store.deduped_bytes(), store.dedup_ratio()) == (2 * total, total, 2.0)


# --- Untrusted stores and files --------------------------------------------------------------

CLI = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]


def run_cli(*args, **env):
    full = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_PARENT, os.environ.get("PYTHONPATH", "")]),
                **{k: str(v) for k, v in env.items()})
    full.pop("VELKOR_ZUMA_DEBUG", None)
    return subprocess.run(CLI + list(args), capture_output=True, text=True, env=full, timeout=300)


CAP = 1 << 20   # the largest manifest read


def padded(manifest, size):
    """`manifest` as JSON text of exactly `size` bytes."""
    text = json.dumps({**manifest, "pad": ""})
    return text.replace('"pad": ""', '"pad": "' + "x" * (size - len(text)) + '"')


@pytest.fixture
def hostile(tmp_path, monkeypatch):
    """An Ollama store whose manifests name paths of their own, link out of the store or are too
    large, beside models whose names look like glob patterns; SECRET.txt lies beside the store."""
    root = tmp_path / "store"
    (tmp_path / "SECRET.txt").write_text("secret")
    (tmp_path / "elsewhere.json").write_text(json.dumps({"layers": [layer("w", 1)]}))
    weights = {"layers": [layer("w", 1)]}
    bad = lambda digest, media=MODEL: {"layers": [{"mediaType": media, "digest": digest, "size": 1}]}
    write_store(root, {
        f"{LIB}/etcpasswd/latest": bad("/etc/passwd"),
        f"{LIB}/dotdot/latest": bad("../../SECRET.txt"),
        f"{LIB}/shadotdot/latest": bad("sha256:../../SECRET.txt"),
        f"{LIB}/short/latest": bad("sha256:" + "a" * 63),
        f"{LIB}/upper/latest": bad("SHA256:" + hexof("w")),
        f"{LIB}/notext/latest": bad(5),
        # the weights blob is missing; the fallback must not pick a file outside the blobs
        f"{LIB}/bash/latest": {"layers": [layer("gone", 5), bad("/bin/bash", OTHER)["layers"][0]]},
        f"{LIB}/dashform/latest": bad("sha256-" + hexof("w")),   # the blob file's own name
        f"{LIB}/trav1/latest": weights, f"{LIB}/trav2/latest": weights,
        "other.registry/ns/trav4/latest": weights,
        "other.registry/ns/tr[a]v5/latest": weights,             # brackets in a real name
        f"{LIB}/big/latest": padded(weights, CAP + 1),
        f"{LIB}/justfits/latest": padded(weights, CAP),
        f"{LIB}/linkout/latest": {"layers": [layer("link-out", 1)]},
        f"{LIB}/linkin/latest": {"layers": [layer("link-in", 1)]},
    }, {"w": 1})
    (root / "manifests" / LIB / "outside").mkdir()
    (root / "manifests" / LIB / "outside" / "latest").symlink_to(tmp_path / "elsewhere.json")
    (root / "blobs" / blob_name("link-out")).symlink_to(tmp_path / "SECRET.txt")
    (root / "blobs" / blob_name("link-in")).symlink_to(root / "blobs" / blob_name("w"))
    monkeypatch.setattr(lm, "OLLAMA_HOME", root)
    return root


def INVALID_NAME(name, root):
    full = name if ":" in name else name + ":latest"
    return (f"Invalid Ollama model name '{full}': expected name[:tag] made of plain path components "
            "(no empty, '.' or '..' parts, no backslash)")


def invalid_digest(digest):
    return lambda name, root: (f"Ollama manifest of '{name}:latest' has an invalid layer digest {digest!r} "
                               "(expected 'sha256:' and 64 hex digits)")


@pytest.mark.parametrize("name, want", [
    # digests that are paths, or not sha256 and 64 hex digits
    ("etcpasswd", (ValueError, invalid_digest("/etc/passwd"))),
    ("dotdot", (ValueError, invalid_digest("../../SECRET.txt"))),
    ("shadotdot", (ValueError, invalid_digest("sha256:../../SECRET.txt"))),
    ("short", (ValueError, invalid_digest("sha256:" + "a" * 63))),
    ("upper", (ValueError, invalid_digest("SHA256:" + hexof("w")))),
    ("notext", (ValueError, invalid_digest(5))),
    ("bash", (ValueError, invalid_digest("/bin/bash"))),
    ("dashform", "w"),
    # names that are not plain
    ("/etc:passwd", (ValueError, INVALID_NAME)),
    ("/dev:zero", (ValueError, INVALID_NAME)),
    ("trav1/../trav2:latest", (ValueError, INVALID_NAME)),
    ("../trav2", (ValueError, INVALID_NAME)),
    ("./trav2", (ValueError, INVALID_NAME)),
    ("other.registry//trav4", (ValueError, INVALID_NAME)),
    (":latest", (ValueError, INVALID_NAME)),
    ("trav2:", (ValueError, INVALID_NAME)),
    ("trav2:..", (ValueError, INVALID_NAME)),
    ("trav2:x/latest", (ValueError, INVALID_NAME)),
    ("ns\\trav4", (ValueError, INVALID_NAME)),
    ("trav2\0", (ValueError, INVALID_NAME)),
    # names are matched literally, never as patterns
    ("tr?v2", (FileNotFoundError, NOT_PULLED.format("tr?v2:latest"))),
    ("tr[a]v4", (FileNotFoundError, NOT_PULLED.format("tr[a]v4:latest"))),
    ("tr*", (FileNotFoundError, NOT_PULLED.format("tr*:latest"))),
    ("tr[a]v5", "w"),
    ("ns/trav4", "w"),
    # manifests too large to be one, or outside the store; blobs linking out of it
    ("big", (ValueError, lambda name, root: f"Ollama manifest {root}/manifests/{LIB}/big/latest is larger than "
                                            f"{CAP} bytes; real manifests are a few kilobytes")),
    ("justfits", "w"),
    ("outside", (ValueError, lambda name, root: f"Ollama manifest {root}/manifests/{LIB}/outside/latest resolves to "
                                                f"{root.parent}/elsewhere.json, outside the store's manifests "
                                                f"directory {root}/manifests")),
    ("linkout", (ValueError, lambda name, root: f"Ollama blob {root}/blobs/{blob_name('link-out')} of "
                                                f"'linkout:latest' resolves to {root.parent}/SECRET.txt, outside "
                                                f"the store's blobs directory {root}/blobs")),
    ("linkin", "link-in"),
])
def test_find_ollama_blob_stays_inside_the_store(hostile, name, want):
    check_outcome(lambda: lm.find_ollama_blob(name), hostile / "blobs" / blob_name(want) if isinstance(want, str)
                  else want, name=name, root=hostile)


def test_list_ollama_models_skips_what_is_not_a_manifest(hostile):
    names = [m["name"] for m in lm.list_ollama_models()]
    assert "big:latest" not in names and "outside:latest" not in names   # too large; links out
    assert {"justfits:latest", "etcpasswd:latest", "tr[a]v5:latest", "trav2:latest"} <= set(names)


@pytest.mark.parametrize("source, fragment", [
    ("ollama:etcpasswd", "invalid layer digest '/etc/passwd'"),
    ("ollama:bash", "invalid layer digest '/bin/bash'"),
    ("ollama:/dev:zero", "Invalid Ollama model name '/dev:zero'"),
    ("ollama:trav1/../trav2", "Invalid Ollama model name 'trav1/../trav2:latest'"),
    ("ollama:tr?v2", "Ollama model 'tr?v2:latest' not found"),
])
def test_cli_refuses_hostile_ollama_sources(hostile, source, fragment):
    res = run_cli("dedup", source, OLLAMA_MODELS=hostile)
    assert res.returncode == 1, (res.stdout, res.stderr)
    assert res.stderr.startswith("velkor-zuma: error: ") and fragment in res.stderr
    assert "Traceback" not in res.stderr and "root:" not in res.stderr


@pytest.fixture
def lmstudio_with_bad_links(lmstudio):
    """The LM Studio tree plus a link to itself and a link to nothing, both named like models."""
    (lmstudio / "loop.gguf").symlink_to(lmstudio / "loop.gguf")
    (lmstudio / "TheBloke" / "gone.gguf").symlink_to(lmstudio / "nothing-here")
    return lmstudio


def test_list_lmstudio_models_skips_unreadable_entries(lmstudio_with_bad_links):
    root = lmstudio_with_bad_links
    with pytest.warns(RuntimeWarning) as record:
        got = lm.list_lmstudio_models()
    assert {m["name"]: m["size_bytes"] for m in got} == LMS_FILES
    warned = sorted(str(w.message) for w in record)
    assert len(warned) == 2
    assert warned[0].startswith(f"skipped unreadable LM Studio model file {root / 'TheBloke' / 'gone.gguf'}: ")
    assert warned[1].startswith(f"skipped unreadable LM Studio model file {root / 'loop.gguf'}: ")
    assert "Too many levels of symbolic links" in warned[1]
    # finding by name still works around them
    assert lm.find_lmstudio_model("mistral-7b") == root / "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_K_M.gguf"


def test_cli_list_lmstudio_reports_unreadable_entries(lmstudio_with_bad_links):
    res = run_cli("list-lmstudio", LMSTUDIO_MODELS=lmstudio_with_bad_links)
    assert res.returncode == 0, res.stderr
    assert "mistral-7b.Q4_K_M.gguf" in res.stdout and "loop.gguf" not in res.stdout
    assert "skipped unreadable LM Studio model file" in res.stderr and "loop.gguf" in res.stderr


def write_model(path, endianess=None):
    """A small GGUF file: float32, float16 and Q8_0 tensors and an array in the metadata."""
    gguf = pytest.importorskip("gguf")
    rng = np.random.default_rng(7)
    q8 = gguf.GGMLQuantizationType.Q8_0
    tensors = {"first": rng.standard_normal((4, 8)).astype(np.float32),
               "half": rng.standard_normal((3, 5)).astype(np.float16),
               "last": gguf.quants.quantize(rng.standard_normal((4, 64)).astype(np.float32), q8)}
    w = gguf.GGUFWriter(str(path), "llama", **({} if endianess is None else {"endianess": endianess}))
    w.add_array("test.arr", [1, 2, 3])
    for name, arr in tensors.items():
        w.add_tensor(name, arr, raw_dtype=q8 if name == "last" else None)
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file, w.close):
        step()
    return tensors


def layout(path):
    """Byte positions of the header fields that the crafted files change."""
    gguf = pytest.importorskip("gguf")
    r = gguf.GGUFReader(str(path))
    out = {"data": r.data_offset, "arr_len": r.fields["test.arr"].offset + 8 + len("test.arr") + 8}
    for t in r.tensors:
        dims = t.field.offset + 8 + len(t.name) + 4
        out[t.name] = {"dims": dims, "type": dims + 8 * len(t.shape), "offset": dims + 8 * len(t.shape) + 4,
                       "start": t.data_offset}
    return out


def u64(pos, value):
    return lambda buf, at: struct.pack_into("<Q", buf, at(pos), value)


def u32(pos, value):
    return lambda buf, at: struct.pack_into("<I", buf, at(pos), value)


OUTSIDE = r"its data \(offset {}, {} bytes\) does not lie inside the file's data section \(bytes \d+ to \d+\)"
TRUNCATED = r"GGUF file .*crafted\.gguf is damaged: the file ends inside its header \(.* bytes left\)"

# case -> (how the file is changed, what the error says after "GGUF tensor '{name}' in {path} is damaged: "
# for a tensor, or in full for the file)
CRAFTED = {
    "offset wraps": (u64("first.offset", 2**64 - 32), ("first", OUTSIDE.format(2**64 - 32, 128))),
    "offset past the end": (u64("first.offset", 2**20), ("first", OUTSIDE.format(2**20, 128))),
    "misaligned offset": (u64("first.offset", 4), ("first", "its offset 4 is not a multiple of the alignment 32")),
    "runs past the end": (u64("last.dims+8", 1000), ("last", OUTSIDE.format(r"\d+", 68000))),
    "element count overflows": (lambda b, at: (u64("first.dims", 2**62)(b, at), u64("first.dims+8", 8)(b, at)),
                                ("first", "its element count overflows")),
    "extent beyond int64": (lambda b, at: (u64("first.dims", 2**63)(b, at), u64("first.dims+8", 0)(b, at)),
                            ("first", "its element count overflows")),
    "byte size overflows": (lambda b, at: (u64("first.dims", 2**62)(b, at), u64("first.dims+8", 1)(b, at)),
                            ("first", "its byte size overflows")),
    "ragged blocks": (u64("last.dims", 48), ("last", "its first extent 48 is not a whole number of blocks of 32")),
    "unknown type": (u32("first.type", 999), ("first", "unknown tensor type 999")),
    "tensor count": (u64(8, 2**63), TRUNCATED),
    "metadata count": (u64(16, 2**40), TRUNCATED),
    "array length": (u64("arr_len", 2**62), TRUNCATED),   # once a near-endless loop in the reader
    "key length": (u64(24, 2**60), TRUNCATED),
    "cut in the tensor infos": ("cut:first.dims", TRUNCATED),
    "cut in the data": ("cut:last.start+1", ("last", OUTSIDE.format(r"\d+", 272))),
}

# Loads every crafted file in a fresh interpreter with a time and memory limit (a damaged
# header once made the reader loop, or read outside the file), printing what each raised.
LOAD_ALL = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
from velkor_zuma import localmodels as lm
out = {}
for case, path in json.loads(sys.argv[1]).items():
    try:
        out[case] = ["returned", sorted(lm.load_gguf_tensors(path, copy=case.endswith("(copy)")))]
    except Exception as e:
        out[case] = [type(e).__name__, str(e)]
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def crafted_results(tmp_path_factory):
    base = tmp_path_factory.mktemp("crafted")
    write_model(base / "model.gguf")
    good, pos = (base / "model.gguf").read_bytes(), layout(base / "model.gguf")

    def at(where):
        if isinstance(where, int):
            return where
        where, _, extra = where.partition("+")
        key, _, field = where.partition(".")
        return (pos[key][field] if field else pos[key]) + int(extra or 0)

    paths = {}
    for case, (change, _) in CRAFTED.items():
        for copy in ("", " (copy)"):
            path = base / case.replace(" ", "-") / copy.strip(" ()") / "crafted.gguf"
            path.parent.mkdir(parents=True, exist_ok=True)
            buf = bytearray(good)
            if isinstance(change, str):
                buf = buf[:at(change[len("cut:"):])]
            else:
                change(buf, at)
            path.write_bytes(bytes(buf))
            paths[case + copy] = str(path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_PARENT, os.environ.get("PYTHONPATH", "")]))
    res = subprocess.run([sys.executable, "-c", LOAD_ALL, json.dumps(paths)], capture_output=True, text=True,
                         env=env, timeout=PATIENCE)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout), paths


@pytest.mark.parametrize("copy", ["", " (copy)"])
@pytest.mark.parametrize("case", list(CRAFTED))
def test_load_gguf_refuses_damaged_headers(crafted_results, case, copy):
    results, paths = crafted_results
    kind, message = results[case + copy]
    want = CRAFTED[case][1]
    if isinstance(want, tuple):
        want = re.escape(f"GGUF tensor '{want[0]}' in {paths[case + copy]} is damaged: ") + want[1]
    assert kind == "ValueError" and re.fullmatch(want, message), (kind, message)


@pytest.mark.parametrize("endianess", ["little", "big"])
def test_load_gguf_copy_mode(tmp_path, endianess):
    gguf = pytest.importorskip("gguf")
    path = tmp_path / "model.gguf"
    src = write_model(path, None if endianess == "little" else gguf.GGUFEndian.BIG)
    views, copies = lm.load_gguf_tensors(path), lm.load_gguf_tensors(path, copy=True)
    assert list(views) == list(copies) == list(src)
    for name, arr in copies.items():
        assert (arr.dtype, arr.shape) == (views[name].dtype, views[name].shape)
        assert np.array_equal(arr.view(np.uint8), views[name].view(np.uint8))
        assert arr.base is None and arr.flags.writeable and arr.flags.c_contiguous   # its own memory
        assert not views[name].flags.writeable
    assert np.array_equal(copies["first"], src["first"]) and np.array_equal(copies["half"], src["half"])
    assert copies["last"].tobytes() == src["last"].tobytes()
    # copies do not depend on the file any more
    del views
    os.truncate(path, 0)
    assert sum(int(a.view(np.uint8).sum()) for a in copies.values()) > 0
    with pytest.raises(TypeError):
        lm.load_gguf_tensors(path, True)   # keyword-only


# The hazard the default mode documents: its views read the file itself.
TRUNCATE_THEN_READ = """
import os, sys
from velkor_zuma import localmodels as lm
sd = lm.load_gguf_tensors(sys.argv[1], copy=sys.argv[2] == "copy")
os.truncate(sys.argv[1], 0)
print(sum(len(a.tobytes()) for a in sd.values()))
"""


@pytest.mark.parametrize("mode", ["view", "copy"])
def test_truncated_file_under_live_arrays(tmp_path, mode):
    path = tmp_path / "model.gguf"
    write_model(path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_PARENT, os.environ.get("PYTHONPATH", "")]))
    res = subprocess.run([sys.executable, "-c", TRUNCATE_THEN_READ, str(path), mode], capture_output=True,
                         text=True, env=env, timeout=PATIENCE)
    if mode == "view":
        assert res.returncode == -signal.SIGBUS
        assert "SIGBUS" in lm.load_gguf_tensors.__doc__ and "copy=True" in lm.load_gguf_tensors.__doc__
    else:
        assert (res.returncode, res.stdout) == (0, "430\n"), res.stderr


NOT_A_FILE = """
import os, sys
from velkor_zuma import localmodels as lm
try:
    lm.load_gguf_tensors(sys.argv[1])
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("kind, want", [
    ("fifo", "ValueError GGUF file {} is not a regular file"),   # once waited for a writer forever
    ("directory", "IsADirectoryError [Errno 21] Is a directory: '{}'"),
])
def test_load_gguf_needs_a_regular_file(tmp_path, kind, want):
    pytest.importorskip("gguf")
    path = tmp_path / "model.gguf"
    os.mkfifo(path) if kind == "fifo" else path.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_PARENT, os.environ.get("PYTHONPATH", "")]))
    res = subprocess.run([sys.executable, "-c", NOT_A_FILE, str(path)], capture_output=True, text=True, env=env,
                         timeout=PATIENCE)
    assert res.stdout.strip() == want.format(path), res.stderr


def test_load_gguf_path_with_nul(tmp_path):
    """Never the file named by the part before the NUL."""
    write_model(tmp_path / "model.gguf")
    with pytest.raises(ValueError, match="^embedded null byte$"):
        lm.load_gguf_tensors(str(tmp_path / "model.gguf") + "\0.other")
