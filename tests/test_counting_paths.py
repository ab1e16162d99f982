"""Sample entropy's ranked pair counting gives the pair scan's counts exactly.

The twins of the module (see variants.py) always take one path: the diagonal
pair scan, or the ranking of the series with templates grouped by cells. The
results must agree to the last bit on every input, however odd, and with
counts known in closed form."""

import math
import subprocess

import numpy as np
import pytest

from quorlin import _native
from variants import Unavailable, build_counting_check

NAN = float("nan")
INF = float("inf")


def bits(value):
    return np.float64(value).tobytes()


# --- Signal families: (name, generator(rng, n)) ------------------------------


def logistic(rng, n):
    x = np.empty(n)
    v = rng.uniform(0.1, 0.9)
    for k in range(n):
        v = 4.0 * v * (1.0 - v)
        x[k] = v
    return x


def henon(rng, n):
    x = np.empty(n)
    a, b = rng.uniform(-0.1, 0.1, 2)
    for k in range(n):
        a, b = 1.0 - 1.4 * a * a + b, 0.3 * a
        x[k] = a
    return x


def planted(rng, x, values):
    if len(x):
        x[rng.integers(0, len(x), rng.integers(1, 4))] = rng.choice(values)
    return x


FAMILIES = {
    "noise": lambda rng, n: rng.standard_normal(n),
    "logistic map": logistic,
    "henon map": henon,
    # Masses of exact ties, and differences exactly equal to integer tolerances.
    "few integer levels": lambda rng, n: rng.integers(0, rng.integers(2, 6), n).astype(float),
    "quantised walk": lambda rng, n: np.round(np.cumsum(rng.standard_normal(n))),
    "repeated segment": lambda rng, n: np.tile(rng.standard_normal(rng.integers(1, 8)), n)[:n],
    "signed zeros": lambda rng, n: rng.choice([-0.0, 0.0, 1.0], n),
    "nan samples": lambda rng, n: planted(rng, rng.standard_normal(n), [NAN]),
    "infinite samples": lambda rng, n: planted(rng, rng.integers(0, 3, n).astype(float), [INF, -INF]),
    "tiny and subnormal": lambda rng, n: rng.integers(-3, 4, n) * rng.choice([1e-300, 5e-324]),
    # Differences of opposite huge samples overflow to infinity.
    "huge": lambda rng, n: rng.choice([-1.0, 1.0], n) * rng.uniform(1e307, 1.7e308, n),
}


def tolerances(rng, x):
    """The tolerances worth trying on x: the default, degenerate ones, and
    exactly the difference of two samples (which must count as a match)."""
    choices = [None, 0.0, -1.0, NAN, INF, 1e-300, 5e-324, 0.5, 1.0]
    finite = x[np.isfinite(x)]
    if len(finite) >= 2:
        a, b = rng.choice(finite, 2)
        with np.errstate(over="ignore"):
            choices += [abs(a - b), abs(a - b)]
        with np.errstate(over="ignore", invalid="ignore"):
            choices.append(0.2 * float(np.std(finite)))
    return [choices[k] for k in rng.choice(len(choices), 3, replace=False)]


@pytest.mark.parametrize("family", FAMILIES)
def test_short_series_of_every_family(search_variants, family):
    direct, fast = search_variants
    rng = np.random.default_rng(sum(map(ord, family)))
    for _ in range(60):
        x = FAMILIES[family](rng, int(rng.integers(0, 300)))
        for r in tolerances(rng, x):
            for m in range(5):
                expected = direct.sample_entropy(x, m, r)
                assert bits(fast.sample_entropy(x, m, r)) == bits(expected), (family, len(x), m, r)


# Long enough for groups of thousands of templates, which are counted by
# sorting and splitting rather than compared pair by pair.
LONG_SIGNALS = {
    "quantised slow sine": lambda n: np.round(10.0 * np.sin(np.arange(n) / 50.0)),
    "random walk": lambda n: np.cumsum(np.random.default_rng(1).standard_normal(n)) * 0.1,
    "noisy integer sine": lambda n: np.floor(
        4.0 * np.sin(np.arange(n) / 7.0) + 0.3 * np.random.default_rng(2).standard_normal(n)
    ),
    "three levels": lambda n: np.random.default_rng(3).integers(0, 3, n).astype(float),
}


@pytest.mark.parametrize("signal", LONG_SIGNALS)
@pytest.mark.parametrize("m", [1, 2, 3, 4])
def test_long_series_with_large_groups(search_variants, signal, m):
    # The fast twin sorts nearly every group pair; the shipped module compares
    # most of them pair by pair in vectors.
    direct, fast = search_variants
    x = LONG_SIGNALS[signal](6000)
    for r in (None, 1.0):
        expected = bits(direct.sample_entropy(x, m, r))
        assert bits(fast.sample_entropy(x, m, r)) == expected
        assert bits(_native.sample_entropy(x, m, r)) == expected


def level_pair_counts(x, length, templates):
    """Matching pairs of integer-valued templates under r = 1, from the
    histogram of their level tuples: every tuple pairs with the tuples within
    one level in each coordinate (itself included, minus each template with
    itself)."""
    levels = x.astype(np.int64) - int(x.min()) + 1
    span = int(levels.max()) + 2
    tuples = np.stack([levels[k:k + templates] for k in range(length)])
    h = np.bincount(np.ravel_multi_index(tuples, (span,) * length),
                    minlength=span**length).reshape((span,) * length).astype(object)
    total = 0
    for step in np.ndindex((3,) * length):
        shifted = np.roll(h, [s - 1 for s in step], axis=tuple(range(length)))
        total += int((h * shifted).sum())
    return (total - templates) // 2


