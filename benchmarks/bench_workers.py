"""One core before and after, and every core: the long computations timed
side by side in one process.

Run by hand from the repository root, with the package installed (or staged
on PYTHONPATH):

    python benchmarks/bench_workers.py                      # the default cases
    python benchmarks/bench_workers.py kantz@40000 sampen@100000 --repeats 3
    python benchmarks/bench_workers.py local@20000 --workers 2 3 4 --no-baseline
    python benchmarks/bench_workers.py --list

Each case is FUNCTION@N (a suffix ``/after`` skips the baseline for that case,
for sizes where the old code takes too long). Three builds of the same
function run interleaved, round by round, on the same input:

* before: ``quorlin._native`` of a baseline git revision (``--baseline``),
  exported with ``git archive`` and built into build-bench/REV/ the first
  time, then loaded from its file under another package name, beside the
  current one;
* after: the current ``quorlin._native`` (one thread, the lock held);
* workers=W: the current ``quorlin._parallel`` with W threads, for each W of
  ``--workers``.
* with ``--baseline-workers``, also the baseline's ``quorlin._parallel`` at
  the first W ("w=W bef"), and its time over the current one's: what a change
  did to the workers, measured in the same run.

Every variant's result is compared with the current engine's to the last bit
(the "same" column). Reported per case: the best wall time of each variant
over the rounds, before/after, and after/workers=W.

Then, unless ``--no-thread-check``: how fast a second Python thread counts
while a workers call runs, against its free speed (the goal: half or more),
and while the engine runs (it holds the lock, so about nothing). Last, the
serial fraction s that fits the worker timings by Amdahl's law,
T(W) = T(1) (s + (1 - s) / W), per case and over all cases, and the speed-up
it predicts for 16 cores.

Timings on a shared machine are noisy: the ratios within one run are what
count, and the load average is printed with them. With W at or above the
number of idle cores the workers ratio measures the machine, not the code.
"""

import argparse
import importlib.machinery
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import one_thread_blas  # noqa: E402,F401  (before NumPy: BLAS on one thread)

import numpy as np

from quorlin import _native, _parallel
from quorlin.examples import lorenz

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_BASELINE = "1750fc3"
FTLE = ("ftle_local_linearization", "ftle_direct_perturbation")


def lorenz_x(n, dt=0.01, transient=2000):
    """x(t) of the Lorenz system (sigma 10, rho 28, beta 8/3) by fixed-step
    RK4, one sample per step of 0.01, after a transient."""
    return np.ascontiguousarray(lorenz(n, step=dt, steps_per_sample=1,
                                       transient_steps=transient)[:, 0])


def lorenz_embedded(n, delay=10):
    """n rows of the 3-D delay embedding of the Lorenz x series (delay 10)."""
    x = lorenz_x(n + 2 * delay)
    return _native.time_delay_embedding(x, 3, delay)


def white_noise(n, seed=20240601):
    return np.random.default_rng(seed).standard_normal(n)


# name: (engine function, input of N samples, keyword arguments)
CASES = {
    "kantz": ("lyapunov_kantz", lorenz_x, {}),
    "rosenstein": ("lyapunov_rosenstein", lorenz_x, {}),
    "local": ("ftle_local_linearization", lorenz_embedded, {}),
    "local-noise": ("ftle_local_linearization",
                    lambda n: white_noise(3 * n).reshape(n, 3), {}),
    "direct": ("ftle_direct_perturbation", lorenz_x, {}),
    "dimension": ("optimal_dimension", white_noise, {}),
    "cao": ("optimal_dimension", white_noise, {"method": "cao"}),
    "sampen": ("sample_entropy", white_noise, {}),
    "hurst": ("hurst_exponent", white_noise, {}),
    "dfa": ("hurst_exponent", white_noise, {"method": "dfa"}),
    "permutation": ("permutation_entropy", white_noise, {"order": 7}),
    "delay": ("optimal_delay", lorenz_x, {}),
}
DEFAULT_CASES = ["kantz@40000", "kantz@100000/after", "local@100000", "rosenstein@100000",
                 "direct@100000", "dimension@100000", "sampen@100000"]


# ---------------------------------------------------------------------------
# The baseline build


