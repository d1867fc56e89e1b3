"""The step scheduler without HTTP: rows joining and leaving a running batch, per-row adapters,
per-row sampling (seed, top_p, penalties, logit bias), stop texts, logprobs and JSON output, on
the real tiny model with real LoRA adapters, through `_Batcher.start` / `complete`. Every test
waits on a job's state or a model step, never on the clock."""

import json
import threading
import warnings

import pytest

from velkor_zuma.serve import ServeConfig, _Engine, build_app

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
pytest.importorskip("peft")

from tinymodel import build_tiny_adapter  # noqa: E402
from localserver import LocalServer  # noqa: E402
from waiting import PATIENCE, until  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Found missing adapter keys")

HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
HI = [{"role": "user", "content": "hi"}]
EOS = 2  # the tiny tokenizer's end token
NO_END = {EOS: -100}  # a row that runs to its limit


@pytest.fixture(scope="module")
def engine(tiny_model_dir, tmp_path_factory):
    root = tmp_path_factory.mktemp("adapters")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dirs = {n: str(build_tiny_adapter(tiny_model_dir, root / n, seed=i + 1)) for i, n in enumerate("abc")}
    return _Engine(ServeConfig(str(tiny_model_dir), dirs, max_new_tokens=6)).load()


@pytest.fixture(scope="module")
def batcher(engine):
    return build_app(engine).state.batcher


class StepGate:
    """Holds the model at a chosen forward (a hook on lm_head) until released; records the rows of
    every forward."""

    def __init__(self, engine):
        self.rows, self.hold_at, self.reached, self.gate = [], None, threading.Event(), threading.Event()
        self.handle = engine.model.get_base_model().lm_head.register_forward_hook(self.hook)

    def hook(self, module, args, output):
        self.rows.append(args[0].shape[0])
        if self.hold_at is not None and len(self.rows) >= self.hold_at and not self.gate.is_set():
            self.reached.set()
            self.gate.wait(PATIENCE)

    def hold(self, at):
        self.hold_at, self.reached, self.gate = len(self.rows) + at, threading.Event(), threading.Event()

    def release(self):
        self.gate.set()

    def close(self):
        self.gate.set()
        self.handle.remove()


@pytest.fixture
def steps(engine):
    gate = StepGate(engine)
    yield gate
    gate.close()


def _until(condition):
    until(condition, "the scheduler's state waited for")


def _together(engine, batcher, cases):
    """Starts every (model, messages, fields) case while the model is held, so that they queue,
    then lets them run together; returns their results in order."""
    lock = engine.__dict__.setdefault("_generate_lock", threading.Lock())
    with lock:
        pending = [batcher.start(m, msgs, **f) for m, msgs, f in cases]
        _until(lambda: batcher.waiting + batcher.in_batch >= len(cases))
    return [p.result(timeout=PATIENCE) for p in pending]


CASES = [(name, messages, {"max_tokens": k}) for name in "abc" for messages in (HELLO, HI) for k in (2, 5)]


class TestAdaptersPerRow:
    def test_mixed_adapters_together_equal_alone(self, engine, batcher, steps):
        alone = [batcher.complete(m, msgs, **f) for m, msgs, f in CASES]
        together = _together(engine, batcher, CASES)
        assert [r["tokens"] for r in together] == [r["tokens"] for r in alone]
        assert [r["text"] for r in together] == [engine.generate(m, msgs, f["max_tokens"], 0.0)
                                                 for m, msgs, f in CASES]
        assert max(steps.rows) >= len(CASES) // 2  # they shared steps

    @pytest.mark.parametrize("name", ["a", "b"])
    def test_same_reply_whatever_joins(self, engine, batcher, name):
        alone = batcher.complete(name, HELLO, max_tokens=8)
        mixed = _together(engine, batcher, [(name, HELLO, {"max_tokens": 8})] +
                          [(other, HI, {"max_tokens": 3, "temperature": 1.0}) for other in "abc"])
        assert mixed[0]["tokens"] == alone["tokens"] and mixed[0]["finish_reason"] == "length"


