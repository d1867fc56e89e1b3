"""Few-bit delta methods (signs, low rank plus 4/8-bit codes), the smallest record within an error
bound, perplexity on a user's own text, and the benchmark testbed in miniature."""

import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from velkor_zuma import hubload
from velkor_zuma import lowrank as L
from velkor_zuma.deltavault import ModelLibrary, reconstruction_error

rng = np.random.default_rng(7)

SHAPES = [(16, 8), (33, 21), (5, 130), (1, 7), (6, 5, 4)]


def flat(shape):
    m = shape[0] if len(shape) >= 2 else 1
    return m, int(np.prod(shape)) // m


def delta(shape, dtype=np.float32):
    return (rng.standard_normal(shape) * 1e-3).astype(dtype)


def rel_err(a, b):
    a = np.asarray(a, np.float64)
    return np.linalg.norm(a - np.asarray(b, np.float64)) / np.linalg.norm(a)


def low_rank_model(rec):
    """U s Vt as stored (float16 factors widened), or zeros."""
    m, n = flat(rec.shape)
    if not rec.factors:
        return np.zeros((m, n))
    u, s, vt = rec.factors
    return (u.astype(np.float64) * s) @ vt.astype(np.float64)


# ------------------------------------------------------------------------------------- signs

@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("per_row", [True, False])
def test_sign_matches_numpy_model(shape, per_row):
    x = delta(shape)
    rec = L.sign_compress(x, per_row=per_row)
    m, n = flat(shape)
    xm = x.reshape(m, n)
    bits, scales = rec.cores
    # Bits packed least significant first, one padded byte run per row; scale = mean |x|.
    np.testing.assert_array_equal(bits, np.packbits(xm >= 0, axis=1, bitorder="little"))
    want_scale = np.abs(xm).mean(axis=1) if per_row else np.array([np.abs(xm).mean()])
    np.testing.assert_allclose(scales, want_scale, rtol=1e-5)
    model = np.where(xm >= 0, 1.0, -1.0) * (want_scale[:, None] if per_row else want_scale[0])
    out = L.decompress(rec)
    assert out.shape == x.shape and out.dtype == x.dtype
    np.testing.assert_allclose(out.reshape(m, n), model, rtol=1e-5, atol=1e-12)
    # The fitted scale is the least-squares one: scaling it either way only adds error.
    for f in (0.9, 1.1):
        assert rel_err(x, out) < rel_err(x, out * f)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("rank", [0, 3])
@pytest.mark.parametrize("per_row", [True, False])
def test_sign_bytes_are_exact(shape, rank, per_row):
    rec = L.sign_compress(delta(shape), rank=rank, per_row=per_row)
    m, n = flat(shape)
    r = min(rank, m, n)
    expected = m * math.ceil(n / 8) + 4 * (m if per_row else 1) + r * (2 * m + 4 + 2 * n)
    assert rec.compressed_size_bytes == expected
    assert rec.metadata == {"rank": r, "scale": "row" if per_row else "matrix"}
    assert rec.original_size_bytes == 4 * m * n


def test_sign_with_low_rank_codes_the_residual_of_the_stored_factors():
    x = (rng.standard_normal((40, 4)) @ rng.standard_normal((4, 30)) + 0.05 * rng.standard_normal((40, 30)))
    x = x.astype(np.float32)
    rec = L.sign_compress(x, rank=4)
    u, s, vt = rec.factors
    assert (u.dtype, s.dtype, vt.dtype) == (np.float16, np.float32, np.float16)
    low = low_rank_model(rec)
    resid = x - low
    scale = np.abs(resid).mean(axis=1, keepdims=True)
    np.testing.assert_allclose(L.decompress(rec), low + np.where(resid >= 0, 1, -1) * scale, rtol=1e-4, atol=1e-5)
    # The low-rank part takes the structure: far below the plain sign record's error.
    assert rel_err(x, L.decompress(rec)) < 0.5 * rel_err(x, L.decompress(L.sign_compress(x)))


