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
import typing
import urllib.request
import warnings
from pathlib import Path
from unittest import mock

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
from localserver import LocalServer  # noqa: E402
from waiting import PATIENCE, until  # noqa: E402

MAX_NEW = 6
HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
ADAPTER_MESSAGE = (
    "'{}' is not a LoRA adapter (no adapter_config.json). serve needs LoRA/PEFT adapters; "
    "full fine-tunes are not swappable deltas. Store those with `add-base` instead."
)

# Loading a second adapter makes peft warn about the first one's keys; harmless here.
pytestmark = pytest.mark.filterwarnings("ignore:Found missing adapter keys")


CPU_HAS_BF16 = serve_mod._cpu_has_bf16  # the real probe, before any test replaces it

# ---------------------------------------------------------------------------------- fixtures
@pytest.fixture(scope="module", autouse=True)
def cpu_without_bf16():
    """"auto" means fp32 on a CPU without native bfloat16: these tests pin that machine, so
    that what they expect does not depend on the CPU that runs them (module-wide, before the
    module's engines load)."""
    with pytest.MonkeyPatch.context() as m:
        m.setattr(serve_mod, "_cpu_has_bf16", lambda: False)
        yield


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
    """Greedy replies to HELLO computed directly with transformers + peft, without the engine."""
    from peft import PeftModel
    from transformers import AutoModelForCausalLM, AutoTokenizer

    tok = AutoTokenizer.from_pretrained(str(tiny_model_dir))
    cache = {}

    def reply(name, n=MAX_NEW):
        if (name, n) not in cache:
            model = AutoModelForCausalLM.from_pretrained(str(tiny_model_dir), dtype=torch.float32)
            if name != "base":
                model = PeftModel.from_pretrained(model, adapter_dirs[name])
            model.eval()
            prompt = tok.apply_chat_template(HELLO, tokenize=False, add_generation_prompt=True)
            ids = tok(prompt, return_tensors="pt")
            with torch.no_grad():
                out = model.generate(**ids, max_new_tokens=n, do_sample=False,
                                     pad_token_id=tok.eos_token_id)
            new = out[0][ids["input_ids"].shape[1]:]
            cache[name, n] = tok.decode(new, skip_special_tokens=True)
        return cache[name, n]

    return reply


@pytest.fixture(scope="module")
def server(engine):
    srv = LocalServer(build_app(engine))
    yield srv
    srv.close()


@pytest.fixture
def generate_calls(engine, monkeypatch):
    """Records every model.generate call the engine makes (and still generates)."""
    spy = mock.Mock(wraps=engine.model.generate)
    monkeypatch.setattr(engine.model, "generate", spy)
    return spy.call_args_list


# ------------------------------------------------------------- records, request models, probes
def test_records_and_request_models():
    names = [f.name for f in dataclasses.fields(ServeConfig)]
    assert names == ["base", "adapters", "precision", "cache_dir", "max_new_tokens", "api_base",
                     "api_key"]
    assert typing.get_type_hints(ServeConfig)["api_key"] == typing.Optional[str]
    assert typing.get_type_hints(_Engine)["cfg"] is ServeConfig
    cfg = ServeConfig("org/base", {})
    assert (cfg.precision, cfg.cache_dir, cfg.max_new_tokens, cfg.api_key) == ("auto", None, 256, None)
    assert cfg.api_base.startswith("https://") and cfg.api_base == ServeConfig("x", {}).api_base
    cfg.precision = "fp16"  # mutable
    assert "precision='fp16'" in repr(cfg) and cfg == ServeConfig(base="org/base", adapters={},
                                                                 precision="fp16")
    adapters = {"a": "org/a"}
    assert ServeConfig("x", adapters).adapters is adapters  # nothing copied or validated
    assert ServeConfig(1, None, 2).precision == 2
    # The engine record before load: a fresh adapter list per engine.
    e1, e2 = _Engine(cfg), _Engine(cfg)
    assert [f.name for f in dataclasses.fields(_Engine)] == [
        "cfg", "model", "tokenizer", "adapter_names", "base_vram", "total_vram", "device"]
    assert (e1.model, e1.tokenizer, e1.base_vram, e1.total_vram, e1.device) == (None, None, 0, 0, "cpu")
    assert e1.adapter_names == [] and e1.adapter_names is not e2.adapter_names
    assert e1 == e2 and e1.servable() == ["base"]
    req = ChatRequest(model="a", messages=[{"role": "user", "content": "x"}])
    assert (req.max_tokens, req.temperature) == (None, 0.0)
    assert isinstance(req.messages[0], ChatMessage)
    assert ChatRequest.__module__ == ChatMessage.__module__ == "velkor_zuma.serve"
    assert list(ChatRequest.model_fields) == ["model", "messages", "max_tokens", "temperature",
                                              "stream", "stream_options"]
    assert (req.stream, req.stream_options) == (False, None)


@pytest.mark.parametrize("value, text", [
    (0, "0.00 B"), (1023, "1023.00 B"), (1024, "1.00 KB"), (1536, "1.50 KB"),
    (3 * 1024**3, "3.00 GB"), (5 * 1024**4, "5120.00 GB"), (-5, "-5.00 B"),
    (1048575, "1024.00 KB"), (1.5 * 1024**2, "1.50 MB"), (True, "1.00 B"),
    ("12", TypeError), (None, TypeError), ([1], TypeError),
])
def test_human(value, text):
    if text is TypeError:
        with pytest.raises(TypeError, match="'b'"):
            _human(value)
    else:
        assert _human(value) == text


def test_probes(monkeypatch):
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "torch", None)  # no torch at all
        assert (_vram_bytes(), _auto_precision()) == (None, "fp32")
    assert (_vram_bytes(), _auto_precision()) == (None, "fp32")  # torch without CUDA
    monkeypatch.setattr(serve_mod, "_cpu_has_bf16", lambda: True)
    assert _auto_precision() == "bf16"  # a CPU that computes bfloat16 natively
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setitem(sys.modules, "bitsandbytes", types.ModuleType("bitsandbytes"))
    assert _auto_precision() == "int8"
    monkeypatch.setitem(sys.modules, "bitsandbytes", None)
    assert _auto_precision() == "fp16"
    monkeypatch.setattr(torch.cuda, "memory_allocated", lambda: 12345.0)
    assert _vram_bytes() == 12345 and type(_vram_bytes()) is int
    monkeypatch.setattr(torch.cuda, "memory_allocated",
                        mock.Mock(side_effect=RuntimeError("CUDA error: device lost")))
    assert _vram_bytes() is None


# ----------------------------------------------------------------------------------- engine
@pytest.mark.parametrize("precision, dtype, stored", [
    ("AUTO", torch.float32, "fp32"), ("FP16", torch.float16, "FP16"), ("BF16", torch.bfloat16, "BF16"),
    ("Fp32", torch.float32, "Fp32")])