class TestJoiningAndLeaving:
    def test_short_row_joins_and_leaves_while_long_runs(self, batcher, steps):
        steps.hold(4)
        long = batcher.start("a", HELLO, max_tokens=200, logit_bias=NO_END)
        assert steps.reached.wait(PATIENCE)
        short = batcher.start("b", HI, max_tokens=3)
        _until(lambda: batcher.waiting >= 1 or short.admitted)
        steps.release()
        reply = short.result(timeout=PATIENCE)
        assert not long.done  # the short reply came back while the long row still runs
        assert reply["finish_reason"] == "length" and len(reply["tokens"]) == 3
        assert 2 in steps.rows  # a step over both rows
        done = long.result(timeout=PATIENCE)
        assert (done["finish_reason"], len(done["tokens"])) == ("length", 200)
        assert done["tokens"] == batcher.complete("a", HELLO, max_tokens=200, logit_bias=NO_END)["tokens"]

    @pytest.mark.parametrize("stream", [False, True])
    def test_cancelled_row_leaves_while_others_continue(self, batcher, steps, stream):
        steps.hold(6)
        rows = [batcher.start(n, HELLO, max_tokens=300, logit_bias=NO_END, stream=stream) for n in "ab"]
        assert steps.reached.wait(PATIENCE)
        assert all(r.new_tokens for r in rows)  # both are running
        rows[0].cancel()
        steps.release()
        gone = rows[0].result(timeout=PATIENCE)
        assert gone["finish_reason"] == "cancelled" and gone["status"] == 503
        assert not rows[1].done
        kept = rows[1].result(timeout=PATIENCE)
        assert (kept["finish_reason"], len(kept["tokens"])) == ("length", 300)

    def test_long_prompt_is_read_in_chunks(self, batcher, steps):
        messages = [{"role": "user", "content": "the quick brown fox " * 120}]
        one = batcher.complete("a", messages, max_tokens=4)
        assert one["prompt_tokens"] > 256 and len(one["tokens"]) == 4
        assert one["tokens"] == _together_one(batcher, messages)

    def test_prompt_beyond_context_is_refused(self, batcher):
        r = batcher.complete("a", [{"role": "user", "content": "word " * 2100}])
        assert r["status"] == 400 and r["message"].startswith("'messages'")
        r = batcher.complete("a", "word " * 2100, raw_prompt=True)
        assert r["status"] == 400 and r["message"].startswith("'prompt'")


def _together_one(batcher, messages):
    """The same request's tokens while a long row runs beside it."""
    other = batcher.start("b", HELLO, max_tokens=50, logit_bias=NO_END, stream=True)
    assert other.next_text(timeout=PATIENCE)
    tokens = batcher.complete("a", messages, max_tokens=4)["tokens"]
    other.cancel()
    other.result(timeout=PATIENCE)
    return tokens