@pytest.mark.parametrize("shape", [(40, 30), (7, 130), (1, 9), (6, 5, 4)])
def test_sign_with_row_and_column_scales_fits_the_magnitudes(shape):
    m, n = flat(shape)
    x = (rng.standard_normal((m, n)) * rng.uniform(0.5, 2, (m, 1)) * rng.uniform(0.2, 3, (1, n))).astype(np.float32)
    x = x.reshape(shape)
    rec = L.sign_compress(x, per_column=True)
    bits, rows, cols = rec.cores
    assert rec.metadata == {"rank": 0, "scale": "row+column"}
    assert rows.shape == (m,) and cols.shape == (n,) and rows.dtype == cols.dtype == np.float32
    assert rec.compressed_size_bytes == bits.nbytes + 4 * (m + n)
    signs = np.where(np.unpackbits(bits, axis=1, bitorder="little")[:, :n] == 1, 1.0, -1.0)
    np.testing.assert_allclose(L.decompress(rec).reshape(m, n), signs * np.outer(rows, cols), rtol=1e-5, atol=1e-7)
    # The scales are the best rank-1 fit of the magnitudes, and so no worse than a scale per row.
    mags = np.abs(x.reshape(m, n)).astype(np.float64)
    u, s, vt = np.linalg.svd(mags)
    best = np.linalg.norm(mags - s[0] * np.outer(u[:, 0], vt[0]))
    assert np.linalg.norm(mags - np.outer(rows, cols)) <= best * (1 + 1e-4) + 1e-6 * np.linalg.norm(mags)
    assert rel_err(x, L.decompress(rec)) <= rel_err(x, L.decompress(L.sign_compress(x))) + 1e-6
    with pytest.raises(ValueError, match="per_column scales go with per_row"):
        L.sign_compress(x, per_row=False, per_column=True)


# ------------------------------------------------------------------- low rank plus few-bit codes

def dequant_model(rec):
    """Decodes the stored codes and scales with numpy alone."""
    m, n = flat(rec.shape)
    bits, group = rec.metadata["bits"], rec.metadata["group_size"]
    codes, scales = rec.cores
    if bits == 8:
        q = codes.view(np.int8).astype(np.float64)
    else:
        nib = np.stack([codes & 0xF, codes >> 4], axis=2).reshape(m, -1)[:, :n]
        q = nib.astype(np.float64) - 8
    return q * np.repeat(scales.astype(np.float64), group, axis=1)[:, :n]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("bits", [4, 8])
@pytest.mark.parametrize("rank,group", [(0, 128), (2, 16), (5, 7)])
def test_quant_matches_numpy_model_and_counts_every_byte(shape, bits, rank, group):
    x = delta(shape)
    rec = L.svd_quant_compress(x, rank=rank, bits=bits, group_size=group)
    m, n = flat(shape)
    g = min(group, n)
    r = min(rank, m, n)
    assert rec.method is (L.CompressionMethod.SVD_Q4 if bits == 4 else L.CompressionMethod.SVD_Q8)
    assert rec.metadata == {"rank": r, "bits": bits, "group_size": g}
    assert rec.compressed_size_bytes == (m * math.ceil(n * bits / 8) + 4 * m * math.ceil(n / g)
                                         + r * (2 * m + 4 + 2 * n))
    out = L.decompress(rec)
    np.testing.assert_allclose(out.reshape(m, n), low_rank_model(rec) + dequant_model(rec), rtol=1e-5, atol=1e-9)
    # Each residual group is off by at most half a step (no clipping at 8 bits).
    resid = x.reshape(m, n) - low_rank_model(rec)
    step = np.repeat(rec.cores[1], g, axis=1)[:, :n]
    if bits == 8:
        assert np.all(np.abs(resid - dequant_model(rec)) <= 0.5 * step * (1 + 1e-4) + 1e-9)
        assert rel_err(x, out) < 0.01


def test_four_bit_scales_are_fitted_not_just_the_largest_magnitude():
    # Heavy tails: the best step clips the outlier of each group.
    x = rng.standard_t(2, size=(64, 256)).astype(np.float32)
    rec = L.svd_quant_compress(x, rank=0, bits=4, group_size=64)
    g = x.reshape(64, 4, 64)
    step = np.abs(g).max(axis=2, keepdims=True) / 7
    plain = (np.clip(np.round(g / step), -7, 7) * step).reshape(64, 256)
    assert rel_err(x, L.decompress(rec)) < rel_err(x, plain)


@pytest.mark.parametrize("dtype", [np.float64, np.float16])
def test_other_element_types_come_back_as_they_went_in(dtype):
    x = delta((12, 10), dtype)
    for rec in (L.sign_compress(x), L.svd_quant_compress(x, bits=8)):
        assert rec.dtype == np.dtype(dtype).name
        out = L.decompress(rec)
        assert out.dtype == dtype and out.shape == x.shape


@pytest.mark.parametrize("method,kw", [("sign", {}), ("svd_q4", {"bits": 4}), ("svd_q8", {"bits": 8})])
def test_compress_reaches_the_new_methods_with_max_rank_as_their_rank(method, kw):
    x = delta((20, 24))
    via = L.compress(x, method, max_rank=3)
    direct = L.sign_compress(x, rank=3) if method == "sign" else L.svd_quant_compress(x, rank=3, **kw)
    assert via.method == method and via.metadata == direct.metadata
    np.testing.assert_array_equal(L.decompress(via), L.decompress(direct))
    assert L.CompressionMethod(method).value == method


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_tensors_are_refused(bad):
    x = delta((4, 4))
    x[1, 2] = bad
    for fn in (L.sign_compress, L.svd_quant_compress):
        with pytest.raises(ValueError, match="NaN or infinity"):
            fn(x)


