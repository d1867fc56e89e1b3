"""Adapter server throughput, latency and resident memory: one base with 4 LoRA adapters
(velkor_zuma.serve) against the same 4 fine-tunes served as separately loaded full models
(each adapter merged into its own copy of the base), all behind uvicorn on 127.0.0.1.

Servers compared:
  batched  build_app(engine): requests waiting together are decoded in one batch, mixed adapters
  batch-1  build_app(engine, max_batch=1): the scheduler, one request at a time
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

    python benchmarks/bench_serve.py [--requests 48] [--repeats 3] [--max-tokens 8]
                                     [--servers batched,batch-1,lock,full] [--threads N]
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

NAMES = ["a0", "a1", "a2", "a3"]
MESSAGES = [{"role": "user", "content": "Hello, how are you today?"}]
# A wider variant of the test suite's tiny Llama, so weights are visible next to the libraries.
MODEL = dict(hidden_size=256, intermediate_size=1024, num_hidden_layers=4, num_attention_heads=8,
             num_key_value_heads=4)


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
    args = ap.parse_args()
    if args.child:
        ROLES[args.child](Path(args.root), args.port)
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
