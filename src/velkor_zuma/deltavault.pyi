"""Model library: one base state dict plus many fine-tunes stored as compressed per-tensor deltas."""

import concurrent.futures
import os
from collections.abc import Callable, Mapping
from typing import Any, Literal

import numpy as np
from typing_extensions import Self

from velkor_zuma.lowrank import (
    CompressedTensor as CompressedTensor,
    CompressionMethod as CompressionMethod,
    compress as compress,
    decompress as decompress,
    svd_compress_energy as svd_compress_energy,
)

class CompressedDelta:
    """One fine-tune stored as compressed per-tensor deltas from the base (mutable record)."""

    model_id: str
    tensors: dict[str, CompressedTensor]
    base_id: str

    def __init__(self, model_id: str, tensors: dict[str, CompressedTensor], base_id: str) -> None: ...
    def stored_bytes(self) -> int:
        """Sum of `compressed_size_bytes` over the records of `tensors` (0 when empty)."""

class ModelLibrary:
    """One base model plus many compressed fine-tune deltas (mutable record).

    `base` is held by reference and never modified. Deltas of fewer than two dimensions are
    stored uncompressed (`NONE`); others by `method` (bond rank `max_rank` for tensor trains),
    or by energy-target SVD when `energy` is set (`max_rank` 0: no rank cap), or, when
    `max_error` is set, by `compress_best`: the smallest record within that relative error.
    `solver` ("exact", "randomized" or "auto") is passed to the compressors when it is not "exact".
    With method `SVD_MIXED`, one budget of `bits` bits a weight is spent over all of a fine-tune's
    2-D deltas (their spectra first, then the records); `zstd` stores the codes as zstd frames.
    """

    base_id: str
    base: dict[str, np.ndarray]
    deltas: dict[str, CompressedDelta]
    method: CompressionMethod | str
    max_rank: int
    energy: float | None
    solver: str
    max_error: float | None
    bits: float
    zstd: bool

    def __init__(
        self,
        base_id: str,
        base: dict[str, np.ndarray],
        deltas: dict[str, CompressedDelta] = ...,
        method: CompressionMethod | str = ...,
        max_rank: int = 8,
        energy: float | None = None,
        solver: str = "exact",
        max_error: float | None = None,
        bits: float = 1.2,
        zstd: bool = False,
    ) -> None: ...
    def add_finetune(self, model_id: str, finetuned: dict[str, np.ndarray]) -> CompressedDelta:
        """Stores the fine-tune's float32 deltas from the base, compressed, under `model_id`.

        A tensor the base lacks is stored whole. Raises ValueError "shape mismatch for
        '{name}': fine-tune {shape} vs base {shape}" when a tensor's extents differ from its base
        tensor's. On any error the library is unchanged.
        """
    def reconstruct(self, model_id: str) -> dict[str, np.ndarray]:
        """Base plus decompressed delta for every tensor of the stored fine-tune, in its order.

        Raises KeyError for an unknown `model_id`.
        """
    def reconstruction_error(self, model_id: str, finetuned: dict[str, np.ndarray]) -> float:
        """`reconstruction_error(self.reconstruct(model_id), finetuned)`, up to float rounding,
        without building the reconstruction: compressed records are compared with the
        fine-tune straight from the base and their factors, one pass over the weights.

        Raises KeyError for an unknown `model_id` or a tensor that `finetuned` lacks.
        """
    def base_bytes(self) -> int: ...
    def naive_bytes(self, finetunes: dict[str, dict[str, np.ndarray]]) -> int: ...
    def stored_bytes(self) -> int: ...
    def summary(self, finetunes: dict[str, dict[str, np.ndarray]]) -> dict[str, Any]:
        """Keys, in order: "n_models", "base_bytes", "naive_total_bytes", "velkor_zuma_bytes",
        "overall_ratio" (positive infinity when nothing is stored), "delta_only_bytes"."""
    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the library into the directory `path` (created if needed).

        The base is written once and each fine-tune as its compressed records' cores and
        factors (safetensors files), with a JSON manifest "manifest.json" of the settings
        (`solver` included) and records. The manifest is replaced last, atomically: an interrupted save leaves the
        previous library loadable. Files whose contents are unchanged (an unchanged base or
        fine-tune) are kept as they are. Takes the library's writer lock (waiting for another
        writer), and refuses with RuntimeError, changing nothing, when the directory's manifest
        changed since this library was loaded from or saved there. Refuses a directory that
        holds something other than a library (FileExistsError).
        """
    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Self:
        """Reads a library written by `save`; reconstructs bit-for-bit what the saved one did.
        A manifest without a "solver" (an older library) loads with solver "exact".

        A missing directory or manifest raises FileNotFoundError; a damaged or foreign manifest
        or array file raises ValueError (a missing array file FileNotFoundError), naming the file.
        """

Source = str | os.PathLike[str] | Mapping[str, np.ndarray]
Progress = Callable[[int, int, int, int], object]

class LibraryReader:
    """A library opened without loading it (open_library): tensors and records read on access."""
    @property
    def path(self) -> str: ...
    @property
    def base_id(self) -> str: ...
    @property
    def method(self) -> CompressionMethod | str: ...
    @property
    def max_rank(self) -> int: ...
    @property
    def energy(self) -> float | None: ...
    def base_names(self) -> list[str]: ...
    def base_tensor(self, name: str) -> np.ndarray:
        """A copy; bfloat16 values come back as float32 (exactly)."""
    def base_bytes(self) -> int: ...
    def finetune_ids(self) -> list[str]: ...
    def finetune_info(self, model_id: str) -> dict[str, Any]:
        """From the manifest alone: "tensors", "dense_bytes", "stored_bytes", "methods"."""
    def summary(self) -> dict[str, Any]:
        """ModelLibrary.summary's keys, from the manifest alone (the base at its stored size)."""
    def delta(self, model_id: str) -> CompressedDelta: ...
    def reconstruct_tensor(self, model_id: str, name: str) -> np.ndarray: ...
    def load(self) -> ModelLibrary: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...

