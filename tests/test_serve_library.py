"""Serving a model library (`serve --library`): the library's base is the one resident model and
every stored fine-tune a model named by its id, applied per row by the step scheduler from its
records (low-rank products, packed sign / few-bit records, dense rebuilds with a warning). Greedy
replies equal those of the same fine-tune rebuilt with export_finetune and loaded alone; mixed
fine-tunes in one batch equal their replies alone. Driven through `_Batcher.start` / `complete`."""

import shutil
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest
from waiting import PATIENCE, until

from velkor_zuma.deltavault import add_finetune_from, create_library, export_finetune
from velkor_zuma.serve import ServeConfig, _Engine, _library_report, build_app

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
safetensors_numpy = pytest.importorskip("safetensors.numpy")

COMMAND = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]
HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
HI = [{"role": "user", "content": "hi"}]
NO_END = {2: -100}  # the tiny tokenizer's end token never chosen: every reply runs to its limit
LINEAR = ("q_proj", "k_proj", "v_proj", "o_proj", "gate_proj", "up_proj", "down_proj")

# id -> (add_finetune_from options, whether norm and embedding change too)
STORED = {
    "dense": ({"method": "none"}, False),
    "svd-full": ({"method": "svd", "max_rank": 64}, False),
    "tt": ({"method": "tt", "max_rank": 3}, False),
    "svd": ({"method": "svd", "max_rank": 3}, False),
    "sign": ({"method": "sign"}, False),
    "q4": ({"method": "svd_q4", "max_rank": 2}, False),
    "mixed": ({"method": "svd_mixed", "bits": 4.0}, False),
    "normed": ({"method": "tt", "max_rank": 3}, True),
}


def finetune(base_sd, seed, everything):
    """Rank-3 changes plus a little full-rank noise on every linear layer (so the lossy records
    really lose something); with `everything`, the tied embedding and the final norm change too."""
    rng = np.random.default_rng(seed)
    sd = {}
    for name, w in base_sd.items():
        if w.ndim == 2 and any(k in name for k in LINEAR):
            w = w + 0.2 * rng.standard_normal((w.shape[0], 3)) @ rng.standard_normal((3, w.shape[1]))
            w = w + 0.02 * rng.standard_normal(w.shape)
        if everything and name in ("model.norm.weight", "model.embed_tokens.weight"):
            w = w + 0.1 * rng.standard_normal(w.shape)
        sd[name] = np.ascontiguousarray(w, dtype=np.float32)
    return sd


@pytest.fixture(scope="module")
def library(tiny_model_dir, tmp_path_factory):
    base_sd = safetensors_numpy.load_file(str(tiny_model_dir / "model.safetensors"))
    lib = tmp_path_factory.mktemp("served") / "library"
    create_library(lib, str(tiny_model_dir), tiny_model_dir)
    for i, (model_id, (options, everything)) in enumerate(STORED.items()):
        add_finetune_from(lib, model_id, finetune(base_sd, i + 1, everything), **options)
    return lib


def library_config(library, finetunes=None, **kw):
    cfg = ServeConfig("", {}, **kw)
    cfg.library, cfg.finetunes = str(library), finetunes
    return cfg


