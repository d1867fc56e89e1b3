"""Many fine-tunes at once: `add-finetune` in one process against a local Dask cluster.

Writes a Llama-shaped bf16 base (bench_library_scale's shape and shard layout) and four
fine-tunes of it into a temporary directory, then, several times each, adds the four fine-tunes to
a fresh library with

    velkor-zuma add-finetune FT0 FT1 FT2 FT3 --id ...                 (one process, as today)
    velkor-zuma add-finetune FT0 FT1 FT2 FT3 --id ... --workers 2     (a local cluster of 2 workers)

run as subprocesses, and prints the median wall times and their ratio with the machine's load.
It then measures what the cluster costs per task (a task on a 16-element tensor, round trip
through a 2-worker cluster) against the work of one task of the real run (worker seconds per task).
Every file is removed afterwards.

    python benchmarks/bench_cluster.py                        # 2 layers, hidden 2048, inter 5632
    python benchmarks/bench_cluster.py --layers 1 --vocab 8000 --repeats 2

Goal on the default shape with 2 cores: at least 1.7x.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_library_scale import SHAPES, layer_shapes, to_bf16, write_shard  # noqa: E402

CLI = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]


def write_models(cfg, work, count):
    """A base and `count` fine-tunes of it (base + a rank-16 update + noise), shard by shard."""
    groups = [{"model.embed_tokens.weight": (cfg["vocab"], cfg["hidden"])}]
    groups += [layer_shapes(cfg, i) for i in range(cfg["layers"])]
    groups[-1]["model.norm.weight"] = (cfg["hidden"],)
    dirs = [os.path.join(work, "base")] + [os.path.join(work, f"ft{k}") for k in range(count)]
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    rng = np.random.default_rng(0)
    for g, shapes in enumerate(groups):
        shard = f"model-{g + 1:05d}-of-{len(groups):05d}.safetensors"
        base = {n: rng.standard_normal(s, dtype=np.float32) * 0.02 for n, s in shapes.items()}
        write_shard(os.path.join(dirs[0], shard), {n: to_bf16(w) for n, w in base.items()})
        for k in range(count):
            ft = {}
            for n, s in shapes.items():
                if len(s) == 2:
                    u = rng.standard_normal((s[0], 16), dtype=np.float32)
                    v = rng.standard_normal((16, s[1]), dtype=np.float32)
                    change = (u @ v) * 0.002 + rng.standard_normal(s, dtype=np.float32) * 1e-4
                else:
                    change = rng.standard_normal(s, dtype=np.float32) * 1e-3
                ft[n] = to_bf16(base[n] + change)
            write_shard(os.path.join(dirs[k + 1], shard), ft)
    return dirs[0], dirs[1:]


def run(args):
    t = time.perf_counter()
    res = subprocess.run(CLI + args, capture_output=True, text=True)
    wall = time.perf_counter() - t
    if res.returncode != 0:
        raise SystemExit(f"{' '.join(args[:1])} failed:\n{res.stderr}")
    return wall


def per_task_overhead(workers, tasks=200):
    """Seconds per task through a local cluster for a task that does almost nothing."""
    import distributed
    from safetensors.numpy import save_file
    from velkor_zuma import deltavault as dv
    tmp = tempfile.mkdtemp(prefix="vz-tiny-")
    try:
        save_file({"w": np.zeros((4, 4), np.float32)}, os.path.join(tmp, "base.safetensors"))
        save_file({"w": np.ones((4, 4), np.float32)}, os.path.join(tmp, "ft.safetensors"))
        dv.create_library(os.path.join(tmp, "lib"), "b", os.path.join(tmp, "base.safetensors"))
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0",
                                      env={"VZ_NUM_THREADS": "1"}) as c, distributed.Client(c) as client:
            ex = client.get_executor(pure=False)
            sources = {f"t{i}": os.path.join(tmp, "ft.safetensors") for i in range(tasks)}
            lib = os.path.join(tmp, "lib")
            dv.add_finetunes_from(lib, {"warm": sources["t0"]}, executor=ex)
            t = time.perf_counter()
            dv.add_finetunes_from(lib, sources, executor=ex)
            return (time.perf_counter() - t) / tasks
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for k in ("layers", "hidden", "intermediate", "vocab"):
        ap.add_argument(f"--{k}", type=int)
    ap.add_argument("--finetunes", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--solver", default="auto", choices=["auto", "exact", "randomized"])
    a = ap.parse_args()
    cfg = dict(SHAPES["small"])
    for k in cfg:
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    work = tempfile.mkdtemp(prefix="vz-cluster-")
    try:
        base, fts = write_models(cfg, work, a.finetunes)
        ids = []
        for k in range(a.finetunes):
            ids += ["--id", f"ft{k}"]
        print(f"shape {cfg}, {a.finetunes} fine-tunes, {os.cpu_count()} cores, solver {a.solver}")
        times = {"one process": [], f"{a.workers} workers": []}
        for r in range(a.repeats):
            for name, extra in (("one process", []), (f"{a.workers} workers", ["--workers", str(a.workers)])):
                lib = os.path.join(work, "lib")
                shutil.rmtree(lib, ignore_errors=True)
                run(["add-base", base, "--library", lib])
                load = os.getloadavg()[0]
                wall = run(["add-finetune", *fts, "--library", lib, *ids, "--solver", a.solver, *extra])
                times[name].append(wall)
                print(f"  repeat {r + 1}: {name:12s} {wall:7.1f} s   (load average before: {load:.1f})", flush=True)
        one, many = (statistics.median(v) for v in times.values())
        print(f"median: one process {one:.1f} s, {a.workers} workers {many:.1f} s, speedup {one / many:.2f}x")
        # Work per task: worker seconds of the cluster run over its tasks (32 MiB of source a task).
        tasks = 0
        for d in fts[:1]:
            sizes = []
            for root, _, files in os.walk(d):
                sizes += [os.path.getsize(os.path.join(root, f)) for f in files]
        tensor_bytes = sum(sizes)
        tasks = max(1, round(tensor_bytes / (32 << 20))) * a.finetunes
        work_per_task = many * a.workers / tasks
        overhead = per_task_overhead(a.workers)
        print(f"per task: about {work_per_task:.2f} s of work (~{tasks} tasks), engine round trip "
              f"{overhead * 1e3:.1f} ms per task on {a.workers} workers ({overhead / work_per_task * 100:.2f}% of the work)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