def test_longest_series_counted_like_the_level_histogram():
    # Beyond a million templates the groups of cells are put in order and
    # counted along it and by bit sets; no scan reaches that length, so the
    # reference is a count of another kind. Rounded Gaussian levels tie
    # everywhere and make central groups of a few thousand templates.
    n = (1 << 20) + 8
    x = np.round(6.0 * np.random.default_rng(5).standard_normal(n))
    a = level_pair_counts(x, 3, n - 3)
    b = level_pair_counts(x, 2, n - 2)
    assert bits(_native.sample_entropy(x, 2, 1.0)) == bits(-math.log(a / b))


def test_smooth_series_split_several_times(search_variants):
    direct, fast = search_variants
    x = np.sin(np.arange(20000) / 300.0) + 0.5 * np.sin(np.arange(20000) / 47.0)
    assert bits(fast.sample_entropy(x)) == bits(direct.sample_entropy(x))


@pytest.mark.parametrize("family", ["noise", "few integer levels", "infinite samples", "huge"])
def test_shipped_module_counts_long_series_like_the_scan(search_variants, family):
    # Long enough for the shipped module to rank the series for m = 0 .. 4,
    # with its own choices between comparing in vectors and sorting.
    direct, _ = search_variants
    rng = np.random.default_rng(sum(map(ord, family)))
    x = FAMILIES[family](rng, 1500)
    for r in tolerances(rng, x):
        for m in range(5):
            assert bits(_native.sample_entropy(x, m, r)) == bits(direct.sample_entropy(x, m, r)), (m, r)


# --- Counts known in closed form, on series long enough to be ranked --------


def pairs(count):
    return count * (count - 1) // 2


def entropy_of(a, b):
    return NAN if b == 0 else INF if a == 0 else -math.log(a / b)


def periodic_counts(n, m, period):
    """x[i] = i mod period with r = 0.5: templates match when their starts
    agree modulo the period (every pair when m = 0)."""

    def same_phase(templates):
        return sum(pairs(len(range(p, templates, period))) for p in range(period))

    b = pairs(n) if m == 0 else same_phase(n - m)
    return same_phase(n - m - 1), b


CLOSED_FORMS = {
    # Every pair matches: the counts differ only by their template ranges.
    "constant, r = 1": (lambda n: np.full(n, 2.5), 1.0, lambda n, m: (pairs(n - m - 1), pairs(n - m))),
    "noise, r = nan": (lambda n: noisy_signal(n), NAN, lambda n, m: (pairs(n - m - 1), pairs(n - m))),
    "noise, r = inf": (lambda n: noisy_signal(n), INF, lambda n, m: (pairs(n - m - 1), pairs(n - m))),
    # A NaN sample makes the default tolerance NaN: every pair matches.
    "nan samples, r = None": (lambda n: holed(noisy_signal(n), [0, n // 2, n - 1]), None,
                              lambda n, m: (pairs(n - m - 1), pairs(n - m))),
    # Neighbouring starts only (differences of exactly r match).
    "ramp, r = 1": (
        lambda n: np.arange(n, dtype=float),
        1.0,
        lambda n, m: (n - m - 2, n - m - 1) if m else (n - 2, pairs(n)),
    ),
    "period 7, r = 0.5": (lambda n: np.arange(n) % 7.0, 0.5, lambda n, m: periodic_counts(n, m, 7)),
    "period 1000, r = 0.5": (lambda n: np.arange(n) % 1000.0, 0.5, lambda n, m: periodic_counts(n, m, 1000)),
}


def noisy_signal(n):
    return np.random.default_rng(n).standard_normal(n)


@pytest.mark.parametrize("case", CLOSED_FORMS)
@pytest.mark.parametrize("n", [3001, 20000])
@pytest.mark.parametrize("m", [0, 1, 2, 3, 6, 11])
def test_long_series_counts_in_closed_form(search_variants, case, n, m):
    _, fast = search_variants
    signal, r, counts = CLOSED_FORMS[case]
    x = signal(n)
    expected = entropy_of(*counts(n, m))
    for module in (fast, _native):
        assert bits(module.sample_entropy(x, m, r)) == bits(expected), module.__name__


# --- NaN samples: settled apart from the ranking, counted exactly as the scan


def holed(x, positions):
    x = x.copy()
    x[positions] = NAN
    return x


def hole_positions(rng, n, m, where):
    """NaN positions: at random, as a run, or at the edges of the template
    ranges (the first sample, the last ones each count reads, and just past)."""
    if where == "random":
        return rng.integers(0, n, 5)
    if where == "run":
        start = int(rng.integers(0, n - 4))
        return np.arange(start, start + 3)
    return np.array([0, m, n - 1, n - 2, n - m - 1, n - m - 2])


@pytest.mark.parametrize("where", ["random", "run", "template edges"])
@pytest.mark.parametrize("family", ["noise", "quantised walk", "few integer levels", "infinite samples"])
def test_nan_samples_counted_like_the_scan(search_variants, family, where):
    # Long enough for the shipped module to rank the series for every m here.
    direct, _ = search_variants
    rng = np.random.default_rng(sum(map(ord, family + where)))
    n = 3001
    for m in range(5):
        x = holed(FAMILIES[family](rng, n), hole_positions(rng, n, m, where))
        for r in (0.3, 1.0, INF, None):
            assert bits(_native.sample_entropy(x, m, r)) == bits(direct.sample_entropy(x, m, r)), (m, r)


def test_native_counting_check():
    """Sample entropy's counts by the path the shipped module picks, against
    the pair scan, on thousands of generated series with NaN samples; and a
    record of the paths taken: long series with a few NaN samples are
    ranked, never scanned."""
    try:
        program = build_counting_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program), "11", "600"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