def test_engine_without_adapters(tiny_model_dir, monkeypatch, precision, dtype, stored):
    """Serves the bare base as "base" without importing peft; precision in any letter case,
    and only "auto" is rewritten in the caller's record."""
    monkeypatch.setitem(sys.modules, "peft", None)  # any peft import would fail
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, precision)).load()
    assert eng.servable() == ["base"] and eng.adapter_names == []
    assert type(eng.model).__name__ == "LlamaForCausalLM"
    assert next(eng.model.parameters()).dtype == dtype and eng.cfg.precision == stored


def test_output_projection_reads_one_matrix(tiny_model_dir):
    """The last positions of prompts reach the output projection laid out as one matrix (a
    strided view made torch copy the whole transposed weight on every bf16 prompt), and the
    logits are those of the plain forward."""
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, "bf16")).load()
    seen = []
    head = eng.model.get_output_embeddings()
    head.register_forward_pre_hook(lambda mod, args: seen.append((args[0].shape, args[0].stride())))
    ids = torch.tensor([[5, 6, 7, 8, 9], [9, 8, 7, 6, 5]])
    with torch.no_grad():
        last = eng.model(input_ids=ids, logits_to_keep=1).logits
        full = eng.model(input_ids=ids).logits
    (shape, stride), _ = seen
    assert tuple(shape) == (2, 1, head.in_features) and stride[0] == stride[1] * shape[1]
    assert torch.equal(last[:, -1], full[:, -1])


@pytest.mark.parametrize("cache_dir, ensured", [("/tmp/hub-cache", ["/tmp/hub-cache"]), ("", [])])
def test_unknown_precision_fails_after_tokenizer(tiny_model_dir, monkeypatch, cache_dir, ensured):
    import velkor_zuma.hubload as hubload

    seen = []
    monkeypatch.setattr(hubload, "ensure_cache", seen.append)
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}, "fp8", cache_dir=cache_dir))
    with pytest.raises(ValueError, match=r"^unknown precision 'fp8'$"):
        eng.load()
    assert seen == ensured  # an empty cache_dir is not applied
    assert eng.tokenizer is not None and eng.model is None


def test_precision_kwargs(monkeypatch):
    def kwargs(precision):
        return _Engine(ServeConfig("x", {}, precision))._precision_kwargs()

    assert kwargs("fp32") == {"dtype": torch.float32} and kwargs("fp16") == {"dtype": torch.float16}
    kw8 = kwargs("INT8")
    assert list(kw8) == ["quantization_config", "device_map"] and kw8["device_map"] == "auto"
    assert kw8["quantization_config"].load_in_8bit and not kw8["quantization_config"].load_in_4bit
    q4 = kwargs("int4")["quantization_config"]
    assert q4.load_in_4bit and q4.bnb_4bit_quant_type == "nf4"
    assert q4.bnb_4bit_compute_dtype == torch.float16
    monkeypatch.setitem(sys.modules, "transformers", None)
    with pytest.raises(RuntimeError, match=r"^int8/int4 needs transformers \+ bitsandbytes$"):
        kwargs("int4")


def test_resolve_local_path_and_hub_id(tmp_path, monkeypatch):
    import velkor_zuma.hubload as hubload

    asked = []
    monkeypatch.setattr(hubload, "snapshot", lambda repo: asked.append(repo) or tmp_path / "snap")
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


@pytest.mark.parametrize("precision, resolved, moved", [
    ("fp16", "fp16", True), ("int4", "int4", False), ("auto", "int8", False)])
def test_load_on_cuda_places_and_measures(tiny_model_dir, monkeypatch, precision, resolved, moved):
    """A simulated GPU: a plain dtype load is moved to cuda, a quantized one is placed by the
    loader; base VRAM is the growth across the model load, total the last reading."""
    import transformers

    log, readings = [], iter([1000, 5000, 6000])
    placed = mock.Mock()
    placed.to.side_effect = lambda device: log.append(("to", device)) or placed
    placed.eval.side_effect = lambda: log.append("eval") or placed
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setattr(torch.cuda, "memory_allocated", lambda: next(readings))
    monkeypatch.setitem(sys.modules, "bitsandbytes", types.ModuleType("bitsandbytes"))
    monkeypatch.setattr(transformers.AutoModelForCausalLM, "from_pretrained",
                        lambda source, **kw: log.append(("load", source, sorted(kw))) or placed)
    cfg = ServeConfig(str(tiny_model_dir), {}, precision)
    eng = _Engine(cfg).load()
    assert cfg.precision == resolved and eng.model is placed
    assert (eng.device, eng.base_vram, eng.total_vram) == ("cuda", 4000, 6000)
    options = ["dtype"] if moved else ["device_map", "quantization_config"]
    assert log == [("load", str(tiny_model_dir), options), *([("to", "cuda")] if moved else []), "eval"]


def test_engine_with_adapters(engine, base_engine, reference):
    """Adapters load onto one base. Greedy replies equal a direct peft generate with that
    adapter active; "base" disables the adapters for that call only; an unknown name answers
    with the active adapter."""
    from peft import PeftModel

    # "auto" was resolved for this machine and written into the caller's own record.
    assert engine.cfg.precision == "fp32"
    assert (engine.device, engine.base_vram, engine.total_vram) == ("cpu", 0, 0)
    assert isinstance(engine.model, PeftModel) and set(engine.model.peft_config) == {"a", "b"}
    assert engine.adapter_names == ["a", "b"]
    assert engine.servable() == ["a", "b"] and engine.servable() is not engine.adapter_names
    assert next(engine.model.parameters()).dtype == torch.float32 and not engine.model.training
    replies = {n: engine.generate(n, HELLO, None, 0.0) for n in ["a", "b", "a"]}
    assert replies == {"a": reference("a"), "b": reference("b")} and replies["a"] != replies["b"]
    for text in replies.values():  # only the new text: no prompt, no special tokens
        assert "<|user|>" not in text and "Hello" not in text and "</s>" not in text
    engine.generate("b", HELLO, None, 0.0)
    assert engine.generate("base", HELLO, None, 0.0) == reference("base") != reference("b")
    assert engine.generate("b", HELLO, None, 0.0) == reference("b")
    engine.generate("a", HELLO, None, 0.0)
    assert engine.generate("nobody", HELLO, None, 0.0) == reference("a")
    assert base_engine.generate("base", HELLO, 0, 0.0) == reference("base")


@pytest.mark.parametrize("limit, temperature, expected", [
    (None, 0.0, (MAX_NEW, False, 1e-5)),
    (0, 0, (MAX_NEW, False, 1e-5)),
    (3.9, 0.7, (3, True, 0.7)),
    (2, -1.0, (2, False, 1e-5)),
])
def test_generation_options(engine, generate_calls, limit, temperature, expected):
    engine.generate("a", HELLO, limit, temperature)
    (call,) = generate_calls
    kw = call.kwargs
    assert list(kw) == ["input_ids", "attention_mask", "max_new_tokens", "do_sample", "temperature",
                        "pad_token_id"]
    assert (kw["max_new_tokens"], kw["do_sample"], kw["temperature"]) == expected
    assert kw["pad_token_id"] == engine.tokenizer.eos_token_id


