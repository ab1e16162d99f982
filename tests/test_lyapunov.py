import itertools
import math

import numpy as np
import pytest

from quorlin import _native

NAN = float("nan")
BIG = [2**63, 2**64 - 1]
ROSENSTEIN, KANTZ = _native.lyapunov_rosenstein, _native.lyapunov_kantz


def logistic(n, start=0.1234):
    x = np.empty(n)
    for i in range(n):
        x[i] = start
        start = 4.0 * start * (1.0 - start)
    return x


def noise(n, seed=0):
    return np.random.default_rng(seed).standard_normal(n)


# --- small reference implementations, written from the definitions -------------


def candidate_order(m0, t0):
    yield m0, t0
    yield from ((d, t0) for d in range(m0 - 1, 1, -1))
    yield from ((m0, t) for t in range(t0 - 1, 0, -1))
    yield from ((d, t) for d in range(m0 - 1, 1, -1) for t in range(t0 - 1, 0, -1))


def squared_distances(x, m, tau, n_points):
    s = np.zeros((n_points, n_points))
    for c in range(m):
        column = x[c * tau : c * tau + n_points]
        with np.errstate(invalid="ignore"):
            diff = column[:, None] - column[None, :]
        s += diff * diff
    return s


def slope(ys):
    q, sx, sy, sxy, sxx = float(len(ys)), 0.0, 0.0, 0.0, 0.0
    for x, y in ys:
        sx, sy, sxy, sxx = sx + x, sy + y, sxy + x * y, sxx + x * x
    d = q * sxx - sx * sx
    return (q * sxy - sx * sy) / d if abs(d) > 1e-15 else NAN


