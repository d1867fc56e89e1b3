"""Many fine-tunes added at once with their tensors compressed by an executor's tasks: the records
equal those of a plain add whichever executor made them (none, a thread or process pool, a Dask
cluster), a worker killed mid-run does not stop the run, a failing tensor keeps its fine-tune
out (named in the error) while the others commit, and the command's --workers / --scheduler."""

import concurrent.futures as cf
import json
import multiprocessing
import os
import queue
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from velkor_zuma import deltavault as dv
from waiting import PATIENCE

save_file = pytest.importorskip("safetensors.numpy").save_file

SHAPES = {"embed": (64, 16), "layer.q": (48, 48), "layer.up": (96, 48), "layer.down": (48, 96), "norm": (16,)}
CLI = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]


def _models(tmp_path, count=3):
    """A base file and `count` fine-tune files of it; returns {id: path}."""
    rng = np.random.default_rng(0)
    base = {k: rng.standard_normal(s).astype(np.float32) for k, s in SHAPES.items()}
    save_file(base, str(tmp_path / "base.safetensors"))
    sources = {}
    for i in range(count):
        ft = {k: v + 0.05 * rng.standard_normal(v.shape).astype(np.float32) for k, v in base.items()}
        sources[f"ft{i}"] = str(tmp_path / f"ft{i}.safetensors")
        save_file(ft, sources[f"ft{i}"])
    return sources


def _library(tmp_path, name, base_dir=None):
    dv.create_library(tmp_path / name, "base", (base_dir or tmp_path) / "base.safetensors")
    return tmp_path / name


def _records(lib, model_id):
    with dv.open_library(lib) as r:
        delta = r.delta(model_id)
    return {n: (t.method, t.shape, t.metadata, [a.tobytes() for a in t.cores + t.factors])
            for n, t in delta.tensors.items()}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """Three fine-tunes added one by one without an executor, and their results."""
    tmp = tmp_path_factory.mktemp("ref")
    sources = _models(tmp)
    lib = _library(tmp, "lib")
    results = {k: dv.add_finetune_from(lib, k, p) for k, p in sources.items()}
    return tmp, sources, lib, results


def _same_as_reference(reference, lib, results, ids=None):
    _, sources, ref_lib, ref_results = reference
    for k in ids or sources:
        assert _records(lib, k) == _records(ref_lib, k)
        assert results[k] == ref_results[k]


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"VZ_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as client:
        yield client


# ---- the records, whichever executor made them ---------------------------------------------------


@pytest.mark.parametrize("kind", ["none", "threads", "processes", "dask"])
def test_three_at_once_equal_a_plain_add(reference, tmp_path, kind, request):
    sources = reference[1]
    if kind == "dask":
        executor = request.getfixturevalue("dask_client").get_executor(retries=1)
    elif kind == "threads":
        executor = cf.ThreadPoolExecutor(2)
    elif kind == "processes":
        executor = cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    else:
        executor = None
    calls = []
    lib = _library(tmp_path, "lib", reference[0])
    # One tensor a task: the most tasks, and tasks of one fine-tune finishing in any order.
    results = dv.add_finetunes_from(lib, sources, executor=executor, task_bytes=1,
                                    progress=lambda *a: calls.append(a))
    if executor is not None:
        executor.shutdown()
    _same_as_reference(reference, lib, results)
    assert calls[-1][:2] == (3 * len(SHAPES), 3 * len(SHAPES)) and calls[-1][2] == calls[-1][3]
    assert json.loads((lib / "manifest.json").read_text())["version"] == 2
    assert dv.ModelLibrary.load(lib).deltas.keys() == set(sources)


def test_one_finetune_through_an_executor_and_task_sizes(reference, tmp_path):
    sources = reference[1]
    lib = _library(tmp_path, "lib", reference[0])
    with cf.ThreadPoolExecutor(2) as ex:
        res = dv.add_finetune_from(lib, "ft1", sources["ft1"], executor=ex)
        assert res == reference[3]["ft1"] and _records(lib, "ft1") == _records(reference[2], "ft1")
        # Whatever the grouping, the same records.
        for task_bytes in (1, 5000, 1 << 30):
            lib2 = _library(tmp_path, f"lib{task_bytes}", reference[0])
            got = dv.add_finetunes_from(lib2, {"ft2": sources["ft2"]}, executor=ex, task_bytes=task_bytes)
            _same_as_reference(reference, lib2, got, ["ft2"])
        # An id the library holds is refused as without an executor, and replaced on request.
        with pytest.raises(FileExistsError, match="already holds a fine-tune 'ft1'"):
            dv.add_finetune_from(lib, "ft1", sources["ft1"], executor=ex)
        assert dv.add_finetune_from(lib, "ft1", sources["ft2"], executor=ex, replace=True)["replaced"]
        assert _records(lib, "ft1") == _records(reference[2], "ft2")


