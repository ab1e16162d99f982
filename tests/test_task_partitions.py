"""The kernels that split their work into tasks give the same bits whatever
the number of threads running them."""

import subprocess

import pytest

from variants import Unavailable, build_workers_check


def test_native_workers_check():
    """Sample entropy (scan, cell groups, sweep) and optimal dimension (FNN
    and Cao, trees and scans) with 1, 2, 3 and 7 workers on generated series."""
    try:
        program = build_workers_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program), "5"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
