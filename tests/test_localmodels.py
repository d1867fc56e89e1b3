"""Local GGUF models: Ollama and LM Studio discovery on real directory trees, GGUF loading on
files written by the gguf library's own writer."""

import json
import mmap
import os
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import velkor_zuma
from velkor_zuma import localmodels as lm

REGISTRY = "registry.ollama.ai"
PKG_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(velkor_zuma.__file__)))


def run_python(code, env_updates=(), env_remove=(), cwd=None):
    env = dict(os.environ)
    for k in env_remove:
        env.pop(k, None)
    env.update(dict(env_updates))
    env["PYTHONPATH"] = os.pathsep.join([PKG_PARENT, env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


# ---------------------------------------------------------------------------------------------
# Ollama store

def layer(digest, size=None, media="application/vnd.ollama.image.model", **extra):
    d = {"mediaType": media, "digest": digest}
    if size is not None:
        d["size"] = size
    d.update(extra)
    return d


def write_manifest(root, rel, content):
    p = root / "manifests" / rel
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_text(content if isinstance(content, str) else json.dumps(content))
    return p


def write_blob(root, digest, nbytes):
    p = root / "blobs" / digest.replace(":", "-")
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_bytes(b"\x01" * nbytes)
    return p


@pytest.fixture
def ollama(tmp_path, monkeypatch):
    root = tmp_path / "ollama-models"
    lib = f"{REGISTRY}/library"
    # the usual case: weights, template and license layers, all blobs present
    write_manifest(root, f"{lib}/llama3.2/latest", {
        "config": {"digest": "sha256:cfg", "size": 999},
        "layers": [layer("sha256:w1", 100), layer("sha256:t1", 20, "application/vnd.ollama.image.template"),
                   layer("sha256:l1", 5, "application/vnd.ollama.image.license")]})
    write_blob(root, "sha256:w1", 100)
    write_blob(root, "sha256:t1", 20)
    write_blob(root, "sha256:l1", 5)
    # weights blob missing: the largest existing blob is the answer (ties: the first)
    write_manifest(root, f"{lib}/mistral/7b", {"layers": [
        layer("sha256:gone", 4000), layer("sha256:m-small", 10, "application/x-other"),
        layer("sha256:m-big1", 30, "application/x-other"), layer("sha256:m-big2", 30, "application/x-other")]})
    write_blob(root, "sha256:m-small", 10)
    write_blob(root, "sha256:m-big1", 30)
    write_blob(root, "sha256:m-big2", 30)
    # weights layer found after a non-model layer; a tag holding ":"
    write_manifest(root, f"{lib}/qwen/7b:q4", {"layers": [
        layer("sha256:qt", 7, "application/vnd.ollama.image.template"), layer("sha256:qw", 70)]})
    write_blob(root, "sha256:qt", 7)
    write_blob(root, "sha256:qw", 70)
    # another registry and namespace
    write_manifest(root, "hf.co/someuser/othermodel/q4", {"layers": [layer("sha256:o1", 42)]})
    write_blob(root, "sha256:o1", 42)
    # no blob at all
    write_manifest(root, f"{lib}/ghost/latest", {"layers": [layer("sha256:nope", 3)]})
    # a weights layer without digest
    write_manifest(root, f"{lib}/nodigest/latest", {"layers": [{"mediaType": "application/vnd.ollama.image.model"}]})
    # sizes missing, layers missing
    write_manifest(root, f"{lib}/nosize/latest", {"layers": [{"digest": "sha256:x"}, {"size": 4}]})
    write_manifest(root, f"{lib}/nolayers/latest", {})
    # damaged manifests: bad JSON, non-object layers, sizes that do not add up, not an object
    write_manifest(root, f"{lib}/broken/latest", "{not json")
    write_manifest(root, f"{lib}/intlayers/latest", {"layers": [1, 2]})
    write_manifest(root, f"{lib}/badsize/latest", {"layers": [{"size": 1}, {"size": "2"}]})
    write_manifest(root, f"{lib}/listtop/latest", [1, 2])
    # a file directly under manifests has fewer than two components
    write_manifest(root, "stray", "{}")
    monkeypatch.setattr(lm, "OLLAMA_HOME", root)
    return root


def test_ollama_constants_and_registry_dir():
    assert lm._OLLAMA_REGISTRY == REGISTRY
    assert isinstance(lm.OLLAMA_HOME, Path) and isinstance(lm._OLLAMA_DEFAULT, Path)


IMPORT_PROBE = (
    "import json, os, sys\n"
    "from velkor_zuma import localmodels as lm\n"
    "os.environ['OLLAMA_MODELS'] = '/set/after/load'\n"
    "try:\n"
    "    lm.find_ollama_blob('x')\n"
    "except FileNotFoundError as e:\n"
    "    msg = str(e)\n"
    "print(json.dumps({'default': str(lm._OLLAMA_DEFAULT), 'home': str(lm.OLLAMA_HOME),\n"
    "                  'msg': msg,\n"
    "                  'models': lm.list_ollama_models(), 'gguf': 'gguf' in sys.modules}))\n"
)


@pytest.mark.parametrize("setting", ["unset", "dir", "empty"])
def test_ollama_home_fixed_at_import(tmp_path, ollama, setting):
    home = tmp_path / "home"
    home.mkdir()
    env = {"HOME": str(home)}
    remove = ["OLLAMA_MODELS"]
    if setting == "dir":
        env["OLLAMA_MODELS"] = str(ollama)
    elif setting == "empty":
        env["OLLAMA_MODELS"] = ""
    got = run_python(IMPORT_PROBE, env, remove, cwd=ollama)
    assert got["default"] == str(home / ".ollama" / "models")
    expected_home = {"unset": str(home / ".ollama" / "models"), "dir": str(ollama), "empty": "."}[setting]
    assert got["home"] == expected_home
    # the variable changed after loading is ignored
    assert "/set/after/load" not in got["msg"]
    assert got["msg"].startswith("Ollama model 'x:latest' not found in ")
    assert not got["gguf"]
    if setting == "unset":
        assert got["models"] == []
    else:
        # the empty value is the current directory, which here is the store
        assert {"name": "llama3.2:latest", "size_bytes": 125} in got["models"]


def test_list_ollama_models(ollama):
    got = lm.list_ollama_models()
    manifests = ollama / "manifests"
    walk = [p for p in manifests.rglob("*") if p.is_file() and len(p.relative_to(manifests).parts) >= 2]
    damaged = {"broken", "intlayers", "badsize", "listtop"}
    expected_names = [f"{p.parent.name}:{p.name}" for p in walk if p.parent.name not in damaged]
    assert [m["name"] for m in got] == expected_names
    sizes = {m["name"]: m["size_bytes"] for m in got}
    assert sizes == {
        "llama3.2:latest": 125, "mistral:7b": 4070, "qwen:7b:q4": 77, "othermodel:q4": 42, "ghost:latest": 3,
        "nodigest:latest": 0, "nosize:latest": 4, "nolayers:latest": 0,
    }
    assert all(list(m) == ["name", "size_bytes"] and type(m["size_bytes"]) is int for m in got)


def test_list_ollama_models_missing_store(tmp_path, monkeypatch):
    monkeypatch.setattr(lm, "OLLAMA_HOME", tmp_path / "nowhere")
    assert lm.list_ollama_models() == []


@pytest.mark.parametrize("name, blob", [
    ("llama3.2", "sha256-w1"),
    ("llama3.2:latest", "sha256-w1"),
    ("mistral:7b", "sha256-m-big1"),            # weights blob missing: largest, first of equals
    ("qwen:7b:q4", "sha256-qw"),                # tag keeps its own ":"; model layer after another
    ("othermodel:q4", "sha256-o1"),             # found by the recursive search
    ("hf.co/someuser/othermodel:q4", "sha256-o1"),
])
def test_find_ollama_blob(ollama, name, blob):
    got = lm.find_ollama_blob(name)
    assert isinstance(got, Path)
    assert got == ollama / "blobs" / blob


def test_find_ollama_blob_follows_reassigned_home(ollama, tmp_path, monkeypatch):
    other = tmp_path / "other"
    write_manifest(other, f"{REGISTRY}/library/llama3.2/latest", {"layers": [layer("sha256:zz", 1)]})
    write_blob(other, "sha256:zz", 1)
    assert lm.find_ollama_blob("llama3.2") == ollama / "blobs" / "sha256-w1"
    monkeypatch.setattr(lm, "OLLAMA_HOME", other)
    assert lm.find_ollama_blob("llama3.2") == other / "blobs" / "sha256-zz"
    assert [m["name"] for m in lm.list_ollama_models()] == ["llama3.2:latest"]


def test_find_ollama_blob_default_registry_first(ollama):
    # the same name and tag also under another namespace: the default library copy wins
    write_manifest(ollama, "aaa/ns/llama3.2/latest", {"layers": [layer("sha256:o1", 42)]})
    assert lm.find_ollama_blob("llama3.2") == ollama / "blobs" / "sha256-w1"


@pytest.mark.parametrize("name, shown", [("phi3", "phi3:latest"), ("phi3:mini", "phi3:mini")])
def test_find_ollama_blob_not_installed(ollama, name, shown):
    with pytest.raises(FileNotFoundError) as ei:
        lm.find_ollama_blob(name)
    manifests = ollama / "manifests"
    assert str(ei.value) == (
        f"Ollama model '{shown}' not found in {manifests}.\n"
        f"Run `ollama pull {shown}` first, or set OLLAMA_MODELS to your Ollama models directory.")


def test_find_ollama_blob_missing_store(tmp_path, monkeypatch):
    monkeypatch.setattr(lm, "OLLAMA_HOME", tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError, match="not found in .*nowhere/manifests"):
        lm.find_ollama_blob("llama3.2")


def test_find_ollama_blob_no_blob(ollama):
    with pytest.raises(FileNotFoundError) as ei:
        lm.find_ollama_blob("ghost")
    assert str(ei.value) == f"No GGUF blob found for 'ghost:latest' in {ollama / 'blobs'}"


def test_find_ollama_blob_damaged(ollama):
    with pytest.raises(KeyError, match="digest"):
        lm.find_ollama_blob("nodigest")
    with pytest.raises(json.JSONDecodeError):
        lm.find_ollama_blob("broken")


def test_find_ollama_blob_argument_type(ollama):
    with pytest.raises(TypeError, match=r"Argument 'model_name' has incorrect type \(expected str, got bytes\)"):
        lm.find_ollama_blob(b"llama3.2")


# ---------------------------------------------------------------------------------------------
# LM Studio

LMS_FILES = {
    "lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf": 11,
    "lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-Q8_0.gguf": 22,
    "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_K_M.gguf": 33,
    "bartowski/Qwen2-0.5B-GGUF/qwen2-0_5b-instruct-q5_k_m.gguf": 44,
    "backup/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf.old.gguf": 55,
}


@pytest.fixture
def lmstudio(tmp_path, monkeypatch):
    root = tmp_path / "lmroot-zq"
    for rel, n in LMS_FILES.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"\0" * n)
    (root / "TheBloke/Mistral-7B-GGUF/README.md").write_text("not a model")
    monkeypatch.setenv("LMSTUDIO_MODELS", str(root))
    return root


def walk_gguf(root):
    return list(root.rglob("*.gguf"))


def fake_uname(sysname):
    return lambda: types.SimpleNamespace(sysname=sysname, nodename="h", release="1", version="1", machine="x")


@pytest.mark.parametrize("sysname, parts", [
    ("Linux", (".cache", "lm-studio", "models")),
    ("Darwin", (".lmstudio", "models")),
    ("FreeBSD", (".cache", "lm-studio", "models")),
])
@pytest.mark.parametrize("env", [None, ""])
def test_lmstudio_home_by_platform(tmp_path, monkeypatch, sysname, parts, env):
    monkeypatch.setenv("HOME", str(tmp_path))
    if env is None:
        monkeypatch.delenv("LMSTUDIO_MODELS", raising=False)
    else:
        monkeypatch.setenv("LMSTUDIO_MODELS", env)   # empty counts as unset
    monkeypatch.setattr(os, "uname", fake_uname(sysname))
    assert lm._lmstudio_home() == tmp_path.joinpath(*parts)
    assert not tmp_path.joinpath(*parts).exists()   # computed only, never created


@pytest.mark.parametrize("env", [None, ""])
def test_lmstudio_home_windows(tmp_path, monkeypatch, env):
    # On this host pathlib cannot build paths while os.name says "nt", so home is given ready-made.
    home = Path(tmp_path)
    monkeypatch.setattr(Path, "home", classmethod(lambda cls: home))
    if env is None:
        monkeypatch.delenv("LMSTUDIO_MODELS", raising=False)
    else:
        monkeypatch.setenv("LMSTUDIO_MODELS", env)
    monkeypatch.setattr(os, "uname", fake_uname("Darwin"))   # os.name decides first
    monkeypatch.setattr(os, "name", "nt")
    got = lm._lmstudio_home()
    monkeypatch.undo()
    assert got == home / ".cache" / "lm-studio" / "models"


@pytest.mark.parametrize("platform", [("posix", "Linux"), ("posix", "Darwin"), ("nt", "Windows")])
def test_lmstudio_env_wins_everywhere(tmp_path, monkeypatch, platform):
    monkeypatch.setenv("LMSTUDIO_MODELS", str(tmp_path / "mine"))
    fake_os = types.SimpleNamespace(name=platform[0], environ=os.environ, uname=fake_uname(platform[1]))
    monkeypatch.setattr(lm, "os", fake_os)
    assert lm._lmstudio_home() == tmp_path / "mine"


def test_list_lmstudio_models(lmstudio):
    got = lm.list_lmstudio_models()
    assert got == [{"name": str(p.relative_to(lmstudio)), "path": str(p), "size_bytes": p.stat().st_size}
                   for p in walk_gguf(lmstudio)]
    assert sorted(m["name"] for m in got) == sorted(LMS_FILES)
    assert all(list(m) == ["name", "path", "size_bytes"] for m in got)
    assert {m["name"]: m["size_bytes"] for m in got} == LMS_FILES


def test_list_lmstudio_models_missing_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("LMSTUDIO_MODELS", str(tmp_path / "absent"))
    assert lm.list_lmstudio_models() == []


def test_lmstudio_directory_read_at_every_call(lmstudio, tmp_path, monkeypatch):
    other = tmp_path / "other"
    (other / "p/m").mkdir(parents=True)
    (other / "p/m/solo.gguf").write_bytes(b"1")
    assert len(lm.list_lmstudio_models()) == len(LMS_FILES)
    monkeypatch.setenv("LMSTUDIO_MODELS", str(other))
    assert [m["name"] for m in lm.list_lmstudio_models()] == [os.path.join("p", "m", "solo.gguf")]
    assert lm.find_lmstudio_model("SOLO") == other / "p/m/solo.gguf"


@pytest.mark.parametrize("name, rel", [
    # exact relative path, although the backup file's path also contains this text
    ("lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf",
     "lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf"),
    ("mistral-7b", "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_K_M.gguf"),
    ("QWEN2-0_5B", "bartowski/Qwen2-0.5B-GGUF/qwen2-0_5b-instruct-q5_k_m.gguf"),
    ("meta-llama-3.1-8b-instruct-q8_0", "lmstudio-community/Meta-Llama-3.1-8B-Instruct-GGUF/Meta-Llama-3.1-8B-Instruct-Q8_0.gguf"),
    ("old.GGUF", "backup/Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf.old.gguf"),
    ("", ""),                                        # the models directory itself
    ("TheBloke/Mistral-7B-GGUF", "TheBloke/Mistral-7B-GGUF"),   # an existing subdirectory
    ("TheBloke/Mistral-7B-GGUF/README.md", "TheBloke/Mistral-7B-GGUF/README.md"),
])
def test_find_lmstudio_model(lmstudio, name, rel):
    got = lm.find_lmstudio_model(name)
    assert isinstance(got, Path)
    assert got == lmstudio / rel


def test_find_lmstudio_model_absolute(lmstudio, tmp_path):
    elsewhere = tmp_path / "elsewhere.gguf"
    elsewhere.write_bytes(b"x")
    assert lm.find_lmstudio_model(str(elsewhere)) == elsewhere


@pytest.mark.parametrize("name, selector", [
    ("Meta-Llama-3.1-8B", lambda rel: "Meta-Llama-3.1-8B" in rel),
    ("q4_k_m", lambda rel: "q4_k_m" in rel.lower()),
    ("lmroot-ZQ", lambda rel: True),     # only in the models directory's own path: every file
])
def test_find_lmstudio_model_ambiguous(lmstudio, name, selector):
    expected = [str(p.relative_to(lmstudio)) for p in walk_gguf(lmstudio)
                if selector(str(p.relative_to(lmstudio)))]
    assert len(expected) >= 2
    with pytest.raises(ValueError) as ei:
        lm.find_lmstudio_model(name)
    assert str(ei.value) == f"Multiple matches for '{name}':\n  " + "\n  ".join(expected) + "\nBe more specific."


@pytest.mark.parametrize("name", ["Gemma", "README"])
def test_find_lmstudio_model_no_match(lmstudio, name):
    with pytest.raises(FileNotFoundError) as ei:
        lm.find_lmstudio_model(name)
    assert str(ei.value) == (f"No GGUF matching '{name}' in {lmstudio}.\n"
                             "Run `velkor-zuma list-lmstudio` to see available models.")


def test_find_lmstudio_model_empty_tree(tmp_path, monkeypatch):
    (tmp_path / "empty").mkdir()
    monkeypatch.setenv("LMSTUDIO_MODELS", str(tmp_path / "empty"))
    with pytest.raises(FileNotFoundError, match="^No GGUF matching 'llama'"):
        lm.find_lmstudio_model("llama")


def test_find_lmstudio_model_missing_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("LMSTUDIO_MODELS", str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError) as ei:
        lm.find_lmstudio_model("llama")
    assert str(ei.value) == (f"LM Studio models directory not found: {tmp_path / 'absent'}\n"
                             "Set LMSTUDIO_MODELS to your LM Studio models path.")


def test_find_lmstudio_model_argument_type(lmstudio):
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got PosixPath\)"):
        lm.find_lmstudio_model(Path("x"))


