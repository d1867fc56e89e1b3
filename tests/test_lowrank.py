"""Tensor compression: records, tensor algebra helpers, SVD / Tucker / tensor-train compressors,
dispatch and advice, the round-trip report and the merge operators."""

import dataclasses
import enum
import math
import threading

import numpy as np
import pytest

from velkor_zuma import lowrank as lr
from velkor_zuma.lowrank import CompressedTensor, CompressionMethod, CompressionReport

M = CompressionMethod
RNG = np.random.default_rng(1234)


def rand(shape, dtype=np.float32, seed=None):
    rng = RNG if seed is None else np.random.default_rng(seed)
    return rng.standard_normal(shape).astype(dtype)


def tol(dtype):
    return 2e-4 if np.dtype(dtype) == np.float32 else 1e-10


# ---- plain numpy versions of the algorithms, for comparison ------------------------------------


def np_svd_truncated(t, r):
    u, s, vt = np.linalg.svd(t.reshape(t.shape[0], -1), full_matrices=False)
    return u[:, :r], s[:r], vt[:r]


def np_hosvd(t, ranks):
    factors = []
    for k, r in enumerate(ranks):
        unf = np.moveaxis(t, k, 0).reshape(t.shape[k], -1)
        factors.append(np.linalg.svd(unf, full_matrices=False)[0][:, :r])
    core = t.copy()
    for k, u in enumerate(factors):
        core = np.moveaxis(np.tensordot(u.T, core, axes=([1], [k])), 0, k)
    out = core
    for k, u in enumerate(factors):
        out = np.moveaxis(np.tensordot(u, out, axes=([1], [k])), 0, k)
    return out


def np_tt(t, cap):
    shape = t.shape
    c = t.astype(np.float64).reshape(shape[0], -1)
    r_prev, cores = 1, []
    for k in range(len(shape) - 1):
        c = c.reshape(r_prev * shape[k], -1)
        u, s, vt = np.linalg.svd(c, full_matrices=False)
        r = min(cap, u.shape[1])
        cores.append(u[:, :r].reshape(r_prev, shape[k], r))
        c = np.diag(s[:r]) @ vt[:r]
        r_prev = r
    cores.append(c.reshape(r_prev, shape[-1], 1))
    out = cores[0]
    for g in cores[1:]:
        out = np.tensordot(out, g, axes=([-1], [0]))
    return out.reshape(shape)


def sizes(rec):
    return [a.shape for a in rec.cores], [a.shape for a in rec.factors]


# ---- records ----------------------------------------------------------------------------------


class TestRecords:
    def test_method_is_a_text_enum(self):
        assert issubclass(M, str) and issubclass(M, enum.Enum)
        assert [(m.name, m.value) for m in M] == [
            ("NONE", "none"), ("SVD", "svd"), ("TUCKER", "tucker"), ("TENSOR_TRAIN", "tt"),
            ("SIGN", "sign"), ("SVD_Q4", "svd_q4"), ("SVD_Q8", "svd_q8"), ("SVD_MIXED", "svd_mixed")]
        assert M.SVD == "svd" and M("tt") is M.TENSOR_TRAIN
        assert str(M.TUCKER) == "CompressionMethod.TUCKER"
        with pytest.raises(ValueError):
            M("SVD")

    def test_compressed_tensor_fields_and_defaults(self):
        names = [f.name for f in dataclasses.fields(CompressedTensor)]
        assert names == ["method", "shape", "dtype", "cores", "factors", "metadata"]
        a, b = CompressedTensor(M.NONE, (1,), "float32", ()), CompressedTensor(M.NONE, (1,), "float32", ())
        assert a.factors == () and a.metadata == {}
        a.metadata["k"] = 1
        assert b.metadata == {}
        kw = CompressedTensor(method=M.SVD, shape=(2,), dtype="x", cores=(1,), factors=(2,), metadata={"a": 1})
        assert kw == CompressedTensor(M.SVD, (2,), "x", (1,), (2,), {"a": 1})
        assert CompressedTensor.__module__ == "velkor_zuma.lowrank"

    @pytest.mark.parametrize("cls,args", [
        (CompressedTensor, (M.NONE, (1,), "float32", ())),
        (CompressionReport, (M.SVD, (2, 2), 16, 8, 2.0, 0.1, 0.9, 1.0, 2.0)),
    ])
    def test_records_are_frozen(self, cls, args):
        rec = cls(*args)
        with pytest.raises(dataclasses.FrozenInstanceError):
            rec.method = M.TUCKER
        assert rec.method is args[0]

    def test_report_fields(self):
        assert [f.name for f in dataclasses.fields(CompressionReport)] == [
            "method", "shape", "original_bytes", "compressed_bytes", "compression_ratio",
            "relative_frobenius_error", "reconstruction_quality", "elapsed_compress_ms", "elapsed_decompress_ms"]
        with pytest.raises(TypeError):
            CompressionReport(M.SVD, (1,))

    def test_sizes_count_the_stored_arrays(self):
        rec = CompressedTensor(M.SVD, (1024, 1024), "float32", (np.zeros(512, np.float32),),
                               (np.zeros((1024, 512), np.float32), np.zeros((512, 1024), np.float32)))
        assert rec.original_size_bytes == 4_194_304
        assert rec.compressed_size_bytes == 4_196_352
        assert rec.compression_ratio == pytest.approx(4_194_304 / 4_196_352)
        assert isinstance(rec.original_size_bytes, int) and isinstance(rec.compression_ratio, float)

    @pytest.mark.parametrize("shape,dtype,cores,orig,comp,ratio", [
        ((7, 9), "float32", (), 252, 0, 1.0),
        ((0, 4), "float32", (np.zeros(3, np.float32),), 0, 12, 0.0),
        ((), "float64", (), 8, 0, 1.0),
        ((10,), "float16", (np.zeros(10, np.float32),), 20, 40, 0.5),
    ])
    def test_size_edge_cases(self, shape, dtype, cores, orig, comp, ratio):
        rec = CompressedTensor(M.NONE, shape, dtype, cores)
        assert (rec.original_size_bytes, rec.compressed_size_bytes, rec.compression_ratio) == (orig, comp, ratio)

    def test_sizes_are_not_cached(self):
        cores = [np.zeros(4, np.float32)]
        rec = CompressedTensor(M.NONE, (4,), "float32", cores)
        assert rec.compressed_size_bytes == 16
        cores.append(np.zeros(4, np.float32))
        assert rec.compressed_size_bytes == 32

    def test_unknown_dtype_name_fails_in_numpy(self):
        with pytest.raises(TypeError):
            CompressedTensor(M.NONE, (2,), "no_such_type", ()).original_size_bytes


# ---- tensor algebra helpers ---------------------------------------------------------------------


