"""Timings of the counting measures: sample entropy (template pairs under the
maximum norm), permutation entropy and the Hurst exponent, against the pair
scan and against antropy (and nolds for R/S) where those are installed.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_counting.py [--with-slow-direct]

With the peers (an optional `bench` environment):

    PYTHONPATH=python /work/venvs/bench/bin/python benchmarks/bench_counting.py

"direct" is the test-only twin of the module that always scans every pair
(built on demand from this checkout, see tests/variants.py); "fast" is the
shipped module, which ranks the series at these sizes. The pair scan at
N = 256,000 takes tens of seconds and is timed only with --with-slow-direct.
Every time is the best of a few runs; every result of the two paths is
checked to be identical to the last bit.
"""

import sys
import time
from pathlib import Path

import numpy as np

import quorlin

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "benchmarks"))

from bench_lyapunov import lorenz_x  # noqa: E402

SEED = 20240601
SAMPLE_ENTROPY_SIZES = (20_000, 64_000, 256_000)
DOUBLING_SIZES = (32_000, 64_000, 128_000, 256_000)
SINGLE_PASS_SIZE = 1_000_000


def timed(call):
    """Best time of a few runs (fewer for slow calls) and the result."""
    start = time.perf_counter()
    value = call()
    best = time.perf_counter() - start
    for _ in range(0 if best > 2.0 else 2 if best > 0.2 else 6):
        start = time.perf_counter()
        value = call()
        best = min(best, time.perf_counter() - start)
    return best, value


def load_direct():
    try:
        from variants import load_search_variants

        return load_search_variants()[0]
    except Exception as reason:  # no cmake, no checkout: the table shows no direct column
        print(f"(pair-scan twin unavailable: {reason})")
        return None


def peers():
    found = {}
    try:
        import antropy

        found["sample_entropy"] = lambda x: antropy.sample_entropy(x, order=2)
        found["permutation_entropy"] = lambda x: antropy.perm_entropy(x, order=3, normalize=True)
        found["hurst dfa"] = antropy.detrended_fluctuation
    except ImportError:
        pass
    try:
        import nolds

        found["hurst rs"] = nolds.hurst_rs
    except ImportError:
        pass
    return found


def cell(seconds):
    return f"{seconds:10.4f}" if seconds is not None else f"{'-':>10}"


def ratio(slow, fast):
    return f"{slow / fast:8.1f}x" if slow is not None and fast else f"{'-':>9}"


def row(name, signal, n, direct, fast, peer):
    print(f"{name:<22} {signal:<7} {n:>9} {cell(direct)} {cell(fast)} {ratio(direct, fast)}"
          f" {cell(peer)} {ratio(peer, fast)}")


def main():
    slow_direct = "--with-slow-direct" in sys.argv
    direct_module = load_direct()
    peer = peers()
    largest = max(max(SAMPLE_ENTROPY_SIZES), max(DOUBLING_SIZES))
    signals = {
        "noise": np.random.default_rng(SEED).standard_normal(max(largest, SINGLE_PASS_SIZE)),
        "lorenz": lorenz_x(largest),
    }

    print(f"{'function':<22} {'signal':<7} {'N':>9} {'direct':>10} {'fast':>10} {'ratio':>9}"
          f" {'peer':>10} {'ratio':>9}")
    for name in ("noise", "lorenz"):
        for n in SAMPLE_ENTROPY_SIZES:
            x = signals[name][:n].copy()
            fast, value = timed(lambda: quorlin.sample_entropy(x))
            direct = None
            if direct_module is not None and (n <= 64_000 or slow_direct):
                direct, expected = timed(lambda: direct_module.sample_entropy(x))
                assert np.float64(expected).tobytes() == np.float64(value).tobytes()
            peer_time = timed(lambda: peer["sample_entropy"](x))[0] if "sample_entropy" in peer else None
            row("sample_entropy m=2", name, n, direct, fast, peer_time)

    x = signals["noise"][:SINGLE_PASS_SIZE]
    for label, call, key in (
        ("permutation_entropy 3", lambda: quorlin.permutation_entropy(x, 3), "permutation_entropy"),
        ('hurst_exponent "dfa"', lambda: quorlin.hurst_exponent(x, "dfa"), "hurst dfa"),
        ('hurst_exponent "rs"', lambda: quorlin.hurst_exponent(x), "hurst rs"),
    ):
        fast = timed(call)[0]
        peer_time = timed(lambda: peer[key](x))[0] if key in peer else None
        row(label, "noise", SINGLE_PASS_SIZE, None, fast, peer_time)
    print("peers: antropy sample_entropy, perm_entropy, detrended_fluctuation; nolds hurst_rs")

    print()
    print("sample_entropy m=2 when N doubles (fast path; time and ratio to the previous N)")
    for name in ("noise", "lorenz"):
        previous = None
        for n in DOUBLING_SIZES:
            x = signals[name][:n].copy()
            seconds = timed(lambda: quorlin.sample_entropy(x))[0]
            growth = f"{seconds / previous:6.2f}x" if previous else f"{'':>7}"
            print(f"  {name:<7} {n:>9} {seconds:10.4f} {growth}")
            previous = seconds


if __name__ == "__main__":
    main()