def test_lmstudio_functions_use_module_finder(lmstudio, tmp_path, monkeypatch):
    other = tmp_path / "via-attr"
    (other / "a").mkdir(parents=True)
    (other / "a/b.gguf").write_bytes(b"12")
    monkeypatch.setattr(lm, "_lmstudio_home", lambda: other)
    assert [m["path"] for m in lm.list_lmstudio_models()] == [str(other / "a/b.gguf")]
    assert lm.find_lmstudio_model("B.GGUF") == other / "a/b.gguf"


# ---------------------------------------------------------------------------------------------
# GGUF loading

def write_gguf(path, tensors):
    gguf = pytest.importorskip("gguf")
    w = gguf.GGUFWriter(str(path), "llama")
    for name, (arr, raw) in tensors.items():
        w.add_tensor(name, arr, raw_dtype=raw)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path


@pytest.fixture
def gguf_file(tmp_path):
    gguf = pytest.importorskip("gguf")
    rng = np.random.default_rng(5)
    f32 = rng.standard_normal((4, 8)).astype(np.float32)
    f16 = rng.standard_normal((3, 5)).astype(np.float16)
    f64 = rng.standard_normal(6)
    i32 = np.arange(-3, 7, dtype=np.int32)
    i8 = np.arange(-4, 4, dtype=np.int8).reshape(2, 4)
    q8 = gguf.quants.quantize(rng.standard_normal((4, 64)).astype(np.float32), gguf.GGMLQuantizationType.Q8_0)
    tensors = {
        "blk.0.attn_q.weight": (f32, None), "blk.0.ffn.weight": (f16, None), "f64": (f64, None),
        "positions": (i32, None), "small": (i8, None),
        "blk.0.attn_k.weight": (q8, gguf.GGMLQuantizationType.Q8_0),
    }
    path = write_gguf(tmp_path / "model.gguf", tensors)
    return path, {k: v[0] for k, v in tensors.items()}