class TestAlgebra:
    def test_unfold_convention(self):
        t = np.arange(24).reshape(2, 3, 4)
        assert lr._unfold(t, 1).shape == (3, 8)
        assert list(lr._unfold(t, 1)[0]) == [0, 1, 2, 3, 12, 13, 14, 15]
        assert list(lr._unfold(t, 2)[0]) == [0, 4, 8, 12, 16, 20]
        np.testing.assert_array_equal(lr._unfold(t, -1), lr._unfold(t, 2))
        m = np.arange(6).reshape(2, 3)
        np.testing.assert_array_equal(lr._unfold(m, 0), m)
        np.testing.assert_array_equal(lr._unfold(m, 1), m.T)
        assert np.shares_memory(lr._unfold(t, 0), t)

    def test_fold_inverts_unfold(self):
        t = np.arange(120.0).reshape(2, 3, 4, 5)
        for k in range(4):
            np.testing.assert_array_equal(lr._fold(lr._unfold(t, k), k, t.shape), t)
        np.testing.assert_array_equal(lr._fold(lr._unfold(t, 2), 2.9, t.shape), t)  # mode truncates

    def test_argument_type_checks(self):
        t = np.arange(6.0).reshape(2, 3)
        with pytest.raises(TypeError, match=r"^Argument 'shape' has incorrect type \(expected tuple, got list\)$"):
            lr._fold(t, 0, [2, 3])
        with pytest.raises(TypeError, match=r"^Argument 'mode' has incorrect type \(expected int, got str\)$"):
            lr._unfold(t, "0")

    def test_errors_come_from_numpy(self):
        t = np.zeros((2, 3))
        with pytest.raises(np.exceptions.AxisError):
            lr._unfold(t, 2)
        with pytest.raises(ValueError):
            lr._fold(np.zeros((2, 2)), 0, (2, 3))
        with pytest.raises(ValueError):
            lr._mode_dot(t, np.zeros((4, 5)), 1)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64])
    @pytest.mark.parametrize("mode", [0, 1, 2, 3])
    def test_mode_dot_matches_tensordot(self, dtype, mode):
        t = (rand((3, 4, 5, 6), np.float64, seed=mode) * 10).astype(dtype)
        mat = (rand((7, t.shape[mode]), np.float64, seed=9) * 10).astype(dtype)
        out = lr._mode_dot(t, mat, mode)
        expect = np.moveaxis(np.tensordot(mat, t, axes=([1], [mode])), 0, mode)
        assert out.shape == expect.shape and out.dtype == expect.dtype
        np.testing.assert_allclose(out, expect, rtol=tol(dtype) if dtype != np.int64 else 0)
        np.testing.assert_array_equal(lr._mode_dot(t, np.eye(t.shape[mode], dtype=dtype), mode), t)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    @pytest.mark.parametrize("shape,mode,rows", [
        ((20, 30, 10), 1, 40),    # many narrow slabs
        ((3, 100, 70), 1, 9),     # wide slabs
        ((50, 40), 1, 3),         # mode last
        ((40, 50), 0, 60),        # mode first
        ((300, 3, 4), 1, 5),      # thin inner extent
        ((6000, 2), 1, 3),
    ])
    def test_mode_dot_kernels(self, dtype, shape, mode, rows):
        t = rand(shape, dtype)
        mat = rand((rows, shape[mode]), dtype)
        expect = np.moveaxis(np.tensordot(mat.astype(np.float64), t.astype(np.float64), axes=([1], [mode])), 0, mode)
        out = lr._mode_dot(t, mat, mode)
        assert out.dtype == dtype
        np.testing.assert_allclose(out, expect, rtol=tol(dtype), atol=tol(dtype) * 10)
        # and transposed factors, as the Tucker core projection uses them
        rec = lr.tucker_compress(t, 0.7)
        np.testing.assert_allclose(lr.tucker_decompress(rec), np_hosvd(t.astype(np.float64), rec.metadata["ranks"]),
                                   atol=tol(dtype) * 50)

    def test_relative_frobenius_error(self):
        a = rand((5, 6), np.float64)
        assert lr._relative_frobenius_error(a, a) == 0.0
        assert lr._relative_frobenius_error(a, np.zeros_like(a)) == 1.0
        assert lr._relative_frobenius_error(np.zeros(2), np.zeros(2)) == 0.0
        assert lr._relative_frobenius_error(np.zeros(2), np.array([3.0, 4.0])) == 5.0
        b = a + 0.1
        err = lr._relative_frobenius_error(a, b)
        assert isinstance(err, float) and err == pytest.approx(np.linalg.norm(a - b) / np.linalg.norm(a))


# ---- SVD ---------------------------------------------------------------------------------------


class TestSvd:
    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    @pytest.mark.parametrize("shape", [(40, 40), (70, 25), (25, 70), (6, 5, 4), (1, 9), (9, 1), (300, 100), (90, 40, 5)])
    def test_native_svd_agrees_with_numpy(self, dtype, shape):
        t = rand(shape, dtype)
        rec = lr.svd_compress(t, rank_ratio=1.0)
        m = t.reshape(shape[0], -1)
        s_np = np.linalg.svd(m, compute_uv=False)
        np.testing.assert_allclose(rec.cores[0], s_np, rtol=tol(dtype), atol=tol(dtype) * s_np[0])
        assert all(a.dtype == dtype for a in rec.cores + rec.factors)
        u, vt = rec.factors
        np.testing.assert_allclose(u.T @ u, np.eye(u.shape[1]), atol=tol(dtype) * 10)
        np.testing.assert_allclose(lr.svd_decompress(rec), t, atol=tol(dtype) * 10 * np.abs(t).max())
        half = lr.svd_compress(t)
        r = half.metadata["rank"]
        ur, sr, vr = np_svd_truncated(t, r)
        np.testing.assert_allclose(lr.svd_decompress(half), ((ur * sr) @ vr).reshape(shape),
                                   atol=tol(dtype) * 10 * np.abs(t).max())

    @pytest.mark.parametrize("shape,ratio,rank", [
        ((1024, 1024), 0.5, 512), ((1024, 1024), 0.1, 103), ((100, 130), 0.07, 8),
        ((300, 200), 0.0, 2), ((300, 200), -4.0, 2), ((20, 30), 3.0, 20), ((20, 30), float("nan"), 20),
    ])
    def test_fixed_rank_rule(self, shape, ratio, rank):
        rec = lr.svd_compress(np.ones(shape, np.float32) + np.eye(*shape, dtype=np.float32), ratio)
        clamped = 1.0 if not ratio < 1.0 else max(ratio, 0.01)
        assert list(rec.metadata.items()) == [("rank_ratio", clamped), ("rank", rank)]
        m, n = shape
        assert sizes(rec) == ([(rank,)], [(m, rank), (rank, n)])

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_small_ratio_of_a_large_matrix(self, dtype):
        t = rand((400, 300), dtype)
        rec = lr.svd_compress(t, 0.02)
        assert rec.metadata["rank"] == 6
        s_np = np.linalg.svd(t, compute_uv=False)
        np.testing.assert_allclose(rec.cores[0], s_np[:6], rtol=tol(dtype))
        ur, sr, vr = np_svd_truncated(t, 6)
        np.testing.assert_allclose(lr.svd_decompress(rec), (ur * sr) @ vr, atol=tol(dtype) * 10)
        # a flat spectrum: any leading subspace is right, the error is what the rest holds
        eye = np.eye(200, dtype=dtype)
        rec = lr.svd_compress(eye, 0.03)
        np.testing.assert_allclose(rec.cores[0], np.ones(6), rtol=tol(dtype))
        err = np.linalg.norm(lr.svd_decompress(rec) - eye)
        assert err == pytest.approx(np.sqrt(194), rel=1e-3)

    def test_min_rank_above_the_matrix_rank(self):
        rec = lr.svd_compress(rand((10, 3)), min_rank=5)
        assert rec.metadata["rank"] == 5 and sizes(rec) == ([(3,)], [(10, 3), (3, 3)])
        assert lr.svd_compress(rand((10, 3)), 0.01, 2.9).metadata["rank"] == 2

    def test_higher_order_tensor_is_flattened_on_mode_0(self):
        t = rand((4, 5, 6))
        rec = lr.svd_compress(t, 1.0)
        assert rec.shape == (4, 5, 6) and rec.dtype == "float32"
        assert sizes(rec) == ([(4,)], [(4, 4), (4, 30)])
        assert lr.svd_decompress(rec).shape == (4, 5, 6)

    @pytest.mark.parametrize("fn,name", [(lr.svd_compress, "SVD"), (lr.svd_compress_energy, "SVD"),
                                         (lr.tucker_compress, "Tucker"), (lr.tt_compress, "TT")])
    @pytest.mark.parametrize("t", [np.zeros(5), np.float32(2.0).reshape(())])
    def test_needs_two_dimensions(self, fn, name, t):
        with pytest.raises(ValueError, match=rf"^{name} requires ndim >= 2, got {t.ndim}$"):
            fn(t)

    @pytest.mark.parametrize("layout", ["transposed", "fortran", "readonly", "byteswapped", "strided"])
    def test_any_memory_layout(self, layout):
        base = rand((30, 20), np.float64)
        t = {"transposed": base.T.copy().T, "fortran": np.asfortranarray(base), "readonly": base.copy(),
             "byteswapped": base.astype(base.dtype.newbyteorder()), "strided": np.repeat(base, 2, axis=1)[:, ::2]}[layout]
        if layout == "readonly":
            t.flags.writeable = False
        for fn in (lr.svd_compress, lr.tucker_compress, lr.tt_compress, lr.svd_compress_energy):
            rec = fn(t)
            ref = fn(np.ascontiguousarray(base))
            np.testing.assert_allclose(lr.decompress(rec), lr.decompress(ref), atol=1e-5)

    def test_element_types(self):
        f64 = rand((12, 9), np.float64)
        assert lr.svd_compress(f64).cores[0].dtype == np.float64
        # integers decompose in float64 and are stored (truncated) as integers, as numpy casts them
        ints = (f64 * 100).astype(np.int64)
        rec = lr.svd_compress(ints, 1.0)
        u, s, vt = np.linalg.svd(ints, full_matrices=False)
        assert rec.dtype == "int64" and all(a.dtype == np.int64 for a in rec.cores + rec.factors)
        np.testing.assert_array_equal(rec.cores[0], s.astype(np.int64))
        cplx = (f64 + 1j * rand((12, 9), np.float64)).astype(np.complex64)
        rec = lr.svd_compress(cplx, 1.0)
        assert rec.factors[0].dtype == np.complex64
        np.testing.assert_allclose(lr.svd_decompress(rec), cplx, atol=1e-4)
        with pytest.raises(TypeError, match="float16"):
            lr.svd_compress(f64.astype(np.float16))

    def test_argument_types(self):
        t = rand((4, 4))
        with pytest.raises(TypeError, match=r"^Argument 'rank_ratio' has incorrect type \(expected float, got str\)$"):
            lr.svd_compress(t, "0.5")
        with pytest.raises(TypeError, match=r"^Argument 'min_rank' has incorrect type \(expected int, got str\)$"):
            lr.svd_compress(t, min_rank="1")
        with pytest.raises(TypeError, match=r"^Argument 'max_rank' has incorrect type \(expected int, got list\)$"):
            lr.svd_compress_energy(t, max_rank=[1])
        # None is a wrong type too (except for the energy path's optional max_rank)
        with pytest.raises(TypeError, match=r"^Argument 'rank_ratio' has incorrect type \(expected float, got NoneType\)$"):
            lr.compress(t, "svd", rank_ratio=None)
        with pytest.raises(TypeError, match=r"^Argument 'max_rank' has incorrect type \(expected int, got NoneType\)$"):
            lr.tt_compress(t, None)
        assert lr.svd_compress_energy(t, max_rank=None).metadata["rank"] >= 1

    def test_decompress_checks_the_method_by_identity(self):
        rec = lr.svd_compress(rand((5, 4)))
        text = dataclasses.replace(rec, method="svd")
        with pytest.raises(ValueError, match="^Expected SVD, got svd$"):
            lr.svd_decompress(text)
        with pytest.raises(ValueError, match=r"^Expected SVD, got CompressionMethod.TUCKER$"):
            lr.svd_decompress(lr.tucker_compress(rand((5, 4))))
        with pytest.raises(ValueError, match="unpack"):
            lr.svd_decompress(dataclasses.replace(rec, factors=rec.factors[:1]))
        with pytest.raises(IndexError):
            lr.svd_decompress(dataclasses.replace(rec, cores=()))

    def test_decompress_casts_to_the_recorded_type(self):
        rec = lr.svd_compress(rand((6, 5), np.float64), 1.0)
        out = lr.svd_decompress(dataclasses.replace(rec, dtype="float32", shape=(30,)))
        assert out.dtype == np.float32 and out.shape == (30,)


