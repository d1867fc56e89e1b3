"""Model library speed: the element-wise passes of ModelLibrary against plain numpy.

Workload: a small transformer's float32 state dict (> 200 MB: embeddings, attention and MLP
matrices, norms and biases) and three fine-tunes of it (base + a rank-16 change on every
matrix + small noise on everything). Same inputs, same process, medians of several repeats
that alternate between ours and the baseline.

Cases (baselines written here, as the plain numpy code of the same steps):
  delta pass        add_finetune with the compressors replaced by a stand-in, so that only the
                    per-tensor delta is timed; baseline: (w - b).astype(np.float32) per tensor
                    handed to the same stand-in (also np.subtract(w, b, dtype=np.float32),
                    numpy's best single call). Two stand-ins: one that consumes each delta and
                    drops it (as the real compressors do), one that keeps every delta.
  reconstruct       reconstruct of fine-tunes stored as NONE records (decompress is a copy);
                    baseline: b + decompress(record) per tensor
  error             reconstruction_error(fine-tune, base); baseline: the float32 difference,
                    its square and np.sum(..., dtype=np.float64), per tensor
"""

import math
import os
import statistics
import time

import numpy as np

from velkor_zuma import deltavault as dv
from workload import model_state_dict

REPEATS = 5


def fine_tune(base, rng, rank=16):
    """Base + a rank-16 change on every matrix + small noise on every tensor."""
    out = {}
    for name, w in base.items():
        noise = rng.standard_normal(w.shape, dtype=np.float32) * 1e-4
        if w.ndim == 2:
            a = rng.standard_normal((w.shape[0], rank), dtype=np.float32) * 0.01
            b = rng.standard_normal((rank, w.shape[1]), dtype=np.float32) * 0.01
            noise += a @ b
        out[name] = w + noise
    return out


# ---- baselines -----------------------------------------------------------------------------------


def consume(tensor, method=None, **kw):
    """Stand-in compressor that reads nothing and keeps nothing (the delta is dropped)."""
    return None


def keep(tensor, method=None, **kw):
    """Stand-in compressor that keeps the delta itself."""
    return tensor


def numpy_delta(base, ft, compressor):
    return {k: compressor((w - base[k]).astype(np.float32)) for k, w in ft.items()}


def numpy_delta_single_call(base, ft, compressor):
    return {k: compressor(np.subtract(w, base[k], dtype=np.float32)) for k, w in ft.items()}


def numpy_reconstruct(lib, model_id):
    return {k: lib.base[k] + dv.decompress(r) for k, r in lib.deltas[model_id].tensors.items()}


def numpy_error(a, b):
    num = den = 0.0
    for k, x in a.items():
        x = x.astype(np.float32, copy=False)
        y = b[k].astype(np.float32, copy=False)
        d = x - y
        num += float(np.sum(d * d, dtype=np.float64))
        den += float(np.sum(y * y, dtype=np.float64))
    return math.sqrt(num) / (math.sqrt(den) + 1e-12)


# ---- ours ------------------------------------------------------------------------------------------


def ours_delta(lib, fts):
    return [lib.add_finetune(k, ft) for k, ft in fts.items()]


def numpy_delta_all(base, fts, fn, compressor):
    return [fn(base, ft, compressor) for ft in fts.values()]


def interleaved(cases):
    """Median seconds of each (fn, args) case; repeats alternate between the cases so that every
    case sees the same background load of a shared machine. Results are dropped at once (the
    arrays are large); correctness is checked separately."""
    times = [[] for _ in cases]
    for _ in range(REPEATS):
        for i, (fn, args) in enumerate(cases):
            t0 = time.perf_counter()
            result = fn(*args)
            times[i].append(time.perf_counter() - t0)
            del result
    return [statistics.median(t) for t in times]


def main():
    rng = np.random.default_rng(0)
    base = model_state_dict(rng, ffn=3584)
    fts = {f"tune-{i}": fine_tune(base, rng) for i in range(3)}
    base_mb = sum(v.nbytes for v in base.values()) / 1e6
    rows = []

    # delta pass of add_finetune (compressors replaced by a stand-in)
    real_compress = dv.compress
    try:
        for compressor, label in ((consume, "each delta consumed"), (keep, "every delta kept")):
            dv.compress = compressor
            lib = dv.ModelLibrary("base", base)
            t_ours, t_np, t_np1 = interleaved([
                (ours_delta, (lib, fts)),
                (numpy_delta_all, (base, fts, numpy_delta, compressor)),
                (numpy_delta_all, (base, fts, numpy_delta_single_call, compressor)),
            ])
            rows.append((f"add_finetune delta pass, 3 x {base_mb:.0f} MB, {label}: numpy subtract+astype / ours",
                         t_np, t_ours))
            rows.append(("  same, numpy np.subtract(dtype=float32) / ours", t_np1, t_ours))
            del lib
        dv.compress = keep
        rec = dv.ModelLibrary("base", base).add_finetune("check", fts["tune-0"])
    finally:
        dv.compress = real_compress
    expected = numpy_delta(base, fts["tune-0"], keep)
    assert all(np.array_equal(rec.tensors[k], expected[k]) for k in expected), "deltas differ"
    del rec, expected

    # reconstruct (NONE records: decompress is a copy, then base + delta)
    lib = dv.ModelLibrary("base", base, method="none")
    for k, ft in fts.items():
        lib.add_finetune(k, ft)
    t_ours, t_np = interleaved([
        (lib.reconstruct, ("tune-0",)),
        (numpy_reconstruct, (lib, "tune-0")),
    ])
    ours, ref = lib.reconstruct("tune-0"), numpy_reconstruct(lib, "tune-0")
    assert all(np.array_equal(ours[k], ref[k]) for k in ref), "reconstructions differ"
    del ours, ref
    rows.append((f"reconstruct, {base_mb:.0f} MB (NONE records): numpy / ours", t_np, t_ours))
    del lib

    # reconstruction_error over one fine-tune against the base
    a = fts["tune-0"]
    t_ours, t_np = interleaved([
        (dv.reconstruction_error, (a, base)),
        (numpy_error, (a, base)),
    ])
    ours, ref = dv.reconstruction_error(a, base), numpy_error(a, base)
    assert abs(ours - ref) <= 1e-9 * ref, (ours, ref)
    rows.append((f"reconstruction_error, {base_mb:.0f} MB: numpy / ours", t_np, t_ours))

    print(f"os.cpu_count() = {os.cpu_count()}; base {base_mb:.0f} MB float32, {len(base)} tensors; "
          f"3 fine-tunes; median of {REPEATS}; load average {os.getloadavg()[0]:.2f}")
    print(f"{'case':<86} {'baseline s':>10} {'ours s':>8} {'ratio':>6}")
    for name, tb, to in rows:
        print(f"{name:<86} {tb:>10.3f} {to:>8.3f} {tb / to:>6.2f}")


if __name__ == "__main__":
    main()
