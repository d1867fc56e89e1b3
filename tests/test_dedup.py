"""Content-addressed dedup store: block arithmetic, digests, tenants, counters and checks."""

import collections
import dataclasses
import hashlib
import inspect
import subprocess
import sys

import numpy as np
import pytest

from velkor_zuma.dedup import DedupStore, _blocks

MiB = 1 << 20


def ref_digests(data, block):
    """Digests of consecutive `block`-byte pieces, computed directly with hashlib."""
    view = memoryview(data)
    return [hashlib.sha256(view[i : i + block]).hexdigest() for i in range(0, len(view), block)]


def ref_state_dict_digests(sd, block):
    out = []
    for name in sorted(sd):
        out += ref_digests(np.ascontiguousarray(sd[name]).tobytes(), block)
    return out


def random_bytes(n, seed=0):
    return np.random.default_rng(seed).integers(0, 256, n, dtype=np.uint8).tobytes()


def random_state_dict(seed=0):
    rng = np.random.default_rng(seed)
    return {
        "layers.0.attn.q.weight": rng.standard_normal((64, 64), dtype=np.float32),
        "layers.0.attn.q.bias": rng.standard_normal(64, dtype=np.float32),
        "layers.0.mlp.up.weight": rng.standard_normal((128, 64), dtype=np.float32),
        "layers.0.norm.weight": np.ones(64, dtype=np.float32),
        "embed.weight": rng.standard_normal((100, 64), dtype=np.float32),
    }


# ---- the record --------------------------------------------------------------------------------


def test_record_fields_defaults_and_fresh_mappings():
    fields = dataclasses.fields(DedupStore)
    assert [f.name for f in fields] == ["block_size", "unique", "tenants", "_tenant_bytes"]
    a, b = DedupStore(), DedupStore()
    assert (a.block_size, a.unique, a.tenants, a._tenant_bytes) == (MiB, {}, {}, {})
    a.unique["x"] = 1
    a.tenants["t"] = []
    assert b.unique == {} and b.tenants == {}
    a.block_size = 7  # mutable record
    assert a.block_size == 7 and a != b


def test_record_constructor_by_position_and_keyword():
    pos = DedupStore(16, {"d": 16}, {"t": ["d"]}, {"t": 16})
    kw = DedupStore(block_size=16, unique={"d": 16}, tenants={"t": ["d"]}, _tenant_bytes={"t": 16})
    assert pos == kw
    assert pos.summary()["naive_bytes"] == 16
    assert DedupStore.__module__ == "velkor_zuma.dedup"


# ---- _blocks -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n, block, lengths",
    [
        (0, 4, []),
        (3, 4, [3]),
        (8, 4, [4, 4]),
        (10, 4, [4, 4, 2]),
        (5, 1, [1] * 5),
        (MiB * 5 // 2, MiB, [MiB, MiB, MiB // 2]),
    ],
)
def test_blocks_lengths_and_contents(n, block, lengths):
    data = random_bytes(n)
    pieces = list(_blocks(memoryview(data), block))
    assert [len(p) for p in pieces] == lengths
    assert all(isinstance(p, memoryview) for p in pieces)
    assert b"".join(pieces) == data


def test_blocks_are_views_not_copies():
    buf = bytearray(b"abcdefghij")
    view = memoryview(buf)
    pieces = list(_blocks(view, 4))
    assert all(p.obj is buf for p in pieces)
    buf[0:1] = b"Z"
    buf[9:10] = b"!"
    assert bytes(pieces[0]) == b"Zbcd" and bytes(pieces[2]) == b"i!"


def test_blocks_is_a_lazy_generator():
    view = memoryview(b"0123456789")
    gen = _blocks(view, 4)
    assert inspect.isgenerator(gen)
    first = next(gen)
    view.release()  # later slices are taken only when asked for
    with pytest.raises(ValueError, match="released"):
        next(gen)
    assert bytes(first) == b"0123"


def test_blocks_block_truncates_numbers():
    assert [len(p) for p in _blocks(memoryview(bytes(5)), 2.9)] == [2, 2, 1]


@pytest.mark.parametrize("block", [0, -1, -4096, 0.5])
def test_blocks_refuses_non_positive_block(block):
    with pytest.raises(ValueError, match=r"^block_size must be a positive integer, got (0|-1|-4096)$"):
        _blocks(memoryview(b"abc"), block)


