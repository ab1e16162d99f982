"""Timings of the two finite-time Lyapunov exponent estimators.

Input: the x coordinate of the Lorenz system (sigma = 10, rho = 28,
beta = 8/3) integrated by fixed-step fourth-order Runge-Kutta with dt = 0.01
after a transient of 1,000 steps. ftle_direct_perturbation runs on the series
with its defaults; ftle_local_linearization on its (n, 3) delay embedding
(delay 10 samples) with its defaults.

Run from the repository root after building, e.g.
    PYTHONPATH=python python benchmarks/bench_ftle.py
"""

import time

import numpy as np

import quorlin
from quorlin.examples import lorenz


def lorenz_x(n_samples, dt=0.01, transient=1000):
    """x(t) of the Lorenz system (sigma 10, rho 28, beta 8/3) by fixed-step RK4,
    one sample per step, after `transient` steps."""
    trajectory = lorenz(n_samples, step=dt, steps_per_sample=1, transient_steps=transient)
    return np.ascontiguousarray(trajectory[:, 0])


def best_time(function, *args, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    delay = 10
    print(f"{'function':<26}{'points':>8}{'seconds':>10}  finite / mean exponent")
    for n in (5_000, 20_000):
        x = lorenz_x(n + 2 * delay)
        trajectory = quorlin.time_delay_embedding(x, 3, delay)  # n rows
        cases = [
            ("ftle_direct_perturbation", quorlin.ftle_direct_perturbation, x[:n]),
            ("ftle_local_linearization", quorlin.ftle_local_linearization, trajectory),
        ]
        for name, function, data in cases:
            seconds, (ftle, _) = best_time(function, data)
            finite = np.isfinite(ftle)
            print(f"{name:<26}{len(data):>8}{seconds:>10.3f}  {finite.sum()} / {ftle[finite].mean():.4f}")


if __name__ == "__main__":
    main()
