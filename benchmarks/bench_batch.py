"""Series per second of `quorlin.batch` on one and several workers: this
process, a process pool, and a Dask LocalCluster (when dask is installed).

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_batch.py [series] [samples] [max_workers]

The series are random walks and logistic-map orbits saved as .npy files, so
that the workers read them as a user's would. Throughput is the count over
the wall time of the whole run (pool or cluster start-up included for the
pool, not for the cluster, which a user starts once). On a machine shared
with other work, compare the rates within one run.
"""

import os
import sys
import tempfile
import time

import numpy as np

from quorlin.batch import batch


def make(folder, count, n):
    rng = np.random.default_rng(0)
    for i in range(count):
        if i % 2:
            x = np.cumsum(rng.standard_normal(n))
        else:
            x, v = np.empty(n), 0.1 + 0.8 * rng.random()
            for k in range(n):
                v = 3.9 * v * (1 - v)
                x[k] = v
        np.save(os.path.join(folder, f"s{i:04d}.npy"), x)
    return os.path.join(folder, "*.npy")


def rate(label, run, count):
    begun = time.perf_counter()
    rows = run()
    seconds = time.perf_counter() - begun
    assert len(rows) == count and not any(r["error"] for r in rows)
    print(f"  {label:<32}{seconds:8.2f} s  {count / seconds:7.2f} series/s")
    return rows


def main(count=24, n=2000, max_workers=2):
    with tempfile.TemporaryDirectory() as folder:
        pattern = make(folder, count, n)
        print(f"{count} series of {n} samples, default settings")
        rate("this process (1 worker)", lambda: batch(pattern, executor="inline"), count)
        for jobs in range(1, max_workers + 1):
            rate(f"process pool, {jobs} worker{'s' if jobs > 1 else ''}",
                 lambda: batch(pattern, executor="process", jobs=jobs), count)
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("  (dask.distributed not installed: no cluster rates)")
            return
        for workers in range(1, max_workers + 1):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                client.wait_for_workers(workers)
                rate(f"Dask LocalCluster, {workers} worker{'s' if workers > 1 else ''}",
                     lambda: batch(pattern, client=client), count)


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
