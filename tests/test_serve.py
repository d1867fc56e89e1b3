"""Adapter server: configuration and probes, the engine on a real tiny model with real LoRA
adapters, the HTTP API under a real uvicorn server, the dashboard heartbeat and the entry point.
Nothing leaves 127.0.0.1."""

import concurrent.futures
import dataclasses
import http.server
import json
import queue
import socket
import sys
import threading
import time
import types
import urllib.request
import warnings
from pathlib import Path

import pytest

import velkor_zuma.serve as serve_mod
from velkor_zuma.serve import (
    ChatMessage,
    ChatRequest,
    ServeConfig,
    _auto_precision,
    _Engine,
    _human,
    _start_heartbeat,
    _vram_bytes,
    build_app,
    serve,
)

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
pytest.importorskip("peft")

from tinymodel import build_tiny_adapter  # noqa: E402

MAX_NEW = 6
HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
ADAPTER_MESSAGE = (
    "'{}' is not a LoRA adapter (no adapter_config.json). serve needs LoRA/PEFT adapters; "
    "full fine-tunes are not swappable deltas. Store those with `add-base` instead."
)

# Loading a second adapter makes peft warn about the first one's keys; harmless here.
pytestmark = pytest.mark.filterwarnings("ignore:Found missing adapter keys")


# ---------------------------------------------------------------------------------- fixtures


@pytest.fixture(scope="module")
def adapter_dirs(tiny_model_dir, tmp_path_factory):
    root = tmp_path_factory.mktemp("adapters")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return {n: str(build_tiny_adapter(tiny_model_dir, root / n, seed=i + 1))
                for i, n in enumerate("abc")}


@pytest.fixture(scope="module")
def engine(tiny_model_dir, adapter_dirs):
    cfg = ServeConfig(str(tiny_model_dir), {"a": adapter_dirs["a"], "b": adapter_dirs["b"]},
                      max_new_tokens=MAX_NEW)
    eng = _Engine(cfg)
    assert eng.load() is eng
    return eng


@pytest.fixture(scope="module")
def base_engine(tiny_model_dir):
    return _Engine(ServeConfig(str(tiny_model_dir), {}, "fp32", max_new_tokens=MAX_NEW)).load()


@pytest.fixture(scope="module")
def reference(tiny_model_dir, adapter_dirs):
    """Greedy replies computed directly with transformers + peft, without the engine."""
    from peft import PeftModel
    from transformers import AutoModelForCausalLM, AutoTokenizer

    tok = AutoTokenizer.from_pretrained(str(tiny_model_dir))
    cache = {}

    def reply(name, messages=HELLO, n=MAX_NEW):
        key = (name, json.dumps(messages), n)
        if key not in cache:
            model = AutoModelForCausalLM.from_pretrained(str(tiny_model_dir), dtype=torch.float32)
            if name != "base":
                model = PeftModel.from_pretrained(model, adapter_dirs[name])
            model.eval()
            prompt = tok.apply_chat_template(messages, tokenize=False, add_generation_prompt=True)
            ids = tok(prompt, return_tensors="pt")
            with torch.no_grad():
                out = model.generate(**ids, max_new_tokens=n, do_sample=False,
                                     pad_token_id=tok.eos_token_id)
            cache[key] = tok.decode(out[0][ids["input_ids"].shape[1]:], skip_special_tokens=True)
        return cache[key]

    return reply


class _Server:
    """uvicorn on 127.0.0.1 with an ephemeral port, in a thread."""

    def __init__(self, app):
        import uvicorn

        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.server = uvicorn.Server(uvicorn.Config(app, log_level="warning"))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [self.sock]},
                                       daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 30
        while not self.server.started:
            assert self.thread.is_alive() and time.monotonic() < deadline, "server did not start"
            time.sleep(0.02)

    def close(self):
        self.server.should_exit = True
        self.thread.join(10)
        self.sock.close()


@pytest.fixture(scope="module")
def server(engine):
    srv = _Server(build_app(engine))
    yield srv
    srv.close()


@pytest.fixture(scope="module")
def web():
    import httpx

    with httpx.Client(timeout=60) as client:
        yield client


@pytest.fixture(scope="module")
def client(server):
    import openai

    return openai.OpenAI(base_url=server.url + "/v1", api_key="unused", max_retries=0, timeout=60)


