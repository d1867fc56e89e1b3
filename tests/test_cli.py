"""The `velkor-zuma` command through its real entry point, in subprocesses, on tiny local models
and files built here: help and exit statuses, libraries on disk, export, dedup, local GGUF
stores, perplexity (with a local stand-in for the dataset download), the server, and the demo
end to end. Nothing leaves 127.0.0.1."""

import http.server
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import threading
import urllib.request
from pathlib import Path

import numpy as np
import pytest

from velkor_zuma.deltavault import ModelLibrary, reconstruction_error
from waiting import PATIENCE

safetensors_numpy = pytest.importorskip("safetensors.numpy")

# The console script runs `velkor_zuma.cli:main`; this runs the same entry point with the same
# interpreter, so the tests work both installed and from a development build on PYTHONPATH.
COMMAND = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]
SUBCOMMANDS = ["demo", "serve", "add-base", "add-finetune", "list", "export", "dedup",
               "list-ollama", "list-lmstudio", "perplexity"]


def environment(**updates):
    env = dict(os.environ)
    env.update({"HF_HUB_OFFLINE": "1", "TRANSFORMERS_OFFLINE": "1", "HF_DATASETS_OFFLINE": "1",
                "OMP_NUM_THREADS": "1"})  # tiny models; spinning thread pools only slow a busy machine
    for key in ("VELKOR_ZUMA_DEBUG", "VELKOR_ZUMA_DASHBOARD_KEY", "VELKOR_ZUMA_DASHBOARD_URL"):
        env.pop(key, None)
    env.update({k: str(v) for k, v in updates.items()})
    return env


def vz(*args, env=None, timeout=300):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True,
                          env=env or environment(), timeout=timeout)


def ok(*args, **kwargs):
    res = vz(*args, **kwargs)
    assert res.returncode == 0, res.stderr
    return res.stdout


