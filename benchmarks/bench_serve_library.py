"""Serving a model library's fine-tunes from one resident base (`serve --library`), on the CPU.

Builds a mid-size Llama (random weights; hidden 512, intermediate 1408, 8 layers), stores N
fine-tunes as tensor trains of rank 8 and N as sign records, loads them all as models of one
engine and prints:

  memory      the serve report's lines: the base once plus each fine-tune's resident records,
              against 2N full models
  tokens/s    at 1 and 8 clients (16-token replies, no end token): over mixed fine-tunes, over one
              tt fine-tune, over one sign fine-tune, and the bare base from its own directory, each
              repeat measuring every case beside the others (the machine's load touches them alike)

    PYTHONPATH=build/dev python benchmarks/bench_serve_library.py [--finetunes N] [--repeats R]
"""

import argparse
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # tinymodel: local tiny causal LM builder
sys.path.insert(0, str(HERE))
from workload import clients_rate  # noqa: E402

MODEL = dict(hidden_size=512, intermediate_size=1408, num_hidden_layers=8, num_attention_heads=8,
             num_key_value_heads=4)
MESSAGES = [{"role": "user", "content": "Hello, how are you today?"}]
REPLY = 16
LINEAR = ("q_proj", "k_proj", "v_proj", "o_proj", "gate_proj", "up_proj", "down_proj")


def build(root, n):
    import safetensors.numpy as sn
    from tinymodel import build_tiny_model

    from velkor_zuma.deltavault import add_finetune_from, create_library

    base_dir = build_tiny_model(root / "base", seed=0, **MODEL)
    base = sn.load_file(str(base_dir / "model.safetensors"))
    lib = root / "library"
    create_library(lib, str(base_dir), base_dir)
    ids = []
    for i in range(2 * n):
        rng = np.random.default_rng(i + 1)
        sd = {k: (v + 0.02 * rng.standard_normal((v.shape[0], 8)) @ rng.standard_normal((8, v.shape[1]))
                  + 0.002 * rng.standard_normal(v.shape)).astype(np.float32)
              if v.ndim == 2 and any(p in k for p in LINEAR) else v for k, v in base.items()}
        model_id, options = (f"tt{i}", dict(method="tt", max_rank=8)) if i < n else \
            (f"sign{i - n}", dict(method="sign"))
        add_finetune_from(lib, model_id, sd, **options)
        ids.append(model_id)
    return base_dir, lib, ids


def throughput(batcher, clients, names):
    def worker(k):  # every name at least once, two requests a client at least
        got = 0
        for i in range(k, max(2 * clients, len(names)), clients):
            r = batcher.complete(names[i % len(names)], MESSAGES, max_tokens=REPLY, logit_bias={2: -100})
            got += len(r["tokens"])
        return got

    return clients_rate(clients, worker)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--finetunes", type=int, default=4, help="fine-tunes per method (default 4)")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    from velkor_zuma.serve import ServeConfig, _Engine, _library_report, build_app

    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        base_dir, lib, ids = build(Path(tmp), args.finetunes)
        cfg = ServeConfig("", {}, max_new_tokens=REPLY)
        cfg.library = str(lib)
        engine = _Engine(cfg).load()
        plain = _Engine(ServeConfig(str(base_dir), {}, "fp32", max_new_tokens=REPLY)).load()
        print("built and loaded in %.0f s" % (time.perf_counter() - t0))
    for line in _library_report(engine):
        print(line)
    served, alone = build_app(engine).state.batcher, build_app(plain).state.batcher
    tts, signs = [i for i in ids if i.startswith("tt")], [i for i in ids if i.startswith("sign")]
    cases = {"mixed fine-tunes": (served, ids), "one tt fine-tune": (served, tts[:1]),
             "one sign fine-tune": (served, signs[:1]), "bare base (own engine)": (alone, ["base"])}
    for batcher, names in cases.values():  # warm-up
        throughput(batcher, 1, names)
    for clients in (1, 8):
        got = {k: [] for k in cases}
        for _ in range(args.repeats):
            for k, (batcher, names) in cases.items():
                got[k].append(throughput(batcher, clients, names))
        for k, v in got.items():
            print("%2d clients  %-24s %7.1f tokens/s (median of %d)" % (clients, k, statistics.median(v), len(v)))
    served.shutdown()
    alone.shutdown()


if __name__ == "__main__":
    main()