class TestSvdEnergy:
    def matrix_321(self):
        q1, _ = np.linalg.qr(rand((5, 3), np.float64, seed=3))
        q2, _ = np.linalg.qr(rand((3, 3), np.float64, seed=4))
        return (q1 * np.array([3.0, 2.0, 1.0])) @ q2.T

    @pytest.mark.parametrize("kwargs,rank", [
        ({"energy": 0.5}, 1), ({"energy": 0.9}, 2), ({"energy": 0.95}, 3), ({"energy": 0.0}, 1),
        ({"energy": 0.95, "max_rank": 1}, 1), ({"energy": 0.5, "max_rank": 1}, 1),
        ({"energy": 0.5, "min_rank": 4}, 3), ({"energy": 0.5, "min_rank": 2, "max_rank": 1}, 1),
        ({"energy": 1.0}, 3), ({"energy": 7.0}, 3),
    ])
    def test_rank_from_the_spectrum(self, kwargs, rank):
        rec = lr.svd_compress_energy(self.matrix_321(), **kwargs)
        clamped = min(max(kwargs["energy"], 0.0), 1.0)
        assert list(rec.metadata.items()) == [("energy", clamped), ("rank", rank), ("full_rank", 3)]
        assert sizes(rec) == ([(rank,)], [(5, rank), (rank, 3)])
        np.testing.assert_allclose(rec.cores[0], [3.0, 2.0, 1.0][:rank], rtol=1e-5)

    def test_zero_matrix_keeps_min_rank(self):
        rec = lr.svd_compress_energy(np.zeros((4, 6), np.float32), min_rank=2)
        assert rec.metadata["rank"] == 2 and rec.cores[0].shape == (2,)
        assert lr.svd_compress_energy(np.zeros((4, 6), np.float32), min_rank=9).metadata["rank"] == 4

    @pytest.mark.parametrize("shape", [(5, 0), (3, 0, 2)])
    @pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int32])
    def test_no_columns_keeps_no_triplet(self, shape, dtype):
        # numpy's SVD of an m x 0 matrix has no singular values: the rank is capped at 0
        rec = lr.svd_compress_energy(np.zeros(shape, dtype))
        assert list(rec.metadata.items()) == [("energy", 0.99), ("rank", 0), ("full_rank", 0)]
        assert sizes(rec) == ([(0,)], [(shape[0], 0), (0, 0)])
        assert rec.dtype == np.dtype(dtype).name and rec.cores[0].dtype == dtype
        assert lr.svd_decompress(rec).shape == shape

    def test_decomposes_in_float32_and_stores_the_tensor_type(self):
        t = rand((30, 20), np.float64)
        rec = lr.svd_compress_energy(t, 1.0)
        assert rec.dtype == "float64" and all(a.dtype == np.float64 for a in rec.cores + rec.factors)
        s32 = np.linalg.svd(t.astype(np.float32), compute_uv=False)
        np.testing.assert_allclose(rec.cores[0], s32, rtol=1e-5)
        assert np.all(rec.cores[0] == rec.cores[0].astype(np.float32))  # values carry float32 precision
        half = lr.svd_compress_energy(t.astype(np.float16), 0.5)
        assert half.factors[0].dtype == np.float16

    def test_energy_rank_agrees_with_numpy(self):
        for seed in range(5):
            t = rand((40, 25), np.float32, seed=seed) @ np.diag(np.linspace(1, 3, 25)).astype(np.float32)
            s = np.linalg.svd(t, compute_uv=False).astype(np.float64)
            cum = np.cumsum(s**2) / np.sum(s**2)
            for e in (0.3, 0.6, 0.9, 0.99):
                expect = min(int(np.searchsorted(cum, e)) + 1, len(s))
                got = lr.svd_compress_energy(t, e).metadata["rank"]
                assert abs(got - expect) <= 1 and (got == expect or abs(cum[expect - 1] - e) < 1e-5)


# ---- Tucker ------------------------------------------------------------------------------------


