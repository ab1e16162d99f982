import math

import numpy as np
import pytest

import quorlin

NAN = float("nan")
INF = float("inf")


def ieee_divide(a, b):
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(a) / np.float64(b))


def assert_same(actual, expected):
    """Bitwise equality of float arrays (NaN equal to NaN)."""
    expected = np.asarray(expected, dtype=float)
    assert actual.dtype == np.float64 and actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.int64), expected.view(np.int64))


# ---------------------------------------------------------------- references
# Plain re-statements of the two methods with the library's order of
# operations: every sum starts at 0.0 and adds its terms in index order.


def accumulate(terms):
    total = 0.0
    for term in terms:
        total += term
    return total


def direct_reference(x, m=3, tau=1, horizon=10):
    n_points = len(x) - (m - 1) * tau if m else (len(x) if tau == 0 else 0)
    if n_points < horizon + 2:
        return np.empty(0), np.empty(0)
    points = np.stack([x[c * tau : c * tau + n_points] for c in range(m)], axis=1).reshape(n_points, m)
    n_out = n_points - horizon
    ftle, norms = np.zeros(n_out), np.zeros(n_out)

    def squared(a, rows):
        s = np.zeros(len(rows))
        for c in range(m):
            diff = points[rows, c] - points[a, c]
            s += diff * diff
        return s

    for i in range(n_out):
        d = np.sqrt(squared(i, np.arange(n_out)))
        ok = (np.abs(np.arange(n_out) - i) >= m * tau) & (d > 1e-15) & np.isfinite(d)
        if not ok.any():
            continue
        j = np.flatnonzero(ok)[np.argmin(d[ok])]  # argmin: first of equal minima
        s = squared(i + horizon, [j + horizon])[0]
        if s > 0:
            ratio = math.sqrt(s) / d[j]
            ftle[i], norms[i] = ieee_divide(math.log(ratio), horizon), ratio
    return ftle, norms


def invert(M):
    d = len(M)
    A = [list(M[r]) + [1.0 if c == r else 0.0 for c in range(d)] for r in range(d)]
    for col in range(d):
        p, best = col, abs(A[col][col])
        for r in range(col + 1, d):
            if abs(A[r][col]) > best:
                p, best = r, abs(A[r][col])
        if best < 1e-12:
            return None
        A[p], A[col] = A[col], A[p]
        pv = A[col][col]
        A[col] = [a / pv for a in A[col]]
        for r in range(d):
            if r != col:
                f = A[r][col]
                A[r] = [A[r][c] - A[col][c] * f for c in range(2 * d)]
    return [row[d:] for row in A]


def matmul(rows, cols, inner, left, right):
    return [[accumulate(left(a, r) * right(r, b) for r in range(inner)) for b in range(cols)] for a in range(rows)]


def local_map_reference(X, Y):
    """(sigma, confidence) of one anchor, or None when X^T X is singular."""
    k, d = len(X), len(X[0])
    inverse = invert(matmul(d, d, k, lambda a, r: X[r][a], lambda r, b: X[r][b]))
    if inverse is None:
        return None
    cross = matmul(d, d, k, lambda a, r: X[r][a], lambda r, b: Y[r][b])
    B = matmul(d, d, d, lambda a, c: inverse[a][c], lambda c, b: cross[c][b])
    C = matmul(d, d, d, lambda a, r: B[a][r], lambda r, b: B[b][r])  # J^T J with J = B^T
    v, sigma = [1.0 / math.sqrt(d)] * d, None
    for _ in range(200):
        w = [accumulate(C[r][c] * v[c] for c in range(d)) for r in range(d)]
        norm = math.sqrt(accumulate(x * x for x in w))
        if norm < 1e-15:
            sigma = 0.0
            break
        v = [x / norm for x in w]
    if sigma is None:
        z = [accumulate(C[r][c] * v[c] for c in range(d)) for r in range(d)]
        lam = accumulate(z[r] * v[r] for r in range(d))
        sigma = math.sqrt(lam) if lam > 0 else 0.0
    total = residual = 0.0
    for r in range(k):
        for b in range(d):
            error = Y[r][b] - accumulate(X[r][c] * B[c][b] for c in range(d))
            total += Y[r][b] * Y[r][b]
            residual += error * error
    conf = 0.5
    if residual > 0 and total > 0:
        conf = 1.0 - residual / total
        conf = conf if math.isnan(conf) else min(max(conf, 0.0), 1.0)
    return sigma, conf


