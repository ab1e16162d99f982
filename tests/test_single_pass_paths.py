"""The single-pass measures on long series, exactly as the literal references
of test_complexity.py compute them: permutation entropy of orders 2 and 3
(counted from three comparisons per window) and both Hurst methods (windows
interleaved, the series walked in chunks of 4096 samples)."""

import math
from collections import Counter

import numpy as np
import pytest

from quorlin import _native
from test_complexity import INF, NAN, hurst_reference, noisy, ordinal_pattern, same

# Around and across the chunk boundaries of the walk, and odd window counts.
LENGTHS = [4095, 4096, 4097, 9001, 20011]

SIGNALS = {
    "noise": lambda n: noisy(n, n),
    "random walk": lambda n: np.cumsum(noisy(n + 1, n)),
    "integers with spikes": lambda n: noisy(n + 2, n, levels=4, infs=2),
}


@pytest.mark.parametrize("method", ["rs", "dfa"])
@pytest.mark.parametrize("signal", SIGNALS)
@pytest.mark.parametrize("n", LENGTHS)
def test_hurst_of_long_series_matches_reference_exactly(method, signal, n):
    x = SIGNALS[signal](n)
    assert same(_native.hurst_exponent(x, method), hurst_reference(x.tolist(), method))


def permutation_entropy_summed_as_implemented(x, order, delay, normalize):
    """The reference's pattern counts, with the terms added from the rarest
    pattern up as the implementation adds them, so that the result is
    comparable to the last bit."""
    windows = len(x) - (order - 1) * delay
    counts = Counter(
        ordinal_pattern([x[i + p * delay] for p in range(order)]) for i in range(windows)
    )
    h = 0.0
    for c in sorted(counts.values()):
        h -= c / windows * math.log2(c / windows)
    return h / math.log2(math.factorial(order)) if normalize else h


@pytest.mark.parametrize("order", [2, 3, 4])
@pytest.mark.parametrize("delay", [1, 2, 5])
@pytest.mark.parametrize(
    "seed, n, levels, nans, infs",
    [
        (1, 21, None, 0, 0),  # odd numbers of windows
        (2, 1001, None, 0, 0),
        (3, 4097, 3, 0, 0),  # masses of ties
        (4, 2000, None, 20, 0),  # NaN members stop the insertion sort
        (5, 2000, 2, 7, 9),
    ],
)
def test_permutation_entropy_counts_match_reference_exactly(order, delay, seed, n, levels, nans, infs):
    x = noisy(seed, n, levels, nans, infs)
    for normalize in (False, True):
        expected = permutation_entropy_summed_as_implemented(x.tolist(), order, delay, normalize)
        assert same(_native.permutation_entropy(x, order, delay, normalize), expected)


def entropy_bits(counts, normalize, order):
    windows = sum(counts)
    h = 0.0
    for c in sorted(counts):
        h -= c / windows * math.log2(c / windows)
    return h / math.log2(math.factorial(order)) if normalize else h


# Periodic series whose pattern counts follow from one period.
@pytest.mark.parametrize(
    "period, order, delay, counts_of",
    [
        # (0,1,2) at phase 0, (2,0,1) at phase 1, (1,2,0) at phase 2.
        ([0.0, 1.0, 2.0], 3, 1, lambda w: [len(range(p, w, 3)) for p in range(3)]),
        # Delay 3 compares one phase with itself: every window ties, (0,1,2).
        ([0.0, 1.0, 2.0], 3, 3, lambda w: [w]),
        ([5.0, -1.0], 2, 1, lambda w: [len(range(0, w, 2)), len(range(1, w, 2))]),
        # A NaN member never moves and nothing moves past it: the windows
        # (nan, 1, 0), (1, 0, nan), (0, nan, 1) show (0, 2, 1), (1, 0, 2), (0, 1, 2).
        ([NAN, 1.0, 0.0], 3, 1, lambda w: [len(range(p, w, 3)) for p in range(3)]),
        # (inf, -inf, 0) shows (1, 2, 0); (-inf, 0, 0) and (0, 0, inf) both
        # (0, 1, 2); (0, inf, -inf) shows (2, 0, 1).
        (
            [INF, -INF, 0.0, 0.0],
            3,
            1,
            lambda w: [len(range(0, w, 4)), len(range(1, w, 4)) + len(range(2, w, 4)), len(range(3, w, 4))],
        ),
    ],
)
@pytest.mark.parametrize("n", [100_001, 100_002])
def test_permutation_entropy_of_periodic_series(period, order, delay, counts_of, n):
    x = np.resize(np.array(period), n)
    counts = [c for c in counts_of(n - (order - 1) * delay) if c]
    for normalize in (False, True):
        expected = entropy_bits(counts, normalize, order)
        assert same(_native.permutation_entropy(x, order, delay, normalize), expected)