def test_task_pickles_and_runs_as_a_worker_would(reference):
    import pickle
    task = pickle.loads(pickle.dumps(dv._compress_tensors))
    assert type(task) is type(dv._compress_tensors)


@pytest.mark.parametrize("call, message", [
    (lambda lib, src: dv.add_finetunes_from(lib, {"a": {"norm": np.zeros(16, np.float32)}}),
     "must be a path"),
    (lambda lib, src: dv.add_finetune_from(lib, "a", {"norm": np.zeros(16, np.float32)},
                                           executor=cf.ThreadPoolExecutor(1)),
     "Argument 'source' has incorrect type"),
    (lambda lib, src: dv.add_finetunes_from(lib, {"a": src}, executor=object()), "Argument 'executor'"),
    (lambda lib, src: dv.add_finetunes_from(lib, [src]), "Argument 'sources'"),
])
def test_arguments_refused(reference, call, message):
    with pytest.raises(TypeError, match=message):
        call(reference[2], reference[1]["ft0"])


@pytest.mark.parametrize("bad, message", [("task_bytes", "at least 1"), ("errors", "'raise' or 'return'"),
                                          ("task_threads", "0 or more")])
def test_bad_values_refused(reference, bad, message):
    kw = {"task_bytes": 0, "errors": "ignore", "task_threads": -1}
    with pytest.raises(ValueError, match=message):
        dv.add_finetunes_from(reference[2], {"x": reference[1]["ft0"]}, **{bad: kw[bad]})


# ---- failures ------------------------------------------------------------------------------------


def _bad_source(tmp_path, how):
    rng = np.random.default_rng(5)
    ft = {k: rng.standard_normal(s).astype(np.float32) for k, s in SHAPES.items()}
    if how == "nan":
        ft["layer.up"][3, 4] = np.nan    # passes the header checks, fails in its task
    else:
        ft["layer.up"] = ft["layer.up"][:, :8].copy()
    path = tmp_path / f"bad-{how}.safetensors"
    save_file(ft, str(path))
    return str(path)


class _LostCancelExecutor(cf.Executor):
    """Runs its tasks one after another in a thread of its own and, as a Dask client's executor
    does when a task's result crosses its cancel, never reports a future cancelled while its task
    ran: the task after a failing one starts only once it is cancelled, and its result is dropped."""

    def __init__(self):
        self._queue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._work, daemon=True)
        self._thread.start()

    def submit(self, fn, *args, **kwargs):
        fut = cf.Future()
        self._queue.put((fut, fn, args, kwargs))
        return fut

    def _work(self):
        after_failure = False
        while (item := self._queue.get()) is not None:
            fut, fn, args, kwargs = item
            if after_failure:
                cancelled = threading.Event()
                fut.add_done_callback(lambda _: cancelled.set())
                cancelled.wait(PATIENCE)
                after_failure = False
            try:
                fut.set_result(fn(*args, **kwargs))
            except cf.InvalidStateError:
                pass
            except Exception as e:
                after_failure = True
                fut.set_exception(e)

    def shutdown(self, wait=True, **_):
        self._queue.put(None)
        if wait:
            self._thread.join()


@pytest.mark.parametrize("how, message", [("nan", r"tensor 'layer.up' of '.*bad-nan.safetensors': \w+Error"),
                                          ("shape", r"tensor 'layer.up' has shape \(96, 8\)")])
@pytest.mark.parametrize("kind", ["threads", "lost-cancel", "dask"])
def test_a_bad_tensor_fails_its_finetune_only(reference, tmp_path, request, how, message, kind):
    sources = dict(reference[1])
    sources["bad"] = _bad_source(tmp_path, how)
    lib = _library(tmp_path, "lib", reference[0])
    if kind == "dask":
        executor = request.getfixturevalue("dask_client").get_executor(retries=1)
    elif kind == "lost-cancel":
        executor = _LostCancelExecutor()
    else:
        executor = cf.ThreadPoolExecutor(2)
    results = dv.add_finetunes_from(lib, sources, executor=executor, task_bytes=1, errors="return")
    err = results.pop("bad")
    assert isinstance(err, Exception) and re.search(message, str(err))
    assert "fine-tune 'bad' was not added" in getattr(err, "__notes__", ["fine-tune 'bad' was not added"])
    _same_as_reference(reference, lib, results)
    with dv.open_library(lib) as r:
        assert set(r.finetune_ids()) == set(reference[1])
    # errors="raise" (the default): the others are committed, then the failures are raised together.
    lib2 = _library(tmp_path, "lib2", reference[0])
    group = ExceptionGroup if sys.version_info >= (3, 11) else RuntimeError  # noqa: F821
    with pytest.raises(group, match=r"1 of 4 fine-tunes were not added \('bad'\); the others"):
        dv.add_finetunes_from(lib2, sources, executor=executor, task_bytes=1)
    with dv.open_library(lib2) as r:
        assert set(r.finetune_ids()) == set(reference[1])
    executor.shutdown()