class TestTucker:
    def test_conv_weight_example(self):
        t = rand((64, 32, 3, 3))
        rec = lr.tucker_compress(t)
        assert rec.method is M.TUCKER and rec.shape == (64, 32, 3, 3) and rec.dtype == "float32"
        assert list(rec.metadata.items()) == [("rank_ratio", 0.5), ("ranks", (32, 16, 2, 2))]
        assert sizes(rec) == ([(32, 16, 2, 2)], [(64, 32), (32, 16), (3, 2), (3, 2)])
        assert rec.compressed_size_bytes == 4620 * 4 and rec.compression_ratio == pytest.approx(73728 / 18480)
        for u in rec.factors:
            np.testing.assert_allclose(u.T @ u, np.eye(u.shape[1]), atol=1e-5)

    @pytest.mark.parametrize("shape,kwargs,ranks", [
        ((100, 2, 3), {}, (6, 1, 2)), ((4, 4), {"min_rank": 10}, (4, 4)), ((3, 4, 5), {"rank_ratio": 1.0}, (3, 4, 5)),
        ((10, 12), {"rank_ratio": 0.0}, (1, 1)), ((10, 12), {"rank_ratio": 0.25, "min_rank": 2.7}, (3, 3)),
    ])
    def test_ranks(self, shape, kwargs, ranks):
        t = rand(shape, np.float64)
        rec = lr.tucker_compress(t, **kwargs)
        assert rec.metadata["ranks"] == ranks
        assert rec.cores[0].shape == ranks
        assert [u.shape for u in rec.factors] == [(n, r) for n, r in zip(shape, ranks)]

    def test_full_rank_is_exact(self):
        t = rand((3, 4, 5), np.float64)
        rec = lr.tucker_compress(t, 1.0)
        assert rec.compression_ratio == pytest.approx(60 / 110)
        np.testing.assert_allclose(lr.tucker_decompress(rec), t, atol=1e-12)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    @pytest.mark.parametrize("shape,ratio", [((6, 7, 8), 0.5), ((5, 4, 3, 6), 0.6), ((9, 11), 0.4), ((2, 3, 2, 3, 2), 0.5)])
    def test_reconstruction_agrees_with_numpy(self, dtype, shape, ratio):
        t = rand(shape, dtype)
        rec = lr.tucker_compress(t, ratio)
        out = lr.tucker_decompress(rec)
        assert out.dtype == dtype and out.shape == shape
        expect = np_hosvd(t.astype(np.float64), rec.metadata["ranks"])
        np.testing.assert_allclose(out, expect, atol=tol(dtype) * 10)

    def test_decompress(self):
        rec = lr.tucker_compress(rand((4, 5)))
        with pytest.raises(ValueError, match=r"^Expected TUCKER, got CompressionMethod.SVD$"):
            lr.tucker_decompress(lr.svd_compress(rand((4, 5))))
        with pytest.raises(ValueError, match="^Expected TUCKER, got tucker$"):
            lr.tucker_decompress(dataclasses.replace(rec, method="tucker"))
        bare = dataclasses.replace(rec, factors=(), dtype="float64")
        out = lr.tucker_decompress(bare)
        assert out.dtype == np.float64 and out.shape == rec.cores[0].shape
        # the extents come from the factors, not from the record's shape
        assert lr.tucker_decompress(dataclasses.replace(rec, shape=(1,))).shape == (4, 5)
        with pytest.raises(ValueError):
            lr.tucker_decompress(dataclasses.replace(rec, factors=rec.factors[::-1]))

    def test_integer_tensor_follows_numpy(self):
        t = np.arange(24).reshape(2, 3, 4)
        rec = lr.tucker_compress(t, 1.0)
        assert rec.dtype == "int64" and all(a.dtype == np.int64 for a in rec.cores + rec.factors)


# ---- tensor train ------------------------------------------------------------------------------


class TestTensorTrain:
    @pytest.mark.parametrize("shape,cap,cores,ratio", [
        ((8, 8, 8, 8), 8, [(1, 8, 8), (8, 8, 8), (8, 8, 8), (8, 8, 1)], 4096 / 1152),
        ((16, 16, 16), 8, [(1, 16, 8), (8, 16, 8), (8, 16, 1)], 3.2),
        ((6, 10), 8, [(1, 6, 6), (6, 10, 1)], 0.625),
        ((4, 4, 4), 0, [(1, 4, 1), (1, 4, 1), (1, 4, 1)], 64 / 12),
        ((4, 4, 4), -3, [(1, 4, 1), (1, 4, 1), (1, 4, 1)], 64 / 12),
        ((2, 50, 3), 8, [(1, 2, 2), (2, 50, 3), (3, 3, 1)], 300 / 313),
        ((3, 5, 7), 2.9, [(1, 3, 2), (2, 5, 2), (2, 7, 1)], 105 / 40),
    ])
    def test_cores_and_ranks(self, shape, cap, cores, ratio):
        rec = lr.tt_compress(rand(shape), cap)
        assert rec.method is M.TENSOR_TRAIN and rec.factors == ()
        assert [c.shape for c in rec.cores] == cores
        assert list(rec.metadata.items()) == [("max_rank", max(1, int(cap))), ("ranks", tuple(c[2] for c in cores[:-1]))]
        assert rec.compression_ratio == pytest.approx(ratio)

    @pytest.mark.parametrize("cap", [1e20, 2**70])
    def test_cap_beyond_int64_means_no_cap(self, cap):
        # Integers beyond 64 bits saturate instead of wrapping to a tiny cap.
        rec = lr.tt_compress(rand((4, 5, 6)), cap)
        assert rec.metadata["ranks"] == (4, 6)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64, np.float16])
    @pytest.mark.parametrize("shape,cap", [((6, 10), 8), ((5, 6, 7), 4), ((4, 3, 5, 2), 3), ((16, 16, 16, 16), 8),
                                           ((40, 6, 3, 2), 4), ((2, 3, 60), 4)])
    def test_reconstruction_agrees_with_numpy(self, dtype, shape, cap):
        t = rand(shape, dtype)
        rec = lr.tt_compress(t, cap)
        assert rec.dtype == np.dtype(dtype).name and all(c.dtype == dtype for c in rec.cores)
        out = lr.tt_decompress(rec)
        assert out.dtype == dtype and out.shape == shape
        atol = {np.float16: 2e-2, np.float32: 1e-4, np.float64: 1e-10}[dtype]
        np.testing.assert_allclose(out.astype(np.float64), np_tt(t, cap), atol=atol * np.abs(t).max())

    def test_uncapped_train_is_exact(self):
        t = rand((3, 4, 5), np.float64)
        np.testing.assert_allclose(lr.tt_decompress(lr.tt_compress(t, 100)), t, atol=1e-12)

    @pytest.mark.parametrize("kind", ["random", "low_rank", "zeros"])
    def test_few_leading_triplets_of_a_large_matrix(self, kind):
        # 8 bond vectors out of 300: only the leading triplets are computed
        t = {"random": rand((300, 400), np.float64),
             "low_rank": rand((300, 3), np.float64) @ rand((3, 400), np.float64),
             "zeros": np.zeros((300, 400))}[kind]
        rec = lr.tt_compress(t)
        assert [c.shape for c in rec.cores] == [(1, 300, 8), (8, 400, 1)]
        np.testing.assert_allclose(lr.tt_decompress(rec), np_tt(t, 8), atol=1e-9 * max(1.0, np.abs(t).max()))
        u = rec.cores[0].reshape(300, 8)
        if kind != "zeros":
            np.testing.assert_allclose(u.T @ u, np.eye(8), atol=1e-10)

    def test_decompress(self):
        rec = lr.tt_compress(rand((4, 5, 6)))
        with pytest.raises(ValueError, match=r"^Expected TENSOR_TRAIN, got CompressionMethod.SVD$"):
            lr.tt_decompress(lr.svd_compress(rand((4, 5))))
        with pytest.raises(IndexError):
            lr.tt_decompress(dataclasses.replace(rec, cores=()))
        with pytest.raises(ValueError):
            lr.tt_decompress(dataclasses.replace(rec, cores=rec.cores[::-1]))
        single = dataclasses.replace(rec, cores=(np.ones((1, 6, 1), np.float32),), shape=(2, 3))
        assert lr.tt_decompress(single).shape == (2, 3)


