"""Surrogate data for the report's significance test.

A surrogate keeps what a linear Gaussian process seen through a static,
monotone transform would share with the data, and randomises everything
else. If a statistic of the data stands outside the values it takes on the
surrogates, the data are unlikely to come from such a process. That is all a
rejection says: it is not evidence of chaos, of low dimension or of
determinism as such (a nonlinear stochastic process, a non-stationary one or
a spike train reject as well).

Two generators:

- "iaaft", the iterative amplitude-adjusted Fourier transform (Schreiber &
  Schmitz 1996): alternately imposes the data's Fourier amplitudes and its
  exact distribution of values, until the order of the values stops
  changing. The surrogate has the data's values exactly and their
  periodogram closely. Null hypothesis: a stationary linear Gaussian process
  observed through a monotone static transform.
- "phase", phase randomisation (Theiler et al. 1992): the data's Fourier
  amplitudes with uniformly random phases. The periodogram is kept exactly,
  the distribution of values becomes Gaussian. Null hypothesis: a stationary
  linear Gaussian process.

Both treat the series as one period of a periodic signal, so a jump between
its last and first values, or a trend, puts spurious power at high
frequencies and lets any series "reject". The test therefore runs on the
end-matched stretch of the series (Schreiber & Schmitz 2000): the one,
among those losing at most a tenth at each end, whose first and last values
and first and last steps agree best; and a trending series is tested after
its least-squares line is removed.

Everything is reproducible: surrogate i comes from the i-th child of
`numpy.random.SeedSequence(seed)`, so it is the same whatever the number of
surrogates asked for.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["Trend", "end_matched_segment", "holm", "iaaft", "linear_trend", "one_sided_p",
           "phase_randomised", "surrogate_generators"]

FloatArray = NDArray[np.float64]


@dataclass(frozen=True)
class Trend:
    """The least-squares line a + b·i through the samples (i = 0 … n − 1) and
    the share of the variance it explains (R², 0 for a constant series)."""
    slope: float
    intercept: float
    share: float

    def line(self, n: int) -> FloatArray:
        return self.intercept + self.slope * np.arange(n, dtype=np.float64)


def linear_trend(x: FloatArray) -> Trend:
    n = x.size
    if n < 2:
        return Trend(0.0, float(x.mean()) if n else math.nan, 0.0)
    t = np.arange(n, dtype=np.float64) - (n - 1) / 2.0       # centred: no cancellation
    slope = float(np.dot(t, x - x.mean()) / np.dot(t, t))
    intercept = float(x.mean()) - slope * (n - 1) / 2.0
    total = float(np.sum((x - x.mean()) ** 2))
    residual = float(np.sum((x - intercept - slope * np.arange(n)) ** 2))
    share = 1.0 - residual / total if total > 0 else 0.0
    return Trend(slope, intercept, max(0.0, share))


def end_matched_segment(x: FloatArray, share: float = 0.1,
                        candidates: int = 1000) -> Tuple[int, int, float]:
    """(start, stop, mismatch): the stretch x[start:stop] whose ends match
    best, losing at most `share` of the series (and `candidates` samples) at
    each end. The mismatch adds the squared jump from the last value to the
    first and the squared difference between the last and the first step,
    both relative to the sum of squared deviations of the whole series, so
    0 is a perfect match. Ties go to the longer stretch."""
    n = x.size
    room = min(int(share * n), candidates)
    if n < 4 or room < 1:
        return 0, n, math.nan
    total = float(np.sum((x - x.mean()) ** 2))
    if not total > 0:
        return 0, n, 0.0
    first = np.arange(room + 1)                  # candidate first indices
    last = n - 1 - np.arange(room + 1)           # candidate last indices, longest first
    jump = (x[first][:, None] - x[last][None, :]) ** 2
    step = ((x[first + 1] - x[first])[:, None] - (x[last] - x[last - 1])[None, :]) ** 2
    mismatch = (jump + step) / total
    a, b = np.unravel_index(int(np.argmin(mismatch)), mismatch.shape)
    return int(first[a]), int(last[b]) + 1, float(mismatch[a, b])


def iaaft(x: FloatArray, rng: np.random.Generator,
          max_iterations: int = 1000) -> Tuple[FloatArray, int, bool]:
    """One IAAFT surrogate of x: (surrogate, iterations, converged). Starts
    from a random shuffle; each iteration imposes the data's Fourier
    amplitudes (keeping the current phases) and then the data's values (by
    rank). Stops when an iteration leaves the order of the values unchanged,
    or after `max_iterations`. The result has exactly the values of x."""
    n = x.size
    values = np.sort(x)
    amplitudes = np.abs(np.fft.rfft(x))
    order = rng.permutation(n)
    surrogate = x[order]
    previous = None
    for iteration in range(1, max_iterations + 1):
        spectrum = np.fft.rfft(surrogate)
        magnitude = np.abs(spectrum)
        # A zero coefficient has no phase: keep the phase 0 there.
        phase = np.divide(spectrum, magnitude, out=np.ones_like(spectrum), where=magnitude > 0)
        shaped = np.fft.irfft(amplitudes * phase, n)
        order = np.argsort(shaped, kind="stable")
        surrogate = np.empty(n)
        surrogate[order] = values
        if previous is not None and np.array_equal(order, previous):
            return surrogate, iteration, True
        previous = order
    return surrogate, max_iterations, False


def phase_randomised(x: FloatArray, rng: np.random.Generator) -> FloatArray:
    """x with its Fourier amplitudes kept and its phases drawn uniformly from
    [0, 2π); the mean (and, for an even length, the Nyquist coefficient, which
    is real) keep their own phase so that the surrogate is real."""
    n = x.size
    spectrum = np.fft.rfft(x)
    phases = rng.uniform(0.0, 2.0 * np.pi, spectrum.size)
    phases[0] = np.angle(spectrum[0])
    if n % 2 == 0:
        phases[-1] = np.angle(spectrum[-1])
    return np.fft.irfft(np.abs(spectrum) * np.exp(1j * phases), n)


def surrogate_generators(seed: int, count: int) -> List[np.random.Generator]:
    """One independent generator per surrogate: surrogate i depends on the
    seed and on i only."""
    return [np.random.default_rng(child) for child in np.random.SeedSequence(seed).spawn(count)]


def one_sided_p(value: float, surrogate_values: "Sequence[float] | FloatArray", larger: bool) -> Tuple[int, float]:
    """(rank, p) of the data's `value` among N surrogate values, for the
    alternative that the data's value is larger (`larger`) or smaller than
    under the null. The rank counts the data itself and every surrogate at
    least as extreme as it (ties count against the data, as does a surrogate
    whose value is NaN); p = rank / (N + 1), the exact level of a rank test
    (1/(N + 1) at best). NaN when the data's value is NaN."""
    if math.isnan(value):
        return 0, math.nan
    s = np.asarray(surrogate_values, dtype=np.float64)
    extreme = np.isnan(s) | ((s >= value) if larger else (s <= value))
    rank = 1 + int(np.count_nonzero(extreme))
    return rank, rank / (s.size + 1)


def holm(p_values: Sequence[float]) -> List[float]:
    """Holm's step-down adjustment (Holm 1979): the family-wise error over
    all tests stays at most α when each test rejects at adjusted p ≤ α. NaN
    entries (untestable statistics) are left out of the family and stay NaN."""
    p = np.asarray(p_values, dtype=np.float64)
    tested = np.flatnonzero(~np.isnan(p))
    adjusted = np.full(p.size, math.nan)
    k = tested.size
    running = 0.0
    for position, index in enumerate(tested[np.argsort(p[tested], kind="stable")]):
        running = max(running, min(1.0, (k - position) * p[index]))
        adjusted[index] = running
    return [float(v) for v in adjusted]