def open_library(path: str | os.PathLike[str]) -> LibraryReader:
    """Opens a library without loading it; readers never wait for writers."""

def create_library(path: str | os.PathLike[str], base_id: str, source: Source, *, wait: bool = True,
                   progress: Progress | None = None) -> dict[str, int]:
    """A new library on the base `source`, copied tensor by tensor in its own element types.
    wait=False raises BlockingIOError when another writer holds the lock."""

def add_finetune_from(path: str | os.PathLike[str], model_id: str, source: Source, *,
                      method: CompressionMethod | str | None = None, max_rank: int | None = None,
                      energy: float | None = None, solver: str | None = None, replace: bool = False,
                      wait: bool = True, progress: Progress | None = None,
                      executor: concurrent.futures.Executor | None = None,
                      max_error: float | None = None, bits: float | None = None,
                      zstd: bool | None = None) -> dict[str, Any]:
    """Adds a fine-tune tensor by tensor (as ModelLibrary.add_finetune stores it), writing its
    file and the manifest only. An id the library holds is refused (FileExistsError) unless
    replace=True. With max_error (not with energy, nor with an executor), each tensor gets the
    smallest record within that relative error (`compress_best`). Options left as None take the
    library's settings (`solver`: the saved one, "exact" where none was saved). Returns
    "model_id", "tensors", "dense_bytes", "stored_bytes", "file_bytes", "error"
    (reconstruction_error against the source), "replaced", "methods" (tensors per method value)
    and "larger_than_dense" (records larger than their delta stored dense in float32). With an
    executor, its tasks compress the tensors as add_finetunes_from does, and `source` must be a
    path. With method svd_mixed, one budget of `bits` bits a weight (default: the library's, else
    1.2) over all 2-D tensors: a first pass reads each tensor for its singular values (progress
    then counts every tensor twice); zstd=True stores the codes as zstd frames."""

def add_finetunes_from(path: str | os.PathLike[str], sources: Mapping[str, str | os.PathLike[str]], *,
                       method: CompressionMethod | str | None = None, max_rank: int | None = None,
                       energy: float | None = None, solver: str | None = None, replace: bool = False,
                       wait: bool = True, progress: Progress | None = None,
                       executor: concurrent.futures.Executor | None = None, task_bytes: int | None = None,
                       task_threads: int | None = None,
                       errors: Literal["raise", "return"] = "raise", bits: float | None = None,
                       zstd: bool | None = None) -> dict[str, dict[str, Any] | Exception]:
    """Adds several fine-tunes ({model_id: source path}) at once: their tensors are compressed by
    tasks of about task_bytes source bytes (default 32 MiB) submitted to `executor` (None: in this
    process), each reading its tensors and the base by path; this process alone writes the
    library, under its lock, committing each fine-tune whole once all its tensors are in. A
    fine-tune whose check or task fails is not added (a task's error names its tensor) while the
    others are: errors="raise" then raises an ExceptionGroup of the failures, errors="return" puts
    each in place of its result. Each task sets VZ_NUM_THREADS to task_threads in its worker
    (default 1; 0 for a ThreadPoolExecutor). Returns {model_id: result as add_finetune_from's}."""

class _CompressTensors:
    """The task of add_finetunes_from; pickles by its class name."""
    def __call__(self, items: list[tuple[int, str, str, bool]], base_file: str, base_size: int,
                 settings: dict[str, Any], label: str, threads: int = 1) -> list[dict[str, Any]]: ...

_compress_tensors: _CompressTensors

def export_finetune(path: str | os.PathLike[str], model_id: str, out: str | os.PathLike[str], *,
                    progress: Progress | None = None) -> dict[str, int]:
    """Writes base + decompressed delta, tensor by tensor, to the safetensors file `out` (a path
    inside the library's directory is refused)."""

def export_lora(path: str | os.PathLike[str], finetune_id: str, out: str | os.PathLike[str], *,
                drop_non_lowrank: bool = False) -> dict[str, Any]:
    """Writes the fine-tune's low-rank records (SVD, 2-D tensor train, 2-D Tucker) as a peft LoRA
    adapter directory `out` (adapter_config.json, adapter_model.safetensors): every module at one
    rank r (zero-padded), lora_alpha = r, base_model_name_or_path the library's base id; an
    embedding as lora_embedding_A/B, and a tied output head with it. Records that are not low rank
    raise ValueError naming them unless drop_non_lowrank=True; records whose delta is zero are
    skipped. `out` must be new or empty (FileExistsError) and outside the library (ValueError).
    Returns "modules", "rank", "target_modules", "left_out", "unchanged", "file_bytes"."""

def _nbytes(sd: dict[str, np.ndarray]) -> int:
    """Sum of element count x item size over the arrays of a state dict."""

def reconstruction_error(a: dict[str, np.ndarray], b: dict[str, np.ndarray]) -> float:
    """Relative Frobenius error of `a` against the reference `b` (float32 differences, float64
    sums): sqrt(sum |a-b|^2) / (sqrt(sum |b|^2) + 1e-12) over the names of `a`."""
