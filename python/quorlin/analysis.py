"""The report's analysis: every estimator of the library run on one series,
with the evidence needed to judge each number.

The chain is the one an analysis usually takes: estimate the embedding delay
and dimension, then compute the complexity measures, the Lyapunov exponents
and the finite-time exponents with that embedding; optionally test the
nonlinear statistics against surrogate data. All numbers come from the
engine, `quorlin._native`, called with every parameter that can be passed
made explicit; what the engine decides without returning it (Rosenstein's
embedding for short series, the fit windows) comes from
`quorlin.engine_rules`. This module adds judgement, never numerics: fit
diagnostics, warnings, and the choice of what to compute.
"""

from __future__ import annotations

import inspect
import math
import time
from contextlib import contextmanager
from dataclasses import replace
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from quorlin import _native as q
from quorlin import costs
from quorlin.engine_rules import (
    DIMENSION_THRESHOLD, FTLE_HORIZON, FTLE_NEIGHBOURS, KANTZ_RADIUS_FRACTION, MIN_SAMPLES,
    PERMUTATION_ORDER, SAMPLE_ENTROPY_M, SAMPLE_ENTROPY_TOLERANCE_FRACTION, kantz_fit_window,
    population_sd, rosenstein_embedding, rosenstein_fit_window,
)
from quorlin.model import (
    Analysis, Divergence, FitDiagnostics, Ftle, KantzRadius, StatisticTest, SurrogateTest,
    format_number,
)
from quorlin.reading import InputError, Series
from quorlin.settings import POLICY, STEPS, Policy, Settings
from quorlin.surrogates import (
    end_matched_segment, holm, iaaft, linear_trend, one_sided_p, phase_randomised,
    surrogate_generators,
)

__all__ = [
    "LABELS", "Observer", "analyse", "anchor_subset", "autocorrelation_curve", "engine",
    "example_series", "finite_time_exponents", "judge_fit", "mutual_information_curve",
    "threaded_module",
]

FloatArray = NDArray[np.float64]

#: What the progress output calls each step.
LABELS: Dict[str, str] = dict(STEPS, surrogates="surrogate test", figure="figure")


# --- The built-in example -----------------------------------------------------------


def example_series(n_samples: Optional[int] = None) -> Series:
    from quorlin.examples import EXAMPLE_SAMPLES, LORENZ_LARGEST_EXPONENT, lorenz_x

    x, dt = lorenz_x(EXAMPLE_SAMPLES if n_samples is None else n_samples)
    return Series(x, "built-in example: x of the Lorenz system (sigma=10, rho=28, beta=8/3), "
                  f"RK4, sampled every {dt:g} time units", sampling_interval=dt,
                  notes=["the largest Lyapunov exponent of this Lorenz system is known: "
                         f"about {LORENZ_LARGEST_EXPONENT} per time unit"],
                  known_exponent=LORENZ_LARGEST_EXPONENT)


# --- Progress ------------------------------------------------------------------------


class Observer:
    """Receives the analysis' progress; does nothing unless overridden.

    `planned` gets (step, expected seconds) pairs before the steps run:
    first the embedding steps, then, once the embedding is known, the rest.
    `step` wraps each step; `advance` reports work done inside a step that
    runs in Python (the surrogates). The engine holds the interpreter lock
    for the whole of each call, so nothing can be reported inside one.
    """

    def planned(self, plan: Sequence[Tuple[str, float]]) -> None:
        pass

    @contextmanager
    def step(self, key: str) -> Iterator[None]:
        yield

    def advance(self, key: str, done: int, total: int) -> None:
        pass


@contextmanager
def _timed(result: Analysis, observer: Observer, key: str) -> Iterator[None]:
    begun = time.perf_counter()
    with observer.step(key):
        yield
    result.seconds[key] = time.perf_counter() - begun


# --- Curves drawn beside the chosen delay ----------------------------------------------


