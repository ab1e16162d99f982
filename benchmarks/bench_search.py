"""Timings of every neighbour-based function: the fast exact searches against
the exhaustive scans, and Rosenstein's method against nolds.

Input: the x coordinate of the Lorenz system (sigma = 10, rho = 28,
beta = 8/3) by fixed-step fourth-order Runge-Kutta, dt = 0.01, after a
transient of 2,000 steps. Every function runs with its defaults;
ftle_local_linearization on the (n, 3) delay embedding with delay 10.

The direct and fast columns come from the test-only twins of the module
(tests/variants.py), which always scan or always take the fast searches, run
one after the other on the same input in one process (a fresh child process
per function and size, so that the fast path's peak memory can be read).
Times are CPU seconds of that process (the machine may be shared; wall times
are printed alongside). The results of the two paths are compared bit for
bit.

Run from the repository root, with the peer libraries installed for the
nolds column:

    PYTHONPATH=python /work/venvs/bench/bin/python benchmarks/bench_search.py
    PYTHONPATH=python python benchmarks/bench_search.py --sizes 20000 --no-peer

A direct scan estimated (from the quadratic or, for Kantz, cubic growth of
the measured one) to take longer than --direct-limit seconds is skipped and
marked as such; so is a fast run estimated beyond --fast-limit.
"""

import argparse
import hashlib
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from quorlin.examples import lorenz

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

FUNCTIONS = [
    # (label, function, keyword arguments, exponent of the direct scan's growth)
    ("lyapunov_rosenstein", "lyapunov_rosenstein", {}, 2),
    ("lyapunov_kantz", "lyapunov_kantz", {}, 3),
    ("ftle_direct_perturbation", "ftle_direct_perturbation", {}, 2),
    ("ftle_local_linearization", "ftle_local_linearization", {}, 2),
    ("optimal_dimension fnn", "optimal_dimension", {}, 2),
    ("optimal_dimension cao", "optimal_dimension", {"method": "cao"}, 2),
]
# The fast Kantz grows with pairs x steps, about N^3 with the default radius
# and step count.
FAST_GROWTH = {"lyapunov_kantz": 3, "ftle_local_linearization": 2}


def lorenz_x(n, dt=0.01, transient=2000):
    """x(t) of the Lorenz system (sigma 10, rho 28, beta 8/3) by fixed-step RK4,
    one sample per step, after `transient` steps."""
    trajectory = lorenz(n, step=dt, steps_per_sample=1, transient_steps=transient)
    return np.ascontiguousarray(trajectory[:, 0])


def digest(result):
    """A hash of the result's bits, to compare the two paths."""
    h = hashlib.sha256()
    for part in result if isinstance(result, tuple) else (result,):
        h.update(np.asarray(part).tobytes())
    return h.hexdigest()[:16]


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# ------------------------------------------------------------- child side


