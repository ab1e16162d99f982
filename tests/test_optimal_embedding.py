import math

import numpy as np
import pytest

from quorlin import _native

HUGE = 2**64 - 1
SINE = np.sin(2 * np.pi * np.arange(5000) / 100)  # period 100 samples


def in_order_sum(values, start=0.0):
    # Not sum(): since Python 3.12 it compensates float rounding.
    for v in values:
        start += v
    return start


# Literal pure-Python estimators for exact comparison on small inputs: Python
# floats are IEEE doubles, so the same operations in the same order give the
# same bits.
def reference_delay(x, max_lag=None, method="mutual_info"):
    x, n = [float(v) for v in x], len(x)
    limit = n // 4 if max_lag is None else min(n // 2, max_lag)
    if n >= 4 and method in ("autocorr", "autocorr_e"):
        mean = in_order_sum(x, -0.0) / n
        var = in_order_sum((v - mean) * (v - mean) for v in x) / n
        level = 0.0 if method == "autocorr" else 0.36787944117144233
        for lag in range(1, max(limit, 1) if var >= 1e-15 else 1):
            s = in_order_sum((x[i] - mean) * (x[i + lag] - mean) for i in range(n - lag))
            if s / (n - lag) / var <= level:
                return lag
        return 1 if var < 1e-15 else limit
    finite = [v for v in x if v == v]
    lo = min(finite, default=math.inf)
    width = max(finite, default=-math.inf) - lo
    if n < 4 or width < 1e-15 or limit < 2:
        return 1
    quotients = np.array([(v - lo) / width * 16.0 for v in x])
    bins, counted = np.zeros(n, dtype=int), quotients >= 1  # NaN and quotients below 1: bin 0
    bins[counted] = np.minimum(quotients[counted], 15).astype(int)
    info = []
    for lag in range(1, limit):
        m = n - lag
        joint = np.bincount(bins[:m] * 16 + bins[lag:], minlength=256).reshape(16, 16)
        lead, lagged = joint.sum(1), joint.sum(0)
        info.append(0.0)
        for a, b in zip(*np.nonzero(joint)):
            p = int(joint[a, b]) / m
            info[-1] += p * math.log(p / ((int(lead[a]) / m) * (int(lagged[b]) / m)))
        if len(info) >= 3 and info[-3] > info[-2] < info[-1]:
            return lag - 1
    return next((k + 1 for k, v in enumerate(info) if v < 0.5 * info[0]), max(limit // 4, 1))


def distance(u, v):
    return math.sqrt(in_order_sum(((a - b) * (a - b) for a, b in zip(u, v)), -0.0))


def reference_dimension(x, tau, max_dim, method, threshold):
    x, cao, previous = [float(v) for v in x], method == "cao", 0.0
    if len(x) < (max_dim + 1) * tau + 2:
        return 2
    for d in range(1 if cao else 2, max_dim + 1):
        n = len(x) - d * tau
        if n < 10:
            return max(d if cao else d - 1, 2)
        point = [[x[k + c * tau] for c in range(d)] for k in range(n)]
        total, counted, false = 0.0, 0, 0
        for i in range(min(n, 500 if cao else 1000)):
            j, rho, q = 0, math.inf, max(d - 1, 1)
            for k in range(n):
                if k != i and distance(point[i][:q], point[k][:q]) < rho:
                    j, rho = k, distance(point[i][:q], point[k][:q])
            if rho > 1e-10:
                counted += 1
                total += distance(point[i], point[j]) / rho
                false += abs(point[i][-1] - point[j][-1]) / rho > 10
        if cao:
            e = total / counted if counted else 1.0
            if d >= 2 and previous > 1e-15 and threshold > abs(e / previous - 1):
                return d
            previous = e
        elif threshold > (false / counted if counted else 0.0):
            return d
    return max_dim


def awkward_signal(seed, n):
    """Small signals with exact ties, NaN and infinite samples."""
    rng = np.random.default_rng(seed)
    x = [rng.standard_normal(n), np.round(rng.standard_normal(n) * 2) / 2,
         np.sin(np.arange(n) * 0.3), rng.integers(0, 3, n).astype(float)][seed % 4]
    if seed % 3 == 0:
        x[rng.integers(0, n, 2)] = [np.nan, [np.inf, -np.inf, np.nan][seed % 9 // 3]]
    return x


def orbit(step, state, n, skip=100):
    out = []
    for _ in range(n + skip):
        state = step(state)
        out.append(state[0])
    return np.array(out[skip:])


def rk4(f, h):
    def step(s):
        k1 = f(s)
        k2 = f(s + 0.5 * h * k1)
        k3 = f(s + 0.5 * h * k2)
        return s + h / 6.0 * (k1 + 2 * k2 + 2 * k3 + f(s + h * k3))
    return step


HENON = orbit(lambda s: (1.0 - 1.4 * s[0] * s[0] + s[1], 0.3 * s[0]), (0.1, 0.0), 3000)
LOGISTIC = orbit(lambda s: (4.0 * s[0] * (1.0 - s[0]),), (0.3,), 2000)
LORENZ = orbit(rk4(lambda s: np.array([10 * (s[1] - s[0]), s[0] * (28 - s[2]) - s[1],
                                       s[0] * s[1] - 8 / 3 * s[2]]), 0.01), np.ones(3), 4000, 1000)


def reference_rows_signal(first):
    """Rows before `first` are exact duplicates (no valid neighbour); the next
    hundred have neighbours 1e-3 away that fall 200 apart one sample later."""
    x, k = np.zeros(first + 400), np.arange(50)
    x[first + 2 * k], x[first + 1 + 2 * k] = 1 + k * 1e-3, 100.0 * (-1.0) ** k
    return x


def ar1(phi, n=20000):
    noise, x = np.random.default_rng(3).standard_normal(n), np.zeros(n)
    for i in range(n):
        x[i] = phi * x[i - 1] + noise[i]
    return x


# ---------------------------------------------------------------- optimal_delay
@pytest.mark.parametrize("method", ["mutual_info", "autocorr", "autocorr_e"])
@pytest.mark.parametrize("max_lag", [None, 0, 1, 50])
@pytest.mark.parametrize("signal", [np.full(n, 2.5) for n in range(4)] + [
    np.full(100, -0.0), np.r_[np.ones(99), np.nextafter(1.0, 2.0)]])
def test_delay_of_short_or_flat_signal_is_one(signal, max_lag, method):
    assert _native.optimal_delay(signal, max_lag, method) == 1


@pytest.mark.parametrize("method, max_lag, expected", [
    ("autocorr", 0, 0), ("autocorr", 1, 1), ("autocorr_e", 0, 0), ("autocorr_e", 1, 1),
    ("mutual_info", 0, 1), ("mutual_info", 1, 1), ("autocorr", None, 26), ("autocorr_e", None, 20),
    ("autocorr", 30, 26), ("mutual_info", None, 5), ("Autocorr", None, 5), ("autocorr\0", None, 5),
    ("fnn", None, 5), ("", None, 5), ("autocorr", 7, 7), ("autocorr", HUGE, 26),
])
def test_sine_delays(method, max_lag, expected):
    # autocorr is close to P / 4 = 25; 1/e is reached at 100 acos(1/e) / (2 pi) = 18.8.
    assert _native.optimal_delay(SINE, max_lag, method) == expected


def test_autocorrelation_is_lag_normalised():
    # r(2) = 0.38 > 1/e only when S(2) is divided by N - 2; divided by N or N - 1 it is below.
    assert _native.optimal_delay(np.sin(2 * np.pi * np.arange(20) / 10), method="autocorr_e") == 3


@pytest.mark.parametrize("n", [4, 5, 6, 7])
@pytest.mark.parametrize("method", ["mutual_info", "autocorr", "autocorr_e"])
def test_default_lag_limit_of_one_gives_one(n, method):
    assert _native.optimal_delay(np.random.default_rng(n).standard_normal(n), method=method) == 1


@pytest.mark.parametrize("max_lag, expected", [(None, 1250), (7, 7), (10**6, 2500), (HUGE, 2500)])
def test_nan_makes_autocorrelation_answer_the_lag_limit(max_lag, expected):
    x = SINE.copy()
    x[1234] = np.nan
    assert _native.optimal_delay(x, max_lag, "autocorr") == expected
    assert _native.optimal_delay(x, max_lag, "autocorr_e") == expected


@pytest.mark.parametrize("signal, max_lag, expected", [
    (LORENZ, None, 17),  # a clear first minimum
    (ar1(0.99), 40, 11),  # decreasing: first lag below half of I(1)
    (ar1(0.999), 20, 5),  # decreasing, never below half: L / 4
    (np.repeat(np.random.default_rng(5).standard_normal(1000), 2), 3, 2),
    (np.r_[np.full(3, 16.0), np.zeros(9)], 6, 2),  # I(3) == I(4) is no minimum
])
def test_mutual_information_delays(signal, max_lag, expected):
    assert _native.optimal_delay(signal, max_lag) == reference_delay(signal, max_lag) == expected


@pytest.mark.parametrize("seed", range(24))
@pytest.mark.parametrize("method", ["mutual_info", "autocorr", "autocorr_e"])
def test_delay_matches_reference(seed, method):
    x = awkward_signal(seed, 8 + 3 * seed)
    for max_lag in (None, 0, 3, 2 + seed):
        assert _native.optimal_delay(x, max_lag, method) == reference_delay(x, max_lag, method)


def test_method_is_converted_before_contiguity_is_checked():
    with pytest.raises(TypeError, match="argument 'method': 'int' object cannot be cast as 'str'"):
        _native.optimal_delay(np.zeros(40)[::2], method=5)


# ------------------------------------------------------------ optimal_dimension
@pytest.mark.parametrize("threshold", [0.0, -1.0, float("nan")])
@pytest.mark.parametrize("n, delay, max_dim, fnn, cao", [
    (12, None, 10, 2, 2), (13, None, 10, 3, 4), (19, 1, 10, 9, 10), (20, 1, 10, 10, 10),
    (16, 3, 4, 2, 2), (17, 3, 4, 2, 3), (40, 3, 4, 4, 4), (50, 1, 0, 0, 0), (50, 1, 1, 1, 1),
    (9, 0, HUGE, 2, 2), (10, 0, HUGE, HUGE, HUGE), (500, 1, HUGE, 2, 2), (500, 2**63, 1, 2, 2),
])
def test_when_no_step_can_pass_the_length_rules_decide(n, delay, max_dim, fnn, cao, threshold):
    x = np.random.default_rng(n).standard_normal(n)
    assert _native.optimal_dimension(x, delay, max_dim, "fnn", threshold) == fnn
    assert _native.optimal_dimension(x, delay, max_dim, "cao", threshold) == cao
    if max_dim < 100:
        tau = 1 if delay is None else delay
        assert reference_dimension(x, tau, max_dim, "fnn", threshold) == fnn
        assert reference_dimension(x, tau, max_dim, "cao", threshold) == cao


@pytest.mark.parametrize("signal, delay, method, threshold, expected", [
    (HENON, 1, "fnn", 0.01, 3), (HENON, 1, "cao", 0.01, 6), (HENON, 1, "cao", 0.1, 4),
    (LOGISTIC, 1, "fnn", 0.01, 2), (LOGISTIC, None, "cao", 2, 2), (LOGISTIC, 1, "cao", 0.01, 6),
    (HENON, None, "Cao", 0.01, 3), (HENON, None, "cao ", 0.01, 3), (HENON, None, "", 0.01, 3),
    (np.full(200, 3.0), None, "fnn", 0.01, 2), (np.full(200, 3.0), None, "cao", 0.01, 2),
    (reference_rows_signal(900), 1, "fnn", 0.5, 3),  # reference rows 0 .. 999 all count
    (reference_rows_signal(400), 1, "cao", 0.5, 4),  # reference rows 0 .. 499 all count
    (np.r_[0.0, 1e-10, 5.0 * np.arange(1, 29)], 1, "fnn", 0.01, 2),  # rho = 1e-10 is skipped
    (np.r_[0.0, 1e-10, 5.0 * np.arange(1, 29)], 1, "cao", 0.01, 9),
    (np.random.default_rng(13).standard_normal(13), None, "fnn", 1e-300, 3),  # 9 rows at d = 4
    (np.random.default_rng(13).standard_normal(13), None, "cao", 1e-300, 4),
])
def test_dimensions(signal, delay, method, threshold, expected):
    assert _native.optimal_dimension(signal, delay, 10, method, threshold) == expected


@pytest.mark.parametrize("method, threshold, bad, expected", [
    ("fnn", 0.01, 0.0, 2), ("fnn", 1e-300, np.nan, 2), ("fnn", 0.0, 0.0, HUGE),
    ("cao", 0.01, 0.0, 9), ("cao", 0.0, 0.0, HUGE), ("cao", 0.01, np.nan, HUGE),
    ("cao", 0.01, -np.inf, HUGE),
])
def test_zero_delay_with_huge_max_dim_returns(method, threshold, bad, expected):
    # Delay 0 keeps N rows at every step, so only the tests can end the loop:
    # FNN passes at d = 2 (F is 0), a NaN or infinite reference sample makes
    # every Cao E(d) NaN, and a threshold that is not positive never passes.
    x = np.random.default_rng(0).standard_normal(20)
    x[4] += bad
    assert _native.optimal_dimension(x, 0, HUGE, method, threshold) == expected


@pytest.mark.parametrize("seed", range(30))
def test_dimension_matches_reference(seed):
    x = awkward_signal(seed, 12 + seed)
    delay = [1, 2, 0, 3, 1][seed % 5]
    threshold = [0.01, 0.3, 0.0, 0.5, float("nan"), 1e-300][seed % 6]
    for method in ("fnn", "cao"):
        for max_dim in (2, 3, 6):
            expected = reference_dimension(x, delay, max_dim, method, threshold)
            assert _native.optimal_dimension(x, delay, max_dim, method, threshold) == expected
