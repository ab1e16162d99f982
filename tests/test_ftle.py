import math
import subprocess

import numpy as np
import pytest

from quorlin import _native
from variants import Unavailable, build_ftle_check

NAN = float("nan")
INF = float("inf")


def assert_same(actual, expected):
    """Bitwise equality of float arrays (NaN equal to NaN)."""
    expected = np.asarray(expected, dtype=float)
    assert actual.dtype == np.float64 and actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.int64), expected.view(np.int64))


# ------------------------------------------------- ftle_direct_perturbation


def direct_reference(x, m, tau, horizon):
    """The direct method in NumPy, summing squared differences in coordinate order."""
    n_points = len(x) - (m - 1) * tau
    points = np.stack([x[c * tau : c * tau + n_points] for c in range(m)], axis=1)
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
        if ok.any():
            j = np.flatnonzero(ok)[np.argmin(d[ok])]  # the first of equal minima
            s = squared(i + horizon, [j + horizon])[0]
            if s > 0:
                norms[i] = math.sqrt(s) / d[j]
                with np.errstate(invalid="ignore"):
                    ftle[i] = np.float64(math.log(norms[i])) / np.float64(horizon)
    return ftle, norms


def signal_variant(kind):
    x = np.random.default_rng(len(kind)).standard_normal(150)
    if kind == "rounded":
        x = np.round(x, 1)  # many equal distances: the lowest index must win
    elif kind == "nan":
        x[[20, 77]] = NAN  # NaN distances never win, NaN separations give 0.0
    elif kind == "repeated":
        x[100:110] = x[5:15]  # identical states are never paired
    return x


@pytest.mark.parametrize("kind", ["random", "rounded", "nan", "repeated"])
@pytest.mark.parametrize("m, tau, horizon", [(3, 1, 10), (2, 3, 5), (1, 1, 4), (4, 2, 0)])
def test_direct_matches_reference(kind, m, tau, horizon):
    x = signal_variant(kind)
    for actual, expected in zip(_native.ftle_direct_perturbation(x, m, tau, horizon),
                                direct_reference(x, m, tau, horizon)):
        assert_same(actual, expected)


@pytest.mark.parametrize(
    "signal, kwargs, n_out",
    [
        (np.arange(13.0), {}, 0),
        (np.arange(14.0), {}, 2),  # points 0 and 1 lie within each other's window of 3
        (np.full(40, 2.5), {}, 28),  # every distance is 0: no candidate
        (np.arange(30.0), {"dimension": 0, "delay": 0}, 20),  # points without coordinates
        (np.arange(30.0), {"dimension": 0, "delay": 1}, 0),
        (np.arange(30.0), {"dimension": 2**63, "delay": 4}, 0),  # span beyond 64 bits
        (np.arange(30.0), {"dimension": 2, "delay": 2**63}, 0),
        (np.arange(30.0), {"time_horizon": 2**64 - 1}, 0),  # H + 2 beyond 64 bits
        (np.arange(30.0), {"time_horizon": 2**64 - 2}, 0),
    ],
)
def test_direct_without_estimates(signal, kwargs, n_out):
    for result in _native.ftle_direct_perturbation(signal, **kwargs):
        assert_same(result, np.zeros(n_out))


def test_direct_zero_horizon_and_unused_arguments():
    x = np.random.default_rng(1).random(50)
    ftle, norms = _native.ftle_direct_perturbation(x, time_horizon=0)
    assert np.isnan(ftle).all() and (norms == 1.0).all()  # ln(1) / 0
    default = _native.ftle_direct_perturbation(x)
    other = _native.ftle_direct_perturbation(x, perturbation=0.5, n_perturbations=1000)
    for a, b in zip(default, other):
        assert_same(a, b)


# ------------------------------------------------- ftle_local_linearization


def single_anchor(X, Y, horizon=10):
    """ftle_local_linearization on a trajectory in which anchor 0 (at the origin)
    sees exactly the displacements X now and Y `horizon` steps later: rows 1..k
    form its ball, every other row is far away."""
    X, Y = np.asarray(X, float), np.asarray(Y, float)
    k, d = X.shape
    trajectory = 1e6 * (np.arange(horizon + 10.0)[:, None] + np.arange(1, d + 1))
    trajectory[[0, horizon]] = 0.0
    trajectory[1 : k + 1] = X
    trajectory[horizon + 1 : horizon + k + 1] = Y
    epsilon = 1.5 * np.sqrt((X * X).sum(axis=1)).max()
    return _native.ftle_local_linearization(trajectory, horizon, k, epsilon)


