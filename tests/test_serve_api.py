"""The OpenAI API of the adapter server, as clients use it: every request field honoured or
refused with a 400 naming it, choices, content parts, tool calls, /v1/models/{id},
/v1/completions, OpenAI's error body, routes that answer while the model is busy, Prometheus
metrics, the waiting bound, and the HTTP guard's limits and deadlines over raw sockets. A real
uvicorn server on 127.0.0.1 and the official `openai` client; nothing leaves this machine."""

import asyncio
import json
import shutil
import socket
import threading
import types
import warnings

import pytest

from velkor_zuma.serve import ServeConfig, _Engine, _http_protocol, _RequestGuard, build_app

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
pytest.importorskip("peft")
openai = pytest.importorskip("openai")
httpx = pytest.importorskip("httpx")

from tinymodel import build_tiny_adapter  # noqa: E402
from localserver import LocalServer  # noqa: E402
from waiting import PATIENCE, until  # noqa: E402

HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
MAX_NEW = 4

pytestmark = pytest.mark.filterwarnings("ignore:Found missing adapter keys")

# A chat template that renders tools (declared functions as JSON, calls in <tool_call> blocks).
TOOL_TEMPLATE = (
    "{% if tools %}<|system|>\nTools: {{ tools | tojson }}</s>\n{% endif %}"
    "{% for message in messages %}<|{{ message['role'] }}|>\n"
    "{% if message['content'] %}{{ message['content'] }}{% endif %}"
    "{% if message['tool_calls'] %}{% for c in message['tool_calls'] %}"
    "<tool_call>{{ c['function'] | tojson }}</tool_call>{% endfor %}{% endif %}</s>\n"
    "{% endfor %}{% if add_generation_prompt %}<|assistant|>\n{% endif %}"
)

WEATHER = {"type": "function", "function": {
    "name": "get_weather", "description": "Weather of a city.",
    "parameters": {"type": "object", "properties": {"city": {"type": "string"}},
                   "required": ["city"]}}}


@pytest.fixture(scope="module")
def engine(tiny_model_dir, tmp_path_factory):
    root = tmp_path_factory.mktemp("api_adapters")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        adapter = str(build_tiny_adapter(tiny_model_dir, root / "a", seed=1))
    return _Engine(ServeConfig(str(tiny_model_dir), {"a": adapter}, "fp32",
                               max_new_tokens=MAX_NEW)).load()


@pytest.fixture(scope="module")
def server(engine):
    srv = LocalServer(build_app(engine))
    yield srv
    srv.close()


@pytest.fixture(scope="module")
def tool_server(tiny_model_dir, tmp_path_factory):
    """The base alone, its tokenizer's chat template taking tools."""
    path = tmp_path_factory.mktemp("tool_model") / "m"
    shutil.copytree(tiny_model_dir, path)
    config = json.loads((path / "tokenizer_config.json").read_text())
    config["chat_template"] = TOOL_TEMPLATE
    (path / "tokenizer_config.json").write_text(json.dumps(config))
    (path / "chat_template.jinja").unlink(missing_ok=True)
    eng = _Engine(ServeConfig(str(path), {}, "fp32", max_new_tokens=MAX_NEW)).load()
    assert "tools" in eng.tokenizer.chat_template
    srv = LocalServer(build_app(eng))
    srv.engine = eng
    yield srv
    srv.close()


@pytest.fixture
def model_writes(monkeypatch):
    """Makes the tool server's model "write" the given text: its decoded reply is that text."""
    def write(srv, text):
        monkeypatch.setattr(srv.engine.tokenizer, "decode", lambda *a, **k: text)
    return write


def _post(srv, path, body):
    if isinstance(body, (bytes, str)):
        return srv.http.post(path, content=body, headers={"content-type": "application/json"})
    return srv.http.post(path, json=body)