def local_reference(trajectory, horizon=10, n_neighbors=10, epsilon=None):
    rows = trajectory.tolist()
    n, d = trajectory.shape
    ftle, conf = [NAN] * n, [0.0] * n
    n_valid = max(n - horizon, 0)
    if n_valid < 10 or d == 0:
        return np.array(ftle), np.array(conf)

    def dist(a, b):
        diffs = [rows[a][c] - rows[b][c] for c in range(d)]
        return math.sqrt(accumulate(diff * diff for diff in diffs))

    def nan_last(key):
        return (math.isnan(key), key)

    if epsilon is None:
        m = min(n, 100)
        pairs = sorted((dist(a, b) for a in range(m) for b in range(m) if a != b), key=nan_last)
        epsilon = pairs[int(0.2 * (len(pairs) - 1))]
    for i in range(n_valid):
        ball = [j for j in range(n_valid) if j != i and epsilon > dist(i, j)]
        if len(ball) < n_neighbors:
            ranked = sorted((j for j in range(n) if j != i), key=lambda j: nan_last(dist(i, j)))
            ball = [j for j in ranked[:n_neighbors] if j < n_valid]
        if len(ball) <= d:
            continue
        X = [[rows[j][c] - rows[i][c] for c in range(d)] for j in ball]
        Y = [[rows[j + horizon][c] - rows[i + horizon][c] for c in range(d)] for j in ball]
        fitted = local_map_reference(X, Y)
        if fitted is None:
            continue
        sigma, conf[i] = fitted
        if sigma > 0:
            ftle[i] = ieee_divide(math.log(sigma), horizon)
    return np.array(ftle), np.array(conf)


# ------------------------------------------------- ftle_direct_perturbation


@pytest.mark.parametrize(
    "n_samples, expected_length", [(0, 0), (13, 0), (14, 2), (15, 3)]
)
def test_direct_short_signals(n_samples, expected_length):
    # 14 samples: 12 points, 2 reference points 0 and 1 within each other's window 3.
    ftle, norms = quorlin.ftle_direct_perturbation(np.random.default_rng(0).random(n_samples))
    assert len(ftle) == len(norms) == expected_length
    if n_samples == 14:
        assert_same(ftle, [0.0, 0.0])
        assert_same(norms, [0.0, 0.0])


@pytest.mark.parametrize(
    "signal, kwargs, expected_length",
    [
        (np.full(40, 2.5), {}, 28),  # every distance 0: no candidate
        (np.arange(30.0), {"dimension": 0, "delay": 0}, 20),  # points without coordinates
        (np.arange(30.0), {"dimension": 0, "delay": 1}, 0),
        (np.arange(30.0), {"dimension": 2**63, "delay": 4}, 0),  # span beyond 64 bits
        (np.arange(30.0), {"dimension": 2, "delay": 2**63}, 0),
        (np.arange(30.0), {"time_horizon": 2**64 - 1}, 0),  # H + 2 beyond 64 bits
        (np.arange(30.0), {"time_horizon": 2**64 - 2}, 0),
    ],
)
def test_direct_without_estimates(signal, kwargs, expected_length):
    ftle, norms = quorlin.ftle_direct_perturbation(signal, **kwargs)
    assert_same(ftle, np.zeros(expected_length))
    assert_same(norms, np.zeros(expected_length))


def test_direct_zero_horizon_divides_by_zero():
    ftle, norms = quorlin.ftle_direct_perturbation(np.random.default_rng(1).random(50), time_horizon=0)
    assert np.isnan(ftle).all() and (norms == 1.0).all()