def mutual_information_curve(x: FloatArray, max_lag: int) -> FloatArray:
    """Average mutual information (nats) between x[i] and x[i + lag] for lags
    1 … max_lag, from a 16 × 16 histogram of equal-width bins over the range of
    x — the statistic whose first minimum `optimal_delay` looks for. For
    pictures; the delay itself comes from `optimal_delay`."""
    finite = x[np.isfinite(x)]
    lags = max(0, min(int(max_lag), x.size - 1))
    if finite.size == 0 or not finite.max() > finite.min():
        return np.full(lags, np.nan)
    low, span = finite.min(), finite.max() - finite.min()
    with np.errstate(invalid="ignore"):
        scaled = np.nan_to_num((x - low) / span * 16.0, nan=0.0, posinf=16.0, neginf=0.0)
    bins = np.minimum(scaled.astype(np.int64), 15)
    curve = np.empty(lags)
    for lag in range(1, lags + 1):
        joint = np.bincount(bins[:-lag] * 16 + bins[lag:], minlength=256).reshape(16, 16)
        p = joint / (x.size - lag)
        outer = np.outer(p.sum(axis=1), p.sum(axis=0))
        seen = p > 0
        curve[lag - 1] = float(np.sum(p[seen] * np.log(p[seen] / outer[seen])))
    return curve


def autocorrelation_curve(x: FloatArray, max_lag: int) -> FloatArray:
    """Autocorrelation r(lag) = mean of (x[i] − μ)(x[i + lag] − μ) over the
    N − lag products, divided by the variance (divisor N), for lags 1 … max_lag."""
    lags = max(0, min(int(max_lag), x.size - 1))
    centred = x - x.mean()
    variance = float(np.mean(centred * centred))
    if not variance > 0:
        return np.full(lags, np.nan)
    return np.array([np.dot(centred[:-lag], centred[lag:]) / (x.size - lag) / variance
                     for lag in range(1, lags + 1)], dtype=np.float64)


# --- Judging a fit -------------------------------------------------------------------------


def _line(xs: FloatArray, ys: FloatArray) -> Tuple[float, float, float]:
    """(slope, intercept, R²) of the least-squares line through the points;
    NaN where fewer than two, R² NaN for points without spread in y."""
    if xs.size < 2 or not np.ptp(xs) > 0:
        return math.nan, math.nan, math.nan
    slope, intercept = np.polyfit(xs, ys, 1)
    total = float(np.sum((ys - ys.mean()) ** 2))
    residual = float(np.sum((ys - (intercept + slope * xs)) ** 2))
    return float(slope), float(intercept), (1.0 - residual / total) if total > 0 else math.nan


def judge_fit(steps: FloatArray, curve: FloatArray, window: int,
              policy: Policy = POLICY) -> FitDiagnostics:
    """Diagnostics of a line fitted to the first `window` entries of a
    divergence curve: the line and its R² over the finite values there,
    whether the window is the whole curve, and whether the curve levels off
    after it (the slope of its last stretch, at least `min_tail_points`
    finite values making up `plateau_tail` of what follows the window, below
    `plateau_share` of the fitted slope)."""
    window = min(window, curve.size)
    head = np.isfinite(curve[:window])
    slope, intercept, r_squared = _line(steps[:window][head], curve[:window][head])
    diagnostics = FitDiagnostics(first=0, last=window - 1, points=int(head.sum()), slope=slope,
                                 intercept=intercept, r_squared=r_squared,
                                 covers_curve=window >= curve.size)
    after_steps, after = steps[window:], curve[window:]
    finite = np.isfinite(after)
    after_steps, after = after_steps[finite], after[finite]
    tail = max(policy.min_tail_points, int(math.ceil(after.size * policy.plateau_tail)))
    if after.size >= policy.min_tail_points:
        diagnostics.tail_slope = _line(after_steps[-tail:], after[-tail:])[0]
        if slope > 0 and math.isfinite(diagnostics.tail_slope):
            diagnostics.plateau = diagnostics.tail_slope < policy.plateau_share * slope
    return diagnostics


def _fit_warnings(name: str, d: Divergence, policy: Policy) -> List[str]:
    """Why a Lyapunov fit should not be trusted; empty when nothing is wrong."""
    fit = d.fit
    reasons = []
    if fit.covers_curve:
        reasons.append(f"the fit covers the whole curve (steps {fit.first}-{fit.last} of "
                       f"{d.curve.size}), so nothing shows where the exponential rise ends")
    elif d.curve.size < policy.room_after_fit * (fit.last + 1) and fit.plateau is not True:
        reasons.append(f"the curve is short ({d.curve.size} steps, fewer than "
                       f"{policy.room_after_fit} fit windows)")
    if fit.points < policy.min_fit_points:
        reasons.append(f"the line goes through only {fit.points} finite point"
                       f"{'s' if fit.points != 1 else ''}")
    if math.isfinite(fit.slope) and fit.slope <= 0:
        reasons.append("the curve does not rise over the fit window")
    elif math.isfinite(fit.r_squared) and fit.r_squared < policy.min_r_squared \
            and fit.points >= policy.min_fit_points:
        reasons.append(f"the fit window is not straight (R^2 = {fit.r_squared:.2f})")
    if fit.plateau is False:
        share = fit.tail_slope / fit.slope
        reasons.append(f"the curve does not level off after the fit window (its last stretch "
                       f"still rises at {share:.0%} of the fitted slope)")
    if not reasons:
        return []
    return [f"{name}: do not trust this exponent: " + "; ".join(reasons)]