@pytest.fixture
def generate_calls(engine, monkeypatch):
    """Records the keyword arguments of every model.generate call the engine makes."""
    calls = []
    original = engine.model.generate

    def spy(*args, **kwargs):
        calls.append(kwargs)
        return original(*args, **kwargs)

    monkeypatch.setattr(engine.model, "generate", spy)
    return calls


# ---------------------------------------------------------------------- configuration, probes


def test_serve_config_fields_defaults_and_sharing():
    names = [f.name for f in dataclasses.fields(ServeConfig)]
    assert names == ["base", "adapters", "precision", "cache_dir", "max_new_tokens", "api_base",
                     "api_key"]
    import typing

    assert typing.get_type_hints(ServeConfig)["api_key"] == typing.Optional[str]
    assert typing.get_type_hints(_Engine)["cfg"] is ServeConfig
    cfg = ServeConfig("org/base", {})
    assert (cfg.precision, cfg.cache_dir, cfg.max_new_tokens, cfg.api_key) == ("auto", None, 256, None)
    assert cfg.api_base.startswith("https://") and cfg.api_base == ServeConfig("x", {}).api_base
    assert cfg == ServeConfig(base="org/base", adapters={})
    cfg.precision = "fp16"  # mutable
    assert "precision='fp16'" in repr(cfg)
    adapters = {"a": "org/a"}
    assert ServeConfig("x", adapters).adapters is adapters  # nothing copied or validated
    assert ServeConfig(1, None, 2).precision == 2


@pytest.mark.parametrize("value, text", [
    (0, "0.00 B"), (1023, "1023.00 B"), (1024, "1.00 KB"), (1536, "1.50 KB"),
    (3 * 1024**3, "3.00 GB"), (5 * 1024**4, "5120.00 GB"), (-5, "-5.00 B"),
    (1048575, "1024.00 KB"), (1.5 * 1024**2, "1.50 MB"), (True, "1.00 B"),
])
def test_human(value, text):
    assert _human(value) == text


@pytest.mark.parametrize("bad", ["12", None, [1]])
def test_human_refuses_non_numbers(bad):
    with pytest.raises(TypeError, match="'b'"):
        _human(bad)


def test_probes_without_cuda():
    assert _vram_bytes() is None
    assert _auto_precision() == "fp32"


def test_probes_without_torch(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)
    assert _vram_bytes() is None
    assert _auto_precision() == "fp32"


@pytest.mark.parametrize("bnb_installed, expected", [(True, "int8"), (False, "fp16")])
def test_auto_precision_with_cuda(monkeypatch, bnb_installed, expected):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setitem(sys.modules, "bitsandbytes",
                        types.ModuleType("bitsandbytes") if bnb_installed else None)
    assert _auto_precision() == expected


def test_vram_bytes_with_cuda(monkeypatch):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setattr(torch.cuda, "memory_allocated", lambda: 12345.0)
    assert _vram_bytes() == 12345 and type(_vram_bytes()) is int

    def broken():
        raise RuntimeError("CUDA error: device lost")

    monkeypatch.setattr(torch.cuda, "memory_allocated", broken)
    assert _vram_bytes() is None


# ----------------------------------------------------------------------------------- engine


def test_engine_record_defaults():
    cfg = ServeConfig("x", {})
    e1, e2 = _Engine(cfg), _Engine(cfg)
    assert [f.name for f in dataclasses.fields(_Engine)] == [
        "cfg", "model", "tokenizer", "adapter_names", "base_vram", "total_vram", "device"]
    assert (e1.model, e1.tokenizer, e1.base_vram, e1.total_vram, e1.device) == (None, None, 0, 0, "cpu")
    assert e1.adapter_names == [] and e1.adapter_names is not e2.adapter_names
    assert e1 == e2 and e1.servable() == ["base"]


def test_engine_loads_adapters_on_one_base(engine):
    from peft import PeftModel

    # "auto" was resolved for this machine and written into the caller's own record.
    assert engine.cfg.precision == "fp32"
    assert (engine.device, engine.base_vram, engine.total_vram) == ("cpu", 0, 0)
    assert isinstance(engine.model, PeftModel)
    assert engine.adapter_names == ["a", "b"]
    assert engine.servable() == ["a", "b"] and engine.servable() is not engine.adapter_names
    assert set(engine.model.peft_config) == {"a", "b"}
    assert next(engine.model.parameters()).dtype == torch.float32
    assert not engine.model.training


