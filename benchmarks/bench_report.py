"""Run time of each step of `python -m quorlin` on the built-in Lorenz series.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_report.py [sizes...]

The report caps its input at 20000 samples by default; the neighbour searches
(dimension, Lyapunov, FTLE, sample entropy) grow with the square of the length.
"""

import sys
import time
from contextlib import contextmanager

from quorlin.examples import lorenz_x
from quorlin.report import ANALYSIS_STEPS, Progress, analyse


class Timings(Progress):
    def __init__(self):
        super().__init__(ANALYSIS_STEPS, None, "off")
        self.seconds = {}

    @contextmanager
    def step(self, label):
        start = time.perf_counter()
        yield
        self.seconds[label] = time.perf_counter() - start


def main(sizes):
    for n in sizes:
        x, dt = lorenz_x(n)
        timings = Timings()
        start = time.perf_counter()
        analyse(x, sampling_interval=dt, progress=timings, max_samples=0)
        total = time.perf_counter() - start
        print(f"N = {n}: {total:.2f} s")
        for label, seconds in timings.seconds.items():
            print(f"  {label:<40}{seconds:8.3f} s")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [2000, 5000, 10000, 20000])
