"""Speed of the few-bit delta methods against the same work written in numpy, in one process.

    nice -n 15 python benchmarks/bench_quant.py [--size N] [--repeats R]

Packs (compress) and unpacks (decompress) an N x N float32 delta as signs with a per-row scale
and as 4/8-bit codes with per-group scales (rank 0: the few-bit kernels alone), and prints the
median time of R runs, the input bandwidth (float32 bytes per second) and the speed-up over numpy.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from velkor_zuma import lowrank as L


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def np_sign_pack(x):
    return np.packbits(x >= 0, axis=1, bitorder="little"), np.abs(x).mean(axis=1)


def np_sign_unpack(bits, scales, n):
    s = np.unpackbits(bits, axis=1, count=n, bitorder="little").astype(np.float32) * 2 - 1
    return s * scales[:, None]


def np_quant(x, bits, group):
    qmax = 2 ** (bits - 1) - 1
    g = x.reshape(x.shape[0], -1, group)
    scale = np.abs(g).max(axis=2, keepdims=True) / qmax
    q = np.clip(np.round(g / np.where(scale > 0, scale, 1)), -qmax, qmax).astype(np.int8)
    if bits == 4:
        u = (q.reshape(x.shape[0], -1) + 8).astype(np.uint8)
        q = u[:, 0::2] | (u[:, 1::2] << 4)
    return q, scale


def np_dequant(q, scale, bits, shape, group):
    if bits == 4:
        q = np.stack([q & 0xF, q >> 4], axis=2).reshape(shape[0], -1).astype(np.int8) - 8
    return (q.reshape(shape[0], -1, group).astype(np.float32) * scale).reshape(shape)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    n, r = args.size, args.repeats
    x = (np.random.default_rng(0).standard_normal((n, n)) * 1e-3).astype(np.float32)
    gb = x.nbytes / 1e9
    print(f"{n} x {n} float32 ({x.nbytes / 2**20:.0f} MiB), median of {r}")
    rows = []
    rec = L.sign_compress(x)
    bits, scales = rec.cores
    rows.append(("sign pack", median_time(lambda: L.sign_compress(x), r), median_time(lambda: np_sign_pack(x), r)))
    rows.append(("sign unpack", median_time(lambda: L.decompress(rec), r),
                 median_time(lambda: np_sign_unpack(bits, scales, n), r)))
    for b in (4, 8):
        rec = L.svd_quant_compress(x, rank=0, bits=b, group_size=128)
        q, s = np_quant(x, b, 128)
        rows.append((f"{b}-bit pack", median_time(lambda: L.svd_quant_compress(x, rank=0, bits=b), r),
                     median_time(lambda: np_quant(x, b, 128), r)))
        rows.append((f"{b}-bit unpack", median_time(lambda: L.decompress(rec), r),
                     median_time(lambda: np_dequant(q, s, b, x.shape, 128), r)))
    print(f"{'':14s} {'ours':>9s} {'GB/s':>6s} {'numpy':>9s} {'speed-up':>9s}")
    for name, ours, ref in rows:
        print(f"{name:14s} {ours * 1e3:7.1f}ms {gb / ours:6.2f} {ref * 1e3:7.1f}ms {ref / ours:8.1f}x")
    print("(4-bit pack fits each group's scale over 7 clipping levels; numpy's model uses the largest "
          "magnitude only)")


if __name__ == "__main__":
    main()
