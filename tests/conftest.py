"""Shared fixtures. Tiny real models are built locally by tinymodel.py (see its docstring)."""

import pytest

from tinymodel import build_tiny_model


@pytest.fixture(scope="session")
def tiny_model_dir(tmp_path_factory):
    """Directory of a tiny tied-embedding Llama causal LM + tokenizer with a chat template.

    Built once per session; treat it as read-only (copy it before changing files in it).
    """
    return build_tiny_model(tmp_path_factory.mktemp("tiny_model"), seed=0)