# --------------------------------------------------------------------------------------- HTTP
def test_routes_healthz_and_models(server, engine, base_engine):
    r = server.http.get("/healthz")
    assert r.status_code == 200
    assert list(r.json().items()) == [("status", "ok"), ("vram_allocated", None), ("device", "cpu"),
                                      ("precision", engine.cfg.precision), ("servable", ["a", "b"])]
    models = server.http.get("/v1/models").json()
    created = models["data"][0]["created"]
    assert isinstance(created, int) and abs(created - time.time()) < 3600
    assert models == {"object": "list", "data": [
        {"id": "a", "object": "model", "created": created, "owned_by": "velkor-zuma"},
        {"id": "b", "object": "model", "created": created, "owned_by": "velkor-zuma"}]}
    assert list(models["data"][0]) == ["id", "object", "created", "owned_by"]
    from fastapi.testclient import TestClient

    app = build_app(base_engine)  # no adapters: only "base"
    assert app.title == "velkor-zuma serve"
    routes = [(r.path, sorted(r.methods), r.name) for r in app.routes if hasattr(r, "endpoint")
              and r.path.startswith(("/healthz", "/v1", "/metrics"))]
    assert routes == [("/healthz", ["GET", "HEAD"], "healthz"), ("/v1/models", ["GET", "HEAD"], "models"),
                      ("/v1/chat/completions", ["POST"], "chat"),
                      ("/v1/models/{model_id:path}", ["GET", "HEAD"], "model"),
                      ("/v1/completions", ["POST"], "completions"),
                      ("/metrics", ["GET", "HEAD"], "metrics")]
    with TestClient(app) as tc:
        assert tc.get("/v1/models").json()["data"] == [
            {"id": "base", "object": "model", "created": tc.get("/v1/models").json()["data"][0]["created"],
             "owned_by": "velkor-zuma"}]
        assert tc.get("/healthz").json()["servable"] == ["base"]


@pytest.mark.parametrize("name", ["a", "b"])
def test_chat_completions(server, name, reference):
    import openai

    client = openai.OpenAI(base_url=server.url + "/v1", api_key="unused", max_retries=0, timeout=60)
    resp = client.chat.completions.create(model=name, messages=HELLO)
    assert resp.object == "chat.completion" and resp.model == name
    assert resp.id.startswith("chatcmpl-%d-" % resp.created) and abs(resp.created - time.time()) < 600
    (choice,) = resp.choices
    assert (choice.index, choice.finish_reason, choice.message.role) == (0, "length", "assistant")
    assert choice.message.content == reference(name)
    assert resp.usage.completion_tokens == MAX_NEW
    # Plain HTTP: exact key order, max_tokens honoured, unknown options ignored.
    body = {"model": name, "messages": HELLO, "max_tokens": 3, "top_p": 0.5}
    r = server.http.post("/v1/chat/completions", json=body)
    data = r.json()
    assert r.status_code == 200
    assert list(data) == ["id", "object", "created", "model", "choices", "usage"]
    assert list(data["choices"][0]) == ["index", "finish_reason", "message"]
    assert list(data["usage"]) == ["prompt_tokens", "completion_tokens", "total_tokens"]
    assert data["choices"][0]["message"]["content"] == reference(name, n=3)


@pytest.mark.parametrize("body, status", [
    ({"model": "base", "messages": HELLO}, 404),  # "base" is not served while adapters are
    ({"messages": HELLO}, 422),
    ({"model": "a"}, 422),
    ({"model": "a", "messages": [{"content": "hi"}]}, 422),
    ({"model": "a", "messages": "hi"}, 422),
    ({"model": "a", "messages": HELLO, "temperature": "hot"}, 422),
])
def test_rejected_requests_never_generate(server, generate_calls, body, status):
    r = server.http.post("/v1/chat/completions", json=body)
    assert r.status_code == status and list(r.json()) == ["error"]
    assert list(r.json()["error"]) == ["message", "type", "param", "code"]
    if status == 404:
        assert r.json() == {"error": {"message": "model 'base' not served. available: ['a', 'b']",
                                      "type": "invalid_request_error", "param": "model",
                                      "code": "model_not_found"}}
    assert generate_calls == []


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


# -------------------------------------------- OpenAI clients: streaming, usage, limits, batching
HI = [{"role": "user", "content": "hi"}]  # adapter "a" answers "ch" per token, "b" "0" per token


def _openai(url, key="unused"):
    import openai

    return openai.OpenAI(base_url=url + "/v1", api_key=key, max_retries=0, timeout=120)


def _prompt_tokens(eng, messages):
    prompt = eng.tokenizer.apply_chat_template(messages, tokenize=False, add_generation_prompt=True)
    return len(eng.tokenizer(prompt)["input_ids"])


@pytest.fixture
def generations(engine):
    """The rows of every forward of the model (a hook on lm_head): one entry per step."""
    log = []
    handle = engine.model.get_base_model().lm_head.register_forward_hook(
        lambda module, args, output: log.append(args[0].shape[0]))
    yield log
    handle.remove()


@pytest.fixture
def step_gate(engine):
    """Blocks the model's third decoding step until released (a forward hook on lm_head)."""
    calls, gate = [], threading.Event()

    def hook(module, args, output):
        calls.append(1)
        if len(calls) == 3:
            gate.wait(60)

    handle = engine.model.get_base_model().lm_head.register_forward_hook(hook)
    yield types.SimpleNamespace(release=gate.set, reached=lambda: len(calls) >= 3)
    gate.set()
    handle.remove()


@pytest.mark.parametrize("name, messages", [("a", HELLO), ("a", HI), ("b", HI)])
@pytest.mark.parametrize("include_usage", [False, True])
def test_streaming_equals_reply(server, name, messages, include_usage):
    client = _openai(server.url)
    whole = client.chat.completions.create(model=name, messages=messages, max_tokens=5)
    extra = {"stream_options": {"include_usage": True}} if include_usage else {}
    chunks = list(client.chat.completions.create(model=name, messages=messages, max_tokens=5,
                                                 stream=True, **extra))
    assert len({c.id for c in chunks}) == 1 and chunks[0].id.startswith("chatcmpl-")
    assert chunks[0].id != whole.id
    assert all(c.object == "chat.completion.chunk" and c.model == name for c in chunks)
    with_choice = [c for c in chunks if c.choices]
    assert with_choice[0].choices[0].delta.role == "assistant"
    assert "".join(c.choices[0].delta.content or "" for c in with_choice) == whole.choices[0].message.content
    reasons = [c.choices[0].finish_reason for c in with_choice]
    assert reasons == [None] * (len(with_choice) - 1) + ["length"]
    if include_usage:  # one last chunk without choices carries the usage; the others say null
        assert not chunks[-1].choices and chunks[-1].usage == whole.usage
        assert all(c.usage is None for c in chunks[:-1])
    else:
        assert all(c.usage is None for c in chunks) and len(with_choice) == len(chunks)


