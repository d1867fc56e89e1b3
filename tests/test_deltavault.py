"""Model library: storing fine-tunes as compressed deltas, reconstruction, byte accounting,
the error metric, the fused native passes against numpy, and libraries saved on disk."""

import collections
import dataclasses
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from velkor_zuma import deltavault as dv
from velkor_zuma.lowrank import CompressedTensor, CompressionMethod


def _state(seed=0, dtype=np.float32):
    rng = np.random.default_rng(seed)
    return {
        "attn.q": rng.standard_normal((24, 16)).astype(dtype),
        "mlp.up": rng.standard_normal((4, 6, 8)).astype(dtype),
        "norm.w": rng.standard_normal(16).astype(dtype),
        "scale": np.asarray(rng.standard_normal(), dtype=dtype),
    }


def _finetune(base, seed=1, scale=0.01):
    rng = np.random.default_rng(seed)
    return {k: (v + scale * rng.standard_normal(v.shape)).astype(v.dtype) for k, v in base.items()}


@pytest.fixture
def base():
    return _state()


# ---- records --------------------------------------------------------------------------------------


def test_records_fields_and_defaults(base):
    assert [f.name for f in dataclasses.fields(dv.CompressedDelta)] == ["model_id", "tensors", "base_id"]
    assert [f.name for f in dataclasses.fields(dv.ModelLibrary)] == [
        "base_id", "base", "deltas", "method", "max_rank", "energy", "solver", "max_error", "bits", "zstd"]
    lib, other = dv.ModelLibrary("b", base), dv.ModelLibrary("b", {})
    assert lib.deltas == {} and lib.deltas is not other.deltas
    assert lib.method is CompressionMethod.TENSOR_TRAIN and lib.max_rank == 8 and lib.energy is None
    assert lib.solver == "exact" and lib.bits == 1.2 and lib.zstd is False
    assert lib.base is base
    lib.max_rank = 4  # mutable
    assert dv.CompressionMethod is CompressionMethod and dv.CompressedTensor is CompressedTensor