# --------------------------------------------------------------------------- field validation
REFUSED = [
    ({"temperature": 3}, "temperature"),
    ({"temperature": -0.5}, "temperature"),
    ({"temperature": True}, "temperature"),
    ({"top_p": 0}, "top_p"),
    ({"top_p": 1.5}, "top_p"),
    ({"presence_penalty": 2.5}, "presence_penalty"),
    ({"frequency_penalty": -3}, "frequency_penalty"),
    ({"n": 0}, "n"),
    ({"n": 9}, "n"),
    ({"n": True}, "n"),
    ({"max_tokens": True}, "max_tokens"),
    ({"max_completion_tokens": -1}, "max_completion_tokens"),
    ({"max_completion_tokens": True}, "max_completion_tokens"),
    ({"seed": "x"}, "seed"),
    ({"seed": 2**70}, "seed"),
    ({"logit_bias": {"99999": 5}}, "logit_bias"),
    ({"logit_bias": {"5": 101}}, "logit_bias"),
    ({"logit_bias": {"x": 1}}, "logit_bias"),
    ({"logit_bias": [1]}, "logit_bias"),
    ({"stop": ["a", "b", "c", "d", "e"]}, "stop"),
    ({"stop": ""}, "stop"),
    ({"stop": 5}, "stop"),
    ({"logprobs": "yes"}, "logprobs"),
    ({"logprobs": True, "top_logprobs": 21}, "top_logprobs"),
    ({"top_logprobs": 2}, "top_logprobs"),
    ({"response_format": {"type": "xml"}}, "response_format"),
    ({"response_format": {"type": "json_schema"}}, "response_format"),
    ({"response_format": {"type": "json_schema", "json_schema": {"name": "x", "schema": []}}},
     "response_format"),
    ({"tools": [{"type": "retrieval"}]}, "tools"),
    ({"tools": [WEATHER]}, "tools"),  # this template does not render tools
    ({"tool_choice": "required"}, "tool_choice"),
    ({"tool_choice": "sometimes", "tools": [WEATHER]}, "tool_choice"),
    ({"stream_options": {"include_usage": "yes"}}, "stream_options"),
    ({"functions": [WEATHER["function"]]}, "functions"),
    ({"top_k": 5}, "top_k"),
    ({"reasoning_effort": "high"}, "reasoning_effort"),
    ({"modalities": ["text", "audio"]}, "modalities"),
    ({"messages": [{"role": "user", "content": [
        {"type": "text", "text": "look"},
        {"type": "image_url", "image_url": {"url": "http://x/y.png"}}]}]}, "messages"),
    ({"messages": [{"role": "robot", "content": "hi"}]}, "messages"),
    ({"messages": [{"role": "user", "content": None}]}, "messages"),
    ({"messages": [{"role": "tool", "content": "42"}]}, "messages"),  # no tool_call_id
]


@pytest.mark.parametrize("fields, param", REFUSED, ids=[p + "-" + str(i) for i, (_, p) in enumerate(REFUSED)])
def test_refused_fields_name_themselves(server, fields, param):
    body = {"model": "a", "messages": HELLO, **fields}
    kwargs = {k: v for k, v in body.items() if k in ("model", "messages")}
    with pytest.raises(openai.BadRequestError) as info:
        server.client.chat.completions.create(**kwargs, extra_body={
            k: v for k, v in body.items() if k not in kwargs})
    err = info.value
    assert err.status_code == 400 and err.param == param and err.type == "invalid_request_error"
    message = err.body["message"]
    assert message.startswith("'%s'" % param) and message in str(err)


def test_messages_refusals_say_why(server):
    with pytest.raises(openai.BadRequestError, match="this model takes text only"):
        server.client.chat.completions.create(model="a", messages=[{"role": "user", "content": [
            {"type": "input_audio", "input_audio": {"data": "AAAA", "format": "wav"}}]}])


@pytest.mark.parametrize("text", ['"hi \\ud800 x"', '"\\udfff"'])
def test_lone_surrogate_is_400_naming_messages(server, text):
    body = '{"model": "a", "messages": [{"role": "user", "content": %s}]}' % text
    r = _post(server, "/v1/chat/completions", body)
    assert r.status_code == 400 and r.json()["error"]["param"] == "messages"
    assert "lone surrogate" in r.json()["error"]["message"]
    assert _post(server, "/v1/chat/completions", {"model": "a", "messages": HELLO}).status_code == 200