def test_engine_without_adapters_needs_no_peft(tiny_model_dir, monkeypatch):
    monkeypatch.setitem(sys.modules, "peft", None)  # any peft import would fail
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, "AUTO")).load()
    assert eng.servable() == ["base"] and eng.adapter_names == []
    assert type(eng.model).__name__ == "LlamaForCausalLM"
    assert eng.cfg.precision == "fp32"


@pytest.mark.parametrize("precision, dtype", [("FP16", torch.float16), ("Fp32", torch.float32)])
def test_engine_precision_letter_case(tiny_model_dir, precision, dtype):
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, precision)).load()
    assert next(eng.model.parameters()).dtype == dtype
    assert eng.cfg.precision == precision  # only "auto" is rewritten


def test_unknown_precision_fails_after_tokenizer(tiny_model_dir, monkeypatch):
    import velkor_zuma.hubload as hubload

    seen = []
    monkeypatch.setattr(hubload, "ensure_cache", seen.append)
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, "bf16", cache_dir="/tmp/hub-cache"))
    with pytest.raises(ValueError, match=r"^unknown precision 'bf16'$"):
        eng.load()
    assert seen == ["/tmp/hub-cache"]
    assert eng.tokenizer is not None and eng.model is None


def test_empty_cache_dir_is_not_applied(tiny_model_dir, monkeypatch):
    import velkor_zuma.hubload as hubload

    seen = []
    monkeypatch.setattr(hubload, "ensure_cache", seen.append)
    with pytest.raises(ValueError):
        _Engine(ServeConfig(str(tiny_model_dir), {}, "nope", cache_dir="")).load()
    assert seen == []


@pytest.mark.parametrize("precision, key, expected", [
    ("fp32", "dtype", "float32"), ("fp16", "dtype", "float16"),
])
def test_precision_kwargs_dtypes(precision, key, expected):
    kw = _Engine(ServeConfig("x", {}, precision))._precision_kwargs()
    assert kw == {key: getattr(torch, expected)}


def test_precision_kwargs_quantized():
    kw8 = _Engine(ServeConfig("x", {}, "INT8"))._precision_kwargs()
    assert list(kw8) == ["quantization_config", "device_map"] and kw8["device_map"] == "auto"
    assert kw8["quantization_config"].load_in_8bit and not kw8["quantization_config"].load_in_4bit
    q4 = _Engine(ServeConfig("x", {}, "int4"))._precision_kwargs()["quantization_config"]
    assert q4.load_in_4bit and q4.bnb_4bit_quant_type == "nf4"
    assert q4.bnb_4bit_compute_dtype == torch.float16


def test_precision_kwargs_without_bitsandbytes_config(monkeypatch):
    monkeypatch.setitem(sys.modules, "transformers", None)
    with pytest.raises(RuntimeError, match=r"^int8/int4 needs transformers \+ bitsandbytes$"):
        _Engine(ServeConfig("x", {}, "int4"))._precision_kwargs()


def test_resolve_local_path_and_hub_id(tmp_path, monkeypatch):
    import velkor_zuma.hubload as hubload

    asked = []

    def fake_snapshot(repo_id):
        asked.append(repo_id)
        return tmp_path / "snap"

    monkeypatch.setattr(hubload, "snapshot", fake_snapshot)
    eng = _Engine(ServeConfig("x", {}))
    (tmp_path / "weights.bin").write_bytes(b"")
    assert eng._resolve(str(tmp_path)) == tmp_path and isinstance(eng._resolve(str(tmp_path)), Path)
    assert eng._resolve(str(tmp_path / "weights.bin")) == tmp_path / "weights.bin"
    assert asked == []  # existing paths never touch the hub
    assert eng._resolve("org/model") == tmp_path / "snap" and asked == ["org/model"]
    with pytest.raises(TypeError, match="'source'"):
        eng._resolve(tmp_path)


@pytest.mark.parametrize("first", [False, True])
def test_full_model_is_not_an_adapter(tiny_model_dir, adapter_dirs, first):
    full = str(tiny_model_dir)  # a full model directory: no adapter_config.json
    adapters = {"full": full} if first else {"a": adapter_dirs["a"], "full": full}
    eng = _Engine(ServeConfig(str(tiny_model_dir), adapters))
    with pytest.raises(RuntimeError) as info:
        eng.load()
    assert str(info.value) == ADAPTER_MESSAGE.format(full)
    assert isinstance(info.value.__cause__, ValueError)
    assert eng.adapter_names == ([] if first else ["a"])


