"""Agreement of quorlin with nolds and antropy, the numbers quoted in the
README's section "quorlin and its peers".

Run by hand; nolds and antropy are not dependencies of quorlin:

    python -m pip install nolds antropy
    python benchmarks/compare_peers.py

(nolds 0.6.3 fails to import on some Pythons; 0.6.2 works.)
"""

import math
import warnings

import numpy as np

import quorlin
from quorlin.examples import lorenz_x

warnings.filterwarnings("ignore")  # the peers' own deprecation chatter
import antropy  # noqa: E402
import nolds  # noqa: E402


def series(n, seed=0):
    rng = np.random.default_rng(seed)
    return {"white noise": rng.standard_normal(n), "random walk": np.cumsum(rng.standard_normal(n)),
            "Lorenz x": lorenz_x(n)[0]}


def dfa_scales(n):
    """The window sizes quorlin's DFA uses for n samples."""
    span = math.log10(min(0.25 * n, 100)) - 1
    scales = []
    for i in range(20):
        s = int(10 ** ((i * span) / 19 + 1))
        if not scales or scales[-1] != s:
            scales.append(s)
    return scales


def permutation_entropy():
    worst = 0.0
    for x in series(3000).values():
        for order in range(3, 8):
            for delay in (1, 2, 3, 10):
                for normalize in (True, False):
                    ours = quorlin.permutation_entropy(x, order, delay, normalize)
                    theirs = antropy.perm_entropy(x, order=order, delay=delay, normalize=normalize)
                    worst = max(worst, abs(ours - theirs))
    print(f"permutation entropy vs antropy.perm_entropy: largest difference {worst:.2g}")


def sample_entropy():
    for name, x in series(1000).items():
        r = 0.2 * np.std(x)
        _, (b, _), _ = nolds.sampen(x, emb_dim=2, tolerance=r, closed=True, debug_data=True)
        _, (_, a_short), _ = nolds.sampen(x[:-1], emb_dim=2, tolerance=r, closed=True, debug_data=True)
        ours = quorlin.sample_entropy(x, 2, r)
        print(f"sample entropy, {name}: quorlin {ours:.5f}, -ln(A/B) with A over one template fewer "
              f"{-math.log(a_short / b):.5f} (equal: {ours == -math.log(a_short / b)}), "
              f"nolds {nolds.sampen(x, emb_dim=2, tolerance=r, closed=True):.5f}, "
              f"antropy {antropy.sample_entropy(x, order=2):.5f}")


def hurst():
    for name, x in series(4000).items():
        n = len(x)
        same_rs = nolds.hurst_rs(x, nvals=list(range(10, min(n // 2, 100))), fit="poly", corrected=False)
        same_dfa = nolds.dfa(x, nvals=dfa_scales(n), overlap=False, fit_exp="poly")
        print(f"{name}: R/S quorlin {quorlin.hurst_exponent(x):.3f} (clamped), nolds same settings "
              f"{same_rs:.3f}, nolds defaults {nolds.hurst_rs(x):.3f}; DFA quorlin "
              f"{quorlin.hurst_exponent(x, 'dfa'):.6f}, nolds same settings {same_dfa:.6f}, "
              f"nolds defaults {nolds.dfa(x):.3f}")


def rosenstein():
    x = lorenz_x(2000)[0]
    m, tau = 3, 10
    lam, curve, _ = quorlin.lyapunov_rosenstein(x, m, tau, min_tsep=m * tau, max_iter=20)
    theirs, (_, their_curve, _) = nolds.lyap_r(x, emb_dim=m, lag=tau, min_tsep=m * tau, trajectory_len=20,
                                               fit="poly", min_neighbors=1, debug_data=True)
    print(f"Rosenstein, Lorenz x, m={m}, delay {tau}: quorlin lambda_max x delay {lam * tau:.4f}, "
          f"nolds lyap_r {theirs:.4f}, curves differ by at most {np.max(np.abs(curve - their_curve)):.3f}")


if __name__ == "__main__":
    permutation_entropy()
    sample_entropy()
    hurst()
    rosenstein()
