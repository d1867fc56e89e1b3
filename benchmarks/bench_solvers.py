"""Times the truncated solvers ("exact", "randomized", "auto") of the lowrank compressors.

Sections, all in one process on the same inputs:
  crossover   svd_compress randomized vs exact with the Krylov basis 4 * (rank + 10) at growing
              fractions of the smaller side: where the randomized path stops paying (the "auto" rule)
  deltas      rank-8 deltas (a low-rank update plus noise) of 4096 x 4096 and 11008 x 4096:
              tt_compress exact vs auto, times and relative Frobenius errors
  library     ModelLibrary.add_finetune of a 2-layer model-shaped state dict (hidden 1024,
              intermediate 2816) with solver "auto", against the plain numpy exact algorithm
              (numpy.linalg.svd TT-SVD per tensor), times and reconstruction errors

Both sides use the same number of BLAS threads (--threads, default 1: the figures of a shared
machine are steadier single-threaded). Exact decompositions of the large matrices take minutes, so
they are timed once; the fast side is timed --repeats times (median).

    PYTHONPATH=build/dev nice .venv/bin/python benchmarks/bench_solvers.py [--quick] [--threads N]
        [--repeats N] [--only crossover,deltas,library]
"""

import argparse
import os
import statistics
import sys
import time


def parse():
    p = argparse.ArgumentParser()
    p.add_argument("--quick", action="store_true", help="smaller crossover sizes; skip 11008 x 4096")
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--only", default="crossover,deltas,library")
    return p.parse_args()


ARGS = parse()
# Before numpy loads its BLAS: the same thread count for numpy's OpenBLAS and ours.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "VZ_NUM_THREADS"):
    os.environ[var] = str(ARGS.threads)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lowrank import np_tt_compress, np_tt_decompress  # noqa: E402
from workload import model_state_dict  # noqa: E402

from velkor_zuma import deltavault as dv  # noqa: E402
from velkor_zuma import lowrank as lr  # noqa: E402