class _PlacedModel:
    """What the loader returns on a (simulated) GPU: records placement and mode calls."""

    def __init__(self, log):
        self.log = log

    def to(self, device):
        self.log.append(("to", device))
        return self

    def eval(self):
        self.log.append("eval")
        return self


@pytest.mark.parametrize("precision, resolved, moved", [
    ("fp16", "fp16", True), ("int4", "int4", False), ("auto", "int8", False)])
def test_load_on_cuda_places_and_measures(tiny_model_dir, monkeypatch, precision, resolved, moved):
    import transformers

    log, readings = [], iter([1000, 5000, 6000])
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setattr(torch.cuda, "memory_allocated", lambda: next(readings))
    monkeypatch.setitem(sys.modules, "bitsandbytes", types.ModuleType("bitsandbytes"))

    def from_pretrained(source, **options):
        log.append(("load", source, sorted(options)))
        return _PlacedModel(log)

    monkeypatch.setattr(transformers.AutoModelForCausalLM, "from_pretrained", from_pretrained)
    cfg = ServeConfig(str(tiny_model_dir), {}, precision)
    eng = _Engine(cfg).load()
    assert cfg.precision == resolved
    assert (eng.device, eng.base_vram, eng.total_vram) == ("cuda", 4000, 6000)
    options = ["dtype"] if moved else ["device_map", "quantization_config"]
    assert log == [("load", str(tiny_model_dir), options), *([("to", "cuda")] if moved else []), "eval"]
    assert isinstance(eng.model, _PlacedModel)


def test_greedy_replies_per_adapter(engine, reference):
    replies = {n: engine.generate(n, HELLO, None, 0.0) for n in ["a", "b", "a"]}
    assert replies["a"] == reference("a") and replies["b"] == reference("b")
    assert replies["a"] != replies["b"]
    for text in replies.values():
        assert "<|user|>" not in text and "Hello" not in text and "</s>" not in text


def test_base_name_disables_adapters(engine, reference):
    engine.generate("b", HELLO, None, 0.0)
    assert engine.generate("base", HELLO, None, 0.0) == reference("base") != reference("b")
    # The adapters are back afterwards.
    assert engine.generate("b", HELLO, None, 0.0) == reference("b")


def test_unknown_name_uses_active_adapter(engine, reference):
    engine.generate("a", HELLO, None, 0.0)
    assert engine.generate("nobody", HELLO, None, 0.0) == reference("a")


def test_base_engine_reply(base_engine, reference):
    assert base_engine.generate("base", HELLO, 0, 0.0) == reference("base")


@pytest.mark.parametrize("limit, temperature, expected", [
    (None, 0.0, (MAX_NEW, False, 1e-5)),
    (0, 0, (MAX_NEW, False, 1e-5)),
    (3.9, 0.7, (3, True, 0.7)),
    (2, -1.0, (2, False, 1e-5)),
])
def test_generation_options(engine, generate_calls, limit, temperature, expected):
    engine.generate("a", HELLO, limit, temperature)
    (kw,) = generate_calls
    assert list(kw) == ["input_ids", "attention_mask", "max_new_tokens", "do_sample", "temperature",
                        "pad_token_id"]
    assert (kw["max_new_tokens"], kw["do_sample"], kw["temperature"]) == expected
    assert kw["pad_token_id"] == engine.tokenizer.eos_token_id


@pytest.mark.parametrize("args, name", [
    ((1, HELLO, None, 0.0), "model_name"),
    (("a", tuple(HELLO), None, 0.0), "messages"),
    (("a", HELLO, "8", 0.0), "max_new_tokens"),
    (("a", HELLO, None, "hot"), "temperature"),
])
def test_generate_argument_types(engine, generate_calls, args, name):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        engine.generate(*args)
    assert generate_calls == []


def test_concurrent_generate_keeps_adapters_apart(engine, reference):
    names = ["a", "b"] * 8
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        replies = list(pool.map(lambda n: engine.generate(n, HELLO, None, 0.0), names))
    assert replies == [reference(n) for n in names]


# --------------------------------------------------------------------------------------- HTTP


def test_healthz(server, web):
    r = web.get(server.url + "/healthz")
    assert r.status_code == 200
    assert list(r.json().items()) == [("status", "ok"), ("vram_allocated", None), ("device", "cpu"),
                                      ("servable", ["a", "b"])]