def rosenstein_ref(x, dimension=None, delay=None, min_tsep=None, max_iter=None, key=np.sqrt):
    y = x[~np.isnan(x)]
    n = len(y)
    if n < 50 or dimension == 0:
        return NAN, [], []
    m0, t0 = 3 if dimension is None else dimension, 1 if delay is None else delay
    fits = (p for p in candidate_order(m0, t0) if n - (p[0] - 1) * p[1] >= max(50, n // 4))
    m, tau = next(fits, (0, 0))
    if m == 0:
        return NAN, [], []
    T = m * tau if min_tsep is None else min_tsep
    K = min(n // 10, 500) if max_iter is None else max_iter
    n_points = n - (m - 1) * tau
    if n_points < T + K + 10:
        K = max(n_points - T - 10, 0)
        if K < 10:
            return NAN, [], []
    s = squared_distances(y, m, tau, n_points)
    sums, counts, idx = [0.0] * K, [0] * K, np.arange(n_points)
    for i in range(n_points - K):
        row = np.where((np.abs(idx - i) >= T) & (s[i] > 0), key(s[i]), np.inf)
        j = int(np.argmin(row))
        if row[j] == np.inf or j >= n_points - K:
            continue
        for k in range(K):
            if s[i + k, j + k] > 0:
                sums[k] += math.log(math.sqrt(s[i + k, j + k]))
                counts[k] += 1
    curve = [sums[k] / counts[k] if counts[k] else NAN for k in range(K)]
    window = [(float(k), v) for k, v in enumerate(curve[: min(K, max(10, K // 5))])]
    window = [(k, v) for k, v in window if math.isfinite(v)]
    with np.errstate(all="ignore"):
        lam = np.float64(slope(window)) / tau if len(window) >= 3 else NAN
    return float(lam), curve, [float(k) for k in range(K)]


def kantz_ref(x, dimension=None, delay=None, min_tsep=None, epsilon=None, max_iter=None):
    m, tau = 3 if dimension is None else dimension, 1 if delay is None else delay
    n_points = max(len(x) - (m - 1) * tau, 0)
    T = m * tau if min_tsep is None else min_tsep
    if m == 0 or n_points < T + 2:
        return NAN, []
    if epsilon is None:
        total = 0.0
        for v in x:
            total += v
        squares, mean = 0.0, total / len(x)
        for v in x:
            squares += (v - mean) * (v - mean)
        epsilon = math.sqrt(squares / len(x)) * 0.1
    K = min(n_points // 4 if max_iter is None else max_iter, n_points - 1)
    s = squared_distances(x, m, tau, n_points)
    idx = np.arange(n_points)
    within = (np.abs(idx[:, None] - idx[None, :]) >= T) & (s > 0) & (epsilon > np.sqrt(s))
    sums, counts = [0.0] * K, [0] * K
    for i, j in np.argwhere(within) if K > 0 else []:
        for k in range(min(K, n_points - max(i, j))):
            if s[i + k, j + k] > 0:
                sums[k] += math.log(math.sqrt(s[i + k, j + k]))
                counts[k] += 1
    curve = [sums[k] / counts[k] for k in range(K) if counts[k]]
    R = min(len(curve), max(2, len(curve) // 10))
    return (slope([(float(r), curve[r]) for r in range(R)]) if len(curve) >= 2 else NAN), curve


def assert_same(result, expected):
    assert len(result) == len(expected)
    np.testing.assert_equal(result[0], expected[0])
    for got, want in zip(result[1:], expected[1:]):
        assert got.dtype == np.float64 and got.ndim == 1
        np.testing.assert_array_equal(got, np.asarray(want, dtype=float))


# --- Rosenstein -------------------------------------------------------------------


@pytest.mark.parametrize(
    "n, m0, t0",
    list(itertools.product(
        [50, 53, 54, 60, 67, 100, 131], [0, 1, 2, 3, 5, 11, 20, 40], [0, 1, 2, 3, 7, 20, 50]
    )),
)
def test_rosenstein_matches_reference_over_embedding_candidates(n, m0, t0):
    x = noise(n, seed=n)
    assert_same(_native.lyapunov_rosenstein(x, m0, t0), rosenstein_ref(x, m0, t0))


@pytest.mark.parametrize(
    "n, kwargs, steps",
    [
        (100, {}, 10),
        (60, dict(dimension=20, delay=20), 6),
        (100, dict(max_iter=200), 85),
        (100, dict(min_tsep=79), None),
        (100, dict(min_tsep=78), 10),
        (100, dict(min_tsep=70, max_iter=50), 18),
        (100, dict(max_iter=5), 5),
        (100, dict(max_iter=2), 2),
        (100, dict(max_iter=0), 0),
        (100, dict(dimension=0), None),
        (49, {}, None),
        (0, {}, None),
        (600, {}, 60),
        (6000, dict(dimension=1), 500),
    ],
)
def test_rosenstein_step_budget(n, kwargs, steps):
    x = noise(n, seed=1)
    result = _native.lyapunov_rosenstein(x, **kwargs)
    assert len(result[1]) == (steps or 0)
    if steps is None or steps == 0:
        assert_same(result, (NAN, [], []))
    if n <= 600:
        assert_same(result, rosenstein_ref(x, **kwargs))


def test_rosenstein_delay_is_divided_out_exactly():
    x = noise(100)
    unit = _native.lyapunov_rosenstein(x, dimension=1, delay=1, min_tsep=3)
    huge = _native.lyapunov_rosenstein(x, dimension=1, delay=2**64 - 1, min_tsep=3)
    np.testing.assert_array_equal(huge[1], unit[1])
    assert huge[0] == unit[0] / 2.0**64 and huge[0] != 0.0


def test_rosenstein_removes_nan_samples():
    x = noise(120)
    holed = np.insert(x, [0, 7, 7, 50, 120], NAN)
    assert_same(_native.lyapunov_rosenstein(holed), _native.lyapunov_rosenstein(x))
    assert_same(_native.lyapunov_rosenstein(np.insert(noise(49), 5, [NAN] * 11)), (NAN, [], []))


@pytest.mark.parametrize("where", [5, 52, 95])
def test_rosenstein_keeps_infinite_samples_out_of_the_fit(where):
    x = noise(100)
    x[where] = np.inf
    assert_same(_native.lyapunov_rosenstein(x), rosenstein_ref(x))


def test_rosenstein_constant_series_has_no_neighbours():
    assert_same(_native.lyapunov_rosenstein(np.full(100, 2.5)), (NAN, [NAN] * 10, range(10)))


@pytest.mark.parametrize(
    "x, expected",
    [(logistic(400), math.inf), (np.arange(100.0), NAN), (0.9 ** np.arange(100.0), -math.inf)],
)
def test_rosenstein_delay_zero_divides_the_slope_by_zero(x, expected):
    np.testing.assert_equal(_native.lyapunov_rosenstein(x, dimension=1, delay=0)[0], expected)


def test_rosenstein_equal_distances_pick_the_lower_index():
    # p_55 and p_60 lie at distances from p_0 whose squares differ by one ulp
    # but whose square roots are equal: the lower index must win.
    a, b, d = 1.7951935655656968, 1.9424502837770503, 1.94245028377705
    assert a * a + d * d < a * a + b * b and math.sqrt(a * a + d * d) == math.sqrt(a * a + b * b)
    x = 1e3 + 10.0 * np.random.default_rng(4).uniform(size=100)
    x[[0, 25, 55, 80, 60, 85]] = [0.0, 0.0, a, b, a, d]
    expected = rosenstein_ref(x, 2, 25)
    by_squares = rosenstein_ref(x, 2, 25, key=lambda s: s)
    assert not np.array_equal(expected[1], by_squares[1], equal_nan=True)
    assert_same(_native.lyapunov_rosenstein(x, 2, 25), expected)
    ties = (np.arange(100) * 7 % 13).astype(float)
    assert_same(_native.lyapunov_rosenstein(ties, 1), rosenstein_ref(ties, 1))


def test_rosenstein_recovers_ln2_for_the_logistic_map():
    lam, curve, _ = _native.lyapunov_rosenstein(logistic(5000), dimension=1, max_iter=10)
    assert abs(lam - math.log(2.0)) < 0.05


def test_results_are_owned_writeable_vectors():
    for result in (_native.lyapunov_rosenstein(noise(100)), _native.lyapunov_kantz(logistic(100))):
        for array in result[1:]:
            assert array.flags.writeable and not array.flags.owndata and array.base is not None


# --- Kantz ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, kwargs",
    [
        (logistic(60), {}),
        (logistic(80), dict(dimension=2, delay=2, min_tsep=5)),
        (logistic(70), dict(max_iter=3)),
        (logistic(70), dict(max_iter=200)),
        (logistic(70), dict(epsilon=0.3)),
        (noise(50), dict(dimension=1, epsilon=0.05, max_iter=40)),
        (np.where(np.arange(70) % 9 == 4, NAN, logistic(70)), dict(epsilon=0.2)),
        (np.arange(40.0) * 7 % 11, dict(dimension=1, epsilon=2.0)),
        (logistic(200), {}),
        (noise(150, seed=1), dict(dimension=1)),
        (logistic(7), dict(epsilon=1.0, max_iter=4)),
    ],
)
def test_kantz_matches_reference(x, kwargs):
    result = _native.lyapunov_kantz(x, **kwargs)
    assert len(result[1]) >= 2
    assert_same(result, kantz_ref(x, **kwargs))


def test_kantz_skips_steps_where_all_pairs_coincide():
    # One close pair (10, 30), counted in both orders; its trajectories
    # coincide at step 1 and are 200 apart from step 2 on.
    x = np.arange(40.0) * 10.0
    x[30], x[31] = x[10] + 1e-3, x[11]
    gap = x[10] - x[30]
    lam, curve = _native.lyapunov_kantz(x, dimension=1, epsilon=0.01)
    np.testing.assert_array_equal(curve, [math.log(math.sqrt(gap * gap))] + [math.log(200.0)] * 8)
    assert lam == pytest.approx(curve[1] - curve[0], rel=1e-12)


@pytest.mark.parametrize("n", [300, 600])
def test_kantz_fits_the_first_tenth_of_long_curves(n):
    lam, curve = _native.lyapunov_kantz(logistic(n), dimension=1, epsilon=0.05)
    fitted = len(curve) // 10
    assert fitted >= 3
    assert lam == slope([(float(r), curve[r]) for r in range(fitted)])


@pytest.mark.parametrize("function", [ROSENSTEIN, KANTZ])
def test_huge_dimension_at_delay_zero_cannot_be_held(function):
    with pytest.raises(MemoryError):
        function(noise(100), dimension=2**64 - 1, delay=0)


@pytest.mark.parametrize(
    "function, n, kwargs, same_as",
    [
        (ROSENSTEIN, 60, dict(dimension=20, delay=20), dict(dimension=11, delay=1)),
        (ROSENSTEIN, 100, dict(dimension=2**64 - 1), dict(dimension=51)),
        (ROSENSTEIN, 100, dict(dimension=2**63, delay=2**63), dict(dimension=51, delay=1)),
        (ROSENSTEIN, 100, dict(delay=2**64 - 1), dict(delay=25)),
        (ROSENSTEIN, 100, dict(dimension=2, delay=2**63), dict(dimension=2, delay=50)),
        (ROSENSTEIN, 100, dict(max_iter=2**64 - 1), dict(max_iter=200)),
        (KANTZ, 100, dict(max_iter=2**64 - 1), dict(max_iter=97)),
        (KANTZ, 100, dict(dimension=1, delay=2**64 - 1, min_tsep=1), dict(dimension=1, min_tsep=1)),
    ],
)
def test_huge_requests_answer_as_their_largest_fitting_value(function, n, kwargs, same_as):
    x = logistic(n)
    assert_same(function(x, **kwargs), function(x, **same_as))


@pytest.mark.parametrize(
    "function, x, kwargs",
    [(ROSENSTEIN, noise(100), dict(min_tsep=b)) for b in BIG]
    + [(ROSENSTEIN, noise(100), dict(dimension=b, delay=b, min_tsep=b, max_iter=b)) for b in BIG]
    + [(ROSENSTEIN, noise(100), dict(min_tsep=2**63, max_iter=2**63))]
    + [(ROSENSTEIN, noise(100), dict(dimension=1, delay=2**64 - 1))]
    + [(KANTZ, logistic(100), {p: b}) for b in BIG for p in ("dimension", "delay", "min_tsep")]
    + [(KANTZ, logistic(100), dict(dimension=1, delay=2**64 - 1))]
    + [(KANTZ, logistic(100), dict(epsilon=e)) for e in (0.0, -1.0, NAN)]
    + [(KANTZ, logistic(100), dict(max_iter=0)), (KANTZ, logistic(100), dict(dimension=0))]
    + [(KANTZ, logistic(6), dict(epsilon=1.0)), (KANTZ, np.full(100, 3.0), dict(epsilon=1.0))]
    + [(KANTZ, np.full(100, 3.0), {})]
    + [(KANTZ, np.where(np.arange(100) == 50, NAN, logistic(100)), {})],
)
def test_degenerate_requests(function, x, kwargs):
    result = function(x, **kwargs)
    assert_same(result, (NAN,) + ([],) * (len(result) - 1))