def assert_runtime_error(res, *fragments):
    """Exit status 1 and exactly one line on stderr, without a traceback."""
    assert res.returncode == 1, (res.stdout, res.stderr)
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1, res.stderr
    assert lines[0].startswith("velkor-zuma: error: ")
    assert "Traceback" not in res.stderr
    for fragment in fragments:
        assert fragment in lines[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------------- fixtures


@pytest.fixture(scope="module")
def finetune_dir(tiny_model_dir, tmp_path_factory):
    """A fine-tune of the tiny model: rank-2 changes on the attention q/v projections."""
    out = tmp_path_factory.mktemp("finetune")
    for f in tiny_model_dir.iterdir():
        if f.suffix != ".safetensors":
            shutil.copy(f, out / f.name)
    base = safetensors_numpy.load_file(str(tiny_model_dir / "model.safetensors"))
    rng = np.random.default_rng(7)
    sd = {}
    for name, w in base.items():
        if w.ndim == 2 and ("q_proj" in name or "v_proj" in name):
            w = w + 0.05 * rng.standard_normal((w.shape[0], 2)) @ rng.standard_normal((2, w.shape[1]))
        sd[name] = np.ascontiguousarray(w, dtype=np.float32)
    safetensors_numpy.save_file(sd, str(out / "model.safetensors"), metadata={"format": "pt"})
    return out


@pytest.fixture(scope="module")
def library(tiny_model_dir, finetune_dir, tmp_path_factory):
    """A library on disk made by add-base and add-finetune, with what they printed."""
    lib = tmp_path_factory.mktemp("lib") / "library"
    printed = ok("add-base", tiny_model_dir, "--library", lib)
    printed += ok("add-finetune", finetune_dir, "--library", lib, "--id", "ft")
    return lib, printed


def write_gguf(path, tensors):
    gguf = pytest.importorskip("gguf")
    path.parent.mkdir(parents=True, exist_ok=True)
    w = gguf.GGUFWriter(str(path), "llama")
    for name, arr in tensors.items():
        w.add_tensor(name, arr)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path


@pytest.fixture(scope="module")
def local_stores(tmp_path_factory):
    """An Ollama store with model 'tiny' and an LM Studio directory with its fine-tune, both GGUF
    files of float32 tensors; the fine-tune changes one of the three tensors."""
    root = tmp_path_factory.mktemp("stores")
    rng = np.random.default_rng(3)
    base = {"tok_embd.weight": rng.standard_normal((64, 16)).astype(np.float32),
            "blk.0.attn_q.weight": rng.standard_normal((16, 16)).astype(np.float32),
            "blk.0.attn_norm.weight": np.ones(16, dtype=np.float32)}
    tuned = dict(base)
    tuned["blk.0.attn_q.weight"] = base["blk.0.attn_q.weight"] + np.outer(
        rng.standard_normal(16), rng.standard_normal(16)).astype(np.float32)
    ollama = root / "ollama"
    blob = write_gguf(ollama / "blobs" / ("sha256-" + "feed" * 16), base)
    manifest = ollama / "manifests" / "registry.ollama.ai" / "library" / "tiny" / "latest"
    manifest.parent.mkdir(parents=True)
    manifest.write_text(json.dumps({"layers": [
        {"mediaType": "application/vnd.ollama.image.model", "digest": "sha256:" + "feed" * 16,
         "size": blob.stat().st_size}]}))
    lms = root / "lmstudio"
    write_gguf(lms / "pub" / "tiny-GGUF" / "tiny-ft.gguf", tuned)
    env = environment(OLLAMA_MODELS=ollama, LMSTUDIO_MODELS=lms)
    return {"env": env, "base": base, "tuned": tuned, "blob_size": blob.stat().st_size,
            "lms_size": (lms / "pub" / "tiny-GGUF" / "tiny-ft.gguf").stat().st_size}


# ------------------------------------------------------------------------ help and exit statuses


@pytest.mark.parametrize("sub", SUBCOMMANDS)
def test_every_subcommand_has_help(sub):
    res = vz(sub, "--help")
    assert res.returncode == 0
    assert res.stdout.startswith(f"usage: velkor-zuma {sub}")


def test_top_level_help_lists_every_subcommand():
    out = ok("--help")
    for sub in SUBCOMMANDS:
        assert sub in out


@pytest.mark.parametrize("args, fragment", [
    ([], "required"),
    (["frobnicate"], "invalid choice"),
    (["add-base", "somewhere"], "--library"),
    (["add-finetune", "x", "--library", "d"], "--id"),
    (["add-finetune", "x", "--library", "d", "--id", "a", "--energy", "1.5"], "0 < E <= 1"),
    (["add-finetune", "x", "--library", "d", "--id", "a", "--method", "zip"], "invalid choice"),
    (["add-finetune", "x", "--library", "d", "--id", "a", "--max-rank", "-1"], "0 or more"),
    (["demo", "--adapters", "0"], "1 to 8"),
    (["demo", "--port", "http"], "whole number"),
    (["serve", "--base", "b", "--adapter", "no-equals-sign"], "NAME=SRC"),
    (["serve", "--base", "b", "--precision", "fp8"], "invalid choice"),
    (["serve", "--base", "b", "--port", "70000"], "1 to 65535"),
    (["serve", "--base", "b", "--max-batch", "0"], "1 to 4096"),
    (["serve", "--base", "b", "--max-waiting", "-3"], "1 to 1000000"),
    (["serve", "--base", "b", "--adapter", "a=x", "--adapter", "a=y"], "given twice"),
    (["perplexity", "m", "--library", "d"], "go together"),
    (["dedup"], "required"),
])
def test_usage_errors_exit_2(args, fragment):
    res = vz(*args)
    assert res.returncode == 2
    assert res.stdout == ""
    assert "usage: velkor-zuma" in res.stderr and fragment in res.stderr
    assert "Traceback" not in res.stderr


def test_help_imports_no_heavy_library():
    code = ("import sys, io, contextlib\n"
            "from velkor_zuma.cli import main\n"
            "with contextlib.redirect_stdout(io.StringIO()):\n"
            "    assert main(['serve', '--help']) == 0\n"
            "heavy = {'torch', 'transformers', 'peft', 'safetensors', 'gguf', 'fastapi', 'uvicorn', 'datasets'}\n"
            "print(sorted(heavy & set(sys.modules)))\n")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment())
    assert res.stdout.strip() == "[]", res.stderr


