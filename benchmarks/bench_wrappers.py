"""Cost of the top-level functions over the engine they wrap.

Run by hand from a checkout with quorlin installed (or PYTHONPATH=python):

    python benchmarks/bench_wrappers.py

Two parts are timed separately: the fixed cost of a call on a contiguous
float64 array (argument checks, method-name lookup, dispatch), measured on
calls that return at once, and the finiteness scan, one pass over the
samples, measured on its own for growing lengths. Each figure is the best of
several repeats; on a busy machine compare the figures of one run with each
other rather than with another run.
"""

import timeit

import numpy as np

import quorlin
from quorlin import _native
from quorlin import functions

REPEATS = 7


def best_per_call(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=REPEATS)) / number


def fixed_costs():
    tiny = np.arange(3.0)          # every function answers at once for 3 samples
    trajectory = np.zeros((3, 2))
    calls = [
        ("hurst_exponent", (tiny,), {"method": "dfa"}),
        ("permutation_entropy", (tiny,), {}),
        ("sample_entropy", (tiny,), {}),
        ("lyapunov_rosenstein", (tiny,), {}),
        ("lyapunov_kantz", (tiny,), {}),
        ("ftle_local_linearization", (trajectory,), {}),
        ("ftle_direct_perturbation", (tiny,), {}),
        ("optimal_delay", (tiny,), {"method": "autocorr"}),
        ("optimal_dimension", (tiny,), {"method": "cao"}),
    ]
    scan = best_per_call(lambda: functions._all_finite(tiny), 20000)
    print("fixed cost per call on 3 samples, microseconds: engine, wrapper, difference, and the")
    print(f"difference less the scan of 3 samples ({scan * 1e6:.2f})")
    for name, args, kwargs in calls:
        engine = best_per_call(lambda: getattr(_native, name)(*args, **kwargs), 20000)
        wrapper = best_per_call(lambda: getattr(quorlin, name)(*args, **kwargs), 20000)
        extra = wrapper - engine
        print(f"  {name:26s} {engine * 1e6:6.2f} {wrapper * 1e6:6.2f} {extra * 1e6:+6.2f} "
              f"{(extra - scan) * 1e6:+6.2f}")


def scan_costs():
    print("finiteness scan of N float64 samples, microseconds")
    for n in (100, 10_000, 1_000_000):
        x = np.random.default_rng(0).standard_normal(n)
        number = max(10, 2_000_000 // n)
        scan = best_per_call(lambda: functions._all_finite(x), number)
        exact = best_per_call(lambda: np.isfinite(x).all(), number)
        print(f"  N = {n:9d}  sum test {scan * 1e6:9.2f}   isfinite(x).all() {exact * 1e6:9.2f}")


def conversion_costs():
    print("conversion of 10,000 samples, microseconds")
    x = np.random.default_rng(0).standard_normal(10_000)
    for label, data in [("float64 contiguous", x), ("float32", x.astype(np.float32)),
                        ("every second float64", np.repeat(x, 2)[::2]), ("list", list(x))]:
        cost = best_per_call(lambda: functions._read(data, "f", "signal", 1), 50)
        print(f"  {label:22s} {cost * 1e6:9.2f}")


if __name__ == "__main__":
    quorlin.sample_entropy([0.0])  # the first call imports NumPy into the wrappers
    fixed_costs()
    scan_costs()
    conversion_costs()
