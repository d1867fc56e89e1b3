"""Roofline of the library's memory-bound steps: bytes each must move, time, GB/s, and that as a
share of this machine's copy bandwidth (np.copyto between two preallocated arrays, measured in
the same run), beside the plain numpy code of the same step.

Workload: a model-shaped float32 state dict (2 layers, hidden 1024, intermediate 2816, ~105 MB)
and one fine-tune of it (base + a rank-16 change on every matrix + small noise), stored with
each record type, matrices as the compressors would store them (random factors of those
shapes): tensor train (the default, bond rank 8), SVD of rank 8, Tucker (rank ratio 0.5: ranks
in the hundreds, so its product is compute-bound), uncompressed (NONE); vectors as NONE.

Steps (bytes = the least the step must read and write):
  reconstruct      ModelLibrary.reconstruct: read base, write result (+ the records' factors);
                   numpy: base[k] + <numpy decompress of the record>
  decompress       lowrank.decompress of every record: write result (+ factors);
                   numpy: the same contraction in numpy
  error (dicts)    reconstruction_error(reconstruction, fine-tune): read both;
                   numpy: float32 difference, squares, np.sum(..., dtype=float64)
  error (library)  ModelLibrary.reconstruction_error(id, fine-tune): read base and fine-tune;
                   numpy: reconstruct in numpy, then the numpy error
  delta pass       add_finetune with the compressor replaced by a stand-in that drops each
                   delta: read fine-tune and base, write the float32 delta;
                   numpy: (w - b).astype(float32)

Every case runs REPEATS times, alternating ours / numpy (and the two copies) so that all see
the same background load of a shared machine; the table shows medians and, as the noise, the
spread (max - min) / median of our times. "% copy bw" compares with np.copyto between two
preallocated arrays; "% fresh" with copying the base into new arrays, which pays what every
step that returns new arrays pays: the kernel zeroing each fresh page on first touch.
"""

import math
import os
import statistics
import sys
import time

import numpy as np

from velkor_zuma import deltavault as dv
from velkor_zuma import lowrank as lr
from workload import model_state_dict

REPEATS = int(os.environ.get("VZ_BENCH_REPEATS", "9"))
M = lr.CompressionMethod


def fine_tune(base, rng, rank=16):
    out = {}
    for name, w in base.items():
        noise = rng.standard_normal(w.shape, dtype=np.float32) * 1e-4
        if w.ndim == 2:
            noise += (rng.standard_normal((w.shape[0], rank), dtype=np.float32) * 0.01) @ (
                rng.standard_normal((rank, w.shape[1]), dtype=np.float32) * 0.01)
        out[name] = w + noise
    return out


# ---- plain numpy versions of the steps ------------------------------------------------------------


def np_decompress(rec):
    if rec.method is M.NONE:
        return rec.cores[0].copy()
    if rec.method is M.SVD:
        (s,), (u, vt) = rec.cores, rec.factors
        return ((u * s) @ vt).reshape(rec.shape)
    if rec.method is M.TENSOR_TRAIN:
        res = rec.cores[0]
        for g in rec.cores[1:]:
            res = (res.reshape(-1, res.shape[-1]) @ g.reshape(g.shape[0], -1)).reshape(res.shape[:-1] + g.shape[1:])
        return res.reshape(rec.shape)
    out = rec.cores[0]
    for k, u in enumerate(rec.factors):
        out = np.moveaxis(np.tensordot(u, out, axes=([1], [k])), 0, k)
    return out


def np_reconstruct(lib, mid):
    return {k: lib.base[k] + np_decompress(r) for k, r in lib.deltas[mid].tensors.items()}


def np_decompress_all(lib, mid):
    return [np_decompress(r) for r in lib.deltas[mid].tensors.values()]


def ours_decompress_all(lib, mid):
    return [lr.decompress(r) for r in lib.deltas[mid].tensors.values()]


