"""How long each step of the report will take, from a small cost model.

Each step's time is a sum of terms, coefficient × work, where the work is a
count the step's algorithm scales with (samples, n·log n for sorts and tree
searches, pairs of points followed over steps, ...). The work formulas are
`WORK` below; the coefficients, in seconds per unit of work, are the one
table `COEFFICIENTS`. They were fitted by ``benchmarks/fit_costs.py``, which
times every step on generated series (the Lorenz x-coordinate, Gaussian
noise, an AR(2) process, pink noise with a rhythm) of 2,000 to 20,000
samples and fits each step's coefficients to the measured times by least
squares on relative residuals (so that short and long runs weigh alike). After a
change in the engine's speed, rerun that script and paste the table it
prints (``--only STEP,...`` refits some steps alone): nothing else needs to
change.

The estimates are for one core of the machine the table was fitted on and
are meant to within a factor of about three: enough to tell seconds from
minutes from hours, and to warn before a step that would run for long.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Tuple

__all__ = ["COEFFICIENTS", "WORK", "Workload", "estimate", "plan"]


@dataclass(frozen=True)
class Workload:
    """What a step's cost depends on. `pair_share` is the share of pairs of
    embedded points (outside the temporal window) closer than Kantz's ε;
    `tested` the steps whose statistics the surrogate test recomputes."""
    samples: int
    dimension: int = 4
    delay: int = 1
    kantz_steps: int = 0
    pair_share: float = 0.01
    surrogates: int = 0
    tested: Tuple[str, ...] = field(default_factory=tuple)
    anchors: Optional[int] = None

    @property
    def anchor_share(self) -> float:
        """Share of the reference points the FTLE methods estimate."""
        return 1.0 if self.anchors is None or self.points == 0 else min(self.anchors / self.points, 1.0)

    @property
    def points(self) -> int:
        return max(self.samples - (self.dimension - 1) * self.delay, 0)


def _log(n: float) -> float:
    return math.log2(max(n, 2.0))


def _tree(w: Workload) -> float:
    """Coordinate differences of a nearest-neighbour or radius search over the
    embedded points through a k-d tree: each query visits about 2^m log n
    points in m dimensions, and never more than all of them (in many
    dimensions the tree degrades to a scan)."""
    n = float(w.points)
    # 2^m overflows a float from m = 1024 on; past m = 64 it exceeds any n.
    return n * w.dimension * min(n, 2.0 ** min(w.dimension, 64) * _log(n))


def _searches(n: int, dimensions: int, references: int) -> float:
    """Coordinate differences of one tree search per dimension d = 2 …
    `dimensions` over n points of d − 1 coordinates, from `references`
    query points, tree builds included."""
    total = 0.0
    for d in range(2, dimensions + 1):
        total += n * _log(n) * (d - 1) + min(n, references) * min(float(n), 2.0 ** (d - 1)
                                                                    * _log(n)) * (d - 1)
    return total


#: Work terms of each step. Keys are the steps of `quorlin.settings.STEPS`,
#: plus "surrogate" (making one surrogate) and "figure" (the picture).
WORK: Dict[str, Callable[[Workload], Tuple[float, ...]]] = {
    "ami": lambda w: (w.samples,),
    "acf": lambda w: (w.samples,),
    # A neighbour search per dimension tried, from at most 1000 (FNN) or 500
    # (Cao) reference rows. They run before the dimension is known, so the
    # estimate assumes all ten (Cao often gets there; FNN does on noisy,
    # high-dimensional data, where its searches are slowest).
    "fnn": lambda w: (_searches(w.samples, 10, 1000),),
    "cao": lambda w: (_searches(w.samples, 10, 500),),
    "hurst": lambda w: (w.samples,),
    "sample-entropy": lambda w: (w.samples * _log(w.samples),),
    "permutation-entropy": lambda w: (w.samples,),
    # The neighbour search, then every reference followed over K steps.
    "rosenstein": lambda w: (_tree(w), w.points * min(w.samples // 10, 500) * w.dimension),
    # The radius search, then every pair within ε followed over K steps.
    "kantz": lambda w: (_tree(w),
                        w.pair_share * float(w.points) ** 2 * max(w.kantz_steps, 1) * w.dimension),
    "ftle-direct": lambda w: (w.anchor_share * _tree(w),),
    # About a fifth of all points lie within the default radius of each
    # anchor, and each takes part in its local fit.
    "ftle-local": lambda w: (w.anchor_share * float(w.points) ** 2 * w.dimension,),
    "surrogate": lambda w: (w.samples * _log(w.samples),),
    "figure": lambda w: (1.0, w.samples * _log(w.samples)),
}

#: Seconds per unit of work, one entry per term of `WORK`. Fitted by
#: benchmarks/fit_costs.py (see the module's docstring) on the 2-core
#: development machine while other engineers' builds and tests kept it busy
#: (a load of about 12), so on the slow side, perhaps by a factor of two to
#: four. Over the runs of 0.05 s or more, each estimate came within a factor
#: of 0.2-2 of its measurement (Kantz, Rosenstein and the FTLE methods within
#: 0.4-1.9), except for FNN and Cao (0.05-1.1): their tree searches are fast
#: on a low-dimensional attractor and slow on noise, which one work term per
#: dimension cannot tell apart before the data are seen. Both take seconds
#: at most at the default 20000 samples.
COEFFICIENTS: Dict[str, Tuple[float, ...]] = {
    "ami": (1.15e-08,),
    "acf": (5.22e-09,),
    "fnn": (5.46e-10,),
    "cao": (1.42e-09,),
    "hurst": (1.64e-07,),
    "sample-entropy": (3.43e-08,),
    "permutation-entropy": (2.89e-09,),
    "rosenstein": (8.70e-09, 4.99e-09),
    "kantz": (1.47e-09, 3.37e-09),
    "ftle-direct": (6.83e-09,),
    "ftle-local": (2.35e-08,),
    "surrogate": (3.90e-06,),
    "figure": (2.23e+00, 2.22e-05),
}

#: The steps that choose the embedding; they run before the rest is planned.
EMBEDDING_STEPS = ("ami", "acf", "fnn", "cao")


def estimate(step: str, w: Workload) -> float:
    """Expected seconds of `step` ("surrogates" for the whole test)."""
    if step == "surrogates":
        each = estimate("surrogate", w) + sum(estimate(s, w) for s in w.tested)
        return w.surrogates * each
    return sum(c * work for c, work in zip(COEFFICIENTS[step], WORK[step](w)))


def plan(steps: Iterable[str], w: Workload) -> List[Tuple[str, float]]:
    """(step, expected seconds) for each of `steps`, in order."""
    return [(step, estimate(step, w)) for step in steps]