# ---- dispatch, advice and report -----------------------------------------------------------------


class TestDispatch:
    def test_text_and_member_give_equal_records(self):
        t = rand((4, 5, 6))
        a, b, c = lr.compress(t, "tt"), lr.compress(t, M.TENSOR_TRAIN), lr.compress(t, "tt", max_rank=8)
        for r in (b, c):
            assert r.metadata == a.metadata and r.method is a.method
            for x, y in zip(a.cores, r.cores):
                np.testing.assert_array_equal(x, y)

    @pytest.mark.parametrize("method,msg", [(None, "None"), (3, "3"), (b"svd", "b'svd'")])
    def test_unknown_method(self, method, msg):
        with pytest.raises(ValueError, match=rf"^Unknown compression method: {msg}$"):
            lr.compress(rand((3, 3)), method)
        with pytest.raises(ValueError):
            lr.compress(rand((3, 3)), "TT")

    def test_parameters_reach_only_their_method(self):
        t = rand((10, 12))
        assert lr.compress(t, "svd", max_rank=2).metadata["rank"] == 5
        assert lr.compress(t, "tucker", rank_ratio=0.2, max_rank=1).metadata["ranks"] == (2, 3)
        assert lr.compress(t, "tt", rank_ratio=0.01, max_rank=3).metadata["ranks"] == (3,)
        with pytest.raises(TypeError):
            lr.compress(t, "svd", 0.5)  # keyword-only
        with pytest.raises(TypeError, match=r"^Argument 'max_rank' has incorrect type \(expected int, got str\)$"):
            lr.compress(t, "tt", max_rank="8")

    @pytest.mark.parametrize("t", [np.arange(5, dtype=np.int32), np.array(2.5), rand((2, 3, 4))])
    def test_none_keeps_a_copy(self, t):
        rec = lr.compress(t, "none")
        assert rec.method is M.NONE and rec.shape == t.shape and rec.dtype == str(t.dtype)
        assert type(rec.dtype) is str
        assert rec.factors == () and rec.metadata == {}
        assert rec.compression_ratio == 1.0 and rec.compressed_size_bytes == rec.original_size_bytes
        out = lr.decompress(rec)
        np.testing.assert_array_equal(out, t)
        assert not np.shares_memory(out, rec.cores[0]) and not np.shares_memory(rec.cores[0], t)

    def test_decompress_dispatch(self):
        t = rand((6, 5, 4))
        for m in (M.NONE, M.SVD, M.TUCKER, M.TENSOR_TRAIN):  # the exact ones at full rank
            rec = lr.compress(t, m, rank_ratio=1.0, max_rank=100)
            np.testing.assert_allclose(lr.decompress(rec), t, atol=1e-4)
        for m in (M.SIGN, M.SVD_Q4, M.SVD_Q8):  # full-rank float16 factors, the residual in few bits
            rec = lr.compress(t, m, max_rank=100)
            np.testing.assert_allclose(lr.decompress(rec), t, atol=1e-2)
        rec = lr.compress(t, M.SVD_MIXED, bits=16)  # every triplet at 8 bits
        np.testing.assert_allclose(lr.decompress(rec), t, atol=2e-2)
        with pytest.raises(ValueError, match="^Unknown compression method: none$"):
            lr.decompress(CompressedTensor("none", (2,), "float32", (np.zeros(2),)))

    @pytest.mark.parametrize("shape,method", [
        ((4096, 4096), M.SVD), ((64, 3, 3, 3), M.TUCKER), ((8, 8, 8, 8), M.TENSOR_TRAIN), ((3, 3, 3), M.TUCKER),
        ((40, 10, 10, 10), M.TENSOR_TRAIN), ((41, 10, 10, 10), M.TUCKER), ((5,), M.TENSOR_TRAIN), ((0,), M.TENSOR_TRAIN),
        ((2, 1000, 3), M.TUCKER), ((1, 4, 4, 4, 4), M.TENSOR_TRAIN), ((1, 5, 4, 4, 4), M.TUCKER),
    ])
    def test_suggest_method(self, shape, method):
        assert lr.suggest_method(shape) is method

    def test_suggest_method_arguments(self):
        with pytest.raises(TypeError, match=r"^Argument 'tensor_shape' has incorrect type \(expected tuple, got list\)$"):
            lr.suggest_method([4, 4])
        with pytest.raises(IndexError):
            lr.suggest_method(())

    def test_roundtrip_report(self):
        t = rand((8, 8, 8))
        rep = lr.roundtrip_report(t, "none")
        assert rep.method is M.NONE and rep.shape == (8, 8, 8)
        assert (rep.compression_ratio, rep.relative_frobenius_error, rep.reconstruction_quality) == (1.0, 0.0, 1.0)
        rep = lr.roundtrip_report(t, "tucker", rank_ratio=0.5, max_rank=1)
        rec = lr.compress(t, M.TUCKER, rank_ratio=0.5)
        assert rep.method is M.TUCKER
        assert (rep.original_bytes, rep.compressed_bytes) == (rec.original_size_bytes, rec.compressed_size_bytes)
        expect = lr._relative_frobenius_error(t, lr.decompress(rec))
        assert rep.relative_frobenius_error == pytest.approx(expect, rel=1e-4)
        assert rep.reconstruction_quality == pytest.approx(1 - expect, rel=1e-4)
        assert rep.elapsed_compress_ms >= 0.0 and rep.elapsed_decompress_ms >= 0.0
        assert isinstance(rep.elapsed_compress_ms, float)

    def test_report_quality_is_clamped(self):
        # integer factors truncate to zero: the reconstruction is all zeros, error 1, quality 0
        t = np.arange(1, 13).reshape(3, 4)
        rep = lr.roundtrip_report(t, "tt")
        assert rep.relative_frobenius_error >= 1.0 and rep.reconstruction_quality == 0.0


# ---- merges ------------------------------------------------------------------------------------