def test_models(server, web):
    r = web.get(server.url + "/v1/models")
    assert r.json() == {"object": "list", "data": [
        {"id": "a", "object": "model", "owned_by": "velkor-zuma"},
        {"id": "b", "object": "model", "owned_by": "velkor-zuma"}]}
    assert list(r.json()["data"][0]) == ["id", "object", "owned_by"]


def test_models_base_only(base_engine):
    from fastapi.testclient import TestClient

    with TestClient(build_app(base_engine)) as tc:
        assert tc.get("/v1/models").json()["data"] == [
            {"id": "base", "object": "model", "owned_by": "velkor-zuma"}]
        assert tc.get("/healthz").json()["servable"] == ["base"]


def test_app_shape(engine):
    app = build_app(engine)
    assert app.title == "velkor-zuma serve"
    routes = [(r.path, sorted(r.methods), r.name) for r in app.routes if hasattr(r, "endpoint")
              and r.path.startswith(("/healthz", "/v1"))]
    assert routes == [("/healthz", ["GET"], "healthz"), ("/v1/models", ["GET"], "models"),
                      ("/v1/chat/completions", ["POST"], "chat")]


@pytest.mark.parametrize("name", ["a", "b"])
def test_openai_client(client, name, reference):
    resp = client.chat.completions.create(model=name, messages=HELLO)
    assert resp.object == "chat.completion" and resp.model == name
    assert resp.id == "chatcmpl-%d" % resp.created
    assert len(resp.choices) == 1
    choice = resp.choices[0]
    assert (choice.index, choice.finish_reason, choice.message.role) == (0, "stop", "assistant")
    assert choice.message.content == reference(name)
    assert resp.usage is None


def test_chat_body_keys_and_limits(server, web, reference):
    body = {"model": "b", "messages": HELLO, "max_tokens": 3, "stream": True, "top_p": 0.5}
    r = web.post(server.url + "/v1/chat/completions", json=body)
    data = r.json()
    assert r.status_code == 200
    assert list(data) == ["id", "object", "created", "model", "choices"]
    assert list(data["choices"][0]) == ["index", "finish_reason", "message"]
    assert data["choices"][0]["message"]["content"] == reference("b", n=3)
    assert abs(data["created"] - time.time()) < 600


def test_unknown_model_is_404(server, web, generate_calls):
    r = web.post(server.url + "/v1/chat/completions", json={"model": "base", "messages": HELLO})
    assert r.status_code == 404
    assert r.json() == {"detail": "model 'base' not served. available: ['a', 'b']"}
    assert generate_calls == []


@pytest.mark.parametrize("body", [
    {"messages": HELLO},
    {"model": "a"},
    {"model": "a", "messages": [{"content": "hi"}]},
    {"model": "a", "messages": "hi"},
    {"model": "a", "messages": HELLO, "temperature": "hot"},
])
def test_invalid_body_is_422(server, web, body, generate_calls):
    r = web.post(server.url + "/v1/chat/completions", json=body)
    assert r.status_code == 422 and "detail" in r.json()
    assert generate_calls == []


def test_request_models():
    req = ChatRequest(model="a", messages=[{"role": "user", "content": "x"}])
    assert (req.max_tokens, req.temperature) == (None, 0.0)
    assert isinstance(req.messages[0], ChatMessage)
    assert ChatRequest.__module__ == ChatMessage.__module__ == "velkor_zuma.serve"
    assert list(ChatRequest.model_fields) == ["model", "messages", "max_tokens", "temperature"]


def test_concurrent_clients_get_their_adapter(server, reference):
    import httpx

    names = ["a", "b", "b", "a"] * 6  # 24 requests

    def ask(name):
        with httpx.Client(timeout=120) as c:
            r = c.post(server.url + "/v1/chat/completions", json={"model": name, "messages": HELLO})
            return r.json()["choices"][0]["message"]["content"]

    expected = {n: reference(n) for n in "ab"}
    assert expected["a"] != expected["b"]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        replies = list(pool.map(ask, names))
    assert replies == [expected[n] for n in names]


def _stub_engine(generate):
    return types.SimpleNamespace(device="cpu", servable=lambda: ["x", "y"], generate=generate)