@pytest.mark.parametrize(
    "X, Y, sigma, confidence",
    [
        # d = 1: G = 5, H = 10, B = 2; the residual is exactly 0, which scores 0.5.
        ([[1], [2]], [[2], [4]], 2.0, 0.5),
        # d = 2: B = diag(3, 0.5).
        ([[1, 0], [0, 1], [1, 1]], [[3, 0], [0, 0.5], [3, 0.5]], 3.0, 0.5),
        # Contraction: B = -0.2, S_res = 1.8, S_tot = 2.0.
        ([[1], [2]], [[1], [-1]], 0.2, 0.10000000000000009),
        # A linear relation with a rounding residual scores 1.0.
        ([[1], [3]], [[0.1], [0.3]], 0.09999999999999999, 1.0),
        # Collinear displacements: the second pivot vanishes, no fit.
        ([[1, 2], [2, 4], [3, 6]], [[1, 1], [2, 2], [3, 3]], None, 0.0),
        # Y all zero: B = 0, the power iteration breaks down, nothing to score.
        ([[1], [2]], [[0], [0]], 0.0, 0.5),
        # Y orthogonal to X: rounding leaves S_res above S_tot; clamped to 0.
        ([[1], [3], [3]], [[0.3], [0.2], [-0.3]], 0.0, 0.0),
        # |G[1][0]| = |G[0][0]| = 2: rows not exchanged (exchanging them gives
        # sigma = 0.38005847503304585 and a confidence of 1.0).
        ([[1, 1], [1, 1], [0, 3]], [[0.1, 0.1], [0.1, 0.1], [0.7, 0.7]], 0.38005847503304596, 0.5),
    ],
)
def test_local_map_cases(X, Y, sigma, confidence):
    ftle, conf = single_anchor(X, Y)
    assert_same(ftle[:1], [math.log(sigma) / 10 if sigma else NAN])
    assert_same(conf[:1], [confidence])


@pytest.mark.parametrize(
    "trajectory, horizon, epsilon, ftle, confidence",
    [
        # Every ball holds 2 to 4 rows, so every anchor falls back; the map is 1.
        (np.arange(20.0)[:, None], 10, 3.0, [0.0] * 10 + [NAN] * 10, [0.5] * 10 + [0.0] * 10),
        ((2.0 ** np.arange(20))[:, None], 1, 384.0, [0.6931471805599453] * 19 + [NAN], [0.5] * 19 + [0.0]),
    ],
    ids=["ramp", "doubling"],
)
def test_exact_maps(trajectory, horizon, epsilon, ftle, confidence):
    for given in (None, epsilon):  # epsilon is also the default radius
        result = _native.ftle_local_linearization(trajectory, horizon, epsilon=given)
        assert_same(result[0], ftle)
        assert_same(result[1], confidence)


def random_trajectory(seed, n=32, d=2):
    return np.random.default_rng(seed).standard_normal((n, d)).cumsum(axis=0)


@pytest.mark.parametrize("n, nan_row", [(32, None), (120, None), (32, 7)])
def test_default_epsilon_is_the_twentieth_percentile(n, nan_row):
    trajectory = random_trajectory(0, n)
    if nan_row is not None:
        trajectory[nan_row, 0] = NAN  # NaN distances sort after every number
    head = trajectory[:100]
    pairs = np.sqrt(((head[:, None, :] - head[None, :, :]) ** 2).sum(axis=2))
    ranked = np.sort(pairs[~np.eye(len(head), dtype=bool)])
    position = int(0.2 * (len(ranked) - 1))
    distinct = np.unique(ranked[np.isfinite(ranked)])
    below, above = distinct[distinct < ranked[position]][-1], distinct[distinct > ranked[position]][0]

    default = _native.ftle_local_linearization(trajectory, 3, 4)[0]
    for epsilon, same in [(ranked[position], True), (below, False), (above, False)]:
        result = _native.ftle_local_linearization(trajectory, 3, 4, epsilon)[0]
        assert np.array_equal(result, default, equal_nan=True) is same


@pytest.mark.parametrize(
    "kwargs, same_as",
    [
        ({"epsilon": -1.0}, {"epsilon": 0.0}),  # empty balls: the fallback alone
        ({"epsilon": NAN}, {"epsilon": 0.0}),
        ({"epsilon": INF, "n_neighbors": 3}, {"epsilon": INF, "n_neighbors": 0}),  # kept whole
    ],
)
def test_equivalent_neighbourhoods(kwargs, same_as):
    trajectory = random_trajectory(4)
    result = _native.ftle_local_linearization(trajectory, 3, **kwargs)
    assert np.isfinite(result[0]).sum() > 20
    for a, b in zip(result, _native.ftle_local_linearization(trajectory, 3, **same_as)):
        assert_same(a, b)


