"""One core, before and after: optimal_dimension (FNN and Cao) and sample
entropy on white noise, timed side by side in one process.

The "before" module is built from an earlier commit into a folder of its own
and loaded by file path under another package name (the module's init symbol
is the same, the name under which it is imported differs):

    git archive <commit> | tar -x -C /tmp/before
    cmake -S /tmp/before -B build-before -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-before --target _native
    python benchmarks/bench_dimension_entropy.py build-before/_native*.so [build-dev/_native*.so]

Without a second path the installed quorlin._native is the "after". Times are
processor seconds of this process (less disturbed by other work on a shared
machine than wall-clock time), the best of REPEATS runs taken in turn, and
every pair of results is checked to be identical.

The workers ratios of the same kernels come from the native program
benchmarks/native/workers_bench.cpp (target workers_bench).
"""

import importlib.util
import sys
import time

import numpy as np

REPEATS = 2
CASES = (
    ("optimal_dimension fnn", (100_000, 1_000_000), lambda m, x: m.optimal_dimension(x)),
    ("optimal_dimension cao", (100_000, 1_000_000),
     lambda m, x: m.optimal_dimension(x, method="cao")),
    ("sample_entropy", (100_000, 500_000, 1_000_000, 2_000_000), lambda m, x: m.sample_entropy(x)),
)


def load(path, prefix):
    spec = importlib.util.spec_from_file_location(f"{prefix}._native", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def processor_seconds(call):
    start = time.process_time()
    value = call()
    return time.process_time() - start, value


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    before = load(argv[1], "quorlin_before")
    if len(argv) > 2:
        after = load(argv[2], "quorlin_after")
    else:
        import quorlin._native as after
    rng = np.random.default_rng(20240601)
    for name, sizes, run in CASES:
        previous = None
        for n in sizes:
            x = rng.standard_normal(n)
            best = {"before": float("inf"), "after": float("inf")}
            values = {}
            for _ in range(REPEATS):
                for label, module in (("before", before), ("after", after)):
                    seconds, values[label] = processor_seconds(lambda: run(module, x))
                    best[label] = min(best[label], seconds)
            same = np.float64(values["before"]).tobytes() == np.float64(values["after"]).tobytes()
            growth = "" if previous is None else f"  growth x{best['after'] / previous:.2f}"
            previous = best["after"]
            print(f"{name:24s} N {n:>9,}  before {best['before']:7.3f} s  after {best['after']:7.3f} s"
                  f"  speed-up {best['before'] / best['after']:5.2f}{growth}"
                  f"{'' if same else '  RESULTS DIFFER'}", flush=True)


if __name__ == "__main__":
    main(sys.argv)
