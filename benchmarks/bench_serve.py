"""Adapter server throughput, latency and resident memory: one base with 4 LoRA adapters
(velkor_zuma.serve) against the same 4 fine-tunes served as separately loaded full models
(each adapter merged into its own copy of the base), all behind uvicorn on 127.0.0.1.

Servers compared:
  batched  build_app(engine): the step scheduler, requests joining and leaving the running batch
  batch-1  build_app(engine, max_batch=1): the scheduler, one row at a time
  lock     a plain fastapi handler calling the engine's lock-serialised generate (the server
           before batching)
  full     one fully loaded model per fine-tune, plain transformers + fastapi

Each server runs in its own process (so resident memory is its own); the clients run here. All
servers run at once and every level's repeats take turns across them, so that a change in the
machine's load touches each alike. For 1, 4, 8 and 16 concurrent clients, requests go round-robin over the 4 model names; each
level is repeated and the medians of requests/s, p50 and p95 latency are printed, with the
servers' resident memory (VmRSS after loading and after serving, VmHWM at the end; safetensors
weights are memory-mapped, so pages count once they have been touched) and the bytes of weights
they hold. Every server's greedy replies are compared with the lock server's.

The engine part (first) drives the step scheduler in process through `_Batcher.start`, with the
lock-serialised `_Engine.generate` (one request at a time) beside it in the same run:
  short behind long   four 8-token requests 0.2 s into a 200-token one,
                      the slowest against the latency of one alone
  first token         time to the first token of 8 streams started together, against one alone
  throughput          completion tokens/s at 1, 4, 8, 16 clients over the four adapters
  mixed vs same       16 clients over four adapters against 16 clients on one adapter
  JSON schema         tokens/s of 8 clients under a JSON-schema grammar against free text
Replies run to their limit (the generation config names no reachable end token) so that every
row does the same work. `--shape 1b` runs the engine part on a 1B-class Llama (random weights, hidden 2048,
intermediate 5632, 22 layers, vocabulary 32000, four rank-16 adapters on q/k/v/o); it is heavy.

    python benchmarks/bench_serve.py [--requests 48] [--repeats 3] [--max-tokens 8]
                                     [--servers batched,batch-1,lock,full] [--threads N]
                                     [--shape demo|1b] [--parts engine,servers]
"""

import argparse
import concurrent.futures
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # tinymodel: local tiny causal LM + LoRA builders
sys.path.insert(0, str(HERE))
from workload import clients_rate  # noqa: E402

NAMES = ["a0", "a1", "a2", "a3"]
MESSAGES = [{"role": "user", "content": "Hello, how are you today?"}]
# A wider variant of the test suite's tiny Llama, so weights are visible next to the libraries.
MODEL = dict(hidden_size=256, intermediate_size=1024, num_hidden_layers=4, num_attention_heads=8,
             num_key_value_heads=4)
SHAPES = {
    "demo": dict(model=MODEL, rank=8, long=200, reply=32, requests=4),
    "1b": dict(model=dict(hidden_size=2048, intermediate_size=5632, num_hidden_layers=22, num_attention_heads=32,
                          num_key_value_heads=4, vocab_size=32000),
               # One request per client: one step reads 2.2 GB of bf16 weights (4.4 GB in fp32).
               rank=16, long=200, reply=32, requests=1),
}


# ------------------------------------------------------------------------------ server side


def load_engine(root):
    from velkor_zuma.serve import ServeConfig, _Engine

    cfg = ServeConfig(str(root / "base"), {n: str(root / n) for n in NAMES}, "fp32")
    engine = _Engine(cfg).load()
    weights = sum(p.numel() * p.element_size() for p in engine.model.parameters())
    print("WEIGHTS", weights, flush=True)
    return engine


def run_batched(root, port, max_batch=16):
    import uvicorn

    from velkor_zuma.serve import build_app

    app = build_app(load_engine(root), max_batch=max_batch)
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


def run_batch1(root, port):
    run_batched(root, port, max_batch=1)


