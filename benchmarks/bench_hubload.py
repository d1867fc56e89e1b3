"""Snapshot loading speed: hubload's loaders against a plain-Python loop over the same libraries.

Workload: two 4-shard snapshots of the same transformer-shaped state dict (> 400 MB as float32):
one stored as float32 (read by safetensors' numpy backend) and one stored as bfloat16 (numpy
cannot hold it, so the robust loader rereads each shard through torch). Both are read from the
page cache (one warm-up read first); repeats alternate between ours and the baseline; medians.

Baseline, written here: the loop a Python user would write with safetensors (and torch for the
bfloat16 shards), shard by shard, tensor by tensor, cast with astype(copy=False).
MB/s counts the bytes on disk (the shards as shipped) per second of loading.
"""

import gc
import os
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

from velkor_zuma import hubload

REPEATS = 7
SHARDS = 4


def shard_tensors(rng, shard, d=1024, mats=26):
    """About 104 MiB of float32 per shard: square projections plus norm vectors."""
    out = {}
    for i in range(mats):
        layer = shard * mats + i
        out[f"model.layers.{layer}.proj.weight"] = rng.standard_normal((d, d), dtype=np.float32) * 0.02
        out[f"model.layers.{layer}.norm.weight"] = np.ones(d, dtype=np.float32)
    return out


def write_snapshots(root):
    import torch
    from safetensors.numpy import save_file as save_np
    from safetensors.torch import save_file as save_pt

    rng = np.random.default_rng(0)
    f32, b16 = root / "f32", root / "bf16"
    f32.mkdir()
    b16.mkdir()
    for s in range(SHARDS):
        name = f"model-{s + 1:05d}-of-{SHARDS:05d}.safetensors"
        tensors = shard_tensors(rng, s)
        save_np(tensors, str(f32 / name))
        save_pt({k: torch.from_numpy(v).to(torch.bfloat16) for k, v in tensors.items()}, str(b16 / name))
        del tensors
    return f32, b16


def baseline_numpy(model_dir, dtype=np.float32):
    from safetensors import safe_open

    out = {}
    for shard in sorted(Path(model_dir).glob("*.safetensors")):
        with safe_open(shard, framework="np") as f:
            for name in f.keys():
                out[name] = f.get_tensor(name).astype(dtype, copy=False)
    return out


def baseline_safe(model_dir, dtype=np.float32):
    import torch
    from safetensors import safe_open
    from safetensors.torch import load_file

    out = {}
    for shard in sorted(Path(model_dir).glob("*.safetensors")):
        try:
            with safe_open(shard, framework="np") as f:
                for name in f.keys():
                    out[name] = f.get_tensor(name).astype(dtype, copy=False)
        except Exception:
            loaded = load_file(str(shard))
            out.update({k: t.to(torch.float32).numpy().astype(dtype, copy=False) for k, t in loaded.items()})
    return out


def timed(fn, model_dir):
    gc.collect()
    t0 = time.perf_counter()
    sd = fn(model_dir)
    dt = time.perf_counter() - t0
    n = sum(v.nbytes for v in sd.values())
    del sd
    return dt, n


def main():
    with tempfile.TemporaryDirectory(prefix="bench_hubload_") as tmp:
        f32, b16 = write_snapshots(Path(tmp))
        cases = [
            ("float32 snapshot, load_state_dict_numpy", f32, hubload.load_state_dict_numpy, baseline_numpy),
            ("float32 snapshot, load_state_dict_numpy_safe", f32, hubload.load_state_dict_numpy_safe, baseline_safe),
            ("bfloat16 snapshot, load_state_dict_numpy_safe", b16, hubload.load_state_dict_numpy_safe, baseline_safe),
        ]
        print(f"os.cpu_count() = {os.cpu_count()}; {SHARDS} shards per snapshot; medians of {REPEATS} repeats")
        print(f"{'case':48s} {'disk MB':>8s} {'out MB':>7s} {'ours s':>8s} {'base s':>8s} "
              f"{'ours MB/s':>10s} {'base MB/s':>10s} {'ratio':>6s}")
        for label, d, ours, base in cases:
            disk = hubload.model_disk_bytes(d)
            timed(ours, d)  # warm the page cache and the libraries
            timed(base, d)
            t_ours, t_base = [], []
            for r in range(REPEATS):
                order = [(ours, t_ours), (base, t_base)]
                for fn, acc in (order if r % 2 == 0 else order[::-1]):
                    dt, out_bytes = timed(fn, d)
                    acc.append(dt)
            mo, mb = statistics.median(t_ours), statistics.median(t_base)
            print(f"{label:48s} {disk / 1e6:8.1f} {out_bytes / 1e6:7.1f} {mo:8.3f} {mb:8.3f} "
                  f"{disk / 1e6 / mo:10.0f} {disk / 1e6 / mb:10.0f} {mb / mo:6.2f}")


if __name__ == "__main__":
    main()