def test_direct_ignores_perturbation_arguments():
    x = np.random.default_rng(2).random(60)
    default = quorlin.ftle_direct_perturbation(x)
    other = quorlin.ftle_direct_perturbation(x, perturbation=0.5, n_perturbations=1000)
    for a, b in zip(default, other):
        assert_same(a, b)


def test_direct_nan_samples_never_pair():
    x = np.random.default_rng(3).random(60)
    x[20] = NAN
    ftle, norms = quorlin.ftle_direct_perturbation(x)
    # Reference points 18, 19, 20 contain the NaN sample: no neighbour.
    assert (norms[18:21] == 0.0).all() and (ftle[18:21] == 0.0).all()
    for actual, expected in zip((ftle, norms), direct_reference(x)):
        assert_same(actual, expected)


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize(
    "m, tau, horizon",
    [(3, 1, 10), (2, 3, 5), (1, 1, 4), (4, 2, 0), (5, 1, 1)],
)
def test_direct_matches_reference(seed, m, tau, horizon):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(150)
    if seed == 1:
        x = np.round(x, 1)  # many equal distances: the lowest index must win
    actual = quorlin.ftle_direct_perturbation(x, m, tau, horizon)
    for a, e in zip(actual, direct_reference(x, m, tau, horizon)):
        assert_same(a, e)


def test_direct_repeated_segment_not_paired():
    x = np.random.default_rng(4).random(40)
    x[30:33] = x[5:8]  # points 5 and 30 are the same state
    ftle, norms = quorlin.ftle_direct_perturbation(x, time_horizon=3)
    for a, e in zip((ftle, norms), direct_reference(x, horizon=3)):
        assert_same(a, e)


# ------------------------------------------------- ftle_local_linearization


def single_anchor(X, Y, horizon=10):
    """A trajectory in which anchor 0 sees exactly the displacements X now and Y
    `horizon` steps later: anchor at the origin, neighbours in rows 1..k within
    the ball, every other row far away."""
    X, Y = np.asarray(X, float), np.asarray(Y, float)
    k, d = X.shape
    n = horizon + 10
    trajectory = 1e6 * (np.arange(n, dtype=float)[:, None] + np.arange(1, d + 1))
    trajectory[0] = 0.0
    trajectory[1 : k + 1] = X
    trajectory[horizon] = 0.0
    trajectory[horizon + 1 : horizon + k + 1] = Y
    epsilon = 1.5 * np.sqrt((X * X).sum(axis=1)).max()
    return quorlin.ftle_local_linearization(trajectory, horizon, k, epsilon)


@pytest.mark.parametrize(
    "X, Y, sigma, confidence",
    [
        # d = 1: B = 2 exactly, zero residual scores 0.5.
        ([[1], [2]], [[2], [4]], 2.0, 0.5),
        # d = 2: B = diag(3, 0.5).
        ([[1, 0], [0, 1], [1, 1]], [[3, 0], [0, 0.5], [3, 0.5]], 3.0, 0.5),
        # Contraction: B = -0.2, S_res = 1.8, S_tot = 2.0.
        ([[1], [2]], [[1], [-1]], 0.2, 0.10000000000000009),
        # The same linear relation with a rounding residual scores 1.0.
        ([[1], [3]], [[0.1], [0.3]], 0.09999999999999999, 1.0),
        # Collinear displacements: the second pivot vanishes.
        ([[1, 2], [2, 4], [3, 6]], [[1, 1], [2, 2], [3, 3]], None, 0.0),
        # Y all zero: B = 0, the power iteration breaks down, nothing to score.
        ([[1], [2]], [[0], [0]], 0.0, 0.5),
        # Y orthogonal to X: rounding leaves S_res above S_tot; clamped to 0.
        ([[1], [3], [3]], [[0.3], [0.2], [-0.3]], 0.0, 0.0),
        # |G[1][0]| = |G[0][0]| = 2: no exchange (exchanging gives 0.38005847503304585, 1.0).
        ([[1, 1], [1, 1], [0, 3]], [[0.1, 0.1], [0.1, 0.1], [0.7, 0.7]], 0.38005847503304596, 0.5),
    ],
)
def test_local_map_cases(X, Y, sigma, confidence):
    ftle, conf = single_anchor(X, Y)
    expected = math.log(sigma) / 10 if sigma else NAN
    assert_same(ftle[:1], [expected])
    assert_same(conf[:1], [confidence])
    assert local_map_reference(np.asarray(X, float).tolist(), np.asarray(Y, float).tolist()) == (
        None if sigma is None else (sigma, confidence)
    )