def child(args):
    """Runs the requested paths one after the other in this process and
    prints one JSON line per path."""
    x = np.load(args.signal)
    if args.paths == "nolds":
        import nolds

        runs = {"nolds": lambda: nolds.lyap_r(x, emb_dim=3, lag=1, min_tsep=3,
                                              trajectory_len=min(len(x) // 10, 500), fit="poly")}
    else:
        from variants import load_search_variants

        modules = dict(zip(("direct", "fast"), load_search_variants()))
        kwargs = json.loads(args.kwargs)
        argument = x
        if args.function == "ftle_local_linearization":
            argument = modules["direct"].time_delay_embedding(x, 3, 10)
        runs = {path: (lambda f=getattr(modules[path], args.function): f(argument, **kwargs))
                for path in args.paths.split(",")}
    for path, run in runs.items():
        # The peak resident size only grows: the first path's growth is its
        # own peak working memory; the fast path is therefore run first.
        before = peak_rss_mb()
        best = None
        for _ in range(args.repeat if path == "fast" else 1):
            cpu, wall = time.process_time(), time.perf_counter()
            result = run()
            cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
            best = (cpu, wall) if best is None or cpu < best[0] else best
        print(json.dumps({"path": path, "cpu": best[0], "wall": best[1],
                          "extra_mb": peak_rss_mb() - before,
                          "digest": digest(result) if path != "nolds" else ""}), flush=True)


def measure(signal_path, paths, function="", kwargs=None, repeat=1):
    """{path: measurement} for the comma-separated paths, run in one child."""
    command = [sys.executable, __file__, "--child", "--signal", str(signal_path), "--paths", paths,
               "--function", function, "--kwargs", json.dumps(kwargs or {}),
               "--repeat", str(repeat)]
    # One BLAS thread: idle NumPy threads would otherwise spin on the other
    # core and be counted in the process's CPU time.
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError(done.stdout + done.stderr)
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    return {line["path"]: line for line in lines}


# ------------------------------------------------------------ parent side


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[20000, 100000])
    parser.add_argument("--direct-limit", type=float, default=300.0)
    parser.add_argument("--fast-limit", type=float, default=300.0)
    parser.add_argument("--no-peer", action="store_true")
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--signal")
    parser.add_argument("--paths")
    parser.add_argument("--function", default="")
    parser.add_argument("--kwargs", default="{}")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    if args.child:
        return child(args)

    from variants import load_search_variants

    load_search_variants()  # built once here, loaded by every child
    work = Path(tempfile.mkdtemp())
    rows, measured = [], {}
    header = (f"{'function':<26}{'N':>8}{'direct s':>11}{'fast s':>9}{'ratio':>8}"
              f"{'peer s':>9}{'ratio':>8}{'fast MB':>9}  wall direct/fast")
    print(header)
    print("-" * len(header))
    for n in sorted(args.sizes):
        signal_path = work / f"lorenz_{n}.npy"
        np.save(signal_path, lorenz_x(n))
        for label, function, kwargs, growth in FUNCTIONS:
            previous = measured.get(label)
            estimate = None
            if previous is not None:
                estimate = previous["direct_cpu"] * (n / previous["n"]) ** growth
            fast_estimate = None
            if previous is not None:
                fast_estimate = previous["fast_cpu"] * (n / previous["n"]) ** FAST_GROWTH.get(function, 1)
            if fast_estimate is not None and fast_estimate > args.fast_limit:
                print(f"{label:<26}{n:>8}  fast skipped (estimated {fast_estimate:.0f} s), "
                      f"direct estimated {estimate:.0f} s")
                continue
            with_direct = estimate is None or estimate <= args.direct_limit
            runs = measure(signal_path, "fast,direct" if with_direct else "fast", function, kwargs,
                           repeat=3 if n <= 20000 else 1)
            fast, direct = runs["fast"], runs.get("direct")
            if direct is not None:
                measured[label] = {"n": n, "direct_cpu": direct["cpu"], "fast_cpu": fast["cpu"]}
            if direct is not None and direct["digest"] != fast["digest"]:
                raise SystemExit(f"{label} N={n}: the fast path's result differs from the scan's")
            direct_text = f"{direct['cpu']:>11.3f}" if direct else f"{'~' + format(estimate, '.0f'):>11}"
            ratio = (direct["cpu"] if direct else estimate) / fast["cpu"]
            peer_text, peer_ratio = f"{'':>9}", f"{'':>8}"
            wall = f"{direct['wall']:.3f}/" if direct else "skipped/"
            print(f"{label:<26}{n:>8}{direct_text}{fast['cpu']:>9.3f}{ratio:>8.1f}"
                  f"{peer_text}{peer_ratio}{fast['extra_mb']:>9.1f}  {wall}{fast['wall']:.3f}")
    if not args.no_peer:
        n = 16000
        signal_path = work / f"lorenz_{n}.npy"
        np.save(signal_path, lorenz_x(n))
        ours = measure(signal_path, "fast", "lyapunov_rosenstein", {}, repeat=3)["fast"]
        try:
            peer = measure(signal_path, "nolds")["nolds"]
        except RuntimeError as failure:
            print(f"nolds unavailable: {str(failure).strip().splitlines()[-1]}")
        else:
            print(f"{'lyapunov_rosenstein':<26}{n:>8}{'':>11}{ours['cpu']:>9.3f}{'':>8}"
                  f"{peer['cpu']:>9.3f}{peer['cpu'] / ours['cpu']:>8.1f}{ours['extra_mb']:>9.1f}"
                  f"  nolds lyap_r (emb_dim=3, lag=1, min_tsep=3, trajectory_len=500, "
                  f"fit='poly'): wall {peer['wall']:.3f} s, peak +{peer['extra_mb']:.0f} MB")
    print("Times are CPU seconds of one call (the best of three for the fast path up to N = 20,000);"
          " '~' marks an estimate of a skipped scan; MB is the peak resident growth during the call.")


if __name__ == "__main__":
    main()