def test_stream_delivers_text_while_generating(server, step_gate):
    """The first content arrives while the model is held at its third step."""
    body = {"model": "a", "messages": HI, "max_tokens": 8, "stream": True}
    events = []
    with server.http.stream("POST", "/v1/chat/completions", json=body) as r:
        assert r.headers["content-type"].startswith("text/event-stream")
        for line in r.iter_lines():
            if line.startswith("data: "):
                events.append(line[6:])
                if len(events) == 2:  # role chunk, then the first content
                    assert not step_gate.reached() or "ch" in events[1]
                    assert json.loads(events[1])["choices"][0]["delta"]["content"].startswith("ch")
                    step_gate.release()
    assert events[-1] == "[DONE]"
    text = "".join(json.loads(e)["choices"][0]["delta"].get("content", "") for e in events[:-1])
    assert text == "ch" * 8


def test_usage_and_finish_reasons(server, engine, monkeypatch):
    n = _prompt_tokens(engine, HELLO)
    client = _openai(server.url)
    r = client.chat.completions.create(model="a", messages=HELLO, max_tokens=4)
    assert (r.usage.prompt_tokens, r.usage.completion_tokens, r.usage.total_tokens) == (n, 4, n + 4)
    assert r.choices[0].finish_reason == "length"
    # Make the token that adapter "a" repeats for HI an end-of-sequence token: the reply stops
    # at its first token, and says so.
    tok = engine.tokenizer
    engine.model.set_adapter("a")
    ids = tok(tok.apply_chat_template(HI, tokenize=False, add_generation_prompt=True), return_tensors="pt")
    with torch.no_grad():
        first = engine.model.generate(**ids, max_new_tokens=1, do_sample=False,
                                      pad_token_id=tok.eos_token_id)[0, -1].item()
    monkeypatch.setattr(engine.model.generation_config, "eos_token_id", [tok.eos_token_id, first])
    expected = engine.generate("a", HI, 6, 0.0)
    r = client.chat.completions.create(model="a", messages=HI, max_tokens=6)
    assert (r.choices[0].finish_reason, r.choices[0].message.content) == ("stop", expected)
    assert r.usage.completion_tokens == 1
    chunks = list(client.chat.completions.create(model="a", messages=HI, max_tokens=6, stream=True))
    assert chunks[-1].choices[0].finish_reason == "stop"


def test_reply_ids_are_unique(server):
    client = _openai(server.url)
    replies = [client.chat.completions.create(model="b", messages=HI, max_tokens=1) for _ in range(6)]
    ids = [r.id for r in replies]
    assert len(set(ids)) == 6
    assert all(i.startswith("chatcmpl-%d-" % r.created) for i, r in zip(ids, replies))


LONG = [{"role": "user", "content": "word " * 2100}]  # beyond the tiny model's 2048 positions


@pytest.mark.parametrize("body, status, field", [
    ({"model": "a", "messages": []}, 400, "'messages'"),
    ({"model": "a", "messages": HELLO, "max_tokens": -5}, 400, "'max_tokens'"),
    ({"model": "a", "messages": HELLO, "max_tokens": -2**70}, 400, "'max_tokens'"),
    ('{"model": "a", "messages": [{"role": "user", "content": "hi"}], "temperature": NaN}', 400,
     "'temperature'"),
    ('{"model": "a", "messages": [{"role": "user", "content": "hi"}], "temperature": -Infinity}', 400,
     "'temperature'"),
    ({"model": "a", "messages": LONG}, 400, "'messages'"),
    ({"model": "a", "messages": LONG, "stream": True}, 400, "'messages'"),
    ({"model": "base", "messages": HELLO, "stream": True}, 404, "model 'base'"),
    ({"model": "a", "messages": HELLO, "stream": "yes please"}, 422, "stream"),
])
def test_bad_requests_are_4xx_and_server_lives_on(server, generations, reference, body, status, field):
    if isinstance(body, str):
        r = server.http.post("/v1/chat/completions", content=body,
                             headers={"content-type": "application/json"})
    else:
        r = server.http.post("/v1/chat/completions", json=body)
    assert r.status_code == status and field in r.json()["error"]["message"]
    assert generations == []
    ok = server.http.post("/v1/chat/completions", json={"model": "a", "messages": HELLO})
    assert ok.json()["choices"][0]["message"]["content"] == reference("a")


@pytest.fixture(scope="module")
def short(tmp_path_factory):
    """The base alone with a context of 48 positions, behind a server taking 4 KiB bodies."""
    from tinymodel import build_tiny_model

    path = build_tiny_model(tmp_path_factory.mktemp("short"), seed=0, max_position_embeddings=48)
    eng = _Engine(ServeConfig(str(path), {}, "fp32", max_new_tokens=MAX_NEW)).load()
    srv = LocalServer(build_app(eng, max_body_bytes=4096))
    yield types.SimpleNamespace(engine=eng, server=srv)
    srv.close()


@pytest.mark.parametrize("max_tokens", [2**70, 10**6, 48])
def test_max_tokens_capped_by_context(short, max_tokens, monkeypatch):
    """No more new tokens than the context leaves after the prompt, over HTTP and directly."""
    room = 48 - _prompt_tokens(short.engine, HELLO)
    r = short.server.http.post("/v1/chat/completions",
                               json={"model": "base", "messages": HELLO, "max_tokens": max_tokens})
    assert r.status_code == 200
    assert (r.json()["usage"]["completion_tokens"], r.json()["choices"][0]["finish_reason"]) == (room, "length")
    spy = mock.Mock(wraps=short.engine.model.generate)
    monkeypatch.setattr(short.engine.model, "generate", spy)
    short.engine.generate("base", HELLO, max_tokens, 0.0)
    assert spy.call_args.kwargs["max_new_tokens"] == room


def test_body_size_limit(short):
    big = b'{"model": "base", "messages": [{"role": "user", "content": "' + b"x" * 100_000 + b'"}]}'
    http = short.server.http
    for path in ["/v1/chat/completions", "/nowhere"]:
        r = http.post(path, content=big, headers={"content-type": "application/json"})
        assert r.status_code == 413 and "above the limit of 4096 bytes" in r.json()["error"]["message"]
    r = http.post("/v1/chat/completions", content=iter([b'{"model": "base", ', b'"messages": []}']))
    assert r.status_code == 411  # a body without a declared length
    r = http.post("/v1/chat/completions", json={"model": "base", "messages": HELLO, "max_tokens": 2})
    assert r.status_code == 200 and r.json()["usage"]["completion_tokens"] == 2