def run_lock(root, port):
    """The engine's lock-serialised generate behind a plain synchronous fastapi handler, as the
    server answered before requests were batched."""
    import uvicorn
    from fastapi import FastAPI, HTTPException

    from velkor_zuma.serve import ChatRequest

    engine = load_engine(root)
    app = FastAPI()

    @app.get("/healthz")
    def healthz():
        return {"status": "ok"}

    @app.post("/v1/chat/completions")
    def chat(req: ChatRequest):
        if req.model not in engine.servable():
            raise HTTPException(404, "unknown model")
        conversation = [{"role": m.role, "content": m.content} for m in req.messages]
        text = engine.generate(req.model, conversation, req.max_tokens, req.temperature)
        now = int(time.time())
        return {"id": "chatcmpl-%d" % now, "object": "chat.completion", "created": now,
                "model": req.model, "choices": [{"index": 0, "finish_reason": "stop",
                                                 "message": {"role": "assistant", "content": text}}]}

    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


def run_baseline(root, port):
    """Plain transformers + fastapi: one full model per fine-tune, chosen by name."""
    import torch
    import uvicorn
    from fastapi import FastAPI, HTTPException
    from pydantic import BaseModel
    from transformers import AutoModelForCausalLM, AutoTokenizer

    tok = AutoTokenizer.from_pretrained(str(root / "base"))
    models = {n: AutoModelForCausalLM.from_pretrained(str(root / ("merged-" + n)),
                                                      dtype=torch.float32).eval() for n in NAMES}
    weights = sum(p.numel() * p.element_size() for m in models.values() for p in m.parameters())
    print("WEIGHTS", weights, flush=True)

    class Msg(BaseModel):
        role: str
        content: str

    class Req(BaseModel):
        model: str
        messages: list[Msg]
        max_tokens: int | None = None
        temperature: float = 0.0

    app = FastAPI()

    @app.get("/healthz")
    def healthz():
        return {"status": "ok"}

    @app.post("/v1/chat/completions")
    def chat(req: Req):
        if req.model not in models:
            raise HTTPException(404, "unknown model")
        model = models[req.model]
        prompt = tok.apply_chat_template([m.model_dump() for m in req.messages], tokenize=False,
                                         add_generation_prompt=True)
        ids = tok(prompt, return_tensors="pt")
        with torch.no_grad():
            out = model.generate(**ids, max_new_tokens=req.max_tokens or 256, do_sample=False,
                                 pad_token_id=tok.eos_token_id)
        text = tok.decode(out[0][ids["input_ids"].shape[1]:], skip_special_tokens=True)
        now = int(time.time())
        return {"id": "chatcmpl-%d" % now, "object": "chat.completion", "created": now,
                "model": req.model, "choices": [{"index": 0, "finish_reason": "stop",
                                                 "message": {"role": "assistant", "content": text}}]}

    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


def run_empty(root, port):
    """The same libraries with no model loaded: the resident floor of both servers."""
    import peft  # noqa: F401
    import torch  # noqa: F401
    import transformers  # noqa: F401
    import uvicorn
    from fastapi import FastAPI

    import velkor_zuma.serve  # noqa: F401

    transformers.AutoModelForCausalLM, transformers.AutoTokenizer  # resolve the lazy imports
    print("WEIGHTS 0", flush=True)
    app = FastAPI()
    app.get("/healthz")(lambda: {"status": "ok"})
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


# ------------------------------------------------------------------------------ engine part


def build_shape(root, shape):
    import torch
    from tinymodel import build_tiny_adapter, build_tiny_model

    shape_cfg = SHAPES[shape]
    torch.manual_seed(0)
    build_tiny_model(root / "base", seed=0, **shape_cfg["model"])
    if shape == "1b":  # stored as bf16, as such checkpoints are
        from transformers import AutoModelForCausalLM

        m = AutoModelForCausalLM.from_pretrained(str(root / "base"), dtype=torch.bfloat16)
        m.save_pretrained(str(root / "base"))
        del m
    for i, n in enumerate(NAMES):
        build_tiny_adapter(root / "base", root / n, seed=i + 1, r=shape_cfg["rank"],
                           target_modules=("q_proj", "k_proj", "v_proj", "o_proj"))


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(q * (len(values) - 1))))]