class TestMerge:
    def atoms(self, *shapes, dtype=np.float32):
        return [lr.compress(rand(s, dtype), "none") for s in shapes]

    def test_concat(self):
        a, b = self.atoms((2, 5), (3, 5))
        out = lr.compressed_concat([a, b])
        np.testing.assert_array_equal(out, np.concatenate([a.cores[0], b.cores[0]]))
        with pytest.raises(ValueError):
            lr.compressed_concat([a, b], axis=1)
        np.testing.assert_array_equal(lr.compressed_concat((a,)), a.cores[0])
        c, d = self.atoms((4, 2), (4, 3))
        assert lr.compressed_concat([c, d], axis=1.0).shape == (4, 5)
        with pytest.raises(ValueError, match="^compressed_concat requires at least one atom$"):
            lr.compressed_concat([])
        with pytest.raises(TypeError):
            lr.compressed_concat([a], 0)  # axis is keyword-only

    @pytest.mark.parametrize("method", ["none", M.NONE, None])
    def test_no_recompression(self, method):
        a, b = self.atoms((3, 4), (3, 4))
        assert isinstance(lr.compressed_weighted_mean([a, b], recompress_method=method), np.ndarray)
        assert isinstance(lr.compressed_concat([a, b], recompress_method=method), np.ndarray)

    def test_recompression(self):
        atoms = self.atoms((12, 12, 12), (12, 12, 12))
        tt = lr.compressed_concat(atoms, recompress_method="tt")
        assert tt.method is M.TENSOR_TRAIN and max(tt.metadata["ranks"]) == 8 and tt.shape == (24, 12, 12)
        assert lr.compressed_concat(atoms, recompress_method="tt", recompress_max_rank=3).metadata["ranks"] == (3, 3)
        svd = lr.compressed_weighted_mean(atoms, recompress_method=M.SVD, recompress_max_rank=1)
        assert svd.metadata == {"rank_ratio": 0.5, "rank": 6}
        svd = lr.compressed_weighted_mean(atoms, recompress_method="svd", recompress_rank_ratio=0.25)
        assert svd.metadata["rank"] == 3
        with pytest.raises(ValueError):
            lr.compressed_weighted_mean(atoms, recompress_method="SVD")

    def test_weighted_mean(self):
        a, b = self.atoms((3, 4), (3, 4), dtype=np.float64)
        x, y = a.cores[0], b.cores[0]
        np.testing.assert_allclose(lr.compressed_weighted_mean([a, b]), (x + y) / 2)
        for w in ((1, 3), [2, 6], np.array([0.5, 1.5])):
            np.testing.assert_allclose(lr.compressed_weighted_mean([a, b], w), 0.25 * x + 0.75 * y)
        np.testing.assert_allclose(lr.compressed_weighted_mean([a, b], (-1, 2)), -x + 2 * y)
        np.testing.assert_allclose(lr.compressed_weighted_mean([a]), x)

    @pytest.mark.parametrize("weights,msg", [
        ((0, 0), "Sum of weights must be > 0"), ((1, -1), "Sum of weights must be > 0"),
        ((1, 2), r"len\(weights\)=2 != len\(atoms\)=3"),
    ])
    def test_weighted_mean_errors(self, weights, msg):
        atoms = self.atoms((2, 2), (2, 2)) if len(weights) == 2 and "Sum" in msg else self.atoms((2, 2), (2, 2), (2, 2))
        with pytest.raises(ValueError, match=f"^{msg}$"):
            lr.compressed_weighted_mean(atoms, weights)

    def test_weighted_mean_shape_and_type(self):
        a, b = self.atoms((5,), (2, 3))
        with pytest.raises(ValueError, match=r"^Atom shape mismatch: \(2, 3\) vs \(5,\)$"):
            lr.compressed_weighted_mean([a, b])
        with pytest.raises(ValueError, match="^compressed_weighted_mean requires at least one atom$"):
            lr.compressed_weighted_mean([])
        h = lr.compress(rand((2, 2), np.float16), "none")
        f = lr.compress(rand((2, 2), np.float32), "none")
        assert lr.compressed_weighted_mean([h, f]).dtype == np.float16
        with pytest.raises(TypeError, match="recompress_rank_ratio"):
            lr.compressed_weighted_mean([h], recompress_rank_ratio="x")


# ---- truncated solvers ---------------------------------------------------------------------------


def delta(kind, shape=(420, 260), dtype=np.float32, seed=7):
    """Model-shaped deltas: a rank-8 update plus noise, pure noise, a slowly decaying spectrum."""
    rng = np.random.default_rng(seed)
    m, n = shape[0], int(np.prod(shape[1:]))
    if kind == "lowrank+noise":
        x = rng.standard_normal((m, 8)) @ rng.standard_normal((8, n)) + 0.3 * rng.standard_normal((m, n))
    elif kind == "noise":
        x = rng.standard_normal((m, n))
    else:
        k = min(m, n)
        u, _ = np.linalg.qr(rng.standard_normal((m, k)))
        v, _ = np.linalg.qr(rng.standard_normal((n, k)))
        x = (u / (1.0 + np.arange(k)) ** 0.6) @ v.T
    return x.reshape(shape).astype(dtype)


def rel_err(x, rec):
    return float(np.linalg.norm((x - lr.decompress(rec)).ravel()) / np.linalg.norm(x.ravel()))


def with_gap(m, n, r, seed=11):
    """r singular values of 10 (slightly spread) above a floor of 0.01: a clear spectrum."""
    rng = np.random.default_rng(seed)
    u, _ = np.linalg.qr(rng.standard_normal((m, r)))
    v, _ = np.linalg.qr(rng.standard_normal((n, r)))
    top = (u * np.linspace(10.0, 9.0, r)) @ v.T
    return (top + 0.01 * rng.standard_normal((m, n)) / np.sqrt(max(m, n))).astype(np.float32)


COMPRESSORS = {
    # name: (call, where the randomized path is expected with "auto" on a 420 x 260 delta)
    "svd": lambda x, **kw: lr.svd_compress(x, 0.05, **kw),
    "svd-min_rank": lambda x, **kw: lr.svd_compress(x, 0.01, min_rank=12, **kw),
    "tt": lambda x, **kw: lr.tt_compress(x, 8, **kw),
    "tucker": lambda x, **kw: lr.tucker_compress(x, 0.04, **kw),
    "compress-tt": lambda x, **kw: lr.compress(x, "tt", max_rank=6, **kw),
    "compress-svd": lambda x, **kw: lr.compress(x, CompressionMethod.SVD, rank_ratio=0.03, **kw),
    "energy-capped": lambda x, **kw: lr.svd_compress_energy(x, 0.9, max_rank=8, **kw),
}


class TestSolvers:
    @pytest.mark.parametrize("name", list(COMPRESSORS))
    @pytest.mark.parametrize("kind", ["lowrank+noise", "noise", "decay"])
    @pytest.mark.parametrize("solver", ["randomized", "auto"])
    def test_error_within_one_percent_of_exact(self, name, kind, solver):
        x = delta(kind)
        exact = COMPRESSORS[name](x)
        rec = COMPRESSORS[name](x, solver=solver)
        assert rec.metadata.get("solver") == "randomized"  # the randomized path really ran
        assert {k: v for k, v in rec.metadata.items() if k != "solver"} == exact.metadata
        assert sizes(rec) == sizes(exact) and rec.dtype == exact.dtype == "float32"
        assert all(a.dtype == np.float32 for a in rec.cores + rec.factors)
        assert rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_higher_order_and_float64(self, dtype):
        # a 3-way delta: the first sweep step (260 x 420) is randomized, the second (96 x 35) exact
        x = delta("lowrank+noise", (260, 12, 35), dtype)
        for call in (lambda **kw: lr.tt_compress(x, 8, **kw), lambda **kw: lr.svd_compress(x, 0.03, **kw)):
            exact, rec = call(), call(solver="randomized")
            assert rec.metadata["solver"] == "randomized" and rec.dtype == np.dtype(dtype).name
            assert sizes(rec) == sizes(exact) and rec.cores[0].dtype == dtype
            assert rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    @pytest.mark.parametrize("name", list(COMPRESSORS))
    def test_same_input_same_record(self, name):
        x = delta("noise")
        a, b = COMPRESSORS[name](x, solver="auto"), COMPRESSORS[name](x.copy(), solver="auto")
        assert a.metadata == b.metadata
        for p, q in zip(a.cores + a.factors, b.cores + b.factors):
            assert p.tobytes() == q.tobytes()

    def test_random_draws_do_not_depend_on_the_thread_count(self):
        # OpenBLAS's rounding varies with its thread count (on the exact path too), so records made
        # with different counts agree to rounding; a random draw that changed with the thread
        # count would give other vectors altogether.
        code = ("import numpy as np\nfrom velkor_zuma import lowrank as lr\n"
                "x = np.random.default_rng(5).standard_normal((400, 300))\n"
                "a = lr.tt_compress(x, 8, solver='randomized')\n"
                "b = lr.svd_compress_energy(x.astype(np.float32), 0.05, solver='auto')\n"
                "assert a.metadata['solver'] == b.metadata['solver'] == 'randomized'\n"
                "np.savez(OUT, *(a.cores + b.cores + b.factors))\n")
        import os, subprocess, sys, tempfile
        runs = []
        with tempfile.TemporaryDirectory() as tmp:
            for t in ("1", "3"):
                out = os.path.join(tmp, t + ".npz")
                subprocess.run([sys.executable, "-c", code.replace("OUT", repr(out))], check=True,
                               env={**os.environ, "VZ_NUM_THREADS": t})
                with np.load(out) as z:
                    runs.append([z[f"arr_{i}"] for i in range(len(z.files))])
        one, three = runs
        for i, (p, q) in enumerate(zip(one, three)):
            np.testing.assert_allclose(p, q, rtol=0, atol=1e-9 if i < 2 else 2e-4)

    @pytest.mark.parametrize("name", list(COMPRESSORS) + ["energy"])
    @pytest.mark.parametrize("shape", [(420, 260), (40, 30), (3, 4, 5)])
    def test_exact_is_the_default_and_unchanged(self, name, shape):
        call = COMPRESSORS.get(name, lambda x, **kw: lr.svd_compress_energy(x, 0.8, **kw))
        x = delta("lowrank+noise", shape)
        plain, exact = call(x), call(x, solver="exact")
        assert "solver" not in exact.metadata and plain.metadata == exact.metadata
        for p, q in zip(plain.cores + plain.factors, exact.cores + exact.factors):
            assert p.tobytes() == q.tobytes()
        if shape != (420, 260):
            # too small for the randomized path: "auto" and "randomized" give the exact record
            for solver in ("auto", "randomized"):
                rec = call(x, solver=solver)
                assert rec.metadata == exact.metadata
                assert all(p.tobytes() == q.tobytes() for p, q in zip(rec.cores, exact.cores))

    def test_auto_rule_by_rank_and_size(self):
        x = delta("noise", (1200, 260))  # auto: rank + 10 <= 260 / 8 = 32.5
        assert lr.tt_compress(x, 22, solver="auto").metadata.get("solver") == "randomized"
        assert "solver" not in lr.tt_compress(x, 23, solver="auto").metadata
        assert lr.tt_compress(x, 23, solver="randomized").metadata.get("solver") == "randomized"
        y = delta("noise", (200, 120))  # below 128 on its smaller side: auto is exact
        assert "solver" not in lr.tt_compress(y, 2, solver="auto").metadata
        assert lr.tt_compress(y, 2, solver="randomized").metadata.get("solver") == "randomized"

    @pytest.mark.parametrize("call", [
        lambda x, s: lr.svd_compress(x, solver=s), lambda x, s: lr.svd_compress_energy(x, solver=s),
        lambda x, s: lr.tucker_compress(x, solver=s), lambda x, s: lr.tt_compress(x, solver=s),
        lambda x, s: lr.compress(x, "tt", solver=s), lambda x, s: lr.compress(x, "none", solver=s)])
    def test_bad_solver(self, call):
        x = rand((6, 5))
        for bad in ("fast", "Exact", "", "auto "):
            with pytest.raises(ValueError, match="solver must be one of 'exact', 'randomized', 'auto', got"):
                call(x, bad)
        for bad in (None, 1, b"auto"):
            with pytest.raises(TypeError, match="Argument 'solver' has incorrect type"):
                call(x, bad)

    def test_solver_is_keyword_only(self):
        with pytest.raises(TypeError):
            lr.tt_compress(rand((6, 5)), 8, "auto")
        with pytest.raises(TypeError):
            lr.svd_compress_energy(rand((6, 5)), 0.9, 1, None, "auto")