# --- Distances between embedded points --------------------------------------------------------


def _sampled_distances(x: FloatArray, dimension: int, delay: int, separation: int,
                       count: int) -> FloatArray:
    """Euclidean distances between `count` embedded points spread evenly along
    the series (all when there are fewer), over the pairs at least
    `separation` samples apart and at a distance above 0 (as Kantz's method
    counts pairs). Sorted ascending. A description of the point cloud for the
    report's warnings and time estimates, not an estimate itself."""
    n_points = x.size - (dimension - 1) * delay
    if n_points < 2:
        return np.empty(0)
    chosen = np.unique(np.linspace(0, n_points - 1, min(n_points, count)).round().astype(np.int64))
    # (dimension - 1) * delay < n here, but a delay of any size may come with
    # dimension 1.
    offsets = np.arange(dimension, dtype=np.int64) * (delay if dimension > 1 else 0)
    points = x[chosen[:, None] + offsets]
    parts = []
    for i in range(chosen.size - 1):
        far = chosen[i + 1:] - chosen[i] >= separation
        parts.append(np.sqrt(((points[i + 1:][far] - points[i]) ** 2).sum(axis=1)))
    distances = np.concatenate(parts) if parts else np.empty(0)
    return np.sort(distances[distances > 0])


def _describe_radius(x: FloatArray, dimension: int, delay: int, epsilon: float, given: bool,
                     policy: Policy) -> Tuple[KantzRadius, FloatArray]:
    distances = _sampled_distances(x, dimension, delay, dimension * delay, policy.distance_sample)
    radius = KantzRadius(epsilon, given, epsilon / population_sd(x) if population_sd(x) > 0
                         else math.nan, sampled_points=min(max(x.size - (dimension - 1) * delay, 0),
                                                           policy.distance_sample))
    if distances.size:
        radius.median_distance = float(np.median(distances))
        radius.pair_share = float(np.searchsorted(distances, epsilon, side="left") / distances.size)
    return radius, distances


def _suggested_radius(distances: FloatArray, n_points: int) -> Optional[Tuple[float, float]]:
    """(ε, share): a radius within which a share of the sampled pairs lie
    that, over all n_points² pairs, makes some thousand pairs (at most 5 %
    and at least 0.1 % of them)."""
    if distances.size < 20:
        return None
    share = min(max(1000.0 / max(n_points, 1) ** 2, 0.001), 0.05)
    return float(np.quantile(distances, share)), share


# --- The engine, or its threaded twin ----------------------------------------------------------


def threaded_module() -> Any:
    """`quorlin._parallel` when this build has it, else None. It runs the
    engine's kernels with the interpreter lock released, reports progress
    from inside a call and estimates a subset of the FTLE anchors; its
    results are the engine's bit for bit."""
    try:
        from quorlin import _parallel
    except ImportError:
        return None
    return _parallel


def engine(name: str, *args: Any, observer: Optional[Observer] = None, key: str = "",
           anchors: Optional[NDArray[np.int64]] = None) -> Any:
    """The engine function `name` called with `args`: on the calling thread
    through the threaded module when it is there (so that `observer` hears
    of the progress inside the call, and Ctrl-C ends it), else through
    `quorlin._native`, which holds the interpreter lock for the whole call.
    `anchors` (FTLE only) needs the threaded module."""
    parallel = threaded_module()
    if parallel is None:
        if anchors is not None:
            raise RuntimeError("an FTLE anchor subset needs quorlin._parallel")
        return getattr(q, name)(*args)
    # The threaded functions take every engine argument, defaults included.
    bound = inspect.signature(getattr(q, name)).bind(*args)
    bound.apply_defaults()
    subset = (anchors,) if name.startswith("ftle_") else ()

    def progress(phase: int, done: int, total: int) -> None:
        if observer is not None:
            observer.advance(key, done, total)

    return getattr(parallel, name)(*bound.args, *subset, 1, progress)


