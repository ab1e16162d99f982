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


def lorenz_x(n, dt=0.01, transient=2000, sigma=10.0, rho=28.0, beta=8.0 / 3.0):
    """x(t) of the Lorenz system by fixed-step fourth-order Runge-Kutta."""

    def field(s):
        x, y, z = s
        return np.array([sigma * (y - x), x * (rho - z) - y, x * y - beta * z])

    state = np.array([1.0, 1.0, 1.0])
    out = np.empty(n)
    for step in range(transient + n):
        k1 = field(state)
        k2 = field(state + 0.5 * dt * k1)
        k3 = field(state + 0.5 * dt * k2)
        k4 = field(state + dt * k3)
        state = state + dt / 6.0 * (k1 + 2.0 * k2 + 2.0 * k3 + k4)
        if step >= transient:
            out[step - transient] = state[0]
    return out


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