def test_ramp_trajectory():
    ramp = np.arange(20.0)[:, None]
    ftle, conf = quorlin.ftle_local_linearization(ramp)
    assert_same(ftle, [0.0] * 10 + [NAN] * 10)
    assert_same(conf, [0.5] * 10 + [0.0] * 10)
    # The default radius is 3.0, so every anchor falls back; the map is exactly 1.
    for a, e in zip(quorlin.ftle_local_linearization(ramp, epsilon=3.0), (ftle, conf)):
        assert_same(a, e)


def test_doubling_trajectory():
    doubling = (2.0 ** np.arange(20))[:, None]
    ftle, conf = quorlin.ftle_local_linearization(doubling, time_horizon=1)
    assert_same(ftle, [0.6931471805599453] * 19 + [NAN])
    assert_same(conf, [0.5] * 19 + [0.0])
    for a, e in zip(quorlin.ftle_local_linearization(doubling, 1, epsilon=384.0), (ftle, conf)):
        assert_same(a, e)


def test_default_epsilon_is_the_twentieth_percentile():
    # The first 100 rows are a ramp: 9900 distances, position 1979 holds 11.0.
    # Rows 90..99 map nonlinearly, so which rows at distance 11 enter matters.
    x = np.concatenate([np.arange(100.0), 100.0 + np.arange(10.0) ** 2])[:, None]
    default = quorlin.ftle_local_linearization(x, n_neighbors=5)
    for epsilon, same in [(11.0, True), (np.nextafter(11.0, INF), False), (10.0, False)]:
        other = quorlin.ftle_local_linearization(x, n_neighbors=5, epsilon=epsilon)
        assert np.array_equal(default[0], other[0], equal_nan=True) is same


@pytest.mark.parametrize("shape", [(0, 3), (19, 3), (5, 1), (30, 0), (0, 0)])
def test_local_too_short_or_empty(shape):
    ftle, conf = quorlin.ftle_local_linearization(np.ones(shape))
    assert_same(ftle, np.full(shape[0], NAN))
    assert_same(conf, np.zeros(shape[0]))


def test_fallback_drops_imageless_rows_without_replacing_them():
    # Anchor 9's three nearest rows are 8, 10 and 12; only 8 has an image row,
    # so the list is [8]: too short for d = 1, although rows 0..7 could serve.
    x = np.array([10.0 + j for j in range(8)] + [1.0, 0.0, 1.5, 2.5, 2.0] + [50.0 + j for j in range(7)])
    ftle, conf = quorlin.ftle_local_linearization(x[:, None], 10, 3, epsilon=0.5)
    assert math.isnan(ftle[9]) and conf[9] == 0.0


def test_fallback_takes_equal_distances_in_row_order():
    # Anchor 5 at 0: row 3 at 0.5, rows 4 and 6 both at distance 1. With K = 2
    # the list is [3, 4]; row 6 would give a different map.
    x = np.array([100.0, 101, 102, 0.5, -1, 0, 1, 103, 104, 105,
                  1100, 1101, 1102, 1001, 998, 1000, 1003, 1103, 1104, 1105])
    ftle, conf = quorlin.ftle_local_linearization(x[:, None], 10, 2, epsilon=0.25)
    assert ftle[5] == math.log(2.0) / 10 and conf[5] == 0.5


def random_trajectory(seed, n=32, d=2):
    return np.random.default_rng(seed).standard_normal((n, d)).cumsum(axis=0)