@pytest.mark.parametrize(
    "buf, block, message",
    [
        (b"abc", 2, "Argument 'buf' has incorrect type (expected memoryview, got bytes)"),
        (bytearray(b"abc"), 2, "Argument 'buf' has incorrect type (expected memoryview, got bytearray)"),
        (memoryview(b"abc"), "2", "Argument 'block' has incorrect type (expected int, got str)"),
        (memoryview(b"abc"), None, "Argument 'block' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_blocks_argument_types(buf, block, message):
    with pytest.raises(TypeError) as err:
        _blocks(buf, block)
    assert str(err.value) == message


# ---- add_tensor_bytes --------------------------------------------------------------------------


def test_two_and_a_half_mib_make_three_blocks():
    data = random_bytes(MiB * 5 // 2)
    store = DedupStore()
    store.add_tensor_bytes("t", data)
    assert store.tenants["t"] == ref_digests(data, MiB)
    assert list(store.unique.values()) == [MiB, MiB, MiB // 2]
    assert all(len(h) == 64 and h == h.lower() for h in store.unique)
    assert store._tenant_bytes == {"t": len(data)}


@pytest.mark.parametrize(
    "n, block",
    [
        (1, 1),
        (1000, 1),  # many tiny blocks, more than one batch per thread
        (700_001, 7),  # blocks that do not divide the batch size
        (3 * MiB + 5, 64 * 1024),
        (2 * MiB, 4 * MiB),  # one block larger than the data
        (5 * MiB + 3, MiB),
    ],
)
def test_digests_match_hashlib_in_order(n, block):
    data = random_bytes(n, seed=n)
    store = DedupStore(block_size=block)
    store.add_tensor_bytes("t", data)
    expected = ref_digests(data, block)
    assert store.tenants["t"] == expected
    assert list(store.unique) == list(dict.fromkeys(expected))
    assert store.naive_bytes() == n


def test_empty_data_registers_tenant_without_bytes():
    store = DedupStore()
    store.add_tensor_bytes("empty", b"")
    assert store.tenants == {"empty": []}
    assert store._tenant_bytes == {} and store.unique == {}
    assert store.summary()["tenants"] == 1


def test_same_data_twice_counts_twice_and_stores_once():
    data = random_bytes(3 * 1000)
    store = DedupStore(block_size=1000)
    store.add_tensor_bytes("t", data)
    store.add_tensor_bytes("t", data)
    assert len(store.tenants["t"]) == 6 and len(store.unique) == 3
    assert store.naive_bytes() == 6000 and store.deduped_bytes() == 3000


def test_repeated_blocks_keep_first_sight_order_and_length():
    block = b"x" * 10
    store = DedupStore(block_size=10)
    store.add_tensor_bytes("a", b"y" * 10 + block + block + b"x" * 4)
    store.add_tensor_bytes("b", block)
    h_y, h_x, h_short = (hashlib.sha256(p).hexdigest() for p in (b"y" * 10, block, b"x" * 4))
    assert list(store.unique.items()) == [(h_y, 10), (h_x, 10), (h_short, 4)]
    assert store.tenants == {"a": [h_y, h_x, h_x, h_short], "b": [h_x]}


# ---- add_state_dict ----------------------------------------------------------------------------


def test_state_dict_order_does_not_matter():
    sd = random_state_dict()
    reversed_sd = dict(reversed(list(sd.items())))
    a, b = DedupStore(block_size=1000), DedupStore(block_size=1000)
    a.add_state_dict("t", sd)
    b.add_state_dict("t", reversed_sd)
    assert a.tenants["t"] == b.tenants["t"] == ref_state_dict_digests(sd, 1000)
    assert a.unique == b.unique


def test_blocks_never_span_two_tensors():
    sd = {"a": np.arange(3, dtype=np.uint8), "b": np.arange(5, dtype=np.uint8)}
    store = DedupStore(block_size=4)
    store.add_state_dict("t", sd)
    assert store.tenants["t"] == ref_digests(bytes([0, 1, 2]), 4) + ref_digests(bytes(range(5)), 4)
    assert sorted(store.unique.values()) == [1, 3, 4]


def test_two_tenants_same_state_dict():
    sd = random_state_dict()
    nbytes = sum(v.nbytes for v in sd.values())
    store = DedupStore(block_size=4096)
    store.add_state_dict("alice", sd)
    store.add_state_dict("bob", sd)
    assert store.naive_bytes() == 2 * nbytes
    assert store.deduped_bytes() == nbytes
    assert store.dedup_ratio() == 2.0 and store.shared_fraction() == 0.5
    assert store.tenants["alice"] == store.tenants["bob"]


def test_identical_tensors_deduplicate_within_a_tenant():
    w = np.random.default_rng(1).standard_normal((50, 30), dtype=np.float32)
    store = DedupStore(block_size=1024)
    store.add_state_dict("t", {"a": w, "b": w.copy(), "c": w.copy()})
    assert store.naive_bytes() == 3 * w.nbytes
    assert store.deduped_bytes() == w.nbytes
    assert store.dedup_ratio() == pytest.approx(3.0)


def test_fine_tune_shares_unchanged_tensors_only():
    base = random_state_dict()
    tuned = dict(base)
    tuned["embed.weight"] = base["embed.weight"] + 1.0
    store = DedupStore(block_size=MiB)
    store.add_state_dict("base", base)
    store.add_state_dict("tuned", tuned)
    nbytes = sum(v.nbytes for v in base.values())
    assert store.deduped_bytes() == nbytes + tuned["embed.weight"].nbytes


@pytest.mark.parametrize(
    "make",
    [
        lambda rng: rng.standard_normal((40, 30)).T,  # Fortran order
        lambda rng: rng.standard_normal((40, 30), dtype=np.float32)[::3, 1::2],  # strided
        lambda rng: rng.standard_normal((7, 5)).astype(">f8"),  # big-endian
        lambda rng: rng.standard_normal(33).astype(np.float16),
        lambda rng: rng.integers(-5, 5, (4, 4, 4), dtype=np.int8),
        lambda rng: rng.random(17) > 0.5,
        lambda rng: np.arange(6).astype("datetime64[s]"),
        lambda rng: np.array(3.5),  # 0-d
        lambda rng: np.zeros((0, 4), dtype=np.float32),  # no bytes at all
        lambda rng: [[1.0, 2.0], [3.0, 4.0]],  # anything numpy turns into an array
    ],
)
def test_tensor_bytes_follow_row_major_raw_bytes(make):
    value = make(np.random.default_rng(2))
    store = DedupStore(block_size=64)
    store.add_state_dict("t", {"w": value, "z": np.arange(3, dtype=np.int64)})
    assert store.tenants["t"] == ref_state_dict_digests({"w": value, "z": np.arange(3, dtype=np.int64)}, 64)
    assert store.naive_bytes() == np.asarray(value).nbytes + 24


def test_large_state_dict_matches_reference():
    # Enough bytes that hashing runs on several threads, with tensors of mixed sizes.
    rng = np.random.default_rng(3)
    sd = {f"w{i:02d}": rng.standard_normal(int(n), dtype=np.float32) for i, n in enumerate(rng.integers(1, 300_000, 20))}
    sd["strided"] = rng.standard_normal((600, 900), dtype=np.float32).T
    store = DedupStore(block_size=100_000)
    store.add_state_dict("t", sd)
    assert store.tenants["t"] == ref_state_dict_digests(sd, 100_000)


def test_state_dict_stops_at_first_unconvertible_tensor():
    sd = {"a": np.arange(4, dtype=np.int32), "b": np.array([object()]), "c": np.ones(2)}
    store = DedupStore(block_size=8)
    with pytest.raises(TypeError):  # object arrays hold addresses, not tensor bytes
        store.add_state_dict("t", sd)
    assert store.tenants == {"t": ref_digests(np.arange(4, dtype=np.int32).tobytes(), 8)}
    assert store._tenant_bytes == {"t": 16}


def test_state_dict_failing_first_tensor_changes_nothing():
    store = DedupStore()
    with pytest.raises(ValueError):
        store.add_state_dict("t", {"a": [[1, 2], [3]]})  # ragged: not an array
    assert store == DedupStore()


def test_empty_state_dict_adds_nothing():
    store = DedupStore()
    store.add_state_dict("t", {})
    assert store == DedupStore()


# ---- counters and summary ----------------------------------------------------------------------


def test_empty_store_counters():
    store = DedupStore()
    assert store.naive_bytes() == 0 and store.deduped_bytes() == 0
    assert store.dedup_ratio() == 1.0 and store.shared_fraction() == 0.0
    assert isinstance(store.dedup_ratio(), float) and isinstance(store.shared_fraction(), float)
    assert store.summary() == {
        "tenants": 0,
        "block_size": MiB,
        "naive_bytes": 0,
        "deduped_bytes": 0,
        "unique_blocks": 0,
        "dedup_ratio": 1.0,
        "shared_fraction": 0.0,
    }


def test_summary_keys_in_order_and_values():
    store = DedupStore(block_size=10)
    store.add_tensor_bytes("a", b"0123456789" * 3)
    store.add_tensor_bytes("b", b"0123456789abc")
    store.add_tensor_bytes("c", b"")
    summary = store.summary()
    assert list(summary) == [
        "tenants",
        "block_size",
        "naive_bytes",
        "deduped_bytes",
        "unique_blocks",
        "dedup_ratio",
        "shared_fraction",
    ]
    assert summary == {
        "tenants": 3,
        "block_size": 10,
        "naive_bytes": 43,
        "deduped_bytes": 13,
        "unique_blocks": 2,
        "dedup_ratio": 43 / 13,
        "shared_fraction": 1.0 - 13 / 43,
    }
    summary["tenants"] = 99  # a new mapping each time
    assert store.summary()["tenants"] == 3


# ---- block_size must be positive ---------------------------------------------------------------


@pytest.mark.parametrize("block_size", [0, -1, -MiB])
@pytest.mark.parametrize(
    "add",
    [
        lambda s: s.add_tensor_bytes("t", b"data"),
        lambda s: s.add_tensor_bytes("t", b""),
        lambda s: s.add_state_dict("t", {"w": np.ones(4)}),
        lambda s: s.add_state_dict("t", {}),
    ],
)
def test_non_positive_block_size_is_refused_before_any_change(block_size, add):
    store = DedupStore(block_size=block_size)
    with pytest.raises(ValueError) as err:
        add(store)
    assert str(err.value) == f"block_size must be a positive integer, got {block_size}"
    assert store == DedupStore(block_size=block_size)


def test_block_size_number_is_truncated():
    store = DedupStore(block_size=4.7)
    store.add_tensor_bytes("t", b"abcdefghij")
    assert list(store.unique.values()) == [4, 4, 2]
    store.block_size = "4"
    with pytest.raises(TypeError, match=r"Argument 'block_size' has incorrect type \(expected int, got str\)"):
        store.add_tensor_bytes("t", b"abc")


# ---- argument types ----------------------------------------------------------------------------


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_tensor_bytes(1, b""), "Argument 'tenant' has incorrect type (expected str, got int)"),
        (lambda s: s.add_tensor_bytes(StrSub("t"), b""), "Argument 'tenant' has incorrect type (expected str, got StrSub)"),
        (lambda s: s.add_tensor_bytes("t", bytearray(b"x")), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        (lambda s: s.add_tensor_bytes("t", memoryview(b"x")), "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
        (lambda s: s.add_tensor_bytes("t", BytesSub(b"x")), "Argument 'data' has incorrect type (expected bytes, got BytesSub)"),
        (lambda s: s.add_tensor_bytes("t", "text"), "Argument 'data' has incorrect type (expected bytes, got str)"),
        (lambda s: s.add_state_dict(None, {}), "Argument 'tenant' has incorrect type (expected str, got NoneType)"),
        (lambda s: s.add_state_dict("t", [("w", np.ones(2))]), "Argument 'sd' has incorrect type (expected dict, got list)"),
        (
            lambda s: s.add_state_dict("t", collections.OrderedDict(w=np.ones(2))),
            "Argument 'sd' has incorrect type (expected dict, got OrderedDict)",
        ),
    ],
)
def test_argument_types(call, message):
    store = DedupStore()
    with pytest.raises(TypeError) as err:
        call(store)
    assert str(err.value) == message
    assert store == DedupStore()


def test_keyword_arguments():
    store = DedupStore(block_size=2)
    store.add_tensor_bytes(tenant="a", data=b"abc")
    store.add_state_dict(tenant="b", sd={"w": np.frombuffer(b"abc", dtype=np.uint8)})
    assert store.tenants["a"] == store.tenants["b"]


# ---- digests without the OpenSSL library -------------------------------------------------------


def test_digests_from_hashlib_when_openssl_is_unreachable():
    # With _hashlib unavailable the store hashes through hashlib's own SHA-256 on its threads.
    code = """
import sys
sys.modules['_hashlib'] = None
import hashlib, numpy as np
from velkor_zuma.dedup import DedupStore
data = np.random.default_rng(5).integers(0, 256, 3 * 2**20 + 11, dtype=np.uint8).tobytes()
store = DedupStore(block_size=100_000)
store.add_tensor_bytes('t', data)
ref = [hashlib.sha256(data[i:i + 100_000]).hexdigest() for i in range(0, len(data), 100_000)]
assert store.tenants['t'] == ref, 'digest mismatch'
print('ok', len(ref))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok", "32"]
