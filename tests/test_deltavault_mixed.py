"""svd_mixed in the model library: one bit budget over all of a fine-tune's 2-D tensors, the same
records whichever path adds the fine-tune (in memory, tensor by tensor from files or a mapping,
tasks of an executor), records checked when they are read back, and the command's options."""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from velkor_zuma import deltavault as dv
from velkor_zuma import lowrank as L

safetensors_numpy = pytest.importorskip("safetensors.numpy")


def _model(seed=0, scale=0.0, base=None):
    rng = np.random.default_rng(seed)
    shapes = {"embed": (96, 24), "layer.q": (24, 24), "layer.up": (40, 24), "norm": (24,)}
    out = {}
    for name, shape in shapes.items():
        w = rng.standard_normal(shape).astype(np.float32)
        if base is not None:
            # A fine-tune-like change: a few strong directions over a noisy floor.
            low = rng.standard_normal((shape[0], 3)) @ rng.standard_normal((3, int(np.prod(shape[1:]))))
            w = base[name] + scale * (w + low.reshape(shape)).astype(np.float32) if len(shape) > 1 \
                else base[name] + scale * w
        out[name] = w.astype(np.float32)
    return out


def _global_records(base, ft, bits, zstd=False):
    """The records a fine-tune gets under one budget, computed through lowrank alone."""
    deltas = {k: (ft[k] - base[k]).astype(np.float32) for k in ft}
    two = [k for k in deltas if deltas[k].ndim >= 2]
    widths = L.svd_mixed_widths([deltas[k].shape for k in two], [L.svd_spectrum(deltas[k]) for k in two], bits=bits)
    return {k: L.svd_mixed_compress(deltas[k], bits=bits, widths=w, zstd=zstd) for k, w in zip(two, widths)}


def _same_record(a, b):
    assert a.method is b.method and a.shape == b.shape and a.metadata == b.metadata
    for x, y in zip(a.cores, b.cores):
        assert x.dtype == y.dtype and np.array_equal(x, y)


@pytest.fixture
def files(tmp_path):
    base = _model()
    ft = _model(1, 0.01, base)
    safetensors_numpy.save_file(base, str(tmp_path / "base.safetensors"))
    safetensors_numpy.save_file(ft, str(tmp_path / "ft.safetensors"))
    dv.create_library(tmp_path / "lib", "b", tmp_path / "base.safetensors")
    return tmp_path, base, ft


# ---- one budget, every path --------------------------------------------------------------------------


@pytest.mark.parametrize("bits", [0.6, 1.2, 2.5])
def test_in_memory_add_spends_one_budget_over_the_fine_tune(bits):
    base = _model()
    ft = _model(1, 0.01, base)
    lib = dv.ModelLibrary("b", base, method="svd_mixed", bits=bits)
    rec = lib.add_finetune("ft", ft)
    want = _global_records(base, ft, bits)
    assert set(want) == {"embed", "layer.q", "layer.up"}
    for name, r in want.items():
        _same_record(rec.tensors[name], r)
    assert rec.tensors["norm"].method is L.CompressionMethod.NONE
    # The codes and scales stay within the budget (widths and the uncompressed norm are extra).
    two = [r for r in rec.tensors.values() if r.method is L.CompressionMethod.SVD_MIXED]
    code_bits = sum(8 * (r.cores[0].nbytes + r.cores[1].nbytes) for r in two)
    assert code_bits <= bits * sum(int(np.prod(r.shape)) for r in two) + 8 * 3 * max(r.shape[0] for r in two)
    # More bits, less error.
    err = lib.reconstruction_error("ft", ft)
    assert 0 < err < 1


def test_a_global_budget_differs_from_per_tensor_budgets():
    base = _model()
    ft = _model(1, 0.01, base)
    lib = dv.ModelLibrary("b", base, method="svd_mixed", bits=1.0)
    rec = lib.add_finetune("ft", ft)
    own = {k: L.compress((ft[k] - base[k]).astype(np.float32), "svd_mixed", bits=1.0) for k in ("embed", "layer.q")}
    ranks = {k: rec.tensors[k].metadata["rank"] for k in own}
    assert ranks != {k: r.metadata["rank"] for k, r in own.items()}


