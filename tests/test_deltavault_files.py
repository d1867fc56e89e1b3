"""The library on disk worked tensor by tensor: bf16 bases stored as they came, opening without
loading, adding a fine-tune from a source tensor by tensor, the writers' lock, concurrent writers,
writers killed mid-save, and crafted library files refused with clear errors."""

import json
import os
import re
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velkor_zuma import deltavault as dv
from waiting import PATIENCE

safetensors_numpy = pytest.importorskip("safetensors.numpy")


def _model(seed=0, scale=0.0, base=None):
    rng = np.random.default_rng(seed)
    shapes = {"embed": (64, 16), "layer.q": (16, 16), "layer.up": (32, 16), "norm": (16,)}
    out = {}
    for name, shape in shapes.items():
        w = rng.standard_normal(shape).astype(np.float32)
        out[name] = w if base is None else base[name] + scale * w
    return out


def _bf16_file(path, sd):
    """Writes `sd` as a bf16 safetensors file (torch does the rounding) and returns the values
    as float32 (bf16 widened exactly)."""
    torch = pytest.importorskip("torch")
    from safetensors.torch import save_file
    tensors = {k: torch.from_numpy(v).to(torch.bfloat16) for k, v in sd.items()}
    save_file(tensors, str(path))
    return {k: t.to(torch.float32).numpy() for k, t in tensors.items()}


def _run(code, *args, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, env=dict(os.environ, OMP_NUM_THREADS="1"), **kwargs)


# ---- bases and fine-tunes tensor by tensor --------------------------------------------------------


def test_bf16_base_round_trips_exactly_and_is_no_bigger(tmp_path):
    src = tmp_path / "base.safetensors"
    widened = _bf16_file(src, _model())
    dv.create_library(tmp_path / "lib", "base", src)
    manifest = json.loads((tmp_path / "lib" / "manifest.json").read_text())
    base_file = tmp_path / "lib" / manifest["base"]["file"]
    assert set(manifest["base"]["dtypes"]) == {"BF16"}
    # Two bytes a value, as in the source; only the header's metadata text differs.
    assert manifest["base"]["nbytes"] == sum(a.size * 2 for a in widened.values())
    assert base_file.stat().st_size <= src.stat().st_size + 64
    lib = dv.ModelLibrary.load(tmp_path / "lib")
    for name, arr in widened.items():
        assert lib.base[name].dtype == np.float32 and lib.base[name].tobytes() == arr.tobytes()
    # Saving the loaded library again keeps the bf16 file as it is.
    lib.add_finetune("ft", _model(1, 0.01, widened))
    lib.save(tmp_path / "lib")
    assert base_file.exists() and json.loads((tmp_path / "lib" / "manifest.json").read_text())["base"]["file"] == base_file.name


@pytest.mark.parametrize("as_path", [True, False])
def test_tensor_by_tensor_add_equals_whole_dict_add(tmp_path, as_path):
    base_sd = _bf16_file(tmp_path / "base.safetensors", _model())
    ft_sd = _bf16_file(tmp_path / "ft.safetensors", _model(1, 0.05, base_sd))
    dv.create_library(tmp_path / "lib", "base", tmp_path / "base.safetensors")
    source = tmp_path / "ft.safetensors" if as_path else dict(ft_sd)
    res = dv.add_finetune_from(tmp_path / "lib", "ft", source)
    whole = dv.ModelLibrary("base", base_sd)
    expected = whole.add_finetune("ft", ft_sd)
    loaded = dv.ModelLibrary.load(tmp_path / "lib")
    got = loaded.deltas["ft"]
    assert list(got.tensors) == list(expected.tensors)
    for name, rec in expected.tensors.items():
        other = got.tensors[name]
        assert (other.method, other.shape, other.metadata) == (rec.method, rec.shape, rec.metadata)
        for a, b in zip(rec.cores + rec.factors, other.cores + other.factors):
            assert a.tobytes() == b.tobytes()
    assert res["error"] == pytest.approx(dv.reconstruction_error(whole.reconstruct("ft"), ft_sd), rel=1e-6)
    assert res["stored_bytes"] == expected.stored_bytes() and not res["replaced"]