def engine_part(shape, repeats, precision="auto"):
    import threading
    import warnings

    warnings.simplefilter("ignore")
    from velkor_zuma.serve import ServeConfig, _Engine, build_app

    shape_cfg = SHAPES[shape]
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        t0 = time.perf_counter()
        build_shape(root, shape)
        engine = _Engine(ServeConfig(str(root / "base"), {n: str(root / n) for n in NAMES}, precision)).load()
        print("engine part: %s shape built and loaded in %.0f s" % (shape, time.perf_counter() - t0), flush=True)
    # No end token: every reply runs to its limit, so that every row does the same work.
    engine.model.generation_config.eos_token_id = 10**9
    batcher = build_app(engine).state.batcher
    reply, rows = shape_cfg["reply"], {}

    def request(name, limit, **fields):
        t = time.perf_counter()
        r = batcher.complete(name, MESSAGES, max_tokens=limit, **fields)
        assert r["status"] == 0 and len(r["tokens"]) == limit, r
        return time.perf_counter() - t

    for n in NAMES:  # warm-up
        request(n, 4)

    # Every figure is a median over repeats, and each repeat measures its reference (alone, one
    # client, one adapter, free text) right beside the case, so that the machine's load, which
    # changes by the minute on a shared machine, touches both alike.
    def alone_latency():
        return statistics.median(request(NAMES[1 + i % 3], 8) for i in range(2))

    def behind_long():
        long = batcher.start(NAMES[0], MESSAGES, max_tokens=shape_cfg["long"])
        time.sleep(0.2)
        shorts = []
        threads = [threading.Thread(target=lambda n=n: shorts.append(request(n, 8))) for n in NAMES]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        long.result()
        return max(shorts)

    def first_token(name):
        # The engine's own clock from submission to the first chosen token (a random model's
        # tokens often decode to no text, so the first streamed text would say little).
        p = batcher.start(name, MESSAGES, max_tokens=8, stream=True)
        p.result()
        return p.first_token_seconds

    def eight_streams():
        got = []
        threads = [threading.Thread(target=lambda n=n: got.append(first_token(n))) for n in NAMES * 2]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return percentile(got, 0.95)

    def load(clients, names, lock=False, **fields):
        n = clients * shape_cfg["requests"]

        def worker(k):
            got = 0
            for i in range(k, n, clients):
                name = names[i % len(names)]
                if lock:
                    engine.generate(name, MESSAGES, reply, 0.0)
                    got += reply
                elif fields:
                    got += len(batcher.complete(name, MESSAGES, max_tokens=reply, **fields)["tokens"])
                else:
                    request(name, reply)
                    got += reply
            return got

        return clients_rate(clients, worker)

    schema = {"type": "object", "properties": {"name": {"type": "string", "maxLength": 40},
                                               "n": {"type": "integer"}, "ok": {"type": "boolean"}},
              "required": ["name", "n", "ok"]}
    m = {}
    levels = (1, 4, 8, 16)
    for _ in range(repeats):
        for key, fn in [("alone", alone_latency), ("behind", behind_long), ("ttft1", lambda: first_token(NAMES[0])),
                        ("ttft8", eight_streams)] + \
                [(c, lambda c=c: load(c, NAMES)) for c in levels] + \
                [("same", lambda: load(16, NAMES[:1])), ("free8", lambda: load(8, NAMES))] + \
                ([("lock", lambda: load(4, NAMES, lock=True))] if shape == "demo" else []) + \
                [("json8", lambda: load(8, NAMES, response_format="json_schema", schema=schema))]:
            m.setdefault(key, []).append(fn())
    r = {k: statistics.median(v) for k, v in m.items()}
    ratio = lambda a, b: statistics.median(x / y for x, y in zip(m[a], m[b]))  # noqa: E731
    rows["short behind long"] = ("slowest of four 8-token replies 0.2 s into a %d-token one: %.3f s; alone "
                                 "%.3f s (%.2fx; the lock-serialised engine answers them after the long one)"
                                 % (shape_cfg["long"], r["behind"], r["alone"], ratio("behind", "alone")))
    rows["first token"] = "8 streams together: p95 %.3f s; one alone %.3f s (%.2fx)" % (
        r["ttft8"], r["ttft1"], ratio("ttft8", "ttft1"))
    rows["throughput"] = "tokens/s at 1/4/8/16 clients: %s; 16 clients / 1: %.2fx" % (
        " ".join("%.1f" % r[c] for c in levels), ratio(16, 1))
    if "lock" in r:
        rows["throughput"] += "; lock-serialised generate at 4 clients: %.1f" % r["lock"]
    rows["mixed vs same"] = "16 clients, four adapters %.1f tokens/s, one adapter %.1f (%.2fx)" % (
        r[16], r["same"], ratio(16, "same"))
    rows["JSON schema"] = "8 clients: %.1f tokens/s under a schema, %.1f free (%.2fx)" % (
        r["json8"], r["free8"], ratio("json8", "free8"))

    import torch

    print("bench_serve engine part: %s shape, %s on %s, os.cpu_count() = %s, torch threads %d, replies of %d "
          "tokens, %d repeats" % (shape, engine.cfg.precision, engine.device, os.cpu_count(), torch.get_num_threads(),
                                  reply, repeats))
    for k, v in rows.items():
        print("  %-18s %s" % (k, v))
    print(flush=True)


