import math
import operator
import re
from collections import Counter
from functools import reduce
from itertools import accumulate

import numpy as np
import pytest

from quorlin import _native

NAN = float("nan")
INF = float("inf")


def same(a, b):
    """Equal floats, NaN equal to NaN."""
    return (math.isnan(a) and math.isnan(b)) or a == b


def close(a, b):
    return same(a, b) or abs(a - b) <= 1e-12


# --- Straightforward references: literal, slow, written for clarity ---------


def total(values):
    """Sum in index order into one accumulator (unlike sum() on newer Pythons)."""
    return reduce(operator.add, values, 0.0)


def hurst_points_rs(x):
    n = len(x)
    for k in range(10, min(math.trunc(0.5 * n), 100)):
        running = 0.0
        for w in range(n // k):
            v = x[w * k:(w + 1) * k]
            m = total(v) / k
            c = list(accumulate(u - m for u in v))
            spread = max((u for u in c if u == u), default=-INF) - min((u for u in c if u == u), default=INF)
            s2 = total((u - m) * (u - m) for u in v) / (k - 1)
            running += spread / math.sqrt(s2) if s2 > 0 else 0.0
        if running / (n // k) > 0:
            yield math.log(k), math.log(running / (n // k))


def hurst_points_dfa(x):
    n = len(x)
    mu = total(x) / n
    profile = list(accumulate(v - mu for v in x))
    span = math.log10(min(0.25 * n, 100.0)) - 1.0
    scales = [int(math.pow(10.0, (i * span) / 19 + 1.0)) for i in range(20)]
    for s in [s for i, s in enumerate(scales) if i == 0 or scales[i - 1] != s]:
        st, stt = total(range(s)), total(float(t) * t for t in range(s))
        q = []
        for w in range(n // s):
            y = profile[w * s:(w + 1) * s]
            sy, sty = total(y), total(t * v for t, v in enumerate(y))
            b = (s * sty - sy * st) / (s * stt - st * st)
            a = (sy - st * b) / s
            q.append(total((v - (t * b + a)) * (v - (t * b + a)) for t, v in enumerate(y)) / s)
        if len(q) >= 2:
            yield math.log(s), math.log(math.sqrt(total(q) / len(q)))


def hurst_reference(samples, method="rs"):
    x = [v for v in samples if not math.isnan(v)]
    if len(x) < 10 or (method == "dfa" and len(x) < 20):
        return NAN
    points = list(hurst_points_dfa(x) if method == "dfa" else hurst_points_rs(x))
    p = len(points)
    sx, sy = total(px for px, _ in points), total(py for _, py in points)
    sxy, sxx = total(px * py for px, py in points), total(px * px for px, _ in points)
    d = sxx * p - sx * sx
    if p <= 2 or abs(d) < 1e-15:
        return NAN
    slope = (sxy * p - sx * sy) / d
    return slope if method == "dfa" or math.isnan(slope) else min(max(slope, 0.0), 1.0)


def sample_entropy_reference(x, m, r=None):
    n = len(x)
    if n < m + 2:
        return NAN
    if r is None:
        mu = total(x) / n
        r = math.sqrt(total((v - mu) * (v - mu) for v in x) / n) * 0.2
    if r <= 0:
        return NAN

    def pairs(length, last):
        return sum(
            all(not abs(x[i + k] - x[j + k]) > r for k in range(length))
            for i in range(last + 1)
            for j in range(i + 1, last + 1)
        )

    a, b = pairs(m + 1, n - m - 2), pairs(m, n - m - 1)
    return NAN if b == 0 else -math.log(a / b) if a else INF


def ordinal_pattern(window):
    positions = list(range(len(window)))
    for t in range(1, len(window)):
        moving, u = positions[t], t
        while u > 0 and window[positions[u - 1]] > window[moving]:
            positions[u] = positions[u - 1]
            u -= 1
        positions[u] = moving
    return tuple(positions)


def permutation_entropy_reference(x, order, delay, normalize):
    n = len(x)
    if n < order * delay:
        return NAN
    windows = n - (order - 1) * delay
    if order == 0 or windows == 0:
        return 0.0
    counts = Counter(
        ordinal_pattern([x[i + p * delay] for p in range(order)]) for i in range(windows)
    )
    h = -sum(c / windows * math.log2(c / windows) for c in counts.values())
    return h / math.log2(math.factorial(order)) if normalize and order > 1 else h


def noisy(seed, n, levels=None, nans=0, infs=0):
    """White noise, or integers in range(levels) (many exact ties), with NaN/inf planted."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n) if levels is None else rng.integers(0, levels, n).astype(float)
    if n:
        x[rng.integers(0, n, nans)] = NAN
        x[rng.integers(0, n, infs)] = INF
    return x


# --- Module table ------------------------------------------------------------


def test_complexity_functions_precede_embedding_in_table_order():
    names = list(_native.__all__)
    expected = ["hurst_exponent", "permutation_entropy", "sample_entropy", "time_delay_embedding"]
    assert [name for name in names if name in expected] == expected


def test_docstrings():
    assert _native.permutation_entropy.__doc__ == (
        "Permutation entropy.\n\nMeasures complexity via ordinal pattern distribution."
    )
    assert _native.sample_entropy.__doc__ == (
        "Sample entropy.\n\nSampEn = -log(A/B) where B = m-length matches, A = (m+1)-length matches."
    )
    head, ported, tail = _native.hurst_exponent.__doc__.split("\n\n")
    assert head == "Hurst exponent via R/S analysis." and "\n" not in ported
    assert tail == (
        "Config constants (from ostrel.primitives.config):\n"
        "  rs_min_k = 10\n  rs_max_k_ratio = 0.5\n  rs_max_k_cap = 100"
    )
    assert _native.hurst_exponent.__text_signature__ == '(signal, method="rs")'
    assert _native.sample_entropy.__text_signature__ == "(signal, m=2, r=None)"


# --- Hurst exponent ----------------------------------------------------------

RAMP = np.arange(100.0)
ALTERNATING = np.tile([1.0, -1.0], 50)


@pytest.mark.parametrize(
    "signal, method, expected, tolerance",
    [
        (RAMP, "rs", 1.0, 0.0),  # raw slope about 1.023, clamped
        (RAMP, "dfa", 2.022, 1e-3),  # not clamped
        (ALTERNATING, "rs", 0.0784, 1e-4),
        (ALTERNATING, "dfa", 0.0108, 1e-4),
        (np.full(50, 0.1), "rs", 1.0, 0.0),  # rounding noise of an inexact mean
    ],
)
def test_hurst_values(signal, method, expected, tolerance):
    result = _native.hurst_exponent(signal, method)
    assert abs(result - expected) <= tolerance
    assert same(result, hurst_reference(signal.tolist(), method))


@pytest.mark.parametrize(
    "signal, method",
    [
        (np.array([]), "rs"),
        (np.full(30, NAN), "dfa"),
        (noisy(0, 9), "rs"),
        (noisy(0, 9), "dfa"),
        (np.concatenate([noisy(1, 9), np.full(20, NAN)]), "rs"),
        (noisy(2, 25), "rs"),  # window sizes 10 and 11: two points
        (noisy(3, 19), "dfa"),
        (np.ones(64), "rs"),  # every window has zero variance
        (np.ones(64), "dfa"),  # every fluctuation is 0: Y = -inf
    ]
    + [(noisy(n, n), "dfa") for n in range(36, 48)],  # fewer than three usable scales
)
def test_hurst_degenerate_input_gives_nan(signal, method):
    assert math.isnan(_native.hurst_exponent(signal, method))


@pytest.mark.parametrize("method", ["rs", "dfa"])
@pytest.mark.parametrize("n", [20, 26, 35, 48, 61, 150, 399, 400, 1000, 8300])
def test_hurst_matches_reference_exactly(n, method):
    x = noisy(n, n)
    result = _native.hurst_exponent(x, method)
    assert same(result, hurst_reference(x.tolist(), method))
    if n == 26 or (method == "dfa" and n == 20):  # shortest series with a value
        assert not math.isnan(result)


@pytest.mark.parametrize("method", ["rs", "dfa"])
def test_hurst_ignores_inserted_nans(method):
    x = noisy(7, 500)
    with_nans = np.insert(x, [0, 3, 3, 250, 499, 500], NAN)
    assert _native.hurst_exponent(with_nans, method) == _native.hurst_exponent(x, method)


@pytest.mark.parametrize("method", ["", "DFA", "Dfa", "dfa ", "rs", "RS", "detrended"])
def test_hurst_method_texts_other_than_dfa_run_rs(method):
    x = noisy(8, 300)
    assert _native.hurst_exponent(x, method) == _native.hurst_exponent(x)
    assert _native.hurst_exponent(x, "dfa") != _native.hurst_exponent(x)


# --- Sample entropy ----------------------------------------------------------

CONSTANT_RATIO = -math.log(21 / 28)  # ln((N - m) / (N - m - 2)) for N = 10, m = 2


@pytest.mark.parametrize(
    "signal, m, r, expected",
    [
        ([1, 2, 3, 1, 2, 3, 1, 2, 3, 1], 2, 0.5, -math.log(5 / 7)),  # B = 7, A = 5
        ([0.1] * 10, 2, None, CONSTANT_RATIO),  # inexact sum: tiny r > 0
        ([1.0] * 10, 2, None, NAN),  # exact sum: r = 0
        ([1.0] * 10, 2, 1.0, CONSTANT_RATIO),
        ([1.0] * 9 + [NAN], 2, None, CONSTANT_RATIO),  # NaN r: every pair matches
        ([0.0, 3.0, 1.0, 7.0, 2.0, 5.0], 2, INF, -math.log(3 / 6)),  # every pair matches
        ([0.0, 0.2, 0.3, 9.0], 2, 0.5, INF),  # N = m + 2, the two templates match
        ([0.0, 1.0, 5.0, 1.0], 2, 0.5, NAN),  # N = m + 2, they do not
        ([0.0, 0.5, 1.0, 0.5, 0.0], 1, 0.5, -math.log(2 / 5)),  # differences exactly r match
        ([1.0, 2.0, 3.0], 2, 1.0, NAN),  # N = m + 1
        ([], 0, 1.0, NAN),
        ([1.0, 2.0, 3.0, 4.0, 5.0], 2, 0.0, NAN),
        ([1.0, 2.0, 3.0, 4.0, 5.0], 2, -1.0, NAN),
        ([0.0, 0.4, 1.0, 3.0], 0, 0.5, -math.log(1 / 6)),  # B = N(N-1)/2 = 6
    ]
    + [([1.0] * 50, m, 1.0, NAN) for m in (2**63, 2**64 - 2, 2**64 - 1)],  # m + 2 overflows
)
def test_sample_entropy_values(signal, m, r, expected):
    result = _native.sample_entropy(np.array(signal, dtype=float), m, r)
    assert close(result, expected)
    assert same(result, sample_entropy_reference(signal, m, r))


@pytest.mark.parametrize(
    "seed, n, levels, nans, infs, m, r",
    [
        (seed, n, levels, nans, infs, m, r)
        for seed, (n, levels, nans, infs) in enumerate(
            [(12, 3, 0, 0), (23, 4, 1, 0), (31, 3, 2, 1), (40, None, 0, 0), (57, 5, 0, 2)]
        )
        for m in (0, 1, 2, 3)
        for r in (None, 0.5, 1.0, NAN)
    ],
)
def test_sample_entropy_matches_pair_by_pair_reference(seed, n, levels, nans, infs, m, r):
    x = noisy(seed, n, levels, nans, infs)
    assert same(_native.sample_entropy(x, m, r), sample_entropy_reference(x.tolist(), m, r))


# --- Permutation entropy -----------------------------------------------------

EXAMPLE = [4, 7, 9, 10, 6, 11, 3]  # patterns (0,1,2) x2, (2,0,1) x2, (1,0,2) x1
EXAMPLE_BITS = -(2 * 0.4 * math.log2(0.4) + 0.2 * math.log2(0.2))


def interleave(first, second):
    """Six samples whose two windows at order 3, delay 2 are `first` and `second`."""
    return [v for pair in zip(first, second) for v in pair]


@pytest.mark.parametrize(
    "signal, order, delay, normalize, expected",
    [
        (EXAMPLE, 3, 1, False, EXAMPLE_BITS),
        (EXAMPLE, 3, 1, True, EXAMPLE_BITS / math.log2(6)),
        (list(range(50)), 4, 3, True, 0.0),
        ([2.5] * 50, 5, 1, False, 0.0),
        (interleave([2, 1, 1], [3, 1, 2]), 3, 2, True, 0.0),  # both (1, 2, 0)
        (interleave([2, 1, 1], [3, 2, 1]), 3, 2, True, 1 / math.log2(6)),
        (interleave([5, 5, 5], [1, 2, 3]), 3, 2, True, 0.0),  # ties keep position order
        (interleave([NAN, 1, 0], [0, 2, 1]), 3, 2, True, 0.0),  # both (0, 2, 1)
        (interleave([NAN, 1, 0], [0, 1, 2]), 3, 2, False, 1.0),
        ([0, 1, 2, 3, 4], 3, 2, True, NAN),  # 5 < order * delay, though one window fits
        ([], 1, 1, True, NAN),
        ([], 3, 0, True, 0.0),
        ([], 0, 3, True, 0.0),
        (EXAMPLE, 1, 1, True, 0.0),
        (EXAMPLE, 0, 1, False, 0.0),
        (EXAMPLE, 3, 0, True, 0.0),
    ],
)
def test_permutation_entropy_values(signal, order, delay, normalize, expected):
    x = np.array(signal, dtype=float)
    result = _native.permutation_entropy(x, order, delay, normalize)
    assert close(result, expected)
    assert close(result, permutation_entropy_reference(signal, order, delay, normalize))


@pytest.mark.parametrize(
    "order, delay, expected",
    [
        (2**63, 2**63, NAN),
        (2**64 - 1, 2**64 - 1, NAN),
        (2**64 - 1, 1, NAN),
        (2, 2**63, NAN),
        (2**32, 2**32, NAN),  # the product is exactly 2^64
        (2**64 - 1, 0, 0.0),  # huge windows of one repeated sample
        (0, 2**64 - 1, 0.0),
        (1, 100, NAN),
    ],
)
def test_permutation_entropy_huge_arguments_return_promptly(order, delay, expected):
    assert same(_native.permutation_entropy(noisy(0, 64), order, delay), expected)


@pytest.mark.parametrize("order", [2, 3, 5, 8, 9, 16, 17, 25, 33, 45])
@pytest.mark.parametrize(
    "seed, n, levels, nans, delay",
    [(1, 200, None, 0, 1), (2, 150, 3, 0, 2), (3, 160, None, 4, 1), (4, 180, 2, 3, 3)],
)
def test_permutation_entropy_matches_reference(order, seed, n, levels, nans, delay):
    x = noisy(seed, n, levels, nans, infs=1)
    for normalize in (False, True):
        expected = permutation_entropy_reference(x.tolist(), order, delay, normalize)
        assert close(_native.permutation_entropy(x, order, delay, normalize), expected)


def test_permutation_entropy_all_patterns_equally_frequent():
    # Every one of the 6 patterns of order 3 exactly once, windows kept apart by delay 6.
    windows = [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]
    x = np.array([w[p] for p in range(3) for w in windows], dtype=float)
    assert _native.permutation_entropy(x, 3, 6, True) == pytest.approx(1.0, abs=1e-15)
    assert _native.permutation_entropy(x, 3, 6, False) == pytest.approx(math.log2(6), abs=1e-15)


# --- Arguments ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda x: _native.permutation_entropy(x, normalize=1), TypeError,
         "argument 'normalize': 'int' object cannot be cast as 'bool'"),
        (lambda x: _native.hurst_exponent(x, method=None), TypeError,
         "argument 'method': 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        call(noisy(0, 40))


def test_numpy_true_is_a_boolean():
    x = noisy(0, 40)
    assert _native.permutation_entropy(x, normalize=np.True_) == _native.permutation_entropy(x)
