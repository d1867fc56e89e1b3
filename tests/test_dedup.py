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
from waiting import PATIENCE

MiB = 1 << 20
SUMMARY_KEYS = ["tenants", "block_size", "naive_bytes", "deduped_bytes", "unique_blocks", "dedup_ratio", "shared_fraction"]


def sha(piece):
    return hashlib.sha256(piece).hexdigest()


def ref_digests(data, block):
    """Digests of consecutive `block`-byte pieces, computed directly with hashlib."""
    view = memoryview(data)
    return [sha(view[i : i + block]) for i in range(0, len(view), block)]


def ref_state_dict_digests(sd, block):
    return [h for name in sorted(sd) for h in ref_digests(np.ascontiguousarray(sd[name]).tobytes(), block)]


def random_bytes(n, seed=0):
    return np.random.default_rng(seed).integers(0, 256, n, dtype=np.uint8).tobytes()


def random_state_dict(seed=0):
    rng = np.random.default_rng(seed)
    shapes = {"layers.0.attn.q.weight": (64, 64), "layers.0.attn.q.bias": 64, "layers.0.mlp.up.weight": (128, 64)}
    sd = {name: rng.standard_normal(shape, dtype=np.float32) for name, shape in shapes.items()}
    return sd | {"layers.0.norm.weight": np.ones(64, dtype=np.float32), "embed.weight": rng.standard_normal((100, 64), dtype=np.float32)}


def filled(block_size, *entries):
    """A store after adding each (tenant, bytes or state dict) in turn."""
    store = DedupStore(block_size=block_size)
    for tenant, data in entries:
        (store.add_state_dict if isinstance(data, dict) else store.add_tensor_bytes)(tenant, data)
    return store


# ---- the record --------------------------------------------------------------------------------
def test_record_fields_defaults_and_constructor():
    assert [f.name for f in dataclasses.fields(DedupStore)] == ["block_size", "unique", "tenants", "_tenant_bytes"]
    assert DedupStore.__module__ == "velkor_zuma.dedup"
    a, b = DedupStore(), DedupStore()
    assert (a.block_size, a.unique, a.tenants, a._tenant_bytes) == (MiB, {}, {}, {})
    a.unique["x"] = 1  # each record gets its own mappings
    a.tenants["t"] = []
    assert b.unique == {} and b.tenants == {}
    a.block_size = 7  # mutable record
    assert a.block_size == 7 and a != b
    pos = DedupStore(16, {"d": 16}, {"t": ["d"]}, {"t": 16})
    assert pos == DedupStore(block_size=16, unique={"d": 16}, tenants={"t": ["d"]}, _tenant_bytes={"t": 16})
    assert pos.summary()["naive_bytes"] == 16