def test_handlers_run_on_worker_threads():
    # Two requests can only meet inside generate if the framework runs the synchronous
    # handler off its event loop, one worker thread per request.
    barrier = threading.Barrier(2, timeout=20)

    def generate(name, conversation, max_tokens, temperature):
        assert conversation == [{"role": "user", "content": "hi"}]
        barrier.wait()
        return "%s:%s:%s" % (name, max_tokens, temperature)

    srv = _Server(build_app(_stub_engine(generate)))
    try:
        import httpx

        def ask(name):
            body = {"model": name, "messages": [{"role": "user", "content": "hi"}], "max_tokens": 5}
            with httpx.Client(timeout=60) as c:
                return c.post(srv.url + "/v1/chat/completions", json=body).json()
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            out = list(pool.map(ask, ["x", "y"]))
        assert [o["choices"][0]["message"]["content"] for o in out] == ["x:5:0.0", "y:5:0.0"]
    finally:
        srv.close()


def test_generation_error_is_500_and_server_lives_on():
    from fastapi.testclient import TestClient

    def generate(*args):
        raise RuntimeError("model exploded")

    with TestClient(build_app(_stub_engine(generate)), raise_server_exceptions=False) as tc:
        r = tc.post("/v1/chat/completions", json={"model": "x", "messages": HELLO})
        assert r.status_code == 500
        assert tc.get("/healthz").json()["status"] == "ok"


