"""The engine's rules that the report needs, each written once.

The report passes every parameter it can to the engine explicitly (the
sample-entropy tolerance, Kantz's radius, the FTLE horizon) so that what it
prints is what was used, not a relabelled default. Two kinds of rule cannot be
passed and are mirrored here instead, each tested against the engine's own
results bit for bit:

- the defaults the engine derives from the data (0.2 and 0.1 population
  standard deviations), computed here in the engine's order of summation so
  that passing them gives the same bits as leaving them out;
- choices the engine makes without returning them: the (dimension, delay)
  `lyapunov_rosenstein` settles on for a short series, and the stretch of
  each divergence curve that the two Lyapunov estimators fit.

Nothing here estimates anything: these functions say which numbers the
engine will use, never what it would compute from them.
"""

from __future__ import annotations

import math
from typing import Optional, Tuple

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "FTLE_HORIZON", "FTLE_NEIGHBOURS", "KANTZ_RADIUS_FRACTION", "MIN_SAMPLES", "PERMUTATION_ORDER",
    "ROSENSTEIN_MIN_SAMPLES", "SAMPLE_ENTROPY_M", "SAMPLE_ENTROPY_TOLERANCE_FRACTION",
    "DIMENSION_THRESHOLD", "kantz_fit_window", "kantz_radius", "population_sd",
    "rosenstein_embedding", "rosenstein_fit_window", "sample_entropy_tolerance",
]

FloatArray = NDArray[np.float64]

#: `lyapunov_rosenstein` needs this many samples before it estimates
#: anything, and at least max(this, n // 4) embedded points.
ROSENSTEIN_MIN_SAMPLES = 50
#: Fewest usable samples the report accepts: below this the Lyapunov
#: estimators have nothing to work with.
MIN_SAMPLES = ROSENSTEIN_MIN_SAMPLES
#: The engine's default tolerance of `sample_entropy` and radius of
#: `lyapunov_kantz`, as fractions of the population standard deviation.
SAMPLE_ENTROPY_TOLERANCE_FRACTION = 0.2
KANTZ_RADIUS_FRACTION = 0.1
#: The engine's defaults that the report passes explicitly.
SAMPLE_ENTROPY_M = 2
PERMUTATION_ORDER = 3
FTLE_HORIZON = 10
FTLE_NEIGHBOURS = 10
DIMENSION_THRESHOLD = 0.01


def population_sd(x: FloatArray) -> float:
    """sqrt(Σ(x − μ)² / N) with μ = Σx / N, both sums taken in index order
    into one accumulator, as the engine takes them for its default tolerance
    and radius. `numpy.add.accumulate` adds strictly left to right (unlike
    `sum`, which adds pairwise), so its last entry is that sequential sum. NaN
    for an empty series."""
    n = x.size
    if n == 0:
        return math.nan
    mean = float(np.add.accumulate(x)[-1]) / n
    deviation = x - mean
    return math.sqrt(float(np.add.accumulate(deviation * deviation)[-1]) / n)


def sample_entropy_tolerance(x: FloatArray) -> float:
    """The r that `sample_entropy(x)` uses when none is given: sqrt(v) × 0.2."""
    return population_sd(x) * SAMPLE_ENTROPY_TOLERANCE_FRACTION


def kantz_radius(x: FloatArray) -> float:
    """The ε that `lyapunov_kantz(x)` uses when none is given: √v × 0.1."""
    return population_sd(x) * KANTZ_RADIUS_FRACTION


def rosenstein_embedding(n: int, dimension: int, delay: int) -> Optional[Tuple[int, int]]:
    """The (dimension, delay) that `lyapunov_rosenstein` uses for a series of n
    samples (no NaN) when asked for (dimension, delay): the requested pair when
    it leaves at least max(50, n // 4) embedded points, else the first fitting
    pair with a smaller dimension, then a smaller delay, then both. None when
    nothing fits (the engine then returns no curve)."""
    needed = max(ROSENSTEIN_MIN_SAMPLES, n // 4)
    if dimension == 0 or n < ROSENSTEIN_MIN_SAMPLES:
        return None
    if dimension == 1 or delay == 0 or n - (dimension - 1) * delay >= needed:
        return dimension, delay
    # Each search below takes the first fitting candidate in closed form, so
    # that a dimension or delay of 2**64 costs no more than a small one.
    # Here delay >= 1 and dimension >= 2, and n - needed >= 0.
    room = n - needed
    d = min(dimension - 1, room // delay + 1)          # largest d with (d - 1) * delay <= room
    if d >= 2:
        return d, delay
    t = min(delay - 1, room // (dimension - 1))        # largest t < delay with (m - 1) * t <= room
    if t >= 1:
        return dimension, t
    d = min(dimension - 1, room + 1)                   # largest d whose delay 1 fits
    if d >= 2 and delay >= 2:
        return d, min(delay - 1, room // (d - 1))
    return None


def rosenstein_fit_window(steps: int) -> int:
    """How many leading steps of a Rosenstein curve of `steps` steps the
    exponent is fitted on (the finite values among them): all of a curve
    shorter than 10 steps, 10 steps up to 54, then a fifth of the curve."""
    return min(steps, max(10, steps // 5))


def kantz_fit_window(length: int) -> int:
    """How many leading points of a Kantz curve of `length` points the
    exponent is fitted on: 0 below 2 points (no exponent), 2 up to 29 points,
    then a tenth of the curve."""
    return 0 if length < 2 else min(length, max(2, length // 10))