class TestSampling:
    @pytest.mark.parametrize("seed", [7, 2**40 + 3])
    def test_seed_repeats_alone_and_batched(self, engine, batcher, seed):
        fields = {"max_tokens": 12, "temperature": 1.2, "seed": seed, "logit_bias": NO_END}
        alone = batcher.complete("a", HELLO, **fields)
        again = batcher.complete("a", HELLO, **fields)
        batched = _together(engine, batcher, [("a", HELLO, fields), ("b", HELLO, dict(fields, seed=seed + 1)),
                                              ("c", HI, {"max_tokens": 4, "temperature": 0.7})])
        other = batcher.complete("a", HELLO, **dict(fields, seed=seed + 1))
        assert alone["tokens"] == again["tokens"] == batched[0]["tokens"]
        assert other["tokens"] != alone["tokens"]

    def test_tiny_top_p_is_greedy(self, batcher):
        greedy = batcher.complete("b", HELLO, max_tokens=10, logit_bias=NO_END)
        nucleus = batcher.complete("b", HELLO, max_tokens=10, logit_bias=NO_END, temperature=1.5, top_p=1e-6)
        assert nucleus["tokens"] == greedy["tokens"]

    def test_logit_bias_forces_a_token(self, batcher):
        r = batcher.complete("a", HELLO, max_tokens=5, logit_bias={17: 100})
        assert r["tokens"] == [17] * 5

    @pytest.mark.parametrize("field", ["presence_penalty", "frequency_penalty"])
    def test_penalties_break_repetition(self, batcher, field):
        plain = batcher.complete("a", HI, max_tokens=8, logit_bias=NO_END)
        assert len(set(plain["tokens"])) <= 2  # adapter "a" repeats itself on HI
        penalised = batcher.complete("a", HI, max_tokens=8, logit_bias=NO_END, **{field: 2.0})
        assert len(set(penalised["tokens"])) > len(set(plain["tokens"]))

    def test_raw_prompt_skips_the_template(self, engine, batcher):
        prompt = engine.tokenizer.apply_chat_template(HELLO, tokenize=False, add_generation_prompt=True)
        assert batcher.complete("a", prompt, raw_prompt=True)["tokens"] == batcher.complete("a", HELLO)["tokens"]

    @pytest.mark.parametrize("tools", [None, [{"type": "function", "function": {"name": "f", "parameters": {}}}]])
    def test_tools_reach_the_chat_template(self, engine, batcher, monkeypatch, tools):
        real, seen = engine.tokenizer.apply_chat_template, []

        def render(conversation, **kw):
            seen.append(kw.get("tools"))
            return real(conversation, **kw)

        monkeypatch.setattr(engine.tokenizer, "apply_chat_template", render)
        assert batcher.complete("a", HELLO, max_tokens=1, tools=tools)["status"] == 0
        assert seen == [tools]

    def test_logprobs_sorted_and_at_most_zero(self, batcher):
        r = batcher.complete("b", HELLO, max_tokens=6, logprobs=True, top_logprobs=5)
        assert len(r["logprobs"]) == len(r["tokens"]) == 6
        for token, lp, top in r["logprobs"]:
            values = [v for _, v in top]
            assert lp <= 0 and len(top) == 5 and values == sorted(values, reverse=True)
            assert top[0] == (token, lp)  # greedy: the chosen token is the most likely
        assert "".join(t for t, _, _ in r["logprobs"]) == r["text"]


@pytest.fixture(scope="module")
def reply(batcher):
    """Adapter b's greedy reply to HELLO, run to 20 tokens."""
    r = batcher.complete("b", HELLO, max_tokens=20, logit_bias=NO_END)
    assert len(r["text"]) > 6
    return r["text"]


class TestStop:
    @pytest.mark.parametrize("stream", [False, True])
    @pytest.mark.parametrize("where", [2, 5])
    def test_stop_text_never_appears(self, batcher, reply, stream, where):
        stop = reply[where:where + 3]
        cut = reply[:reply.index(stop)]
        r = batcher.complete("b", HELLO, max_tokens=20, logit_bias=NO_END, stop=["zzzz", stop], stream=stream)
        assert (r["text"], r["finish_reason"]) == (cut, "stop")
        if stream:
            assert "".join(r["chunks"]) == cut  # no piece of the stop text was ever sent

    def test_absent_stop_changes_nothing(self, batcher, reply):
        r = batcher.complete("b", HELLO, max_tokens=20, logit_bias=NO_END, stop="\u00e9\u00e9\u00e9")
        assert (r["text"], r["finish_reason"]) == (reply, "length")


class TestJson:
    SCHEMA = {"type": "object", "properties": {"ok": {"type": "boolean"}, "color": {"enum": ["red", "green"]},
                                               "size": {"type": "integer", "minimum": 0, "maximum": 9}},
              "required": ["ok", "color", "size"]}

    @pytest.mark.parametrize("name", ["a", "b", "c"])
    @pytest.mark.parametrize("temperature", [0.0, 1.0])
    def test_schema_reply_validates(self, batcher, name, temperature):
        jsonschema = pytest.importorskip("jsonschema")
        r = batcher.complete(name, HELLO, max_tokens=60, temperature=temperature, seed=3,
                             response_format="json_schema", schema=self.SCHEMA)
        assert r["finish_reason"] == "stop"
        jsonschema.validate(json.loads(r["text"]), self.SCHEMA)

    def test_json_object_is_an_object(self, batcher):
        # The model's own tokens, biased to end strings early, so the object closes in time.
        r = batcher.complete("a", HELLO, max_tokens=200, response_format="json_object")
        if r["finish_reason"] == "stop":
            assert isinstance(json.loads(r["text"]), dict)
        else:
            assert r["text"].startswith("{")

    def test_unenforceable_schema_is_refused(self, batcher):
        r = batcher.complete("a", HELLO, response_format="json_schema", schema='{"type": "object", "properties": ')
        assert r["status"] == 400 and r["message"].startswith("'response_format'")


