"""velkor_zuma: many fine-tunes of one base model, stored as compressed deltas and served as adapters."""

# Loads the OpenBLAS build that the native modules call (global symbols, scipy_ prefix)
# before any extension module is loaded.
import scipy_openblas32 as _openblas  # noqa: F401

__version__ = "0.1.0"