@pytest.fixture
def keyed(engine, monkeypatch):
    monkeypatch.setenv("VELKOR_ZUMA_API_KEY", "s3cret")
    srv = LocalServer(build_app(engine))
    monkeypatch.delenv("VELKOR_ZUMA_API_KEY")  # read when the application is built
    yield srv
    srv.close()


def test_api_key(keyed, reference):
    import openai

    assert keyed.http.get("/healthz").json()["status"] == "ok"  # open for liveness probes
    for auth in [None, "Bearer wrong", "Bearer s3cret2", "bearer s3cret", "s3cret", "Bearer s3cre"]:
        headers = {"Authorization": auth} if auth else {}
        for method, path in [("GET", "/v1/models"), ("POST", "/v1/chat/completions"), ("GET", "/docs")]:
            r = keyed.http.request(method, path, headers=headers,
                                   json={"model": "a", "messages": HELLO} if method == "POST" else None)
            assert r.status_code == 401 and r.headers["www-authenticate"] == "Bearer"
    with pytest.raises(openai.AuthenticationError):
        _openai(keyed.url, "wrong").models.list()
    client = _openai(keyed.url, "s3cret")
    assert [m.id for m in client.models.list()] == ["a", "b"]
    assert client.chat.completions.create(model="a", messages=HELLO).choices[0].message.content == reference("a")
    chunks = list(client.chat.completions.create(model="b", messages=HELLO, stream=True))
    assert "".join(c.choices[0].delta.content or "" for c in chunks) == reference("b")


@pytest.mark.parametrize("stream", [False, True])
def test_client_going_away_stops_its_generation(server, generations, step_gate, stream, monkeypatch):
    import anyio.from_thread
    import httpx
    import starlette.background

    # The model stays held until the server has noticed that the client left, however slow the
    # machine is: a whole reply polls the connection, a stream's response ends and runs its
    # background task.
    noticed, real_run, real_task = threading.Event(), anyio.from_thread.run, starlette.background.BackgroundTask.__call__

    def run(fn, *args):
        result = real_run(fn, *args)
        if getattr(fn, "__name__", "") == "is_disconnected" and result is True:
            noticed.set()
        return result

    async def task(self):
        await real_task(self)
        noticed.set()

    monkeypatch.setattr(anyio.from_thread, "run", run)
    monkeypatch.setattr(starlette.background.BackgroundTask, "__call__", task)
    body = {"model": "a", "messages": HI, "max_tokens": 1500, "stream": stream}
    with httpx.Client(base_url=server.url, timeout=2) as http:
        if stream:
            with http.stream("POST", "/v1/chat/completions", json=body) as r:
                next(r.iter_lines())  # the role chunk; then the client leaves
        else:
            with pytest.raises(httpx.ReadTimeout):
                http.post("/v1/chat/completions", json=body)
    assert noticed.wait(PATIENCE)
    step_gate.release()
    batcher = server.app.state.batcher
    until(lambda: batcher.in_batch + batcher.waiting == 0, "the batch emptied")
    assert max(generations) == 1 and len(generations) < 100  # ended soon after, alone


@pytest.fixture(scope="module")
def engine3(tiny_model_dir, adapter_dirs):
    return _Engine(ServeConfig(str(tiny_model_dir), dict(adapter_dirs), max_new_tokens=MAX_NEW)).load()


CASES = [(name, messages, limit) for name in "abc" for messages in (HELLO, HI) for limit in (2, 5)]


@pytest.fixture(scope="module")
def sequential(engine3):
    """Each case's reply from the lock-serialised engine, one at a time."""
    return {(n, id(m), k): engine3.generate(n, m, k, 0.0) for n, m, k in CASES}


def _queued_together(engine, cases):
    """Sends every (model, messages, max_tokens) case to a new server while the engine's
    generation lock is held (the model busy), lets the model go once all of them wait, and
    returns each reply, or the exception its client raised, in order."""
    app = build_app(engine)
    srv = LocalServer(app)
    lock = engine.__dict__["_generate_lock"]
    try:
        with lock, concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            client = _openai(srv.url)
            futures = [pool.submit(client.chat.completions.create, model=n, messages=m, max_tokens=k)
                       for n, m, k in cases]
            until(lambda: app.state.batcher.waiting + app.state.batcher.in_batch >= len(cases), "all queued")
            lock.release()
            try:
                return [f.exception() or f.result() for f in futures]
            finally:
                lock.acquire()
    finally:
        srv.close()


def _spy_forward(engine, monkeypatch, fail=None):
    """Records (rows, adapter_names) of every forward of the model; `fail(kw)` may raise."""
    real, calls = engine.model.forward, []

    def forward(*args, **kw):
        calls.append((kw["input_ids"].shape[0], kw.get("adapter_names")))
        if fail:
            fail(kw)
        return real(*args, **kw)

    monkeypatch.setattr(engine.model, "forward", forward)
    return calls


def test_requests_waiting_together_decode_as_one_batch(engine3, sequential, monkeypatch):
    """Requests that queue while the model is busy share its steps over mixed adapters, each
    row with its own limit, and every reply equals the sequential one."""
    calls = _spy_forward(engine3, monkeypatch)
    replies = _queued_together(engine3, CASES)
    assert not any(isinstance(r, Exception) for r in replies), replies
    assert [r.choices[0].message.content for r in replies] == [sequential[n, id(m), k] for n, m, k in CASES]
    assert [r.usage.completion_tokens for r in replies] == [k for _, _, k in CASES]
    assert [r.model for r in replies] == [n for n, _, _ in CASES]
    # Steps of many rows, each row with its own adapter (the replies above are each adapter's own).
    assert max(rows for rows, _ in calls) >= len(CASES) // 2


POISON = [{"role": "user", "content": "poison"}]


@pytest.mark.parametrize("oversized", [False, True], ids=["one-bad-row", "batch-too-large"])
def test_a_failing_batch_fails_only_the_rows_that_fail_alone(engine3, sequential, monkeypatch, oversized):
    """A step that raises with several rows in it runs those rows again one at a time: the
    requests that work alone get their sequential replies and only a failing one gets the error."""
    import openai

    def fail(kw):
        if oversized and kw["input_ids"].shape[0] > 1:
            raise RuntimeError("out of memory for a batch of this size")
        if any("poison" in t for t in engine3.tokenizer.batch_decode(kw["input_ids"])):
            raise RuntimeError("this request breaks the model")

    calls = _spy_forward(engine3, monkeypatch, fail)
    cases = CASES[:4] + ([] if oversized else [("a", POISON, 2)])
    outcomes = _queued_together(engine3, cases)
    assert max(rows for rows, _ in calls) > 1  # a shared step, then rows alone
    assert [o.choices[0].message.content for o in outcomes[:4]] == [sequential[n, id(m), k] for n, m, k in CASES[:4]]
    if not oversized:
        assert isinstance(outcomes[4], openai.InternalServerError)