class TestFailures:
    @pytest.mark.parametrize("oversized", [False, True], ids=["one-bad-row", "batch-too-large"])
    def test_failing_step_fails_only_rows_that_fail_alone(self, engine, batcher, monkeypatch, oversized):
        model = engine.model
        real = model.forward

        def forward(*args, **kw):
            ids = kw["input_ids"]
            if oversized and ids.shape[0] > 1:
                raise RuntimeError("out of memory for a batch of this size")
            if any("poison" in t for t in engine.tokenizer.batch_decode(ids)):
                raise RuntimeError("this request breaks the model")
            return real(*args, **kw)

        expected = [batcher.complete(m, msgs, **f)["tokens"] for m, msgs, f in CASES[:4]]
        monkeypatch.setattr(model, "forward", forward)
        cases = CASES[:4] + ([] if oversized else [("a", [{"role": "user", "content": "poison"}], {})])
        lock = engine.__dict__.setdefault("_generate_lock", threading.Lock())
        with lock:
            pending = [batcher.start(m, msgs, **f) for m, msgs, f in cases]
            _until(lambda: batcher.waiting + batcher.in_batch >= len(cases))
        assert [p.result(timeout=PATIENCE)["tokens"] for p in pending[:4]] == expected
        if not oversized:
            with pytest.raises(RuntimeError, match="breaks the model"):
                pending[4].result(timeout=PATIENCE)


@pytest.fixture(scope="module")
def server(engine):
    srv = LocalServer(build_app(engine))
    srv.batcher = srv.app.state.batcher
    yield srv
    srv.close()


class TestOverHttp:
    """The official openai client against uvicorn on 127.0.0.1."""

    @staticmethod
    def client(server):
        import openai

        return openai.OpenAI(base_url=server.url + "/v1", api_key="unused", max_retries=0, timeout=PATIENCE)

    def test_short_request_returns_while_a_stream_runs_and_the_stream_ends_when_closed(self, server, steps):
        client = self.client(server)
        steps.hold(4)
        started, over = threading.Event(), threading.Event()
        pieces = []

        def long_stream():
            # Adapter "a" repeats one token on HI: the reply runs to its limit.
            stream = client.chat.completions.create(model="a", messages=HI, max_tokens=1500, stream=True)
            for chunk in stream:
                pieces.append(chunk.choices[0].delta.content or "" if chunk.choices else "")
                started.set()
                if len(pieces) >= 40:
                    stream.close()  # the client goes away
                    break
            over.set()

        threading.Thread(target=long_stream, daemon=True).start()
        assert steps.reached.wait(PATIENCE)
        short = {}
        thread = threading.Thread(target=lambda: short.update(
            r=client.chat.completions.create(model="b", messages=HELLO, max_tokens=3)))
        thread.start()
        _until(lambda: server.batcher.waiting >= 1 or server.batcher.in_batch >= 2)
        # Let the model go, and hold it again five forwards later: the short row needs three
        # (its prompt, then two steps) once it joins at the next step.
        held = steps.gate
        steps.hold(5)
        held.set()
        thread.join(PATIENCE)
        assert short["r"].usage.completion_tokens == 3 and short["r"].choices[0].finish_reason == "length"
        assert steps.reached.wait(PATIENCE) and not over.is_set()  # the stream is held, still running
        assert 2 in steps.rows  # both rows in one step
        steps.release()
        assert over.wait(PATIENCE)
        _until(lambda: server.batcher.in_batch + server.batcher.waiting == 0)  # the closed stream's row left
        assert len(steps.rows) < 300

    def test_concurrent_mixed_adapters_equal_sequential(self, engine, server):
        import concurrent.futures

        client = self.client(server)
        sequential = [engine.generate(m, msgs, f["max_tokens"], 0.0) for m, msgs, f in CASES]
        with concurrent.futures.ThreadPoolExecutor(len(CASES)) as pool:
            replies = list(pool.map(lambda c: client.chat.completions.create(
                model=c[0], messages=c[1], max_tokens=c[2]["max_tokens"]).choices[0].message.content, CASES))
        assert replies == sequential
