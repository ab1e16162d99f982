"""Timings of lyapunov_rosenstein and lyapunov_kantz on the Lorenz x-coordinate.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_lyapunov.py [sizes...]

Every option is left at its default, so the neighbour scans dominate: both
methods compare every embedded point with every other one.
"""

import sys
import time

import numpy as np

import quorlin
from quorlin.examples import lorenz


def lorenz_x(n, dt=0.01, transient=2000):
    """x(t) of the Lorenz system (sigma 10, rho 28, beta 8/3) by fixed-step RK4,
    one sample per step, after `transient` steps."""
    trajectory = lorenz(n, step=dt, steps_per_sample=1, transient_steps=transient)
    return np.ascontiguousarray(trajectory[:, 0])


def timed(function, signal):
    start = time.perf_counter()
    result = function(signal)
    return time.perf_counter() - start, result


def main(sizes):
    print(f"{'function':<22}{'samples':>9}{'seconds':>10}{'exponent':>12}{'curve':>8}")
    for n in sizes:
        signal = lorenz_x(n)
        for function in (quorlin.lyapunov_rosenstein, quorlin.lyapunov_kantz):
            seconds, result = timed(function, signal)
            print(f"{function.__name__:<22}{n:>9}{seconds:>10.3f}{result[0]:>12.5f}"
                  f"{len(result[1]):>8}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [5000, 20000])