def test_many_clients_over_adapters_equal_sequential(engine3, sequential):
    """The real openai client, 12 threads x 48 requests over three adapters, streamed and not."""
    srv = LocalServer(build_app(engine3))
    try:
        client = _openai(srv.url)

        def ask(i):
            n, m, k = CASES[i % len(CASES)]
            if i % 3 == 0:
                chunks = client.chat.completions.create(model=n, messages=m, max_tokens=k, stream=True)
                return "".join(c.choices[0].delta.content or "" for c in chunks if c.choices)
            return client.chat.completions.create(model=n, messages=m, max_tokens=k).choices[0].message.content

        with concurrent.futures.ThreadPoolExecutor(12) as pool:
            replies = list(pool.map(ask, range(48)))
    finally:
        srv.close()
    assert replies == [sequential[CASES[i % len(CASES)][0], id(CASES[i % len(CASES)][1]),
                                  CASES[i % len(CASES)][2]] for i in range(48)]


def test_sigterm_ends_generation_and_server(tiny_model_dir, adapter_dirs):
    """SIGTERM in the middle of a long streamed generation: the stream ends with an error
    event, the generation stops early, and the process exits."""
    import signal
    import subprocess

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    code = ("import sys; sys.path.insert(0, %r)\n"
            "from velkor_zuma.serve import ServeConfig, serve\n"
            "serve(ServeConfig(%r, {'a': %r}), '127.0.0.1', %d)\n"
            % (str(Path(__file__).parent), str(tiny_model_dir), adapter_dirs["a"], port))
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    try:
        import httpx

        url = "http://127.0.0.1:%d" % port
        deadline = time.monotonic() + PATIENCE
        while True:
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            try:
                if httpx.get(url + "/healthz").status_code == 200:
                    break
            except httpx.HTTPError:
                time.sleep(0.1)
        events = []
        body = {"model": "a", "messages": HI, "max_tokens": 1900, "stream": True}
        with httpx.stream("POST", url + "/v1/chat/completions", json=body, timeout=60) as r:
            for line in r.iter_lines():
                if line.startswith("data: "):
                    events.append(line[6:])
                    if len(events) == 2:
                        proc.send_signal(signal.SIGTERM)
        assert proc.wait(60) in (0, -signal.SIGTERM)
    finally:
        proc.kill()
        proc.wait()
    assert events[-1] == "[DONE]"
    error = json.loads(events[-2])["error"]
    assert error["message"] == "the server is shutting down"
    streamed = "".join(json.loads(e)["choices"][0]["delta"].get("content", "") for e in events[:-2])
    assert 0 < len(streamed) < 2 * 1900


def test_generation_error_is_500_and_server_lives_on(server, engine, monkeypatch, reference):
    import httpx

    def boom(*args, **kwargs):
        raise RuntimeError("model exploded")

    monkeypatch.setattr(engine.model, "forward", boom)
    # uvicorn closes a connection whose request raised: each request on a fresh one.
    url = server.url + "/v1/chat/completions"
    assert httpx.post(url, json={"model": "a", "messages": HELLO}, timeout=60).status_code == 500
    # A stream has started when generation fails: it ends with an error event instead.
    r = httpx.post(url, timeout=60, json={"model": "a", "messages": HELLO, "stream": True})
    assert r.status_code == 200
    events = [line[6:] for line in r.text.splitlines() if line.startswith("data: ")]
    assert json.loads(events[-2])["error"]["message"] == "model exploded" and events[-1] == "[DONE]"
    monkeypatch.undo()
    r = httpx.post(url, json={"model": "a", "messages": HELLO}, timeout=60)
    assert r.json()["choices"][0]["message"]["content"] == reference("a")