@pytest.mark.parametrize("fields", [
    {"user": "u-1", "metadata": {"k": "v"}, "store": False, "service_tier": "auto"},
    {"parallel_tool_calls": True, "tool_choice": "none"},
    {"response_format": {"type": "text"}, "modalities": ["text"], "stream_options": None},
    {"top_p": 1, "presence_penalty": 0, "frequency_penalty": 0, "logit_bias": {}},
])
def test_harmless_fields_are_accepted(server, fields):
    r = _post(server, "/v1/chat/completions", {"model": "a", "messages": HELLO, **fields})
    assert r.status_code == 200, r.text
    plain = _post(server, "/v1/chat/completions", {"model": "a", "messages": HELLO}).json()
    assert r.json()["choices"][0]["message"] == plain["choices"][0]["message"]


def test_max_completion_tokens_wins(server):
    r = server.client.chat.completions.create(model="a", messages=HELLO, max_tokens=3,
                                              max_completion_tokens=2)
    assert r.usage.completion_tokens == 2
    r = server.client.chat.completions.create(model="a", messages=HELLO, max_tokens=3)
    assert r.usage.completion_tokens == 3


# ---------------------------------------------------------------- choices, parts, messages
def test_n_gives_choices_with_their_index(server):
    whole = server.client.chat.completions.create(model="a", messages=HELLO, n=3)
    assert [c.index for c in whole.choices] == [0, 1, 2]
    alone = server.client.chat.completions.create(model="a", messages=HELLO)
    assert {c.message.content for c in whole.choices} == {alone.choices[0].message.content}
    assert whole.usage.completion_tokens == 3 * alone.usage.completion_tokens
    assert whole.usage.prompt_tokens == alone.usage.prompt_tokens
    chunks = list(server.client.chat.completions.create(model="a", messages=HELLO, n=2, stream=True))
    texts, finish = {}, {}
    for chunk in chunks:
        for c in chunk.choices:
            texts[c.index] = texts.get(c.index, "") + (c.delta.content or "")
            if c.finish_reason:
                finish[c.index] = c.finish_reason
    assert texts == {0: alone.choices[0].message.content, 1: alone.choices[0].message.content}
    assert finish == {0: "length", 1: "length"}


def test_content_parts_are_joined_text(server):
    parts = [{"type": "text", "text": "Hello, how are you"}, {"type": "text", "text": "today?"}]
    joined = server.client.chat.completions.create(
        model="a", messages=[{"role": "user", "content": "Hello, how are you\ntoday?"}])
    from_parts = server.client.chat.completions.create(
        model="a", messages=[{"role": "user", "content": parts}])
    assert from_parts.choices[0].message.content == joined.choices[0].message.content
    assert from_parts.usage.prompt_tokens == joined.usage.prompt_tokens