@pytest.mark.parametrize("kw,msg", [({"bits": 3}, "bits must be 4 or 8"), ({"group_size": 0}, "group_size"),
                                    ({"rank": -1}, "rank must not be negative")])
def test_bad_settings_are_refused(kw, msg):
    with pytest.raises(ValueError, match=msg):
        L.svd_quant_compress(delta((4, 4)), **kw)


def tampered(rec, **changes):
    fields = dict(method=rec.method, shape=rec.shape, dtype=rec.dtype, cores=rec.cores, factors=rec.factors,
                  metadata=dict(rec.metadata))
    fields.update(changes)
    return L.CompressedTensor(**fields)


def _records():
    x = delta((9, 20))
    return L.sign_compress(x, rank=2), L.svd_quant_compress(x, rank=2, bits=4, group_size=8)


@pytest.mark.parametrize("which", [0, 1])
@pytest.mark.parametrize("change", [
    lambda r: {"shape": (9, 21)},
    lambda r: {"shape": (10**12, 10**12, 10**12)},
    lambda r: {"cores": (r.cores[0][:, :-1], r.cores[1])},
    lambda r: {"cores": (r.cores[0].astype(np.int16), r.cores[1])},
    lambda r: {"cores": (r.cores[0],)},
    lambda r: {"cores": (r.cores[0], r.cores[1].astype(np.float64))},
    lambda r: {"factors": r.factors[:2]},
    lambda r: {"factors": (r.factors[0].astype(np.float32),) + r.factors[1:]},
    lambda r: {"metadata": {**r.metadata, "rank": 99}},
    lambda r: {"metadata": {**r.metadata, "rank": 0}},
    lambda r: {"metadata": {k: v for k, v in r.metadata.items() if k != "rank"}},
])
def test_malformed_records_are_refused_before_memory_is_touched(which, change):
    rec = _records()[which]
    with pytest.raises(ValueError, match="malformed"):
        L.decompress(tampered(rec, **change(rec)))


@pytest.mark.parametrize("meta", [{"scale": "column"}, {"scale": 1}])
def test_sign_record_with_unknown_scale_kind_is_refused(meta):
    rec = _records()[0]
    with pytest.raises(ValueError, match="'scale'"):
        L.decompress(tampered(rec, metadata={**rec.metadata, **meta}))


def test_sign_record_with_row_and_column_scales_is_checked():
    rec = L.sign_compress(delta((12, 10)), per_column=True)
    bits, rows, cols = rec.cores
    for cores, msg in [((bits, rows), "expected 3 cores"), ((bits, rows, cols[:-1]), "column scales has shape"),
                       ((bits, rows, cols.astype(np.float64)), "column scales must be float32")]:
        with pytest.raises(ValueError, match=msg):
            L.decompress(tampered(rec, cores=cores))
    with pytest.raises(ValueError, match="expected 2 cores"):
        L.decompress(tampered(rec, metadata={**rec.metadata, "scale": "row"}))


@pytest.mark.parametrize("meta", [{"bits": 8}, {"group_size": 0}, {"group_size": 1000}])
def test_quant_record_with_inconsistent_settings_is_refused(meta):
    rec = _records()[1]
    with pytest.raises(ValueError, match="malformed"):
        L.decompress(tampered(rec, metadata={**rec.metadata, **meta}))


# ------------------------------------------------------- mixed precision over singular vectors

LEVEL_ERROR = {0: 1.0, 2: 0.235, 3: 0.0748, 4: 0.023, 8: 1e-4}


def mixed_model(rec):
    """A @ B.T from the record's codes, decoded in numpy by the stored layout."""
    m, n = flat(rec.shape)
    codes, scales, widths = rec.cores
    if rec.metadata.get("zstd"):
        import zstandard
        codes = np.frombuffer(zstandard.ZstdDecompressor().decompress(codes.tobytes()), np.uint8)
    a, b = np.zeros((m, len(widths))), np.zeros((n, len(widths)))
    pos = 0
    for i, w in enumerate(widths.astype(int)):
        for out, length, scale in ((a, m, scales[i, 0]), (b, n, scales[i, 1])):
            nbytes = (length * w + 7) // 8
            bits = np.unpackbits(codes[pos:pos + nbytes], bitorder="little")[:length * w].reshape(length, w)
            c = (bits * (1 << np.arange(w))).sum(axis=1)
            top = 1.5 if w == 2 else (1 << (w - 1)) - 1
            out[:, i] = (c - top) * float(scale)
            pos += nbytes
    assert pos == len(codes)
    return a @ b.T