def test_import_needs_no_heavy_library():
    import subprocess

    code = ("import sys, velkor_zuma.serve\n"
            "heavy = {'torch', 'transformers', 'peft', 'fastapi', 'uvicorn', 'bitsandbytes',\n"
            "         'velkor_zuma.hubload'}\n"
            "print(sorted(heavy & set(sys.modules)))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# ---------------------------------------------------------------------------------- heartbeat


class _Recorder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        # HTTP header names are case-insensitive; urllib sends them title-cased.
        self.server.beats.put((self.command, self.path, self.headers, body))
        self.send_response(500)  # an error status must not matter
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def dashboard():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
    srv.beats = queue.Queue()
    t = threading.Thread(target=srv.serve_forever, daemon=True)
    t.start()
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def beat_sleeps(monkeypatch):
    """Replaces time.sleep for the heartbeat's 20-second waits: records them, lets `allow`
    beats pass, then parks the (daemon) thread for good, so that no heartbeat started here
    keeps posting to 127.0.0.1 ports that later tests may reuse. Each test starts one."""
    real_sleep = time.sleep
    parked = threading.Event()  # never set
    state = types.SimpleNamespace(seen=[], allow=0, changed=threading.Condition())

    def fake(seconds):
        if seconds != 20:
            return real_sleep(seconds)
        with state.changed:
            state.seen.append(seconds)
            state.changed.notify_all()
            passed = len(state.seen) <= state.allow
        if not passed:
            parked.wait()

    def wait_for(n, timeout=30):
        with state.changed:
            return state.changed.wait_for(lambda: len(state.seen) >= n, timeout)

    state.wait_for = wait_for
    monkeypatch.setattr(time, "sleep", fake)
    yield state
    assert wait_for(state.allow + 1), "the heartbeat never reached its 20-second wait"


def _beat(dashboard, key):
    """The next beat sent with this key."""
    while True:
        beat = dashboard.beats.get(timeout=30)
        if beat[2]["X-ZUMA-Key"] == key:
            return beat


def _free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def opened(monkeypatch):
    """Records (url, timeout) of every request the heartbeat opens, then sends it for real."""
    calls = []
    real_urlopen = urllib.request.urlopen

    def spy(req, *args, **kwargs):
        calls.append((req.full_url, kwargs.get("timeout")))
        return real_urlopen(req, *args, **kwargs)

    monkeypatch.setattr(urllib.request, "urlopen", spy)
    return calls


def test_heartbeat_first_beat(engine, dashboard, beat_sleeps, opened):
    cfg = dataclasses.replace(engine.cfg, api_base="http://127.0.0.1:%d" % dashboard.server_port,
                              api_key="key-first")
    before = set(threading.enumerate())
    assert _start_heartbeat(cfg, engine, "0.0.0.0", 8000.0) is None
    started = set(threading.enumerate()) - before
    assert started and all(t.daemon for t in started)  # never keeps the process alive
    method, path, headers, body = _beat(dashboard, "key-first")
    assert (method, path) == ("POST", "/api/zuma/endpoints/heartbeat")
    assert headers["Content-Type"] == "application/json" and headers["X-ZUMA-Key"] == "key-first"
    expected = {
        "name": socket.gethostname(), "host": socket.gethostname(), "url": "http://0.0.0.0:8000/v1",
        "base": cfg.base, "precision": "fp32", "adapters": ["a", "b"], "vram_bytes": 0,
        "base_vram_bytes": 0, "kv_per_token_bytes": 2 * 2 * 2 * 8 * 2, "gpu_total_bytes": 0,
        "gpu_free_bytes": 0, "n_agents": 2, "status": "serving",
    }
    assert body == json.dumps(expected).encode("utf-8")
    assert beat_sleeps.wait_for(1) and beat_sleeps.seen == [20]
    assert opened == [(cfg.api_base + "/api/zuma/endpoints/heartbeat", 4)]


def _fake_engine(config, adapters=()):
    model = types.SimpleNamespace(config=config) if config is not None else object()
    return types.SimpleNamespace(model=model, adapter_names=list(adapters), total_vram=7, base_vram=5)


def _llama(**kw):
    fields = dict(num_hidden_layers=32, num_attention_heads=32, num_key_value_heads=8,
                  hidden_size=4096)
    fields.update(kw)
    return types.SimpleNamespace(**{k: v for k, v in fields.items() if v is not ...})


@pytest.mark.parametrize("config, kv", [
    (_llama(), 131072),
    (_llama(num_key_value_heads=...), 524288),
    (_llama(head_dim=64), 2 * 32 * 8 * 64 * 2),
    (_llama(num_attention_heads=..., head_dim=128), 0),
    (_llama(num_key_value_heads=None), 0),
    (_llama(hidden_size=...), 0),
    (_llama(head_dim="64"), 0),
    (None, 0),
])
def test_heartbeat_kv_bytes_per_token(dashboard, beat_sleeps, config, kv):
    key = "kv-%d" % id(config)
    cfg = ServeConfig("m", {}, "fp16", api_base="http://127.0.0.1:%d" % dashboard.server_port,
                      api_key=key)
    _start_heartbeat(cfg, _fake_engine(config), "h", 1)
    _, _, headers, body = _beat(dashboard, key)
    msg = json.loads(body)
    assert msg["kv_per_token_bytes"] == kv
    assert (msg["vram_bytes"], msg["base_vram_bytes"], msg["precision"]) == (7, 5, "fp16")


@pytest.mark.parametrize("adapters, n_agents", [((), 1), (("x",), 1), (("x", "y", "z"), 3)])
def test_heartbeat_agents_and_trailing_slash(dashboard, beat_sleeps, opened, adapters, n_agents):
    cfg = ServeConfig("m", {}, "fp32", api_base="http://127.0.0.1:%d/" % dashboard.server_port,
                      api_key="agents-%d" % len(adapters))
    _start_heartbeat(cfg, _fake_engine(_llama(), adapters), "h", 1)
    _, _, _, body = _beat(dashboard, cfg.api_key)
    assert opened == [(cfg.api_base + "/api/zuma/endpoints/heartbeat", 4)]
    assert opened[0][0].endswith("//api/zuma/endpoints/heartbeat")
    msg = json.loads(body)
    assert (msg["adapters"], msg["n_agents"]) == (list(adapters), n_agents)


def test_heartbeat_survives_refused_connection(engine, beat_sleeps, capfd):
    beat_sleeps.allow = 2  # three beats, every one refused
    cfg = dataclasses.replace(engine.cfg, api_base="http://127.0.0.1:%d" % _free_port(),
                              api_key="refused")
    _start_heartbeat(cfg, engine, "127.0.0.1", 1)
    assert beat_sleeps.wait_for(3)
    assert beat_sleeps.seen == [20, 20, 20]
    assert capfd.readouterr() == ("", "")
    assert engine.generate("a", HELLO, 2, 0.0) is not None


@pytest.mark.parametrize("key", [None, ""])
def test_heartbeat_without_key_does_nothing(engine, key, monkeypatch):
    sent = []
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: sent.append(a))
    before = set(threading.enumerate())
    cfg = dataclasses.replace(engine.cfg, api_base="http://127.0.0.1:1", api_key=key)
    assert _start_heartbeat(cfg, engine, "h", 1) is None
    time.sleep(0.2)
    assert set(threading.enumerate()) - before == set() and sent == []


@pytest.mark.parametrize("host, port, name", [(1, 2, "host"), ("h", "80", "port")])
def test_heartbeat_argument_types(engine, host, port, name):
    cfg = dataclasses.replace(engine.cfg, api_key="k")
    with pytest.raises(TypeError, match="'%s'" % name):
        _start_heartbeat(cfg, engine, host, port)


# ------------------------------------------------------------------------------------- serve


