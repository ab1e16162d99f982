"""Calls leave nothing behind: memory stays flat over tens of thousands of
calls (results, refusals and errors alike), the buffers of returned arrays
are freed with the arrays, and concurrent calls from many threads give the
results of sequential ones without ever writing to their inputs."""

import gc
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quorlin import _native

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def noise(n, seed=0):
    return np.random.default_rng(seed).standard_normal(n)


X = noise(120)
X[[5, 60]] = [np.nan, np.inf]
TRAJECTORY = np.cumsum(noise(90, 1).reshape(30, 3), axis=0)

# One call per row: every function, on its result paths (owned vectors
# included) and on its error paths (conversion, contiguity, validation and
# memory refusals).
CALLS = [
    (_native.hurst_exponent, (X,), {}),
    (_native.hurst_exponent, (X, "dfa"), {}),
    (_native.hurst_exponent, (X,), {"method": None}),
    (_native.permutation_entropy, (X, 4, 2, False), {}),
    (_native.permutation_entropy, (X, 25), {}),
    (_native.permutation_entropy, (X,), {"normalize": 1}),
    (_native.sample_entropy, (X[:60], 2, 0.5), {}),
    (_native.sample_entropy, (X,), {"m": -1}),
    (_native.lyapunov_rosenstein, (X,), {}),
    (_native.lyapunov_rosenstein, (X, 10**9, 0), {}),  # MemoryError
    (_native.lyapunov_rosenstein, (X,), {"max_iter": 2**64}),  # OverflowError
    (_native.lyapunov_kantz, (X[:80],), {"epsilon": 0.5}),
    (_native.lyapunov_kantz, (X, 10**9, 0), {}),
    (_native.lyapunov_kantz, (X,), {"epsilon": "wide"}),
    (_native.ftle_local_linearization, (TRAJECTORY, 3, 4), {}),
    (_native.ftle_local_linearization, (TRAJECTORY.T,), {}),
    (_native.ftle_local_linearization, (X,), {}),  # TypeError: one-dimensional
    (_native.ftle_direct_perturbation, (X[:60],), {}),
    (_native.ftle_direct_perturbation, (X, 10**9, 0), {}),
    (_native.ftle_direct_perturbation, (X[::2],), {}),  # not contiguous
    (_native.optimal_delay, (X,), {"method": "autocorr"}),
    (_native.optimal_delay, (X, 20), {}),
    (_native.optimal_delay, (X,), {"method": "\ud800"}),  # UnicodeEncodeError
    (_native.time_delay_embedding, (X, 4, 3), {}),
    (_native.time_delay_embedding, (X, 50, 3), {}),  # ValueError
    (_native.time_delay_embedding, (np.zeros(10**6), 10**6, 0), {}),  # MemoryError
    (_native.time_delay_embedding, (X,), {"dim": 3}),  # unexpected keyword
    (_native.optimal_dimension, (X[:60],), {}),
    (_native.optimal_dimension, (X[:60], 1, 4, "cao"), {}),
    (_native.optimal_dimension, (X,), {"threshold": None}),
]


def call_all():
    for function, args, kwargs in CALLS:
        try:
            function(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, MemoryError):
            pass


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps freed memory")
def test_memory_stays_flat_over_many_calls():
    for _ in range(50):  # warm-up: caches, lazily created types, allocator pools
        call_all()
    gc.collect()
    before = resident_bytes()
    for _ in range(2000):  # 60 000 calls
        call_all()
    gc.collect()
    # Flat to the page in practice; a leak of a mere 32 bytes per call would
    # already grow past this slack.
    assert resident_bytes() - before < 1 << 20


