"""quorlin: fast, exact primitives for nonlinear time-series analysis.

The ten functions here are documented wrappers over the exact engine
``quorlin._native``: they accept any array-like of real numbers, check method
names, apply one rule for non-finite samples (``nan_policy``) and otherwise
return the engine's results bit for bit. Callers that need the engine's own
rules (no conversion, every method name accepted, each function's own NaN
handling) import ``quorlin._native`` directly.

Importing quorlin does not import NumPy; the first call does.
"""

from quorlin import _native
from quorlin.functions import (
    ftle_direct_perturbation,
    ftle_local_linearization,
    hurst_exponent,
    lyapunov_kantz,
    lyapunov_rosenstein,
    optimal_delay,
    optimal_dimension,
    permutation_entropy,
    sample_entropy,
    time_delay_embedding,
)

__version__ = "0.1.0"

__all__ = [
    "hurst_exponent",
    "permutation_entropy",
    "sample_entropy",
    "lyapunov_rosenstein",
    "lyapunov_kantz",
    "ftle_local_linearization",
    "ftle_direct_perturbation",
    "optimal_delay",
    "time_delay_embedding",
    "optimal_dimension",
]
