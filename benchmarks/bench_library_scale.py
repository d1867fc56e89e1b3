"""The library commands at scale: `add-base` and `add-finetune` on a Llama-shaped bf16 model.

Writes a random Llama-shaped model as bf16 safetensors shards (one per layer) and a fine-tune of
it (base + a rank-16 update on every matrix + small noise) into a temporary directory, then runs
`velkor-zuma add-base` and `velkor-zuma add-finetune` as subprocesses under `/usr/bin/time -v`
and reports wall time, peak resident memory, bytes written and the reconstruction error that
add-finetune prints. Every file is removed afterwards.

    python benchmarks/bench_library_scale.py                 # 2 layers, hidden 2048, inter 5632
    python benchmarks/bench_library_scale.py --shape 7b      # 32 layers, hidden 4096, inter 11008
    python benchmarks/bench_library_scale.py --layers 4 --hidden 1024 --intermediate 2816
    python benchmarks/bench_library_scale.py --shape 7b --method svd_mixed   # one budget, two passes

Goal on the default shape: add-finetune under 15 s and under 1.2 GB peak. CPU time (user + system)
is printed beside the wall time: on a shared machine it is the steadier figure.
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

SHAPES = {"small": dict(layers=2, hidden=2048, intermediate=5632, vocab=32000),
          "7b": dict(layers=32, hidden=4096, intermediate=11008, vocab=32000)}
CLI = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]


def to_bf16(a):
    """float32 -> bf16 bits (round to nearest even), as uint16."""
    u = np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)
    return ((u + 0x7FFF + ((u >> 16) & 1)) >> 16).astype(np.uint16)



def finetune_change(rng, shape):
    """What a fine-tune adds to one weight: a rank-16 update plus noise for matrices, small noise
    for vectors."""
    if len(shape) == 2:
        u = rng.standard_normal((shape[0], 16), dtype=np.float32)
        v = rng.standard_normal((16, shape[1]), dtype=np.float32)
        return (u @ v) * 0.002 + rng.standard_normal(shape, dtype=np.float32) * 1e-4
    return rng.standard_normal(shape, dtype=np.float32) * 1e-3

def write_shard(path, tensors):
    """A safetensors file of bf16 tensors (name -> uint16 bits), written directly."""
    header, offset = {"__metadata__": {"format": "pt"}}, 0
    for name, bits in tensors.items():
        header[name] = {"dtype": "BF16", "shape": list(bits.shape), "data_offsets": [offset, offset + bits.nbytes]}
        offset += bits.nbytes
    text = json.dumps(header).encode()
    text += b" " * (-(len(text) + 8) % 8)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)))
        f.write(text)
        for bits in tensors.values():
            f.write(bits.tobytes())


def layer_shapes(cfg, i):
    h, m = cfg["hidden"], cfg["intermediate"]
    p = f"model.layers.{i}."
    return {p + "self_attn.q_proj.weight": (h, h), p + "self_attn.k_proj.weight": (h, h),
            p + "self_attn.v_proj.weight": (h, h), p + "self_attn.o_proj.weight": (h, h),
            p + "mlp.gate_proj.weight": (m, h), p + "mlp.up_proj.weight": (m, h), p + "mlp.down_proj.weight": (h, m),
            p + "input_layernorm.weight": (h,), p + "post_attention_layernorm.weight": (h,)}


def write_models(cfg, base_dir, ft_dir, seed=0):
    """The base and one fine-tune, shard by shard (memory: one layer at a time)."""
    rng = np.random.default_rng(seed)
    groups = [{"model.embed_tokens.weight": (cfg["vocab"], cfg["hidden"])}]
    groups += [layer_shapes(cfg, i) for i in range(cfg["layers"])]
    groups[-1]["model.norm.weight"] = (cfg["hidden"],)
    n = len(groups)
    for k, shapes in enumerate(groups):
        base, ft = {}, {}
        for name, shape in shapes.items():
            w = rng.standard_normal(shape, dtype=np.float32) * 0.02
            change = finetune_change(rng, shape)
            base[name] = to_bf16(w)
            ft[name] = to_bf16(w + change)
        shard = f"model-{k + 1:05d}-of-{n:05d}.safetensors"
        write_shard(os.path.join(base_dir, shard), base)
        write_shard(os.path.join(ft_dir, shard), ft)


def dir_bytes(path):
    return sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(path) for f in fs)


def timed(args):
    res = subprocess.run(["/usr/bin/time", "-v"] + CLI + args, capture_output=True, text=True)
    if res.returncode != 0:
        raise SystemExit(f"{' '.join(args[:1])} failed:\n{res.stderr}")
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", res.stderr).group(1)) * 1024
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", res.stderr).group(1)
    secs = 0.0
    for part in wall.split(":"):
        secs = secs * 60 + float(part)
    cpu = sum(float(re.search(rf"{k} time \(seconds\): ([\d.]+)", res.stderr).group(1)) for k in ("User", "System"))
    return res.stdout, secs, rss, cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--shape", choices=sorted(SHAPES), default="small")
    ap.add_argument("--layers", type=int)
    ap.add_argument("--hidden", type=int)
    ap.add_argument("--intermediate", type=int)
    ap.add_argument("--vocab", type=int)
    ap.add_argument("--solver", default="auto", choices=["auto", "exact", "randomized"])
    ap.add_argument("--method", choices=["tt", "svd", "tucker", "none", "svd_mixed"],
                    help="compression of add-finetune (default: the library's, tt); none isolates the streaming cost")
    ap.add_argument("--bits", type=float, help="with --method svd_mixed: bits a weight (default 1.2)")
    ap.add_argument("--dir", help="work directory (default: a new temporary one, removed at the end)")
    a = ap.parse_args()
    cfg = dict(SHAPES[a.shape])
    for k in cfg:
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    work = a.dir or tempfile.mkdtemp(prefix="vz-scale-")
    try:
        base_dir, ft_dir, lib = (os.path.join(work, n) for n in ("base", "ft", "lib"))
        os.makedirs(base_dir, exist_ok=True)
        os.makedirs(ft_dir, exist_ok=True)
        t0 = time.perf_counter()
        write_models(cfg, base_dir, ft_dir)
        model_bytes = dir_bytes(base_dir)
        print(f"shape: {cfg}, {os.cpu_count()} cores; model {model_bytes / 2**20:.0f} MiB bf16 "
              f"(written in {time.perf_counter() - t0:.0f} s)")
        _, wall, rss, cpu = timed(["add-base", base_dir, "--library", lib])
        written = dir_bytes(lib)
        print(f"add-base     : wall {wall:7.1f} s   cpu {cpu:7.1f} s   peak RSS {rss / 2**30:5.2f} GiB   written {written / 2**20:8.1f} MiB")
        extra = ["--method", a.method] if a.method else []
        if a.bits is not None:
            extra += ["--bits", str(a.bits)]
        out, wall, rss, cpu = timed(["add-finetune", ft_dir, "--library", lib, "--id", "ft", "--solver", a.solver] + extra)
        added = dir_bytes(lib) - written
        err = re.search(r"reconstruction error ([0-9.e+-]+)", out).group(1)
        print(f"add-finetune : wall {wall:7.1f} s   cpu {cpu:7.1f} s   peak RSS {rss / 2**30:5.2f} GiB   written {added / 2**20:8.1f} MiB"
              f"   reconstruction error {err}   (solver {a.solver}, method {a.method or 'tt'})")
    finally:
        if not a.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