def load_engine(cfg):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        engine = _Engine(cfg).load()
    return engine, [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.fixture(scope="module")
def served(library):
    engine, warned = load_engine(library_config(library, max_new_tokens=8))
    return engine, build_app(engine).state.batcher, warned


@pytest.fixture(scope="module")
def alone(library, tiny_model_dir, tmp_path_factory):
    """Each fine-tune rebuilt with export_finetune into a model directory of its own, served alone
    as a plain base: {id: greedy token ids for (HELLO, HI)}."""
    out = {}
    for model_id in STORED:
        d = tmp_path_factory.mktemp("export") / model_id
        d.mkdir()
        for f in tiny_model_dir.iterdir():
            if f.is_file() and f.name != "model.safetensors":
                shutil.copy(f, d / f.name)
        export_finetune(library, model_id, d / "model.safetensors")
        engine = _Engine(ServeConfig(str(d), {}, precision="fp32", max_new_tokens=8)).load()
        batcher = build_app(engine).state.batcher
        out[model_id] = [batcher.complete("base", m, max_tokens=8, logit_bias=NO_END)["tokens"] for m in (HELLO, HI)]
        out[model_id, "text"] = engine.generate("base", HELLO, 6, 0.0)
        batcher.shutdown()
    return out


def _until(condition):
    until(condition, "the scheduler's state waited for")


class TestRepliesEqualTheRebuiltFineTune:
    @pytest.mark.parametrize("model_id", list(STORED))
    def test_alone(self, served, alone, model_id):
        _, batcher, _ = served
        got = [batcher.complete(model_id, m, max_tokens=8, logit_bias=NO_END)["tokens"] for m in (HELLO, HI)]
        assert got == alone[model_id]

    def test_fine_tunes_differ_from_each_other(self, alone):
        assert len({tuple(map(tuple, alone[k])) for k in STORED}) == len(STORED)

    @pytest.mark.parametrize("model_id", ["tt", "sign", "normed"])
    def test_direct_generate(self, served, alone, model_id):
        engine, _, _ = served
        assert alone[model_id, "text"]  # a reply to compare, not an immediate end
        assert engine.generate(model_id, HELLO, 6, 0.0) == alone[model_id, "text"]

    def test_mixed_in_one_batch_equal_sequential(self, served, alone):
        engine, batcher, _ = served
        cases = [(model_id, m) for model_id in STORED for m in (HELLO, HI)]
        lock = engine.__dict__.setdefault("_generate_lock", threading.Lock())
        with lock:  # the scheduler waits for the lock before its next step: every case queues
            pending = [batcher.start(model_id, m, max_tokens=8, logit_bias=NO_END) for model_id, m in cases]
            _until(lambda: batcher.waiting + batcher.in_batch >= len(cases))
        together = [p.result(timeout=PATIENCE)["tokens"] for p in pending]
        assert together == [alone[model_id][i % 2] for i, (model_id, _) in enumerate(cases)]


class TestModelsAndReport:
    def test_every_fine_tune_is_a_model(self, served):
        engine, _, _ = served
        assert engine.servable() == list(STORED)

    def test_base_is_the_library_base(self, served, tiny_model_dir):
        engine, _, _ = served
        assert engine.cfg.base == str(tiny_model_dir)
        assert engine.cfg.precision == "stored float32"

    def test_rebuilt_records_are_named_in_a_warning(self, served):
        _, _, warned = served
        normed = [w for w in warned if "'normed'" in w]
        assert len(normed) == 1
        assert "model.norm.weight" in normed[0] and "model.embed_tokens.weight" in normed[0]
        assert not any("'tt'" in w or "'sign'" in w or "'svd'" in w for w in warned)

    def test_report_counts_base_once_and_each_fine_tune(self, served):
        engine, _, _ = served
        lines = _library_report(engine)
        text = "\n".join(lines)
        for model_id in STORED:
            assert f"    {model_id} : " in text
        assert f"{len(STORED)} full models" in text
        sign = next(line for line in lines if line.startswith("    sign :"))
        assert "rebuilt 0.00 B" in sign or "rebuilt 0 B" in sign
        dense = next(line for line in lines if line.startswith("    dense :"))
        assert "low-rank 0.00 B" in dense or "low-rank 0 B" in dense


class TestChoosingFineTunes:
    def test_named_fine_tunes_only(self, library):
        engine, _ = load_engine(library_config(library, ["sign", "tt"]))
        assert engine.servable() == ["sign", "tt"]

    def test_unknown_fine_tune_is_refused_by_name(self, library):
        with pytest.raises(ValueError, match="no fine-tune 'nope'"):
            _Engine(library_config(library, ["nope"])).load()

    @pytest.mark.parametrize("argv, message", [
        (["serve"], "--base or --library"),
        (["serve", "--base", "x", "--finetune", "tt"], "--finetune goes with --library"),
    ])
    def test_cli_usage(self, argv, message):
        run = subprocess.run(COMMAND + argv, capture_output=True, text=True, timeout=PATIENCE)
        assert run.returncode != 0
        assert message in run.stderr


class TestBesideAdapters:
    def test_fine_tunes_and_adapters_in_one_batch(self, library, tiny_model_dir, tmp_path_factory, alone):
        pytest.importorskip("peft")
        from tinymodel import build_tiny_adapter

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            adapter = str(build_tiny_adapter(tiny_model_dir, tmp_path_factory.mktemp("adapter") / "a", seed=7))
        plain = _Engine(ServeConfig(str(tiny_model_dir), {"a": adapter}, precision="fp32", max_new_tokens=8)).load()
        plain_batcher = build_app(plain).state.batcher
        by_adapter = plain_batcher.complete("a", HELLO, max_tokens=8, logit_bias=NO_END)["tokens"]
        plain_batcher.shutdown()

        cfg = library_config(library, ["tt", "sign"], max_new_tokens=8)
        cfg.adapters = {"a": adapter}
        engine, _ = load_engine(cfg)
        assert engine.servable() == ["a", "tt", "sign"]
        batcher = build_app(engine).state.batcher
        cases = ["sign", "a", "tt", "a"]
        lock = engine.__dict__.setdefault("_generate_lock", threading.Lock())
        with lock:
            pending = [batcher.start(name, HELLO, max_tokens=8, logit_bias=NO_END) for name in cases]
            _until(lambda: batcher.waiting + batcher.in_batch >= len(cases))
        got = [p.result(timeout=PATIENCE)["tokens"] for p in pending]
        batcher.shutdown()
        assert got == [alone["sign"][0], by_adapter, alone["tt"][0], by_adapter]


class TestStoredType:
    def test_bfloat16_base_stays_bfloat16(self, tiny_model_dir, tmp_path):
        safetensors_torch = pytest.importorskip("safetensors.torch")
        src = tmp_path / "bf16"
        shutil.copytree(tiny_model_dir, src)
        sd = safetensors_torch.load_file(str(src / "model.safetensors"))
        safetensors_torch.save_file({k: v.to(torch.bfloat16) for k, v in sd.items()}, str(src / "model.safetensors"),
                                    metadata={"format": "pt"})
        lib = tmp_path / "library"
        create_library(lib, str(src), src)
        base_sd = {k: v.float().numpy() for k, v in sd.items()}
        add_finetune_from(lib, "tt", finetune(base_sd, 1, False), method="tt", max_rank=3)
        engine, _ = load_engine(library_config(lib, max_new_tokens=4))
        assert {p.dtype for p in engine.model.parameters()} == {torch.bfloat16}
        assert engine.cfg.precision == "stored bfloat16"
        batcher = build_app(engine).state.batcher
        assert len(batcher.complete("tt", HI, max_tokens=4, logit_bias=NO_END)["tokens"]) == 4
        batcher.shutdown()


def test_cli_serves_the_library_and_prints_its_report(library):
    """`serve --library DIR --finetune ...` end to end: the report, /v1/models, one chat, Ctrl-C."""
    import json
    import os
    import signal
    import socket
    import urllib.request

    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1", OMP_NUM_THREADS="1")
    env.pop("VELKOR_ZUMA_DASHBOARD_KEY", None)
    for _ in range(5):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        proc = subprocess.Popen(COMMAND + ["serve", "--library", str(library), "--finetune", "sign",
                                           "--finetune", "normed", "--max-new-tokens", "3", "--port", str(port)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        seen = []
        for line in proc.stderr:
            seen.append(line)
            if "Uvicorn running on" in line:
                break
        else:
            stdout, stderr = proc.communicate(timeout=PATIENCE)
            if "address already in use" in "".join(seen) + stderr:
                continue
            pytest.fail(f"the server exited with {proc.returncode}:\n{stdout}\n{''.join(seen)}{stderr}")
        break
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    root = f"http://127.0.0.1:{port}"
    try:
        models = json.loads(opener.open(root + "/v1/models", timeout=PATIENCE).read())
        assert [m["id"] for m in models["data"]] == ["sign", "normed"]
        req = urllib.request.Request(root + "/v1/chat/completions", method="POST",
                                     data=json.dumps({"model": "normed", "messages": HI}).encode(),
                                     headers={"Content-Type": "application/json"})
        reply = json.loads(opener.open(req, timeout=PATIENCE).read())
        assert reply["model"] == "normed" and reply["object"] == "chat.completion"
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            stdout, stderr = proc.communicate(timeout=PATIENCE)
        finally:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, "".join(seen) + stderr
    assert f"Loading library '{library}'" in stdout
    assert "    sign : " in stdout and "    normed : " in stdout
    assert "2 full models" in stdout
    assert "model.norm.weight" in "".join(seen)  # the rebuilt records' warning


class TestRefused:
    @pytest.mark.parametrize("precision", ["int8", "int4"])
    def test_quantized_base(self, library, precision):
        with pytest.raises(ValueError, match=f"not '{precision}'"):
            _Engine(library_config(library, ["tt"], precision=precision)).load()

    def test_fine_tune_named_like_an_adapter(self, library, tiny_model_dir, tmp_path):
        pytest.importorskip("peft")
        from tinymodel import build_tiny_adapter

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            adapter = str(build_tiny_adapter(tiny_model_dir, tmp_path / "tt", seed=3))
        cfg = library_config(library, ["tt"])
        cfg.adapters = {"tt": adapter}
        with pytest.raises(ValueError, match="fine-tune 'tt' has the name of an adapter"):
            load_engine(cfg)