def test_owned_vectors_keep_their_owner_alive_and_only_it():
    curve = _native.lyapunov_rosenstein(X)[1]
    owner = curve.base
    assert type(owner).__qualname__ == "OwnedBuffer"
    assert sys.getrefcount(owner) == 3  # curve.base, `owner`, the call's argument
    view = curve[2:5]
    del curve
    assert sys.getrefcount(owner) == 3  # the view's base chain still holds it
    del view
    assert sys.getrefcount(owner) == 2


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps freed memory")
def test_owned_vector_buffers_are_freed_with_their_arrays():
    # A zero-strided trajectory of 10^7 rows takes no memory, while each of the
    # two results (all NaN and all zero: no anchor) takes 80 MB.
    rows = 10**7
    trajectory = np.broadcast_to(np.zeros((1, 2)), (rows, 2))
    gc.collect()
    before = resident_bytes()
    for _ in range(5):
        ftle, confidence = _native.ftle_local_linearization(trajectory, rows)
        assert ftle.shape == confidence.shape == (rows,)
        assert resident_bytes() - before > 150 << 20  # both results are resident
        del ftle, confidence
        assert resident_bytes() - before < 16 << 20


# ---------------------------------------------------------------------------
# Threads

def thread_cases():
    rng = np.random.default_rng(7)
    signal = np.cumsum(rng.standard_normal(400))
    signal[[10, 200]] = np.nan
    signal.flags.writeable = False  # a write would raise, not pass silently
    trajectory = np.cumsum(rng.standard_normal((150, 2)), axis=0)
    trajectory.flags.writeable = False
    return signal, trajectory, [
        (_native.hurst_exponent, (signal, "dfa")),
        (_native.permutation_entropy, (signal, 5, 2)),
        (_native.sample_entropy, (signal[:200],)),
        (_native.lyapunov_rosenstein, (signal,)),
        (_native.lyapunov_kantz, (signal[:200], 3, 1, None, 2.0)),
        (_native.ftle_local_linearization, (trajectory, 5)),
        (_native.ftle_direct_perturbation, (signal[:150],)),
        (_native.optimal_delay, (signal, None, "autocorr")),
        (_native.time_delay_embedding, (signal, 5, 7)),
        (_native.optimal_dimension, (signal[:150], 2, 6, "cao")),
        (_native.time_delay_embedding, (signal, 500, 1)),  # ValueError
    ]


def outcome(function, args):
    try:
        result = function(*args)
    except ValueError as refusal:
        return ("ValueError", str(refusal))
    parts = result if isinstance(result, tuple) else (result,)
    return tuple(np.asarray(part).tobytes() for part in parts)


def test_concurrent_calls_give_sequential_results_and_never_write_inputs():
    signal, trajectory, cases = thread_cases()
    before = signal.tobytes(), trajectory.tobytes()
    expected = [outcome(function, args) for function, args in cases]
    jobs = [index for _ in range(12) for index in range(len(cases))]
    with ThreadPoolExecutor(max_workers=16) as pool:
        results = list(pool.map(lambda index: (index, outcome(*cases[index])), jobs))
    for index, result in results:
        assert result == expected[index], cases[index][0].__name__
    assert (signal.tobytes(), trajectory.tobytes()) == before


ADDRESS_SPACE_LIMITED_KANTZ = """
import resource, numpy as np
from quorlin import _native
def lorenz_x(n, dt=0.01):
    f = lambda v: np.array([10 * (v[1] - v[0]), v[0] * (28 - v[2]) - v[1], v[0] * v[1] - 8 / 3 * v[2]])
    s, out = np.ones(3), np.empty(n)
    for i in range(n + 1000):
        k1 = f(s); k2 = f(s + dt / 2 * k1); k3 = f(s + dt / 2 * k2); k4 = f(s + dt * k3)
        s = s + dt / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
        if i >= 1000:
            out[i - 1000] = s[0]
    return out
x = lorenz_x(20000)
mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 120 * 2**20, resource.RLIM_INFINITY))
print(_native.lyapunov_kantz(x, epsilon=2.0)[0])
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's shadow memory defeats an address-space limit")
def test_kantz_sizes_its_pairs_in_flight_below_an_address_space_limit():
    """The follow-up takes a share of the memory free for the pairs it keeps
    in flight; under `ulimit -v` on a large machine that share must come from
    the room left below the limit, or a call that fits in several passes
    raises MemoryError (it did, with 120 MiB of room on a 24 GiB machine)."""
    import subprocess
    done = subprocess.run([sys.executable, "-c", ADDRESS_SPACE_LIMITED_KANTZ], capture_output=True,
                          text=True, env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    assert np.isfinite(float(done.stdout))
