"""The functions of quorlin._native on several threads, with the interpreter
lock released.

Each function takes the engine function's arguments in its order, all
positional and all required (None where the engine's default is None); then,
for the two FTLE functions, `anchors`; then `workers` (1 to 1024) and
`progress`. Results are the engine's, bit for bit, for any number of
workers. `progress`, when given, is called about every 20 ms as
progress(phase, done, total); an exception from it, or from a signal handler
(Ctrl-C), stops the call and is raised.
"""

from typing import Any, Callable, Optional, SupportsFloat, SupportsIndex, Tuple, Union

import numpy as np
from numpy.typing import NDArray

_Signal = NDArray[np.float64]
_Float64Array = NDArray[np.float64]
_Integer = SupportsIndex
_Real = Union[SupportsFloat, SupportsIndex]
# progress(phase, done, total): parallel phases started so far, and the tasks
# of the current one finished and in all. Its return value is ignored.
_Progress = Optional[Callable[[int, int, int], object]]
# Strictly increasing indices of the entries to estimate; None for all.
_Anchors = Optional[NDArray[np.integer[Any]]]

def hurst_exponent(signal: _Signal, method: str, workers: _Integer, progress: _Progress, /) -> float: ...
def permutation_entropy(
    signal: _Signal,
    order: _Integer,
    delay: _Integer,
    normalize: Union[bool, np.bool_],
    workers: _Integer,
    progress: _Progress,
    /,
) -> float: ...
def sample_entropy(
    signal: _Signal, m: _Integer, r: Union[_Real, None], workers: _Integer, progress: _Progress, /
) -> float: ...
def lyapunov_rosenstein(
    signal: _Signal,
    dimension: Union[_Integer, None],
    delay: Union[_Integer, None],
    min_tsep: Union[_Integer, None],
    max_iter: Union[_Integer, None],
    workers: _Integer,
    progress: _Progress,
    /,
) -> Tuple[float, _Float64Array, _Float64Array]: ...
def lyapunov_kantz(
    signal: _Signal,
    dimension: Union[_Integer, None],
    delay: Union[_Integer, None],
    min_tsep: Union[_Integer, None],
    epsilon: Union[_Real, None],
    max_iter: Union[_Integer, None],
    workers: _Integer,
    progress: _Progress,
    /,
) -> Tuple[float, _Float64Array]: ...
def ftle_local_linearization(
    trajectory: NDArray[np.float64],
    time_horizon: _Integer,
    n_neighbors: _Integer,
    epsilon: Union[_Real, None],
    anchors: _Anchors,
    workers: _Integer,
    progress: _Progress,
    /,
) -> Tuple[_Float64Array, _Float64Array]: ...
def ftle_direct_perturbation(
    signal: _Signal,
    dimension: _Integer,
    delay: _Integer,
    time_horizon: _Integer,
    perturbation: _Real,
    n_perturbations: _Integer,
    anchors: _Anchors,
    workers: _Integer,
    progress: _Progress,
    /,
) -> Tuple[_Float64Array, _Float64Array]: ...
def optimal_delay(
    signal: _Signal, max_lag: Union[_Integer, None], method: str, workers: _Integer, progress: _Progress, /
) -> int: ...
def time_delay_embedding(
    signal: _Signal, dimension: _Integer, delay: _Integer, workers: _Integer, progress: _Progress, /
) -> _Float64Array: ...
def optimal_dimension(
    signal: _Signal,
    delay: Union[_Integer, None],
    max_dim: _Integer,
    method: str,
    threshold: _Real,
    workers: _Integer,
    progress: _Progress,
    /,
) -> int: ...
