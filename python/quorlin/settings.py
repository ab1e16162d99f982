"""What the report runs and with which parameters: one set of defaults, shared
by `quorlin.analysis.analyse` and ``python -m quorlin``, and the thresholds
behind its warnings, in one policy object."""

from __future__ import annotations

import math
from dataclasses import dataclass, fields, replace
from typing import Any, Dict, FrozenSet, Iterable, Optional, Tuple

__all__ = ["GROUPS", "POLICY", "STEPS", "SURROGATE_METHODS", "Policy", "Settings", "expand_steps",
           "settings_dict"]

#: The steps of the analysis, in the order they run, with the label the
#: progress output and the time estimates use.
STEPS: Dict[str, str] = {
    "ami": "delay by mutual information",
    "acf": "delay by autocorrelation",
    "fnn": "dimension by false nearest neighbours",
    "cao": "dimension by Cao's method",
    "hurst": "Hurst exponent",
    "sample-entropy": "sample entropy",
    "permutation-entropy": "permutation entropy",
    "rosenstein": "Rosenstein exponent",
    "kantz": "Kantz exponent",
    "ftle-direct": "FTLE by direct perturbation",
    "ftle-local": "FTLE by local linearization",
}
#: Names that stand for several steps in --skip.
GROUPS: Dict[str, Tuple[str, ...]] = {
    "delay": ("ami", "acf"),
    "dimension": ("fnn", "cao"),
    "entropy": ("sample-entropy", "permutation-entropy"),
    "lyapunov": ("rosenstein", "kantz"),
    "ftle": ("ftle-direct", "ftle-local"),
}
SURROGATE_METHODS = ("iaaft", "phase")


def expand_steps(names: Iterable[str]) -> FrozenSet[str]:
    """The steps that `names` (step or group names, any case) stand for;
    ValueError naming the valid ones for anything else."""
    chosen = set()
    for raw in names:
        name = raw.strip().lower().replace("_", "-")
        if not name:
            continue
        if name in STEPS:
            chosen.add(name)
        elif name in GROUPS:
            chosen.update(GROUPS[name])
        else:
            raise ValueError(f"unknown step {raw.strip()[:40]!r}: the steps are {', '.join(STEPS)}; "
                             f"the groups {', '.join(GROUPS)}")
    return frozenset(chosen)


@dataclass(frozen=True)
class Settings:
    """Every choice of a report run. The defaults are the command's defaults;
    `analyse(x)` uses the same ones.

    max_samples: analyse only the first this many samples (0: all). The cut is
        recorded in the result and its notes, never silent.
    delay, dimension: use these instead of the estimates.
    epsilon: Kantz's radius, absolute (None: 0.1 population sd of the
        analysed series, the engine's default, passed explicitly).
    kantz_max_steps: steps of Kantz's divergence curve at most. The engine's
        own default, a quarter of the embedded points, grows with the series
        and so does its fit window (the first tenth of the curve): on long
        series the line then runs far into the plateau. This cap keeps the
        window at most 100 steps and bounds the cost.
    detrend: subtract the least-squares line from the series first.
    skip: steps left out (names of `STEPS`; `GROUPS` expand).
    surrogates: number of surrogate series for the significance test (0: no
        test); surrogate_method "iaaft" or "phase"; seed of the generator;
        alpha the family-wise level of the test.
    ftle_anchors: reference points of each FTLE method at most, spread
        evenly along the series (None: all). The default leaves series of
        the default length whole and bounds the local linearization, whose
        cost grows with the square of the points, on longer ones. Needs the
        threaded module; without it every point is estimated and the notes
        say so.
    """
    max_samples: int = 20000
    delay: Optional[int] = None
    dimension: Optional[int] = None
    epsilon: Optional[float] = None
    kantz_max_steps: int = 1000
    detrend: bool = False
    skip: FrozenSet[str] = frozenset()
    surrogates: int = 0
    surrogate_method: str = "iaaft"
    seed: int = 0
    alpha: float = 0.05
    ftle_anchors: Optional[int] = 20000

    def __post_init__(self) -> None:
        object.__setattr__(self, "skip", expand_steps(self.skip) if not isinstance(self.skip, str)
                           else expand_steps(self.skip.split(",")))
        for name in ("max_samples", "kantz_max_steps", "surrogates", "seed"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
        for name in ("delay", "dimension", "ftle_anchors"):
            value = getattr(self, name)
            if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                                      or value < 1):
                raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
        if self.epsilon is not None and not (isinstance(self.epsilon, (int, float))
                                             and math.isfinite(self.epsilon) and self.epsilon > 0):
            raise ValueError(f"epsilon must be a positive number or None, got {self.epsilon!r}")
        if self.surrogate_method not in SURROGATE_METHODS:
            raise ValueError(f"surrogate_method must be one of {', '.join(SURROGATE_METHODS)}, "
                             f"got {self.surrogate_method!r}")
        if not (isinstance(self.alpha, (int, float)) and 0 < self.alpha < 1):
            raise ValueError(f"alpha must be between 0 and 1, got {self.alpha!r}")
        if "ami" in self.skip and self.delay is None:
            raise ValueError("skipping 'ami' needs a delay: the later steps use the delay that "
                             "mutual information chooses (give --delay)")
        if "fnn" in self.skip and self.dimension is None:
            raise ValueError("skipping 'fnn' needs a dimension: the later steps use the dimension "
                             "that false nearest neighbours chooses (give --dimension)")

    def runs(self, step: str) -> bool:
        return step not in self.skip

    def with_changes(self, **changes: Any) -> "Settings":
        unknown = set(changes) - {f.name for f in fields(self)}
        if unknown:
            raise TypeError(f"unknown setting{'s' if len(unknown) > 1 else ''}: "
                            f"{', '.join(sorted(unknown))}")
        return replace(self, **changes)


@dataclass(frozen=True)
class Policy:
    """The thresholds behind the report's warnings, in one place.

    trend_share: a least-squares line that explains at least this share of
        the variance marks the series as trending.
    min_r_squared: a Lyapunov fit window less straight than this is flagged.
    min_fit_points: a fit on fewer finite points is flagged.
    plateau_share: the curve "reaches a plateau" when the slope of its last
        stretch is below this share of the fitted slope.
    plateau_tail: the last stretch is this share of the curve after the fit
        window, and at least min_tail_points points.
    room_after_fit: a curve shorter than this many fit windows leaves too
        little room to see a plateau.
    long_step_seconds: a step expected to take longer is announced with a
        warning before it runs.
    distance_sample: embedded points over which distances between points are
        sampled (the typical distance, the share of pairs within ε).
    """
    trend_share: float = 0.25
    min_r_squared: float = 0.9
    min_fit_points: int = 5
    plateau_share: float = 0.25
    plateau_tail: float = 1.0 / 3.0
    min_tail_points: int = 5
    room_after_fit: int = 3
    long_step_seconds: float = 60.0
    distance_sample: int = 500
    surrogate_iterations: int = 1000
    end_match_share: float = 0.1
    end_match_candidates: int = 1000


POLICY = Policy()


def settings_dict(settings: Settings) -> Dict[str, Any]:
    """The settings as plain values (the skipped steps as a sorted list)."""
    out: Dict[str, Any] = {f.name: getattr(settings, f.name) for f in fields(settings)}
    out["skip"] = sorted(settings.skip, key=list(STEPS).index)
    return out