def test_open_library_reads_on_access(tmp_path):
    base = _model()
    lib = dv.ModelLibrary("b", base)
    lib.add_finetune("ft", _model(1, 0.01, base))
    lib.save(tmp_path)
    with dv.open_library(tmp_path) as r:
        assert (r.base_id, r.method, r.max_rank, r.energy) == ("b", lib.method, 8, None)
        assert r.base_names() == list(base) and r.finetune_ids() == ["ft"]
        assert r.base_tensor("layer.q").tobytes() == base["layer.q"].tobytes()
        rebuilt = lib.reconstruct("ft")
        for name in rebuilt:
            assert r.reconstruct_tensor("ft", name).tobytes() == rebuilt[name].tobytes()
        assert r.delta("ft").stored_bytes() == lib.deltas["ft"].stored_bytes()
        info = r.finetune_info("ft")
        assert info["tensors"] == 4 and info["stored_bytes"] == lib.deltas["ft"].stored_bytes()
        assert r.summary()["velkor_zuma_bytes"] == lib.stored_bytes()
        with pytest.raises(KeyError):
            r.delta("nope")
    with pytest.raises(ValueError, match="closed"):
        r.base_names()


def test_export_matches_reconstruct(tmp_path):
    base = _model()
    lib = dv.ModelLibrary("b", base)
    lib.add_finetune("ft", _model(1, 0.01, base))
    lib.save(tmp_path / "lib")
    dv.export_finetune(tmp_path / "lib", "ft", tmp_path / "out.safetensors")
    exported = safetensors_numpy.load_file(str(tmp_path / "out.safetensors"))
    for name, arr in lib.reconstruct("ft").items():
        assert exported[name].tobytes() == arr.tobytes()


@pytest.mark.parametrize("target", [
    lambda lib, m: lib / "manifest.json",
    lambda lib, m: lib / m["base"]["file"],
    lambda lib, m: lib / "new.safetensors",
    lambda lib, m: lib / "." / ".." / lib.name / "manifest.json",
    lambda lib, m: lib.parent / "to-lib" / "manifest.json",  # a directory link into the library
    lambda lib, m: lib.parent / "to-manifest",  # a link to the manifest
])
def test_export_never_lands_in_the_library(tmp_path, target):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    dv.add_finetune_from(tmp_path / "lib", "ft", _model(1, 0.01, base))
    (tmp_path / "to-lib").symlink_to(tmp_path / "lib")
    (tmp_path / "to-manifest").symlink_to(tmp_path / "lib" / "manifest.json")
    manifest = json.loads((tmp_path / "lib" / "manifest.json").read_text())
    before = {p.name: p.read_bytes() for p in (tmp_path / "lib").iterdir()}
    with pytest.raises(ValueError, match="inside the model library .*nothing was written"):
        dv.export_finetune(tmp_path / "lib", "ft", target(tmp_path / "lib", manifest))
    assert {p.name: p.read_bytes() for p in (tmp_path / "lib").iterdir()} == before
    assert list(dv.ModelLibrary.load(tmp_path / "lib").deltas) == ["ft"]


def test_the_lazy_reader_refuses_fine_tune_files_swapped_under_each_others_names(tmp_path):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    for i, mid in enumerate(["one", "two"]):
        dv.add_finetune_from(tmp_path / "lib", mid, _model(i + 1, 0.01, base), method="svd", max_rank=2)
    files = {e["key"]: tmp_path / "lib" / e["file"]
             for e in json.loads((tmp_path / "lib" / "manifest.json").read_text())["finetunes"]}
    one, two = files["one"].read_bytes(), files["two"].read_bytes()
    assert len(one) == len(two) and one != two  # told apart by their contents only
    files["one"].write_bytes(two)  # a restore under the wrong names
    files["two"].write_bytes(one)
    for read in (lambda r: r.reconstruct_tensor("one", "layer.q"), lambda r: r.delta("two")):
        with dv.open_library(tmp_path / "lib") as r, pytest.raises(ValueError, match="SHA-256 differs"):
            read(r)
    with pytest.raises(ValueError, match="of fine-tune 'one' is damaged or another fine-tune's"):
        dv.export_finetune(tmp_path / "lib", "one", tmp_path / "out.safetensors")
    assert not (tmp_path / "out.safetensors").exists()
    with pytest.raises(ValueError, match="SHA-256 differs"):
        dv.ModelLibrary.load(tmp_path / "lib")
    files["one"].write_bytes(one)
    files["two"].write_bytes(two)
    with dv.open_library(tmp_path / "lib") as r:
        assert r.reconstruct_tensor("one", "layer.q").shape == (16, 16)