def test_serve_help_lists_the_batch_and_waiting_bounds(capsys):
    from velkor_zuma.cli import main
    assert main(["serve", "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "--max-batch N requests decoded together in one step" in text
    assert "--max-waiting N requests that may wait for a free row; past that a request gets 503 with Retry-After" in text


def test_main_returns_the_status_in_process(capsys):
    from velkor_zuma.cli import main
    assert main(["list-ollama", "--help"]) == 0
    assert main(["demo", "--adapters", "99"]) == 2
    assert "usage: velkor-zuma list-ollama" in capsys.readouterr().out


def test_runtime_errors_are_one_line(tmp_path, tiny_model_dir, local_stores):
    env = local_stores["env"]
    assert_runtime_error(vz("add-base", tmp_path / "nothing-here", "--library", tmp_path / "l"),
                         "not found", "nothing-here")
    assert_runtime_error(vz("list", "--library", tmp_path / "no-lib"), "no library at", "add-base")
    # Relative to an existing directory, "dir/name" is a missing local path, never a hub id.
    (tmp_path / "models").mkdir()
    import velkor_zuma
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(velkor_zuma.__file__)))
    here = environment(PYTHONPATH=os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")]))
    res = subprocess.run(COMMAND + ["dedup", "models/missing"], capture_output=True, text=True,
                         env=here, cwd=tmp_path)
    assert_runtime_error(res, "model source not found: 'models/missing'")
    # Multi-line library messages are folded into one line.
    assert_runtime_error(vz("dedup", "ollama:absent", env=env),
                         "Ollama model 'absent:latest' not found", "ollama pull absent:latest")
    assert_runtime_error(vz("dedup", "lmstudio:nomatch", env=env), "No GGUF matching 'nomatch'",
                         "velkor-zuma list-lmstudio")
    assert_runtime_error(vz("perplexity", "ollama:tiny", env=env), "not a GGUF model")
    assert_runtime_error(vz("serve", "--base", "lmstudio:tiny"), "not a GGUF model")
    occupied = tmp_path / "occupied"
    occupied.mkdir()
    (occupied / "keep.txt").write_text("mine")
    assert_runtime_error(vz("add-base", tiny_model_dir, "--library", occupied), "not empty")
    assert (occupied / "keep.txt").read_text() == "mine"
    assert_runtime_error(vz("demo", "--workdir", occupied / "keep.txt"), "is a file")


def test_damaged_library_and_the_debug_traceback(tmp_path):
    damaged = tmp_path / "damaged"
    damaged.mkdir()
    (damaged / "manifest.json").write_text("{ not json")
    assert_runtime_error(vz("list", "--library", damaged), "manifest.json")
    res = vz("list", "--library", damaged, env=environment(VELKOR_ZUMA_DEBUG=1))
    assert res.returncode == 1 and "Traceback" in res.stderr
    assert res.stderr.strip().splitlines()[-1].startswith("velkor-zuma: error: ")


# ---------------------------------------------------------------------------- libraries on disk


def test_add_base_and_add_finetune(library, tiny_model_dir, finetune_dir):
    lib_dir, printed = library
    assert f"Created library {lib_dir} with base '{tiny_model_dir}'" in printed
    line = next(l for l in printed.splitlines() if l.startswith("Added fine-tune 'ft'"))
    error = float(line.rsplit(" ", 1)[1])
    assert 0 <= error < 1e-3  # a rank-2 change is well inside the tensor-train rank 8

    lib = ModelLibrary.load(str(lib_dir))
    assert lib.base_id == str(tiny_model_dir) and list(lib.deltas) == ["ft"]
    ft = safetensors_numpy.load_file(str(finetune_dir / "model.safetensors"))
    rebuilt = lib.reconstruct("ft")
    assert f"{reconstruction_error(rebuilt, ft):.2e}" == f"{error:.2e}"
    assert set(rebuilt) == set(ft)
    for name in ft:
        np.testing.assert_allclose(rebuilt[name], ft[name], atol=1e-4)


def test_list_prints_the_summary_table(library):
    lib_dir, _ = library
    out = ok("list", "--library", lib_dir)
    lib = ModelLibrary.load(str(lib_dir))
    dense = {"ft": lib.reconstruct("ft")}
    summary = lib.summary(dense)
    assert f"{summary['base_bytes']:,} bytes" in out
    assert f"{summary['naive_total_bytes']:,} bytes" in out
    assert f"{summary['velkor_zuma_bytes']:,} bytes" in out
    assert f"{summary['overall_ratio']:.2f}x" in out
    row = next(l.split() for l in out.splitlines() if l.split()[:1] == ["ft"])
    assert row[1] == str(len(lib.deltas["ft"].tensors)) and set(row[2].split("+")) == {"tt", "none"}


def test_list_of_a_library_without_finetunes(tiny_model_dir, tmp_path):
    ok("add-base", tiny_model_dir, "--library", tmp_path / "lib")
    out = ok("list", "--library", tmp_path / "lib")
    assert "fine-tunes        : 0" in out and "overall ratio     : 0.00x" in out
    assert "no fine-tunes yet" in out


def test_add_finetune_options_apply_to_that_finetune_only(tiny_model_dir, finetune_dir, tmp_path):
    lib_dir = tmp_path / "lib"
    ok("add-base", tiny_model_dir, "--library", lib_dir)
    ok("add-finetune", finetune_dir, "--library", lib_dir, "--id", "svd", "--method", "SVD")
    ok("add-finetune", finetune_dir, "--library", lib_dir, "--id", "energy", "--energy", "0.99",
       "--max-rank", "0")
    before = (lib_dir / "manifest.json").read_bytes()
    assert_runtime_error(vz("add-finetune", finetune_dir, "--library", lib_dir, "--id", "svd", "--method", "tucker"),
                         "already holds a fine-tune 'svd'", "--replace")
    assert (lib_dir / "manifest.json").read_bytes() == before
    out = ok("add-finetune", finetune_dir, "--library", lib_dir, "--id", "svd", "--method", "tucker", "--replace")
    assert "Replaced fine-tune 'svd'" in out
    lib = ModelLibrary.load(str(lib_dir))
    assert lib.method == "tt" and lib.max_rank == 8 and lib.energy is None
    methods = {k: {r.method.value for r in d.tensors.values()} for k, d in lib.deltas.items()}
    assert methods == {"svd": {"tucker", "none"}, "energy": {"svd", "none"}}
    energy = next(r for r in lib.deltas["energy"].tensors.values() if r.method == "svd")
    assert energy.metadata["energy"] == pytest.approx(0.99)


def test_add_finetune_refuses_other_shapes(library, tmp_path):
    lib_dir, _ = library
    other = tmp_path / "other"
    other.mkdir()
    safetensors_numpy.save_file({"model.embed_tokens.weight": np.zeros((3, 3), np.float32)},
                                str(other / "model.safetensors"))
    before = (lib_dir / "manifest.json").read_bytes()
    assert_runtime_error(vz("add-finetune", other, "--library", lib_dir, "--id", "bad"),
                         "model.embed_tokens.weight", "(3, 3)")
    assert (lib_dir / "manifest.json").read_bytes() == before


@pytest.mark.parametrize("method", ["tt", "svd", "sign"])
@pytest.mark.parametrize("value, shown", [(np.inf, "inf"), (np.nan, "nan")])
def test_add_finetune_refuses_values_that_are_not_finite(library, finetune_dir, tmp_path, method, value, shown):
    lib_dir, _ = library
    bad = tmp_path / "bad"
    shutil.copytree(finetune_dir, bad)
    sd = safetensors_numpy.load_file(str(bad / "model.safetensors"))
    name = next(n for n in sorted(sd) if "q_proj" in n)
    sd[name][1, 2] = value
    safetensors_numpy.save_file(sd, str(bad / "model.safetensors"))
    files = lambda: {p.name: p.read_bytes() for p in lib_dir.iterdir() if p.name != ".vz-lock"}  # noqa: E731
    before = files()
    assert_runtime_error(vz("add-finetune", bad, "--library", lib_dir, "--id", "bad", "--method", method),
                         f"tensor '{name}'", f"holds {shown} at index (1, 2)")
    assert files() == before


def test_export_writes_a_loadable_snapshot(library, tmp_path):
    lib_dir, _ = library
    out_dir = tmp_path / "exported"
    printed = ok("export", "--library", lib_dir, "--id", "ft", "--out", out_dir)
    assert str(out_dir / "model.safetensors") in printed
    exported = safetensors_numpy.load_file(str(out_dir / "model.safetensors"))
    rebuilt = ModelLibrary.load(str(lib_dir)).reconstruct("ft")
    assert set(exported) == set(rebuilt)
    for name, arr in rebuilt.items():
        assert np.array_equal(exported[name], arr)
    assert (out_dir / "config.json").exists() and (out_dir / "tokenizer.json").exists()
    assert sorted(p.name for p in out_dir.glob("*.safetensors")) == ["model.safetensors"]
    assert_runtime_error(vz("export", "--library", lib_dir, "--id", "ft", "--out", out_dir), "not empty")
    assert_runtime_error(vz("export", "--library", lib_dir, "--id", "nope", "--out", tmp_path / "n"),
                         "no fine-tune 'nope'", "ft")


# ----------------------------------------------------------------------- dedup and local models


def test_dedup_of_one_model_twice(tiny_model_dir):
    from velkor_zuma.dedup import DedupStore
    from velkor_zuma.hubload import load_state_dict_numpy_safe
    out = ok("dedup", tiny_model_dir, tiny_model_dir)
    store = DedupStore()
    for tenant in ("a", "b"):
        store.add_state_dict(tenant, load_state_dict_numpy_safe(tiny_model_dir))
    s = store.summary()
    assert f"naive bytes       : " in out and f"({s['naive_bytes']:,} bytes)" in out
    assert f"({s['deduped_bytes']:,} bytes)" in out
    assert f"dedup ratio       : {s['dedup_ratio']:.2f}x" in out and s["dedup_ratio"] >= 2
    assert f"{tiny_model_dir} (2)" in out  # the second tenant of the same name is told apart


def test_list_local_models(local_stores):
    env = local_stores["env"]
    out = ok("list-ollama", env=env)
    row = next(l.split() for l in out.splitlines() if "tiny:latest" in l)
    size = local_stores["blob_size"]
    assert " ".join(row[1:3]) == (f"{size / 1024:.2f} KB" if size >= 1024 else f"{size:.2f} B")
    out = ok("list-lmstudio", env=env)
    assert os.path.join("pub", "tiny-GGUF", "tiny-ft.gguf") in out
    assert "1 model(s)" in out


def test_list_local_models_when_none(tmp_path):
    env = environment(OLLAMA_MODELS=tmp_path / "none", LMSTUDIO_MODELS=tmp_path / "none")
    assert "No Ollama models found in" in ok("list-ollama", env=env)
    assert "No LM Studio models found in" in ok("list-lmstudio", env=env)


def test_gguf_models_feed_dedup_and_the_library(local_stores, tmp_path):
    env = local_stores["env"]
    out = ok("dedup", "ollama:tiny", "lmstudio:tiny-ft", env=env)
    base = local_stores["base"]
    total = sum(a.nbytes for a in base.values())
    changed = base["blk.0.attn_q.weight"].nbytes
    assert f"naive bytes       : {total * 2 / 1024:.2f} KB ({total * 2:,} bytes)" in out
    assert f"({total + changed:,} bytes)" in out  # deduplicated: the base once plus the one change

    lib_dir = tmp_path / "gguf-lib"
    ok("add-base", "ollama:tiny", "--library", lib_dir, env=env)
    ok("add-finetune", "lmstudio:tiny-ft", "--library", lib_dir, "--id", "ft", env=env)
    rebuilt = ModelLibrary.load(str(lib_dir)).reconstruct("ft")
    for name, arr in local_stores["tuned"].items():
        np.testing.assert_allclose(rebuilt[name].reshape(arr.shape), arr, atol=1e-4)


def test_quantized_finetune_is_refused(local_stores, tmp_path):
    env = local_stores["env"]
    lib_dir = tmp_path / "lib"
    ok("add-base", "ollama:tiny", "--library", lib_dir, env=env)
    raw = dict(local_stores["tuned"])
    raw["blk.0.attn_q.weight"] = raw["blk.0.attn_q.weight"].astype(np.int32)  # kept as raw bytes
    quantized = write_gguf(tmp_path / "q.gguf", raw)
    assert_runtime_error(vz("add-finetune", quantized, "--library", lib_dir, "--id", "q", env=env),
                         "blk.0.attn_q.weight", "uint8", "not floating point")
    assert ModelLibrary.load(str(lib_dir)).deltas == {}


# ------------------------------------------------------------------------------------ perplexity


@pytest.fixture(scope="module")
def offline_wikitext(tmp_path_factory):
    """A sitecustomize that replaces datasets.load_dataset with a few local lines."""
    pytest.importorskip("datasets")
    site = tmp_path_factory.mktemp("site")
    (site / "sitecustomize.py").write_text(
        "import datasets\n"
        "def _local(*args, **kwargs):\n"
        "    lines = [' = Valkyria Chronicles = \\n', '', ' The quick brown fox jumps over the lazy dog . \\n'] * 20\n"
        "    return datasets.Dataset.from_dict({'text': lines})\n"
        "datasets.load_dataset = _local\n")
    return environment(PYTHONPATH=os.pathsep.join([str(site)] + sys.path))


def test_perplexity_of_model_and_stored_finetune(library, tiny_model_dir, offline_wikitext):
    lib_dir, _ = library
    base = ok("perplexity", tiny_model_dir, "--max-tokens", 64, env=offline_wikitext)
    tuned = ok("perplexity", tiny_model_dir, "--library", lib_dir, "--id", "ft", "--max-tokens", 64,
               env=offline_wikitext)
    assert "(first 64 tokens)" in base and "fine-tune 'ft'" in tuned
    values = [float(text.strip().rsplit(" ", 1)[1]) for text in (base, tuned)]
    assert all(v >= 1.0 for v in values) and values[0] != values[1]


def test_perplexity_of_a_one_token_text_fails_clearly(tiny_model_dir, tmp_path):
    one = tmp_path / "one.txt"
    one.write_text("a", encoding="utf-8")
    assert_runtime_error(vz("perplexity", tiny_model_dir, "--text", one), "needs at least 2 tokens")
    two = tmp_path / "two.txt"
    two.write_text("a model", encoding="utf-8")
    assert_runtime_error(vz("perplexity", tiny_model_dir, "--text", two, "--max-tokens", 1),
                         "needs at least 2 tokens")


# ---------------------------------------------------------------------------------------- serve


class Dashboard(http.server.BaseHTTPRequestHandler):
    """Queues every POST on its server's `beats` as (path, key, message) and answers 204."""

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.beats.put((self.path, self.headers.get("X-ZUMA-Key"), json.loads(body)))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def start_server(args, env):
    """Runs `serve` with `args` on a free port and returns (process, port, stderr read so far)
    once uvicorn says it is listening. A port that another process took between free_port()
    and the server's bind (uvicorn then exits with "address already in use") is replaced by
    another one; any other early exit fails the test with what the server printed."""
    for _ in range(5):
        port = free_port()
        proc = subprocess.Popen(COMMAND + ["serve", *args, "--port", str(port)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        seen = []
        for line in proc.stderr:
            seen.append(line)
            if "Uvicorn running on" in line:
                return proc, port, "".join(seen)
        stdout, stderr = proc.communicate(timeout=PATIENCE)
        if "address already in use" not in "".join(seen) + stderr:
            pytest.fail(f"the server exited with {proc.returncode}:\n{stdout}\n{''.join(seen)}{stderr}")
    pytest.fail("no free port in five tries")


@pytest.fixture
def dashboard():
    """A local dashboard on 127.0.0.1: .beats queues every beat it gets."""
    dash = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Dashboard)
    dash.beats = queue.Queue()
    threading.Thread(target=dash.serve_forever, daemon=True).start()
    yield dash
    dash.shutdown()
    dash.server_close()


def test_serve_answers_chat_and_reads_the_key_from_the_environment(tiny_model_dir, tmp_path, dashboard):
    pytest.importorskip("peft")
    from tinymodel import build_tiny_adapter
    adapter = build_tiny_adapter(tiny_model_dir, tmp_path / "adapter", seed=3)
    env = environment(VELKOR_ZUMA_DASHBOARD_KEY="s3cret",
                      VELKOR_ZUMA_DASHBOARD_URL=f"http://127.0.0.1:{dashboard.server_port}")
    proc, port, early = start_server(["--base", str(tiny_model_dir), "--adapter", f"kind={adapter}",
                                      "--max-new-tokens", "4", "--max-batch", "2", "--max-waiting", "8"], env)
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    root = f"http://127.0.0.1:{port}"
    try:
        models = json.loads(opener.open(root + "/v1/models", timeout=PATIENCE).read())
        assert [m["id"] for m in models["data"]] == ["kind"]
        req = urllib.request.Request(root + "/v1/chat/completions", method="POST",
                                     data=json.dumps({"model": "kind", "messages": [
                                         {"role": "user", "content": "Hello"}]}).encode(),
                                     headers={"Content-Type": "application/json"})
        reply = json.loads(opener.open(req, timeout=PATIENCE).read())
        assert reply["object"] == "chat.completion" and reply["model"] == "kind"
        assert isinstance(reply["choices"][0]["message"]["content"], str)
        assert "s3cret" not in " ".join(proc.args)
        # A beat is sent as the server starts (and every 20 s after it, should that one be lost).
        path, key, beat = dashboard.beats.get(timeout=PATIENCE)
    finally:
        proc.send_signal(signal.SIGINT)  # uvicorn's handler is in place once it listens
        try:
            stdout, stderr = proc.communicate(timeout=PATIENCE)
        finally:
            proc.kill()
            proc.wait()
    stderr = early + stderr
    assert proc.returncode == 0, stderr  # Ctrl-C is how a server is stopped: a clean exit
    assert stdout.rstrip().endswith("Server stopped.")
    assert "Loading weights" not in stderr  # no progress bars when stderr is not a terminal
    assert "velkor-zuma serve - VRAM proof" in stdout
    assert f"Serving on http://127.0.0.1:{port}" in stdout
    assert path == "/api/zuma/endpoints/heartbeat" and key == "s3cret"
    assert beat["adapters"] == ["kind"] and beat["url"] == f"http://127.0.0.1:{port}/v1"


# ----------------------------------------------------------------------------------------- demo


def test_demo_refuses_a_busy_port_before_building_anything(tmp_path):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        res = vz("demo", "--port", port, "--workdir", tmp_path / "w")
    assert_runtime_error(res, f"cannot listen on 127.0.0.1:{port}", "--port")
    assert not (tmp_path / "w").exists()


def test_demo_fails_when_a_chat_request_fails(tmp_path):
    """Generation broken inside the server: the demo stops the server and exits 1, not 0."""
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(
        "from transformers.models.llama import modeling_llama as m\n"
        "_forward = m.LlamaForCausalLM.forward\n"
        "def _broken(self, *args, **kwargs):\n"
        "    if kwargs.get('use_cache'):  # decoding with a cache, not the adapters' training\n"
        "        raise RuntimeError('generation broken for this test')\n"
        "    return _forward(self, *args, **kwargs)\n"
        "m.LlamaForCausalLM.forward = _broken\n")
    env = environment(PYTHONPATH=os.pathsep.join([str(site)] + sys.path))
    res = vz("demo", "--adapters", 1, env=env, timeout=600)
    assert res.returncode == 1  # the server logs its own traceback; ours is one last line
    assert res.stderr.strip().splitlines()[-1] == ("velkor-zuma: error: demo client: "
                                                    "HTTP Error 500: Internal Server Error")
    assert "stopped." not in res.stdout and "Demo finished" not in res.stdout


def test_demo_end_to_end(tmp_path):
    work = tmp_path / "demo"
    res = vz("demo", "--adapters", 2, "--workdir", work, timeout=600)
    assert res.returncode == 0, res.stdout + res.stderr
    out = res.stdout
    for step in ("[1/5]", "[2/5]", "[3/5]", "[4/5]", "[5/5]"):
        assert step in out
    # Library: both fine-tunes stored with small errors, saved and reloaded bit for bit.
    errors = [float(l.split()[-1]) for l in out.splitlines() if l.strip().startswith("ft-")
              and "e-" in l.split()[-1]]
    assert len(errors) == 2 and all(e < 1e-2 for e in errors)
    assert "every fine-tune reconstructs bit for bit" in out
    lib = ModelLibrary.load(str(work / "library"))
    assert list(lib.deltas) == ["ft-1", "ft-2"]
    # Dedup: three tenants share their unchanged tensors.
    assert "tenant" in out and float(out.split("dedup ratio       : ")[1].split("x")[0]) > 1.5
    # Serving: the VRAM report, one reply per adapter over HTTP, then a clean stop.
    assert "velkor-zuma serve - VRAM proof" in out
    assert "adapters loaded : 2  ['support', 'pirate']" in out
    replies = {l.split("->")[0].strip(): l.split("->", 1)[1].strip() for l in out.splitlines()
               if l.startswith("  ") and " -> " in l and "/v1/" not in l}
    assert set(replies) == {"support", "pirate"} and all(replies.values())
    assert "stopped." in out and "Demo finished" in out
    for name in ("support", "pirate"):
        assert (work / "adapters" / name / "adapter_config.json").exists()
    assert (work / "base" / "model.safetensors").exists()


# ----------------------------------------------------------------------- writers and progress


def test_no_wait_fails_at_once_while_another_writer_holds_the_lock(library, finetune_dir):
    lib_dir, _ = library
    hold = ("import fcntl, os, sys\n"
            "fd = os.open(os.path.join(sys.argv[1], '.vz-lock'), os.O_RDWR | os.O_CREAT)\n"
            "fcntl.flock(fd, fcntl.LOCK_EX)\n"
            "os.ftruncate(fd, 0); os.write(fd, f'{os.getpid()}\\nsomeone else\\n'.encode())\n"
            "print('held', flush=True); sys.stdin.read()\n")  # held until the test lets go
    holder = subprocess.Popen([sys.executable, "-c", hold, str(lib_dir)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        before = (lib_dir / "manifest.json").read_bytes()
        assert_runtime_error(vz("add-finetune", finetune_dir, "--library", lib_dir, "--id", "other", "--no-wait"),
                             "being changed by another writer", f"pid {holder.pid}: someone else")
        assert (lib_dir / "manifest.json").read_bytes() == before
        ok("list", "--library", lib_dir)  # readers do not wait
        assert holder.poll() is None  # the lock was held throughout
    finally:
        holder.kill()
        holder.wait()


def test_progress_bar_only_on_a_terminal(tiny_model_dir, tmp_path):
    pytest.importorskip("tqdm")
    import pty
    res = vz("add-base", tiny_model_dir, "--library", tmp_path / "quiet")
    assert res.returncode == 0 and res.stderr == ""
    import fcntl
    import struct
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal 100 wide
    proc = subprocess.Popen(COMMAND + ["add-base", str(tiny_model_dir), "--library", str(tmp_path / "tty")],
                            stdout=subprocess.PIPE, stderr=slave, env=environment(), text=True)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    proc.wait(timeout=PATIENCE)
    os.close(master)
    assert proc.returncode == 0
    assert b"add-base" in seen and b"tensors" in seen
