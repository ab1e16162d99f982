"""The report's data model: what an analysis found, with the evidence behind
each number, as plain dataclasses (no computation beyond presentation)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from quorlin.reading import Series
from quorlin.settings import Settings, settings_dict
from quorlin.surrogates import Trend

__all__ = ["Analysis", "Divergence", "FitDiagnostics", "Ftle", "KantzRadius", "StatisticTest",
           "SurrogateTest", "format_number", "SCHEMA_VERSION"]

FloatArray = NDArray[np.float64]

#: Version of the layout of `Analysis.summary()` (and of the JSON report).
#: Raised whenever a key is renamed, removed or changes meaning; new keys
#: alone do not raise it.
SCHEMA_VERSION = 2


def format_number(value: Optional[float], digits: int = 4) -> str:
    """A number for the text report: `digits` significant digits, plain
    notation between 1e-3 and 1e5, "nan", "inf", "-" for None."""
    if value is None:
        return "-"
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0:
        return "0"
    if 1e-3 <= abs(value) < 1e5:
        return f"{value:.{digits}g}"
    return f"{value:.{digits - 1}e}"


@dataclass
class FitDiagnostics:
    """How far a Lyapunov fit can be trusted.

    first, last: the fit window, in the curve's abscissa (inclusive).
    points: the finite curve values inside it that the line went through.
    slope, intercept: the least-squares line through those points, for
        drawing (its slope is the estimator's, up to rounding).
    r_squared: share of the window's variance the line explains.
    covers_curve: the window is the whole curve: nothing after it can show
        whether the rise has ended.
    plateau: whether the curve levels off after the window (the slope of its
        last stretch is below a quarter of the fitted one); None when not
        judged (no rise, or no room after the window).
    tail_slope: the slope of that last stretch.
    """
    first: int = 0
    last: int = -1
    points: int = 0
    slope: float = math.nan
    intercept: float = math.nan
    r_squared: float = math.nan
    covers_curve: bool = False
    plateau: Optional[bool] = None
    tail_slope: float = math.nan

    def summary(self) -> Dict[str, Any]:
        return {"first_step": self.first, "last_step": self.last, "points": self.points,
                "r_squared": self.r_squared, "covers_whole_curve": self.covers_curve,
                "plateau_after_fit": self.plateau, "tail_slope": self.tail_slope,
                "line_slope": self.slope, "line_intercept": self.intercept}


@dataclass
class Divergence:
    """A mean log-divergence curve, its fit and the counts behind it.

    steps: the curve's abscissa: step numbers for Rosenstein, positions in
        the curve for Kantz (whose curve leaves out the steps without pairs).
    steps_requested: the steps the estimator followed (K).
    missing_steps: steps without any pair: NaN entries of Rosenstein's
        curve, steps left out of Kantz's.
    references: reference points, each contributing at most one pair per step
        (Rosenstein); None where unknown. The number of pairs behind each step
        is not returned by the engine.
    """
    steps: FloatArray
    curve: FloatArray
    fit: FitDiagnostics
    steps_requested: int = 0
    missing_steps: int = 0
    references: Optional[int] = None

    @property
    def fit_count(self) -> int:
        return self.fit.points

    @property
    def slope(self) -> float:
        return self.fit.slope

    @property
    def intercept(self) -> float:
        return self.fit.intercept


@dataclass
class KantzRadius:
    """Kantz's radius ε and what sampled distances between embedded points
    say about it: the median distance, and the share of pairs (outside the
    temporal window) closer than ε."""
    value: float
    given: bool
    sd_fraction: float
    median_distance: Optional[float] = None
    pair_share: Optional[float] = None
    sampled_points: int = 0


@dataclass
class Ftle:
    """Finite-time exponents per reference point (NaN where none exists).
    `anchors` is "all" when every one of the `candidates` reference points
    was estimated; else `indices` says which were, and `values` holds theirs."""
    values: FloatArray
    time_horizon: int
    anchors: str = "all"
    indices: Optional[NDArray[np.int64]] = None
    candidates: int = 0

    def summary(self) -> Dict[str, Any]:
        finite = self.values[np.isfinite(self.values)]
        stats: Dict[str, Any] = {"time_horizon": self.time_horizon, "points": int(self.values.size),
                                 "estimates": int(finite.size), "anchors": self.anchors,
                                 "reference_points": self.candidates}
        if finite.size:
            p5, median, p95 = np.percentile(finite, [5.0, 50.0, 95.0])
            stats.update(mean=float(finite.mean()), median=float(median), p5=float(p5), p95=float(p95))
        else:
            stats.update(mean=math.nan, median=math.nan, p5=math.nan, p95=math.nan)
        return stats


@dataclass
class StatisticTest:
    """One statistic against its surrogates. `larger`: the alternative is a
    larger value on the data than on the surrogates (else smaller)."""
    step: str
    label: str
    larger: bool
    value: float
    surrogate_values: FloatArray
    rank: int = 0
    p: float = math.nan
    p_adjusted: float = math.nan
    rejected: bool = False

    @property
    def testable(self) -> bool:
        return not math.isnan(self.p)


@dataclass
class SurrogateTest:
    """The significance test: surrogates of the end-matched (and, for a
    trending series, detrended) stretch of the analysed series, the
    statistics on each, and Holm's correction over the statistics tested."""
    method: str
    count: int
    seed: int
    alpha: float
    segment: Tuple[int, int]
    mismatch: float
    detrended: bool
    iterations: List[int] = field(default_factory=list)
    converged: int = 0
    tests: List[StatisticTest] = field(default_factory=list)

    @property
    def testable(self) -> List[StatisticTest]:
        return [t for t in self.tests if t.testable]

    @property
    def needed_for_rejection(self) -> int:
        """Fewest surrogates with which the best possible rank can reject at
        α after Holm's correction over the testable statistics."""
        k = max(len(self.testable), 1)
        return math.ceil(k / self.alpha) - 1

    @property
    def rejected(self) -> List[StatisticTest]:
        return [t for t in self.tests if t.rejected]

    def summary(self) -> Dict[str, Any]:
        return {
            "method": self.method, "surrogates": self.count, "seed": self.seed, "alpha": self.alpha,
            "correction": "holm", "null_hypothesis": NULL_HYPOTHESES[self.method],
            "segment": {"start": self.segment[0], "stop": self.segment[1],
                        "end_mismatch": self.mismatch},
            "detrended": self.detrended,
            "iterations": {"min": min(self.iterations, default=0),
                           "max": max(self.iterations, default=0), "converged": self.converged}
            if self.method == "iaaft" else None,
            "surrogates_needed_for_rejection": self.needed_for_rejection,
            "statistics": {
                t.step: {"value": t.value, "alternative": "larger" if t.larger else "smaller",
                         "surrogate_min": _nanmin(t.surrogate_values),
                         "surrogate_max": _nanmax(t.surrogate_values),
                         "surrogate_values": [float(v) for v in t.surrogate_values],
                         "rank": t.rank, "p": t.p, "p_holm": t.p_adjusted, "rejected": t.rejected}
                for t in self.tests},
        }


NULL_HYPOTHESES = {
    "iaaft": "a stationary linear Gaussian process observed through a monotone static transform",
    "phase": "a stationary linear Gaussian process",
}


def _nanmin(values: FloatArray) -> float:
    finite = values[~np.isnan(values)]
    return float(finite.min()) if finite.size else math.nan


def _nanmax(values: FloatArray) -> float:
    finite = values[~np.isnan(values)]
    return float(finite.max()) if finite.size else math.nan


@dataclass(repr=False)
class Analysis:
    """Everything the report shows, and the curves its plot draws.

    `analysed` is the series the estimators saw: the finite samples of the
    first `max_samples`, minus the least-squares line with `detrend`.
    Per-sample exponents become per time unit with `per_time_unit` when the
    sampling interval is known.
    """
    series: Series
    samples: int
    nan_samples: int
    infinite_samples: int
    analysed: FloatArray
    settings: Settings = field(default_factory=Settings)
    cut: int = 0                       # samples left out at the end (max_samples)
    trend: Optional[Trend] = None
    delay_ami: Optional[int] = None
    delay_autocorr: Optional[int] = None
    delay: int = 1
    delay_given: bool = False
    dimension_fnn: Optional[int] = None
    dimension_cao: Optional[int] = None
    dimension: int = 3
    dimension_given: bool = False
    hurst_rs: float = math.nan
    hurst_dfa: float = math.nan
    sample_entropy: float = math.nan
    sample_entropy_r: float = math.nan
    permutation_entropy: float = math.nan
    permutation_order: int = 3
    rosenstein_lambda: float = math.nan
    rosenstein_embedding: Optional[Tuple[int, int]] = None
    rosenstein: Optional[Divergence] = None
    kantz_exponent: float = math.nan
    kantz_steps: int = 0
    kantz_radius: Optional[KantzRadius] = None
    kantz: Optional[Divergence] = None
    kantz_problem: Optional[str] = None
    ftle_direct: Optional[Ftle] = None
    ftle_local: Optional[Ftle] = None
    surrogate_test: Optional[SurrogateTest] = None
    seconds: Dict[str, float] = field(default_factory=dict)
    estimated_seconds: Dict[str, float] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)

    @property
    def sampling_interval(self) -> Optional[float]:
        return self.series.sampling_interval

    @property
    def kantz_epsilon(self) -> float:
        return math.nan if self.kantz_radius is None else self.kantz_radius.value

    def ran(self, step: str) -> bool:
        return step not in self.settings.skip

    @property
    def rosenstein_per_sample(self) -> float:
        """Rosenstein's slope per sample: `lyapunov_rosenstein` divides the
        slope of its curve by the delay in effect; this undoes that, so that
        both estimators are in the same unit."""
        if self.rosenstein_embedding is None:
            return math.nan
        return self.rosenstein_lambda * self.rosenstein_embedding[1]

    def per_time_unit(self, per_sample: float) -> Optional[float]:
        dt = self.sampling_interval
        return None if dt is None else per_sample / dt

    def all_notes(self) -> List[str]:
        return self.series.notes + self.notes

    def __repr__(self) -> str:
        dt = self.sampling_interval
        parts = [f"{printable_description(self.series.description)!r}",
                 f"samples={self.analysed.size}" + (f" of {self.samples}"
                                                    if self.analysed.size != self.samples else "")]
        if dt is not None:
            parts.append(f"dt={dt:g}")
        parts.append(f"delay={self.delay}, dimension={self.dimension}")
        for label, value in (("rosenstein", self.rosenstein_per_sample), ("kantz", self.kantz_exponent)):
            if self.ran(label):
                parts.append(f"{label}={format_number(value)}/sample")
        if self.surrogate_test is not None:
            parts.append(f"significant={[t.step for t in self.surrogate_test.rejected]}")
        parts.append(f"notes={len(self.all_notes())}")
        return f"Analysis({', '.join(parts)})"

    def summary(self) -> Dict[str, Any]:
        """The report's numbers as a dict of plain Python values (NaN kept);
        the JSON report is this dict. Steps that were skipped are None."""
        from quorlin import __version__

        def ran(step: str, value: Any) -> Any:
            return value if self.ran(step) else None

        r_dim, r_delay = self.rosenstein_embedding or (None, None)
        radius = self.kantz_radius
        return {
            "schema_version": SCHEMA_VERSION,
            "quorlin_version": __version__,
            "source": {"description": self.series.description, "path": self.series.path,
                       "column": self.series.column, "time_column": self.series.time_column},
            "samples": self.samples,
            "nan_samples": self.nan_samples,
            "infinite_samples": self.infinite_samples,
            "analysed_samples": int(self.analysed.size),
            "cut_samples": self.cut,
            "sampling_interval": self.sampling_interval,
            "time_unit": self.series.time_unit,
            "settings": settings_dict(self.settings),
            "trend": None if self.trend is None else {
                "slope_per_sample": self.trend.slope, "intercept": self.trend.intercept,
                "variance_share": self.trend.share, "removed": self.settings.detrend},
            "delay": {"mutual_information": self.delay_ami, "autocorrelation": self.delay_autocorr,
                      "used": self.delay, "given": self.delay_given},
            "dimension": {"false_nearest_neighbours": self.dimension_fnn, "cao": self.dimension_cao,
                          "used": self.dimension, "given": self.dimension_given},
            "hurst": ran("hurst", {"rescaled_range": self.hurst_rs, "dfa": self.hurst_dfa}),
            "sample_entropy": ran("sample-entropy", {"value": self.sample_entropy, "m": 2,
                                                     "r": self.sample_entropy_r}),
            "permutation_entropy": ran("permutation-entropy", {
                "value": self.permutation_entropy, "order": self.permutation_order,
                "delay": self.delay, "normalized": True}),
            "lyapunov": {
                "rosenstein": ran("rosenstein", {
                    "per_sample": self.rosenstein_per_sample,
                    "per_time_unit": self.per_time_unit(self.rosenstein_per_sample),
                    "lambda_max": self.rosenstein_lambda,
                    "dimension": r_dim, "delay": r_delay,
                    **_divergence_summary(self.rosenstein),
                }),
                "kantz": ran("kantz", {
                    "per_sample": self.kantz_exponent,
                    "per_time_unit": self.per_time_unit(self.kantz_exponent),
                    "dimension": self.dimension, "delay": self.delay, "max_iter": self.kantz_steps,
                    "epsilon": None if radius is None else radius.value,
                    "epsilon_given": None if radius is None else radius.given,
                    "epsilon_sd_fraction": None if radius is None else radius.sd_fraction,
                    "median_distance": None if radius is None else radius.median_distance,
                    "pair_share_within_epsilon": None if radius is None else radius.pair_share,
                    "problem": self.kantz_problem,
                    **_divergence_summary(self.kantz),
                }),
            },
            "ftle": {
                "direct_perturbation": None if self.ftle_direct is None else self.ftle_direct.summary(),
                "local_linearization": None if self.ftle_local is None else self.ftle_local.summary(),
            },
            "surrogate_test": None if self.surrogate_test is None else self.surrogate_test.summary(),
            "seconds": {"measured": dict(self.seconds), "estimated": dict(self.estimated_seconds)},
            "notes": self.all_notes(),
        }


def _divergence_summary(d: Optional[Divergence]) -> Dict[str, Any]:
    if d is None:
        return {"steps": 0, "curve_length": 0, "fit": None}
    return {"steps": d.steps_requested, "curve_length": int(d.curve.size),
            "steps_without_pairs": d.missing_steps, "reference_points": d.references,
            "pairs_per_step": None,
            "pairs_per_step_note": "not returned by the engine",
            "fit": d.fit.summary()}


def printable_description(text: str) -> str:
    return text if len(text) <= 60 else text[:57] + "..."