def baseline_module(revision, build_root, target="_native"):
    """quorlin._native (or `target`, e.g. _parallel) of `revision`, built once
    into build_root/REV and loaded under the package name quorlin_baseline
    (its init symbol is the current module's, so only the name it is
    imported under differs)."""
    full = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short=12", revision],
                          capture_output=True, text=True, check=True).stdout.strip()
    home = Path(build_root) / full
    source, build = home / "source", home / (sysconfig.get_config_var("SOABI") or "build")
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    path = build / (target + suffix)
    if not path.exists():
        print(f"building the baseline {full} in {home} ...", file=sys.stderr, flush=True)
        if not source.exists():
            source.mkdir(parents=True)
            archive = subprocess.run(["git", "-C", str(ROOT), "archive", full],
                                     capture_output=True, check=True).stdout
            subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        configure = ["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        for command in (configure, ["cmake", "--build", str(build), "--target", target]):
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                sys.exit(done.stdout + done.stderr)
    spec = importlib.util.spec_from_file_location(f"quorlin_baseline.{target}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module, full


# ---------------------------------------------------------------------------
# Variants and timing


def threaded(name, workers, module=_parallel):
    """The threaded module's function with the engine's calling convention."""
    signature = inspect.signature(getattr(_native, name))
    function = getattr(module, name)
    tail = (None,) if name in FTLE else ()

    def call(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        return function(*bound.args, *tail, workers, None)

    return call


def same_bits(a, b):
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same_bits, a, b))
    return np.asarray(a).tobytes() == np.asarray(b).tobytes() and np.shape(a) == np.shape(b)


def parse_case(text):
    name, _, rest = text.partition("@")
    size, _, flag = rest.partition("/")
    if name not in CASES or not size.isdigit() or flag not in ("", "after"):
        sys.exit(f"unknown case {text!r}: expected FUNCTION@N[/after], FUNCTION one of "
                 f"{', '.join(CASES)}")
    return name, int(size), flag == "after"


def run_case(name, n, variants, repeats):
    """Best wall seconds per variant, interleaved round by round, and whether
    each variant's result has the current engine's bits."""
    engine_name, make_input, kwargs = CASES[name]
    data = make_input(n)
    best = {label: float("inf") for label, _ in variants}
    same = {label: True for label, _ in variants}
    reference = None
    for _ in range(repeats):
        for label, function in variants:
            start = time.perf_counter()
            result = function(data, **kwargs)
            best[label] = min(best[label], time.perf_counter() - start)
            if label == "after":
                reference = result
            elif reference is not None:
                same[label] = same[label] and same_bits(result, reference)
    return best, same


def amdahl_terms(one, timings):
    """Amdahl's T(W) / T(1) = s + (1 - s) / W is T(W) / T(1) - 1 / W =
    s (1 - 1 / W): a line through the origin. The sums (x y, x x) of its
    least-squares fit over (W, T(W))."""
    xy = xx = 0.0
    for w, t in timings:
        x = 1.0 - 1.0 / w
        xy += x * (t / one - 1.0 / w)
        xx += x * x
    return xy, xx


def amdahl_text(s):
    # Outside [0, 1] the workers were slower than one core (s > 1), or
    # faster than W cores (s < 0): no prediction.
    speedup = f"{1 / (s + (1 - s) / 16):5.1f}x" if 0.0 <= s <= 1.0 else "    -"
    return f"s = {s:6.3f}   16 cores: {speedup}"


# ---------------------------------------------------------------------------
# A second Python thread


def counting_speed(seconds, call=None):
    """Iterations per second of a pure-Python loop on a second thread over
    `seconds`: alone, or while this thread calls call() over and over."""
    stop = threading.Event()
    counted = [0]

    def count():
        k = 0
        while not stop.is_set():
            k += 1
            if k & 255 == 0:
                counted[0] = k

    thread = threading.Thread(target=count)
    thread.start()
    time.sleep(0.05)  # running, and past its first switch interval
    first, start = counted[0], time.perf_counter()
    calls = 0
    while time.perf_counter() - start < seconds:
        if call is None:
            time.sleep(0.01)
        else:
            call()
            calls += 1
    last, elapsed = counted[0], time.perf_counter() - start
    stop.set()
    thread.join()
    return (last - first) / elapsed, calls


def thread_check(name, n, workers, seconds=3.0):
    engine_name, make_input, kwargs = CASES[name]
    data = make_input(n)
    engine = getattr(_native, engine_name)
    parallel = threaded(engine_name, workers)
    free, _ = counting_speed(seconds)
    during_workers, calls_workers = counting_speed(seconds, lambda: parallel(data, **kwargs))
    during_engine, calls_engine = counting_speed(seconds, lambda: engine(data, **kwargs))
    free = (free + counting_speed(seconds)[0]) / 2
    print(f"\nsecond Python thread while {name}@{n} runs over and over for {seconds:g} s "
          f"({calls_workers} calls with workers={workers}, {calls_engine} in the engine):")
    print(f"  free {free:,.0f} iterations/s; during workers={workers}: "
          f"{during_workers / free:.0%} of free; during the engine: {during_engine / free:.0%}")


# ---------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cases", nargs="*", help="FUNCTION@N[/after] (default: %(default)s)",
                        default=DEFAULT_CASES)
    parser.add_argument("--baseline", default=DEFAULT_BASELINE,
                        help="git revision of the 'before' build (default %(default)s)")
    parser.add_argument("--no-baseline", action="store_true", help="time only the current build")
    parser.add_argument("--baseline-workers", action="store_true",
                        help="also time the baseline's threaded module at the first worker count "
                             "(column 'w=W bef'), to see what a change did to the workers")
    parser.add_argument("--build-root", default=str(ROOT / "build-bench"),
                        help="where baseline builds are kept (default %(default)s)")
    parser.add_argument("--workers", type=int, nargs="+", default=[2],
                        help="worker counts to time (default: 2)")
    parser.add_argument("--repeats", type=int, default=1, help="rounds per case (default 1)")
    parser.add_argument("--thread-check", default="local@10000", metavar="FUNCTION@N",
                        help="case for the second-thread check (default %(default)s)")
    parser.add_argument("--no-thread-check", action="store_true")
    parser.add_argument("--list", action="store_true", help="list the functions and exit")
    options = parser.parse_args()
    if options.list:
        for name, (engine_name, make_input, kwargs) in CASES.items():
            print(f"{name:<12} {engine_name}({make_input.__name__}(N), **{kwargs})")
        return
    cases = [parse_case(text) for text in options.cases]
    if any(w < 2 for w in options.workers):
        sys.exit("--workers: counts of 2 or more (1 is the engine itself, timed as 'after')")

    baseline = None
    if not options.no_baseline and not all(after_only for _, _, after_only in cases):
        baseline, revision = baseline_module(options.baseline, options.build_root)
        print(f"before: {revision}; after: the current build")
    baseline_threaded = None
    if baseline is not None and options.baseline_workers:
        baseline_threaded, _ = baseline_module(options.baseline, options.build_root, "_parallel")
    w_first = options.workers[0]

    print(f"cores usable: {len(os.sched_getaffinity(0))}; load average at start: "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    header = f"{'case':<22}{'before':>9}{'after':>9}" + "".join(
        f"{f'w={w}':>9}" for w in options.workers) + f"{'bef/aft':>9}" + "".join(
        f"{f'1/w={w}':>9}" for w in options.workers) + (
        f"{f'w={w_first} bef':>10}{'bef/aft':>9}" if baseline_threaded is not None else "") + "  same"
    print(header)
    print("-" * len(header))
    fits = []
    for name, n, after_only in cases:
        engine_name = CASES[name][0]
        variants = []
        if baseline is not None and not after_only:
            variants.append(("before", getattr(baseline, engine_name)))
        variants.append(("after", getattr(_native, engine_name)))
        variants += [(f"w={w}", threaded(engine_name, w)) for w in options.workers]
        if baseline_threaded is not None and not after_only:
            variants.append(("w before", threaded(engine_name, w_first, baseline_threaded)))
        best, same = run_case(name, n, variants, options.repeats)
        before = best.get("before")
        cells = [f"{before:9.3f}" if before else f"{'-':>9}", f"{best['after']:9.3f}"]
        cells += [f"{best[f'w={w}']:9.3f}" for w in options.workers]
        cells.append(f"{before / best['after']:9.2f}" if before else f"{'-':>9}")
        cells += [f"{best['after'] / best[f'w={w}']:9.2f}" for w in options.workers]
        if baseline_threaded is not None:
            old = best.get("w before")
            cells += ([f"{old:10.3f}", f"{old / best[f'w={w_first}']:9.2f}"] if old
                      else [f"{'-':>10}", f"{'-':>9}"])
        differ = [label for label, ok in same.items() if not ok]
        print(f"{f'{name}@{n}':<22}" + "".join(cells) + "  " +
              ("yes" if not differ else "NO: " + ", ".join(differ)), flush=True)
        timings = [(w, best[f"w={w}"]) for w in options.workers]
        fits.append((f"{name}@{n}", best["after"], timings))

    print(f"load average at end: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print("\nAmdahl: serial fraction s from T(W) = T(1) (s + (1 - s) / W); "
          "speed-up predicted for 16 cores")
    total = [0.0, 0.0]
    for label, one, timings in fits:
        xy, xx = amdahl_terms(one, timings)
        total = [total[0] + xy, total[1] + xx]
        print(f"  {label:<22} {amdahl_text(xy / xx)}")
    if len(fits) > 1:
        print(f"  {'all cases':<22} {amdahl_text(total[0] / total[1])}")

    if not options.no_thread_check:
        name, n, _ = parse_case(options.thread_check)
        thread_check(name, n, max(options.workers))


if __name__ == "__main__":
    main()
