"""The curves behind the engine's Hurst exponents and embedding dimension,
for the report's figure.

The engine returns a slope or a chosen dimension, not the points that
produced it; a figure that shows how the number came about needs those
points. They are recomputed here in NumPy, following the engine's
definitions step for step (the same window sizes and scales, divisors, skip
rules and tie-breaks), so that the line drawn through them has the engine's
slope and the curve crosses the tolerance where the engine stopped. The
tests hold them to the engine's own answers. They are for pictures only:
every number the report states comes from the engine.
"""

from __future__ import annotations

import math
from typing import Tuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["dfa_points", "dfa_scales", "dimension_curves", "loglog_slope", "rescaled_range_points"]

FloatArray = NDArray[np.float64]

#: Reference rows of the false-nearest-neighbour fraction and of Cao's mean
#: ratio; candidates are always every row.
FNN_REFERENCES = 1000
CAO_REFERENCES = 500
#: A nearest neighbour closer than this is not used (a repeated point).
NEIGHBOUR_FLOOR = 1e-10
#: Reference rows compared with all rows at once: bounds the scratch memory
#: to CHUNK × rows doubles.
CHUNK = 64


def rescaled_range_points(x: FloatArray) -> Tuple[FloatArray, FloatArray]:
    """(ln k, ln RS(k)) for the window sizes k = 10 … min(n // 2, 100) − 1 of
    rescaled-range analysis: RS(k) is the mean, over all ⌊n/k⌋ windows, of
    the range of the cumulative deviations from the window's mean divided by
    the window's sample standard deviation (a window without variance adds
    nothing but is counted). Sizes where RS(k) is not positive are left out."""
    n = x.size
    top = min(int(0.5 * n), 100)
    ks, rs = [], []
    for k in range(10, top):
        windows = x[:(n // k) * k].reshape(-1, k)
        deviation = windows - windows.mean(axis=1, keepdims=True)
        walk = np.cumsum(deviation, axis=1)
        spread = walk.max(axis=1) - walk.min(axis=1)
        variance = (deviation * deviation).sum(axis=1) / (k - 1)
        ratios = np.divide(spread, np.sqrt(variance), out=np.zeros(windows.shape[0]),
                           where=variance > 0)
        value = ratios.sum() / windows.shape[0]
        if value > 0:
            ks.append(math.log(k))
            rs.append(math.log(value))
    return np.array(ks), np.array(rs)


def dfa_scales(n: int) -> list:
    """The scales of detrended fluctuation analysis for n samples: 20 points
    spread evenly in log10 from 10 to min(0.25 n, 100), truncated to
    integers, consecutive repeats dropped."""
    top = math.log10(min(0.25 * n, 100.0)) - 1.0
    scales: list = []
    for i in range(20):
        s = int(10.0 ** ((i * top) / 19.0 + 1.0))
        if not scales or scales[-1] != s:
            scales.append(s)
    return scales


def dfa_points(x: FloatArray) -> Tuple[FloatArray, FloatArray]:
    """(ln s, ln F(s)) of detrended fluctuation analysis: the profile
    (cumulative deviations from the mean) is cut into ⌊n/s⌋ windows of s
    samples, a least-squares line is removed from each, and F(s) is the root
    of the mean squared residual over all windows. Scales with fewer than
    two windows are left out. Empty below 20 samples."""
    n = x.size
    if n < 20:
        return np.empty(0), np.empty(0)
    profile = np.cumsum(x - x.mean())
    xs, ys = [], []
    for s in dfa_scales(n):
        if s < 2 or n // s < 2:
            continue
        windows = profile[:(n // s) * s].reshape(-1, s)
        t = np.arange(s, dtype=np.float64)
        slope = ((windows - windows.mean(axis=1, keepdims=True)) @ (t - t.mean())) \
            / float(np.dot(t - t.mean(), t - t.mean()))
        intercept = windows.mean(axis=1) - slope * t.mean()
        residual = windows - intercept[:, None] - slope[:, None] * t
        with np.errstate(divide="ignore"):
            xs.append(math.log(s))
            ys.append(0.5 * float(np.log((residual * residual).mean())))
    return np.array(xs), np.array(ys)


def loglog_slope(xs: FloatArray, ys: FloatArray) -> Tuple[float, float]:
    """(slope, intercept) of the least-squares line through the points; NaN
    for fewer than three points, as the engine's fit."""
    if xs.size <= 2 or not np.all(np.isfinite(ys)):
        return math.nan, math.nan
    slope, intercept = np.polyfit(xs, ys, 1)
    return float(slope), float(intercept)


def dimension_curves(x: FloatArray, delay: int, max_dim: int = 10
                     ) -> Tuple[np.ndarray, FloatArray, FloatArray]:
    """(d, F(d), |E(d)/E(d−1) − 1|) for d = 2 … max_dim while at least 10
    rows of the d-th step remain.

    F(d), false nearest neighbours: the share of the first 1000 rows of
    length d − 1 whose nearest neighbour moves more than 10 times their
    distance apart in the d-th coordinate (0 when no row counts). E(d), Cao:
    the mean over the first 500 rows of the distance between a row and its
    nearest neighbour in d coordinates over their distance in d − 1 (E(1) is
    1). Rows whose neighbour is closer than 1e-10 are not counted. Each
    method chooses the first d whose value is below its tolerance.

    Squared differences are added coordinate by coordinate, in order, as the
    engine adds them, and the lowest index wins a tie, so the neighbours are
    the engine's. The sums over d − 1 coordinates grow by one coordinate per
    step, so every step costs one pass over (reference rows × rows)."""
    n, tau = x.size, delay
    dims = [d for d in range(2, max_dim + 1) if n - d * tau >= 10]
    if not dims:
        return np.empty(0, dtype=np.int64), np.empty(0), np.empty(0)
    references = min(FNN_REFERENCES, n - dims[0] * tau)
    false = np.zeros(len(dims), dtype=np.int64)
    valid = np.zeros(len(dims), dtype=np.int64)
    ratios = [np.empty(0) for _ in dims]
    for start in range(0, references, CHUNK):
        stop = min(start + CHUNK, references)
        chunk = np.arange(start, stop)
        total = np.zeros((stop - start, n))
        for k, d in enumerate(dims):
            q = d - 1                                    # coordinates in the rows
            count = n - d * tau
            # Rows past the step's last one drop out, for good: count falls.
            keep = chunk < count
            if not keep.any():
                break
            chunk, total = chunk[keep], total[keep]
            # Add coordinate q - 1 (offset (q - 1)·τ) for every candidate row.
            width = n - (q - 1) * tau
            total = total[:, :width]
            difference = x[chunk, None] if q == 1 else x[chunk + (q - 1) * tau, None]
            difference = difference - x[None, (q - 1) * tau:(q - 1) * tau + width]
            total += difference * difference
            # A row is not its own neighbour; its distance to itself is 0 in
            # every coordinate, so it is restored after the search.
            own = (np.arange(chunk.size), chunk)
            total[own] = np.inf
            nearest = np.argmin(total[:, :count], axis=1)
            total[own] = 0.0
            squared = total[np.arange(chunk.size), nearest]
            distance = np.sqrt(squared)
            ok = distance > NEIGHBOUR_FLOOR
            i, j = chunk, nearest
            step = x[i + q * tau] - x[j + q * tau]
            with np.errstate(divide="ignore", invalid="ignore"):
                false[k] += np.count_nonzero(ok & (np.abs(step) / distance > 10.0))
            valid[k] += np.count_nonzero(ok)
            cao = ok & (i < CAO_REFERENCES)
            ratios[k] = np.concatenate([ratios[k], np.sqrt(squared[cao] + step[cao] * step[cao])
                                        / distance[cao]])
    fractions = np.where(valid > 0, false / np.maximum(valid, 1), 0.0)
    # Cao's mean ratios, summed in order of the rows as the engine sums them.
    means = np.array([float(np.add.accumulate(r)[-1]) / r.size if r.size else 1.0
                      for r in ratios])
    previous = np.concatenate([[1.0], means[:-1]])
    changes = np.where(previous > 1e-15, np.abs(means / previous - 1.0), np.nan)
    return np.array(dims, dtype=np.int64), fractions, changes
