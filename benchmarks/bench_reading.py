"""Time and peak memory of reading a series for the report, per kind of file.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_reading.py [megabytes]

Each file is read by `quorlin.reading.load_series` in a fresh interpreter, so
that the peak resident size (VmHWM) belongs to that read alone; the
interpreter with NumPy imported is measured the same way and subtracted. The
figures to watch are the ratios to the file size: reading streams the file and
keeps 8 bytes per number of the wanted column(s), so the extra peak stays well
below the file size.
"""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

# VmHWM, not ru_maxrss: the latter survives exec and would report the peak
# of this parent process, which built the files.
CHILD = """
import sys, time
import numpy
start = time.perf_counter()
if sys.argv[1] != "-":
    try:
        from quorlin.reading import load_series
    except ImportError:                 # builds from before the reader had its own module
        from quorlin.report import load_series
    values = load_series(sys.argv[1], sys.argv[2] or None).values
seconds = time.perf_counter() - start
peak = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
            if line.startswith("VmHWM:"))
print(seconds, peak)
"""


def measure(path, column=""):
    done = subprocess.run([sys.executable, "-c", CHILD, path, column], capture_output=True,
                          text=True, check=True)
    seconds, peak = done.stdout.split()
    return float(seconds), int(peak)


def write_files(directory, megabytes):
    rng = np.random.default_rng(0)
    rows = int(megabytes * 1e6 / 22)
    x = rng.standard_normal(rows)
    one = os.path.join(directory, "one_column.csv")
    with open(one, "w") as f:
        f.write("value\n")
        f.write("\n".join(map(repr, x.tolist())))
    two = os.path.join(directory, "time_value.csv")
    rows_two = rows // 2
    with open(two, "w") as f:
        f.write("time,value\n")
        f.writelines(f"{i * 0.001!r},{v!r}\n" for i, v in enumerate(x[:rows_two].tolist()))
    npy = os.path.join(directory, "table.npy")
    np.save(npy, rng.standard_normal((int(megabytes * 1e6 / 8 / 4), 4)))
    return [(one, ""), (two, "value"), (npy, "2")]


def main(megabytes):
    _, baseline = measure("-")
    with tempfile.TemporaryDirectory() as directory:
        for path, column in write_files(directory, megabytes):
            size = os.path.getsize(path)
            seconds, peak = measure(path, column)
            print(f"{os.path.basename(path):<16} {size / 1e6:7.1f} MB  {seconds:6.2f} s  "
                  f"extra peak {(peak - baseline) / 1e6:7.1f} MB = {(peak - baseline) / size:5.2f} x "
                  "the file")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 50.0)