def once(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def median_time(fn, repeats):
    times, out = [], None
    for _ in range(repeats):
        t, out = once(fn)
        times.append(t)
    return statistics.median(times), out


def rel_err(x, approx):
    return float(np.linalg.norm((x - approx).ravel()) / np.linalg.norm(x.ravel()))


def lowrank_delta(rng, m, n, rank=8, noise=0.1):
    """A rank-`rank` update plus Gaussian noise whose norm is `noise` times the update's."""
    u = rng.standard_normal((m, rank), dtype=np.float32)
    v = rng.standard_normal((rank, n), dtype=np.float32)
    upd = u @ v
    e = rng.standard_normal((m, n), dtype=np.float32)
    e *= noise * np.linalg.norm(upd) / np.linalg.norm(e)
    return (upd + e) * np.float32(1e-3)


def crossover(quick):
    print("\n== crossover: svd_compress, randomized vs exact (time ratio exact / randomized) ==")
    rng = np.random.default_rng(0)
    sizes = [(256, 256), (512, 512)] + ([] if quick else [(1024, 1024), (2816, 1024)])
    fractions = (1 / 8, 1 / 4, 3 / 8, 1 / 2, 5 / 8, 3 / 4)
    print(f"{'dtype':<9}{'shape':<12}{'exact ms':>10}" + "".join(f"{f'basis {f:.3f}':>14}" for f in fractions))
    for dtype in (np.float32, np.float64):
        for m, n in sizes:
            a = rng.standard_normal((m, n)).astype(dtype)
            side = min(m, n)
            t_exact, _ = median_time(lambda: lr.svd_compress(a, 1 / side, solver="exact"), ARGS.repeats)
            cells = []
            for f in fractions:
                r = int(f * side) // 4 - 10
                if r < 1:
                    cells.append(f"{'-':>14}")
                    continue
                t, rec = median_time(lambda: lr.svd_compress(a, r / side, solver="randomized"), ARGS.repeats)
                assert rec.metadata.get("solver") == "randomized"
                cells.append(f"{t_exact / t:>13.2f}x")
            print(f"{np.dtype(dtype).name:<9}{f'{m}x{n}':<12}{t_exact * 1e3:>10.0f}" + "".join(cells), flush=True)


def deltas(quick):
    print("\n== rank-8 deltas (update + 10 % noise): tt_compress(max_rank=8), exact vs auto ==")
    print(f"{'shape':<14}{'exact s':>10}{'auto s':>10}{'speed-up':>10}{'err exact':>12}{'err auto':>12}{'err ratio':>11}")
    rng = np.random.default_rng(1)
    shapes = [(4096, 4096)] + ([] if quick else [(11008, 4096)])
    for m, n in shapes:
        x = lowrank_delta(rng, m, n)
        t_auto, rec_auto = median_time(lambda: lr.tt_compress(x, 8, solver="auto"), ARGS.repeats)
        assert rec_auto.metadata.get("solver") == "randomized"
        t_exact, rec_exact = once(lambda: lr.tt_compress(x, 8))
        e_exact, e_auto = rel_err(x, lr.decompress(rec_exact)), rel_err(x, lr.decompress(rec_auto))
        print(f"{f'{m}x{n}':<14}{t_exact:>10.2f}{t_auto:>10.3f}{t_exact / t_auto:>9.0f}x"
              f"{e_exact:>12.6f}{e_auto:>12.6f}{e_auto / e_exact:>11.6f}", flush=True)
        del x, rec_auto, rec_exact


def library():
    print("\n== add_finetune, 2 layers (hidden 1024, intermediate 2816, vocab 8000), TT max_rank 8 ==")
    rng = np.random.default_rng(2)
    base = model_state_dict(rng, layers=2)
    ft = {}
    for k, v in base.items():
        if v.ndim == 2:
            ft[k] = v + lowrank_delta(rng, *v.shape) * np.float32(10.0)
        else:
            ft[k] = v + np.float32(1e-3) * rng.standard_normal(v.shape, dtype=np.float32)
    n2d = sum(v.ndim == 2 for v in base.values())
    print(f"{len(base)} tensors ({n2d} matrices), {sum(v.nbytes for v in base.values()) / 1e6:.0f} MB float32")

    def numpy_exact():
        out = {}
        for k, w in ft.items():
            d = (w - base[k]).astype(np.float32)
            if d.ndim < 2:
                out[k] = base[k] + d.copy()
            else:
                out[k] = base[k] + np_tt_decompress(np_tt_compress(d, 8), d.shape, d.dtype)
        return out

    def ours():
        lib = dv.ModelLibrary("base", base, solver="auto")
        lib.add_finetune("ft", ft)
        return lib

    t_ours, lib = median_time(ours, ARGS.repeats)
    t_np, rebuilt_np = once(numpy_exact)
    err_np = dv.reconstruction_error(rebuilt_np, ft)
    err_ours = dv.reconstruction_error(lib.reconstruct("ft"), ft)
    # the error of the delta itself (the reconstruction error is diluted by the base)
    num_np = num_ours = den = 0.0
    ours_sd = lib.reconstruct("ft")
    for k in ft:
        d = ft[k].astype(np.float64) - base[k]
        num_np += float(np.sum((rebuilt_np[k] - ft[k]).astype(np.float64) ** 2))
        num_ours += float(np.sum((ours_sd[k] - ft[k]).astype(np.float64) ** 2))
        den += float(np.sum(d * d))
    d_np, d_ours = (num_np / den) ** 0.5, (num_ours / den) ** 0.5
    randomized = sum(rec.metadata.get("solver") == "randomized" for rec in lib.deltas["ft"].tensors.values())
    print(f"{'':<26}{'seconds':>10}{'model err':>12}{'delta err':>12}")
    print(f"{'numpy exact TT-SVD':<26}{t_np:>10.2f}{err_np:>12.3e}{d_np:>12.6f}")
    print(f"{'add_finetune auto':<26}{t_ours:>10.3f}{err_ours:>12.3e}{d_ours:>12.6f}")
    print(f"speed-up {t_np / t_ours:.1f}x; delta error ratio auto / exact {d_ours / d_np:.6f}; "
          f"{randomized} of {n2d} matrices by the randomized solver", flush=True)


def main():
    only = set(ARGS.only.split(","))
    print(f"os.cpu_count() = {os.cpu_count()}   BLAS threads (both sides) = {ARGS.threads}   "
          f"numpy {np.__version__}   repeats {ARGS.repeats} (exact large SVDs: once)")
    if "crossover" in only:
        crossover(ARGS.quick)
    if "deltas" in only:
        deltas(ARGS.quick)
    if "library" in only:
        library()


if __name__ == "__main__":
    main()