def anchor_subset(candidates: int, budget: Optional[int]) -> Optional[NDArray[np.int64]]:
    """`budget` indices spread evenly over 0 … candidates − 1 (strictly
    increasing, first and last included), or None for all of them."""
    if budget is None or budget >= candidates:
        return None
    return np.unique(np.linspace(0, candidates - 1, budget).round().astype(np.int64))


def finite_time_exponents(method: str, x: FloatArray, dimension: int, delay: int, *,
                          horizon: int = FTLE_HORIZON, anchors: Optional[int] = None,
                          observer: Optional[Observer] = None, key: str = "") -> Ftle:
    """Finite-time exponents of `x` embedded with (dimension, delay), by
    "direct" perturbation or "local" linearization, per reference point (NaN
    where a point has none: no usable neighbour for the direct method, no
    image or a singular fit for the local one).

    `anchors`: estimate at most this many reference points, spread evenly
    along the series (None: all). A budget needs the threaded module; without
    it every point is estimated and the result says so (`Ftle.anchors`).
    """
    if method not in ("direct", "local"):
        raise ValueError(f"method must be 'direct' or 'local', got {method!r}")
    rows = max(x.size - (dimension - 1) * delay, 0)
    # Only the first rows − horizon rows have an image `horizon` steps on.
    candidates = max(rows - horizon, 0)
    subset = anchor_subset(candidates, anchors) if threaded_module() is not None else None
    if method == "direct":
        values, norms = engine("ftle_direct_perturbation", x, dimension, delay, horizon,
                               observer=observer, key=key, anchors=subset)
        # A reference point without a usable neighbour (or not among the
        # anchors) keeps 0.0 in both arrays; its stretching factor of 0.0
        # tells it apart from a true exponent of 0.
        values = np.where(norms > 0.0, values, np.nan)
    elif rows > 0:
        values, _confidence = engine("ftle_local_linearization",
                                     q.time_delay_embedding(x, dimension, delay), horizon,
                                     FTLE_NEIGHBOURS, observer=observer, key=key, anchors=subset)
    else:
        values = np.empty(0)
    if subset is None:
        return Ftle(values, horizon, "all", None, candidates)
    return Ftle(values[subset], horizon, f"{subset.size} of {candidates}, evenly spaced", subset,
                candidates)


# --- The test statistics, on the series and on its surrogates ---------------------------------

#: The statistics the surrogate test recomputes, with the direction in which
#: structure beyond a linear Gaussian process moves them: more regular
#: (lower entropies), faster separation of neighbours over the fit window
#: (steeper divergence curves: a linear process decorrelates at once, so its
#: curve jumps up and stays flat).
TESTED: Dict[str, Tuple[str, bool]] = {
    "sample-entropy": ("sample entropy", False),
    "permutation-entropy": ("permutation entropy", False),
    "rosenstein": ("Rosenstein exponent", True),
    "kantz": ("Kantz exponent", True),
}


def _listing(names: Sequence[str]) -> str:
    """"a", "a and b", "a, b and c"."""
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def _statistic(step: str, x: FloatArray, a: Analysis) -> float:
    """The value of one tested statistic on x, with the analysis' parameters
    held fixed (absolute r and ε, the embedding, the steps)."""
    m, tau = a.dimension, a.delay
    if step == "sample-entropy":
        return q.sample_entropy(x, SAMPLE_ENTROPY_M, a.sample_entropy_r)
    if step == "permutation-entropy":
        return q.permutation_entropy(x, a.permutation_order, tau)
    if step == "rosenstein":
        embedding = rosenstein_embedding(x.size, m, tau)
        return math.nan if embedding is None else q.lyapunov_rosenstein(x, m, tau)[0] * embedding[1]
    if step == "kantz":
        return q.lyapunov_kantz(x, m, tau, None, a.kantz_epsilon, a.kantz_steps)[0]
    raise KeyError(step)


def _tested_steps(settings: Settings) -> Tuple[str, ...]:
    return tuple(step for step in TESTED if settings.runs(step))