def test_replace_and_refusals(tmp_path):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    dv.add_finetune_from(tmp_path / "lib", "ft", _model(1, 0.01, base))
    before = (tmp_path / "lib" / "manifest.json").read_bytes()
    with pytest.raises(FileExistsError, match="already holds a fine-tune 'ft'"):
        dv.add_finetune_from(tmp_path / "lib", "ft", _model(2, 0.01, base), method="none")
    assert (tmp_path / "lib" / "manifest.json").read_bytes() == before
    res = dv.add_finetune_from(tmp_path / "lib", "ft", _model(2, 0.01, base), method="none", replace=True)
    assert res["replaced"]
    lib = dv.ModelLibrary.load(tmp_path / "lib")
    assert list(lib.deltas) == ["ft"] and {r.method.value for r in lib.deltas["ft"].tensors.values()} == {"none"}
    assert len(list((tmp_path / "lib").glob("finetune-*"))) == 1  # the replaced file is gone
    with pytest.raises(ValueError, match=r"'layer.q' has shape \(2, 2\)"):
        dv.add_finetune_from(tmp_path / "lib", "bad", {"layer.q": np.zeros((2, 2), np.float32)})
    with pytest.raises(ValueError, match="shares no tensor name"):
        dv.add_finetune_from(tmp_path / "lib", "bad", {"other": np.zeros((2, 2), np.float32)})
    with pytest.raises(ValueError, match="not floating point"):
        dv.add_finetune_from(tmp_path / "lib", "bad", {"layer.q": np.zeros((16, 16), np.int32)})
    assert list(dv.ModelLibrary.load(tmp_path / "lib").deltas) == ["ft"]


_ADDS = {
    "mapping": lambda lib, src, method: dv.add_finetune_from(lib, "bad", src, method=method),
    "file": lambda lib, src, method: dv.add_finetune_from(lib, "bad", src, method=method),
    "executor": lambda lib, src, method: dv.add_finetunes_from(lib, {"bad": str(src)}, method=method),
}


@pytest.mark.parametrize("value, shown", [(np.inf, "inf"), (-np.inf, "-inf"), (np.nan, "nan")])
@pytest.mark.parametrize("method", ["tt", "svd", "tucker", "none", "sign"])
@pytest.mark.parametrize("source", list(_ADDS))
def test_values_that_are_not_finite_are_refused_before_anything_is_written(tmp_path, source, method, value,
                                                                            shown):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    dv.add_finetune_from(tmp_path / "lib", "ft", _model(1, 0.01, base))
    tuned = _model(2, 0.01, base)
    tuned["layer.q"][3, 2] = value
    tuned["norm"][5] = value  # read after 'layer.q' (sorted names): the first bad tensor is named
    src = tuned
    if source != "mapping":
        src = tmp_path / "bad.safetensors"
        safetensors_numpy.save_file(tuned, str(src))
    before = {p.name: p.read_bytes() for p in (tmp_path / "lib").iterdir()}
    # Tasks report per fine-tune (a group of RuntimeErrors holding the task's error).
    with pytest.raises(Exception if source == "executor" else ValueError) as err:
        _ADDS[source](tmp_path / "lib", src, method)
    text = "\n".join(map(str, getattr(err.value, "exceptions", [err.value])))
    assert re.search(rf"cannot store tensor 'layer.q' of .*'(bad|{re.escape(str(src))})': it holds {shown} at index "
                     rf"\(3, 2\); only finite", text), text
    assert {p.name: p.read_bytes() for p in (tmp_path / "lib").iterdir()} == before
    assert dv.open_library(tmp_path / "lib").finetune_ids() == ["ft"]


def test_a_difference_too_large_for_float32_is_refused(tmp_path):
    base = {"w": np.full((4, 4), -3e38, np.float32)}
    dv.create_library(tmp_path / "lib", "b", base)
    with pytest.raises(ValueError, match=r"'w' of fine-tune 'x': its difference from the base at index \(0, 0\) "
                                         r"is not finite in float32"):
        dv.add_finetune_from(tmp_path / "lib", "x", {"w": np.full((4, 4), 3e38, np.float32)})
    assert dv.open_library(tmp_path / "lib").finetune_ids() == []


# ---- writers ------------------------------------------------------------------------------------------

_ADD = """
import sys, numpy as np
from velkor_zuma import deltavault as dv
lib, mid, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = {n: dv.open_library(lib).base_tensor(n) for n in dv.open_library(lib).base_names()}
rng = np.random.default_rng(seed)
ft = {k: (v + 0.01 * rng.standard_normal(v.shape)).astype(np.float32) for k, v in base.items()}
print(dv.add_finetune_from(lib, mid, ft)["model_id"])
"""


