"""Refits the cost model of quorlin.costs to this machine and this build.

Run by hand from the repository root after building the extension in-tree
(or with quorlin installed), on an otherwise idle machine:

    PYTHONPATH=python python benchmarks/fit_costs.py [--only STEP[,STEP]] [sizes...]

Times every step of the report on generated series (the Lorenz
x-coordinate, Gaussian noise, an AR(2) process, pink noise with a rhythm) of
the given sizes (default
2000, 5000, 10000, 20000), computes each step's work terms with
quorlin.costs.WORK, and fits each step's coefficients by least squares on
relative residuals (each measured time counts as much as any other,
whatever its size; a negative coefficient is dropped and the rest refitted).
Prints the table to paste into quorlin/costs.py as COEFFICIENTS, and the
worst ratio of estimate to measurement per step. A run takes a few minutes.
"""

import sys
import time

import numpy as np

from quorlin import costs
from quorlin.analysis import analyse
from quorlin.settings import STEPS
from quorlin.examples import lorenz_x
from quorlin.surrogates import iaaft


def ar2(n, seed=1):
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(n + 200)
    a = np.zeros(n + 200)
    for i in range(2, n + 200):
        a[i] = 1.5 * a[i - 1] - 0.75 * a[i - 2] + e[i]
    return a[200:]


def eeg_like(n, seed=3):
    """Pink noise plus a 10 Hz rhythm sampled at 250 Hz: embeds in many
    dimensions, where the neighbour searches are slowest."""
    rng = np.random.default_rng(seed)
    f = np.fft.rfftfreq(n, 1 / 250.0)
    f[0] = f[1]
    pink = np.fft.irfft(np.fft.rfft(rng.standard_normal(n)) / np.sqrt(f), n)
    return pink / pink.std() + np.sin(2 * np.pi * 10 * np.arange(n) / 250.0)


def series(n):
    yield "lorenz", lorenz_x(n)[0]
    yield "noise", np.random.default_rng(2).standard_normal(n)
    yield "ar2", ar2(n)
    yield "eeg-like", eeg_like(n)


#: Runs shorter than this are timed too coarsely to judge an estimate by.
MEANINGFUL = 0.05


def fit(rows):
    """Coefficients c >= 0 minimising sum(((c . w) - t) / t)**2."""
    work = np.array([w for w, _ in rows], dtype=float)
    seconds = np.array([t for _, t in rows], dtype=float)
    active = list(range(work.shape[1]))
    while True:
        a = work[:, active] / seconds[:, None]
        solution, *_ = np.linalg.lstsq(a, np.ones(len(rows)), rcond=None)
        if (solution >= 0).all() or len(active) == 1:
            coefficients = np.zeros(work.shape[1])
            coefficients[active] = np.maximum(solution, 0)
            return coefficients
        active.pop(int(np.argmin(solution)))


def main(sizes, only=None):
    measured = {step: [] for step in costs.WORK if only is None or step in only}
    skip = [] if only is None else [s for s in STEPS if s not in only and s != "ami"]
    for n in sizes:
        for name, x in series(n):
            result = analyse(x, max_samples=0, ftle_anchors=None, skip=skip)
            radius = result.kantz_radius
            w = costs.Workload(n, result.dimension, result.delay, result.kantz_steps,
                               (radius.pair_share or 0.0) if radius is not None else 0.0)
            for step, seconds in result.seconds.items():
                if step in measured:
                    measured[step].append((costs.WORK[step](w), seconds))
            if "surrogate" in measured:
                start = time.perf_counter()
                iaaft(x, np.random.default_rng(0))
                measured["surrogate"].append((costs.WORK["surrogate"](w),
                                              time.perf_counter() - start))
            try:
                from quorlin.plotting import plot_analysis
            except ImportError:
                pass
            else:
                if "figure" in measured:
                    start = time.perf_counter()
                    plot_analysis(result)
                    measured["figure"].append((costs.WORK["figure"](w),
                                               time.perf_counter() - start))
            print(f"measured {name} at {n} samples", file=sys.stderr)
    print("COEFFICIENTS: Dict[str, Tuple[float, ...]] = {")
    for step, rows in measured.items():
        if not rows:
            print(f"    # {step}: not measured")
            continue
        c = fit(rows)
        ratios = [sum(ci * wi for ci, wi in zip(c, w)) / t for w, t in rows if t >= MEANINGFUL]
        spread = (f"  # estimate/measured {min(ratios):.2f}-{max(ratios):.2f} over runs of "
                  f"{MEANINGFUL} s or more" if ratios else "")
        print(f"    {step!r}: ({', '.join(f'{v:.2e}' for v in c)},),{spread}")
    print("}")


if __name__ == "__main__":
    arguments = sys.argv[1:]
    chosen = None
    if arguments[:1] == ["--only"]:
        # --only STEP[,STEP]: refit these steps alone (the others are skipped).
        chosen = set(arguments[1].split(","))
        arguments = arguments[2:]
    main([int(a) for a in arguments] or [2000, 5000, 10000, 20000], chosen)
