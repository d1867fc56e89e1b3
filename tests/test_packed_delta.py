"""Rows times a packed delta (lowrank._apply_packed) against numpy's x @ decompress(record).T, on
odd shapes, every packed record kind, 16- and 32-bit inputs and both instruction paths."""

import zlib

import numpy as np
import pytest

from velkor_zuma import lowrank
from velkor_zuma.lowrank import (
    CompressedTensor,
    decompress,
    sign_compress,
    svd_compress,
    svd_quant_compress,
)

RECORDS = {
    "sign-row": lambda d: sign_compress(d),
    "sign-matrix": lambda d: sign_compress(d, per_row=False),
    "sign-rank3": lambda d: sign_compress(d, rank=3),
    "q4": lambda d: svd_quant_compress(d, rank=0, bits=4, group_size=32),
    "q4-rank2-group13": lambda d: svd_quant_compress(d, rank=2, bits=4, group_size=13),
    "q8": lambda d: svd_quant_compress(d, rank=0, bits=8, group_size=128),
    "q8-rank4-group24": lambda d: svd_quant_compress(d, rank=4, bits=8, group_size=24),
}
SHAPES = [(5, 37), (33, 70), (64, 256), (17, 3), (70, 1100)]


@pytest.fixture(params=["baseline", "native"])
def path(request, monkeypatch):
    """Both kernels: the portable loops (forced) and whatever the processor runs by default."""
    if request.param == "baseline":
        monkeypatch.setenv("VZ_FUSED_BASELINE", "1")
        assert not lowrank._packed_uses_avx2()
    else:
        monkeypatch.delenv("VZ_FUSED_BASELINE", raising=False)
    return request.param


def expected(x, rec):
    """numpy's product in float64 (the reference) and a rounding bound for float32 sums."""
    d = np.asarray(decompress(rec), dtype=np.float64).reshape(rec.shape[0], -1)
    x64 = np.asarray(x, dtype=np.float64)
    ref = x64 @ d.T
    bound = 1e-5 * (np.abs(x64) @ np.abs(d).T) + 1e-6
    return ref, bound


class TestAgainstNumpy:
    @pytest.mark.parametrize("kind", sorted(RECORDS))
    @pytest.mark.parametrize("shape", SHAPES, ids=str)
    @pytest.mark.parametrize("rows", [1, 3, 16])
    def test_float32_rows(self, kind, shape, rows, path):
        rng = np.random.default_rng(zlib.crc32(repr((kind, shape, rows)).encode()))
        rec = RECORDS[kind](rng.standard_normal(shape).astype(np.float32))
        x = rng.standard_normal((rows, shape[1])).astype(np.float32)
        y = lowrank._apply_packed(rec, x)
        assert y.dtype == np.float32 and y.shape == (rows, shape[0])
        ref, bound = expected(x, rec)
        assert np.all(np.abs(y - ref) <= bound)

    @pytest.mark.parametrize("kind", ["sign-rank3", "q4-rank2-group13", "q8"])
    @pytest.mark.parametrize("dtype", ["float16", "bfloat16", "float64"])
    def test_other_input_types(self, kind, dtype, path):
        if dtype == "bfloat16":
            dtype = pytest.importorskip("ml_dtypes").bfloat16
        rng = np.random.default_rng(5)
        rec = RECORDS[kind](rng.standard_normal((29, 45)).astype(np.float32))
        x = rng.standard_normal((4, 45)).astype(dtype)
        y = lowrank._apply_packed(rec, x)
        # 16-bit inputs are widened exactly: the reference takes the same values.
        ref, bound = expected(np.asarray(x, dtype=np.float32), rec)
        assert y.dtype == np.float32 and np.all(np.abs(y - ref) <= bound)

    def test_higher_order_record_and_vector_input(self, path):
        rng = np.random.default_rng(9)
        rec = svd_quant_compress(rng.standard_normal((6, 5, 7)).astype(np.float32), rank=2, bits=4, group_size=8)
        x = rng.standard_normal(35).astype(np.float32)
        y = lowrank._apply_packed(rec, x)
        ref, bound = expected(x[None, :], rec)
        assert y.shape == (6,) and np.all(np.abs(y - ref[0]) <= bound[0])

    def test_strided_input_is_read_as_numpy_sees_it(self, path):
        rng = np.random.default_rng(2)
        rec = sign_compress(rng.standard_normal((9, 40)).astype(np.float32), rank=1)
        x = rng.standard_normal((40, 6)).astype(np.float32).T  # a transposed view
        ref, bound = expected(x, rec)
        assert np.all(np.abs(lowrank._apply_packed(rec, x) - ref) <= bound)

    def test_both_paths_agree(self, monkeypatch):
        rng = np.random.default_rng(4)
        rec = svd_quant_compress(rng.standard_normal((40, 300)).astype(np.float32), rank=3, bits=4, group_size=64)
        x = rng.standard_normal((16, 300)).astype(np.float32)
        monkeypatch.setenv("VZ_FUSED_BASELINE", "1")
        base = lowrank._apply_packed(rec, x)
        monkeypatch.delenv("VZ_FUSED_BASELINE")
        native = lowrank._apply_packed(rec, x)
        np.testing.assert_allclose(native, base, rtol=1e-4, atol=1e-4)


    @pytest.mark.parametrize("shape, rows", [((4, 10), 0), ((0, 10), 2), ((3, 0), 2)])
    def test_empty_extents(self, shape, rows, path):
        rec = svd_quant_compress(np.ones(shape, np.float32), rank=0)
        y = lowrank._apply_packed(rec, np.ones((rows, shape[1]), np.float32))
        assert y.shape == (rows, shape[0]) and not y.any()


class TestRefusals:
    def test_column_count_must_match(self):
        rec = sign_compress(np.ones((4, 10), np.float32))
        with pytest.raises(ValueError, match="x has 9 columns; the delta has 10"):
            lowrank._apply_packed(rec, np.ones((2, 9), np.float32))

    def test_rows_must_be_a_vector_or_matrix(self):
        rec = sign_compress(np.ones((4, 10), np.float32))
        with pytest.raises(ValueError, match="got 3 dimensions"):
            lowrank._apply_packed(rec, np.ones((2, 2, 10), np.float32))

    def test_not_a_packed_record(self):
        rec = svd_compress(np.ones((4, 10), np.float32))
        with pytest.raises(ValueError, match="Expected SIGN, SVD_Q4 or SVD_Q8, got CompressionMethod.SVD"):
            lowrank._apply_packed(rec, np.ones((2, 10), np.float32))

    @pytest.mark.parametrize("which", ["codes", "scales"])
    def test_damaged_record_is_refused_before_reading(self, which):
        rec = svd_quant_compress(np.ones((4, 10), np.float32), rank=0, bits=4, group_size=4)
        codes, scales = rec.cores
        cores = (codes[:, :1].copy(), scales) if which == "codes" else (codes, scales[:2].copy())
        bad = CompressedTensor(rec.method, rec.shape, rec.dtype, cores, rec.factors, rec.metadata)
        with pytest.raises(ValueError, match=f"malformed svd_q4 record: {which} has shape"):
            lowrank._apply_packed(bad, np.ones((1, 10), np.float32))
