"""Imported before NumPy by the benchmarks that time workers.

NumPy's BLAS starts threads of its own, which spin for a while after each
call it serves: on a machine with few cores they take a core from the
workers being timed (Rosenstein at 100,000 read 1.45 instead of 1.93 on two
cores). Nothing timed here uses a threaded BLAS, so it gets one thread,
unless the caller has set the variables.
"""

import os

for _blas in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_blas, "1")