@pytest.mark.parametrize("zstd", [False, True])
@pytest.mark.parametrize("how", ["path", "mapping", "executor", "add_finetunes_from"])
def test_every_add_path_stores_the_same_records(files, how, zstd):
    if zstd:
        pytest.importorskip("zstandard")
    tmp, base, ft = files
    lib = tmp / "lib"
    kw = dict(method="svd_mixed", bits=1.5, zstd=zstd)
    seen = []
    progress = lambda *a: seen.append(a)  # noqa: E731
    if how == "path":
        res = dv.add_finetune_from(lib, "ft", tmp / "ft.safetensors", progress=progress, **kw)
    elif how == "mapping":
        res = dv.add_finetune_from(lib, "ft", dict(ft), progress=progress, **kw)
    elif how == "executor":
        with ThreadPoolExecutor(2) as ex:
            res = dv.add_finetune_from(lib, "ft", tmp / "ft.safetensors", executor=ex, progress=progress, **kw)
    else:
        res = dv.add_finetunes_from(lib, {"ft": tmp / "ft.safetensors"}, task_bytes=1, progress=progress, **kw)["ft"]
    assert res["methods"] == {"svd_mixed": 3, "none": 1}
    # The first pass (spectra) and the second (records) each count every tensor.
    assert seen[-1][0] == seen[-1][1] == 2 * len(ft)
    want = _global_records(base, ft, 1.5, zstd)
    loaded = dv.ModelLibrary.load(lib)
    for name, r in want.items():
        _same_record(loaded.deltas["ft"].tensors[name], r)
    assert loaded.reconstruction_error("ft", ft) == pytest.approx(res["error"], rel=1e-5)
    with dv.open_library(lib) as r:
        _same_record(r.delta("ft").tensors["layer.q"], want["layer.q"])


def test_library_settings_round_trip_and_apply_to_streaming_adds(files):
    tmp, base, ft = files
    lib = dv.ModelLibrary("b", base, method="svd_mixed", bits=0.8)
    lib.save(tmp / "saved")
    manifest = json.loads((tmp / "saved" / "manifest.json").read_text())
    assert manifest["bits"] == 0.8 and "zstd" not in manifest
    assert dv.ModelLibrary.load(tmp / "saved").bits == 0.8
    res = dv.add_finetune_from(tmp / "saved", "ft", tmp / "ft.safetensors")
    assert res["methods"]["svd_mixed"] == 3
    rec = dv.ModelLibrary.load(tmp / "saved").deltas["ft"].tensors["embed"]
    assert rec.metadata["bits"] == 0.8


# ---- records read back are checked ------------------------------------------------------------------------


def _other_width(codes, scales, widths, meta):
    widths = widths.copy()
    widths[0] = 2 if widths[0] != 2 else 3  # the code stream's length no longer fits the widths
    return (codes, scales, widths), meta


def _extra_scale_row(codes, scales, widths, meta):
    return (codes, np.vstack([scales, scales[:1]]), widths), meta


def _rank_beyond_the_matrix(codes, scales, widths, meta):
    return (codes, scales, widths), dict(meta, rank=10_000)


def _short_codes(codes, scales, widths, meta):
    return (codes[:-1], scales, widths), meta


@pytest.mark.parametrize("craft, fragment", [
    (_other_width, "codes has shape"),
    (_extra_scale_row, "scales (has shape|.*do not fit)"),
    (_rank_beyond_the_matrix, "'rank' is out of range"),
    (_short_codes, "codes has shape"),
])
def test_records_that_do_not_fit_their_widths_are_refused_when_read(tmp_path, craft, fragment):
    base = _model()
    lib = dv.ModelLibrary("b", base, method="svd_mixed")
    d = lib.add_finetune("ft", _model(1, 0.01, base))
    r = d.tensors["layer.q"]
    cores, meta = craft(*r.cores, dict(r.metadata))
    d.tensors["layer.q"] = L.CompressedTensor(r.method, r.shape, r.dtype, cores, (), meta)
    with pytest.raises(ValueError, match=fragment):
        L.decompress(d.tensors["layer.q"])
    lib.save(tmp_path / "lib")
    with pytest.raises(ValueError, match=fragment):
        dv.ModelLibrary.load(tmp_path / "lib")
    with pytest.raises(ValueError, match=fragment):
        dv.export_finetune(tmp_path / "lib", "ft", tmp_path / "out.safetensors")