def test_load_gguf_types_and_values(gguf_file):
    path, src = gguf_file
    sd = lm.load_gguf_tensors(path)
    assert type(sd) is dict and list(sd) == list(src)   # the reader lists the writer's order
    f32 = sd["blk.0.attn_q.weight"]
    assert f32.dtype == np.float32 and f32.shape == (4, 8)
    np.testing.assert_array_equal(f32, src["blk.0.attn_q.weight"])
    assert sd["blk.0.ffn.weight"].dtype == np.float16 and sd["blk.0.ffn.weight"].shape == (3, 5)
    np.testing.assert_array_equal(sd["blk.0.ffn.weight"], src["blk.0.ffn.weight"])
    assert sd["f64"].dtype == np.float64
    pos = sd["positions"]
    assert pos.dtype == np.uint8 and pos.shape == (40,) and pos.tobytes() == src["positions"].tobytes()
    small = sd["small"]
    assert small.dtype == np.uint8 and small.shape == (2, 4) and small.tobytes() == src["small"].tobytes()
    q = sd["blk.0.attn_k.weight"]
    assert q.dtype == np.uint8 and q.shape == src["blk.0.attn_k.weight"].shape == (4, 68)
    assert q.tobytes() == src["blk.0.attn_k.weight"].tobytes()