def test_four_writers_at_once_all_land(tmp_path):
    dv.create_library(tmp_path / "lib", "b", _model())
    procs = [subprocess.Popen([sys.executable, "-c", _ADD, str(tmp_path / "lib"), f"ft{i}", str(i)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(4)]
    for p in procs:
        out, err = p.communicate(timeout=PATIENCE)
        assert p.returncode == 0, err
    lib = dv.ModelLibrary.load(tmp_path / "lib")
    assert sorted(lib.deltas) == ["ft0", "ft1", "ft2", "ft3"]
    assert sorted(p.name for p in (tmp_path / "lib").iterdir() if p.name.startswith(".vz-tmp")) == []


_HOLD = """
import fcntl, os, sys
fd = os.open(os.path.join(sys.argv[1], ".vz-lock"), os.O_RDWR | os.O_CREAT)
fcntl.flock(fd, fcntl.LOCK_EX)
os.ftruncate(fd, 0)
os.write(fd, f"{os.getpid()}\\nholder-command --busy\\n".encode())
print("held", flush=True)
sys.stdin.read()  # holds the lock until the test closes this pipe (or kills the process)
"""


def _held_library(tmp_path):
    """A new library and a process that holds its writers' lock until the test closes the
    holder's stdin."""
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    holder = subprocess.Popen([sys.executable, "-c", _HOLD, str(tmp_path / "lib")], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == "held"
    return base, holder


def test_lock_waits_or_fails_at_once(tmp_path):
    base, holder = _held_library(tmp_path)
    waiter = None
    try:
        with pytest.raises(BlockingIOError, match=rf"pid {holder.pid}: holder-command --busy"):
            dv.add_finetune_from(tmp_path / "lib", "ft", _model(1, 0.01, base), wait=False)
        assert dv.open_library(tmp_path / "lib").finetune_ids() == []  # readers are never blocked
        waiter = subprocess.Popen([sys.executable, "-c", _ADD, str(tmp_path / "lib"), "ft", "1"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=dict(os.environ, OMP_NUM_THREADS="1"))
        said = waiter.stderr.readline()
        assert "waiting for the lock" in said and f"pid {holder.pid}" in said
        assert waiter.poll() is None and dv.open_library(tmp_path / "lib").finetune_ids() == []
        holder.stdin.close()  # the holder exits, and the lock goes with it
        holder.wait(timeout=PATIENCE)
        out, err = waiter.communicate(timeout=PATIENCE)
        assert waiter.returncode == 0, said + err
        assert out.strip() == "ft"
    finally:
        for proc in (waiter, holder):
            if proc is not None:
                proc.kill()
                proc.wait()
    assert dv.open_library(tmp_path / "lib").finetune_ids() == ["ft"]


def test_ctrl_c_while_waiting_for_the_lock_stops_the_wait(tmp_path):
    # The holder keeps the lock until it is killed, so the waiter can only end by the signal;
    # the signal is sent as soon as the waiter says it waits, wherever in the wait it lands.
    _, holder = _held_library(tmp_path)
    # A shell that starts the suite in the background leaves SIGINT ignored, and a child inherits
    # that: the waiter takes Ctrl-C as an interactive program does, whatever started the suite.
    interactive = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
    waiter = subprocess.Popen([sys.executable, "-c", interactive + _ADD, str(tmp_path / "lib"), "ft", "1"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "waiting for the lock" in waiter.stderr.readline()
        waiter.send_signal(signal.SIGINT)
        _, err = waiter.communicate(timeout=PATIENCE)  # the holder never lets go: only the signal ends it
        assert "KeyboardInterrupt" in err and waiter.returncode != 0
        assert holder.poll() is None
    finally:
        for proc in (waiter, holder):
            proc.kill()
            proc.wait()
    assert dv.open_library(tmp_path / "lib").finetune_ids() == []


def _lock_target(tmp_path, kind):
    """Puts something other than a lock file of its own at lib/.vz-lock: a symbolic link to a
    file of the user's, a dangling link, or a second name (hard link) of the user's file."""
    notes, missing = tmp_path / "notes.txt", tmp_path / "elsewhere" / "created.txt"
    notes.write_text("my notes\n")
    (tmp_path / "elsewhere").mkdir()
    lock = tmp_path / "lib" / ".vz-lock"
    lock.unlink()
    if kind == "link":
        lock.symlink_to(notes)
    elif kind == "dangling link":
        lock.symlink_to(missing)
    else:
        os.link(notes, lock)
    return notes, missing


_WRITERS = {
    "add_finetune_from": lambda lib, base: dv.add_finetune_from(lib, "ft", _model(1, 0.01, base)),
    "save": lambda lib, base: dv.ModelLibrary("b", base).save(lib),
    "create_library": lambda lib, base: dv.create_library(lib, "b", base),
}


@pytest.mark.parametrize("writer", list(_WRITERS))
@pytest.mark.parametrize("kind, fragment", [("link", "a symbolic link"), ("dangling link", "a symbolic link"),
                                            ("hard link", "a file with other names")])
def test_the_lock_file_is_never_followed_or_written_through(tmp_path, writer, kind, fragment):
    base = _model()
    if writer == "create_library":
        (tmp_path / "lib").mkdir()
        (tmp_path / "lib" / ".vz-lock").write_text("12345\nvelkor-zuma\n")  # a dead creator's
    else:
        dv.create_library(tmp_path / "lib", "b", base)
    notes, missing = _lock_target(tmp_path, kind)
    before = sorted(os.listdir(tmp_path / "lib"))
    with pytest.raises(OSError, match=f"lock file of the model library .* is {fragment}[^;]*; .*nothing was changed"):
        _WRITERS[writer](tmp_path / "lib", base)
    assert notes.read_text() == "my notes\n" and not missing.exists()
    assert sorted(os.listdir(tmp_path / "lib")) == before
    (tmp_path / "lib" / ".vz-lock").unlink()
    _WRITERS[writer](tmp_path / "lib", base)  # a lock file of its own again: the writer goes ahead
    assert notes.read_text() == "my notes\n"


def test_the_lock_file_names_the_program_but_never_its_arguments(tmp_path):
    dv.create_library(tmp_path / "lib", "b", _model())
    code = _ADD + "print(open(sys.argv[1] + '/.vz-lock').read(), end='')\n"
    res = _run(code, tmp_path / "lib", "ft", 1, "--token=hunter2", timeout=PATIENCE)
    assert res.returncode == 0, res.stderr
    model_id, pid, program = res.stdout.splitlines()
    assert model_id == "ft" and int(pid) > 0 and "hunter2" not in res.stdout
    assert program == os.path.basename(sys.executable)  # `python -c`: the interpreter's name


def test_save_refuses_when_another_writer_committed(tmp_path):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    mine = dv.ModelLibrary.load(tmp_path / "lib")
    dv.add_finetune_from(tmp_path / "lib", "theirs", _model(1, 0.01, base))
    before = sorted(os.listdir(tmp_path / "lib"))
    mine.add_finetune("mine", _model(2, 0.01, base))
    with pytest.raises(RuntimeError, match="manifest changed since this library was loaded"):
        mine.save(tmp_path / "lib")
    assert sorted(os.listdir(tmp_path / "lib")) == before
    assert list(dv.ModelLibrary.load(tmp_path / "lib").deltas) == ["theirs"]


_SLOW_SAVE = """
import sys, numpy as np
from velkor_zuma import deltavault as dv
from velkor_zuma import lowrank
real = lowrank.compress
def gated(*a, **k):
    print("compressing", flush=True)
    sys.stdin.readline()  # each tensor waits for the test's go-ahead
    return real(*a, **k)
dv.compress = gated  # the tensor-by-tensor add calls the module's compress
lib = sys.argv[1]
base = {n: dv.open_library(lib).base_tensor(n) for n in dv.open_library(lib).base_names()}
dv.add_finetune_from(lib, "killed", {k: v + 1 for k, v in base.items()}, method="none")
"""


def test_killed_writer_leaves_a_loadable_library_and_the_next_cleans_up(tmp_path):
    base = _model()
    dv.create_library(tmp_path / "lib", "b", base)
    dv.add_finetune_from(tmp_path / "lib", "kept", _model(1, 0.01, base))
    proc = subprocess.Popen([sys.executable, "-c", _SLOW_SAVE, str(tmp_path / "lib")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "compressing"
        proc.stdin.write("go\n")
        proc.stdin.flush()
        # The first tensor is written and the second one waits: the writer dies mid-file.
        assert proc.stdout.readline().strip() == "compressing"
    finally:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stdin.close()
    leftovers = [p.name for p in (tmp_path / "lib").iterdir() if p.name.startswith(".vz-tmp")]
    assert leftovers  # the killed writer's half-written file
    assert list(dv.ModelLibrary.load(tmp_path / "lib").deltas) == ["kept"]
    (tmp_path / "lib" / "notes.txt").write_text("mine")
    dv.add_finetune_from(tmp_path / "lib", "next", _model(2, 0.01, base))
    names = set(os.listdir(tmp_path / "lib"))
    assert not any(n.startswith(".vz-tmp") for n in names) and "notes.txt" in names
    assert list(dv.ModelLibrary.load(tmp_path / "lib").deltas) == ["kept", "next"]


# ---- crafted files ------------------------------------------------------------------------------------


def _crafted_base(tmp_path, craft):
    """A saved library whose base file is replaced by `craft(original bytes)` (size and SHA-256
    updated in the manifest, so only the file's own structure can refuse it)."""
    import hashlib
    dv.ModelLibrary("b", _model()).save(tmp_path)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    path = tmp_path / manifest["base"]["file"]
    data = craft(path.read_bytes())
    path.write_bytes(data)
    manifest["base"].update(size=len(data), sha256=hashlib.sha256(data).hexdigest())
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    return tmp_path


def _header(data):
    n = struct.unpack("<Q", data[:8])[0]
    return json.loads(data[8:8 + n]), data[8 + n:]


def _with_header(header, body):
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + body


def _edit(fn):
    def craft(data):
        header, body = _header(data)
        fn(header)
        return _with_header(header, body)
    return craft


@pytest.mark.parametrize("craft, fragment", [
    (lambda d: struct.pack("<Q", 2**63) + d[8:], "exceeds the file"),
    (lambda d: d[:6], "fewer than a header length"),
    (_edit(lambda h: h["embed"].update(data_offsets=[0, 2**62])), "data buffer"),
    (_edit(lambda h: h["embed"].update(data_offsets=[100, 4])), "ends before it begins"),
    (_edit(lambda h: h["embed"].update(shape=[2**40, 2**40])), "too large"),
    (_edit(lambda h: h["embed"].update(shape=[64, 15])), "its shape and dtype need"),
    (_edit(lambda h: h["embed"].update(dtype="Q4")), "unknown dtype"),
    (_edit(lambda h: h["layer.q"].update(data_offsets=h["embed"]["data_offsets"],
                                         shape=h["embed"]["shape"])), "overlap"),
    (lambda d: struct.pack("<Q", 3000) + b"[" * 3000 + d[3008:], "not a JSON object"),
    (lambda d: struct.pack("<Q", 3000) + b'{"a":' + b"[" * 2995 + d[3008:], "nests deeper"),
])
def test_crafted_base_files_are_refused_without_crashing(tmp_path, craft, fragment):
    lib = _crafted_base(tmp_path, craft)
    code = """
    import sys
    from velkor_zuma import deltavault as dv
    for opener in (dv.ModelLibrary.load, dv.open_library):
        try:
            opener(sys.argv[1])
        except ValueError as e:
            print("refused:", e)
        else:
            print("accepted")
    """
    res = _run(code, lib, timeout=PATIENCE)
    assert res.returncode == 0, res.stderr  # no crash, no hang
    lines = res.stdout.strip().splitlines()
    assert len(lines) == 2 and all(l.startswith("refused:") and fragment in l for l in lines), res.stdout


def test_crafted_record_strides_and_metadata_depth_are_refused(tmp_path):
    base = _model()
    lib = dv.ModelLibrary("b", base)
    lib.add_finetune("ft", _model(1, 0.01, base))
    lib.save(tmp_path)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    original = json.dumps(manifest)
    rec = manifest["finetunes"][0]["tensors"][1]
    rec["cores"][0]["strides"] = [2**62, 4, 4][:len(rec["cores"][0]["shape"])]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="strides"):
        dv.ModelLibrary.load(tmp_path)
    manifest = json.loads(original)
    deep = {"dict": {}}
    inner = deep["dict"]
    for _ in range(200):
        inner["x"] = {"dict": {}}
        inner = inner["x"]["dict"]
    manifest["finetunes"][0]["tensors"][0]["metadata"] = deep
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="nests deeper"):
        dv.ModelLibrary.load(tmp_path)


_SAVE_METADATA = """
import sys, dataclasses, numpy as np
from velkor_zuma import deltavault as dv
kind = sys.argv[2]
lib = dv.ModelLibrary("b", {"w": np.ones((4, 4), np.float32)})
rec = lib.add_finetune("ft", {"w": np.full((4, 4), 2, np.float32)}).tensors["w"]
if kind == "list":
    value = []
    value.append(value)
elif kind == "dict":
    value = {}
    value["self"] = [1, (2, value)]
else:
    value = leaf = []
    for _ in range(100_000):
        leaf.append([])
        leaf = leaf[0]
lib.deltas["ft"].tensors["w"] = dataclasses.replace(rec, metadata={"m": value})
try:
    lib.save(sys.argv[1])
except ValueError as e:
    print("refused:", e)
"""


@pytest.mark.parametrize("kind, fragment", [("list", "Circular reference detected"),
                                            ("dict", "Circular reference detected"),
                                            ("deep", "it nests deeper than 32 levels")])
def test_save_refuses_self_referencing_and_deep_metadata(tmp_path, kind, fragment):
    res = _run(_SAVE_METADATA, tmp_path / "lib", kind, timeout=PATIENCE)
    assert res.returncode == 0, res.stderr  # no crash
    assert res.stdout.strip() == f"refused: cannot save the metadata of tensor 'w' of fine-tune 'ft': {fragment}"
    assert not (tmp_path / "lib").exists()  # refused before anything was written


def test_commit_removes_only_files_the_previous_manifest_named(tmp_path):
    base = _model()
    dv.create_library(tmp_path, "b", base)
    dv.add_finetune_from(tmp_path, "ft", _model(1, 0.01, base))
    lookalike = tmp_path / "finetune-0123456789abcdef-7.safetensors"  # named like ours, never listed
    lookalike.write_bytes(b"someone else's")
    dv.add_finetune_from(tmp_path, "ft", _model(2, 0.01, base), replace=True)
    assert lookalike.read_bytes() == b"someone else's"
    (tmp_path / "manifest.json").write_text("{ not json")
    with pytest.raises(FileExistsError, match="belongs to something else"):
        dv.ModelLibrary("b", base).save(tmp_path)


def test_memory_mapped_sources_stay_readable_after_their_pages_are_dropped(tmp_path):
    base = _model()
    tuned = _model(1, 0.01, base)
    dv.create_library(tmp_path / "lib", "b", base)
    mapped = {}
    for name, arr in tuned.items():
        np.save(tmp_path / f"{name}.npy", arr)
        mapped[name] = np.load(tmp_path / f"{name}.npy", mmap_mode="r")
    res = dv.add_finetune_from(tmp_path / "lib", "ft", mapped)
    for name, arr in tuned.items():
        assert np.array_equal(mapped[name], arr)  # the map still reads the file's values
    expected = dv.ModelLibrary("b", base).add_finetune("ft", tuned)
    assert res["stored_bytes"] == expected.stored_bytes()
    got = dv.ModelLibrary.load(tmp_path / "lib").deltas["ft"]
    for name, rec in expected.tensors.items():
        for a, b in zip(rec.cores + rec.factors, got.tensors[name].cores + got.tensors[name].factors):
            assert a.tobytes() == b.tobytes()


def test_create_library_takes_over_a_dead_creators_leftovers_but_not_a_foreign_directory(tmp_path):
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "data.bin").write_bytes(b"x")
    with pytest.raises(FileExistsError, match="not empty"):
        dv.create_library(foreign, "b", _model())
    assert os.listdir(foreign) == ["data.bin"]  # not even a lock file was left there
    dead = tmp_path / "dead"
    dead.mkdir()
    (dead / ".vz-lock").write_text("12345\nvelkor-zuma add-base\n")
    (dead / ".vz-tmp-12345-0123456789abcdef-base-0123456789abcdef.safetensors").write_bytes(b"half")
    dv.create_library(dead, "b", _model())
    assert not [n for n in os.listdir(dead) if n.startswith(".vz-tmp")]
    assert dv.open_library(dead).base_names() == list(_model())


def _set_record_shape(m):
    m["finetunes"][0]["tensors"][1]["shape"] = [8, 32]


def _set_core_shape(m):
    m["finetunes"][0]["tensors"][1]["cores"][0]["shape"] = [1, 16, 3]


def _set_record_dtype(dtype):
    def damage(m):
        m["finetunes"][0]["tensors"][1]["dtype"] = dtype
    return damage


@pytest.mark.parametrize("damage, fragment", [
    (_set_record_shape, "the base tensor of that name has (16, 16)"),
    (_set_core_shape, "does not chain"),
    (_set_record_dtype("int8"), "tensor 1 has the dtype 'int8', but a record holds a floating-point delta"),
    (_set_record_dtype("bool"), "has the dtype 'bool', but a record holds a floating-point delta"),
    (_set_record_dtype("float64"), "tensor 1 (tt) has the dtype 'float64' but holds F32 arrays"),
    (_set_record_dtype("int"), "has the dtype 'int', but a record"),
])
def test_records_that_do_not_fit_their_method_or_base_are_refused(tmp_path, damage, fragment):
    base = _model()
    lib = dv.ModelLibrary("b", base)
    lib.add_finetune("ft", _model(1, 0.01, base))
    lib.save(tmp_path)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert manifest["finetunes"][0]["tensors"][1]["name"] == "layer.q"
    damage(manifest)
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match=r"damaged model library manifest|another shape") as e:
        dv.ModelLibrary.load(tmp_path)
    with pytest.raises(ValueError, match=re.escape(fragment)):
        dv.open_library(tmp_path)


# ---- half-precision files through the streaming paths ------------------------------------------------


def _half_bits(arr, kind):
    """The 16-bit patterns of `arr` in `kind` ("BF16": rounded to nearest even; "F16": numpy's
    float16) and the same values widened to float32."""
    if kind == "F16":
        h = arr.astype(np.float16)
        return h.view(np.uint16), h.astype(np.float32)
    u = arr.astype(np.float32).view(np.uint32).astype(np.uint64)
    bits = ((u + 0x7FFF + ((u >> 16) & 1)) >> 16).astype(np.uint16)
    return bits, (bits.astype(np.uint32) << 16).view(np.float32)


def _typed_file(path, sd, kinds, misalign=False):
    """Writes `sd` as a safetensors file with each tensor in kinds[name] ("BF16", "F16", "F32"),
    bf16 written as raw bits; misalign=True pads the header so that the data starts at an odd
    offset. Returns the values the file holds, widened to float32."""
    header, blobs, widened, offset = {}, [], {}, 0
    for name, arr in sd.items():
        kind = kinds[name]
        if kind == "F32":
            raw, wide = arr.astype(np.float32), arr.astype(np.float32)
        else:
            raw, wide = _half_bits(arr, kind)
        data = np.ascontiguousarray(raw).tobytes()
        header[name] = {"dtype": kind, "shape": list(arr.shape), "data_offsets": [offset, offset + len(data)]}
        blobs.append(data)
        widened[name] = wide
        offset += len(data)
    text = json.dumps(header).encode()
    if misalign:
        text += b" " * ((8 + len(text)) % 2 == 0)
    else:
        text += b" " * (-(8 + len(text)) % 8)
    path.write_bytes(struct.pack("<Q", len(text)) + text + b"".join(blobs))
    return widened


_KIND_PAIRS = [("BF16", "BF16"), ("BF16", "F32"), ("F16", "BF16"), ("F32", "F16"), ("F16", "F16")]


@pytest.mark.parametrize("method", ["tt", "svd", "tucker", "none"])
@pytest.mark.parametrize("base_kind,ft_kind", _KIND_PAIRS)
def test_half_precision_files_add_check_and_export_like_float32_numpy(tmp_path, base_kind, ft_kind, method):
    from velkor_zuma import lowrank
    names = list(_model())
    base_w = _typed_file(tmp_path / "base.safetensors", _model(), dict.fromkeys(names, base_kind),
                         misalign=base_kind != "F32")
    ft_w = _typed_file(tmp_path / "ft.safetensors", _model(1, 0.05, _model()), dict.fromkeys(names, ft_kind),
                       misalign=method == "svd")
    dv.create_library(tmp_path / "lib", "base", tmp_path / "base.safetensors")
    res = dv.add_finetune_from(tmp_path / "lib", "ft", tmp_path / "ft.safetensors", method=method, max_rank=4)
    with dv.open_library(tmp_path / "lib") as r:
        delta = r.delta("ft")
        rebuilt = {name: r.reconstruct_tensor("ft", name) for name in names}
    whole = dv.ModelLibrary("base", base_w, method=method, max_rank=4).add_finetune("ft", ft_w)
    # The float32 model: the delta of the widened values, the record's reconstruction added to
    # the widened base, the error of that against the widened fine-tune.
    num = den = 0.0
    for name in names:
        d = ft_w[name] - base_w[name]
        rec, expected = delta.tensors[name], whole.tensors[name]
        assert (rec.method, rec.shape) == (expected.method, expected.shape)
        for a, b in zip(rec.cores + rec.factors, expected.cores + expected.factors):
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
        if rec.method == lowrank.CompressionMethod.NONE:
            assert np.asarray(rec.cores[0]).tobytes() == d.tobytes()
        x = base_w[name] + lowrank.decompress(rec).astype(np.float32)
        assert rebuilt[name].dtype == np.float32
        np.testing.assert_allclose(rebuilt[name], x, rtol=1e-6, atol=1e-6)
        e = x - ft_w[name]
        num += float(np.sum(e * e, dtype=np.float64))
        den += float(np.sum(ft_w[name] * ft_w[name], dtype=np.float64))
    assert res["error"] == pytest.approx(np.sqrt(num) / (np.sqrt(den) + 1e-12), rel=1e-5, abs=1e-9)
    dv.export_finetune(tmp_path / "lib", "ft", tmp_path / "out.safetensors")
    exported = safetensors_numpy.load_file(str(tmp_path / "out.safetensors"))
    for name in names:
        assert exported[name].dtype == np.float32 and exported[name].tobytes() == rebuilt[name].tobytes()
    # Many fine-tunes at once run the same passes in their tasks.
    dv.create_library(tmp_path / "lib2", "base", tmp_path / "base.safetensors")
    many = dv.add_finetunes_from(tmp_path / "lib2", {"ft": str(tmp_path / "ft.safetensors")}, method=method,
                                 max_rank=4)
    assert many["ft"]["error"] == pytest.approx(res["error"], rel=1e-12)
    with dv.open_library(tmp_path / "lib2") as r:
        other = r.delta("ft")
    for name in names:
        for a, b in zip(delta.tensors[name].cores + delta.tensors[name].factors,
                        other.tensors[name].cores + other.tensors[name].factors):
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
