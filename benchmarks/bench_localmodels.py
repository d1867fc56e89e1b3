"""GGUF loading: time and resident-memory growth of `load_gguf_tensors` on a file of >= 500 MB.

The loader maps the file and returns views, so loading should cost little resident memory until
the arrays are read; `copy=True` reads every tensor into memory of its own with plain file reads.
Ours also checks the header (every tensor's byte range) with plain reads before mapping.
Baselines, written here in plain Python on the same file:
  * "reader views": gguf.GGUFReader and the same per-tensor rule (the same work, in Python,
    without the header check);
  * "reader + copy": gguf.GGUFReader and np.array(data) per tensor (what a copying loader costs),
    the baseline of "ours, copy".

Each variant runs in its own child process so that its peak RSS is its own: the child imports
everything first, resets its high-water mark (/proc/self/clear_refs), then loads the file several
times, dropping each result before the next; it reports the median load time and the peak RSS
growth over the whole run (the first load included).
The file is written under /tmp and deleted afterwards. The file is in the page cache (just
written), so times are warm-cache times.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

MiB = 1 << 20


def proc_status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")   # resets VmHWM to the current RSS
        return True
    except OSError:
        return False


def child(variant, path, repeats):
    import gguf  # noqa: F401  (imported before measuring)
    from velkor_zuma import localmodels

    def ours():
        return localmodels.load_gguf_tensors(path)

    def ours_copy():
        return localmodels.load_gguf_tensors(path, copy=True)

    def reader_views():
        reader = gguf.GGUFReader(path, mode="r")
        out = {}
        for t in reader.tensors:
            arr = t.data
            out[t.name] = arr if arr.dtype.kind == "f" else arr.view(np.uint8)
        return out

    def reader_copy():
        reader = gguf.GGUFReader(path, mode="r")
        return {t.name: np.array(t.data) for t in reader.tensors}

    fn = {"ours": ours, "ours, copy": ours_copy, "reader views": reader_views, "reader + copy": reader_copy}[variant]
    # The first load is measured too: whatever it costs once (lazy set-up inside the libraries)
    # counts in the peak.
    rss0 = proc_status_kib("VmRSS")
    if not reset_peak():
        rss0 = proc_status_kib("VmHWM")
    times, n_tensors, nbytes = [], 0, 0
    for _ in range(repeats):
        t0 = time.perf_counter()
        sd = fn()
        times.append(time.perf_counter() - t0)
        n_tensors = len(sd)
        nbytes = sum(a.nbytes for a in sd.values())
        del sd
    peak = proc_status_kib("VmHWM")
    print(json.dumps({"time": statistics.median(times), "rss_growth": (peak - rss0) * 1024,
                      "n_tensors": n_tensors, "nbytes": nbytes}))


def write_file(path):
    import gguf

    rng = np.random.default_rng(0)
    w = gguf.GGUFWriter(path, "llama")
    q8 = gguf.GGMLQuantizationType.Q8_0
    rows, cols = 4096, 8192
    row_bytes = cols // 32 * 34           # Q8_0: 32 weights in 34 bytes
    for i in range(14):
        w.add_tensor(f"blk.{i}.ffn_up.weight", rng.integers(0, 256, (rows, row_bytes), dtype=np.uint8), raw_dtype=q8)
    for i in range(4):
        w.add_tensor(f"blk.{i}.attn_q.weight", rng.standard_normal((2048, 2048), dtype=np.float32))
    for i in range(2):
        w.add_tensor(f"blk.{i}.attn_norm.weight", rng.standard_normal((4096, 1024)).astype(np.float16))
    w.add_tensor("positions", np.arange(1 << 20, dtype=np.int32))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()


def main():
    fd, path = tempfile.mkstemp(prefix="vz_bench_localmodels_", suffix=".gguf", dir="/tmp")
    os.close(fd)
    try:
        write_file(path)
        size = os.path.getsize(path)
        results = {}
        for variant, repeats in (("ours", 7), ("reader views", 7), ("ours, copy", 3), ("reader + copy", 3)):
            out = subprocess.run([sys.executable, __file__, "--child", variant, path, str(repeats)],
                                 capture_output=True, text=True, check=True)
            results[variant] = json.loads(out.stdout.strip().splitlines()[-1])
    finally:
        os.unlink(path)

    ours = results["ours"]
    print(f"load_gguf_tensors on a {size / MiB:.1f} MiB GGUF file ({ours['n_tensors']} tensors, "
          f"{ours['nbytes'] / MiB:.1f} MiB of tensor data); os.cpu_count() = {os.cpu_count()}")
    print(f"{'variant':<16}{'load time ms':>14}{'peak RSS growth MiB':>22}{'growth / file':>16}"
          f"{'time ratio':>12}{'RSS ratio':>12}")
    for name, r in results.items():
        t_ratio = r["time"] / ours["time"]
        m_ratio = f"{r['rss_growth'] / ours['rss_growth']:.1f}" if ours["rss_growth"] > 0 else "n/a"
        print(f"{name:<16}{r['time'] * 1e3:>14.2f}{r['rss_growth'] / MiB:>22.3f}{r['rss_growth'] / size:>15.2%}"
              f"{t_ratio:>12.2f}{m_ratio:>12}")
    print("(ratios are baseline / ours)")
    mine, theirs = results["ours, copy"], results["reader + copy"]
    print(f"copying: reader + copy / ours, copy: time {theirs['time'] / mine['time']:.2f}, "
          f"peak RSS growth {theirs['rss_growth'] / mine['rss_growth']:.2f}")
    bar = ours["rss_growth"] < 0.10 * size
    print(f"bar: RSS growth under 10% of the file size: {'met' if bar else 'NOT met'} "
          f"({ours['rss_growth'] / size:.3%})")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