def test_import_needs_no_heavy_library():
    import subprocess

    code = ("import sys, velkor_zuma.serve; print(sorted({'torch', 'transformers', 'peft', "
            "'fastapi', 'uvicorn', 'bitsandbytes', 'velkor_zuma.hubload'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# ---------------------------------------------------------------------------------- heartbeat
@pytest.fixture(scope="module")
def dashboard():
    """A local dashboard on 127.0.0.1 that queues every POST and answers 500 (which must not
    matter); dashboard.beat(key) is the next beat sent with that key."""
    class Recorder(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            # HTTP header names are case-insensitive; urllib sends them title-cased.
            srv.beats.put((self.command, self.path, self.headers, body))
            self.send_response(500)
            self.end_headers()

        def log_message(self, *args):
            pass

    def beat(key):
        while True:
            got = srv.beats.get(timeout=30)
            if got[2]["X-ZUMA-Key"] == key:
                return got

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    srv.beats, srv.beat, srv.url = queue.Queue(), beat, "http://127.0.0.1:%d" % srv.server_port
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def opened(monkeypatch):
    """(url, timeout) of every request the heartbeat opens; each is still sent for real."""
    spy = mock.Mock(wraps=urllib.request.urlopen)
    monkeypatch.setattr(urllib.request, "urlopen", spy)
    return lambda: [(c.args[0].full_url, c.kwargs.get("timeout")) for c in spy.call_args_list]


def test_heartbeat_first_beat(engine, dashboard, beat_sleeps, opened):
    cfg = dataclasses.replace(engine.cfg, api_base=dashboard.url, api_key="key-first")
    before = set(threading.enumerate())
    assert _start_heartbeat(cfg, engine, "0.0.0.0", 8000.0) is None
    started = set(threading.enumerate()) - before
    assert started and all(t.daemon for t in started)  # never keeps the process alive
    method, path, headers, body = dashboard.beat("key-first")
    assert (method, path) == ("POST", "/api/zuma/endpoints/heartbeat")
    assert headers["Content-Type"] == "application/json" and headers["X-ZUMA-Key"] == "key-first"
    expected = {
        "name": socket.gethostname(), "host": socket.gethostname(), "url": "http://0.0.0.0:8000/v1",
        "base": cfg.base, "precision": "fp32", "adapters": ["a", "b"], "vram_bytes": 0,
        "base_vram_bytes": 0, "kv_per_token_bytes": 2 * 2 * 2 * 8 * 2, "gpu_total_bytes": 0,
        "gpu_free_bytes": 0, "n_agents": 2, "status": "serving",
    }
    assert body == json.dumps(expected).encode("utf-8")
    assert beat_sleeps.wait() == 20 and beat_sleeps.sleeps.empty()  # one beat, then 20 s
    assert opened() == [(cfg.api_base + "/api/zuma/endpoints/heartbeat", 4)]


def _llama(**kw):
    fields = dict(num_hidden_layers=32, num_attention_heads=32, num_key_value_heads=8,
                  hidden_size=4096)
    fields.update(kw)
    return types.SimpleNamespace(**{k: v for k, v in fields.items() if v is not ...})


@pytest.mark.parametrize("config, kv, adapters, n_agents", [
    (_llama(), 131072, (), 1),
    (_llama(num_key_value_heads=...), 524288, ("x",), 1),
    (_llama(head_dim=64), 2 * 32 * 8 * 64 * 2, ("x", "y", "z"), 3),
    (_llama(num_attention_heads=..., head_dim=128), 0, (), 1),
    (_llama(num_key_value_heads=None), 0, (), 1),
    (_llama(hidden_size=...), 0, (), 1),
    (_llama(head_dim="64"), 0, (), 1),
    (None, 0, (), 1),  # a model without a config
])
def test_heartbeat_message(dashboard, beat_sleeps, opened, config, kv, adapters, n_agents):
    """KV bytes per token from the model config, agents counted, engine figures passed through;
    a trailing slash on api_base is kept as is."""
    model = types.SimpleNamespace(config=config) if config is not None else object()
    eng = types.SimpleNamespace(model=model, adapter_names=list(adapters), total_vram=7,
                                base_vram=5)
    cfg = ServeConfig("m", {}, "fp16", api_base=dashboard.url + "/", api_key="kv-%d" % id(config))
    _start_heartbeat(cfg, eng, "h", 1)
    msg = json.loads(dashboard.beat(cfg.api_key)[3])
    assert msg["kv_per_token_bytes"] == kv
    assert (msg["vram_bytes"], msg["base_vram_bytes"], msg["precision"]) == (7, 5, "fp16")
    assert (msg["adapters"], msg["n_agents"]) == (list(adapters), n_agents)
    assert opened() == [(dashboard.url + "//api/zuma/endpoints/heartbeat", 4)]
    assert beat_sleeps.wait() == 20


def test_heartbeat_survives_refused_connection(engine, beat_sleeps, capfd):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        free_port = s.getsockname()[1]
    cfg = dataclasses.replace(engine.cfg, api_base="http://127.0.0.1:%d" % free_port,
                              api_key="refused")
    _start_heartbeat(cfg, engine, "127.0.0.1", 1)
    for _ in range(2):  # three beats, every one refused
        assert beat_sleeps.wait() == 20
        beat_sleeps.release()
    assert beat_sleeps.wait() == 20
    assert capfd.readouterr() == ("", "")
    assert engine.generate("a", HELLO, 2, 0.0) is not None


def test_process_exits_cleanly_while_a_beat_waits():
    """The interpreter ends the daemon heartbeat thread while it waits on a silent dashboard:
    the process still exits normally (no crash at shutdown)."""
    import subprocess

    code = (
        "import socket, types, velkor_zuma.serve as s\n"
        "srv = socket.socket(); srv.bind(('127.0.0.1', 0)); srv.listen(1)\n"
        "cfg = s.ServeConfig('m', {}, api_base='http://127.0.0.1:%d' % srv.getsockname()[1],"
        " api_key='k')\n"
        "eng = types.SimpleNamespace(model=None, adapter_names=[], total_vram=0, base_vram=0)\n"
        "s._start_heartbeat(cfg, eng, 'h', 1)\n"
        "conn = srv.accept()[0]\n"  # the beat is in flight; it never gets an answer
        "print('exiting', flush=True)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout) == (0, "exiting\n"), out.stderr


@pytest.mark.parametrize("key", [None, ""])
def test_heartbeat_without_key_does_nothing(engine, key, opened):
    before = set(threading.enumerate())
    cfg = dataclasses.replace(engine.cfg, api_base="http://127.0.0.1:1", api_key=key)
    assert _start_heartbeat(cfg, engine, "h", 1) is None  # a heartbeat starts its thread before returning
    assert set(threading.enumerate()) - before == set() and opened() == []


# ------------------------------------------------------------------------------------- serve
@pytest.fixture
def uvicorn_runs(monkeypatch):
    """(app, host, port, log_level) of every uvicorn server that serve() runs (none really)."""
    import uvicorn

    def run(self):
        runs.append((self.config.app, self.config.host, self.config.port, self.config.log_level))
        self.started = True

    runs = []
    monkeypatch.setattr(uvicorn.Server, "run", run)
    monkeypatch.delenv("VELKOR_ZUMA_API_KEY", raising=False)
    return runs


def _report(base, precision, device, base_vram, adapters, total, host, port, servable, extra=(),
            total_label="  total VRAM      : "):
    lines = ["Loading base '%s' (%s) ..." % (base, precision[0]), "", "=" * 60,
             "velkor-zuma serve - VRAM proof",
             "  device          : " + device,
             "  precision       : " + precision[1],
             "  base (resident) : " + base_vram,
             "  adapters loaded : %d  %s" % (len(adapters), adapters),
             total_label + total, *extra, "=" * 60, "",
             "Serving on http://%s:%d" % (host, port), "  GET  /v1/models",
             "  POST /v1/chat/completions   (model = one of %s)" % servable]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("names", [(), ("a", "b")])
def test_serve_cpu_report(tiny_model_dir, adapter_dirs, uvicorn_runs, capsys, monkeypatch, names):
    """Without CUDA the report measures the process's resident memory and says so."""
    loaded = []
    real_load = _Engine.load
    monkeypatch.setattr(_Engine, "load", lambda self: loaded.append(real_load(self)) or loaded[0])
    cfg = ServeConfig(str(tiny_model_dir), {n: adapter_dirs[n] for n in names})
    assert serve(cfg, "127.0.0.1", 8123.0) is None
    (eng,) = loaded
    assert eng.base_rss > 0 and eng.total_rss >= eng.base_rss and (eng.base_vram, eng.total_vram) == (0, 0)
    extra = []
    if names:
        naive = eng.base_rss * len(names)
        extra = ["  naive (N full models) : ~" + _human(naive),
                 "  ZUMA saving           : %.2fx less host RAM" % (naive / eng.total_rss)]
    captured = capsys.readouterr()
    assert captured.out == _report(
        cfg.base, ("auto", "fp32"), "cpu",
        _human(eng.base_rss) + "  (host RAM: process RSS, no CUDA device)", list(names),
        _human(eng.total_rss) + "  (RSS added by the base and its adapters)", "127.0.0.1", 8123,
        list(names) or ["base"], extra, total_label="  total host RAM  : ")
    assert "WARNING" not in captured.err  # loopback: no warning about a missing key
    ((app, host, port, level),) = uvicorn_runs
    assert app.title == "velkor-zuma serve" and app.state.batcher.max_batch == 16
    assert (host, port, level) == ("127.0.0.1", 8123, "info")


def test_rss_probe_and_report_without_reading(tiny_model_dir, uvicorn_runs, capsys, monkeypatch):
    """Where the system cannot say (no reading), the report falls back to the CUDA figures."""
    rss = serve_mod._rss_bytes()
    assert type(rss) is int and rss > 0
    eng = _Engine(ServeConfig(str(tiny_model_dir), {}))
    assert (eng.base_rss, eng.total_rss) == (0, 0)  # class defaults, not record fields
    monkeypatch.setattr(_Engine, "load", lambda self: self)
    serve(ServeConfig(str(tiny_model_dir), {}, "fp32"), "127.0.0.1", 1, max_batch=1)
    out = capsys.readouterr().out
    assert "  base (resident) : 0.00 B\n" in out and "  total VRAM      : 0.00 B\n" in out
    assert uvicorn_runs[0][0].state.batcher.max_batch == 1


@pytest.mark.parametrize("outcome", ["interrupted", "never started"])
def test_serve_ends_like_uvicorn_run(monkeypatch, uvicorn_runs, outcome):
    """Ctrl-C (re-raised by uvicorn once it stopped) ends serve() quietly; a server that never
    started (a taken port) exits with uvicorn's startup-failure status."""
    import uvicorn

    def run(self):
        self.started = outcome == "interrupted"
        raise KeyboardInterrupt

    monkeypatch.setattr(_Engine, "load", lambda self: self)
    monkeypatch.setattr(uvicorn.Server, "run", run)
    if outcome == "interrupted":
        assert serve(ServeConfig("org/base", {}), "127.0.0.1", 1) is None
    else:
        with pytest.raises(SystemExit) as info:
            serve(ServeConfig("org/base", {}), "127.0.0.1", 1)
        assert info.value.code == 3


@pytest.mark.parametrize("host, key, warned", [
    ("0.0.0.0", None, True), ("192.168.1.5", "", True), ("0.0.0.0", "secret", False),
    ("127.0.0.1", None, False), ("localhost", None, False), ("::1", None, False)])
def test_serve_warns_without_key_off_loopback(monkeypatch, uvicorn_runs, capsys, host, key, warned):
    monkeypatch.setattr(_Engine, "load", lambda self: self)
    if key is not None:
        monkeypatch.setenv("VELKOR_ZUMA_API_KEY", key)
    serve(ServeConfig("org/base", {}), host, 8000)
    err = capsys.readouterr().err
    assert ("WARNING: serving on %s without an API key" % host in err) == warned
    assert ("VELKOR_ZUMA_API_KEY" in err) == warned


@pytest.mark.parametrize("total, extra", [
    (2.5 * 2**30, ["  naive (N full models) : ~6.00 GB", "  ZUMA saving           : 2.40x less VRAM"]),
    (0, ["  naive (N full models) : ~6.00 GB"]),
])
def test_serve_gpu_report_and_order(monkeypatch, uvicorn_runs, capsys, total, extra):
    def cuda_load(self):  # fixed VRAM figures, adapters a, b, c
        self.adapter_names, self.device = ["a", "b", "c"], "cuda"
        self.base_vram, self.total_vram = 2 * 2**30, total
        return self

    events = []
    monkeypatch.setattr(_Engine, "load", cuda_load)
    monkeypatch.setattr(serve_mod, "build_app", lambda eng, **kw: ("app", eng))
    monkeypatch.setattr(serve_mod, "_start_heartbeat",
                        lambda *a: events.append((a, capsys.readouterr().out)))
    cfg = ServeConfig("org/base", {}, "fp16", api_key="k")
    serve(cfg, "0.0.0.0", 9000)
    ((args, printed),) = events  # the heartbeat starts after the report
    assert printed == _report("org/base", ("fp16", "fp16"), "cuda", "2.00 GB", ["a", "b", "c"],
                              _human(total), "0.0.0.0", 9000, ["a", "b", "c"], extra)
    assert args[0] is cfg and args[2:] == ("0.0.0.0", 9000)
    ((app, host, port, level),) = uvicorn_runs
    assert app == ("app", args[1]) and port == 9000


@pytest.mark.parametrize("native", [True, False])
def test_bf16_on_the_cpu(tiny_model_dir, uvicorn_runs, capsys, monkeypatch, native):
    """bf16 loads on any CPU; on one without native bfloat16 the report says it is emulated."""
    monkeypatch.setattr(serve_mod, "_cpu_has_bf16", lambda: native)
    cfg = ServeConfig(str(tiny_model_dir), {}, "bf16")
    assert serve(cfg, "127.0.0.1", 8123) is None
    (line,) = [l for l in capsys.readouterr().out.splitlines() if l.startswith("  precision")]
    assert line.split(":", 1)[1].strip() == ("bf16" if native else
                                             "bf16 (emulated: this CPU has no native bfloat16; fp32 may be faster)")


def test_cpu_flags_probe():
    """The probe reads the CPU's own flags: it agrees with what the kernel lists."""
    flags = set()
    if Path("/proc/cpuinfo").exists():
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    assert CPU_HAS_BF16() is bool(flags & {"avx512_bf16", "amx_bf16"})


@pytest.mark.parametrize("missing", ["fastapi", "uvicorn", None])
def test_serve_failures(tiny_model_dir, monkeypatch, uvicorn_runs, capsys, missing):
    """Without the web stack nothing loads or prints; a load failure propagates after the
    loading line. Neither reaches uvicorn."""
    if missing:
        monkeypatch.setitem(sys.modules, missing, None)
        error = 'serve needs fastapi + uvicorn: pip install "velkor-zuma[serve]"'
    with pytest.raises(RuntimeError if missing else ValueError) as info:
        serve(ServeConfig(str(tiny_model_dir), {}, "fp8"), "127.0.0.1", 1)
    assert str(info.value) == (error if missing else "unknown precision 'fp8'")
    printed = "" if missing else "Loading base '%s' (fp8) ...\n" % tiny_model_dir
    assert capsys.readouterr().out == printed and uvicorn_runs == []


@pytest.mark.parametrize("function, args, name", [
    ("generate", (1, HELLO, None, 0.0), "model_name"),
    ("generate", ("a", tuple(HELLO), None, 0.0), "messages"),
    ("generate", ("a", HELLO, "8", 0.0), "max_new_tokens"),
    ("generate", ("a", HELLO, None, "hot"), "temperature"),
    ("heartbeat", (1, 2), "host"), ("heartbeat", ("h", "80"), "port"),
    ("serve", (None, 1), "host"), ("serve", ("h", "1"), "port"),
    ("build_app", ("16",), "max_batch"), ("build_app", (4, "big"), "max_body_bytes"),
])
def test_argument_types(engine, generate_calls, function, args, name):
    call = {"generate": engine.generate,
            "heartbeat": lambda *a: _start_heartbeat(dataclasses.replace(engine.cfg, api_key="k"),
                                                     engine, *a),
            "serve": lambda *a: serve(ServeConfig("org/base", {}), *a),
            "build_app": lambda *a: build_app(engine, **dict(zip(["max_batch", "max_body_bytes"], a)))
            }[function]
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        call(*args)
    assert generate_calls == []  # refused before anything generates
