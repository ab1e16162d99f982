"""Timings of optimal_delay and optimal_dimension on 100,000 samples.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_embedding.py

Signals: the x-coordinate of the Lorenz system (sigma 10, rho 28, beta 8/3,
fixed-step RK4 with h = 0.01 after a discarded transient), Gaussian white
noise and a Gaussian random walk, all with fixed seeds. Each call is timed as
the best of a few repetitions. A plain NumPy version of each estimator (same
rules, vectorised, not bit-exact) is timed beside it for scale.
"""

import time

import numpy as np

import quorlin
from quorlin.examples import lorenz

N = 100_000


def lorenz_x(n, h=0.01, transient=5000):
    """x(t) of the Lorenz system (sigma 10, rho 28, beta 8/3) by fixed-step RK4,
    one sample per step, after `transient` steps."""
    trajectory = lorenz(n, step=h, steps_per_sample=1, transient_steps=transient)
    return np.ascontiguousarray(trajectory[:, 0])


def best_time(call, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


# --- NumPy versions for scale ------------------------------------------------


def numpy_delay(x, method):
    n = len(x)
    limit = n // 4
    if method == "mutual_info":
        lo, hi = np.nanmin(x), np.nanmax(x)
        bins = np.minimum((np.nan_to_num((x - lo) / (hi - lo) * 16, nan=0.0)).astype(int), 15)
        values = []
        for lag in range(1, limit):
            a, b = bins[:-lag], bins[lag:]
            joint = np.bincount(a * 16 + b, minlength=256).reshape(16, 16) / len(a)
            pa, pb = joint.sum(1), joint.sum(0)
            nz = joint > 0
            values.append(float(np.sum(joint[nz] * np.log(joint[nz] / np.outer(pa, pb)[nz]))))
            if len(values) >= 3 and values[-2] < values[-1] and values[-2] < values[-3]:
                return lag - 1
        return max(limit // 4, 1)
    level = 0.0 if method == "autocorr" else np.exp(-1.0)
    dev = x - x.mean()
    var = dev @ dev / n
    for lag in range(1, limit):
        if dev[:-lag] @ dev[lag:] / (n - lag) / var <= level:
            return lag
    return limit


def numpy_nearest(rows, i):
    d = np.sqrt(((rows - rows[i]) ** 2).sum(axis=1))
    d[i] = np.inf
    j = int(np.argmin(d))
    return j, d[j]


def numpy_dimension(x, tau, max_dim, method, threshold=0.01):
    n_total = len(x)
    previous = 0.0
    for d in range(1 if method == "cao" else 2, max_dim + 1):
        n = n_total - d * tau
        q = max(d, 2) - 1
        rows = np.stack([x[c * tau : c * tau + n] for c in range(q)], axis=1)
        last = x[(d - 1) * tau : (d - 1) * tau + n]
        if method == "cao":
            ratios = []
            for i in range(min(n, 500)):
                j, rho = numpy_nearest(rows, i)
                if rho > 1e-10:
                    extra = (last[i] - last[j]) ** 2 if d >= 2 else 0.0
                    ratios.append(np.sqrt(rho * rho + extra) / rho)
            e = np.mean(ratios) if ratios else 1.0
            if d >= 2 and previous > 1e-15 and threshold > abs(e / previous - 1):
                return d
            previous = e
        else:
            valid = false = 0
            for i in range(min(n, 1000)):
                j, rho = numpy_nearest(rows, i)
                if rho > 1e-10:
                    valid += 1
                    false += abs(last[i] - last[j]) / rho > 10
            if threshold > (false / valid if valid else 0.0):
                return d
    return max_dim


def main():
    rng = np.random.default_rng(20240601)
    signals = {
        "lorenz x": lorenz_x(N),
        "white noise": rng.standard_normal(N),
        "random walk": np.cumsum(rng.standard_normal(N)),
    }

    print(f"optimal_delay, N = {N:,}, max_lag = None (L = N / 4)")
    print(f"{'signal':<13} {'method':<12} {'result':>7} {'quorlin s':>11} {'numpy s':>10} "
          f"{'ratio':>7}")
    for name, x in signals.items():
        for method in ("mutual_info", "autocorr", "autocorr_e"):
            t, lag = best_time(lambda: quorlin.optimal_delay(x, method=method), 3)
            t_np, lag_np = best_time(lambda: numpy_delay(x, method), 1)
            note = "" if lag == lag_np else f"  (numpy {lag_np})"
            print(f"{name:<13} {method:<12} {lag:>7} {t:>11.4f} {t_np:>10.3f} "
                  f"{t_np / t:>7.1f}{note}")

    print()
    print(f"optimal_dimension, N = {N:,}, max_dim = 10, threshold = 0.01")
    print(f"{'signal':<13} {'delay':>5} {'method':<6} {'result':>7} {'quorlin s':>11} "
          f"{'numpy s':>10} {'ratio':>7}")
    for name, x in signals.items():
        delay = quorlin.optimal_delay(x) if name == "lorenz x" else 1
        for method in ("fnn", "cao"):
            t, dim = best_time(lambda: quorlin.optimal_dimension(x, delay, 10, method), 1)
            t_np, dim_np = best_time(lambda: numpy_dimension(x, delay, 10, method), 1)
            note = "" if dim == dim_np else f"  (numpy {dim_np})"
            print(f"{name:<13} {delay:>5} {method:<6} {dim:>7} {t:>11.3f} {t_np:>10.2f} "
                  f"{t_np / t:>7.1f}{note}")


if __name__ == "__main__":
    main()
