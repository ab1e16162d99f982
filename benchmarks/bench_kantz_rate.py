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
series with the defaults. With ``--workers 1 2`` each build also runs on two
workers; the runs then take turns instead of running at once (two builds on
two workers each would only measure the machine), and each reports the wall
time per percent beside the processor time of all its threads, and its wall
time against the same build's first worker count:

    python benchmarks/bench_kantz_rate.py 100000 --workers 1 2 --rounds 2

On a machine that others share, the wall time of the workers tells more
about their load than about the code; "less queueing" takes off the time the
busiest thread of the call spent waiting for a core (from the scheduler's
per-thread statistics), which leaves its own work and its waits for the other
threads.

The progress callback marks when the follow-up's pass reaches the window's two fractions of its rows, and ends the call at the
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


def _thread_clocks():
    """Per thread of this process: (seconds on a core, seconds waiting for one)."""
    clocks = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                run, wait = f.read().split()[:2]
        except (OSError, ValueError):
            continue
        clocks[tid] = (int(run) / 1e9, int(wait) / 1e9)
    return clocks


def child(n, low, high, workers):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import bench_workers as bw
    from quorlin import _parallel

    x = bw.lorenz_x(n)
    marks = {}

    def progress(phase, done, total):
        # The phases before the pass prepare (on several workers, a phase
        # per parallel step of the tree's build) and list every reference's
        # partners once (n - 2 references); the pass (or the passes, counted
        # together) counts its rows, the references and the steps, more than
        # n.
        if total <= n:
            return
        fraction = done / total
        if fraction >= low and "low" not in marks:
            marks["low"] = (fraction, time.process_time(), time.perf_counter(), _thread_clocks())
        if fraction >= high:
            marks["high"] = (fraction, time.process_time(), time.perf_counter(), _thread_clocks())
            raise _Stop

    try:
        _parallel.lyapunov_kantz(x, None, None, None, None, None, workers, progress)
    except _Stop:
        pass
    (f0, c0, w0, t0), (f1, c1, w1, t1) = marks["low"], marks["high"]
    percent = (f1 - f0) * 100
    # The thread that ran longest in the window is the one the call waits
    # on; the time it spent queued for a core (other processes' load) is
    # taken off the wall time.
    busiest = max(t1, key=lambda tid: t1[tid][0] - t0.get(tid, (0.0, 0.0))[0])
    queued = t1[busiest][1] - t0.get(busiest, (0.0, 0.0))[1]
    print(f"{(c1 - c0) / percent:.4f} {(w1 - w0) / percent:.4f} "
          f"{(w1 - w0 - queued) / percent:.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("n", type=int, help="samples of the Lorenz x series")
    parser.add_argument("--build", nargs="+", default=[""],
                        help="directories holding a quorlin package (default: the installed one)")
    parser.add_argument("--window", type=float, nargs=2, default=[0.03, 0.05],
                        metavar=("LOW", "HIGH"), help="fractions of the pass (default 0.03 0.05)")
    parser.add_argument("--workers", type=int, nargs="+", default=[1],
                        help="worker counts to run each build with (default 1)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="times to run every build and worker count (default 1)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    low, high = args.window
    if args.child:
        child(args.n, low, high, args.workers[0])
        return

    def start(build, workers):
        env = dict(os.environ)
        if build:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
        command = [sys.executable, __file__, str(args.n), "--window", str(low), str(high),
                   "--workers", str(workers), "--child"]
        return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True)

    def finish(process):
        out, _ = process.communicate()
        if process.returncode != 0:
            return None
        cpu, wall, unqueued = (float(v) for v in out.split()[-3:])
        return cpu, wall, unqueued

    print(f"kantz@{args.n}, pass {low:.0%} to {high:.0%}, load {os.getloadavg()[0]:.2f}")
    together = args.workers == [1]
    for _ in range(args.rounds):
        first_cpu = None
        if together:
            runs = [(build, 1, start(build, 1)) for build in args.build]
            results = [(build, w, finish(p)) for build, w, p in runs]
        else:
            results = [(build, w, finish(start(build, w)))
                       for build in args.build for w in args.workers]
        first_wall = {}
        for build, workers, result in results:
            name = f"{build or 'installed'} w={workers}"
            if result is None:
                print(f"  {name}: failed")
                continue
            cpu, wall, unqueued = result
            first_cpu = first_cpu or cpu
            first_wall.setdefault(build, (wall, unqueued))
            line = f"  {name:44s} cpu {cpu:7.3f} s per 1 %   x{first_cpu / cpu:.2f} against the first"
            if not together:
                wall0, unqueued0 = first_wall[build]
                line += (f"   wall {wall:7.3f} s, x{wall0 / wall:.2f} against its first;"
                         f" less queueing {unqueued:7.3f} s, x{unqueued0 / unqueued:.2f}")
            print(line)
    print(f"load at the end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
