"""Times the lowrank compressors and decompressors against plain-numpy implementations of the same
algorithms (thin SVD by numpy.linalg.svd, HOSVD by moveaxis/reshape/matmul, TT-SVD), on the same
inputs in the same process. Prints medians and the ratio numpy / ours (> 1: ours is faster).

    PYTHONPATH=build/dev .venv/bin/python benchmarks/bench_lowrank.py [--quick]
"""

import math
import os
import statistics
import sys
import time

import numpy as np

from velkor_zuma import lowrank as lr


# ---- plain numpy versions ----------------------------------------------------------------------


def np_svd_compress(t, rank_ratio=0.5):
    m = t.reshape(t.shape[0], -1)
    ratio = max(rank_ratio, 0.01) if rank_ratio < 1.0 else 1.0
    r = max(1, math.ceil(min(m.shape) * ratio))
    u, s, vt = np.linalg.svd(m, full_matrices=False)
    return (u[:, :r].astype(t.dtype, copy=False), s[:r].astype(t.dtype, copy=False),
            vt[:r].astype(t.dtype, copy=False))


def np_svd_compress_energy(t, energy=0.99):
    m = np.ascontiguousarray(t.reshape(t.shape[0], -1), dtype=np.float32)
    u, s, vt = np.linalg.svd(m, full_matrices=False)
    sq = s.astype(np.float64) ** 2
    total = float(sq.sum())
    r = 1 if total <= 1e-30 else int(np.searchsorted(np.cumsum(sq) / total, energy)) + 1
    r = min(max(r, 1), len(s))
    return (u[:, :r].astype(t.dtype, copy=False), s[:r].astype(t.dtype, copy=False),
            vt[:r].astype(t.dtype, copy=False))


def np_svd_decompress(usv, shape, dtype):
    u, s, vt = usv
    return ((u * s) @ vt).reshape(shape).astype(dtype, copy=False)


def _unfold(t, k):
    return np.moveaxis(t, k, 0).reshape(t.shape[k], -1)


def _fold(mat, k, shape):
    full = [shape[k]] + [shape[i] for i in range(len(shape)) if i != k]
    return np.moveaxis(mat.reshape(full), 0, k)


def _mode_dot(t, mat, k):
    shape = list(t.shape)
    shape[k] = mat.shape[0]
    return _fold(mat @ _unfold(t, k), k, tuple(shape))


def np_tucker_compress(t, rank_ratio=0.5):
    ratio = max(rank_ratio, 0.01) if rank_ratio < 1.0 else 1.0
    factors = []
    for k, n in enumerate(t.shape):
        u = np.linalg.svd(_unfold(t, k), full_matrices=False)[0]
        r = min(max(1, math.ceil(n * ratio)), u.shape[1])
        factors.append(u[:, :r].astype(t.dtype, copy=False))
    core = t.copy()
    for k, u in enumerate(factors):
        core = _mode_dot(core, u.T, k)
    return core, factors


def np_tucker_decompress(cf, dtype):
    out, factors = cf
    for k, u in enumerate(factors):
        out = _mode_dot(out, u, k)
    return out.astype(dtype, copy=False)


def np_tt_compress(t, max_rank=8):
    shape = t.shape
    c = t.astype(np.float64, copy=False).reshape(shape[0], -1)
    r_prev, cores = 1, []
    for k in range(len(shape) - 1):
        c = c.reshape(r_prev * shape[k], -1)
        u, s, vt = np.linalg.svd(c, full_matrices=False)
        r = min(max_rank, u.shape[1])
        cores.append(u[:, :r].reshape(r_prev, shape[k], r).astype(t.dtype, copy=False))
        c = np.diag(s[:r]) @ vt[:r]
        r_prev = r
    cores.append(c.reshape(r_prev, shape[-1], 1).astype(t.dtype, copy=False))
    return cores


def np_tt_decompress(cores, shape, dtype):
    res = cores[0]
    for g in cores[1:]:
        merged = res.reshape(-1, res.shape[-1]) @ g.reshape(g.shape[0], -1)
        res = merged.reshape(res.shape[:-1] + g.shape[1:])
    return res.reshape(shape).astype(dtype, copy=False)


# ---- timing ------------------------------------------------------------------------------------


def timed_pair(base, ours, budget):
    """Medians of base() and ours() timed in alternation (a load spike on the shared machine then
    hits both sides alike), over 5 to 200 pairs filling about `budget` seconds."""
    base()  # warm-up
    ours()
    t_base, t_ours = [], []
    start = time.perf_counter()
    while len(t_base) < 5 or (time.perf_counter() - start < budget and len(t_base) < 200):
        t0 = time.perf_counter()
        base()
        t1 = time.perf_counter()
        ours()
        t2 = time.perf_counter()
        t_base.append(t1 - t0)
        t_ours.append(t2 - t1)
    return statistics.median(t_base), statistics.median(t_ours)


def cases(quick):
    shapes = [(64, 64), (16, 16, 16, 16), (1024, 64, 3, 3), (1024, 1024)]
    if not quick:
        shapes.append((4096, 1024))
    rng = np.random.default_rng(0)
    for shape in shapes:
        t = rng.standard_normal(shape).astype(np.float32)
        name = "x".join(map(str, shape))
        dt = t.dtype
        svd_rec, svd_np = lr.svd_compress(t), np_svd_compress(t)
        en_rec, en_np = lr.svd_compress_energy(t), np_svd_compress_energy(t)
        tk_rec, tk_np = lr.tucker_compress(t), np_tucker_compress(t)
        tt_rec, tt_np = lr.tt_compress(t), np_tt_compress(t)
        yield name, "svd_compress", lambda: np_svd_compress(t), lambda: lr.svd_compress(t)
        yield name, "svd_decompress", lambda: np_svd_decompress(svd_np, t.shape, dt), lambda: lr.svd_decompress(svd_rec)
        yield name, "svd_compress_energy", lambda: np_svd_compress_energy(t), lambda: lr.svd_compress_energy(t)
        yield name, "svd_decompress(energy)", lambda: np_svd_decompress(en_np, t.shape, dt), lambda: lr.svd_decompress(en_rec)
        yield name, "tucker_compress", lambda: np_tucker_compress(t), lambda: lr.tucker_compress(t)
        yield name, "tucker_decompress", lambda: np_tucker_decompress(tk_np, dt), lambda: lr.tucker_decompress(tk_rec)
        yield name, "tt_compress", lambda: np_tt_compress(t), lambda: lr.tt_compress(t)
        yield name, "tt_decompress", lambda: np_tt_decompress(tt_np, t.shape, dt), lambda: lr.tt_decompress(tt_rec)


def main():
    quick = "--quick" in sys.argv
    print(f"os.cpu_count() = {os.cpu_count()}   numpy {np.__version__}   (float32 inputs; medians)")
    print(f"{'shape':<16}{'function':<25}{'numpy ms':>12}{'ours ms':>12}{'ratio':>9}")
    worst = math.inf
    for name, fn_name, base, ours in cases(quick):
        size = np.prod([int(x) for x in name.split("x")])
        budget = 0.5 if size <= 1 << 16 else 3.0
        t_np, t_ours = timed_pair(base, ours, budget)
        ratio = t_np / t_ours
        worst = min(worst, ratio)
        print(f"{name:<16}{fn_name:<25}{t_np * 1e3:>12.3f}{t_ours * 1e3:>12.3f}{ratio:>9.2f}")
    print(f"lowest ratio: {worst:.2f}")


if __name__ == "__main__":
    main()
