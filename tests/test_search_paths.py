"""The fast exact neighbour searches answer exactly as the exhaustive scans.

`search_variants` gives two twins of the module built from the same sources,
one always scanning, one always taking the fast searches (k-d tree, tiled
divergence sums); every result must agree to the last bit. Cases are drawn
from a fixed grid of signals and parameters with fixed seeds, so a failure
names a reproducible case.
"""

import subprocess
import sys

import numpy as np
import pytest

import quorlin
from variants import ROOT, Unavailable, build_search_check

NAN, INF = float("nan"), float("inf")


def same_bits(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_bits(u, v) for u, v in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


# ------------------------------------------------------------------ signals


def orbit(step, state, n, skip=100):
    out = np.empty(n)
    for t in range(skip + n):
        state = step(state)
        if t >= skip:
            out[t - skip] = state[0]
    return out


def lorenz_x(n, dt=0.01):
    def f(s):
        return np.array([10 * (s[1] - s[0]), s[0] * (28 - s[2]) - s[1], s[0] * s[1] - 8 / 3 * s[2]])

    def step(s):
        k1 = f(s)
        k2 = f(s + 0.5 * dt * k1)
        k3 = f(s + 0.5 * dt * k2)
        return s + dt / 6 * (k1 + 2 * k2 + 2 * k3 + f(s + dt * k3))

    return orbit(step, np.array([1.0, 1.0, 1.0]), n, skip=500)


LORENZ = lorenz_x(4000)
HENON = orbit(lambda s: (1 - 1.4 * s[0] ** 2 + s[1], 0.3 * s[0]), (0.1, 0.0), 2000)
LOGISTIC = orbit(lambda s: (4 * s[0] * (1 - s[0]),), (0.3,), 2000)

KINDS = ["lorenz", "henon", "logistic", "noise", "walk", "integers", "quantised", "repeated",
         "nan", "inf", "tiny", "huge", "constant"]


def signal(kind, n, rng):
    """n samples of one kind; chaotic orbits start at a random offset."""
    start = int(rng.integers(0, 1000))
    if kind == "lorenz":
        return LORENZ[start : start + n].copy()
    if kind == "henon":
        return HENON[start : start + n].copy()
    if kind == "logistic":
        return LOGISTIC[start : start + n].copy()
    if kind == "noise":
        return rng.standard_normal(n)
    if kind == "walk":
        return np.cumsum(rng.standard_normal(n))
    if kind == "integers":  # masses of equal distances: the lowest index must win
        return rng.integers(0, 4, n).astype(float)
    if kind == "quantised":
        return np.round(LORENZ[start : start + n])
    if kind == "repeated":  # identical embedded points, distance 0
        x = np.round(rng.standard_normal(n), 1)
        length = n // 5
        x[n - length :] = x[:length]
        x[length : 2 * length] = x[:length]
        return x
    if kind in ("nan", "inf"):
        x = HENON[start : start + n].copy()
        x[rng.integers(0, n, 3)] = NAN if kind == "nan" else [INF, -INF, INF]
        return x
    if kind == "tiny":  # squares underflow
        return 1e-300 * rng.standard_normal(n)
    if kind == "huge":  # squares overflow
        return 1e300 * rng.standard_normal(n)
    return np.full(n, 2.5)


def cases(count, seed, draw):
    """count reproducible (kind, signal, kwargs) cases from draw(rng)."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        kind = KINDS[rng.integers(len(KINDS))]
        n, kwargs = draw(rng)
        out.append((kind, signal(kind, n, rng), kwargs))
    return out


def choose(rng, *options):
    return options[rng.integers(len(options))]


def draw_rosenstein(rng):
    return int(rng.integers(50, 400)), {
        "dimension": choose(rng, None, 1, 2, 3, 5),
        "delay": choose(rng, None, 0, 1, 2, 4),
        "min_tsep": choose(rng, None, 0, 1, 5, 30),
        "max_iter": choose(rng, None, 0, 5, 40),
    }


def draw_kantz(rng):
    return int(rng.integers(8, 300)), {
        "dimension": choose(rng, None, 1, 2, 3),
        "delay": choose(rng, None, 0, 1, 3),
        "min_tsep": choose(rng, None, 0, 1, 10),
        "epsilon": choose(rng, None, None, 0.0, 0.05, 0.5, 3.0, INF, NAN, -1.0),
        "max_iter": choose(rng, None, 0, 3, 60),
    }


def draw_direct_perturbation(rng):
    return int(rng.integers(5, 400)), {
        "dimension": choose(rng, 0, 1, 2, 3, 4),
        "delay": choose(rng, 0, 1, 3),
        "time_horizon": choose(rng, 0, 1, 5, 10),
    }


def draw_dimension(rng):
    return int(rng.integers(5, 600)), {
        "delay": choose(rng, None, 0, 1, 2, 5),
        "max_dim": choose(rng, 0, 1, 2, 5, 10),
        "method": choose(rng, "fnn", "cao"),
        "threshold": choose(rng, 0.01, 0.0, 0.3, NAN),
    }


FUNCTIONS = [
    ("lyapunov_rosenstein", draw_rosenstein, 500),
    ("lyapunov_kantz", draw_kantz, 500),
    ("ftle_direct_perturbation", draw_direct_perturbation, 500),
    ("optimal_dimension", draw_dimension, 600),
]


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("name, draw, count", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_generated_signals(search_variants, name, draw, count, seed):
    direct, fast = search_variants
    for kind, x, kwargs in cases(count // 2, seed, draw):
        expected = getattr(direct, name)(x, **kwargs)
        assert same_bits(getattr(fast, name)(x, **kwargs), expected), (name, kind, len(x), kwargs)


# --------------------------------------------- trajectories read in place


def layout(points, how):
    """The same rows in another memory layout, read through its strides."""
    if how == "transposed":
        return np.ascontiguousarray(points.T).T
    if how == "reversed":
        return np.ascontiguousarray(points[::-1])[::-1]
    if how == "strided":
        wide = np.zeros((points.shape[0], 2 * points.shape[1] + 1))
        wide[:, 1::2] = points
        return wide[:, 1::2]
    return points


def draw_trajectory(rng):
    kind = KINDS[rng.integers(len(KINDS))]
    n, d, delay = int(rng.integers(8, 300)), int(rng.integers(1, 5)), int(rng.integers(1, 4))
    x = signal(kind, n + (d - 1) * delay + 1, rng)
    points = np.stack([x[c * delay : c * delay + n] for c in range(d)], axis=1)
    kwargs = {
        "time_horizon": choose(rng, 0, 1, 5, 10),
        "n_neighbors": choose(rng, 0, 1, 3, 10, 50),
        "epsilon": choose(rng, None, None, 0.0, 0.1, 1.0, INF, NAN),
    }
    return kind, points, kwargs


@pytest.mark.parametrize("how", ["contiguous", "transposed", "reversed", "strided"])
def test_local_linearization_on_generated_trajectories(search_variants, how):
    direct, fast = search_variants
    rng = np.random.default_rng(["contiguous", "transposed", "reversed", "strided"].index(how))
    for _ in range(150):
        kind, points, kwargs = draw_trajectory(rng)
        view = layout(points, how)
        expected = direct.ftle_local_linearization(points, **kwargs)
        assert same_bits(fast.ftle_local_linearization(view, **kwargs), expected), (kind, points.shape, kwargs)


# --------------------------------------------------- the component itself


def test_native_search_check():
    """The searches and the divergence sums against the scans, on thousands
    of generated point sets (ties of distances and of their square roots,
    radii and floors that rows sit on, under- and overflowing squares,
    strided rows, pair lists followed in one or many passes)."""
    try:
        program = build_search_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program), "7", "1500"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


# ----------------------------------------------- large inputs, shipped module


@pytest.mark.parametrize("name, args, kwargs", [
    ("lyapunov_rosenstein", (LORENZ,), {}),
    ("lyapunov_kantz", (LORENZ[:2500],), {}),
    ("ftle_direct_perturbation", (LORENZ,), {}),
    ("ftle_local_linearization", (np.stack([LORENZ[:3000], LORENZ[10:3010], LORENZ[20:3020]], 1),), {}),
    ("optimal_dimension", (LORENZ,), {}),
    ("optimal_dimension", (LORENZ,), {"method": "cao"}),
    ("optimal_dimension", (np.round(LORENZ),), {"method": "cao", "delay": 3}),
])
def test_shipped_module_on_large_inputs(search_variants, name, args, kwargs):
    """At these sizes the shipped module takes the fast searches."""
    direct, _ = search_variants
    assert same_bits(getattr(quorlin, name)(*args, **kwargs), getattr(direct, name)(*args, **kwargs))


def test_variants_are_complete_twins(search_variants):
    for module in search_variants:
        assert module.__all__ == quorlin.__all__


# ------------------------------------------------------ memory exhaustion

PRESSURE = """
import resource, sys
import numpy as np
import quorlin
rng = np.random.default_rng(0)
x = np.cumsum(rng.standard_normal({n}))
trajectory = np.stack([x[:-20], x[10:-10], x[20:]], axis=1)
calls = [
    lambda: quorlin.lyapunov_rosenstein(x),
    lambda: quorlin.lyapunov_kantz(x, epsilon=0.05, max_iter=50),
    lambda: quorlin.ftle_direct_perturbation(x),
    lambda: quorlin.ftle_local_linearization(trajectory, epsilon=0.01, n_neighbors=0),
    lambda: quorlin.optimal_dimension(x, method="cao"),
]
base = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (base + {extra} * 2**20, resource.RLIM_INFINITY))
outcomes = []
for call in calls:
    try:
        call()
        outcomes.append("ok")
    except MemoryError:
        outcomes.append("MemoryError")
print(" ".join(outcomes))
"""


@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's shadow memory defeats an address-space limit")
@pytest.mark.parametrize("extra", [2, 14, 16, 18, 24, 32])
def test_fast_paths_raise_memory_error_when_memory_runs_out(extra):
    """Under an address-space limit every call either completes or raises
    MemoryError; none crashes the interpreter."""
    code = PRESSURE.replace("{n}", "200000").replace("{extra}", str(extra))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=ROOT, env={**__import__("os").environ, "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    outcomes = done.stdout.split()
    assert len(outcomes) == 5 and set(outcomes) <= {"ok", "MemoryError"}
    if extra == 2:
        assert set(outcomes) == {"MemoryError"}
