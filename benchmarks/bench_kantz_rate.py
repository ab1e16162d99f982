"""Kantz's follow-up at full size in a minute or two instead of forty: the
processor time of one percent of its pass, in a window of the pass, for
several builds at once.

Run by hand from the repository root:

    python benchmarks/bench_kantz_rate.py 100000 --build /tmp/old /tmp/new
    python benchmarks/bench_kantz_rate.py 40000 --window 0.3 0.32

Each --build is a directory that holds a ``quorlin`` package (an install or a
staged copy with its extension modules); without one, the installed package.
Each build runs in a process of its own, all of them at the same time, so
that they share the machine's load alike: on a shared machine one build,
run one after the other within half an hour, took from 6.2 to 8.4 s per
percent at 100,000 samples. Run the same builds twice to see the spread.

What is timed: ``quorlin._parallel.lyapunov_kantz`` on one worker (the
engine's kernels; the engine itself reports no progress) on the Lorenz x
series with the defaults. The progress callback marks when the follow-up's
pass reaches the window's two fractions of its rows, and ends the call at the
second. Until the pass has covered the first max_iter rows (a fifth of them
under the defaults) references still join the flight, so early windows are
cheaper per row than the steady state, though the pool of diagonals is
already nearly full there; the default window starts at 3 %, where a build's
additions already outweigh its logarithms.
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path


class _Stop(Exception):
    pass


def child(n, low, high):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import bench_workers as bw
    from quorlin import _parallel

    x = bw.lorenz_x(n)
    marks = {}

    def progress(phase, done, total):
        # Phase 0 prepares, phase 1 lists every reference's partners once,
        # phase 2 is the pass (or the passes, counted together).
        if phase < 2 or total == 0:
            return
        fraction = done / total
        if fraction >= low and "low" not in marks:
            marks["low"] = (fraction, time.process_time())
        if fraction >= high:
            marks["high"] = (fraction, time.process_time())
            raise _Stop

    try:
        _parallel.lyapunov_kantz(x, None, None, None, None, None, 1, progress)
    except _Stop:
        pass
    (f0, c0), (f1, c1) = marks["low"], marks["high"]
    print(f"{(c1 - c0) / (f1 - f0) / 100:.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("n", type=int, help="samples of the Lorenz x series")
    parser.add_argument("--build", nargs="+", default=[""],
                        help="directories holding a quorlin package (default: the installed one)")
    parser.add_argument("--window", type=float, nargs=2, default=[0.03, 0.05],
                        metavar=("LOW", "HIGH"), help="fractions of the pass (default 0.03 0.05)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    low, high = args.window
    if args.child:
        child(args.n, low, high)
        return

    processes = []
    for build in args.build:
        env = dict(os.environ)
        if build:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
        command = [sys.executable, __file__, str(args.n), "--window", str(low), str(high),
                   "--child"]
        processes.append(subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True))
    print(f"kantz@{args.n}, pass {low:.0%} to {high:.0%}, load {os.getloadavg()[0]:.2f}")
    first = None
    for build, process in zip(args.build, processes):
        out, _ = process.communicate()
        if process.returncode != 0:
            print(f"  {build or 'installed'}: failed ({process.returncode})")
            continue
        seconds = float(out.split()[-1])
        first = first or seconds
        print(f"  {build or 'installed':40s} cpu {seconds:7.3f} s per 1 %   "
              f"x{first / seconds:.2f} against the first")
    print(f"load at the end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
