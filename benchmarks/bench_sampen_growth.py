"""How sample entropy's cost grows with N on white noise (defaults: m = 2,
r = 0.2 * std), as processor time of the calling thread.

Run by hand from the repository root, with the package installed:

    python benchmarks/bench_sampen_growth.py
    python benchmarks/bench_sampen_growth.py 500000 1000000 2000000 --repeats 5

The engine runs on the calling thread and holds the interpreter lock, so the
thread's processor time is its cost. On a machine shared with other work it is
far steadier than the wall time, which also counts the time the thread waited
for a core; both are printed, with the load average before and after. For
each size after the first: the growth of the processor time from the previous
size, and that growth per doubling of N (1.0 per doubling would be linear).
"""

import argparse
import math
import os
import time

import numpy as np

from quorlin import _native

DEFAULT_SIZES = [10_000, 100_000, 500_000, 1_000_000, 2_000_000]


def best_of(call, repeats):
    """Best processor time and best wall time over the repeats, and the value."""
    cpu = wall = float("inf")
    value = None
    for _ in range(repeats):
        cpu_start, wall_start = time.thread_time(), time.perf_counter()
        value = call()
        cpu = min(cpu, time.thread_time() - cpu_start)
        wall = min(wall, time.perf_counter() - wall_start)
    return cpu, wall, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=DEFAULT_SIZES)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--m", type=int, default=2)
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()

    print("load average %.2f %.2f %.2f" % os.getloadavg())
    print(f"{'N':>10} {'cpu s':>9} {'wall s':>9} {'growth':>7} {'/doubling':>9}  value")
    previous = None
    for n in args.sizes:
        x = np.random.default_rng(args.seed).standard_normal(n)
        cpu, wall, value = best_of(lambda: _native.sample_entropy(x, args.m), args.repeats)
        growth = per_doubling = ""
        if previous is not None and cpu > 0 and previous[1] > 0 and n != previous[0]:
            ratio = cpu / previous[1]
            growth = f"{ratio:.2f}x"
            per_doubling = f"{ratio ** (1 / math.log2(n / previous[0])):.2f}x"
        print(f"{n:>10} {cpu:>9.4f} {wall:>9.4f} {growth:>7} {per_doubling:>9}  {value!r}")
        previous = (n, cpu)
    print("load average %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