# ---- the command ---------------------------------------------------------------------------------------------


def _cli(*args):
    command = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]
    return subprocess.run(command + [str(a) for a in args], capture_output=True, text=True,
                          env=dict(os.environ, OMP_NUM_THREADS="1"), timeout=300)


def test_command_adds_svd_mixed_and_sign_without_a_low_rank_part(files):
    tmp, base, ft = files
    lib = tmp / "lib"
    r = _cli("add-finetune", tmp / "ft.safetensors", "--library", lib, "--id", "mixed", "--method", "svd_mixed",
             "--bits", "1.5")
    assert r.returncode == 0, r.stderr
    assert "svd_mixed 3" in r.stdout
    r = _cli("add-finetune", tmp / "ft.safetensors", "--library", lib, "--id", "sign", "--method", "sign")
    assert r.returncode == 0, r.stderr
    loaded = dv.ModelLibrary.load(lib)
    assert loaded.deltas["mixed"].tensors["embed"].metadata["bits"] == 1.5
    assert all(t.metadata["rank"] == 0 for t in loaded.deltas["sign"].tensors.values()
               if t.method is L.CompressionMethod.SIGN)
    r = _cli("add-finetune", tmp / "ft.safetensors", "--library", lib, "--id", "x", "--method", "tt", "--bits", "1")
    assert r.returncode == 2 and "--bits goes with --method svd_mixed" in r.stderr


# ---- what a fine-tune costs on disk, and against what ---------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float16, np.float32])
def test_ratios_are_against_the_fine_tune_in_its_own_types(tmp_path, dtype):
    base = {k: v.astype(dtype) for k, v in _model().items()}
    ft = {k: v.astype(dtype) for k, v in _model(1, 0.01, _model()).items()}
    safetensors_numpy.save_file(base, str(tmp_path / "base.safetensors"))
    safetensors_numpy.save_file(ft, str(tmp_path / "ft.safetensors"))
    dv.create_library(tmp_path / "lib", "b", tmp_path / "base.safetensors")
    res = dv.add_finetune_from(tmp_path / "lib", "ft", tmp_path / "ft.safetensors", method="sign", max_rank=0)
    own = sum(v.nbytes for v in ft.values())
    assert res["dense_bytes"] == own
    with dv.open_library(tmp_path / "lib") as lib:
        assert lib.finetune_info("ft")["dense_bytes"] == own
        assert lib.summary()["naive_total_bytes"] == own
    r = _cli("list", "--library", tmp_path / "lib")
    assert r.returncode == 0, r.stderr
    assert "in their own types" in r.stdout and f"{own / res['stored_bytes']:.2f}x" in r.stdout


def test_per_tensor_overhead_on_disk_is_small(files):
    tmp, base, ft = files
    res = dv.add_finetune_from(tmp / "lib", "ft", tmp / "ft.safetensors", method="svd_mixed")
    arrays = 3 * 3 + 1
    # The file's header: about one short JSON object per array, not a reserve padded with spaces.
    assert res["file_bytes"] - res["stored_bytes"] <= 8 + 120 * arrays + 64
    entry = json.loads((tmp / "lib" / "manifest.json").read_text())["finetunes"][0]
    per_tensor = len(json.dumps(entry, separators=(",", ":"))) / len(entry["tensors"])
    assert per_tensor < 450
    assert len((tmp / "lib" / "manifest.json").read_bytes()) <= len(json.dumps(
        json.loads((tmp / "lib" / "manifest.json").read_text()), separators=(",", ":"))) + 1
