"""Models installed by Ollama and LM Studio, and GGUF tensor loading."""

import json as json
import os as os
from pathlib import Path as Path
from typing import Any

import numpy as np

_OLLAMA_REGISTRY: str
_OLLAMA_DEFAULT: Path
OLLAMA_HOME: Path

def list_ollama_models() -> list[dict[str, Any]]: ...
def find_ollama_blob(model_name: str) -> Path: ...
def _lmstudio_home() -> Path: ...
def list_lmstudio_models() -> list[dict[str, Any]]: ...
def find_lmstudio_model(name: str) -> Path: ...
def load_gguf_tensors(gguf_path: Path | str, *, copy: bool = False) -> dict[str, np.ndarray]:
    """Tensors of a GGUF file by name; zero-copy views of the mapped file unless ``copy=True``
    (views die with SIGBUS if the file is truncated while they are alive)."""
    ...
