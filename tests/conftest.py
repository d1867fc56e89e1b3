"""Shared fixtures. Tiny real models are built locally by tinymodel.py (see its docstring)."""

import queue
import threading
import time
import types

import pytest

from tinymodel import build_tiny_model
from waiting import PATIENCE


@pytest.fixture(scope="session")
def tiny_model_dir(tmp_path_factory):
    """Directory of a tiny tied-embedding Llama causal LM + tokenizer with a chat template.

    Built once per session; treat it as read-only (copy it before changing files in it).
    """
    return build_tiny_model(tmp_path_factory.mktemp("tiny_model"), seed=0)


@pytest.fixture
def beat_sleeps(monkeypatch):
    """Stands in for time.sleep in the heartbeat's 20-second waits: wait() returns the next
    such sleep once the heartbeat reached it, release() lets one pass; unreleased, the (daemon)
    thread stays parked for good, so that no heartbeat started here keeps posting to 127.0.0.1
    ports that later tests may reuse. Each test starts one heartbeat and waits for its sleep."""
    real_sleep, sleeps, gate = time.sleep, queue.Queue(), threading.Semaphore(0)

    def fake(seconds):
        if seconds != 20:
            return real_sleep(seconds)
        sleeps.put(seconds)
        gate.acquire()

    monkeypatch.setattr(time, "sleep", fake)
    return types.SimpleNamespace(wait=lambda: sleeps.get(timeout=PATIENCE), release=gate.release,
                                 sleeps=sleeps)