# ------------------------------------------------------------------------------ client side


def build(root):
    import torch
    from peft import PeftModel
    from tinymodel import build_tiny_adapter, build_tiny_model
    from transformers import AutoModelForCausalLM

    build_tiny_model(root / "base", seed=0, **MODEL)
    for i, n in enumerate(NAMES):
        build_tiny_adapter(root / "base", root / n, seed=i + 1, r=8,
                           target_modules=("q_proj", "k_proj", "v_proj", "o_proj"))
        base = AutoModelForCausalLM.from_pretrained(str(root / "base"), dtype=torch.float32)
        merged = PeftModel.from_pretrained(base, str(root / n)).merge_and_unload()
        merged.save_pretrained(str(root / ("merged-" + n)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proc_status(pid, field):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    return 0


class Server:
    def __init__(self, role, root, threads=None):
        import httpx

        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        env = dict(os.environ)
        if threads:
            env["OMP_NUM_THREADS"] = str(threads)
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--child", role, "--root", str(root), "--port", str(self.port)],
            stdout=subprocess.PIPE, text=True, env=env)
        line = self.proc.stdout.readline()
        assert line.startswith("WEIGHTS"), "server failed to load: %r" % line
        self.weights = int(line.split()[1])
        deadline = time.monotonic() + 120
        while True:
            try:
                if httpx.get(self.url + "/healthz", timeout=5).status_code == 200:
                    break
            except httpx.HTTPError:
                pass
            assert self.proc.poll() is None and time.monotonic() < deadline, "server did not start"
            time.sleep(0.1)
        self.rss_loaded = proc_status(self.proc.pid, "VmRSS")

    def close(self):
        self.rss_served = proc_status(self.proc.pid, "VmRSS")
        self.peak = proc_status(self.proc.pid, "VmHWM")
        self.proc.terminate()
        self.proc.wait(30)


def load_test(url, clients, requests, max_tokens):
    import httpx

    def one(i, client):
        body = {"model": NAMES[i % len(NAMES)], "messages": MESSAGES, "max_tokens": max_tokens}
        t0 = time.perf_counter()
        r = client.post(url + "/v1/chat/completions", json=body)
        r.raise_for_status()
        return time.perf_counter() - t0, r.json()["choices"][0]["message"]["content"]

    pools = [httpx.Client(timeout=300) for _ in range(clients)]
    try:
        t0 = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(clients) as ex:
            results = list(ex.map(lambda i: one(i, pools[i % clients]), range(requests)))
        wall = time.perf_counter() - t0
    finally:
        for c in pools:
            c.close()
    lat = sorted(r[0] for r in results)
    p95 = lat[min(len(lat) - 1, int(round(0.95 * (len(lat) - 1))))]
    return requests / wall, statistics.median(lat), p95, [r[1] for r in results]


ROLES = {"batched": run_batched, "batch-1": run_batch1, "lock": run_lock, "full": run_baseline,
         "empty": run_empty}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--root")
    ap.add_argument("--port", type=int)
    ap.add_argument("--requests", type=int, default=48)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--max-tokens", type=int, default=8)
    ap.add_argument("--servers", default="batched,batch-1,lock,full")
    ap.add_argument("--levels", default="1,4,8,16")
    ap.add_argument("--threads", type=int, default=0, help="OMP_NUM_THREADS of the servers")
    ap.add_argument("--shape", default="demo", choices=sorted(SHAPES))
    ap.add_argument("--parts", default="engine,servers")
    ap.add_argument("--precision", default="auto", help="precision of the engine part (default: the server's auto)")
    ap.add_argument("--torch-threads", type=int, default=0,
                    help="torch threads of the engine part (0: torch's default); 1 keeps a shared, loaded "
                         "machine's waits between threads out of the figures")
    args = ap.parse_args()
    if args.child:
        ROLES[args.child](Path(args.root), args.port)
        return
    parts = args.parts.split(",")
    if "engine" in parts:
        if args.torch_threads:
            import torch

            torch.set_num_threads(args.torch_threads)
        engine_part(args.shape, args.repeats, args.precision)
    if "servers" not in parts or args.shape != "demo":
        return

    roles = args.servers.split(",")
    levels = [int(c) for c in args.levels.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        build(root)
        # All servers up at once and the levels' repeats interleaved across them, so that a
        # change in the machine's load touches every server alike.
        servers = {role: Server(role, root, args.threads) for role in roles}
        results, runs = {}, {}
        try:
            for role in roles:
                load_test(servers[role].url, 4, 8, args.max_tokens)  # warm-up
            for c in levels:
                for _ in range(args.repeats):
                    for role in roles:
                        runs.setdefault((role, c), []).append(
                            load_test(servers[role].url, c, args.requests, args.max_tokens))
                for role in roles:
                    got = runs[role, c]
                    results[role, c] = tuple(statistics.median(r[i] for r in got) for i in range(3))
                    results[role, c, "replies"] = got[0][3]
        finally:
            for srv in servers.values():
                srv.close()
        floor = Server("empty", root)
        floor.close()

    ref = "lock" if "lock" in roles else roles[0]
    mib = 2.0**20
    print("bench_serve: tiny Llama (hidden %d, %d layers) on CPU, 4 LoRA adapters, %d requests "
          "x %d repeats per level, max_tokens %d, os.cpu_count() = %s, server threads %s"
          % (MODEL["hidden_size"], MODEL["num_hidden_layers"], args.requests, args.repeats,
             args.max_tokens, os.cpu_count(), args.threads or "default"))
    for role in roles:
        same = all(results[role, c, "replies"] == results[ref, c, "replies"] for c in levels)
        print("replies of %-8s identical to %s: %s" % (role, ref, same))
    print()
    print("%-8s | " % "clients" + " | ".join("%-30s" % role for role in roles))
    print("%-8s | " % "" + " | ".join("%9s %9s %10s" % ("req/s", "p50 ms", "p95 ms") for _ in roles))
    for c in levels:
        print("%-8d | " % c + " | ".join("%9.1f %9.1f %10.1f" % (results[role, c][0], results[role, c][1] * 1e3,
                                                                 results[role, c][2] * 1e3) for role in roles))
    print()
    for role in roles:
        base = results[role, levels[0]][0]
        print("%-8s req/s at %s clients / at %d: %s" % (
            role, ",".join(map(str, levels[1:])), levels[0],
            "  ".join("%.2fx" % (results[role, c][0] / base) for c in levels[1:])))
    if ref in roles:
        for role in roles:
            if role != ref:
                print("%-8s req/s / %s req/s per level: %s" % (
                    role, ref, "  ".join("%d: %.2fx" % (c, results[role, c][0] / results[ref, c][0])
                                         for c in levels)))
    print()
    print("%-28s " % "memory" + " ".join("%14s" % role for role in roles))
    for label, key in [("weights held (MiB)", "weights"), ("RSS after load (MiB)", "rss_loaded"),
                       ("RSS after serving (MiB)", "rss_served"), ("peak RSS (MiB)", "peak")]:
        print("%-28s " % label + " ".join("%14.1f" % (getattr(servers[r], key) / mib) for r in roles))
    print("%-28s " % "RSS above libraries (MiB)" + " ".join(
        "%14.1f" % ((servers[r].rss_served - floor.rss_loaded) / mib) for r in roles))
    print("(libraries alone, no model: %.1f MiB RSS)" % (floor.rss_loaded / mib))


if __name__ == "__main__":
    main()
