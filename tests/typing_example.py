"""Uses every function of quorlin, and of its engine quorlin._native, as a
typed caller would.

test_typing.py checks this file with ``mypy --strict`` (the annotations of the
top-level functions and the engine's stub must admit it, and assert_type pins
the result types) and also runs it, so the declared types are checked against
what the functions really return.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Tuple

import numpy as np
from numpy.typing import NDArray

import quorlin
from quorlin import _native, _parallel
from quorlin.examples import lorenz, lorenz_x

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value: Any, _type: Any) -> Any:
        return value

Array = NDArray[np.float64]


def check_array(value: object) -> None:
    assert isinstance(value, np.ndarray) and value.dtype == np.float64


def main() -> None:
    x, dt = lorenz_x(600)
    assert_type(dt, float)
    trajectory = lorenz(300)
    assert_type(trajectory, Array)

    hurst = quorlin.hurst_exponent(x, method="dfa")
    assert_type(hurst, float)
    # Any array-like of real numbers, and a policy for non-finite samples.
    from_list = quorlin.sample_entropy(x.tolist(), r=0.5, nan_policy="omit")
    assert_type(from_list, float)
    from_ints = quorlin.permutation_entropy(range(100), nan_policy="raise")
    engine_hurst = _native.hurst_exponent(x, "rs")
    assert_type(engine_hurst, float)
    pe = quorlin.permutation_entropy(x, order=4, delay=np.int64(2), normalize=np.True_)
    assert_type(pe, float)
    sampen = quorlin.sample_entropy(x, m=2, r=0.5)
    assert_type(sampen, float)

    rosenstein: Tuple[float, Array, Array] = quorlin.lyapunov_rosenstein(x, 3, 4, max_iter=None)
    lam, curve, steps = rosenstein
    kantz = quorlin.lyapunov_kantz(x, dimension=3, delay=4, epsilon=1)
    assert_type(kantz, Tuple[float, Array])

    local = quorlin.ftle_local_linearization(trajectory, time_horizon=5, n_neighbors=8, epsilon=None)
    assert_type(local, Tuple[Array, Array])
    direct = quorlin.ftle_direct_perturbation(x, 3, 4, time_horizon=10, perturbation=1e-6)
    assert_type(direct, Tuple[Array, Array])

    tau = quorlin.optimal_delay(x, max_lag=None, method="autocorr")
    assert_type(tau, int)
    points = _native.time_delay_embedding(x, dimension=3, delay=tau)
    assert_type(points, Array)
    m = quorlin.optimal_dimension(x, delay=tau, max_dim=8, method="cao", threshold=0.02)
    assert_type(m, int)

    # Threads: any count for the top-level functions; the threaded module
    # takes every argument by position, an anchor subset and progress.
    threaded_kantz = quorlin.lyapunov_kantz(x, dimension=3, delay=4, workers=-1)
    assert_type(threaded_kantz, Tuple[float, Array])
    seen: List[Tuple[int, int, int]] = []

    def progress(phase: int, done: int, total: int) -> None:
        seen.append((phase, done, total))

    anchors = np.arange(0, 280, 7, dtype=np.int64)
    subset = _parallel.ftle_local_linearization(trajectory, 5, 8, None, anchors, 2, progress)
    assert_type(subset, Tuple[Array, Array])
    threaded_entropy = _parallel.sample_entropy(x, 2, None, 2, None)
    assert_type(threaded_entropy, float)

    names: List[str] = quorlin.__all__
    version: str = quorlin.__version__

    for number in (hurst, pe, sampen, lam, kantz[0], from_list, from_ints, engine_hurst,
                   threaded_kantz[0], threaded_entropy):
        assert isinstance(number, float)
    for array in (curve, steps, kantz[1], *local, *direct, points, *subset):
        check_array(array)
    assert isinstance(tau, int) and isinstance(m, int)
    assert points.shape[1] == 3 and len(names) == 10 and version


if __name__ == "__main__":
    main()