def significance_test(a: Analysis, observer: Observer = Observer(),
                      policy: Policy = POLICY) -> SurrogateTest:
    """Tests the statistics of `TESTED` that ran against surrogates of the
    end-matched stretch of the analysed series (detrended first when the
    series trends), with Holm's correction over the statistics whose value on
    the data is defined."""
    s = a.settings
    start, stop, mismatch = end_matched_segment(a.analysed, policy.end_match_share,
                                                policy.end_match_candidates)
    segment = a.analysed[start:stop]
    detrended = bool(a.trend is not None and a.trend.share >= policy.trend_share
                     and not s.detrend)
    if detrended:
        segment = segment - linear_trend(segment).line(segment.size)
    segment = np.ascontiguousarray(segment)
    steps = _tested_steps(s)
    test = SurrogateTest(s.surrogate_method, s.surrogates, s.seed, s.alpha, (start, stop), mismatch,
                         detrended)
    values = {step: _statistic(step, segment, a) for step in steps}
    collected: Dict[str, List[float]] = {step: [] for step in steps}
    for i, rng in enumerate(surrogate_generators(s.seed, s.surrogates)):
        if s.surrogate_method == "iaaft":
            surrogate, iterations, converged = iaaft(segment, rng, policy.surrogate_iterations)
            test.iterations.append(iterations)
            test.converged += converged
        else:
            surrogate = phase_randomised(segment, rng)
        for step in steps:
            collected[step].append(_statistic(step, surrogate, a))
        observer.advance("surrogates", i + 1, s.surrogates)
    for step in steps:
        label, larger = TESTED[step]
        surrogate_values = np.array(collected[step], dtype=np.float64)
        rank, p = one_sided_p(values[step], surrogate_values, larger)
        test.tests.append(StatisticTest(step, label, larger, values[step], surrogate_values, rank, p))
    for t, adjusted in zip(test.tests, holm([t.p for t in test.tests])):
        t.p_adjusted = adjusted
        t.rejected = bool(adjusted <= s.alpha)
    return test


def _surrogate_notes(test: SurrogateTest, policy: Policy) -> List[str]:
    notes = []
    what = {"iaaft": "IAAFT", "phase": "phase-randomised"}[test.method]
    tested = test.testable
    if not tested:
        return ["surrogate test: no statistic could be computed on the data, nothing was tested"]
    powerless = test.count < test.needed_for_rejection
    if powerless:
        # Saying "nothing differs" here would report a test that could not
        # reject as evidence for the null.
        notes.append(f"surrogate test: inconclusive: with {test.count} surrogates no statistic can "
                     f"reach the corrected level (p >= 1/{test.count + 1} before Holm's correction "
                     f"over {len(tested)}); use at least {test.needed_for_rejection}")
    if test.rejected:
        names = _listing([t.label for t in test.rejected])
        notes.append(f"surrogate test: the {names} stand{'s' if len(test.rejected) == 1 else ''} "
                     f"outside the {what} surrogates (Holm-corrected p <= {test.alpha:g} over "
                     f"{len(tested)} statistics). This rejects the null hypothesis that the series "
                     "is a stationary linear Gaussian process"
                     + (" seen through a monotone static transform" if test.method == "iaaft" else "")
                     + "; it does not show that the series is chaotic or deterministic "
                     "(non-stationarity and nonlinear noise reject as well)"
                     + ("; here the test ran on the series minus its least-squares line, and what "
                        "the line leaves (curvature, a changing amplitude) can be the cause"
                        if test.detrended else ""))
    elif not powerless:
        notes.append(f"surrogate test: no statistic differs from the {what} surrogates beyond the "
                     f"level {test.alpha:g} (Holm-corrected over {len(tested)} statistics): "
                     "nothing here needs more than a linear Gaussian process"
                     + (" seen through a monotone static transform" if test.method == "iaaft" else "")
                     + " to explain it")
    for t in tested:
        if t.larger and not t.rejected and t.p > 0.5:
            notes.append(f"surrogate test: the {t.label} is no larger on the series than on most "
                         f"surrogates (rank {t.rank} of {test.count + 1}): linear noise with the "
                         "same spectrum gives as large an estimate, so it is no evidence of chaos")
    if test.method == "iaaft" and test.converged < len(test.iterations):
        notes.append(f"surrogate test: {len(test.iterations) - test.converged} of "
                     f"{len(test.iterations)} IAAFT surrogates had not converged after "
                     f"{policy.surrogate_iterations} iterations; their spectra match less closely")
    return notes


