"""Local-linearization FTLE pinned bit for bit on generic trajectories.

The reference below is written from the definition in plain Python floats
(IEEE doubles, the same libm logarithm), one operation at a time, with no
shortcut shared with the C++ kernel: the ball and fallback neighbour lists,
the normal equations solved through a Gauss-Jordan inverse with partial
pivoting, 200 power iterations on the Cauchy-Green tensor and the fit score.
Generic 2-D and 3-D data make every one of those steps count: a kernel that
ran 199 power iterations, summed a matrix in another order or pivoted on a
different row would differ in the last bits here.
"""

import math

import numpy as np
import pytest

from quorlin import _native

POWER_ITERATIONS = 200


def distance(a, b):
    total = 0.0
    for u, v in zip(a, b):
        total += (u - v) * (u - v)
    return math.sqrt(total)


def default_epsilon(rows):
    m = min(len(rows), 100)
    found = [distance(rows[a], rows[b]) for a in range(m) for b in range(m) if b != a]
    found.sort()  # stable, and only < is used: no NaN in these trajectories
    return found[int(0.2 * (len(found) - 1))]


def neighbours(rows, anchor, horizon, n_neighbors, epsilon):
    n = len(rows)
    ball = [j for j in range(n)
            if j != anchor and j + horizon < n and epsilon > distance(rows[anchor], rows[j])]
    if len(ball) >= n_neighbors:
        return ball
    candidates = sorted((j for j in range(n) if j != anchor),
                        key=lambda j: distance(rows[anchor], rows[j]))
    return [j for j in candidates[:n_neighbors] if j + horizon < n]


def invert(g):
    d = len(g)
    a = [list(row) + [1.0 if c == r else 0.0 for c in range(d)] for r, row in enumerate(g)]
    for col in range(d):
        p, best = col, abs(a[col][col])
        for r in range(col + 1, d):
            if abs(a[r][col]) > best:
                p, best = r, abs(a[r][col])
        if best < 1e-12:
            return None
        if p != col:
            a[p], a[col] = a[col], a[p]
        pivot = a[col][col]
        a[col] = [value / pivot for value in a[col]]
        for r in range(d):
            if r != col:
                f = a[r][col]
                a[r] = [a[r][c] - a[col][c] * f for c in range(2 * d)]
    return [row[d:] for row in a]


def product_sum(terms):
    total = 0.0
    for term in terms:
        total += term
    return total


def fit_map(x, y):
    d = len(x[0])
    g = [[product_sum(row[a] * row[b] for row in x) for b in range(d)] for a in range(d)]
    g_inv = invert(g)
    if g_inv is None:
        return None
    h = [[product_sum(x[r][a] * y[r][b] for r in range(len(x))) for b in range(d)]
         for a in range(d)]
    return [[product_sum(g_inv[a][c] * h[c][b] for c in range(d)) for b in range(d)]
            for a in range(d)]


def largest_stretch(j):
    d = len(j)
    c = [[product_sum(j[r][a] * j[r][b] for r in range(d)) for b in range(d)] for a in range(d)]
    v = [1.0 / math.sqrt(d)] * d
    for _ in range(POWER_ITERATIONS):
        w = [product_sum(c[r][k] * v[k] for k in range(d)) for r in range(d)]
        norm = math.sqrt(product_sum(value * value for value in w))
        if norm < 1e-15:
            return 0.0
        v = [value / norm for value in w]
    z = [product_sum(c[r][k] * v[k] for k in range(d)) for r in range(d)]
    rayleigh = product_sum(z[r] * v[r] for r in range(d))
    return math.sqrt(rayleigh) if rayleigh > 0 else 0.0


def confidence_of(x, y, b):
    d = len(b)
    total = residual = 0.0
    for xr, yr in zip(x, y):
        for col in range(d):
            predicted = product_sum(xr[c] * b[c][col] for c in range(d))
            total += yr[col] * yr[col]
            residual += (yr[col] - predicted) * (yr[col] - predicted)
    if residual > 0 and total > 0:
        return min(max(1.0 - residual / total, 0.0), 1.0)
    return 0.5


def reference(trajectory, time_horizon=10, n_neighbors=10, epsilon=None):
    horizon = time_horizon
    rows = [list(map(float, row)) for row in trajectory]
    n, d = len(rows), len(rows[0])
    ftle, confidence = [math.nan] * n, [0.0] * n
    n_valid = max(n - horizon, 0)
    if n_valid < 10:
        return ftle, confidence
    if epsilon is None:
        epsilon = default_epsilon(rows)
    for i in range(n_valid):
        chosen = neighbours(rows, i, horizon, n_neighbors, epsilon)
        if len(chosen) < d + 1:
            continue
        x = [[rows[j][c] - rows[i][c] for c in range(d)] for j in chosen]
        y = [[rows[j + horizon][c] - rows[i + horizon][c] for c in range(d)] for j in chosen]
        b = fit_map(x, y)
        if b is None:
            continue
        stretch = largest_stretch([[b[c][r] for c in range(d)] for r in range(d)])
        if stretch > 0:
            ftle[i] = math.log(stretch) / float(horizon)
        confidence[i] = confidence_of(x, y, b)
    return ftle, confidence


def henon(n, a=1.4, b=0.3):
    states = np.empty((n, 2))
    u, v = 0.1, 0.0
    for t in range(n + 100):
        u, v = 1.0 - a * u * u + v, b * u
        if t >= 100:
            states[t - 100] = u, v
    return states


def lorenz_states(n, dt=0.01):
    def f(s):
        x, y, z = s
        return np.array([10.0 * (y - x), x * (28.0 - z) - y, x * y - 8.0 / 3.0 * z])

    s, states = np.array([1.0, 1.0, 20.0]), np.empty((n, 3))
    for t in range(n + 300):
        k1 = f(s)
        k2 = f(s + 0.5 * dt * k1)
        k3 = f(s + 0.5 * dt * k2)
        k4 = f(s + dt * k3)
        s = s + dt / 6.0 * (k1 + 2 * k2 + 2 * k3 + k4)
        if t >= 300:
            states[t - 300] = s
    return states


TRAJECTORIES = {
    "henon": henon(90),
    "lorenz": lorenz_states(80)[:, ::-1],  # a strided view, read in place
    "noise-2d": np.random.default_rng(1).standard_normal((70, 2)),
    "noise-3d": np.random.default_rng(2).uniform(-3.0, 5.0, (75, 3)),
    "noise-5d": np.random.default_rng(3).standard_normal((80, 5)),  # no tables of its own size
}


@pytest.mark.parametrize("name", sorted(TRAJECTORIES))
@pytest.mark.parametrize("kwargs", [
    {},                                     # default radius: large balls
    {"time_horizon": 3, "n_neighbors": 6},
    {"time_horizon": 1, "n_neighbors": 25, "epsilon": 0.05},  # mostly the fallback
])
def test_matches_the_reference_bit_for_bit(name, kwargs):
    trajectory = TRAJECTORIES[name]
    ftle, confidence = _native.ftle_local_linearization(trajectory, **kwargs)
    expected_ftle, expected_confidence = reference(trajectory, **kwargs)
    assert np.isfinite(ftle).sum() > 20  # the case really fits maps
    assert ftle.tobytes() == np.array(expected_ftle).tobytes()
    assert confidence.tobytes() == np.array(expected_confidence).tobytes()
