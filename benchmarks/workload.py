"""Model-shaped inputs and client loads shared by the benchmarks."""

import threading
import time

import numpy as np


def clients_rate(clients, worker):
    """Runs worker(k) for k in range(clients) on as many threads at once; each returns the tokens
    it got. Returns the tokens per second of wall time over all of them."""
    counts = [0] * clients

    def run(k):
        counts[k] = worker(k)

    t = time.perf_counter()
    threads = [threading.Thread(target=run, args=(k,)) for k in range(clients)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return sum(counts) / (time.perf_counter() - t)


def model_state_dict(rng, layers=4, d=1024, ffn=2816, vocab=8000):
    """A small transformer's float32 state dict: embeddings, attention and MLP matrices,
    q/k/v biases and norm weights (about 240 MB with the defaults)."""
    sd = {"model.embed_tokens.weight": rng.standard_normal((vocab, d), dtype=np.float32)}
    for i in range(layers):
        p = f"model.layers.{i}."
        for proj in ("q", "k", "v", "o"):
            sd[p + f"self_attn.{proj}_proj.weight"] = rng.standard_normal((d, d), dtype=np.float32) * 0.02
        for proj in ("q", "k", "v"):
            sd[p + f"self_attn.{proj}_proj.bias"] = rng.standard_normal(d, dtype=np.float32) * 0.02
        sd[p + "mlp.gate_proj.weight"] = rng.standard_normal((ffn, d), dtype=np.float32) * 0.02
        sd[p + "mlp.up_proj.weight"] = rng.standard_normal((ffn, d), dtype=np.float32) * 0.02
        sd[p + "mlp.down_proj.weight"] = rng.standard_normal((d, ffn), dtype=np.float32) * 0.02
        sd[p + "input_layernorm.weight"] = np.ones(d, dtype=np.float32)
        sd[p + "post_attention_layernorm.weight"] = np.ones(d, dtype=np.float32)
    sd["model.norm.weight"] = np.ones(d, dtype=np.float32)
    return sd
