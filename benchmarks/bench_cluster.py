"""Many fine-tunes at once: `add-finetune` in one process against a local Dask cluster.

Writes a Llama-shaped bf16 base (bench_library_scale's shape and shard layout) and four
fine-tunes of it into a temporary directory, then, several times each, adds the four fine-tunes to
a fresh library with

    velkor-zuma add-finetune FT0 FT1 FT2 FT3 --id ...                 (one process, as today)
    velkor-zuma add-finetune FT0 FT1 FT2 FT3 --id ... --workers 2     (a local cluster of 2 workers)

run as subprocesses (the cluster's start counted), and the same through the Python API in this
process against a cluster started beforehand; it prints the median wall times and their ratios
with the machine's load. It also prints each task's compute time from the cluster's task stream
against the engine's round trip for a task on a 4x4 tensor. Every file is removed afterwards.

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
from bench_library_scale import SHAPES, finetune_change, layer_shapes, to_bf16, write_shard  # noqa: E402

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
                ft[n] = to_bf16(base[n] + finetune_change(rng, s))
            write_shard(os.path.join(dirs[k + 1], shard), ft)
    return dirs[0], dirs[1:]


def run(args):
    t = time.perf_counter()
    res = subprocess.run(CLI + args, capture_output=True, text=True)
    wall = time.perf_counter() - t
    if res.returncode != 0:
        raise SystemExit(f"{' '.join(args[:1])} failed:\n{res.stderr}")
    return wall


def api_runs(base, fts, workers, repeats, solver):
    """In this process: the fine-tunes added one after another without an executor (this process's
    threads), and at once through a local cluster started beforehand; per-task compute times from
    the cluster's task stream; the engine's round trip for a task that does almost nothing."""
    import distributed
    from velkor_zuma import deltavault as dv
    work = os.path.dirname(base)
    sources = {f"ft{k}": d for k, d in enumerate(fts)}
    times = {"one process": [], f"{workers} workers": []}
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0",
                                  env={"VZ_NUM_THREADS": "1"}) as c, distributed.Client(c) as client:
        ex = client.get_executor(pure=False)
        stream = None
        for r in range(repeats):
            for name in times:
                lib = os.path.join(work, "lib-api")
                shutil.rmtree(lib, ignore_errors=True)
                dv.create_library(lib, "base", base)
                load = os.getloadavg()[0]
                t = time.perf_counter()
                if name == "one process":
                    for k, src in sources.items():
                        dv.add_finetune_from(lib, k, src, solver=solver)
                else:
                    with distributed.get_task_stream(client) as ts:
                        dv.add_finetunes_from(lib, sources, executor=ex, solver=solver)
                    stream = ts.data
                wall = time.perf_counter() - t
                times[name].append(wall)
                print(f"  api repeat {r + 1}: {name:12s} {wall:7.1f} s   (load average before: {load:.1f})", flush=True)
        computes = [sum(ss["stop"] - ss["start"] for ss in task["startstops"] if ss["action"] == "compute")
                    for task in stream]
        # The round trip of a task on a 4x4 tensor: what the engine costs a task.
        lib = os.path.join(work, "lib-api")
        with dv.open_library(lib) as r:
            import json
            base_entry = json.load(open(os.path.join(lib, "manifest.json")))["base"]
        base_file = os.path.join(lib, base_entry["file"])
        name = base_entry["tensors"][-1]
        shard = sorted(os.path.join(fts[0], f) for f in os.listdir(fts[0]))[-1]
        settings = {"method": "tt", "max_rank": 8, "energy": None, "energy_cap": None, "solver": None}
        args = ([(0, name, shard, True)], base_file, base_entry["size"], settings, "tiny", 1)
        list(ex.map(dv._compress_tensors, *zip(*[args] * 20)))
        n = 200
        t = time.perf_counter()
        list(ex.map(dv._compress_tensors, *zip(*[args] * n)))
        overhead_wall = (time.perf_counter() - t) / n
    return times, computes, overhead_wall


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for k in ("layers", "hidden", "intermediate", "vocab"):
        ap.add_argument(f"--{k}", type=int)
    ap.add_argument("--finetunes", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--solver", default="auto", choices=["auto", "exact", "randomized"])
    ap.add_argument("--only", choices=["api", "command"], help="run one of the two comparisons")
    a = ap.parse_args()
    cfg = dict(SHAPES["small"])
    for k in cfg:
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    work = tempfile.mkdtemp(prefix="vz-cluster-")
    try:
        base, fts = write_models(cfg, work, a.finetunes)
        print(f"shape {cfg}, {a.finetunes} fine-tunes, {os.cpu_count()} cores, solver {a.solver}")
        if a.only != "command":
            times, computes, overhead = api_runs(base, fts, a.workers, a.repeats, a.solver)
            one, many = (statistics.median(v) for v in times.values())
            print(f"api median: one process {one:.1f} s, {a.workers} workers {many:.1f} s, speedup {one / many:.2f}x")
            print(f"per task: {len(computes)} tasks, compute median {statistics.median(computes):.2f} s "
                  f"(min {min(computes):.2f}, max {max(computes):.2f}); engine round trip of an empty task "
                  f"{overhead * 1e3:.1f} ms wall per task with {a.workers} workers "
                  f"({overhead / statistics.median(computes) * 100:.2f}% of the median task)")
        if a.only != "api":
            ids = []
            for k in range(a.finetunes):
                ids += ["--id", f"ft{k}"]
            times = {"one process": [], f"{a.workers} workers": []}
            for r in range(a.repeats):
                for name, extra in (("one process", []), (f"{a.workers} workers", ["--workers", str(a.workers)])):
                    lib = os.path.join(work, "lib")
                    shutil.rmtree(lib, ignore_errors=True)
                    run(["add-base", base, "--library", lib])
                    load = os.getloadavg()[0]
                    wall = run(["add-finetune", *fts, "--library", lib, *ids, "--solver", a.solver, *extra])
                    times[name].append(wall)
                    print(f"  command repeat {r + 1}: {name:12s} {wall:7.1f} s   (load average before: {load:.1f})",
                          flush=True)
            one, many = (statistics.median(v) for v in times.values())
            print(f"command median (cluster start included): one process {one:.1f} s, {a.workers} workers "
                  f"{many:.1f} s, speedup {one / many:.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
