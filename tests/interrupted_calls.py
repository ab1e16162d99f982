"""Long calls of quorlin._native, and a child process that runs one of them
over and over until a parent has interrupted it with SIGINT a few times.
Used by test_interrupts.py and benchmarks/bench_interrupt.py.

    python interrupted_calls.py CASE ROUNDS [WORKERS]

With WORKERS, the calls go to quorlin._parallel with that many threads.

The child prints "ready K" before the K-th long call and, when SIGINT has
stopped it, "interrupted K MONOTONIC RSS" (the time.monotonic() at which
KeyboardInterrupt arrived, and the resident bytes then), or "finished K" if
the call ran to its end. Then it calls the function once more on a small
input and prints "small DIGEST RSS"."""

import hashlib
import inspect
import signal
import sys
import time

import numpy as np

from quorlin import _native, _parallel

PAGE = 4096


def walk(n, seed=0):
    return np.cumsum(np.random.default_rng(seed).standard_normal(n))


def noise(n, seed=1):
    return np.random.default_rng(seed).standard_normal(n)


def false_neighbours_at_every_step(n, dims):
    """Noise in which, for every step d = 2 .. dims of the false-nearest-
    neighbour test, one of the first reference rows has a near copy (1e-8
    away) that parts from it in exactly the d-th coordinate: every step has
    a false neighbour, none passes a tiny threshold, and all are run. The
    last sample is infinite, which keeps the searches off the tree over the
    leading coordinates: steps of more than 32 coordinates scan."""
    x = noise(n)
    for d in range(2, dims + 1):
        i, j = 5 * d, 1000 + (dims + 1) * (d - 2)
        x[j : j + d - 1] = x[i : i + d - 1] + 1e-8
        x[j + d - 1] = x[i + d - 1] + 1.0
    x[-1] = np.inf
    return x


# Each case: (function, long arguments, small arguments). Each long call runs
# for well over 30 s uninterrupted on a 2020s desktop core; each covers a
# function on a path that can run that long.
CASES = {
    "kantz, defaults": ("lyapunov_kantz", lambda: (walk(30_000),), lambda: (walk(300),)),
    "local-linearization FTLE, large embedding": (
        "ftle_local_linearization",
        lambda: (_native.time_delay_embedding(walk(200_000), 3, 1),),
        lambda: (_native.time_delay_embedding(walk(300), 3, 1),),
    ),
    "cao, tiny threshold": (
        "optimal_dimension",
        lambda: (noise(1000), 1, 997, "cao", 1e-300),
        lambda: (noise(60), 1, 20, "cao", 1e-300),
    ),
    "false neighbours, every step run": (
        "optimal_dimension",
        lambda: (false_neighbours_at_every_step(25_000, 145), 1, 145, "fnn", 1e-300),
        lambda: (false_neighbours_at_every_step(1200, 8), 1, 8, "fnn", 1e-300),
    ),
    "rosenstein, 40 coordinates": (
        "lyapunov_rosenstein",
        lambda: (walk(40_000), 40),
        lambda: (walk(400), 40),
    ),
    "direct FTLE, 40 coordinates": (
        "ftle_direct_perturbation",
        lambda: (walk(40_000), 40),
        lambda: (walk(400), 40),
    ),
    "sample entropy, pair scan": ("sample_entropy", lambda: (walk(500_000), 12), lambda: (walk(400), 12)),
    "permutation entropy, huge order": (
        "permutation_entropy",
        lambda: (walk(1_000_000), 20_000),
        lambda: (walk(3000), 100),
    ),
    "autocorrelation delay, huge max_lag": (
        "optimal_delay",
        lambda: (walk(1_000_000), 500_000, "autocorr"),
        lambda: (walk(2000), 1000, "autocorr"),
    ),
    "mutual-information delay, long walk": (
        "optimal_delay",
        lambda: (walk(3_000_000),),
        lambda: (walk(5000),),
    ),
}


def digest(result):
    """The bits of a result (float, int, arrays, or a tuple of them)."""
    parts = result if isinstance(result, tuple) else (result,)
    h = hashlib.sha256()
    for part in parts:
        h.update(repr(type(part)).encode())
        h.update(np.asarray(part).tobytes())
    return h.hexdigest()[:16]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def function_of(name, workers=0):
    """The engine's function, or with workers its threaded twin, called with
    the engine's positional arguments."""
    if not workers:
        return getattr(_native, name)
    engine = inspect.signature(getattr(_native, name))
    tail = (None,) if name.startswith("ftle") else ()

    def threaded(*args):
        bound = engine.bind(*args)
        bound.apply_defaults()
        return getattr(_parallel, name)(*bound.args, *tail, workers, None)

    return threaded


def small_call(case, workers=0):
    name, _, small = CASES[case]
    return function_of(name, workers)(*small())


def main(case, rounds, workers=0):
    # A child inherits an ignored SIGINT from a shell that started its parent
    # in the background; Python's own handler is what the calls must honour.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    name, long_arguments, _ = CASES[case]
    function = function_of(name, workers)
    arguments = long_arguments()
    small_call(case, workers)  # whatever is created once per process, created now
    for k in range(rounds):
        print("ready", k, flush=True)
        try:
            function(*arguments)
        except KeyboardInterrupt:
            print("interrupted", k, repr(time.monotonic()), resident_bytes(), flush=True)
        else:
            print("finished", k, flush=True)
    print("small", digest(small_call(case, workers)), resident_bytes(), flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), *map(int, sys.argv[3:4]))