@pytest.fixture
def uvicorn_runs(monkeypatch):
    import uvicorn

    runs = []
    monkeypatch.setattr(uvicorn, "run", lambda app, **kw: runs.append((app, kw)))
    return runs


def _report(base, precision, device, base_vram, adapters, total, host, port, servable, extra=()):
    lines = ["Loading base '%s' (%s) ..." % (base, precision[0]), "", "=" * 60,
             "velkor-zuma serve - VRAM proof",
             "  device          : " + device,
             "  precision       : " + precision[1],
             "  base (resident) : " + base_vram,
             "  adapters loaded : %d  %s" % (len(adapters), adapters),
             "  total VRAM      : " + total, *extra, "=" * 60, "",
             "Serving on http://%s:%d" % (host, port), "  GET  /v1/models",
             "  POST /v1/chat/completions   (model = one of %s)" % servable]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("names", [(), ("a", "b")])
def test_serve_cpu_report(tiny_model_dir, adapter_dirs, uvicorn_runs, capsys, names):
    cfg = ServeConfig(str(tiny_model_dir), {n: adapter_dirs[n] for n in names})
    assert serve(cfg, "127.0.0.1", 8123.0) is None
    extra = ["  naive (N full models) : ~0.00 B"] if names else []
    assert capsys.readouterr().out == _report(
        cfg.base, ("auto", "fp32"), "cpu", "0.00 B", list(names), "0.00 B", "127.0.0.1", 8123,
        list(names) or ["base"], extra)
    ((app, kw),) = uvicorn_runs
    assert app.title == "velkor-zuma serve"
    assert kw == {"host": "127.0.0.1", "port": 8123, "log_level": "info"}


class _FakeEngine:
    """Stands in for a CUDA load: fixed VRAM figures, adapters a, b, c."""

    total = 2.5 * 2**30

    def __init__(self, cfg):
        self.cfg = cfg

    def load(self):
        self.adapter_names, self.device = ["a", "b", "c"], "cuda"
        self.base_vram, self.total_vram = 2 * 2**30, self.total
        return self

    def servable(self):
        return list(self.adapter_names)


@pytest.mark.parametrize("total, extra", [
    (2.5 * 2**30, ["  naive (N full models) : ~6.00 GB", "  ZUMA saving           : 2.40x less VRAM"]),
    (0, ["  naive (N full models) : ~6.00 GB"]),
])
def test_serve_gpu_report_and_order(monkeypatch, uvicorn_runs, capsys, total, extra):
    events = []
    monkeypatch.setattr(_FakeEngine, "total", total)
    monkeypatch.setattr(serve_mod, "_Engine", _FakeEngine)
    monkeypatch.setattr(serve_mod, "build_app", lambda eng: ("app", eng))
    monkeypatch.setattr(serve_mod, "_start_heartbeat",
                        lambda *a: events.append(("heartbeat", a, capsys.readouterr().out)))
    cfg = ServeConfig("org/base", {}, "fp16", api_key="k")
    serve(cfg, "0.0.0.0", 9000)
    ((kind, args, printed),) = events
    assert printed == _report("org/base", ("fp16", "fp16"), "cuda", "2.00 GB", ["a", "b", "c"],
                              _human(total), "0.0.0.0", 9000, ["a", "b", "c"], extra)
    assert args[0] is cfg and args[2:] == ("0.0.0.0", 9000)
    ((app, kw),) = uvicorn_runs
    assert app == ("app", args[1]) and kw["port"] == 9000


def test_serve_load_failure_propagates(tiny_model_dir, uvicorn_runs, capsys):
    with pytest.raises(ValueError, match="unknown precision 'bf16'"):
        serve(ServeConfig(str(tiny_model_dir), {}, "bf16"), "127.0.0.1", 1)
    assert capsys.readouterr().out == "Loading base '%s' (bf16) ...\n" % tiny_model_dir
    assert uvicorn_runs == []


@pytest.mark.parametrize("missing", ["fastapi", "uvicorn"])
def test_serve_needs_web_stack(monkeypatch, capsys, missing):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(RuntimeError) as info:
        serve(ServeConfig("org/base", {}), "127.0.0.1", 1)
    assert str(info.value) == 'serve needs fastapi + uvicorn: pip install "velkor-zuma[serve]"'
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("host, port, name", [(None, 1, "host"), ("h", "1", "port")])
def test_serve_argument_types(host, port, name):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        serve(ServeConfig("org/base", {}), host, port)
