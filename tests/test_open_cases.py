"""The corners where the behaviour is a choice of this library: requests that
cannot fit in memory, Cao's method at delay 0 (where no length rule ends the
search), the normalisation of permutation entropy beyond 20!, and NaN
distances among the sort keys of the local-linearization fallback."""

import math
import os
import resource

import numpy as np
import pytest

from quorlin import _native
from test_optimal_embedding import reference_dimension

PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
HUGE = 2**64 - 1


def noise(n, seed=0):
    return np.random.default_rng(seed).standard_normal(n)


# ---------------------------------------------------------------------------
# Memory: refused up front, before anything is touched


def peak_resident_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# A delay-0 embedding of this dimension takes all of physical memory per
# sample; rows of a zero-strided trajectory whose two results (n doubles
# each) fit in physical memory one at a time but not together.
WHOLE_MEMORY_DIMENSION = PHYSICAL_MEMORY // 8
HALF_FITTING_ROWS = PHYSICAL_MEMORY // 12


@pytest.mark.parametrize(
    "function, args",
    [
        (_native.time_delay_embedding, (np.zeros(10**6), 10**6, 0)),
        (_native.time_delay_embedding, (np.zeros(3), HUGE, 0)),
        (_native.lyapunov_rosenstein, (noise(100), WHOLE_MEMORY_DIMENSION, 0)),
        (_native.lyapunov_kantz, (noise(100), WHOLE_MEMORY_DIMENSION, 0)),
        (_native.ftle_direct_perturbation, (noise(100), WHOLE_MEMORY_DIMENSION, 0)),
        (_native.ftle_direct_perturbation, (noise(100), 2**63, 0)),
        (_native.ftle_local_linearization,
         (np.broadcast_to(np.zeros((1, 1)), (HALF_FITTING_ROWS, 1)), HALF_FITTING_ROWS)),
        (_native.ftle_local_linearization, (np.broadcast_to(np.zeros((1, 3)), (2**40, 3)),)),
    ],
    ids=["embedding", "embedding-huge", "rosenstein", "kantz", "ftle-direct",
         "ftle-direct-huge", "ftle-local-results", "ftle-local-huge"],
)
def test_working_sets_beyond_memory_are_refused_before_allocating(function, args):
    peak = peak_resident_bytes()
    with pytest.raises(MemoryError):
        function(*args)
    assert peak_resident_bytes() - peak < 64 << 20


# ---------------------------------------------------------------------------
# Cao's method at delay 0

def with_samples(n, seed, **samples):
    x = noise(n, seed)
    for index, value in samples.items():
        x[int(index[1:])] = value
    return x


@pytest.mark.parametrize(
    "x, threshold, expected",
    [
        # A row with no neighbour at a finite distance: every mean ratio is NaN.
        (with_samples(12, 1, i3=1e308, i7=-1e308), 0.01, "max_dim"),
        # The nearest squared distance of row 4 (about 4.9e307) sums to +inf
        # with four coordinates: steps from d = 5 on are NaN ...
        (with_samples(12, 2, i4=7e153), 1e-6, "max_dim"),
        # ... unless an earlier step passes.
        (with_samples(12, 2, i4=7e153), 0.2, 3),
        # Row 0 alone counted, with a ratio of 0 / inf: every mean ratio is 0.
        (np.r_[1e308, np.zeros(11)], 0.01, "max_dim"),
        (np.r_[-1e300, 1e-160 * np.arange(11)], 0.01, "max_dim"),
        # Row 0 isolated but other rows counted: the search ends as usual.
        (with_samples(12, 3, i0=1e308), 0.01, 9),
        (noise(12, 3), 0.01, 9),
    ],
)
def test_cao_at_delay_zero_answers_at_once_where_no_later_step_can_pass(x, threshold, expected):
    # The literal search over a small max_dim, and the same answer for a
    # max_dim that the literal loop could never reach.
    small = 18
    assert reference_dimension(x, 0, small, "cao", threshold) == (
        small if expected == "max_dim" else expected
    )
    assert _native.optimal_dimension(x, 0, small, "cao", threshold) == (
        small if expected == "max_dim" else expected
    )
    assert _native.optimal_dimension(x, 0, HUGE, "cao", threshold) == (
        HUGE if expected == "max_dim" else expected
    )


# ---------------------------------------------------------------------------
# Permutation entropy beyond order 20


def log2_factorial(order):
    """log2(order!): exact 20! as a double, then log2 k added in increasing k."""
    total = math.log2(float(math.factorial(min(order, 20))))
    for k in range(21, order + 1):
        total += math.log2(k)
    return total


@pytest.mark.parametrize("order", [20, 21, 22, 40, 97])
def test_normalisation_beyond_twenty_factorial(order):
    x = noise(400, order)
    bits = _native.permutation_entropy(x, order, 2, False)
    assert bits > 0.0
    assert _native.permutation_entropy(x, order, 2, True) == bits / log2_factorial(order)
    assert log2_factorial(order) == pytest.approx(math.lgamma(order + 1) / math.log(2), rel=1e-13)


# ---------------------------------------------------------------------------
# NaN sort keys in the local-linearization fallback


def test_fallback_ranks_nan_distances_after_every_number():
    # Row 2 holds a NaN, so its distance to every anchor is NaN. Taking all
    # but two rows in the fallback (empty balls, epsilon = 0) leaves exactly
    # the last-ranked row out: the NaN row, just as a row farther than every
    # other would be. Row 2 is the image of no anchor (T = 5), so all other
    # anchors see the same neighbours in both trajectories.
    rng = np.random.default_rng(11)
    trajectory = np.cumsum(rng.standard_normal((40, 2)), axis=0)
    with_nan, far = trajectory.copy(), trajectory.copy()
    with_nan[2, 1] = np.nan
    far[2] = 1e6
    n_neighbors = len(trajectory) - 2
    a = _native.ftle_local_linearization(with_nan, 5, n_neighbors, 0.0)
    b = _native.ftle_local_linearization(far, 5, n_neighbors, 0.0)
    anchors = np.arange(len(trajectory) - 5) != 2
    assert np.isfinite(a[0][:-5][anchors]).all()
    for x, y in zip(a, b):
        assert x[:-5][anchors].tobytes() == y[:-5][anchors].tobytes()