def np_error(a, b):
    num = den = 0.0
    for k, x in a.items():
        x = x.astype(np.float32, copy=False)
        y = b[k].astype(np.float32, copy=False)
        d = x - y
        num += float(np.sum(d * d, dtype=np.float64))
        den += float(np.sum(y * y, dtype=np.float64))
    return math.sqrt(num) / (math.sqrt(den) + 1e-12)


def np_library_error(lib, mid, ft):
    return np_error(np_reconstruct(lib, mid), ft)


def consume(tensor, method=None, **kw):
    return None


def ours_delta(lib, ft):
    return lib.add_finetune("d", ft)


def np_delta(base, ft):
    return {k: consume((w - base[k]).astype(np.float32)) for k, w in ft.items()}


def copy_all(dst, src):
    np.copyto(dst, src)


def copy_fresh(arrays):
    return [a.copy() for a in arrays]


# ---- timing ----------------------------------------------------------------------------------------


def interleaved(cases):
    """All times of each (fn, args) case; repeats alternate between the cases."""
    times = [[] for _ in cases]
    for _ in range(REPEATS):
        for i, (fn, args) in enumerate(cases):
            t0 = time.perf_counter()
            result = fn(*args)
            times[i].append(time.perf_counter() - t0)
            del result
    return times


def main():
    rng = np.random.default_rng(0)
    base = model_state_dict(rng, layers=2, d=1024, ffn=2816, vocab=2000)
    ft = fine_tune(base, rng)
    nbytes = sum(v.nbytes for v in base.values())
    # Records of the shapes add_finetune stores, built from random factors (the benchmark is
    # about reading them back; compressing 100 MB four times would dominate the run).
    libs = {k: dv.ModelLibrary("base", base) for k in ("tt r8", "svd r8", "tucker", "none")}
    recs = {k: {} for k in libs}
    for name, w in base.items():
        delta = (ft[name] - w).astype(np.float32)
        if w.ndim < 2:
            for k in libs:
                recs[k][name] = lr.compress(delta, M.NONE)
            continue
        m, n = w.shape
        f = lambda *shape: rng.standard_normal(shape, dtype=np.float32) * 0.01
        recs["tt r8"][name] = lr.CompressedTensor(M.TENSOR_TRAIN, w.shape, "float32", (f(1, m, 8), f(8, n, 1)),
                                                  (), {"max_rank": 8, "ranks": (8,)})
        recs["svd r8"][name] = lr.CompressedTensor(M.SVD, w.shape, "float32", (np.abs(f(8)),), (f(m, 8), f(8, n)),
                                                   {"energy": 0.99, "rank": 8, "full_rank": min(m, n)})
        ranks = (math.ceil(m / 2), math.ceil(n / 2))
        recs["tucker"][name] = lr.CompressedTensor(M.TUCKER, w.shape, "float32", (f(*ranks),),
                                                   (f(m, ranks[0]), f(n, ranks[1])),
                                                   {"rank_ratio": 0.5, "ranks": ranks})
        recs["none"][name] = lr.compress(delta, M.NONE)
    for k, lib in libs.items():
        lib.deltas["ft"] = dv.CompressedDelta("ft", recs[k], "base")
    del recs
    factor_bytes = {k: lib.deltas["ft"].stored_bytes() for k, lib in libs.items()}

    # correctness of what is timed
    for k, lib in libs.items():
        ours, ref = lib.reconstruct("ft"), np_reconstruct(lib, "ft")
        for name in ref:
            np.testing.assert_allclose(ours[name], ref[name], rtol=1e-5, atol=1e-5 * np.abs(ref[name]).max())
        e1, e2 = lib.reconstruction_error("ft", ft), np_library_error(lib, "ft", ft)
        assert abs(e1 - e2) <= 1e-6 * e2, (k, e1, e2)
        del ours, ref

    src = np.ones(nbytes // 4, np.float32)
    dst = np.empty_like(src)
    copy_case = (copy_all, (dst, src))
    # Every step returns new arrays, whose pages the kernel zeroes on first touch: a copy of
    # the base into fresh arrays is the ceiling for those (the preallocated copy is not).
    fresh_case = (copy_fresh, (list(base.values()),))

    rows = []  # (step, bytes, our times, numpy times, copy times, fresh-copy times)

    def measure(step, moved, ours, ref):
        t_copy, t_fresh, t_ours, t_np = interleaved([copy_case, fresh_case, ours, ref])
        rows.append((step, moved, t_ours, t_np, t_copy, t_fresh))

    for k, lib in libs.items():
        measure(f"reconstruct, {k}", 2 * nbytes + factor_bytes[k],
                (lib.reconstruct, ("ft",)), (np_reconstruct, (lib, "ft")))
    for k, lib in libs.items():
        measure(f"decompress, {k}", nbytes + factor_bytes[k],
                (ours_decompress_all, (lib, "ft")), (np_decompress_all, (lib, "ft")))
    recon = libs["tt r8"].reconstruct("ft")
    measure("reconstruction_error(dicts)", 2 * nbytes, (dv.reconstruction_error, (recon, ft)), (np_error, (recon, ft)))
    del recon
    for k in ("tt r8", "svd r8"):
        lib = libs[k]
        measure(f"library reconstruction_error, {k}", 2 * nbytes + factor_bytes[k],
                (lib.reconstruction_error, ("ft", ft)), (np_library_error, (lib, "ft", ft)))
    real = dv.compress
    dv.compress = consume
    try:
        lib = dv.ModelLibrary("base", base)
        measure("add_finetune delta pass (f32 - f32 -> f32)", 3 * nbytes, (ours_delta, (lib, ft)), (np_delta, (base, ft)))
    finally:
        dv.compress = real

    copies = [t for r in rows for t in r[4]]
    copy_gbs = 2 * nbytes / statistics.median(copies) / 1e9
    fresh = [t for r in rows for t in r[5]]
    fresh_gbs = 2 * nbytes / statistics.median(fresh) / 1e9
    print(f"os.cpu_count() = {os.cpu_count()}; load average {os.getloadavg()[0]:.2f}; "
          f"{len(base)} float32 tensors, {nbytes / 1e6:.0f} MB; median of {REPEATS} alternating runs")
    print(f"copy bandwidth (np.copyto, {nbytes / 1e6:.0f} MB -> preallocated, read + write): "
          f"{copy_gbs:.1f} GB/s (median over all {len(copies)} copies; "
          f"min-max {2 * nbytes / max(copies) / 1e9:.1f}-{2 * nbytes / min(copies) / 1e9:.1f})")
    print(f"copy into fresh arrays (ndarray.copy of every base tensor): {fresh_gbs:.1f} GB/s (min-max "
          f"{2 * nbytes / max(fresh) / 1e9:.1f}-{2 * nbytes / min(fresh) / 1e9:.1f})")
    hdr = (f"| {'step':<46} | {'MB moved':>8} | {'numpy ms':>8} | {'ours ms':>8} | {'x numpy':>7} | "
           f"{'numpy GB/s':>10} | {'ours GB/s':>9} | {'% copy bw':>9} | {'% fresh':>7} | {'noise':>6} |")
    print(hdr)
    print("|" + "|".join("-" * (len(c)) for c in hdr.split("|")[1:-1]) + "|")
    for step, moved, t_ours, t_np, _, _ in rows:
        mo, mn = statistics.median(t_ours), statistics.median(t_np)
        noise = (max(t_ours) - min(t_ours)) / mo
        print(f"| {step:<46} | {moved / 1e6:>8.0f} | {mn * 1e3:>8.1f} | {mo * 1e3:>8.1f} | {mn / mo:>7.2f} | "
              f"{moved / mn / 1e9:>10.1f} | {moved / mo / 1e9:>9.1f} | {100 * moved / mo / 1e9 / copy_gbs:>8.0f}% | "
              f"{100 * moved / mo / 1e9 / fresh_gbs:>6.0f}% | {100 * noise:>5.0f}% |")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