@pytest.mark.parametrize(
    "n, d, horizon, n_neighbors, epsilon",
    [
        (32, 2, 10, 10, None),
        (120, 2, 10, 10, None),  # the radius from the first 100 rows only
        (32, 2, 3, 4, None),
        (32, 1, 3, 4, None),
        (32, 3, 2, 6, None),
        (32, 2, 3, 4, 0.0),  # empty balls: the fallback alone
        (32, 2, 3, 4, -1.0),
        (32, 2, 3, 4, INF),  # every row with an image row
        (32, 2, 3, 0, None),  # no fallback
        (32, 2, 3, 100, None),  # the fallback ranks every row
        (32, 2, 0, 5, None),  # T = 0: ln(sigma) / 0.0
        (32, 2, 3, 4, NAN),  # a NaN radius holds no row
    ],
)
def test_local_matches_reference(n, d, horizon, n_neighbors, epsilon):
    trajectory = random_trajectory(d, n=n, d=d)
    actual = quorlin.ftle_local_linearization(trajectory, horizon, n_neighbors, epsilon)
    for a, e in zip(actual, local_reference(trajectory, horizon, n_neighbors, epsilon)):
        assert_same(a, e)
    assert np.isnan(actual[0][n - horizon :]).all() and (actual[1][n - horizon :] == 0).all()


def test_local_nan_row_sorts_last():
    trajectory = random_trajectory(5)
    trajectory[4, 1] = NAN
    actual = quorlin.ftle_local_linearization(trajectory, 3, 4)
    for a, e in zip(actual, local_reference(trajectory, 3, 4)):
        assert_same(a, e)


def test_local_without_neighbors_or_ball():
    ftle, conf = quorlin.ftle_local_linearization(random_trajectory(6), 3, 0, 0.0)
    assert np.isnan(ftle).all() and (conf == 0.0).all()


def unaligned_copy(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: np.asfortranarray(a),  # the transpose of a C array
        lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
        lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
        lambda a: unaligned_copy(a),
    ],
    ids=["transposed", "sliced", "negative-strides", "unaligned"],
)
def test_local_layouts_read_in_place(layout):
    trajectory = random_trajectory(7, n=40, d=3)
    view = layout(trajectory)
    np.testing.assert_array_equal(view, trajectory)
    for a, e in zip(quorlin.ftle_local_linearization(view, 3, 5),
                    quorlin.ftle_local_linearization(trajectory, 3, 5)):
        assert_same(a, e)


# ----------------------------------------------------- arguments and results


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: quorlin.ftle_local_linearization(np.ones(20)), TypeError,
         "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: quorlin.ftle_local_linearization([[1.0]], None), TypeError,
         "argument 'trajectory': 'list' object cannot be cast as 'ndarray'"),
        (lambda: quorlin.ftle_local_linearization(np.ones((20, 2), np.float32)), TypeError,
         "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: quorlin.ftle_local_linearization(np.ones((20, 2)), None), TypeError,
         "argument 'time_horizon': "),
        (lambda: quorlin.ftle_local_linearization(np.ones((20, 2)), 1, -1), OverflowError, ""),
        (lambda: quorlin.ftle_local_linearization(np.ones((20, 2)), epsilon="x"), TypeError,
         "argument 'epsilon': "),
        (lambda: quorlin.ftle_direct_perturbation(np.ones(20), None), TypeError,
         "argument 'dimension': "),
        (lambda: quorlin.ftle_direct_perturbation(np.ones(20), perturbation="x"), TypeError,
         "argument 'perturbation': "),
        (lambda: quorlin.ftle_direct_perturbation(np.ones(20), n_perturbations=1.5), TypeError,
         "argument 'n_perturbations': "),
        (lambda: quorlin.ftle_direct_perturbation(np.ones(40)[::2]), TypeError,
         "The given array is not contiguous"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message) and type(raised.value) is error


@pytest.mark.parametrize(
    "call",
    [
        lambda: quorlin.ftle_direct_perturbation(np.arange(40.0) % 7),
        lambda: quorlin.ftle_local_linearization(random_trajectory(8), epsilon=None),
    ],
)
def test_results_are_owned_vectors(call):
    result = call()
    assert isinstance(result, tuple) and len(result) == 2
    for array in result:
        assert array.ndim == 1 and array.flags.writeable and array.flags.c_contiguous
        assert not array.flags.owndata and array.base is not None