# --- The analysis -----------------------------------------------------------------------------------


def analyse(x: "ArrayLike | Series", settings: Optional[Settings] = None, *,
            sampling_interval: Optional[float] = None, observer: Optional[Observer] = None,
            progress: Optional[Observer] = None, policy: Policy = POLICY,
            **changes: object) -> Analysis:
    """Runs every estimator of the report on one series.

    `settings` holds every choice (see `quorlin.settings.Settings`; its
    defaults are those of ``python -m quorlin``); keyword arguments change
    single settings: ``analyse(x, delay=10, surrogates=99)``. Non-finite
    samples are counted and removed first (the samples on either side are
    joined); only the first `max_samples` samples are analysed (20000 by
    default, 0 for all), and a cut is stated in the notes. The delay (first
    minimum of the mutual information) and the dimension (false nearest
    neighbours) are estimated unless given, and then used by permutation
    entropy, both Lyapunov estimators and both FTLE methods.

    `observer` (or its older name `progress`) is told the expected time of
    each step before it runs, and when each starts and ends. Raises
    InputError when fewer than MIN_SAMPLES usable samples remain, ValueError
    for an invalid setting.
    """
    settings = settings if settings is not None else Settings()
    if changes:
        settings = settings.with_changes(**changes)
    observer = observer or progress or Observer()
    series = x if isinstance(x, Series) else Series(np.asarray(x, dtype=np.float64), "series")
    if sampling_interval is not None:
        series = replace(series, sampling_interval=sampling_interval)
    raw = np.asarray(series.values, dtype=np.float64)
    if raw.ndim != 1:
        raise InputError(f"expected one series (a one-dimensional array), got shape {raw.shape}")
    window = raw if settings.max_samples <= 0 else raw[:settings.max_samples]
    finite = np.ascontiguousarray(window[np.isfinite(window)])
    result = Analysis(series, int(raw.size), int(np.isnan(raw).sum()), int(np.isinf(raw).sum()),
                      finite, settings=settings, cut=int(raw.size - window.size))
    if finite.size < MIN_SAMPLES:
        raise InputError(f"too few samples in {series.description}: {finite.size} usable "
                         f"(finite) samples, the report needs at least {MIN_SAMPLES}")
    if result.cut:
        result.notes.append(f"only the first {window.size} of {raw.size} samples were analysed "
                            "(--max-samples)")
    dropped = int(window.size - finite.size)
    if dropped:
        result.notes.append(f"{dropped} non-finite sample{'s were' if dropped != 1 else ' was'} "
                            "removed before the analysis (their neighbours are joined)")
    _judge_trend(result, policy)
    n = int(result.analysed.size)
    x = result.analysed

    observer.planned(costs.plan([s for s in costs.EMBEDDING_STEPS if settings.runs(s)],
                                costs.Workload(n)))
    _embedding(result, observer)
    m, tau = result.dimension, result.delay

    epsilon = settings.epsilon if settings.epsilon is not None else population_sd(x) * KANTZ_RADIUS_FRACTION
    result.kantz_steps = min(max(n - (m - 1) * tau, 0) // 4, settings.kantz_max_steps)
    distances = np.empty(0)
    if settings.runs("kantz"):
        result.kantz_radius, distances = _describe_radius(x, m, tau, epsilon,
                                                          settings.epsilon is not None, policy)
    result.sample_entropy_r = population_sd(x) * SAMPLE_ENTROPY_TOLERANCE_FRACTION
    workload = costs.Workload(n, m, tau, result.kantz_steps,
                              1.0 if result.kantz_radius is None or result.kantz_radius.pair_share
                              is None else result.kantz_radius.pair_share,
                              settings.surrogates, _tested_steps(settings),
                              settings.ftle_anchors if threaded_module() is not None else None)
    rest = [s for s in list(STEPS)[len(costs.EMBEDDING_STEPS):] if settings.runs(s)]
    rest += ["surrogates"] if settings.surrogates else []
    plan = costs.plan(rest, workload)
    result.estimated_seconds = dict(plan)
    observer.planned(plan)

    if settings.runs("hurst"):
        with _timed(result, observer, "hurst"):
            result.hurst_rs = q.hurst_exponent(x)
            result.hurst_dfa = q.hurst_exponent(x, "dfa")
    if settings.runs("sample-entropy"):
        with _timed(result, observer, "sample-entropy"):
            result.sample_entropy = engine("sample_entropy", x, SAMPLE_ENTROPY_M,
                                           result.sample_entropy_r, observer=observer,
                                           key="sample-entropy")
    result.permutation_order = PERMUTATION_ORDER
    if settings.runs("permutation-entropy"):
        with _timed(result, observer, "permutation-entropy"):
            result.permutation_entropy = q.permutation_entropy(x, PERMUTATION_ORDER, tau)
    if settings.runs("rosenstein"):
        with _timed(result, observer, "rosenstein"):
            lam, curve, steps = engine("lyapunov_rosenstein", x, m, tau, observer=observer,
                                       key="rosenstein")
        _rosenstein(result, lam, curve, steps, policy)
    if settings.runs("kantz"):
        with _timed(result, observer, "kantz"):
            exponent, kcurve = engine("lyapunov_kantz", x, m, tau, None, epsilon, result.kantz_steps,
                                      observer=observer, key="kantz")
        _kantz(result, exponent, kcurve, distances, policy)
    for method, step in (("direct", "ftle-direct"), ("local", "ftle-local")):
        if settings.runs(step):
            with _timed(result, observer, step):
                ftle = finite_time_exponents(method, x, m, tau, anchors=settings.ftle_anchors,
                                             observer=observer, key=step)
            setattr(result, "ftle_direct" if method == "direct" else "ftle_local", ftle)
    result.notes.extend(_anchor_notes(result))
    if settings.surrogates:
        with _timed(result, observer, "surrogates"):
            result.surrogate_test = significance_test(result, observer, policy)
        result.notes.extend(_surrogate_notes(result.surrogate_test, policy))
    if result.rosenstein_embedding is not None and result.rosenstein_embedding[1] != 1 \
            and settings.runs("rosenstein"):
        result.notes.append(f"lyapunov_rosenstein itself returns the slope divided by the delay "
                            f"({format_number(result.rosenstein_lambda)} here); the report shows "
                            "the slope per sample")
    return result


def _anchor_notes(result: Analysis) -> List[str]:
    budget = result.settings.ftle_anchors
    ran = [f for f in (result.ftle_direct, result.ftle_local) if f is not None]
    if budget is None or not ran or all(f.candidates <= budget for f in ran):
        return []
    if all(f.indices is None for f in ran):
        return [f"FTLE ran on all {ran[0].candidates} reference points: the anchor budget "
                f"({budget}) needs the threaded module quorlin._parallel, which this build lacks"]
    return [f"FTLE: {budget} of {ran[0].candidates} reference points, evenly spaced along the "
            "series, were estimated (--ftle-anchors; 0 for all): the distribution is a sample"]


def _judge_trend(result: Analysis, policy: Policy) -> None:
    trend = linear_trend(result.analysed)
    result.trend = trend
    if result.settings.detrend:
        result.analysed = np.ascontiguousarray(result.analysed - trend.line(result.analysed.size))
        result.notes.append(f"the least-squares line (slope {format_number(trend.slope)} per sample, "
                            f"{trend.share:.0%} of the variance) was removed before the analysis "
                            "(--detrend)")
    elif trend.share >= policy.trend_share:
        result.notes.append(
            f"the series trends: a straight line explains {trend.share:.0%} of its variance "
            f"(slope {format_number(trend.slope)} per sample). A trend or drift biases the embedding, "
            "the Hurst exponents and the Lyapunov fits, and makes any surrogate test reject; "
            "--detrend removes the line first, and the surrogate test removes it from what it tests")


def _embedding(result: Analysis, observer: Observer) -> None:
    s, x = result.settings, result.analysed
    if s.runs("ami"):
        with _timed(result, observer, "ami"):
            result.delay_ami = q.optimal_delay(x)
    if s.runs("acf"):
        with _timed(result, observer, "acf"):
            result.delay_autocorr = q.optimal_delay(x, None, "autocorr")
    result.delay_given = s.delay is not None
    result.delay = max(1, int(s.delay) if s.delay is not None else int(result.delay_ami or 1))
    if s.runs("fnn"):
        with _timed(result, observer, "fnn"):
            result.dimension_fnn = engine("optimal_dimension", x, result.delay, 10, "fnn",
                                          DIMENSION_THRESHOLD, observer=observer, key="fnn")
    if s.runs("cao"):
        with _timed(result, observer, "cao"):
            result.dimension_cao = engine("optimal_dimension", x, result.delay, 10, "cao",
                                          DIMENSION_THRESHOLD, observer=observer, key="cao")
    result.dimension_given = s.dimension is not None
    result.dimension = max(1, int(s.dimension) if s.dimension is not None
                           else int(result.dimension_fnn or 1))


def _rosenstein(result: Analysis, lam: float, curve: FloatArray, steps: FloatArray,
                policy: Policy) -> None:
    n, m, tau = result.analysed.size, result.dimension, result.delay
    result.rosenstein_lambda = lam
    embedding = rosenstein_embedding(n, m, tau)
    result.rosenstein_embedding = embedding
    references = None
    if embedding is not None and curve.size:
        references = n - (embedding[0] - 1) * embedding[1] - curve.size
    fit = judge_fit(steps, curve, rosenstein_fit_window(curve.size), policy)
    result.rosenstein = Divergence(steps, curve, fit, int(curve.size),
                                   int(np.count_nonzero(np.isnan(curve))), references)
    if embedding is None:
        result.notes.append("Rosenstein: no exponent: the series is too short for any embedding "
                            f"that leaves {max(50, n // 4)} points")
        return
    if embedding != (m, tau):
        result.notes.append(f"Rosenstein used dimension {embedding[0]} and delay {embedding[1]} "
                            f"instead of {m} and {tau}: it lowers them until at least "
                            f"{max(50, n // 4)} embedded points remain")
    if curve.size == 0:
        result.notes.append(f"Rosenstein: no exponent: with dimension {embedding[0]} and delay "
                            f"{embedding[1]} the series is too short for the temporal window and "
                            "10 steps")
        return
    result.notes.extend(_fit_warnings("Rosenstein", result.rosenstein, policy))


def _kantz(result: Analysis, exponent: float, curve: FloatArray, distances: FloatArray,
           policy: Policy) -> None:
    n, m, tau = result.analysed.size, result.dimension, result.delay
    result.kantz_exponent = exponent
    positions = np.arange(curve.size, dtype=np.float64)
    fit = judge_fit(positions, curve, kantz_fit_window(curve.size), policy)
    n_points = max(n - (m - 1) * tau, 0)
    requested = min(result.kantz_steps, max(n_points - 1, 0))
    result.kantz = Divergence(positions, curve, fit, requested, max(requested - curve.size, 0))
    radius = result.kantz_radius
    assert radius is not None
    eps = (f"eps = {format_number(radius.value)}"
           + ("" if radius.given else f" ({KANTZ_RADIUS_FRACTION:g} sd)"))
    if n_points < m * tau + 2:
        result.kantz_problem = (f"the series is too short: {n_points} embedded points in dimension "
                                f"{m} with delay {tau}, fewer than the temporal window {m * tau} + 2")
    elif curve.size < 2:
        result.kantz_problem = (f"no pair of embedded points closer than {eps} in dimension {m}"
                                if curve.size == 0 else
                                f"only one step had pairs of embedded points closer than {eps}")
        advice = []
        suggestion = _suggested_radius(distances, n_points)
        if suggestion is not None and suggestion[0] > radius.value:
            advice.append(f"a larger --epsilon, such as {format_number(suggestion[0], 3)} "
                          f"(about {suggestion[1]:.1%} of the pairs are that close)")
        if m > 2:
            advice.append("a smaller --dimension")
        if advice:
            result.kantz_problem += "; try " + " or ".join(advice)
    if result.kantz_problem is not None:
        result.notes.append(f"Kantz: no exponent: {result.kantz_problem}")
    else:
        if curve.size < requested:
            result.notes.append(f"Kantz: {requested - curve.size} of {requested} steps had no pair "
                                "closer than eps and are left out of the curve, so its positions "
                                "are not step numbers")
        result.notes.extend(_fit_warnings("Kantz", result.kantz, policy))
    if radius.median_distance is not None and radius.value > radius.median_distance:
        result.notes.append(
            f"Kantz's {eps} exceeds the median distance between embedded points "
            f"({format_number(radius.median_distance)}, over {radius.sampled_points} evenly spaced "
            "points): eps covers most of the attractor, so most pairs count as neighbours and the "
            "curve does not follow nearby trajectories. Extreme values (spikes, glitches) inflate "
            "the sd: remove them, or give a smaller --epsilon")
