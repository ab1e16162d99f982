"""Fixed cost of a call of each engine function: parsing, conversion, result
building, on inputs small enough that the boundary is most of the call.

Run by hand from a checkout with quorlin installed:

    python benchmarks/bench_boundary.py [--baseline REV]

The current build and the baseline revision (built once, as bench_workers.py
builds it) are loaded side by side and timed in alternating rounds, so that
the load of a shared machine falls on both alike; each figure is the best
round. On a busy machine only the ratios of one run mean much; for the last
few percent count instructions instead (valgrind --tool=callgrind on a loop
of calls).
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from quorlin import _native

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_workers import ROOT, baseline_module  # noqa: E402

rng = np.random.default_rng(1)
SERIES = np.cumsum(rng.standard_normal(64))
TRAJECTORY = np.ascontiguousarray(SERIES[:60].reshape(20, 3))

# Each call returns quickly: short series, small searches.
CASES = {
    "hurst_exponent": ((SERIES,), {"method": "rs"}),
    "permutation_entropy": ((SERIES,), {}),
    "sample_entropy": ((SERIES,), {"m": 2}),
    "lyapunov_rosenstein": ((SERIES[:20],), {}),
    "lyapunov_kantz": ((SERIES[:20],), {"epsilon": 0.5}),
    "ftle_local_linearization": ((TRAJECTORY,), {"time_horizon": 2, "n_neighbors": 3}),
    "ftle_direct_perturbation": ((SERIES,), {}),
    "optimal_delay": ((SERIES,), {"max_lag": 5}),
    "time_delay_embedding": ((SERIES,), {"dimension": 3, "delay": 1}),
    "optimal_dimension": ((SERIES,), {"max_dim": 3}),
}


def per_call(function, args, kwargs, number):
    started = time.perf_counter()
    for _ in range(number):
        function(*args, **kwargs)
    return (time.perf_counter() - started) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", default="HEAD~1", help="git revision (default %(default)s)")
    parser.add_argument("--build-root", default=str(ROOT / "build-bench"))
    parser.add_argument("--calls", type=int, default=2000, help="calls per round")
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()
    baseline, revision = baseline_module(options.baseline, options.build_root)
    modules = (baseline, _native)
    print(f"before: {revision}; after: the installed build; microseconds per call")
    print(f"{'function':<28}{'before':>9}{'after':>9}{'aft/bef':>9}")
    for name, (args, kwargs) in CASES.items():
        best = [float("inf"), float("inf")]
        for round_ in range(options.rounds):
            for k in (0, 1) if round_ % 2 == 0 else (1, 0):
                cost = per_call(getattr(modules[k], name), args, kwargs, options.calls)
                best[k] = min(best[k], cost)
        print(f"{name:<28}{best[0] * 1e6:9.2f}{best[1] * 1e6:9.2f}{best[1] / best[0]:9.3f}")


if __name__ == "__main__":
    main()
