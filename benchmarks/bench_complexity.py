"""Timings of the complexity measures on 100,000 samples of white noise.

Run by hand from a checkout with the extension built in place:

    PYTHONPATH=python python benchmarks/bench_complexity.py

Each case is run `repeats` times and the best time is reported. If nolds or
antropy happen to be installed, their counterparts are timed on the same data
for comparison (they are not dependencies of quorlin).
"""

import time

import numpy as np

import quorlin

N = 100_000
SEED = 20240601


def best_time(call, repeats):
    best, value = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        value = call()
        best = min(best, time.perf_counter() - start)
    return best, value


def cases(x):
    yield "hurst_exponent", 'method="rs"', lambda: quorlin.hurst_exponent(x), 5
    yield "hurst_exponent", 'method="dfa"', lambda: quorlin.hurst_exponent(x, "dfa"), 5
    for order in (3, 5, 7):
        yield "permutation_entropy", f"order={order}", (
            lambda order=order: quorlin.permutation_entropy(x, order)
        ), 5
    yield "permutation_entropy", "order=12", lambda: quorlin.permutation_entropy(x, 12), 3
    yield "permutation_entropy", "order=100", lambda: quorlin.permutation_entropy(x, 100), 1
    yield "sample_entropy", "m=2, r=0.2*std", lambda: quorlin.sample_entropy(x), 1


def peer_cases(x):
    try:
        import antropy
    except ImportError:
        antropy = None
    try:
        import nolds
    except ImportError:
        nolds = None
    if antropy is not None:
        yield "antropy.perm_entropy", "order=3", lambda: antropy.perm_entropy(x, 3, normalize=True), 3
        yield "antropy.sample_entropy", "order=2", lambda: antropy.sample_entropy(x, 2), 1
    if nolds is not None:
        yield "nolds.hurst_rs", "defaults", lambda: nolds.hurst_rs(x), 1
        yield "nolds.dfa", "defaults", lambda: nolds.dfa(x), 1


def main():
    x = np.random.default_rng(SEED).standard_normal(N)
    print(f"white noise, N = {N}, seed {SEED}")
    print(f"{'function':<24} {'arguments':<18} {'value':>20} {'seconds':>10}")
    for name, arguments, call, repeats in [*cases(x), *peer_cases(x)]:
        seconds, value = best_time(call, repeats)
        print(f"{name:<24} {arguments:<18} {value:>20.12g} {seconds:>10.4f}")


if __name__ == "__main__":
    main()
