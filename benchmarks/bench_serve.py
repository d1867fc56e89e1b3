"""Adapter server throughput, latency and resident memory: one base with 4 LoRA adapters
(velkor_zuma.serve) against the same 4 fine-tunes served as separately loaded full models
(each adapter merged into its own copy of the base), both behind uvicorn on 127.0.0.1.

Each server runs in its own process (so resident memory is its own); the clients run here.
For 1, 4 and 16 concurrent clients, requests go round-robin over the 4 model names; each level
is repeated and the medians of requests/s, p50 and p95 latency are printed, with the servers'
resident memory (VmRSS after loading and after serving, VmHWM at the end; safetensors
weights are memory-mapped, so pages count once they have been touched) and the bytes of weights they hold.

    python benchmarks/bench_serve.py [--requests 48] [--repeats 3] [--max-tokens 8]
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


def run_ours(root, port):
    import uvicorn

    from velkor_zuma.serve import ServeConfig, _Engine, build_app

    cfg = ServeConfig(str(root / "base"), {n: str(root / n) for n in NAMES}, "fp32")
    engine = _Engine(cfg).load()
    weights = sum(p.numel() * p.element_size() for p in engine.model.parameters())
    print("WEIGHTS", weights, flush=True)
    uvicorn.run(build_app(engine), host="127.0.0.1", port=port, log_level="warning")


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
    def __init__(self, role, root):
        import httpx

        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--child", role, "--root", str(root), "--port", str(self.port)],
            stdout=subprocess.PIPE, text=True)
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--root")
    ap.add_argument("--port", type=int)
    ap.add_argument("--requests", type=int, default=48)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--max-tokens", type=int, default=8)
    args = ap.parse_args()
    if args.child:
        runner = {"ours": run_ours, "baseline": run_baseline, "empty": run_empty}[args.child]
        runner(Path(args.root), args.port)
        return

    levels = [1, 4, 16]
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        build(root)
        results, servers = {}, {}
        for role in ["ours", "baseline"]:
            srv = Server(role, root)
            try:
                load_test(srv.url, 4, 8, args.max_tokens)  # warm-up
                for c in levels:
                    runs = [load_test(srv.url, c, args.requests, args.max_tokens)
                            for _ in range(args.repeats)]
                    results[role, c] = tuple(statistics.median(r[i] for r in runs) for i in range(3))
                    results[role, c, "replies"] = runs[0][3]
            finally:
                srv.close()
            servers[role] = srv
        floor = Server("empty", root)
        floor.close()

    same = all(results["ours", c, "replies"] == results["baseline", c, "replies"] for c in levels)
    mib = 2.0**20
    print("bench_serve: tiny Llama (hidden %d, %d layers) on CPU, 4 LoRA adapters, %d requests "
          "x %d repeats per level, max_tokens %d, os.cpu_count() = %s"
          % (MODEL["hidden_size"], MODEL["num_hidden_layers"], args.requests, args.repeats,
             args.max_tokens, os.cpu_count()))
    print("replies identical between the two servers: %s" % same)
    print()
    print("%-8s | %12s %12s %7s | %10s %10s %7s | %10s %10s %7s"
          % ("clients", "req/s ours", "req/s full", "ratio", "p50 ours", "p50 full", "ratio",
             "p95 ours", "p95 full", "ratio"))
    for c in levels:
        o, b = results["ours", c], results["baseline", c]
        print("%-8d | %12.1f %12.1f %7.2f | %8.1fms %8.1fms %7.2f | %8.1fms %8.1fms %7.2f"
              % (c, o[0], b[0], o[0] / b[0], o[1] * 1e3, b[1] * 1e3, b[1] / o[1],
                 o[2] * 1e3, b[2] * 1e3, b[2] / o[2]))
    print("(ratio: req/s ours / full; latency full / ours: above 1 means the adapter server is faster)")
    print()
    print("%-28s %14s %14s %7s" % ("memory", "ours", "4 full models", "ratio"))
    for label, key in [("weights held (MiB)", "weights"), ("RSS after load (MiB)", "rss_loaded"),
                       ("RSS after serving (MiB)", "rss_served"), ("peak RSS (MiB)", "peak")]:
        o, b = getattr(servers["ours"], key), getattr(servers["baseline"], key)
        print("%-28s %14.1f %14.1f %7.2f" % (label, o / mib, b / mib, b / o))
    o, b = servers["ours"].rss_served - floor.rss_loaded, servers["baseline"].rss_served - floor.rss_loaded
    print("%-28s %14.1f %14.1f %7.2f" % ("RSS above libraries (MiB)", o / mib, b / mib, b / o))
    print("(ratio: full models / ours; libraries alone, no model: %.1f MiB RSS)" % (floor.rss_loaded / mib))


if __name__ == "__main__":
    main()
