"""The two FTLE estimators at large sizes: one core before/after a change,
and one worker against several, each measured as ratios within one run.

Inputs: the built-in example (Lorenz x) and Gaussian white noise of the same
length; ftle_local_linearization on their 3-column delay embedding (delay 1),
ftle_direct_perturbation on the series, all with their defaults.

- One core: `--before PATH` names a _native module built from another commit
  (e.g. `cmake -S <old checkout> -B /tmp/old && cmake --build /tmp/old`); it is
  loaded beside this checkout's module under another package name and the two
  run alternately, CPU time (process_time) compared. Bits must match.
- Workers: the kernels are run natively with 1 and `--workers` threads
  (benchmarks/ftle_workers.cpp, built into the test build directory),
  alternately, wall-clock time compared. Bits must match.

On a shared machine the absolute times are noisy; the ratios, measured
side by side, are the result. Run from the repository root, e.g.
    python benchmarks/bench_ftle_workers.py --before /tmp/old/_native*.so 20000 100000
"""

import argparse
import importlib.util
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import one_thread_blas  # noqa: E402,F401  (before NumPy: BLAS on one thread)

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import quorlin  # noqa: E402
from quorlin import _native  # noqa: E402
from quorlin.examples import lorenz_x  # noqa: E402
from variants import BUILD, _build  # noqa: E402


def load_module(path, package):
    found = importlib.util.spec_from_file_location(f"{package}._native", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def inputs(n):
    x = lorenz_x(n + 2)[0]
    noise = np.random.default_rng(0).standard_normal(n + 2)
    return {"lorenz": x, "noise": noise}


def cpu_time(function, *args):
    start = time.process_time()
    result = function(*args)
    return time.process_time() - start, result


def same_bits(a, b):
    return all(u.tobytes() == v.tobytes() for u, v in zip(a, b))


def one_core(before, n, repeats):
    for name, signal in inputs(n).items():
        trajectory = _native.time_delay_embedding(signal)
        for function, data in (("ftle_local_linearization", trajectory),
                               ("ftle_direct_perturbation", signal)):
            times = {"before": [], "after": []}
            results = {}
            for _ in range(repeats):
                for label, module in (("before", before), ("after", _native)):
                    seconds, results[label] = cpu_time(getattr(module, function), data)
                    times[label].append(seconds)
            old, new = min(times["before"]), min(times["after"])
            print(f"{function:<26}{name:<8}{n:>8}  one core  before {old:8.2f} s  "
                  f"after {new:7.2f} s  ratio {old / new:6.2f}  "
                  f"same bits {same_bits(results['before'], results['after'])}", flush=True)


def workers(program, n, count, repeats):
    for name, signal in inputs(n).items():
        trajectory = np.ascontiguousarray(_native.time_delay_embedding(signal))
        for function, data in (("local", trajectory), ("direct", signal)):
            with tempfile.NamedTemporaryFile(suffix=".f64", delete=False) as f:
                f.write(np.ascontiguousarray(data).tobytes())
            try:
                rows, columns = data.shape if data.ndim == 2 else (data.shape[0], 1)
                done = subprocess.run([str(program), function, f.name, str(rows), str(columns),
                                       str(count), str(repeats)], capture_output=True, text=True)
            finally:
                os.unlink(f.name)
            seconds, cpu = {}, {}
            for line in done.stdout.splitlines():
                if line.startswith("workers"):
                    _, w, _, s, _, c = line.split()
                    seconds.setdefault(int(w), []).append(float(s))
                    cpu.setdefault(int(w), []).append(float(c))
            one, many = min(seconds[1]), min(seconds[count])
            print(f"ftle_{function:<21}{name:<8}{n:>8}  workers=1 {one:7.2f} s  "
                  f"workers={count} {many:7.2f} s  ratio {one / many:5.2f}  "
                  f"(cpu {min(cpu[1]):.2f} / {min(cpu[count]):.2f} s)  "
                  f"same bits {done.returncode == 0}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[20_000, 100_000])
    parser.add_argument("--before", help="a _native module built from another commit")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    before = load_module(args.before, "before") if args.before else None
    _build(["ftle_workers"], BUILD)
    program = Path(BUILD) / "ftle_workers"
    for n in args.sizes:
        if before is not None:
            one_core(before, n, args.repeats)
        workers(program, n, args.workers, args.repeats)
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
