"""Content-addressed dedup store: fixed-size blocks named by SHA-256, shared across tenants."""

from collections.abc import Generator
from typing import Any

import numpy as np

class _BlockSequence:
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> memoryview: ...

def _blocks(buf: memoryview, block: int) -> Generator[memoryview, None, None]:
    """Consecutive slices of `buf` of length `block` (the last one shorter), as views, lazily.

    Raises ValueError when `block` is not positive.
    """

class DedupStore:
    """Global content-addressed block store shared across tenants."""

    block_size: int
    unique: dict[str, int]
    tenants: dict[str, list[str]]
    _tenant_bytes: dict[str, int]

    def __init__(
        self,
        block_size: int = 1048576,
        unique: dict[str, int] = ...,
        tenants: dict[str, list[str]] = ...,
        _tenant_bytes: dict[str, int] = ...,
    ) -> None: ...
    def add_tensor_bytes(self, tenant: str, data: bytes) -> None:
        """Adds one byte string for a tenant, cut into `block_size` blocks.

        Raises ValueError when `block_size` is not positive (nothing is changed).
        """
    def add_state_dict(self, tenant: str, sd: dict[str, np.ndarray]) -> None:
        """Adds every tensor of `sd` in sorted name order; each tensor starts a new block."""
    def naive_bytes(self) -> int: ...
    def deduped_bytes(self) -> int: ...
    def dedup_ratio(self) -> float: ...
    def shared_fraction(self) -> float: ...
    def summary(self) -> dict[str, Any]:
        """Keys: tenants, block_size, naive_bytes, deduped_bytes, unique_blocks, dedup_ratio,
        shared_fraction."""