def test_import_fails_when_lowrank_lacks_a_name():
    code = ("import velkor_zuma.lowrank as l\ndel l.svd_compress_energy\n"
            "try:\n    import velkor_zuma.deltavault\nexcept ImportError as e:\n"
            "    print('ImportError', e.__cause__ or e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("ImportError") and "svd_compress_energy" in out.stdout


# ---- storing ---------------------------------------------------------------------------------------


def test_add_finetune_default_methods(base):
    lib = dv.ModelLibrary("base", base)
    ft = _finetune(base)
    rec = lib.add_finetune("ft", ft)
    assert lib.deltas["ft"] is rec and rec.model_id == "ft" and rec.base_id == "base"
    assert list(rec.tensors) == list(ft)
    for name, r in rec.tensors.items():
        assert r.dtype == "float32" and all(a.dtype == np.float32 for a in r.cores + r.factors)
        assert r.shape == ft[name].shape
    # vectors and scalars: uncompressed float32 differences
    for name in ("norm.w", "scale"):
        assert rec.tensors[name].method is CompressionMethod.NONE
        np.testing.assert_array_equal(rec.tensors[name].cores[0], (ft[name] - base[name]).astype(np.float32))
    tt = rec.tensors["attn.q"]
    assert tt.method is CompressionMethod.TENSOR_TRAIN and max(tt.metadata["ranks"]) <= 8


def test_missing_base_names_and_base_only_names(base):
    lib = dv.ModelLibrary("base", base)
    extra = np.arange(12, dtype=np.float64).reshape(3, 4)
    lib.add_finetune("ft", {"norm.w": base["norm.w"] + 1, "new": extra})
    out = lib.reconstruct("ft")
    assert list(out) == ["norm.w", "new"]  # base tensors the fine-tune lacks are not included
    assert out["new"].dtype == np.float32
    np.testing.assert_allclose(out["new"], extra, atol=1e-5)
    np.testing.assert_allclose(out["norm.w"], base["norm.w"] + 1, atol=1e-6)


def test_method_svd_ignores_max_rank(base):
    lib = dv.ModelLibrary("base", base, method="svd", max_rank=2)
    rec = lib.add_finetune("ft", _finetune(base))
    assert rec.tensors["attn.q"].method is CompressionMethod.SVD
    assert rec.tensors["attn.q"].cores[0].shape == (8,)  # ceil(0.5 * min(24, 16))


@pytest.mark.parametrize("max_rank,expected", [(0, None), (8, 8), (3, 3)])
def test_energy_path_rank_cap(base, monkeypatch, max_rank, expected):
    calls = []
    real = dv.svd_compress_energy

    def spy(tensor, **kw):
        calls.append(kw)
        return real(tensor, **kw)

    monkeypatch.setattr(dv, "svd_compress_energy", spy)
    lib = dv.ModelLibrary("base", base, energy=0.9, max_rank=max_rank)
    rec = lib.add_finetune("ft", _finetune(base))
    assert calls == [{"energy": 0.9, "max_rank": expected}] * 2  # the two deltas of ndim >= 2
    assert rec.tensors["attn.q"].metadata["energy"] == 0.9
    assert rec.tensors["norm.w"].method is CompressionMethod.NONE


@pytest.mark.parametrize("solver", ["exact", "auto", "randomized"])
@pytest.mark.parametrize("energy", [None, 0.9])
def test_solver_reaches_the_compressors_only_when_not_exact(base, monkeypatch, solver, energy):
    calls = []
    for name in ("compress", "svd_compress_energy"):
        real = getattr(dv, name)

        def spy(tensor, *args, _real=real, _name=name, **kw):
            calls.append((_name, tensor.ndim, kw.get("solver", "absent")))
            return _real(tensor, *args, **kw)

        monkeypatch.setattr(dv, name, spy)
    lib = dv.ModelLibrary("base", base, energy=energy, solver=solver)
    lib.add_finetune("ft", _finetune(base))
    wanted = "absent" if solver == "exact" else solver
    big = [c for c in calls if c[1] >= 2]
    assert len(big) == 2 and all(c[2] == wanted for c in big)
    assert all(c[0] == ("compress" if energy is None else "svd_compress_energy") for c in big)


def _model_shaped(seed):
    rng = np.random.default_rng(seed)
    return {"mlp.up": rng.standard_normal((352, 160)).astype(np.float32),
            "attn.o": rng.standard_normal((160, 160)).astype(np.float32),
            "norm.w": rng.standard_normal(160).astype(np.float32)}


@pytest.mark.parametrize("energy", [None, 0.5])
def test_auto_library_matches_the_exact_one(energy):
    base = _model_shaped(0)
    rng = np.random.default_rng(1)
    ft = {k: v + (0.05 * (rng.standard_normal((v.shape[0], 8)) @ rng.standard_normal((8, v.shape[1])))
                  + 0.01 * rng.standard_normal(v.shape) if v.ndim == 2 else 0.01 * rng.standard_normal(v.shape))
          .astype(np.float32) for k, v in base.items()}
    exact = dv.ModelLibrary("b", base, energy=energy)
    auto = dv.ModelLibrary("b", base, energy=energy, solver="auto")
    e_rec, a_rec = exact.add_finetune("ft", ft), auto.add_finetune("ft", ft)
    for name in ("mlp.up", "attn.o"):
        assert "solver" not in e_rec.tensors[name].metadata
        assert a_rec.tensors[name].metadata == {**e_rec.tensors[name].metadata, "solver": "randomized"}
    assert a_rec.tensors["norm.w"].metadata == {}
    err_e = dv.reconstruction_error(exact.reconstruct("ft"), ft)
    err_a = dv.reconstruction_error(auto.reconstruct("ft"), ft)
    assert err_a <= 1.01 * err_e


def test_bad_solver_leaves_the_library_unchanged(base):
    lib = dv.ModelLibrary("base", base, solver="fastest")
    with pytest.raises(ValueError, match="solver must be one of 'exact', 'randomized', 'auto'"):
        lib.add_finetune("ft", _finetune(base))
    assert lib.deltas == {}


def test_replace_on_same_id(base):
    lib = dv.ModelLibrary("base", base)
    lib.add_finetune("ft", _finetune(base, 1))
    once = lib.stored_bytes()
    second = lib.add_finetune("ft", {"norm.w": base["norm.w"] * 2})
    assert list(lib.deltas) == ["ft"] and lib.deltas["ft"] is second
    assert lib.stored_bytes() == lib.base_bytes() + second.stored_bytes() < once


@pytest.mark.parametrize("call", [
    lambda lib: lib.add_finetune(1, {}),
    lambda lib: lib.add_finetune("x", collections.OrderedDict()),
    lambda lib: lib.reconstruct(b"ft"),
    lambda lib: lib.naive_bytes([]),
    lambda lib: lib.summary(collections.OrderedDict()),
    lambda lib: dv._nbytes(collections.OrderedDict()),
    lambda lib: dv.reconstruction_error({}, collections.OrderedDict()),
    lambda lib: lib.add_finetune(None, {}),
    lambda lib: lib.reconstruct(None),
    lambda lib: dv.reconstruction_error(None, {}),
])
def test_argument_types_are_exact(base, call):
    with pytest.raises(TypeError, match=r"Argument '\w+' has incorrect type \(expected (str|dict), got \w+\)"):
        call(dv.ModelLibrary("base", base))


def test_model_id_message(base):
    with pytest.raises(TypeError, match=r"^Argument 'model_id' has incorrect type \(expected str, got int\)$"):
        dv.ModelLibrary("base", base).add_finetune(3, {})


# ---- the shape mend and all-or-nothing ------------------------------------------------------------


def test_shape_mismatch_refused_and_library_unchanged(base):
    lib = dv.ModelLibrary("base", base)
    first = lib.add_finetune("ft", _finetune(base))
    bad = dict(_finetune(base, 2), **{"norm.w": np.ones((1, 16), np.float32)})
    with pytest.raises(ValueError, match=r"^shape mismatch for 'norm\.w': fine-tune \(1, 16\) vs base \(16,\)$"):
        lib.add_finetune("ft", bad)
    with pytest.raises(ValueError, match=r"fine-tune \(\) vs base \(\)|fine-tune \(3,\) vs base \(\)"):
        lib.add_finetune("other", {"scale": np.ones(3, np.float32)})
    assert lib.deltas == {"ft": first} and lib.deltas["ft"] is first


def test_compressor_failure_leaves_library_unchanged(base, monkeypatch):
    lib = dv.ModelLibrary("base", base)
    real = dv.compress
    seen = []

    def flaky(tensor, method, **kw):
        seen.append(method)
        if len(seen) == 2:
            raise RuntimeError("boom")
        return real(tensor, method, **kw)

    monkeypatch.setattr(dv, "compress", flaky)
    with pytest.raises(RuntimeError, match="boom"):
        lib.add_finetune("ft", _finetune(base))
    assert lib.deltas == {}


# ---- reconstruct ----------------------------------------------------------------------------------


@pytest.mark.parametrize("base_dtype,out_dtype", [
    (np.float32, np.float32), (np.float64, np.float64), (np.float16, np.float32)])
def test_reconstruct_order_names_dtypes(base_dtype, out_dtype):
    b = _state(0, base_dtype)
    ft = _finetune(b)
    lib = dv.ModelLibrary("base", b, method="none")
    rec = lib.add_finetune("ft", ft)
    out = lib.reconstruct("ft")
    assert list(out) == list(ft)
    for name, arr in out.items():
        assert arr.dtype == out_dtype and arr.shape == ft[name].shape
        np.testing.assert_array_equal(arr, b[name] + rec.tensors[name].cores[0])


@pytest.mark.parametrize("method", ["tt", "svd", "tucker"])
@pytest.mark.parametrize("base_dtype", [np.float16, np.float32, np.float64])
def test_reconstruct_compressed_records_is_base_plus_decompress(method, base_dtype):
    b = _state(3, base_dtype)
    lib = dv.ModelLibrary("base", b, method=method)
    rec = lib.add_finetune("ft", _finetune(b, 4, 0.1))
    out = lib.reconstruct("ft")
    for name, r in rec.tensors.items():
        expected = b[name] + dv.decompress(r)
        assert out[name].dtype == expected.dtype
        np.testing.assert_array_equal(out[name], expected)


def test_reconstruct_leaves_records_intact(base):
    lib = dv.ModelLibrary("base", base, method="none")
    rec = lib.add_finetune("ft", _finetune(base))
    cores = {k: r.cores[0].copy() for k, r in rec.tensors.items()}
    first = lib.reconstruct("ft")
    second = lib.reconstruct("ft")
    for k in cores:
        np.testing.assert_array_equal(rec.tensors[k].cores[0], cores[k])
        np.testing.assert_array_equal(first[k], second[k])
        assert first[k] is not second[k]


def test_reconstruct_unknown_id(base):
    with pytest.raises(KeyError, match="nope"):
        dv.ModelLibrary("base", base).reconstruct("nope")


# ---- accounting -----------------------------------------------------------------------------------


def test_byte_accounting_and_summary(base):
    lib = dv.ModelLibrary("base", base)
    fts = {"a": _finetune(base, 1), "b": {"norm.w": base["norm.w"].astype(np.float16)}}
    for k, v in fts.items():
        lib.add_finetune(k, v)
    base_b = sum(v.size * v.dtype.itemsize for v in base.values())
    assert dv._nbytes(base) == lib.base_bytes() == base_b
    assert lib.naive_bytes(fts) == base_b + 16 * 2  # the float16 fine-tune counts 2 bytes an element
    assert lib.deltas["b"].stored_bytes() == 16 * 4  # its NONE delta is float32: twice its dense size
    deltas = sum(d.stored_bytes() for d in lib.deltas.values())
    assert lib.stored_bytes() == base_b + deltas
    s = lib.summary(fts)
    assert list(s) == ["n_models", "base_bytes", "naive_total_bytes", "velkor_zuma_bytes", "overall_ratio",
                       "delta_only_bytes"]
    assert s == {"n_models": 2, "base_bytes": base_b, "naive_total_bytes": base_b + 32,
                 "velkor_zuma_bytes": base_b + deltas, "overall_ratio": (base_b + 32) / (base_b + deltas),
                 "delta_only_bytes": deltas}
    assert dv.CompressedDelta("x", {}, "b").stored_bytes() == 0


def test_empty_library_summary():
    lib = dv.ModelLibrary("empty", {})
    assert lib.stored_bytes() == 0 and dv._nbytes({}) == 0
    s = lib.summary({})
    assert s["overall_ratio"] == math.inf
    assert [v for k, v in s.items() if k != "overall_ratio"] == [0, 0, 0, 0, 0]


# ---- error metric ---------------------------------------------------------------------------------


def _reference_error(a, b):
    num = den = 0.0
    for k, x in a.items():
        x = np.asarray(x).astype(np.float32)
        y = np.asarray(b[k]).astype(np.float32)
        d = x - y
        num += float(np.sum(d * d, dtype=np.float64))
        den += float(np.sum(y * y, dtype=np.float64))
    return math.sqrt(num) / (math.sqrt(den) + 1e-12)


def test_reconstruction_error_edges(base):
    assert dv.reconstruction_error(base, base) == 0.0
    assert dv.reconstruction_error({}, base) == 0.0
    zeros = {k: np.zeros_like(v) for k, v in base.items()}
    num = sum(float(np.sum(v.astype(np.float64) ** 2)) for v in base.values())
    assert dv.reconstruction_error(base, zeros) == pytest.approx(math.sqrt(num) / 1e-12, rel=1e-6)
    assert dv.reconstruction_error({"norm.w": base["norm.w"]}, base) == 0.0  # names only in b ignored
    with pytest.raises(KeyError, match="attn.q"):
        dv.reconstruction_error(base, {"norm.w": base["norm.w"]})


def test_reconstruction_error_broadcasts_like_numpy():
    a, b = {"t": np.ones((3, 4), np.float32)}, {"t": np.full(4, 2.0, np.float32)}
    assert dv.reconstruction_error(a, b) == pytest.approx(_reference_error(a, b), rel=1e-12)
    with pytest.raises(ValueError):
        dv.reconstruction_error({"t": np.ones(3)}, {"t": np.ones(4)})


# ---- fused passes against numpy -------------------------------------------------------------------

DTYPES = [np.float16, np.float32, np.float64, np.int16]
LAYOUTS = {
    "contiguous": lambda a: a,
    "transposed": lambda a: a.T,
    "strided": lambda a: a[::2, 1:],
}


def _operands(wd, bd, layout, seed):
    rng = np.random.default_rng(seed)
    scale = rng.choice([1e-3, 1.0, 300.0], size=(70, 90))  # wide range, exercises float16 rounding
    w = (rng.standard_normal((70, 90)) * scale)
    b = w + rng.standard_normal((70, 90)) * 0.05
    cast = LAYOUTS[layout]
    return cast(w.astype(wd)), cast(b.astype(bd))


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("wd", DTYPES)
@pytest.mark.parametrize("bd", DTYPES)
def test_fused_passes_match_numpy(wd, bd, layout):
    w, b = _operands(wd, bd, layout, seed=hash((wd, bd, layout)) % 1000)
    lib = dv.ModelLibrary("base", {"t": b}, method="none")
    stored = lib.add_finetune("ft", {"t": w}).tensors["t"].cores[0]
    expected = (w - b).astype(np.float32)
    assert stored.dtype == np.float32
    np.testing.assert_array_equal(stored.view(np.uint32), expected.view(np.uint32))
    out = lib.reconstruct("ft")["t"]
    ref = b + expected
    assert out.dtype == ref.dtype
    np.testing.assert_array_equal(out, ref)
    err = dv.reconstruction_error({"t": w}, {"t": b})
    assert err == pytest.approx(_reference_error({"t": w}, {"t": b}), rel=1e-9)


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_fused_passes_large_and_special_values(dtype):
    # Large enough to run in blocks on several threads with streaming stores; signed zeros and
    # large values pass through as numpy's do, values that are not finite are refused by name
    # and first index wherever the scan's threads find them.
    rng = np.random.default_rng(5)
    n = 1_100_003
    w = (rng.standard_normal(n) * 10).astype(dtype)
    b = (rng.standard_normal(n) * 10).astype(dtype)
    w[:4] = [1e4, -0.0, 3.0, -1e4]
    b[:4] = [-1e4, 0.0, 2.0, 1e4]
    lib = dv.ModelLibrary("base", {"v": b})
    got = lib.add_finetune("ft", {"v": w, "new": w}).tensors
    expected = (w - b).astype(np.float32)
    np.testing.assert_array_equal(got["v"].cores[0].view(np.uint32), expected.view(np.uint32))
    np.testing.assert_array_equal(got["new"].cores[0], w.astype(np.float32))
    a, r = {"v": w[4:]}, {"v": b[4:]}
    assert dv.reconstruction_error(a, r) == pytest.approx(_reference_error(a, r), rel=1e-9)
    w[[n - 7, n - 3, 70_001]] = [np.nan, np.inf, -np.inf]
    with pytest.raises(ValueError, match=r"^cannot store tensor 'v' of fine-tune 'bad': it holds -inf at index "
                                         r"\(70001,\); only finite values"):
        lib.add_finetune("bad", {"v": w})
    assert list(lib.deltas) == ["ft"]


@pytest.mark.parametrize("keep", [
    lambda t: t,  # the delta itself
    lambda t: t.reshape(-1)[1:],  # a view of it
    lambda t: memoryview(t),  # an export of its buffer
])
def test_deltas_kept_by_a_compressor_are_never_overwritten(monkeypatch, keep):
    # Deltas are written into a reused buffer; a compressor that keeps some of them must see
    # them unchanged after later tensors were processed.
    rng = np.random.default_rng(11)
    base = {f"t{i}": rng.standard_normal((40, 36 - i)).astype(np.float32) for i in range(6)}
    ft = {k: v + rng.standard_normal(v.shape).astype(np.float32) for k, v in base.items()}
    kept = {}

    def compressor(tensor, method, **kw):
        held = keep(tensor) if len(kept) % 2 == 0 else None
        kept[len(kept)] = (held, None if held is None else np.array(held), tensor.copy())
        return None

    monkeypatch.setattr(dv, "compress", compressor)
    dv.ModelLibrary("base", base).add_finetune("ft", ft)
    assert len(kept) == len(base)
    for i, (held, snapshot, delta) in enumerate(kept.values()):
        np.testing.assert_array_equal(delta, (ft[f"t{i}"] - base[f"t{i}"]).astype(np.float32))
        if held is not None:
            np.testing.assert_array_equal(np.asarray(held), snapshot)


def test_results_do_not_depend_on_thread_count(monkeypatch):
    rng = np.random.default_rng(12)
    a = {"t": rng.standard_normal(900_001).astype(np.float32)}
    b = {"t": rng.standard_normal(900_001).astype(np.float64)}
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VZ_NUM_THREADS", threads)
        delta = dv.ModelLibrary("base", b).add_finetune("ft", a).tensors["t"].cores[0]
        results.append((dv.reconstruction_error(a, b), delta.tobytes()))
    assert results[0] == results[1] == results[2]


def test_non_array_values_follow_numpy():
    lib = dv.ModelLibrary("base", {"t": [1.0, 2.0]})
    rec = lib.add_finetune("ft", {"t": np.array([1.5, 2.5])})
    np.testing.assert_array_equal(rec.tensors["t"].cores[0], np.array([0.5, 0.5], np.float32))
    assert dv.reconstruction_error({"t": [1, 2]}, {"t": np.array([1, 2], np.int8)}) == 0.0


# ---- libraries on disk ----------------------------------------------------------------------------


def _library(kind, base):
    settings = {"tt": {}, "svd": {"method": "svd"}, "tucker": {"method": CompressionMethod.TUCKER},
                "energy": {"energy": 0.95, "max_rank": 0}, "none": {"method": "none"}}[kind]
    lib = dv.ModelLibrary("base-model", base, **settings)
    lib.add_finetune("org/ft-1", _finetune(base, 1))
    lib.add_finetune("ft 2", dict(_finetune(base, 2, 0.1), extra=np.ones((5, 3), np.float64)))
    return lib


def _assert_same_library(lib, loaded):
    assert type(loaded) is dv.ModelLibrary
    assert (loaded.base_id, loaded.method, loaded.max_rank, loaded.energy) == (
        lib.base_id, lib.method, lib.max_rank, lib.energy)
    assert type(loaded.method) is type(lib.method)
    assert list(loaded.base) == list(lib.base) and list(loaded.deltas) == list(lib.deltas)
    for k, v in lib.base.items():
        assert loaded.base[k].dtype == v.dtype and loaded.base[k].tobytes() == v.tobytes()
    for mid, delta in lib.deltas.items():
        other = loaded.deltas[mid]
        assert (other.model_id, other.base_id, list(other.tensors)) == (delta.model_id, delta.base_id,
                                                                       list(delta.tensors))
        for name, r in delta.tensors.items():
            o = other.tensors[name]
            assert (o.method, o.shape, o.dtype, o.metadata) == (r.method, r.shape, r.dtype, r.metadata)
            assert o.method is r.method and type(o.shape) is tuple
            assert o.compressed_size_bytes == r.compressed_size_bytes
        a, b = lib.reconstruct(mid), loaded.reconstruct(mid)
        assert list(a) == list(b)
        for name in a:
            assert a[name].dtype == b[name].dtype and a[name].tobytes() == b[name].tobytes()


@pytest.mark.parametrize("kind", ["tt", "svd", "tucker", "energy", "none"])
def test_save_load_round_trip_bit_for_bit(tmp_path, base, kind):
    lib = _library(kind, base)
    lib.save(tmp_path / "lib")
    _assert_same_library(lib, dv.ModelLibrary.load(tmp_path / "lib"))
    _assert_same_library(lib, dv.ModelLibrary.load(str(tmp_path / "lib")))


@pytest.mark.parametrize("solver", ["exact", "randomized", "auto"])
def test_save_load_keeps_the_solver(tmp_path, base, solver):
    lib = dv.ModelLibrary("base", base, solver=solver)
    lib.add_finetune("ft", _finetune(base))
    lib.save(tmp_path / "lib")
    assert json.loads((tmp_path / "lib" / "manifest.json").read_text())["solver"] == solver
    loaded = dv.ModelLibrary.load(tmp_path / "lib")
    assert loaded.solver == solver
    _assert_same_library(lib, loaded)
    # A fine-tune streamed in without a solver uses the library's.
    res = dv.add_finetune_from(tmp_path / "lib", "ft2", _finetune(base, 2))
    again = dv.ModelLibrary.load(tmp_path / "lib")
    assert again.solver == solver
    expected = dv.ModelLibrary("base", base, solver=solver).add_finetune("ft2", _finetune(base, 2))
    for name, rec in expected.tensors.items():
        got = again.deltas["ft2"].tensors[name]
        assert got.metadata == rec.metadata
        for a, b in zip(rec.cores + rec.factors, got.cores + got.factors):
            assert a.tobytes() == b.tobytes()
    assert res["stored_bytes"] == expected.stored_bytes()


def test_libraries_saved_without_a_solver_load_as_exact(tmp_path, base):
    lib = dv.ModelLibrary("base", base, solver="auto")
    lib.add_finetune("ft", _finetune(base))
    lib.save(tmp_path)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    del manifest["solver"]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    assert dv.ModelLibrary.load(tmp_path).solver == "exact"


def test_streaming_add_refuses_a_bad_solver_with_lowranks_message(tmp_path, base):
    dv.ModelLibrary("base", base).save(tmp_path)
    before = (tmp_path / "manifest.json").read_bytes()
    with pytest.raises(ValueError, match=r"^solver must be one of 'exact', 'randomized', 'auto', got 'fastest'$"):
        dv.add_finetune_from(tmp_path, "ft", _finetune(base), solver="fastest")
    assert (tmp_path / "manifest.json").read_bytes() == before


def test_save_load_keeps_strided_record_arrays(tmp_path, base):
    # A record whose factors are slices of larger arrays comes back with the same strides,
    # so numpy decompresses it along the same path and the result is bit-for-bit the same.
    rng = np.random.default_rng(9)
    u = rng.standard_normal((24, 16)).astype(np.float32)
    vt = rng.standard_normal((16, 16)).astype(np.float32)
    s = np.linspace(1, 0.1, 16).astype(np.float32)
    rec = CompressedTensor(CompressionMethod.SVD, (24, 16), "float32", (s[:5],), (u[:, :5], vt[:5]),
                           {"rank": 5})
    lib = dv.ModelLibrary("base", base)
    lib.deltas["hand"] = dv.CompressedDelta("hand", {"attn.q": rec}, "base")
    lib.save(tmp_path)
    loaded = dv.ModelLibrary.load(tmp_path)
    factor = loaded.deltas["hand"].tensors["attn.q"].factors[0]
    assert factor.strides == u[:, :5].strides and not factor.flags.c_contiguous
    _assert_same_library(lib, loaded)


def test_save_stores_compressed_records_not_dense(tmp_path):
    rng = np.random.default_rng(0)
    big = {"w": rng.standard_normal((256, 256)).astype(np.float32)}
    lib = dv.ModelLibrary("b", big)
    lib.add_finetune("ft", {"w": big["w"] + 0.01})
    lib.save(tmp_path)
    sizes = {p.name.split("-")[0]: p.stat().st_size for p in tmp_path.glob("*.safetensors")}
    assert sizes["base"] > 256 * 256 * 4 and sizes["finetune"] < 256 * 256 * 4 / 4
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert manifest["finetunes"][0]["tensors"][0]["method"] == "tt"


def test_resave_keeps_unchanged_files_and_foreign_ones(tmp_path, base):
    lib = _library("tt", base)
    lib.save(tmp_path)
    (tmp_path / "notes.txt").write_text("mine")
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    files = {e["key"]: e["file"] for e in manifest["finetunes"]}
    stamps = {n: os.stat(tmp_path / n).st_mtime_ns for n in os.listdir(tmp_path)}
    del lib.deltas["ft 2"]
    lib.save(tmp_path)
    after = set(os.listdir(tmp_path))
    # The unchanged base and fine-tune keep their files, untouched; the dropped one is removed.
    assert after == {"notes.txt", "manifest.json", ".vz-lock", manifest["base"]["file"], files["org/ft-1"]}
    for name in (manifest["base"]["file"], files["org/ft-1"]):
        assert os.stat(tmp_path / name).st_mtime_ns == stamps[name]
    _assert_same_library(lib, dv.ModelLibrary.load(tmp_path))
    # A changed base is written again, under a new name.
    lib.base = dict(lib.base, scale=np.asarray(2.0, np.float32))
    lib.save(tmp_path)
    assert manifest["base"]["file"] not in os.listdir(tmp_path)
    _assert_same_library(lib, dv.ModelLibrary.load(tmp_path))


_FILL_DISK = """
import resource, signal, sys
import numpy as np
from velkor_zuma import deltavault as dv
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
rng = np.random.default_rng(7)
base = {"w": rng.standard_normal((512, 512)).astype(np.float32)}
lib = dv.ModelLibrary("other", base)
lib.add_finetune("big", {"w": base["w"] + 1}, )
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))  # the disk fills up mid-file
try:
    lib.save(sys.argv[1])
except OSError as e:
    print("refused", e.errno)
"""


def test_interrupted_save_leaves_previous_library(tmp_path, base):
    old = _library("tt", base)
    old.save(tmp_path)
    listing = sorted(os.listdir(tmp_path))
    res = subprocess.run([sys.executable, "-c", _FILL_DISK, str(tmp_path)], capture_output=True, text=True,
                         env=dict(os.environ, OMP_NUM_THREADS="1"))
    assert res.stdout.startswith("refused"), res.stdout + res.stderr
    assert sorted(os.listdir(tmp_path)) == listing  # the partial files were removed
    _assert_same_library(old, dv.ModelLibrary.load(tmp_path))


def test_interrupted_manifest_write_leaves_previous_library(tmp_path, base, monkeypatch):
    old = _library("tt", base)
    old.save(tmp_path)
    monkeypatch.setattr(json, "dumps", lambda *a, **k: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        _library("none", base).save(tmp_path)
    monkeypatch.undo()
    _assert_same_library(old, dv.ModelLibrary.load(tmp_path))


def _saved(tmp_path, base):
    _library("tt", base).save(tmp_path)
    return tmp_path / "manifest.json", json.loads((tmp_path / "manifest.json").read_text())


@pytest.mark.parametrize("damage,exc,pattern", [
    (lambda p, m: p.write_text('{"format": "velkor_zuma.deltavault.library", "vers'), ValueError,
     "damaged model library manifest .*manifest.json.*not valid JSON"),
    (lambda p, m: p.write_text('{"name": "something else"}'), ValueError,
     "manifest.json' is not a velkor_zuma model library manifest"),
    (lambda p, m: p.write_text("[1, 2]"), ValueError, "is not a velkor_zuma model library manifest"),
    (lambda p, m: p.write_text(json.dumps(dict(m, version=99))), ValueError, "format version 99"),
    (lambda p, m: p.write_text(json.dumps({k: v for k, v in m.items() if k != "base"})), ValueError,
     "damaged model library manifest .*manifest.json.* lacks \"base\""),
    (lambda p, m: p.write_text(json.dumps(dict(m, base=dict(m["base"], file="../x")))), ValueError,
     "not a plain file name"),
    (lambda p, m: p.write_text(json.dumps(dict(m, finetunes=[dict(m["finetunes"][0], tensors=[{"name": 1}])]))),
     ValueError, "fine-tune entry 0 tensor 0 \"name\" is not text"),
    (lambda p, m: p.unlink(), FileNotFoundError, "manifest.json' is missing"),
    (lambda p, m: (p.parent / m["finetunes"][1]["file"]).unlink(), FileNotFoundError,
     r"library file .*finetune-[0-9a-f]+-1\.safetensors' is missing"),
    (lambda p, m: (p.parent / m["base"]["file"]).write_bytes(b"\0" * m["base"]["size"]), ValueError,
     r"library file .*base-[0-9a-f]+\.safetensors' is damaged: its SHA-256"),
    (lambda p, m: (p.parent / m["base"]["file"]).write_bytes(b"short"), ValueError,
     r"base-[0-9a-f]+\.safetensors' is damaged: it holds 5 bytes"),
])
def test_damaged_libraries_name_the_file(tmp_path, base, damage, exc, pattern):
    path, manifest = _saved(tmp_path, base)
    damage(path, manifest)
    with pytest.raises(exc, match=pattern):
        dv.ModelLibrary.load(tmp_path)


def test_unreadable_array_file_with_matching_checksum(tmp_path, base):
    import hashlib

    path, m = _saved(tmp_path, base)
    junk = b"not a safetensors file"
    (tmp_path / m["base"]["file"]).write_bytes(junk)
    m["base"].update(size=len(junk), sha256=hashlib.sha256(junk).hexdigest())
    path.write_text(json.dumps(m))
    with pytest.raises(ValueError, match=r"base-[0-9a-f]+\.safetensors' is not a readable safetensors file"):
        dv.ModelLibrary.load(tmp_path)


def test_load_missing_directory_and_save_refusals(tmp_path, base):
    with pytest.raises(FileNotFoundError, match="no model library at .*nowhere"):
        dv.ModelLibrary.load(tmp_path / "nowhere")
    (tmp_path / "busy").mkdir()
    (tmp_path / "busy" / "data.bin").write_bytes(b"x")
    with pytest.raises(FileExistsError, match="not empty and holds no model library"):
        _library("tt", base).save(tmp_path / "busy")
    assert os.listdir(tmp_path / "busy") == ["data.bin"]
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "manifest.json").write_text('{"format": "someone-else"}')
    with pytest.raises(FileExistsError, match="belongs to something else"):
        _library("tt", base).save(tmp_path / "other")
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        _library("tt", base).save(3)


def test_save_and_load_need_no_safetensors_package(tmp_path, base, monkeypatch):
    monkeypatch.setitem(sys.modules, "safetensors", None)
    monkeypatch.setitem(sys.modules, "safetensors.numpy", None)
    lib = _library("tt", base)
    lib.save(tmp_path)
    _assert_same_library(lib, dv.ModelLibrary.load(tmp_path))


# ---- compressed records added to the base in one pass ---------------------------------------------
# reconstruct adds SVD / tensor-train / Tucker records to the base without forming the dense
# delta, and ModelLibrary.reconstruction_error compares them with the fine-tune the same way;
# both must agree with the plain steps: base + decompress(record), and reconstruction_error
# of the reconstruction.


def _rand(shape, dtype, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(dtype)


def _records(dtype=np.float32):
    """Hand-made records of every kind at the kernels' edges (rank 1, rank 64, odd extents)."""
    def svd(shape, r, seed):
        m, n = shape[0], math.prod(shape[1:])
        return CompressedTensor(CompressionMethod.SVD, shape, np.dtype(dtype).name,
                                (np.abs(_rand(r, dtype, seed)) + 0.5,),
                                (_rand((m, r), dtype, seed + 1), _rand((r, n), dtype, seed + 2)))

    def tt(shape, ranks, seed):
        b = [1, *ranks, 1]
        return CompressedTensor(CompressionMethod.TENSOR_TRAIN, shape, np.dtype(dtype).name,
                                tuple(_rand((b[k], e, b[k + 1]), dtype, seed + k) for k, e in enumerate(shape)))

    def tucker(shape, ranks, seed):
        return CompressedTensor(CompressionMethod.TUCKER, shape, np.dtype(dtype).name, (_rand(ranks, dtype, seed),),
                                tuple(_rand((e, r), dtype, seed + 1 + k) for k, (e, r) in enumerate(zip(shape, ranks))))

    return {
        "svd.row": svd((1, 45), 1, 1),
        "svd.col": svd((57, 1), 1, 2),
        "svd.r64": svd((131, 70), 64, 3),
        "svd.3d": svd((19, 3, 7), 5, 4),
        "svd.big": svd((700, 1501), 8, 5),
        "tt.2d": tt((203, 97), (8,), 10),
        "tt.r1": tt((1, 33), (1,), 11),
        "tt.4d": tt((5, 6, 7, 9), (5, 8, 4), 12),
        "tucker.2d": tucker((29, 31), (4, 6), 20),
        "tucker.3d": tucker((11, 6, 13), (3, 2, 5), 21),
        "tucker.blas": tucker((70, 80), (66, 70), 22),
    }


def _library_of(records, base_dtype, layout="contiguous"):
    base = {}
    for name, rec in records.items():
        shape = tuple(f.shape[0] for f in rec.factors) if rec.method is CompressionMethod.TUCKER else rec.shape
        b = _rand(shape[::-1] if layout == "transposed" else shape, base_dtype, hash(name) % 1000)
        base[name] = b.T if layout == "transposed" else b
    lib = dv.ModelLibrary("base", base)
    lib.deltas["ft"] = dv.CompressedDelta("ft", dict(records), "base")
    return lib


@pytest.mark.parametrize("layout", ["contiguous", "transposed"])
@pytest.mark.parametrize("rec_dtype", [np.float32, np.float64])
@pytest.mark.parametrize("base_dtype", [np.float16, np.float32, np.float64])
def test_fused_reconstruct_equals_base_plus_decompress(base_dtype, rec_dtype, layout):
    records = _records(rec_dtype)
    lib = _library_of(records, base_dtype, layout)
    out = lib.reconstruct("ft")
    assert list(out) == list(records)
    for name, rec in records.items():
        expected = lib.base[name] + dv.decompress(rec)
        assert out[name].dtype == expected.dtype == np.result_type(base_dtype, rec_dtype), name
        assert out[name].shape == expected.shape, name
        np.testing.assert_array_equal(out[name], expected, err_msg=name)


@pytest.mark.parametrize("isa", ["auto", "baseline"])
def test_fused_reconstruct_against_numpy_contraction(monkeypatch, isa):
    # The product itself against plain numpy (the bitwise test above compares with decompress,
    # which uses the same kernels).
    if isa == "baseline":
        monkeypatch.setenv("VZ_FUSED_BASELINE", "1")
    records = _records(np.float32)
    lib = _library_of(records, np.float32)
    out = lib.reconstruct("ft")
    for name, rec in records.items():
        if rec.method is CompressionMethod.SVD:
            (s,), (u, vt) = rec.cores, rec.factors
            dense = ((u.astype(np.float64) * s) @ vt).reshape(rec.shape)
        elif rec.method is CompressionMethod.TENSOR_TRAIN:
            dense = rec.cores[0].astype(np.float64)
            for g in rec.cores[1:]:
                dense = np.tensordot(dense, g, axes=([-1], [0]))
            dense = dense.reshape(rec.shape)
        else:
            dense = rec.cores[0].astype(np.float64)
            for k, f in enumerate(rec.factors):
                dense = np.moveaxis(np.tensordot(f, dense, axes=([1], [k])), 0, k)
        expected = lib.base[name].astype(np.float64) + dense
        np.testing.assert_allclose(out[name], expected, rtol=0, atol=3e-6 * np.abs(expected).max() * 8, err_msg=name)


def _perturbed(lib, seed, dtype=None):
    rng = np.random.default_rng(seed)
    rebuilt = lib.reconstruct("ft")
    return {k: (v + 0.01 * rng.standard_normal(v.shape)).astype(dtype or v.dtype) for k, v in rebuilt.items()}


@pytest.mark.parametrize("target_dtype", [None, np.float16, np.float64])
@pytest.mark.parametrize("base_dtype", [np.float16, np.float32, np.float64])
def test_library_error_equals_error_of_reconstruction(base_dtype, target_dtype):
    lib = _library_of(_records(np.float32), base_dtype)
    target = _perturbed(lib, 7, target_dtype)
    expected = dv.reconstruction_error(lib.reconstruct("ft"), target)
    assert lib.reconstruction_error("ft", target) == pytest.approx(expected, rel=1e-9)
    assert lib.reconstruction_error("ft", lib.reconstruct("ft")) == 0.0


@pytest.mark.parametrize("kind", ["tt", "svd", "tucker", "energy", "none"])
def test_library_error_of_added_finetunes(kind):
    # Libraries as add_finetune builds them: NONE vectors, compressed matrices, a tensor the
    # base lacks, a strided reference.
    base = _state(0)
    lib = _library(kind, base)
    for mid in lib.deltas:
        ft = _finetune(base, 5, 0.05)
        if mid == "ft 2":
            ft["extra"] = np.asfortranarray(np.ones((5, 3)))
        expected = dv.reconstruction_error(lib.reconstruct(mid), ft)
        assert lib.reconstruction_error(mid, ft) == pytest.approx(expected, rel=1e-9, abs=1e-15)


def test_library_error_refusals(base):
    lib = dv.ModelLibrary("base", base)
    lib.add_finetune("ft", _finetune(base))
    with pytest.raises(KeyError, match="nope"):
        lib.reconstruction_error("nope", {})
    with pytest.raises(KeyError, match="attn.q"):
        lib.reconstruction_error("ft", {"norm.w": base["norm.w"]})
    with pytest.raises(TypeError, match=r"^Argument 'finetuned' has incorrect type \(expected dict, got list\)$"):
        lib.reconstruction_error("ft", [])
    with pytest.raises(TypeError, match=r"^Argument 'model_id' has incorrect type \(expected str, got int\)$"):
        lib.reconstruction_error(1, {})
    # shapes that differ follow numpy (broadcast or its error), as for the reconstruction
    bad = dict(_finetune(base), **{"attn.q": np.ones((3, 24, 16), np.float32)})
    assert lib.reconstruction_error("ft", bad) == pytest.approx(
        dv.reconstruction_error(lib.reconstruct("ft"), bad), rel=1e-9)


def test_replaced_decompress_is_called(monkeypatch):
    # A decompress replaced on the module is what reconstruct and the error use.
    lib = _library_of(_records(np.float32), np.float32)
    calls = []
    real = dv.decompress

    def spy(rec):
        calls.append(rec.method)
        return real(rec) * 2

    monkeypatch.setattr(dv, "decompress", spy)
    out = lib.reconstruct("ft")
    assert len(calls) == len(lib.deltas["ft"].tensors)
    name, rec = "svd.r64", lib.deltas["ft"].tensors["svd.r64"]
    np.testing.assert_array_equal(out[name], lib.base[name] + real(rec) * 2)
    target = {k: v.copy() for k, v in out.items()}
    assert lib.reconstruction_error("ft", target) == 0.0


def test_fused_error_does_not_depend_on_thread_count(monkeypatch):
    lib = _library_of(_records(np.float32), np.float32)
    target = _perturbed(lib, 9)
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VZ_NUM_THREADS", threads)
        out = lib.reconstruct("ft")
        results.append((lib.reconstruction_error("ft", target), [v.tobytes() for v in out.values()]))
    assert results[0] == results[1] == results[2]