def test_load_gguf_returns_stored_bytes_without_copies(gguf_file):
    gguf = pytest.importorskip("gguf")
    path, _ = gguf_file
    sd = lm.load_gguf_tensors(str(path))      # text is accepted as well as a Path
    raw = path.read_bytes()
    for t in gguf.GGUFReader(str(path)).tensors:
        arr = sd[t.name]
        assert arr.tobytes() == raw[t.data_offset:t.data_offset + t.n_bytes]
        assert not arr.flags.writeable          # opened read-only
        base = arr
        while isinstance(base, np.ndarray):     # a view all the way down to the file mapping
            base = base.base
        assert isinstance(base, mmap.mmap)


def test_load_gguf_keyword_and_errors(gguf_file, tmp_path):
    path, src = gguf_file
    assert list(lm.load_gguf_tensors(gguf_path=path)) == list(src)
    with pytest.raises(FileNotFoundError):
        lm.load_gguf_tensors(tmp_path / "absent.gguf")
    bad = tmp_path / "bad.gguf"
    bad.write_bytes(b"NOPE" + b"\0" * 64)
    with pytest.raises(ValueError):
        lm.load_gguf_tensors(bad)


HINT = 'gguf package required. Install with:\n  pip install "velkor-zuma[ollama]"'


@pytest.mark.parametrize("stand_in", [None, types.ModuleType("gguf")])
def test_load_gguf_missing_library(monkeypatch, tmp_path, stand_in):
    # None: the import itself fails; an empty module: GGUFReader cannot be imported from it
    monkeypatch.setitem(sys.modules, "gguf", stand_in)
    with pytest.raises(ImportError) as ei:
        lm.load_gguf_tensors(tmp_path / "x.gguf")
    assert str(ei.value) == HINT
    assert str(ei.value).splitlines()[0] == "gguf package required. Install with:"
    assert isinstance(ei.value.__cause__, ImportError)
    assert ei.value.__context__ is ei.value.__cause__


def test_gguf_state_dict_deduplicates_across_tenants(gguf_file):
    dedup = pytest.importorskip("velkor_zuma.dedup")
    path, _ = gguf_file
    sd = lm.load_gguf_tensors(path)
    store = dedup.DedupStore()
    store.add_state_dict("tenant-a", sd)
    store.add_state_dict("tenant-b", sd)
    total = sum(a.nbytes for a in sd.values())
    assert store.naive_bytes() == 2 * total
    assert store.deduped_bytes() == total
    assert store.dedup_ratio() == 2.0
