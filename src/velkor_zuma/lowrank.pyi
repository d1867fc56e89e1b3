"""Low-rank compression of single tensors: truncated SVD, Tucker (HOSVD) and tensor train."""

from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Sequence

import numpy as np

class CompressionMethod(str, Enum):
    NONE = "none"
    SVD = "svd"
    TUCKER = "tucker"
    TENSOR_TRAIN = "tt"
    SIGN = "sign"
    SVD_Q4 = "svd_q4"
    SVD_Q8 = "svd_q8"
    SVD_MIXED = "svd_mixed"

@dataclass(frozen=True)
class CompressedTensor:
    method: CompressionMethod
    shape: tuple[int, ...]
    dtype: str
    cores: tuple[np.ndarray, ...]
    factors: tuple[np.ndarray, ...] = ()
    metadata: dict[str, Any] = field(default_factory=dict)
    @property
    def original_size_bytes(self) -> int: ...
    @property
    def compressed_size_bytes(self) -> int: ...
    @property
    def compression_ratio(self) -> float: ...

@dataclass(frozen=True)
class CompressionReport:
    method: CompressionMethod
    shape: tuple[int, ...]
    original_bytes: int
    compressed_bytes: int
    compression_ratio: float
    relative_frobenius_error: float
    reconstruction_quality: float
    elapsed_compress_ms: float
    elapsed_decompress_ms: float

def _unfold(tensor: np.ndarray, mode: int) -> np.ndarray: ...
def _fold(matrix: np.ndarray, mode: int, shape: tuple[int, ...]) -> np.ndarray: ...
def _mode_dot(tensor: np.ndarray, matrix: np.ndarray, mode: int) -> np.ndarray: ...
def _relative_frobenius_error(original: np.ndarray, approx: np.ndarray) -> float: ...
def svd_compress(
    tensor: np.ndarray, rank_ratio: float = 0.5, min_rank: int = 1, *, solver: str = "exact"
) -> CompressedTensor: ...
def svd_compress_energy(
    tensor: np.ndarray,
    energy: float = 0.99,
    min_rank: int = 1,
    max_rank: int | None = None,
    *,
    solver: str = "exact",
) -> CompressedTensor: ...
def svd_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def tucker_compress(
    tensor: np.ndarray, rank_ratio: float = 0.5, min_rank: int = 1, *, solver: str = "exact"
) -> CompressedTensor: ...
def tucker_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def tt_compress(tensor: np.ndarray, max_rank: int = 8, *, solver: str = "exact") -> CompressedTensor: ...
def tt_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def compress(
    tensor: np.ndarray,
    method: CompressionMethod | str,
    *,
    rank_ratio: float = 0.5,
    max_rank: int = 8,
    solver: str = "exact",
    bits: float = 1.2,
) -> CompressedTensor: ...
def decompress(compressed: CompressedTensor) -> np.ndarray: ...
def suggest_method(tensor_shape: tuple[int, ...]) -> CompressionMethod: ...
def roundtrip_report(
    tensor: np.ndarray, method: CompressionMethod | str, *, rank_ratio: float = 0.5, max_rank: int = 8
) -> CompressionReport: ...
def compressed_concat(
    atoms: Sequence[CompressedTensor],
    *,
    axis: int = 0,
    recompress_method: CompressionMethod | str | None = None,
    recompress_rank_ratio: float = 0.5,
    recompress_max_rank: int = 8,
) -> CompressedTensor | np.ndarray: ...
def compressed_weighted_mean(
    atoms: Sequence[CompressedTensor],
    weights: Sequence[float] | None = None,
    *,
    recompress_method: CompressionMethod | str | None = None,
    recompress_rank_ratio: float = 0.5,
    recompress_max_rank: int = 8,
) -> CompressedTensor | np.ndarray: ...
def sign_compress(
    tensor: np.ndarray, *, rank: int = 0, per_row: bool = True, per_column: bool = False
) -> CompressedTensor: ...
def sign_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def svd_quant_compress(
    tensor: np.ndarray, *, rank: int = 8, bits: int = 4, group_size: int = 128
) -> CompressedTensor: ...
def svd_quant_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def compress_best(
    tensor: np.ndarray, *, max_error: float, max_rank: int = 8, group_size: int = 128
) -> CompressedTensor: ...
def svd_spectrum(tensor: np.ndarray) -> np.ndarray:
    """Singular values (float64, descending) of the mode-0 flattening, computed in float32 without
    the vectors: what `svd_mixed_widths` needs from each tensor."""

def svd_mixed_widths(
    shapes: list[tuple[int, ...]], spectra: list[np.ndarray], *, bits: float = 1.2
) -> list[np.ndarray]:
    """One budget of `bits` bits a weight over all the tensors: each leading triplet's width
    (0, 2, 3, 4 or 8 bits), greedily by the error saved per bit; uint8 arrays, trailing zeros
    trimmed."""

def svd_mixed_compress(
    tensor: np.ndarray,
    *,
    bits: float = 1.2,
    widths: Sequence[int] | np.ndarray | None = None,
    zstd: bool = False,
    solver: str = "exact",
) -> CompressedTensor:
    """Mixed precision over singular vectors: A = sqrt(s) U and B = sqrt(s) V, each kept vector in
    2/3/4/8-bit codes with one float16 scale; cores (codes uint8, scales float16 (r, 2), widths
    uint8 (r,)), metadata "bits", "rank", "zstd". Without `widths`, the tensor's own budget.
    Only the r kept triplets are computed: where the Krylov basis 4 * (r + 10) does not fit,
    'randomized' and 'auto' use subspace iteration (r + max(10, r / 8) start vectors, 3 power
    iterations); 'auto' only while that basis is at most half of min(m, n) and min(m, n) >= 128."""

def svd_mixed_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def svd_mixed_factors(compressed: CompressedTensor) -> tuple[np.ndarray, np.ndarray]:
    """The dequantized thin factors (A m x r, B n x r, float32): the mode-0 flattening is A @ B.T."""

def _svd_mixed_check(compressed: CompressedTensor) -> None: ...
def _apply_packed(record: CompressedTensor, x: np.ndarray) -> np.ndarray:
    """x @ decompress(record).T for a SIGN / SVD_Q4 / SVD_Q8 record, from its packed bytes (float32)."""
def _packed_uses_avx2() -> bool: ...