class TestEnergySolvers:
    @pytest.mark.parametrize("r", [5, 30])
    @pytest.mark.parametrize("solver", ["randomized", "auto"])
    def test_same_rank_as_exact_on_a_clear_spectrum(self, r, solver):
        # r = 30 needs the basis to grow past its first 16 trusted vectors
        x = with_gap(640, 420, r)
        exact = lr.svd_compress_energy(x, 0.99)
        rec = lr.svd_compress_energy(x, 0.99, solver=solver)
        assert exact.metadata["rank"] == r
        assert rec.metadata == {**exact.metadata, "solver": "randomized"}
        assert rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    @pytest.mark.parametrize("kind", ["lowrank+noise", "noise", "decay"])
    @pytest.mark.parametrize("energy", [0.05, 0.3, 0.6])
    def test_target_is_reached(self, kind, energy):
        x = delta(kind, (640, 420))
        exact = lr.svd_compress_energy(x, energy)
        rec = lr.svd_compress_energy(x, energy, solver="randomized")
        r = rec.metadata["rank"]
        assert rec.cores[0].shape == (r,) and rec.factors[0].shape == (640, r)
        # the kept energy reaches the target (the error is known exactly from the Frobenius norm)
        assert rel_err(x, rec) ** 2 <= 1.0 - energy + 1e-5
        assert r >= exact.metadata["rank"] and rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    def test_falls_back_to_exact_when_the_rank_grows_large(self):
        # 90 % of a flat spectrum needs most of the 300 singular values: past half of 300
        x = delta("noise", (500, 300))
        exact = lr.svd_compress_energy(x, 0.9)
        for solver in ("randomized", "auto"):
            rec = lr.svd_compress_energy(x, 0.9, solver=solver)
            assert rec.metadata == exact.metadata and "solver" not in rec.metadata
            for p, q in zip(rec.cores + rec.factors, exact.cores + exact.factors):
                assert p.tobytes() == q.tobytes()

    @pytest.mark.parametrize("kwargs,rank", [
        ({"max_rank": 4}, 4), ({"min_rank": 40}, 40), ({"min_rank": 12, "max_rank": 3}, 3)])
    def test_rank_bounds(self, kwargs, rank):
        x = with_gap(600, 400, 8)
        exact = lr.svd_compress_energy(x, 0.99, **kwargs)
        rec = lr.svd_compress_energy(x, 0.99, solver="randomized", **kwargs)
        assert exact.metadata["rank"] == rank
        assert rec.metadata == {**exact.metadata, "solver": "randomized"}
        assert rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_zero_delta(self, dtype):
        rec = lr.svd_compress_energy(np.zeros((600, 400), dtype), 0.99, min_rank=2, solver="auto")
        assert rec.metadata == {"energy": 0.99, "rank": 2, "full_rank": 400, "solver": "randomized"}
        out = lr.decompress(rec)
        assert out.dtype == dtype and not out.any()

    def test_float64_and_strided_inputs(self):
        x = with_gap(600, 400, 8).astype(np.float64)
        rec = lr.svd_compress_energy(x, 0.99, solver="randomized")
        assert rec.metadata["rank"] == 8 and rec.cores[0].dtype == np.float64
        t = lr.svd_compress_energy(np.asfortranarray(x), 0.99, solver="randomized")
        assert t.metadata == rec.metadata
        np.testing.assert_allclose(lr.decompress(t), lr.decompress(rec), atol=1e-5)

    def test_non_finite_input_fails_as_exact_does(self):
        x = delta("noise", (600, 400))
        x[3, 4] = np.nan
        errors = []
        for solver in ("exact", "randomized"):
            with pytest.raises(Exception) as info:
                lr.svd_compress_energy(x, 0.5, solver=solver)
            errors.append((type(info.value), str(info.value)))
        assert errors[0] == errors[1]


