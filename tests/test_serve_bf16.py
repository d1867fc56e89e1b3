"""The native bfloat16 linear kernel that serves bf16 models on CPUs with AVX-512 BF16: its sums
against float32 arithmetic, a row's result whatever rows share the call, the cases it hands back
to torch, and an engine whose rows give the same greedy tokens alone and batched."""

import threading
import warnings

import pytest

from velkor_zuma import serve as serve_mod
from velkor_zuma.serve import ServeConfig, _Engine, build_app

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
pytest.importorskip("peft")

from tinymodel import build_tiny_adapter  # noqa: E402
from waiting import PATIENCE  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Found missing adapter keys")


def _fast(layer):
    if serve_mod._bf16_linears(layer) == 0:
        pytest.skip("this CPU has no AVX-512 BF16")
    return layer


def _layer(n, k, bias, seed=0):
    g = torch.Generator().manual_seed(seed)
    layer = torch.nn.Linear(k, n, bias=bias)
    with torch.no_grad():
        layer.weight.copy_(torch.randn(n, k, generator=g))
        if bias:
            layer.bias.copy_(torch.randn(n, generator=g))
    return layer.to(torch.bfloat16)


def _reference(x, layer):
    """float32 sums of the bf16 values, rounded once to bf16."""
    y = x.float() @ layer.weight.float().T
    if layer.bias is not None:
        y = y + layer.bias.float()
    return y.to(torch.bfloat16)


# n: below one block of four, not a multiple of four, enough columns for two threads;
# k: a pair short of a vector, odd, two vectors and a tail; rows: one, a few, past a row chunk.
@pytest.mark.parametrize("n, k", [(3, 30), (130, 33), (257, 100), (64, 2048)])
@pytest.mark.parametrize("bias", [False, True])
def test_kernel_sums_and_rows(n, k, bias):
    layer = _fast(_layer(n, k, bias))
    g = torch.Generator().manual_seed(1)
    x = torch.randn(2, 150, k, generator=g).to(torch.bfloat16)  # 300 rows, 3-D
    with torch.no_grad():
        got = layer(x)
        ref = _reference(x, layer)
        assert got.shape == (2, 150, n) and got.dtype == torch.bfloat16
        # One rounding of float32 sums: at most a unit in the last place of bf16 apart.
        torch.testing.assert_close(got.float(), ref.float(), rtol=2**-7, atol=1e-3 * ref.float().abs().max().item())
        # A row's result does not depend on the rows beside it.
        for i in (0, 7, 149):
            assert torch.equal(layer(x[1, i:i + 1]), got[1, i:i + 1])
        assert torch.equal(layer(x[0, :5]), got[0, :5]) and torch.equal(layer(x[0, 5:7]), got[0, 5:7])


def test_kernel_hands_back_to_torch():
    """A weight swapped, moved or cast, an input of another dtype and gradients take torch's
    linear: the results are torch's own, and gradients flow."""
    layer = _fast(_layer(40, 24, True))
    x = torch.randn(3, 24).to(torch.bfloat16)
    with torch.no_grad():
        layer.weight = torch.nn.Parameter(torch.randn(40, 24).to(torch.bfloat16))
        assert torch.equal(layer(x), torch.nn.functional.linear(x, layer.weight, layer.bias))
    square = _fast(_layer(24, 24, False))
    with torch.no_grad():
        square.weight.data = square.weight.data.t()  # the same address, another layout
        xs = torch.randn(3, 24).to(torch.bfloat16)
        assert torch.equal(square(xs), torch.nn.functional.linear(xs, square.weight))
    layer = _fast(_layer(40, 24, True))
    out = layer(x.requires_grad_())  # grad mode, weights that need gradients
    out.sum().backward()
    assert layer.weight.grad is not None and x.grad is not None
    layer = _fast(_layer(40, 24, False)).float()
    with torch.no_grad():
        xf = torch.randn(3, 24)
        assert torch.equal(layer(xf), torch.nn.functional.linear(xf, layer.weight))
    assert serve_mod._bf16_linears(torch.nn.Linear(4, 4)) == 0  # float32 layers are left alone


HELLO = [{"role": "user", "content": "Hello, how are you today?"}]
HI = [{"role": "user", "content": "hi"}]


@pytest.fixture(scope="module")
def engine(tiny_model_dir, tmp_path_factory):
    if serve_mod._bf16_linears(torch.nn.Linear(4, 4).to(torch.bfloat16)) == 0:
        pytest.skip("this CPU has no AVX-512 BF16")
    root = tmp_path_factory.mktemp("adapters")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dirs = {n: str(build_tiny_adapter(tiny_model_dir, root / n, seed=i + 1)) for i, n in enumerate("ab")}
    threads = torch.get_num_threads()
    try:
        eng = _Engine(ServeConfig(str(tiny_model_dir), dirs, "bf16", max_new_tokens=8)).load()
        # The kernel serves the model's linear layers; torch keeps one thread for the rest.
        assert "forward" in vars(eng.model.get_base_model().lm_head) and torch.get_num_threads() == 1
    finally:
        torch.set_num_threads(threads)
    return eng


def test_bf16_rows_agree_alone_and_batched(engine):
    batcher = build_app(engine).state.batcher
    cases = [(name, messages, k) for name in ("a", "b") for messages in (HELLO, HI) for k in (3, 8)]
    alone = [batcher.complete(m, msgs, max_tokens=k)["tokens"] for m, msgs, k in cases]
    lock = engine.__dict__.setdefault("_generate_lock", threading.Lock())
    with lock:  # queued while the model is held, then read and decoded together
        pending = [batcher.start(m, msgs, max_tokens=k) for m, msgs, k in cases]
    together = [p.result(timeout=PATIENCE)["tokens"] for p in pending]
    assert together == alone


def _child_product(layer, x, expected, conn):
    with torch.no_grad():
        conn.send(torch.equal(layer(x), expected))


def test_kernel_in_a_forked_child():
    """A child made by fork() after the kernel's threads started has none of them: its products
    run on its own thread instead of waiting for workers that are not there."""
    import multiprocessing

    layer = _fast(_layer(512, 2048, False))
    x = torch.randn(4, 2048).to(torch.bfloat16)
    with torch.no_grad():
        expected = layer(x)  # big enough to be split between threads: the workers start here
    ctx = multiprocessing.get_context("fork")
    ours, theirs = ctx.Pipe()
    child = ctx.Process(target=_child_product, args=(layer, x, expected, theirs))
    child.start()
    try:
        assert ours.poll(PATIENCE), "the child's product never finished"
        assert ours.recv() is True
    finally:
        child.join(PATIENCE)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0
