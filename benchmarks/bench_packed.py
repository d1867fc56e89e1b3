"""Times rows times a packed delta (lowrank._apply_packed, straight from the sign / 4-bit / 8-bit
record's bytes) against numpy's dense matmul with the reconstructed delta (x @ D.T, D float32
rebuilt once beforehand, as a server holding a dense copy per fine-tune would), at the batch
row counts of a serving step. Prints medians and the ratio dense / packed (> 1: packed is
faster), for the kernel the processor runs and for the portable one.

    PYTHONPATH=build/dev .venv/bin/python benchmarks/bench_packed.py [--quick]

On a shared, loaded machine, OPENBLAS_NUM_THREADS=1 VZ_NUM_THREADS=1 compares one core with one
core: a busy machine makes BLAS's spinning worker threads, and so the two-thread figures, erratic.
"""

import math
import os
import statistics
import sys
import time

import numpy as np

from velkor_zuma import lowrank as lr


def timed_pair(base, ours, budget):
    """Medians of base() and ours() timed in alternation over 5 to 500 pairs filling about
    `budget` seconds (a load spike on the shared machine then hits both alike)."""
    base()
    ours()
    t_base, t_ours = [], []
    start = time.perf_counter()
    while len(t_base) < 5 or (time.perf_counter() - start < budget and len(t_base) < 500):
        t0 = time.perf_counter()
        base()
        t1 = time.perf_counter()
        ours()
        t2 = time.perf_counter()
        t_base.append(t1 - t0)
        t_ours.append(t2 - t1)
    return statistics.median(t_base), statistics.median(t_ours)


def delta(shape, rng):
    """A fine-tune-like delta: a rank-8 part plus small dense noise."""
    m, n = shape
    low = rng.standard_normal((m, 8)).astype(np.float32) @ rng.standard_normal((8, n)).astype(np.float32)
    return (0.01 * low + 0.002 * rng.standard_normal(shape).astype(np.float32)).astype(np.float32)


def main():
    quick = "--quick" in sys.argv
    shapes = [(2048, 2048)] if quick else [(2048, 2048), (5632, 2048)]
    rows_list = [1, 4, 16]
    rng = np.random.default_rng(0)
    print(f"os.cpu_count() = {os.cpu_count()}   numpy {np.__version__}   AVX2 kernel: {lr._packed_uses_avx2()}")
    print(f"{'shape':<12}{'record':<12}{'kernel':<10}{'rows':>5}{'dense ms':>11}{'packed ms':>11}{'ratio':>8}")
    worst = math.inf
    for shape in shapes:
        d = delta(shape, rng)
        records = {
            "sign": lr.sign_compress(d),
            "sign+r8": lr.sign_compress(d, rank=8),
            "q4+r8": lr.svd_quant_compress(d, rank=8, bits=4),
            "q8+r8": lr.svd_quant_compress(d, rank=8, bits=8),
        }
        name = f"{shape[0]}x{shape[1]}"
        for label, rec in records.items():
            dense = np.ascontiguousarray(lr.decompress(rec), dtype=np.float32)
            for kernel in ("native", "portable"):
                if kernel == "portable":
                    os.environ["VZ_FUSED_BASELINE"] = "1"
                for rows in rows_list:
                    x = rng.standard_normal((rows, shape[1])).astype(np.float32)
                    t_dense, t_packed = timed_pair(lambda: x @ dense.T, lambda: lr._apply_packed(rec, x), 1.0)
                    ratio = t_dense / t_packed
                    if kernel == "native":
                        worst = min(worst, ratio)
                    print(f"{name:<12}{label:<12}{kernel:<10}{rows:>5}{t_dense * 1e3:>11.3f}"
                          f"{t_packed * 1e3:>11.3f}{ratio:>8.2f}")
                os.environ.pop("VZ_FUSED_BASELINE", None)
    print(f"lowest ratio (native kernel): {worst:.2f}")


if __name__ == "__main__":
    main()
