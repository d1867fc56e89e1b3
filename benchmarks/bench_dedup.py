"""Block deduplication speed: DedupStore against a single-threaded hashlib loop.

Workload: a small transformer's float32 state dict (> 200 MB: embeddings, attention and MLP
matrices, norms and biases) stored for several tenants that hold the base unchanged, and three
fine-tunes (base + a rank-16 change + small noise on the attention projections). Every store is
built from scratch per repeat; medians of several repeats that alternate between ours and the
baselines; same inputs, same process.

Baselines, written here:
  hashlib loop     one thread: memoryview of each C-contiguous tensor, hashlib.sha256 per block
  tobytes loop     the same, but over arr.tobytes() copies (the plain way to get raw bytes)
"""

import hashlib
import os
import statistics
import time

import numpy as np

from velkor_zuma.dedup import DedupStore
from workload import model_state_dict

BLOCK = 1 << 20
REPEATS = 5


def fine_tune(base, rng, rank=16):
    """Base + a rank-16 change + small noise on the attention q and v projections."""
    out = dict(base)
    for name, w in base.items():
        if name.endswith(("q_proj.weight", "v_proj.weight")):
            a = rng.standard_normal((w.shape[0], rank), dtype=np.float32) * 0.01
            b = rng.standard_normal((rank, w.shape[1]), dtype=np.float32) * 0.01
            noise = rng.standard_normal(w.shape, dtype=np.float32) * 1e-4
            out[name] = w + a @ b + noise
    return out


def baseline_store(tenants, raw_bytes):
    """The store's algorithm in plain Python, one thread."""
    unique, refs_by_tenant, tenant_bytes = {}, {}, {}
    for tenant, sd in tenants:
        for name in sorted(sd):
            arr = np.ascontiguousarray(sd[name])
            data = memoryview(arr.tobytes() if raw_bytes else arr.reshape(-1).view(np.uint8))
            refs = refs_by_tenant.setdefault(tenant, [])
            for i in range(0, len(data), BLOCK):
                blk = data[i : i + BLOCK]
                h = hashlib.sha256(blk).hexdigest()
                if h not in unique:
                    unique[h] = len(blk)
                refs.append(h)
                tenant_bytes[tenant] = tenant_bytes.get(tenant, 0) + len(blk)
    return unique, refs_by_tenant, tenant_bytes


def ours_store(tenants):
    store = DedupStore(block_size=BLOCK)
    for tenant, sd in tenants:
        store.add_state_dict(tenant, sd)
    return store.unique, store.tenants, store._tenant_bytes


def bytes_baseline(data):
    view = memoryview(data)
    return [hashlib.sha256(view[i : i + BLOCK]).hexdigest() for i in range(0, len(view), BLOCK)]


def bytes_ours(data):
    store = DedupStore(block_size=BLOCK)
    store.add_tensor_bytes("t", data)
    return store.tenants["t"]


def interleaved(cases):
    """Median seconds of each (threads, fn, args) case; repeats alternate between the cases so
    that every case sees the same background load of a shared machine."""
    times = [[] for _ in cases]
    cpu = [[] for _ in cases]
    results = [None] * len(cases)
    old = os.environ.get("VZ_NUM_THREADS")
    try:
        for _ in range(REPEATS):
            for i, (threads, fn, args) in enumerate(cases):
                if threads:
                    os.environ["VZ_NUM_THREADS"] = str(threads)
                elif old is None:
                    os.environ.pop("VZ_NUM_THREADS", None)
                else:
                    os.environ["VZ_NUM_THREADS"] = old
                c0, t0 = time.process_time(), time.perf_counter()
                results[i] = fn(*args)
                times[i].append(time.perf_counter() - t0)
                cpu[i].append(time.process_time() - c0)
    finally:
        if old is None:
            os.environ.pop("VZ_NUM_THREADS", None)
        else:
            os.environ["VZ_NUM_THREADS"] = old
    return [(statistics.median(t), statistics.median(c)) for t, c in zip(times, cpu)], results


def main():
    rng = np.random.default_rng(0)
    base = model_state_dict(rng)
    tenants = [(f"base-{i}", base) for i in range(3)]
    tenants += [(f"tune-{i}", fine_tune(base, rng)) for i in range(3)]
    base_mb = sum(v.nbytes for v in base.values()) / 1e6
    total_mb = sum(sum(v.nbytes for v in sd.values()) for _, sd in tenants) / 1e6
    blob = rng.integers(0, 256, 256 << 20, dtype=np.uint8).tobytes()

    ours_store(tenants[:1])  # bind the digest library once before timing
    (t_ours, t_ours1, t_loop, t_copy), (ours, ours1, loop, copied) = interleaved(
        [(0, ours_store, (tenants,)), (1, ours_store, (tenants,)),
         (0, baseline_store, (tenants, False)), (0, baseline_store, (tenants, True))])
    assert ours == loop == copied == ours1, "stores differ"
    (t_b_ours, t_b_loop), (b_ours, b_loop) = interleaved([(0, bytes_ours, (blob,)), (0, bytes_baseline, (blob,))])
    assert b_ours == b_loop, "digests differ"
    rows = [
        (f"6 tenants x {base_mb:.0f} MB state dict: hashlib loop / ours", t_loop, t_ours),
        ("  same, tobytes loop / ours", t_copy, t_ours),
        ("  same, hashlib loop / ours on 1 thread", t_loop, t_ours1),
        ("add_tensor_bytes 256 MiB: hashlib loop / ours", t_b_loop, t_b_ours),
    ]

    summary = DedupStore(BLOCK, *ours).summary()
    print(f"os.cpu_count() = {os.cpu_count()}; block {BLOCK} bytes; {total_mb:.0f} MB hashed per store build; "
          f"median of {REPEATS}; load average {os.getloadavg()[0]:.2f}")
    print(f"store: {summary}")
    # "ours cpu/wall": processor seconds over wall seconds of our run, i.e. cores kept busy.
    print(f"{'case':<58} {'baseline s':>10} {'ours s':>8} {'ratio':>6} {'ours cpu/wall':>14}")
    for name, (tb, _), (to, co) in rows:
        print(f"{name:<58} {tb:>10.3f} {to:>8.3f} {tb / to:>6.2f} {co / to:>14.2f}")


if __name__ == "__main__":
    main()