# ---- _blocks -----------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "n, block, lengths",
    [(0, 4, []), (3, 4, [3]), (8, 4, [4, 4]), (10, 4, [4, 4, 2]), (5, 1, [1] * 5), (MiB * 5 // 2, MiB, [MiB, MiB, MiB // 2])],
)
def test_blocks_lengths_and_contents(n, block, lengths):
    data = random_bytes(n)
    pieces = list(_blocks(memoryview(data), block))
    assert [len(p) for p in pieces] == lengths
    assert all(isinstance(p, memoryview) for p in pieces)
    assert b"".join(pieces) == data


def test_blocks_are_lazy_views_not_copies():
    buf = bytearray(b"abcdefghij")
    pieces = list(_blocks(memoryview(buf), 4))
    assert all(p.obj is buf for p in pieces)
    buf[0:1], buf[9:10] = b"Z", b"!"
    assert bytes(pieces[0]) == b"Zbcd" and bytes(pieces[2]) == b"i!"

    view = memoryview(b"0123456789")
    gen = _blocks(view, 4)
    assert inspect.isgenerator(gen)
    first = next(gen)
    view.release()  # later slices are taken only when asked for
    with pytest.raises(ValueError, match="released"):
        next(gen)
    assert bytes(first) == b"0123"


# ---- add_tensor_bytes --------------------------------------------------------------------------
@pytest.mark.parametrize(
    "n, block",
    # The default 1 MiB block (2.5 MiB make blocks of 1, 1 and 0.5 MiB); many tiny blocks, more than
    # one batch per thread; blocks that do not divide the batch size; one block larger than the data.
    [(MiB * 5 // 2, None), (1, 1), (1000, 1), (700_001, 7), (3 * MiB + 5, 64 * 1024), (2 * MiB, 4 * MiB), (5 * MiB + 3, MiB)],
)
def test_digests_match_hashlib_in_order(n, block):
    data = random_bytes(n, seed=n)
    store = DedupStore() if block is None else DedupStore(block_size=block)
    store.add_tensor_bytes("t", data)
    block = block or MiB
    expected = ref_digests(data, block)
    assert store.tenants["t"] == expected
    assert list(store.unique) == list(dict.fromkeys(expected))  # first-sight order
    assert [store.unique[h] for h in expected] == [min(block, n - i) for i in range(0, n, block)]
    assert store._tenant_bytes == {"t": n} and store.naive_bytes() == n


def test_repeated_blocks_stored_once_in_first_sight_order():
    x, y, short = b"x" * 10, b"y" * 10, b"x" * 4
    # "a" adds the same data twice: counted twice, stored once.
    store = filled(10, ("a", y + x + x + short), ("b", x), ("a", y + x + x + short))
    assert list(store.unique.items()) == [(sha(y), 10), (sha(x), 10), (sha(short), 4)]
    assert store.tenants == {"a": [sha(y), sha(x), sha(x), sha(short)] * 2, "b": [sha(x)]}
    assert store._tenant_bytes == {"a": 68, "b": 10}
    assert store.naive_bytes() == 78 and store.deduped_bytes() == 24


def test_empty_inputs():
    store = DedupStore()
    store.add_state_dict("t", {})  # no tensors: not even the tenant is added
    assert store == DedupStore()
    store.add_tensor_bytes(tenant="empty", data=b"")  # empty data registers the tenant, with no bytes
    assert store.tenants == {"empty": []}
    assert store._tenant_bytes == {} and store.unique == {}
    assert store.summary()["tenants"] == 1


# ---- add_state_dict ----------------------------------------------------------------------------
def test_state_dict_sorted_order_and_per_tensor_blocks():
    # Enough bytes that hashing runs on several threads, with tensors of mixed sizes; the order
    # the names come in does not matter.
    rng = np.random.default_rng(3)
    sd = {f"w{i:02d}": rng.standard_normal(int(n), dtype=np.float32) for i, n in enumerate(rng.integers(1, 300_000, 20))}
    sd["strided"] = rng.standard_normal((600, 900), dtype=np.float32).T
    a, b = filled(100_000, ("t", sd)), filled(100_000, ("t", dict(reversed(list(sd.items())))))
    assert a.tenants["t"] == b.tenants["t"] == ref_state_dict_digests(sd, 100_000)
    assert a.unique == b.unique
    # Blocks never span two tensors: 3 + 5 bytes in 4-byte blocks are pieces of 3, 4 and 1.
    store = DedupStore(block_size=4)
    store.add_state_dict(tenant="t", sd={"a": np.arange(3, dtype=np.uint8), "b": np.arange(5, dtype=np.uint8)})
    assert store.tenants["t"] == ref_digests(bytes([0, 1, 2]), 4) + ref_digests(bytes(range(5)), 4)
    assert sorted(store.unique.values()) == [1, 3, 4]


def test_identical_tensors_dedup_across_and_within_tenants():
    sd = random_state_dict()
    nbytes = sum(v.nbytes for v in sd.values())
    store = filled(4096, ("alice", sd), ("bob", sd))
    assert store.naive_bytes() == 2 * nbytes and store.deduped_bytes() == nbytes
    assert store.dedup_ratio() == 2.0 and store.shared_fraction() == 0.5
    assert store.tenants["alice"] == store.tenants["bob"]
    w = np.random.default_rng(1).standard_normal((50, 30), dtype=np.float32)
    store = filled(1024, ("t", {"a": w, "b": w.copy(), "c": w.copy()}))
    assert store.naive_bytes() == 3 * w.nbytes and store.deduped_bytes() == w.nbytes
    assert store.dedup_ratio() == pytest.approx(3.0)
    # A fine-tune that changes one tensor shares every other one with its base.
    tuned = dict(sd, **{"embed.weight": sd["embed.weight"] + 1.0})
    store = filled(MiB, ("base", sd), ("tuned", tuned))
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
    sd = {"w": make(np.random.default_rng(2)), "z": np.arange(3, dtype=np.int64)}
    store = filled(64, ("t", sd))
    assert store.tenants["t"] == ref_state_dict_digests(sd, 64)
    assert store.naive_bytes() == np.asarray(sd["w"]).nbytes + 24


def test_state_dict_stops_at_first_unconvertible_tensor():
    store = DedupStore()
    with pytest.raises(ValueError):
        store.add_state_dict("t", {"a": [[1, 2], [3]]})  # ragged: not an array
    assert store == DedupStore()  # failing on the first tensor changes nothing
    # Tensors before the failing one stay recorded; object arrays hold addresses, not tensor bytes.
    store = DedupStore(block_size=8)
    with pytest.raises(TypeError):
        store.add_state_dict("t", {"a": np.arange(4, dtype=np.int32), "b": np.array([object()]), "c": np.ones(2)})
    assert store.tenants == {"t": ref_digests(np.arange(4, dtype=np.int32).tobytes(), 8)}
    assert store._tenant_bytes == {"t": 16}


# ---- counters and summary ----------------------------------------------------------------------
def test_counters_and_summary():
    empty = DedupStore()
    assert empty.naive_bytes() == 0 and empty.deduped_bytes() == 0
    assert empty.dedup_ratio() == 1.0 and empty.shared_fraction() == 0.0
    assert isinstance(empty.dedup_ratio(), float) and isinstance(empty.shared_fraction(), float)
    assert list(empty.summary().items()) == list(zip(SUMMARY_KEYS, [0, MiB, 0, 0, 0, 1.0, 0.0]))

    store = filled(10, ("a", b"0123456789" * 3), ("b", b"0123456789abc"), ("c", b""))
    summary = store.summary()
    assert list(summary.items()) == list(zip(SUMMARY_KEYS, [3, 10, 43, 13, 2, 43 / 13, 1.0 - 13 / 43]))
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
        lambda s: _blocks(memoryview(b"abc"), s.block_size),  # refused at the call, not when iterated
    ],
)
def test_non_positive_block_size_is_refused_before_any_change(block_size, add):
    store = DedupStore(block_size=block_size)
    with pytest.raises(ValueError) as err:
        add(store)
    assert str(err.value) == f"block_size must be a positive integer, got {block_size}"
    assert store == DedupStore(block_size=block_size)


def test_fractional_block_sizes_are_truncated():
    assert [len(p) for p in _blocks(memoryview(bytes(5)), 2.9)] == [2, 2, 1]
    with pytest.raises(ValueError, match=r"^block_size must be a positive integer, got 0$"):
        _blocks(memoryview(b"abc"), 0.5)
    assert list(filled(4.7, ("t", b"abcdefghij")).unique.values()) == [4, 4, 2]


# ---- argument types ----------------------------------------------------------------------------
StrSub, BytesSub = type("StrSub", (str,), {}), type("BytesSub", (bytes,), {})


@pytest.mark.parametrize(
    "call, arg, expected, got",
    [
        (lambda s: s.add_tensor_bytes(1, b""), "tenant", "str", "int"),
        (lambda s: s.add_tensor_bytes(StrSub("t"), b""), "tenant", "str", "StrSub"),
        (lambda s: s.add_tensor_bytes("t", bytearray(b"x")), "data", "bytes", "bytearray"),
        (lambda s: s.add_tensor_bytes("t", memoryview(b"x")), "data", "bytes", "memoryview"),
        (lambda s: s.add_tensor_bytes("t", BytesSub(b"x")), "data", "bytes", "BytesSub"),
        (lambda s: s.add_tensor_bytes("t", "text"), "data", "bytes", "str"),
        (lambda s: (setattr(s, "block_size", "4"), s.add_tensor_bytes("t", b"abc")), "block_size", "int", "str"),
        (lambda s: s.add_state_dict(None, {}), "tenant", "str", "NoneType"),
        (lambda s: s.add_state_dict("t", [("w", np.ones(2))]), "sd", "dict", "list"),
        (lambda s: s.add_state_dict("t", collections.OrderedDict(w=np.ones(2))), "sd", "dict", "OrderedDict"),
        (lambda s: _blocks(b"abc", 2), "buf", "memoryview", "bytes"),
        (lambda s: _blocks(bytearray(b"abc"), 2), "buf", "memoryview", "bytearray"),
        (lambda s: _blocks(memoryview(b"abc"), "2"), "block", "int", "str"),
        (lambda s: _blocks(memoryview(b"abc"), None), "block", "int", "NoneType"),
    ],
)
def test_argument_types(call, arg, expected, got):
    store = DedupStore()
    with pytest.raises(TypeError) as err:
        call(store)
    assert str(err.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert store == DedupStore(block_size=store.block_size)  # nothing recorded


# ---- digests without the OpenSSL library -------------------------------------------------------
def test_digests_from_hashlib_when_openssl_is_unreachable():
    # With _hashlib unavailable the store hashes through hashlib's own SHA-256 on its threads.
    code = """import sys; sys.modules['_hashlib'] = None
import numpy as np; from velkor_zuma.dedup import DedupStore
store = DedupStore(block_size=100_000)
store.add_tensor_bytes('t', np.random.default_rng(5).integers(0, 256, 3 * 2**20 + 11, dtype=np.uint8).tobytes())
print(*store.tenants['t'])"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=PATIENCE)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ref_digests(random_bytes(3 * MiB + 11, seed=5), 100_000)  # 32 blocks