def test_tool_history_messages_are_accepted(server):
    messages = HELLO + [
        {"role": "assistant", "content": None, "tool_calls": [{
            "id": "call_1", "type": "function",
            "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}}]},
        {"role": "tool", "tool_call_id": "call_1", "content": [{"type": "text", "text": "sunny"}]},
    ]
    r = server.client.chat.completions.create(model="a", messages=messages)
    assert r.choices[0].message.role == "assistant" and r.usage.completion_tokens == MAX_NEW


def test_logprobs_shape(server):
    r = server.client.chat.completions.create(model="a", messages=HELLO, logprobs=True,
                                              top_logprobs=3)
    lp = r.choices[0].logprobs
    assert lp is not None and isinstance(lp.content, list)
    assert len(lp.content) == r.usage.completion_tokens  # one entry per new token
    for entry in lp.content:
        assert entry.logprob <= 0 and bytes(entry.bytes).decode("utf-8", "replace") == entry.token
        tops = [t.logprob for t in entry.top_logprobs]
        assert tops == sorted(tops, reverse=True) and len(tops) <= 3


# ------------------------------------------------------------------------------- tool calls
def test_tools_render_and_a_call_is_read_back(tool_server, model_writes):
    model_writes(tool_server,
                 'Let me look.<tool_call>{"name": "get_weather", "arguments": {"city": "Paris"}}'
                 "</tool_call>")
    r = tool_server.client.chat.completions.create(model="base", messages=HELLO, tools=[WEATHER])
    (choice,) = r.choices
    assert choice.finish_reason == "tool_calls" and choice.message.content == "Let me look."
    (call,) = choice.message.tool_calls
    assert call.type == "function" and call.id.startswith("call_")
    assert call.function.name == "get_weather"
    assert json.loads(call.function.arguments) == {"city": "Paris"}
    # Streamed: the call arrives as a tool_calls delta, then finish_reason "tool_calls".
    chunks = list(tool_server.client.chat.completions.create(model="base", messages=HELLO,
                                                             tools=[WEATHER], stream=True))
    calls = [tc for c in chunks for ch in c.choices for tc in (ch.delta.tool_calls or [])]
    assert [(tc.index, tc.function.name, json.loads(tc.function.arguments)) for tc in calls] == [
        (0, "get_weather", {"city": "Paris"})]
    assert chunks[-1].choices[0].finish_reason == "tool_calls"


@pytest.mark.parametrize("text, called", [
    ('{"name": "get_weather", "arguments": {"city": "Oslo"}}', True),  # a bare JSON call
    ('{"name": "launch_rockets", "arguments": {}}', False),  # not a declared function
    ("It is sunny.", False),
])
def test_auto_reads_only_declared_calls(tool_server, model_writes, text, called):
    model_writes(tool_server, text)
    r = tool_server.client.chat.completions.create(model="base", messages=HELLO, tools=[WEATHER],
                                                   tool_choice="auto")
    message = r.choices[0].message
    if called:
        assert r.choices[0].finish_reason == "tool_calls" and message.content is None
        assert json.loads(message.tool_calls[0].function.arguments) == {"city": "Oslo"}
    else:
        assert message.tool_calls is None and message.content == text


def test_required_and_named_tool_calls_parse(tool_server, model_writes):
    model_writes(tool_server, '{"name": "get_weather", "arguments": {"city": "Rome"}}')
    for choice in ["required", {"type": "function", "function": {"name": "get_weather"}}]:
        r = tool_server.client.chat.completions.create(model="base", messages=HELLO,
                                                       tools=[WEATHER], tool_choice=choice)
        (call,) = r.choices[0].message.tool_calls
        assert call.function.name == "get_weather" and r.choices[0].finish_reason == "tool_calls"
    with pytest.raises(openai.BadRequestError) as info:
        tool_server.client.chat.completions.create(
            model="base", messages=HELLO, tools=[WEATHER],
            tool_choice={"type": "function", "function": {"name": "other"}})
    assert info.value.param == "tool_choice"
    with pytest.raises(openai.BadRequestError) as info:
        tool_server.client.chat.completions.create(
            model="base", messages=HELLO, tools=[WEATHER], tool_choice="required",
            response_format={"type": "json_object"})
    assert info.value.param == "response_format"


def test_tool_choice_none_renders_no_tools(tool_server, model_writes):
    model_writes(tool_server, '{"name": "get_weather", "arguments": {"city": "Rome"}}')
    r = tool_server.client.chat.completions.create(model="base", messages=HELLO, tools=[WEATHER],
                                                   tool_choice="none")
    assert r.choices[0].message.tool_calls is None


# ----------------------------------------------------------------------- routes and errors
def test_models_retrieve(server):
    m = server.client.models.retrieve("a")
    assert (m.id, m.object, m.owned_by) == ("a", "model", "velkor-zuma") and m.created > 0
    with pytest.raises(openai.NotFoundError) as info:
        server.client.models.retrieve("zzz")
    assert "model 'zzz' not served. available: ['a']" in str(info.value)
    assert info.value.code == "model_not_found"


def test_completions(server, engine):
    tok = engine.tokenizer
    ids = tok("Hello", return_tensors="pt")
    with torch.no_grad():
        engine.model.set_adapter("a")
        out = engine.model.generate(**ids, max_new_tokens=MAX_NEW, do_sample=False,
                                    pad_token_id=tok.eos_token_id)
    expected = tok.decode(out[0][ids["input_ids"].shape[1]:], skip_special_tokens=True)
    r = server.client.completions.create(model="a", prompt="Hello", max_tokens=MAX_NEW)
    assert r.object == "text_completion" and r.choices[0].text == expected
    assert r.usage.prompt_tokens == ids["input_ids"].shape[1]
    many = server.client.completions.create(model="a", prompt=["Hello", "The quick"], n=2,
                                            max_tokens=MAX_NEW)
    assert [c.index for c in many.choices] == [0, 1, 2, 3]
    assert many.choices[0].text == many.choices[1].text == expected
    chunks = list(server.client.completions.create(model="a", prompt="Hello", max_tokens=MAX_NEW,
                                                   stream=True))
    assert "".join(c.choices[0].text for c in chunks if c.choices) == expected
    with pytest.raises(openai.BadRequestError) as info:
        server.client.completions.create(model="a", prompt="Hello", echo=True)
    assert info.value.param == "echo"
    with pytest.raises(openai.BadRequestError) as info:
        server.client.completions.create(model="a", prompt="Hello", temperature=2.5)
    assert info.value.param == "temperature"


@pytest.mark.parametrize("method, path, body, status, message", [
    ("GET", "/nowhere", None, 404, "Not Found"),
    ("GET", "/v1/chat/completions", None, 405, "Method Not Allowed"),
    ("POST", "/v1/chat/completions", {"model": "a"}, 422, "messages: Field required"),
    ("POST", "/v1/chat/completions", {"model": "a", "messages": HELLO, "temperature": "hot"}, 422,
     "temperature: Input should be a valid number"),
    ("POST", "/v1/chat/completions", {"model": "zz", "messages": HELLO}, 404,
     "model 'zz' not served. available: ['a']"),
    ("POST", "/v1/chat/completions", b'{"model": "a", "messages": [', 422,
     "the request body is not valid JSON"),
])
def test_every_error_has_openai_shape(server, method, path, body, status, message):
    if isinstance(body, bytes):
        r = server.http.request(method, path, content=body, headers={"content-type": "application/json"})
    else:
        r = server.http.request(method, path, json=body)
    assert r.status_code == status
    error = r.json()["error"]
    assert list(r.json()) == ["error"] and list(error) == ["message", "type", "param", "code"]
    assert message in error["message"]


@pytest.mark.parametrize("stream", [False, True])
def test_refusal_at_admission_names_its_field(server, stream):
    """The scheduler's own refusals (here a prompt beyond the context) name their field too."""
    long = [{"role": "user", "content": "word " * 2100}]
    with pytest.raises(openai.BadRequestError) as info:
        server.client.chat.completions.create(model="a", messages=long, stream=stream)
    assert info.value.param == "messages" and "the model's context holds" in str(info.value)


def test_missing_key_has_openai_shape(engine, monkeypatch):
    monkeypatch.setenv("VELKOR_ZUMA_API_KEY", "k3y")
    srv = LocalServer(build_app(engine))
    try:
        with pytest.raises(openai.AuthenticationError) as info:
            srv.client.models.list()
        assert "a valid API key is needed" in str(info.value)
        assert info.value.code == "invalid_api_key"
    finally:
        srv.close()


def test_client_exception_carries_validation_message(server):
    with pytest.raises(openai.UnprocessableEntityError) as info:
        server.client.chat.completions.create(model="a", messages=[{"content": "hi"}])
    assert "messages.0.role: Field required" in str(info.value)
    assert info.value.param == "messages.0.role"


# ------------------------------------------------------ routes that never wait, and metrics
@pytest.fixture
def held_model(engine):
    """Blocks the model inside its first forward pass until released; `entered` is set once a
    forward pass is waiting there."""
    entered, gate = threading.Event(), threading.Event()

    def hook(module, args, output):
        entered.set()
        gate.wait(PATIENCE)

    handle = engine.model.get_base_model().lm_head.register_forward_hook(hook)
    yield types.SimpleNamespace(entered=entered, release=gate.set)
    gate.set()
    handle.remove()


def test_plain_routes_answer_while_the_model_is_busy(server, held_model):
    with httpx.Client(base_url=server.url, timeout=PATIENCE) as http:
        with http.stream("POST", "/v1/chat/completions",
                         json={"model": "a", "messages": HELLO, "stream": True}) as stream:
            lines = stream.iter_lines()
            assert next(lines).startswith("data: ")  # the role chunk: the row is admitted
            assert held_model.entered.wait(PATIENCE)
            with httpx.Client(base_url=server.url, timeout=PATIENCE) as other:
                assert other.get("/healthz").json()["status"] == "ok"
                assert [m["id"] for m in other.get("/v1/models").json()["data"]] == ["a"]
                assert other.get("/v1/models/a").json()["id"] == "a"
                assert "velkor_zuma_running_rows" in other.get("/metrics").text
            held_model.release()
            assert "data: [DONE]" in list(lines)


def _samples(text):
    from prometheus_client.parser import text_string_to_metric_families

    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            out[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return out


def test_metrics_count_right(engine):
    srv = LocalServer(build_app(engine))
    try:
        before = _samples(srv.http.get("/metrics").text)
        assert ("velkor_zuma_waiting_requests", ()) in before
        assert not any(name == "velkor_zuma_requests_total" for name, _ in before)  # a fresh registry
        tokens = 0
        for limit in (2, 3):
            tokens += srv.client.chat.completions.create(model="a", messages=HELLO,
                                                         max_tokens=limit).usage.completion_tokens
        srv.client.chat.completions.create(model="a", messages=HELLO, n=2, max_tokens=1)
        tokens += 2
        with pytest.raises(openai.NotFoundError):
            srv.client.chat.completions.create(model="nope", messages=HELLO)
        with pytest.raises(openai.BadRequestError):
            srv.client.chat.completions.create(model="a", messages=HELLO, temperature=5)
        r = srv.http.get("/metrics")
        assert r.headers["content-type"].startswith("text/plain")
        s = _samples(r.text)
        a = (("model", "a"),)
        assert s[("velkor_zuma_requests_total", (("model", "a"), ("status", "200")))] == 3
        assert s[("velkor_zuma_requests_total", (("model", ""), ("status", "404")))] == 1
        assert s[("velkor_zuma_requests_total", (("model", "a"), ("status", "400")))] == 1
        assert s[("velkor_zuma_completion_tokens_total", a)] == tokens
        assert s[("velkor_zuma_prompt_tokens_total", a)] > 0
        assert s[("velkor_zuma_request_seconds_count", a)] == 4  # one per row
        assert s[("velkor_zuma_waiting_requests", ())] == 0
        assert s[("velkor_zuma_running_rows", ())] == 0
        assert ("velkor_zuma_step_seconds_count", ()) in s
        assert "# TYPE velkor_zuma_time_to_first_token_seconds histogram" in r.text
    finally:
        srv.close()


def test_waiting_bound_gives_503_with_retry_after(engine, held_model):
    import concurrent.futures

    app = build_app(engine, max_waiting=1)
    srv = LocalServer(app)
    body = {"model": "a", "messages": HELLO}
    try:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            first = pool.submit(srv.http.post, "/v1/chat/completions", json=body)
            assert held_model.entered.wait(PATIENCE)  # the first row holds the model
            second = pool.submit(srv.http.post, "/v1/chat/completions", json=body)
            until(lambda: app.state.batcher.waiting >= 1, "the second request queued")  # behind the first
            r = srv.http.post("/v1/chat/completions", json=body)
            assert r.status_code == 503 and r.headers["retry-after"] == "1"
            assert r.json()["error"]["message"] == "too many requests are waiting; retry shortly"
            held_model.release()
            assert first.result(PATIENCE).status_code == second.result(PATIENCE).status_code == 200
    finally:
        srv.close()


def test_more_requests_wait_than_the_framework_has_threads(engine, held_model):
    """Each waiting request holds a worker thread: the pool grows to hold them all, so the
    waiting bound (here above the framework's default 40 threads) is what refuses."""
    import concurrent.futures

    app = build_app(engine, max_batch=1, max_waiting=45)
    srv = LocalServer(app)
    body = {"model": "a", "messages": HELLO, "max_tokens": 1}
    try:
        with concurrent.futures.ThreadPoolExecutor(46) as pool:
            futures = [pool.submit(srv.http.post, "/v1/chat/completions", json=body)]
            assert held_model.entered.wait(PATIENCE)
            futures += [pool.submit(srv.http.post, "/v1/chat/completions", json=body)
                        for _ in range(45)]
            until(lambda: app.state.batcher.waiting >= 45, "45 requests queued")
            assert srv.http.post("/v1/chat/completions", json=body).status_code == 503
            held_model.release()
            assert [f.result(PATIENCE).status_code for f in futures] == [200] * 46
    finally:
        srv.close()


# ---------------------------------------------------------------- guard limits and deadlines
def _raw(port, data, wait_close=True):
    """Sends raw bytes; returns everything the server sent until it closed the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=PATIENCE) as s:
        if data:
            s.sendall(data)
        out = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return out
            out += chunk
            if not wait_close and b"\r\n\r\n" in out:
                return out


@pytest.fixture(scope="module")
def small(engine):
    """A server taking 4 KiB bodies, with short deadlines for a request and an idle connection."""
    srv = LocalServer(build_app(engine, max_body_bytes=4096),
                 http=_http_protocol(request_timeout=0.5, keep_alive_timeout=0.5))
    yield srv
    srv.close()


def test_length_and_chunked_together_are_refused(small):
    body = json.dumps({"model": "a", "messages": HELLO}).encode()
    chunked = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
    head = (b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
            b"Content-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n")
    reply = _raw(small.port, head + chunked)
    assert reply.startswith(b"HTTP/1.1 400 ")
    assert b"both Content-Length and Transfer-Encoding" in reply


def test_body_bytes_are_counted_whatever_the_header_says():
    """The guard counts what arrives: a body longer than its declared length gets 413."""
    seen = []

    async def app(scope, receive, send):
        body = b""
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                seen.append("gone")
                break
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    async def run(chunks, length):
        incoming = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1}
                    for i, c in enumerate(chunks)]
        sent = []

        async def receive():
            return incoming.pop(0)

        async def send(message):
            sent.append(message)

        scope = {"type": "http", "path": "/v1/chat/completions", "method": "POST",
                 "headers": [(b"content-length", str(length).encode())]}
        await _RequestGuard(app, max_body_bytes=10)(scope, receive, send)
        return sent

    sent = asyncio.run(run([b"12345678", b"12345678"], 5))
    assert sent[0]["status"] == 413 and seen == ["gone"]
    assert b"above the limit" in sent[1]["body"] and len(sent) == 2
    sent = asyncio.run(run([b"12345", b"678"], 8))
    assert sent[0]["status"] == 200 and sent[1]["body"] == b"ok"


@pytest.mark.parametrize("data", [
    b"",  # connects and says nothing
    b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\n",  # half a head, then nothing
    b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
    b"Content-Length: 100\r\n\r\n{\"model\": ",  # half a body, then nothing
])
def test_slow_or_silent_connections_are_closed(small, data):
    assert _raw(small.port, data) == b""  # closed by the server, nothing answered


def test_an_idle_kept_alive_connection_is_closed(small):
    with socket.create_connection(("127.0.0.1", small.port), timeout=PATIENCE) as s:
        s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        reply = b""
        while b"\r\n\r\n" not in reply or not reply.endswith(b"}"):
            chunk = s.recv(65536)
            assert chunk
            reply += chunk
        assert reply.startswith(b"HTTP/1.1 200 ")
        assert s.recv(65536) == b""  # then closed once idle
    # and forgotten by the server (a connection it still counted would hold up its shutdown)
    until(lambda: not small.server.server_state.connections, "the server forgot the connection")


def test_serve_passes_its_limits_to_uvicorn(tiny_model_dir, monkeypatch):
    import uvicorn

    from velkor_zuma.serve import serve

    seen = []

    def run(self):
        seen.append(self.config)
        self.started = True

    monkeypatch.setattr(uvicorn.Server, "run", run)
    monkeypatch.delenv("VELKOR_ZUMA_API_KEY", raising=False)
    serve(ServeConfig(str(tiny_model_dir), {}, "fp32"), "127.0.0.1", 8124, max_batch=3,
          max_waiting=7, request_timeout=12.5, keep_alive_timeout=3)
    (config,) = seen
    assert config.http._vz_request_timeout == 12.5 and config.http._vz_keep_alive == 3
    assert config.timeout_keep_alive == 3
    assert config.app.state.batcher.max_batch == 3
    with pytest.raises(ValueError, match="max_waiting must be at least 1"):
        serve(ServeConfig(str(tiny_model_dir), {}, "fp32"), "127.0.0.1", 8124, max_waiting=0)
    with pytest.raises(ValueError, match="request_timeout must be above 0"):
        _http_protocol(request_timeout=0)


# ------------------------------------------------------- decoded by the engine, end to end
def test_required_tool_call_is_valid_for_the_declared_parameters(tool_server):
    import jsonschema

    for choice in ["required", {"type": "function", "function": {"name": "get_weather"}}]:
        r = tool_server.client.chat.completions.create(model="base", messages=HELLO, tools=[WEATHER],
                                                       tool_choice=choice, max_tokens=200)
        (call,) = r.choices[0].message.tool_calls
        assert r.choices[0].finish_reason == "tool_calls" and call.function.name == "get_weather"
        jsonschema.validate(json.loads(call.function.arguments), WEATHER["function"]["parameters"])


def test_json_schema_reply_validates(server):
    import jsonschema

    schema = {"type": "object", "properties": {"city": {"enum": ["Paris", "Rome"]},
                                               "ok": {"type": "boolean"}},
              "required": ["city", "ok"], "additionalProperties": False}
    r = server.client.chat.completions.create(
        model="a", messages=HELLO, max_tokens=200,
        response_format={"type": "json_schema", "json_schema": {"name": "trip", "schema": schema}})
    assert r.choices[0].finish_reason == "stop"
    jsonschema.validate(json.loads(r.choices[0].message.content), schema)


def test_logprobs_cover_every_token(server):
    r = server.client.chat.completions.create(model="a", messages=HELLO, logprobs=True,
                                              top_logprobs=2)
    content = r.choices[0].logprobs.content
    assert len(content) == r.usage.completion_tokens > 0
    assert all(e.logprob <= 0 and len(e.top_logprobs) == 2 for e in content)
    c = server.client.completions.create(model="a", prompt="Hello", logprobs=2)
    lp = c.choices[0].logprobs
    assert len(lp.tokens) == len(lp.token_logprobs) == c.usage.completion_tokens
    assert "".join(lp.tokens) == c.choices[0].text


def test_seeded_choices_repeat(server):
    ask = dict(model="a", messages=HELLO, n=3, temperature=1.5, seed=7, max_tokens=8)
    first = [c.message.content for c in server.client.chat.completions.create(**ask).choices]
    again = [c.message.content for c in server.client.chat.completions.create(**ask).choices]
    assert first == again and len(set(first)) > 1  # choice i draws from seed + i


def test_time_to_first_token_is_measured(engine):
    srv = LocalServer(build_app(engine))
    try:
        srv.client.chat.completions.create(model="a", messages=HELLO, n=2)
        s = _samples(srv.http.get("/metrics").text)
        assert s[("velkor_zuma_time_to_first_token_seconds_count", (("model", "a"),))] == 2
    finally:
        srv.close()