def greedy_model(spectra, shapes, bits):
    """The budget's greedy, step by step in Python."""
    import heapq
    levels = [0, 2, 3, 4, 8]
    budget = bits * sum(m * n for m, n in shapes)
    heap, level = [], [[0] * len(s) for s in spectra]

    def push(j, i):
        lv = level[j][i]
        if lv + 1 < len(levels):
            m, n = shapes[j]
            cost = (m + n) * (levels[lv + 1] - levels[lv]) + (32 if lv == 0 else 0)
            gain = spectra[j][i] ** 2 * (LEVEL_ERROR[levels[lv]] - LEVEL_ERROR[levels[lv + 1]])
            heapq.heappush(heap, (-gain / cost, j, i, cost))
    for j, s in enumerate(spectra):
        for i in range(len(s)):
            if s[i] > 0:
                push(j, i)
    while heap:
        _, j, i, cost = heapq.heappop(heap)
        if cost > budget:
            continue
        budget -= cost
        level[j][i] += 1
        push(j, i)
    out = []
    for lv in level:
        w = [levels[x] for x in lv]
        while w and w[-1] == 0:
            w.pop()
        out.append(w)
    return out


@pytest.mark.parametrize("shape", [(48, 40), (33, 70), (6, 5, 4), (1, 9)])
@pytest.mark.parametrize("bits", [0.5, 1.2, 3.0])
def test_svd_mixed_matches_numpy_model_and_counts_every_byte(shape, bits):
    x = (rng.standard_normal((shape[0], 3)) @ rng.standard_normal((3, int(np.prod(shape[1:]))))).reshape(shape)
    x = (x * 1e-2 + delta(shape)).astype(np.float32)
    rec = L.svd_mixed_compress(x, bits=bits)
    m, n = flat(shape)
    codes, scales, widths = rec.cores
    assert rec.method is L.CompressionMethod.SVD_MIXED and rec.shape == shape and rec.factors == ()
    assert rec.metadata == {"bits": bits, "rank": len(widths), "zstd": False}
    assert codes.dtype == np.uint8 and scales.dtype == np.float16 and widths.dtype == np.uint8
    assert set(widths.tolist()) <= {2, 3, 4, 8}
    assert len(codes) == sum((m * w + 7) // 8 + (n * w + 7) // 8 for w in widths.astype(int))
    # Codes and scales stay within the budget.
    assert 8 * (codes.nbytes + scales.nbytes) <= bits * m * n + 16 * len(widths)
    assert rec.compressed_size_bytes == codes.nbytes + scales.nbytes + widths.nbytes
    rebuilt = L.decompress(rec)
    np.testing.assert_allclose(rebuilt.reshape(m, n), mixed_model(rec), rtol=1e-5, atol=1e-7)
    a, b = L.svd_mixed_factors(rec)
    assert a.shape == (m, len(widths)) and b.shape == (n, len(widths)) and a.dtype == np.float32
    np.testing.assert_allclose(a @ b.T, rebuilt.reshape(m, n), rtol=1e-5, atol=1e-7)
    # The widths are the greedy's over the tensor's own spectrum.
    s = np.linalg.svd(x.reshape(m, n).astype(np.float64), compute_uv=False)
    assert widths.tolist() == greedy_model([s], [(m, n)], bits)[0] or rel_err(s, L.svd_spectrum(x)) > 1e-6


def test_svd_mixed_error_falls_with_the_budget_and_beats_one_bit_a_weight():
    x = (rng.standard_normal((96, 8)) @ rng.standard_normal((8, 80)) * 1e-2 + delta((96, 80))).astype(np.float32)
    errs = [rel_err(x, L.decompress(L.svd_mixed_compress(x, bits=b))) for b in (0.5, 1.0, 2.0, 4.0)]
    assert errs == sorted(errs, reverse=True) and errs[-1] < 0.2
    sign = L.sign_compress(x)
    mixed = L.svd_mixed_compress(x, bits=1.0)
    assert mixed.compressed_size_bytes <= sign.compressed_size_bytes * 1.1
    assert rel_err(x, L.decompress(mixed)) < rel_err(x, L.decompress(sign))


def test_svd_mixed_widths_share_one_budget_over_all_tensors():
    big = (rng.standard_normal((64, 4)) @ rng.standard_normal((4, 48)) * 0.1).astype(np.float32)
    small = delta((32, 24))
    shapes = [big.shape, small.shape]
    spectra = [L.svd_spectrum(big), L.svd_spectrum(small)]
    np.testing.assert_allclose(spectra[0], np.linalg.svd(big.astype(np.float64), compute_uv=False), rtol=1e-4,
                               atol=1e-6)
    widths = L.svd_mixed_widths(shapes, spectra, bits=1.0)
    assert [w.tolist() for w in widths] == greedy_model(spectra, shapes, 1.0)
    # The strong tensor takes most of the bits: more than its own budget would give it.
    own = L.svd_mixed_compress(big, bits=1.0).cores[2]
    assert sum(widths[0].astype(int)) > sum(own.astype(int))
    rec = L.svd_mixed_compress(big, bits=1.0, widths=widths[0])
    assert rec.cores[2].tolist() == widths[0].tolist()
    assert L.svd_mixed_widths([], [], bits=1.0) == []


@pytest.mark.parametrize("bad, exc, msg", [
    (dict(bits=0.0), ValueError, "bits must be a positive"),
    (dict(bits=float("nan")), ValueError, "bits must be a positive"),
    (dict(widths=[5]), ValueError, "widths must be 0, 2, 3, 4 or 8"),
    (dict(widths=[8] * 50), ValueError, "triplets; the matrix has"),
    (dict(widths=[[2]]), ValueError, "one-dimensional"),
    (dict(zstd=1), TypeError, "zstd"),
])
def test_svd_mixed_bad_settings_are_refused(bad, exc, msg):
    with pytest.raises(exc, match=msg):
        L.svd_mixed_compress(delta((12, 10)), **bad)


@pytest.mark.parametrize("shapes, spectra, msg", [
    ([(4, 3)], [np.array([1.0, 2.0, 0.5])], "descending"),
    ([(4, 3)], [np.ones(4)], "at most min"),
    ([(4,)], [np.ones(1)], "2 or more dimensions"),
    ([(4, 3)], [], "differ in length"),
    ([(4, 3)], [np.array([np.nan, 0.0, 0.0])], "NaN"),
])
def test_svd_mixed_widths_refuses_inconsistent_spectra(shapes, spectra, msg):
    with pytest.raises(ValueError, match=msg):
        L.svd_mixed_widths(shapes, spectra)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_svd_mixed_refuses_non_finite_tensors_and_vectors(bad):
    x = delta((8, 6))
    x[2, 3] = bad
    with pytest.raises(ValueError, match="NaN or infinity"):
        L.svd_mixed_compress(x)
    with pytest.raises(ValueError, match="NaN or infinity"):
        L.svd_spectrum(x)
    with pytest.raises(ValueError, match="SVD requires ndim >= 2, got 1"):
        L.svd_mixed_compress(delta((8,)))


def test_svd_mixed_zstd_frames_round_trip_and_are_bounded():
    pytest.importorskip("zstandard")
    x = (rng.standard_normal((64, 6)) @ rng.standard_normal((6, 50)) * 1e-2).astype(np.float32)
    plain = L.svd_mixed_compress(x, bits=2.0)
    packed = L.svd_mixed_compress(x, bits=2.0, zstd=True)
    assert packed.metadata["zstd"] is True
    np.testing.assert_array_equal(L.decompress(plain), L.decompress(packed))
    np.testing.assert_allclose(L.decompress(packed), mixed_model(packed).astype(np.float32), rtol=1e-5, atol=1e-7)
    import zstandard
    codes, scales, widths = packed.cores
    raw = zstandard.ZstdDecompressor().decompress(codes.tobytes())
    for frame, msg in [(zstandard.ZstdCompressor().compress(raw + b"\0"), "does not decompress|bytes of codes"),
                       (zstandard.ZstdCompressor().compress(raw[:-1]), "bytes of codes"),
                       (codes[: len(codes) // 2], "does not decompress|bytes of codes")]:
        bad = L.CompressedTensor(packed.method, packed.shape, packed.dtype,
                                 (np.frombuffer(frame, np.uint8) if isinstance(frame, bytes) else frame, scales,
                                  widths), (), packed.metadata)
        with pytest.raises(ValueError, match=msg):
            L.decompress(bad)


def test_svd_mixed_record_with_a_bad_width_or_zstd_flag_is_refused():
    rec = L.svd_mixed_compress(delta((20, 16)), bits=2.0)
    codes, scales, widths = rec.cores
    w = widths.copy()
    w[0] = 5
    with pytest.raises(ValueError, match="a width of 5 bits"):
        L.decompress(L.CompressedTensor(rec.method, rec.shape, rec.dtype, (codes, scales, w), (), rec.metadata))
    with pytest.raises(ValueError, match="'zstd' is not a bool"):
        L.decompress(L.CompressedTensor(rec.method, rec.shape, rec.dtype, rec.cores, (), dict(rec.metadata, zstd=1)))
    with pytest.raises(ValueError, match="Expected SVD_MIXED"):
        L.svd_mixed_factors(L.sign_compress(delta((4, 4))))


# ------------------------------------------------------------------ the smallest record in bound

@pytest.mark.parametrize("bound", [0.0, 0.01, 0.1, 0.3, 0.7, 2.0])
@pytest.mark.parametrize("kind", ["noise", "low_rank", "sign_like"])
def test_compress_best_stays_within_bound_and_below_dense(bound, kind):
    if kind == "noise":
        x = delta((48, 40))
    elif kind == "low_rank":
        x = (rng.standard_normal((48, 3)) @ rng.standard_normal((3, 40))).astype(np.float32)
    else:
        x = (np.sign(rng.standard_normal((48, 40))) * 1e-3).astype(np.float32)
    dense = x.nbytes
    rec = L.compress_best(x, max_error=bound)
    err = rel_err(x, L.decompress(rec))
    assert err <= bound + 1e-6
    assert rec.compressed_size_bytes <= dense
    if rec.method is not L.CompressionMethod.NONE:
        assert rec.compressed_size_bytes < dense
    # No single candidate that meets the bound is smaller than the choice.
    for other in (L.sign_compress(x), L.sign_compress(x, per_row=False), L.svd_quant_compress(x, rank=0),
                  L.svd_mixed_compress(x, bits=1.0),
                  L.svd_quant_compress(x, rank=0, bits=8), L.svd_compress_energy(x, energy=1 - bound ** 2)
                  if bound < 1 else L.sign_compress(x, per_row=False)):
        if rel_err(x, L.decompress(other)) <= bound:
            assert rec.compressed_size_bytes <= other.compressed_size_bytes


def test_compress_best_picks_what_fits_the_tensor():
    lowr = (rng.standard_normal((64, 2)) @ rng.standard_normal((2, 64))).astype(np.float32)
    assert L.compress_best(lowr, max_error=1e-3).method is L.CompressionMethod.SVD
    signs = (np.sign(rng.standard_normal((64, 64))) * 1e-3).astype(np.float32)
    assert L.compress_best(signs, max_error=1e-3).method is L.CompressionMethod.SIGN
    assert L.compress_best(delta((64, 64)), max_error=0.0).method is L.CompressionMethod.NONE
    vec = delta((10,))
    assert L.compress_best(vec, max_error=0.9).method is L.CompressionMethod.NONE


@pytest.mark.parametrize("bound", [0.05, 0.1, 0.3])
def test_compress_best_takes_svd_mixed_where_it_is_smallest(bound):
    x = (rng.standard_normal((96, 12)) @ rng.standard_normal((12, 80)) * 1e-2 + delta((96, 80))).astype(np.float32)
    rec = L.compress_best(x, max_error=bound)
    assert rec.method is L.CompressionMethod.SVD_MIXED
    assert rel_err(x, L.decompress(rec)) <= bound
    for other in (L.sign_compress(x, rank=8), L.svd_quant_compress(x, rank=8), L.svd_compress_energy(x, 1 - bound ** 2)):
        if rel_err(x, L.decompress(other)) <= bound:
            assert rec.compressed_size_bytes < other.compressed_size_bytes


def test_compress_best_refuses_a_negative_bound():
    with pytest.raises(ValueError, match="max_error"):
        L.compress_best(delta((4, 4)), max_error=-0.1)
    with pytest.raises(TypeError, match="max_error"):
        L.compress_best(delta((4, 4)), max_error="x")


# ------------------------------------------------------------- library: save / load round trip

@pytest.mark.parametrize("method", ["sign", "svd_q4", "svd_q8"])
def test_library_round_trip_keeps_few_bit_records_exact(tmp_path, method):
    pytest.importorskip("safetensors")
    base = {"w": delta((24, 40)), "b": delta((24,)), "e": delta((3, 4, 5))}
    ft = {k: v + delta(v.shape) for k, v in base.items()}
    lib = ModelLibrary("base", base, method=method, max_rank=2)
    rec = lib.add_finetune("ft", ft)
    assert rec.tensors["w"].method == method and rec.tensors["b"].method == "none"
    before = lib.reconstruct("ft")
    lib.save(tmp_path / "lib")
    back = ModelLibrary.load(tmp_path / "lib")
    loaded = back.deltas["ft"].tensors["w"]
    assert loaded.method is L.CompressionMethod(method)
    assert loaded.compressed_size_bytes == rec.tensors["w"].compressed_size_bytes
    assert back.stored_bytes() == lib.stored_bytes()
    after = back.reconstruct("ft")
    for k in before:
        np.testing.assert_array_equal(before[k], after[k])
    assert reconstruction_error(after, ft) < 1.0


# --------------------------------------------------------------------------- perplexity on text

def _one_window_perplexity(model_dir, text):
    import torch
    from transformers import AutoModelForCausalLM, AutoTokenizer

    tok = AutoTokenizer.from_pretrained(str(model_dir))
    model = AutoModelForCausalLM.from_pretrained(str(model_dir), dtype=torch.float32).eval()
    ids = tok(text, return_tensors="pt")["input_ids"]
    with torch.no_grad():
        return math.exp(float(model(ids, labels=ids).loss)), ids.shape[1]


def test_perplexity_from_text_is_the_model_loss_on_the_file(tiny_model_dir, tmp_path):
    text = "Perplexity measures how surprised a language model is by a text. The quick brown fox."
    f = tmp_path / "mine.txt"
    f.write_text(text, encoding="utf-8")
    want, n = _one_window_perplexity(tiny_model_dir, text)
    got = hubload.perplexity_from_text(tiny_model_dir, None, f, window=n + 5, stride=n + 5)
    assert got == pytest.approx(want, rel=1e-5)
    # Windows and caps as perplexity_from_state_dict has them: a cap at n tokens changes nothing.
    assert hubload.perplexity_from_text(tiny_model_dir, None, str(f), max_tokens=n, window=n) == pytest.approx(got)
    assert hubload._load_text_ids(tiny_model_dir, f, 5).shape == (5,)


def test_perplexity_from_text_with_a_state_dict(tiny_model_dir, tmp_path):
    f = tmp_path / "mine.txt"
    f.write_text("Hello, how are you today? I am fine, thank you very much.", encoding="utf-8")
    sd = hubload.load_state_dict_numpy(tiny_model_dir)
    same = hubload.perplexity_from_text(tiny_model_dir, sd, f)
    assert same == pytest.approx(hubload.perplexity_from_text(tiny_model_dir, None, f))
    changed = {k: v + 0.05 * rng.standard_normal(v.shape).astype(v.dtype) for k, v in sd.items()}
    assert hubload.perplexity_from_text(tiny_model_dir, changed, f) != pytest.approx(same)
    with pytest.raises(RuntimeError, match="state_dict mismatch"):
        hubload.perplexity_from_text(tiny_model_dir, {**sd, "extra": np.zeros(2, np.float32)}, f)


def test_perplexity_from_text_refusals(tiny_model_dir, tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_text("", encoding="utf-8")
    with pytest.raises(ValueError, match="holds no tokens"):
        hubload.perplexity_from_text(tiny_model_dir, None, empty)
    with pytest.raises(FileNotFoundError):
        hubload.perplexity_from_text(tiny_model_dir, None, tmp_path / "missing.txt")
    with pytest.raises(TypeError, match="text_file"):
        hubload.perplexity_from_text(tiny_model_dir, None, 3)
    with pytest.raises(ValueError, match="window and stride"):
        hubload.perplexity_from_text(tiny_model_dir, None, empty, stride=0)


COMMAND = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]
OFFLINE = {**os.environ, "HF_HUB_OFFLINE": "1", "TRANSFORMERS_OFFLINE": "1", "HF_DATASETS_OFFLINE": "1",
           "OMP_NUM_THREADS": "1"}


def test_perplexity_command_on_a_text_file_offline(tiny_model_dir, tmp_path):
    f = tmp_path / "mine.txt"
    f.write_text("The server answers chat completions for many adapters at once.", encoding="utf-8")
    res = subprocess.run(COMMAND + ["perplexity", str(tiny_model_dir), "--text", str(f), "--max-tokens", "0"],
                         capture_output=True, text=True, env=OFFLINE, timeout=300)
    assert res.returncode == 0, res.stderr
    line = res.stdout.strip().splitlines()[-1]
    assert f"on '{f}' (whole file)" in line
    value = float(line.rsplit(" ", 1)[1])
    assert value == pytest.approx(hubload.perplexity_from_text(tiny_model_dir, None, f, max_tokens=0), rel=1e-3)
    res = subprocess.run(COMMAND + ["perplexity", str(tiny_model_dir), "--text", str(tmp_path / "nope.txt")],
                         capture_output=True, text=True, env=OFFLINE, timeout=300)
    assert res.returncode == 1 and "text file not found" in res.stderr and "Traceback" not in res.stderr


# ----------------------------------------------------------------------- the testbed, in small

@pytest.fixture(scope="module")
def small_testbed(tmp_path_factory):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
    try:
        import testbed
    finally:
        sys.path.pop(0)
    if not any(testbed._domain_files(d) for d in testbed.DOMAINS):
        pytest.skip("no offline text on this machine")
    out = tmp_path_factory.mktemp("testbed")
    return out, testbed.build(out, small=True, log=lambda *_: None)


def test_small_testbed_is_real_full_finetunes(small_testbed):
    out, meta = small_testbed
    base = hubload.load_state_dict_numpy(out / "base")
    for d in meta["domains"]:
        ft = hubload.load_state_dict_numpy(out / f"ft_{d}")
        assert ft.keys() == base.keys()
        assert all(not np.array_equal(ft[k], base[k]) for k in ft)  # every weight trained
        text = out / "heldout" / f"{d}.txt"
        assert text.stat().st_size > 0
        assert hubload.perplexity_from_text(out / f"ft_{d}", None, text, max_tokens=200, window=32, stride=16) > 1.0


def test_sign_delta_of_a_real_finetune_reconstructs_within_its_error(small_testbed):
    out, meta = small_testbed
    base = hubload.load_state_dict_numpy(out / "base")
    ft = hubload.load_state_dict_numpy(out / f"ft_{meta['domains'][0]}")
    lib = ModelLibrary("base", base, method="sign", max_rank=0)
    rec = lib.add_finetune("ft", ft)
    fp16 = sum(v.size * 2 for v in ft.values())
    assert rec.stored_bytes() < fp16 / 4
    err = reconstruction_error({k: v - base[k] for k, v in lib.reconstruct("ft").items()},
                               {k: v - base[k] for k, v in ft.items()})
    assert 0 < err < 0.7


# ------------------------------------------------------------------- library: per-tensor choice

def test_library_with_max_error_picks_per_tensor_and_never_exceeds_dense():
    base = {"low": delta((32, 32)), "noise": delta((32, 48)), "norm": delta((32,))}
    lowr = (rng.standard_normal((32, 2)) @ rng.standard_normal((2, 32)) * 1e-3).astype(np.float32)
    ft = {"low": base["low"] + lowr, "noise": base["noise"] + delta((32, 48)), "norm": base["norm"] + 1}
    lib = ModelLibrary("b", base, method="tt", max_error=0.05)
    rec = lib.add_finetune("ft", ft)
    # The rank-2 delta keeps its two triplets: exact, or in 8-bit codes where those are smaller.
    assert rec.tensors["low"].method in (L.CompressionMethod.SVD, L.CompressionMethod.SVD_MIXED)
    assert rec.tensors["low"].metadata["rank"] == 2
    assert rec.tensors["norm"].method is L.CompressionMethod.NONE
    for name, r in rec.tensors.items():
        d = (ft[name] - base[name]).astype(np.float32)
        assert r.compressed_size_bytes <= d.nbytes
        assert rel_err(d, L.decompress(r)) <= 0.05 + 1e-6
    tight = ModelLibrary("b", base, max_error=0.0).add_finetune("ft", ft)
    assert {r.method for r in tight.tensors.values()} == {L.CompressionMethod.NONE}


def test_library_refuses_energy_with_max_error_and_stays_unchanged():
    lib = ModelLibrary("b", {"w": delta((4, 4))}, energy=0.9, max_error=0.1)
    with pytest.raises(ValueError, match="energy and max_error"):
        lib.add_finetune("ft", {"w": delta((4, 4))})
    assert lib.deltas == {}


def test_compress_best_keeps_non_finite_tensors_dense():
    x = delta((8, 8))
    x[0, 0] = np.nan
    rec = L.compress_best(x, max_error=0.5)
    assert rec.method is L.CompressionMethod.NONE
    np.testing.assert_array_equal(L.decompress(rec), x)


# ------------------------------------------------------------------------------ the command

def _cli(*args):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True, env=OFFLINE, timeout=300)


def test_add_finetune_command_with_new_methods_and_auto(small_testbed, tmp_path):
    out, meta = small_testbed
    lib = tmp_path / "lib"
    assert _cli("add-base", out / "base", "--library", lib).returncode == 0
    d = meta["domains"][0]
    res = _cli("add-finetune", out / f"ft_{d}", "--library", lib, "--id", "auto", "--method", "auto",
               "--max-error", "0.3")
    assert res.returncode == 0, res.stderr
    assert "x smaller" in res.stdout and "  methods: " in res.stdout and "note:" not in res.stdout
    res = _cli("add-finetune", out / f"ft_{d}", "--library", lib, "--id", "sign", "--method", "sign",
               "--max-rank", "0")
    assert res.returncode == 0 and "methods: sign " in res.stdout, res.stderr
    # A full-rank-ish SVD is larger than the dense delta for square matrices: said, not silent.
    res = _cli("add-finetune", out / f"ft_{d}", "--library", lib, "--id", "svd", "--method", "svd")
    assert res.returncode == 0 and "stored larger than their dense float32 delta" in res.stdout
    loaded = ModelLibrary.load(lib)
    assert loaded.max_error is None  # the option applied to that fine-tune only
    base = hubload.load_state_dict_numpy(out / "base")
    ft = hubload.load_state_dict_numpy(out / f"ft_{d}")
    for name, rec in loaded.deltas["auto"].tensors.items():
        dd = (ft[name] - base[name]).astype(np.float32)
        assert rec.compressed_size_bytes <= dd.nbytes
        assert rel_err(dd, L.decompress(rec)) <= 0.3 + 1e-6
    assert {r.method for r in loaded.deltas["sign"].tensors.values()} <= {L.CompressionMethod.SIGN,
                                                                          L.CompressionMethod.NONE}


@pytest.mark.parametrize("args,msg", [(["--method", "auto"], "--method auto needs --max-error"),
                                      (["--max-error", "0.1"], "--max-error goes with --method auto"),
                                      (["--method", "auto", "--max-error", "0.1", "--energy", "0.9"], "give one"),
                                      (["--method", "auto", "--max-error", "-1"], "invalid error bound")])
def test_add_finetune_command_refuses_inconsistent_options(tiny_model_dir, tmp_path, args, msg):
    res = _cli("add-finetune", tiny_model_dir, "--library", tmp_path / "nolib", "--id", "x", *args)
    assert res.returncode == 2 and msg in res.stderr and "Traceback" not in res.stderr