class _CancellingPool(cf.ThreadPoolExecutor):
    """A thread pool whose sixth task (the first of the second fine-tune) is cancelled before it
    runs, as a pool shut down with cancel_futures=True or a cluster's cancel does."""

    def submit(self, fn, *args, **kwargs):
        self.count = getattr(self, "count", 0) + 1
        if self.count == len(SHAPES) + 1:
            fut = cf.Future()
            fut.cancel()
            return fut
        return super().submit(fn, *args, **kwargs)


def test_a_task_cancelled_elsewhere_fails_its_finetune_only(reference, tmp_path):
    lib = _library(tmp_path, "lib", reference[0])
    with _CancellingPool(2) as ex:
        results = dv.add_finetunes_from(lib, reference[1], executor=ex, task_bytes=1, errors="return")
    err = results.pop("ft1")
    assert re.search(r"tensor 'embed' of '.*ft1.safetensors': CancelledError", str(err))
    assert isinstance(err.__cause__, cf.CancelledError)
    _same_as_reference(reference, lib, results, ["ft0", "ft2"])
    with dv.open_library(lib) as r:
        assert set(r.finetune_ids()) == {"ft0", "ft2"}


def test_a_killed_worker_does_not_stop_the_run(reference, tmp_path):
    distributed = pytest.importorskip("distributed")
    sources = reference[1]
    lib = _library(tmp_path, "lib", reference[0])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  env={"VZ_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as client:
        pids = list(client.run(os.getpid).values())
        killed = []

        def kill_one(done, total, *_):
            # At the first tensor in, most tasks are still queued or running: one worker dies.
            if not killed:
                os.kill(pids[0], signal.SIGKILL)
                killed.append(pids[0])

        results = dv.add_finetunes_from(lib, sources, executor=client.get_executor(retries=2), task_bytes=1,
                                        progress=kill_one)
        assert killed
    _same_as_reference(reference, lib, results)


# ---- the command -----------------------------------------------------------------------------------


def _cli(*args):
    return subprocess.run(CLI + [str(a) for a in args], capture_output=True, text=True,
                          env=dict(os.environ, VZ_NUM_THREADS="1"), timeout=300)


def test_command_adds_several_on_a_cluster(reference, tmp_path, dask_client):
    sources = reference[1]
    lib = _library(tmp_path, "lib", reference[0])
    ids_file = tmp_path / "ids.txt"
    ids_file.write_text("ft0\nft1\n")
    bad = _bad_source(tmp_path, "nan")
    res = _cli("add-finetune", sources["ft0"], sources["ft1"], bad, "--library", lib, "--ids-from", ids_file,
               "--id", "bad", "--scheduler", dask_client.scheduler.address, "--solver", "exact")
    assert res.returncode == 1, res.stderr
    assert "Added fine-tune 'ft0'" in res.stdout and "Added fine-tune 'ft1'" in res.stdout
    assert "fine-tune 'bad' failed: tensor 'layer.up'" in res.stderr
    assert "1 of 3 fine-tunes failed: bad" in res.stderr
    for k in ("ft0", "ft1"):
        assert _records(lib, k) == _records(reference[2], k)
    # A local cluster of its own, started for the command.
    res = _cli("add-finetune", sources["ft2"], "--library", lib, "--id", "ft2", "--workers", "2")
    assert res.returncode == 0, res.stderr
    assert "Added fine-tune 'ft2'" in res.stdout and _records(lib, "ft2") == _records(reference[2], "ft2")


@pytest.mark.parametrize("args, message", [
    (["--id", "a"], "2 sources but 1 id"),
    (["--id", "a", "--id", "a"], "id 'a' given twice"),
    (["--id", "a", "--id", "b", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with"),
])
def test_command_refuses_bad_combinations(reference, args, message):
    res = _cli("add-finetune", reference[1]["ft0"], reference[1]["ft1"], "--library", reference[2], *args)
    assert res.returncode == 2 and message in res.stderr


def test_command_names_the_extra_when_dask_is_missing(reference, tmp_path):
    code = ("import sys; sys.modules['distributed'] = None; from velkor_zuma.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    res = subprocess.run([sys.executable, "-c", code, "add-finetune", reference[1]["ft0"], "--id", "x",
                          "--library", str(reference[2]), "--workers", "2"], capture_output=True, text=True)
    assert res.returncode == 1 and 'pip install "velkor-zuma[cluster]"' in res.stderr
    with dv.open_library(reference[2]) as r:
        assert "x" not in r.finetune_ids()