class TestMixedSolvers:
    """svd_mixed at the ranks a whole budget keeps (a third of the smaller side and more), where the
    Krylov basis would outgrow the matrix and subspace iteration finds the kept triplets."""

    SHAPE = (512, 640)

    @pytest.mark.parametrize("kind", ["lowrank+noise", "noise", "decay"])
    @pytest.mark.parametrize("solver", ["randomized", "auto"])
    def test_error_within_one_percent_of_exact(self, kind, solver):
        x = delta(kind, self.SHAPE)
        exact = lr.svd_mixed_compress(x, bits=1.2)
        rec = lr.svd_mixed_compress(x, bits=1.2, solver=solver)
        assert exact.metadata["rank"] > 100  # too many for the Krylov basis of a 512-row matrix
        assert rec.metadata.get("solver") == "randomized"
        assert {k: v for k, v in rec.metadata.items() if k != "solver"} == exact.metadata
        np.testing.assert_array_equal(rec.cores[2], exact.cores[2])  # the same widths, from the same budget
        assert rel_err(x, rec) <= 1.01 * rel_err(x, exact)

    def test_given_widths_and_records_deterministic(self):
        x = delta("lowrank+noise", self.SHAPE)
        w = lr.svd_mixed_widths([x.shape], [lr.svd_spectrum(x)], bits=1.2)[0]
        a = lr.svd_mixed_compress(x, bits=1.2, widths=w, solver="auto")
        b = lr.svd_mixed_compress(x.copy(), bits=1.2, widths=w, solver="auto")
        assert a.metadata.get("solver") == "randomized"
        for ca, cb in zip(a.cores, b.cores):
            np.testing.assert_array_equal(ca, cb)

    def test_exact_stays_exact(self):
        x = delta("noise", self.SHAPE)
        plain, exact = lr.svd_mixed_compress(x, bits=1.2), lr.svd_mixed_compress(x, bits=1.2, solver="exact")
        assert "solver" not in exact.metadata and plain.metadata == exact.metadata
        np.testing.assert_array_equal(plain.cores[0], exact.cores[0])

    def test_auto_keeps_exact_when_the_basis_is_past_half_the_side(self):
        # 3 bits a weight on noise keeps most of the 256 triplets: no truncated path pays.
        x = delta("noise", (256, 320))
        rec = lr.svd_mixed_compress(x, bits=3.0, solver="auto")
        assert rec.metadata["rank"] > 128 and "solver" not in rec.metadata

    def test_non_finite_rejected_on_every_path(self):
        x = delta("noise", self.SHAPE)
        x[3, 4] = np.nan
        for solver in ("exact", "auto", "randomized"):
            with pytest.raises(ValueError):
                lr.svd_mixed_compress(x, bits=1.2, solver=solver)


# ---- threads -----------------------------------------------------------------------------------


def test_compressors_run_in_parallel_threads():
    tensors = [rand((60, 50), np.float64, seed=s) for s in range(4)]
    expect = [lr.svd_decompress(lr.svd_compress(t)) for t in tensors]
    results = [None] * 4

    def work(i):
        results[i] = lr.svd_decompress(lr.svd_compress(tensors[i]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for got, exp in zip(results, expect):
        np.testing.assert_allclose(got, exp, atol=1e-10)


# ---- fused reconstruction kernels against numpy -------------------------------------------------
# decompress forms every record's dense tensor as one product of two small-rank factors (the
# chain split at one bond, the Tucker core expanded on all but one mode) in a cache-blocked
# kernel; these compare it with the plain numpy contraction on shapes that hit its edges:
# single rows and columns, extents that are not a multiple of the vector width, rank 1 and
# the largest fused rank (64), BLAS above it, column-split work units and streaming stores.


def np_svd_dense(rec):
    (s,), (u, vt) = rec.cores, rec.factors
    return ((u * s) @ vt).reshape(rec.shape)


def np_tt_dense(rec):
    res = rec.cores[0]
    for g in rec.cores[1:]:
        res = (res.reshape(-1, res.shape[-1]) @ g.reshape(g.shape[0], -1)).reshape(res.shape[:-1] + g.shape[1:])
    return res.reshape(rec.shape)


def np_tucker_dense(rec):
    out = rec.cores[0]
    for k, u in enumerate(rec.factors):
        out = np.moveaxis(np.tensordot(u, out, axes=([1], [k])), 0, k)
    return out


def svd_record(shape, r, dtype, seed):
    m, n = shape[0], math.prod(shape[1:])
    u, s, vt = rand((m, r), dtype, seed), np.abs(rand(r, dtype, seed + 1)) + 0.5, rand((r, n), dtype, seed + 2)
    return CompressedTensor(M.SVD, tuple(shape), np.dtype(dtype).name, (s,), (u, vt), {})


def tt_record(shape, ranks, dtype, seed):
    bonds = [1, *ranks, 1]
    cores = tuple(rand((bonds[k], e, bonds[k + 1]), dtype, seed + k) for k, e in enumerate(shape))
    return CompressedTensor(M.TENSOR_TRAIN, tuple(shape), np.dtype(dtype).name, cores)


def tucker_record(shape, ranks, dtype, seed):
    factors = tuple(rand((e, r), dtype, seed + k) for k, (e, r) in enumerate(zip(shape, ranks)))
    return CompressedTensor(M.TUCKER, tuple(shape), np.dtype(dtype).name, (rand(ranks, dtype, seed + 9),), factors)


FUSED_CASES = {
    # name: (builder, numpy reference)
    "svd 1 row": (lambda dt: svd_record((1, 77), 1, dt, 1), np_svd_dense),
    "svd 1 column": (lambda dt: svd_record((93, 1), 1, dt, 2), np_svd_dense),
    "svd odd extents rank 8": (lambda dt: svd_record((37, 29), 8, dt, 3), np_svd_dense),
    "svd rank 64": (lambda dt: svd_record((130, 67), 64, dt, 4), np_svd_dense),
    "svd rank 65 (BLAS)": (lambda dt: svd_record((90, 70), 65, dt, 5), np_svd_dense),
    "svd 3-D, tall": (lambda dt: svd_record((301, 3, 5), 7, dt, 6), np_svd_dense),
    "svd large, streamed": (lambda dt: svd_record((1203, 1111), 8, dt, 7), np_svd_dense),
    "svd wide rows, column units": (lambda dt: svd_record((3, 70001), 5, dt, 8), np_svd_dense),
    "tt 2-D rank 1": (lambda dt: tt_record((45, 1), [1], dt, 10), np_tt_dense),
    "tt 2-D rank 8": (lambda dt: tt_record((333, 203), [8], dt, 11), np_tt_dense),
    "tt 2-D rank 64": (lambda dt: tt_record((65, 999), [64], dt, 12), np_tt_dense),
    "tt 3-D": (lambda dt: tt_record((17, 9, 23), [8, 5], dt, 13), np_tt_dense),
    "tt 4-D": (lambda dt: tt_record((6, 7, 5, 11), [6, 8, 3], dt, 14), np_tt_dense),
    "tt 4-D, wide bonds (BLAS)": (lambda dt: tt_record((9, 10, 11, 12), [9, 90, 12], dt, 15), np_tt_dense),
    "tucker 2-D": (lambda dt: tucker_record((41, 33), (5, 7), dt, 20), np_tucker_dense),
    "tucker 1 row": (lambda dt: tucker_record((1, 50), (1, 3), dt, 21), np_tucker_dense),
    "tucker 3-D": (lambda dt: tucker_record((12, 7, 19), (4, 3, 6), dt, 22), np_tucker_dense),
    "tucker 4-D, rank 64 last": (lambda dt: tucker_record((3, 4, 5, 70), (2, 3, 2, 64), dt, 23), np_tucker_dense),
    "tucker large ranks (BLAS)": (lambda dt: tucker_record((80, 90), (70, 75), dt, 24), np_tucker_dense),
}


@pytest.mark.parametrize("isa", ["auto", "baseline"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("case", list(FUSED_CASES))
def test_fused_decompress_matches_numpy(monkeypatch, case, dtype, isa):
    if isa == "baseline":
        monkeypatch.setenv("VZ_FUSED_BASELINE", "1")
    build, reference = FUSED_CASES[case]
    rec = build(dtype)
    expected = reference(rec)
    out = lr.decompress(rec)
    assert out.dtype == dtype and out.shape == expected.shape and out.flags.c_contiguous
    scale = np.abs(expected).max()
    rtol = 2e-6 if dtype == np.float32 else 1e-13
    np.testing.assert_allclose(out, expected, rtol=0, atol=rtol * scale * 8)


@pytest.mark.parametrize("case", ["svd odd extents rank 8", "tt 4-D", "tucker 3-D", "svd large, streamed"])
def test_fused_decompress_is_deterministic_across_threads_and_calls(monkeypatch, case):
    rec = FUSED_CASES[case][0](np.float32)
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VZ_NUM_THREADS", threads)
        results.append(lr.decompress(rec).tobytes())
    assert results[0] == results[1] == results[2]