@pytest.mark.parametrize(
    "trajectory, kwargs",
    [
        (np.ones((0, 3)), {}),
        (np.ones((19, 3)), {}),  # n <= T + 9
        (np.ones((5, 1)), {}),
        (np.ones((30, 0)), {}),
        (np.ones((0, 0)), {}),
        (random_trajectory(5), {"n_neighbors": 0, "epsilon": 0.0}),  # no ball, no fallback
    ],
)
def test_no_anchor_fitted(trajectory, kwargs):
    ftle, conf = _native.ftle_local_linearization(trajectory, **kwargs)
    assert_same(ftle, np.full(len(trajectory), NAN))
    assert_same(conf, np.zeros(len(trajectory)))


def test_zero_horizon_divides_by_zero():
    # Y = X: the fitted map is the identity up to rounding, so ln(sigma) is 0
    # (giving NaN) or a few units in the last place (giving an infinity).
    ftle, conf = _native.ftle_local_linearization(random_trajectory(6), 0, 5)
    assert np.isinf(ftle).sum() > 5 and np.isinf(ftle).sum() + np.isnan(ftle).sum() == len(ftle)
    assert (conf > 0).all()


def test_fallback_drops_imageless_rows_without_replacing_them():
    # Anchor 9's three nearest rows are 8, 10 and 12; only 8 has an image row,
    # so its list is [8], too short for d = 1, although rows 0..7 could serve.
    x = np.r_[10.0 + np.arange(8), 1.0, 0.0, 1.5, 2.5, 2.0, 50.0 + np.arange(7)]
    ftle, conf = _native.ftle_local_linearization(x[:, None], 10, 3, epsilon=0.5)
    assert math.isnan(ftle[9]) and conf[9] == 0.0


def test_fallback_takes_equal_distances_in_row_order():
    # Anchor 5 at 0: row 3 at 0.5, rows 4 and 6 both at distance 1. With K = 2
    # its list is [3, 4] and the map is 2; row 6 would give another map.
    x = np.r_[100.0, 101, 102, 0.5, -1, 0, 1, 103, 104, 105, 1100, 1101, 1102, 1001, 998, 1000, 1003, 1103, 1104, 1105]
    ftle, conf = _native.ftle_local_linearization(x[:, None], 10, 2, epsilon=0.25)
    assert ftle[5] == math.log(2.0) / 10 and conf[5] == 0.5


def unaligned_copy(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


@pytest.mark.parametrize(
    "layout",
    [
        np.asfortranarray,  # the transpose of a C array
        lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
        lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
        unaligned_copy,
    ],
    ids=["transposed", "sliced", "negative-strides", "unaligned"],
)
def test_layouts_read_in_place(layout):
    trajectory = random_trajectory(7, n=40, d=3)
    view = layout(trajectory)
    np.testing.assert_array_equal(view, trajectory)
    for a, b in zip(_native.ftle_local_linearization(view, 3, 5),
                    _native.ftle_local_linearization(trajectory, 3, 5)):
        assert_same(a, b)


# ----------------------------------------------------- arguments and results


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: _native.ftle_local_linearization(np.ones(20), None), TypeError,
         "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: _native.ftle_local_linearization(np.ones((20, 2), np.float32)), TypeError,
         "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
        (lambda: _native.ftle_local_linearization(np.ones((20, 2)), None), TypeError,
         "argument 'time_horizon': "),
        (lambda: _native.ftle_local_linearization(np.ones((20, 2)), epsilon="x"), TypeError,
         "argument 'epsilon': "),
        (lambda: _native.ftle_direct_perturbation(np.ones(20), None), TypeError,
         "argument 'dimension': "),
        (lambda: _native.ftle_direct_perturbation(np.ones(20), perturbation="x"), TypeError,
         "argument 'perturbation': "),
        (lambda: _native.ftle_direct_perturbation(np.ones(40)[::2]), TypeError,
         "The given array is not contiguous"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize(
    "call",
    [
        lambda: _native.ftle_direct_perturbation(np.arange(40.0) % 7),
        lambda: _native.ftle_local_linearization(random_trajectory(8), epsilon=None),
    ],
)
def test_results_are_owned_vectors(call):
    result = call()
    assert isinstance(result, tuple) and len(result) == 2
    for array in result:
        assert array.ndim == 1 and array.flags.writeable and array.flags.c_contiguous
        assert not array.flags.owndata and array.base is not None


def test_worker_counts_and_anchor_subsets_give_the_same_bits():
    """Both estimators run natively with 1, 2, 3 and 7 workers and with
    anchor subsets (in order, shuffled with repeats, single anchors) on
    generated inputs that reach the tree, the scans, balls, the fallback and
    every dimension's tables; every result is compared bit for bit."""
    try:
        program = build_ftle_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program), "3"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
