"""Native-accelerated primitives for signal analysis.

Every `signal` is a one-dimensional, contiguous float64 array (nothing is
converted: lists, float32 and integer arrays are refused with TypeError);
`trajectory` is a two-dimensional float64 array of any layout. Integer
parameters take any object with ``__index__`` in 0 … 2**64 − 1; float
parameters any object convertible to float.
"""

from typing import SupportsFloat, SupportsIndex, Tuple, Union

import numpy as np
from numpy.typing import NDArray

_Signal = NDArray[np.float64]
_Float64Array = NDArray[np.float64]
_Integer = SupportsIndex
_Real = Union[SupportsFloat, SupportsIndex]

def hurst_exponent(signal: _Signal, method: str = "rs") -> float:
    """Hurst exponent of the series: "rs" (rescaled range, clamped to [0, 1]) or
    "dfa" (detrended fluctuation analysis). NaN samples are dropped; NaN when
    too few samples remain or the fit is degenerate."""

def permutation_entropy(
    signal: _Signal,
    order: _Integer = 3,
    delay: _Integer = 1,
    normalize: Union[bool, np.bool_] = True,
) -> float:
    """Shannon entropy (bits) of the ordinal patterns of `order` samples spaced
    `delay` apart, divided by log2(order!) when `normalize`. NaN when the
    series is shorter than order × delay."""

def sample_entropy(signal: _Signal, m: _Integer = 2, r: Union[_Real, None] = None) -> float:
    """SampEn = −ln(A/B): B pairs of templates of length m within tolerance r
    (maximum norm), A of length m + 1. `r` None means 0.2 × the standard
    deviation. NaN or +inf when undefined."""

def lyapunov_rosenstein(
    signal: _Signal,
    dimension: Union[_Integer, None] = None,
    delay: Union[_Integer, None] = None,
    min_tsep: Union[_Integer, None] = None,
    max_iter: Union[_Integer, None] = None,
) -> Tuple[float, _Float64Array, _Float64Array]:
    """Rosenstein's largest Lyapunov exponent. Returns (lambda_max,
    divergence_curve, iterations): the slope of the curve's first steps
    divided by the delay in effect, the mean log-divergence per step, and the
    step numbers 0 … K − 1. (NaN, empty, empty) when the series is too short."""

def lyapunov_kantz(
    signal: _Signal,
    dimension: Union[_Integer, None] = None,
    delay: Union[_Integer, None] = None,
    min_tsep: Union[_Integer, None] = None,
    epsilon: Union[_Real, None] = None,
    max_iter: Union[_Integer, None] = None,
) -> Tuple[float, _Float64Array]:
    """Kantz's largest Lyapunov exponent, per sample. Returns (max_lyapunov,
    divergence_curve), the curve holding the mean log-separation of the pairs
    closer than `epsilon` (default 0.1 × standard deviation) for every step
    that had pairs."""

def ftle_local_linearization(
    trajectory: NDArray[np.float64],
    time_horizon: _Integer = 10,
    n_neighbors: _Integer = 10,
    epsilon: Union[_Real, None] = None,
) -> Tuple[_Float64Array, _Float64Array]:
    """Finite-time Lyapunov exponent of every row of `trajectory` from a local
    linear map fitted to its neighbours. Returns (ftle_values, confidence), both
    of length len(trajectory); rows without an estimate hold NaN (and a
    confidence of 0.0 where no local map could be fitted)."""

def ftle_direct_perturbation(
    signal: _Signal,
    dimension: _Integer = 3,
    delay: _Integer = 1,
    time_horizon: _Integer = 10,
    perturbation: _Real = 1e-6,
    n_perturbations: _Integer = 10,
) -> Tuple[_Float64Array, _Float64Array]:
    """Finite-time Lyapunov exponent of every embedded point from the growth of
    its distance to its nearest neighbour. Returns (ftle_values,
    jacobian_norms); a stretching factor of 0.0 marks a point without an
    estimate. `perturbation` and `n_perturbations` are accepted and unused."""

def optimal_delay(signal: _Signal, max_lag: Union[_Integer, None] = None, method: str = "mutual_info") -> int:
    """Embedding delay: the first minimum of the average mutual information,
    or with "autocorr" / "autocorr_e" the first lag where the autocorrelation
    falls to 0 / to 1/e."""

def time_delay_embedding(signal: _Signal, dimension: _Integer = 3, delay: _Integer = 1) -> _Float64Array:
    """The delay embedding as an (n_points, dimension) array; ValueError when
    the signal is too short."""

def optimal_dimension(
    signal: _Signal,
    delay: Union[_Integer, None] = None,
    max_dim: _Integer = 10,
    method: str = "fnn",
    threshold: _Real = 0.01,
) -> int:
    """Embedding dimension by false nearest neighbours ("fnn") or Cao's method
    ("cao")."""
