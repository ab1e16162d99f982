"""One-page report on a scalar series: the command behind ``python -m quorlin``.

The report chains the library's functions the way an analysis usually does:
estimate the embedding delay and dimension, then compute the complexity
measures and the Lyapunov exponents with that embedding. It is also usable
from Python::

    from quorlin.report import analyse, format_report
    result = analyse(x, sampling_interval=0.01)
    print(format_report(result))
    result.summary()        # the same numbers as a JSON-ready dict
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, TextIO, Tuple

import numpy as np
from numpy.typing import NDArray

from quorlin import _native as q
from quorlin.reading import MAX_SHOWN_PATH, InputError, Series, load_series, printable, quoted

__all__ = [
    "Analysis", "InputError", "Series", "analyse", "autocorrelation_curve", "format_report",
    "load_series", "main", "mutual_information_curve", "rosenstein_embedding",
]

#: Fewest usable samples the report accepts: below this the Lyapunov
#: estimators have nothing to work with (Rosenstein's needs 50).
MIN_SAMPLES = 50
#: Default cap on the number of samples analysed (--max-samples). The
#: neighbour searches grow with the square of the length; at this size the
#: whole report takes seconds to tens of seconds.
DEFAULT_MAX_SAMPLES = 20000
#: Steps of Kantz's divergence curve. Its own default, a quarter of the
#: embedded points, grows with the series, and so does its fit window (the
#: first tenth of the curve): on long series the line then runs far into the
#: plateau and the exponent shrinks towards zero. The cap keeps the window at
#: most 100 steps, as Rosenstein's default is, and bounds the cost.
KANTZ_MAX_STEPS = 1000
#: From this length on, progress lines go to a non-interactive stderr.
LONG_SERIES = 10000
#: Embedded points over which the report measures the typical distance
#: between points, to tell when Kantz's radius covers most of the attractor.
DISTANCE_SAMPLE = 500

FloatArray = NDArray[np.float64]


# --- Reading a series ----------------------------------------------------------


def example_series(n_samples: Optional[int] = None) -> Series:
    from quorlin.examples import EXAMPLE_SAMPLES, lorenz_x

    x, dt = lorenz_x(EXAMPLE_SAMPLES if n_samples is None else n_samples)
    return Series(x, "built-in example: x of the Lorenz system (sigma=10, rho=28, beta=8/3), "
                  f"RK4, sampled every {dt:g} time units", sampling_interval=dt,
                  notes=["the largest Lyapunov exponent of this Lorenz system is known: "
                         "about 0.906 per time unit"])


# --- Curves drawn beside the chosen delay ----------------------------------------


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


# --- The analysis ----------------------------------------------------------------


def rosenstein_embedding(n: int, dimension: int, delay: int) -> Optional[Tuple[int, int]]:
    """The (dimension, delay) that `lyapunov_rosenstein` uses for a series of n
    samples (no NaN) when asked for (dimension, delay): the requested pair when
    it leaves at least max(50, n // 4) embedded points, else the first fitting
    pair with a smaller dimension, then a smaller delay, then both. None when
    nothing fits."""
    needed = max(50, n // 4)
    if dimension == 0 or n < 50:
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


def median_distance(x: FloatArray, dimension: int, delay: int) -> Optional[float]:
    """Median Euclidean distance between distinct embedded points, over
    DISTANCE_SAMPLE points spread evenly along the series (all of them when
    there are fewer); pairs at distance 0 are left out, as Kantz's method
    leaves them out. None when no such pair exists. A radius above this
    median makes most pairs of points neighbours."""
    n_points = x.size - (dimension - 1) * delay
    if n_points < 2:
        return None
    chosen = np.unique(np.linspace(0, n_points - 1, min(n_points, DISTANCE_SAMPLE)).round()
                       .astype(np.int64))
    # (dimension - 1) * delay < n here, but a delay of any size may come with
    # dimension 1.
    offsets = np.arange(dimension, dtype=np.int64) * (delay if dimension > 1 else 0)
    points = x[chosen[:, None] + offsets]
    distances = np.concatenate([np.sqrt(((points[i + 1:] - points[i]) ** 2).sum(axis=1))
                                for i in range(chosen.size - 1)])
    distances = distances[distances > 0]
    return float(np.median(distances)) if distances.size else None


def _line(xs: FloatArray, ys: FloatArray) -> Tuple[float, float]:
    """Least-squares line (slope, intercept) through the finite points, for
    drawing; NaN when fewer than two remain."""
    finite = np.isfinite(ys)
    if np.count_nonzero(finite) < 2:
        return math.nan, math.nan
    slope, intercept = np.polyfit(xs[finite], ys[finite], 1)
    return float(slope), float(intercept)


@dataclass
class Divergence:
    """A divergence curve, the points its exponent was fitted on and the line."""
    steps: FloatArray
    curve: FloatArray
    fit_count: int
    slope: float = math.nan
    intercept: float = math.nan


@dataclass
class Ftle:
    values: FloatArray      # one per reference point; NaN where there is no estimate
    time_horizon: int

    def summary(self) -> Dict[str, Any]:
        finite = self.values[np.isfinite(self.values)]
        stats: Dict[str, Any] = {"time_horizon": self.time_horizon, "points": int(self.values.size),
                                 "estimates": int(finite.size)}
        if finite.size:
            p5, median, p95 = np.percentile(finite, [5.0, 50.0, 95.0])
            stats.update(mean=float(finite.mean()), median=float(median), p5=float(p5), p95=float(p95))
        else:
            stats.update(mean=math.nan, median=math.nan, p5=math.nan, p95=math.nan)
        return stats


@dataclass
class Analysis:
    """Everything the report shows, and the curves its plot draws."""
    series: Series
    samples: int
    nan_samples: int
    infinite_samples: int
    analysed: FloatArray
    delay_ami: int = 0
    delay_autocorr: int = 0
    delay: int = 1
    delay_given: bool = False
    dimension_fnn: int = 0
    dimension_cao: int = 0
    dimension: int = 3
    dimension_given: bool = False
    hurst_rs: float = math.nan
    hurst_dfa: float = math.nan
    sample_entropy: float = math.nan
    permutation_entropy: float = math.nan
    permutation_order: int = 3
    rosenstein_lambda: float = math.nan
    rosenstein_embedding: Optional[Tuple[int, int]] = None
    rosenstein: Optional[Divergence] = None
    kantz_exponent: float = math.nan
    kantz_steps: int = 0
    kantz_epsilon: float = math.nan
    kantz: Optional[Divergence] = None
    ftle_direct: Optional[Ftle] = None
    ftle_local: Optional[Ftle] = None
    notes: List[str] = field(default_factory=list)

    @property
    def sampling_interval(self) -> Optional[float]:
        return self.series.sampling_interval

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

    def summary(self) -> Dict[str, Any]:
        """The report's numbers as a dict of plain Python values (NaN kept)."""
        r_dim, r_delay = self.rosenstein_embedding or (None, None)
        return {
            "source": {"description": self.series.description, "path": self.series.path,
                       "column": self.series.column},
            "samples": self.samples,
            "nan_samples": self.nan_samples,
            "infinite_samples": self.infinite_samples,
            "analysed_samples": int(self.analysed.size),
            "sampling_interval": self.sampling_interval,
            "delay": {"mutual_information": self.delay_ami, "autocorrelation": self.delay_autocorr,
                      "used": self.delay, "given": self.delay_given},
            "dimension": {"false_nearest_neighbours": self.dimension_fnn, "cao": self.dimension_cao,
                          "used": self.dimension, "given": self.dimension_given},
            "hurst": {"rescaled_range": self.hurst_rs, "dfa": self.hurst_dfa},
            "sample_entropy": {"value": self.sample_entropy, "m": 2},
            "permutation_entropy": {"value": self.permutation_entropy, "order": self.permutation_order,
                                    "delay": self.delay, "normalized": True},
            "lyapunov": {
                "rosenstein": {
                    "per_sample": self.rosenstein_per_sample,
                    "per_time_unit": self.per_time_unit(self.rosenstein_per_sample),
                    "lambda_max": self.rosenstein_lambda,
                    "dimension": r_dim, "delay": r_delay,
                    "steps": 0 if self.rosenstein is None else int(self.rosenstein.curve.size),
                    "fit_steps": 0 if self.rosenstein is None else self.rosenstein.fit_count,
                },
                "kantz": {
                    "per_sample": self.kantz_exponent,
                    "per_time_unit": self.per_time_unit(self.kantz_exponent),
                    "dimension": self.dimension, "delay": self.delay, "max_iter": self.kantz_steps,
                    "epsilon": self.kantz_epsilon,
                    "curve_length": 0 if self.kantz is None else int(self.kantz.curve.size),
                    "fit_points": 0 if self.kantz is None else self.kantz.fit_count,
                },
            },
            "ftle": {
                "direct_perturbation": None if self.ftle_direct is None else self.ftle_direct.summary(),
                "local_linearization": None if self.ftle_local is None else self.ftle_local.summary(),
            },
            "notes": self.series.notes + self.notes,
        }


class Progress:
    """Progress of the analysis on stderr: a bar redrawn in place on a terminal,
    one line per finished step (with its run time) otherwise, or nothing."""

    def __init__(self, total: int, stream: Optional[TextIO], mode: str) -> None:
        self.total, self.stream, self.mode = total, stream, mode
        self.done, self.started = 0, time.perf_counter()
        self.width = 0

    @classmethod
    def for_run(cls, total: int, n_samples: int, quiet: bool,
                stream: Optional[TextIO] = None) -> "Progress":
        stream = sys.stderr if stream is None else stream
        if quiet:
            mode = "off"
        elif stream.isatty():
            mode = "bar"
        else:
            mode = "lines" if n_samples >= LONG_SERIES else "off"
        progress = cls(total, stream, mode)
        if mode == "lines":
            progress._write(f"quorlin: analysing {n_samples} samples in {total} steps\n")
        return progress

    def _write(self, text: str) -> None:
        assert self.stream is not None
        self.stream.write(text)
        self.stream.flush()

    def _bar(self, label: str) -> None:
        filled = round(24 * self.done / max(self.total, 1))
        line = (f"[{'#' * filled}{'.' * (24 - filled)}] {self.done}/{self.total} {label} "
                f"({time.perf_counter() - self.started:.1f} s)")
        self._write("\r" + line.ljust(self.width))
        self.width = max(self.width, len(line))

    @contextmanager
    def step(self, label: str) -> Iterator[None]:
        begun = time.perf_counter()
        if self.mode == "bar":
            self._bar(label)
        yield
        self.done += 1
        if self.mode == "lines":
            self._write(f"quorlin: [{self.done}/{self.total}] {label}: "
                        f"{time.perf_counter() - begun:.1f} s\n")

    def pause(self) -> None:
        """Erases the bar, so that other output can follow; the next step
        draws it again."""
        if self.mode == "bar" and self.width:
            self._write("\r" + " " * self.width + "\r")
            self.width = 0

    def close(self) -> None:
        self.pause()


ANALYSIS_STEPS = 11


def analyse(x: "FloatArray | Series", *, delay: Optional[int] = None, dimension: Optional[int] = None,
            sampling_interval: Optional[float] = None, max_samples: Optional[int] = None,
            progress: Optional[Progress] = None) -> Analysis:
    """Runs every estimator of the report on one series.

    Non-finite samples are counted and removed first (the samples on either
    side are joined); with `max_samples` only the first that many samples are
    analysed. The delay (first minimum of the mutual information) and the
    dimension (false nearest neighbours) are estimated unless given, and then
    used by permutation entropy, both Lyapunov estimators and both FTLE
    methods. Raises InputError when fewer than MIN_SAMPLES usable samples
    remain."""
    series = x if isinstance(x, Series) else Series(np.asarray(x, dtype=np.float64), "series")
    if sampling_interval is not None:
        series = replace(series, sampling_interval=sampling_interval)
    raw = np.asarray(series.values, dtype=np.float64)
    if raw.ndim != 1:
        raise InputError(f"expected one series (a one-dimensional array), got shape {raw.shape}")
    result = Analysis(series, int(raw.size), int(np.isnan(raw).sum()), int(np.isinf(raw).sum()),
                      raw)
    window = raw if max_samples is None or max_samples <= 0 else raw[:max_samples]
    finite = np.ascontiguousarray(window[np.isfinite(window)])
    result.analysed = finite
    if finite.size < MIN_SAMPLES:
        raise InputError(f"too few samples in {series.description}: {finite.size} usable "
                         f"(finite) samples, the report needs at least {MIN_SAMPLES}")
    if window.size < raw.size:
        result.notes.append(f"only the first {window.size} of {raw.size} samples were analysed "
                            "(--max-samples)")
    dropped = int(window.size - finite.size)
    if dropped:
        result.notes.append(f"{dropped} non-finite sample{'s were' if dropped != 1 else ' was'} "
                            "removed before the analysis (their neighbours are joined)")
    progress = progress or Progress(ANALYSIS_STEPS, None, "off")
    n = int(finite.size)

    with progress.step("delay by mutual information"):
        result.delay_ami = q.optimal_delay(finite)
    with progress.step("delay by autocorrelation"):
        result.delay_autocorr = q.optimal_delay(finite, method="autocorr")
    result.delay_given = delay is not None
    result.delay = max(1, result.delay_ami if delay is None else int(delay))
    with progress.step("dimension by false nearest neighbours"):
        result.dimension_fnn = q.optimal_dimension(finite, delay=result.delay)
    with progress.step("dimension by Cao's method"):
        result.dimension_cao = q.optimal_dimension(finite, delay=result.delay, method="cao")
    result.dimension_given = dimension is not None
    result.dimension = max(1, result.dimension_fnn if dimension is None else int(dimension))
    m, tau = result.dimension, result.delay

    with progress.step("Hurst exponent"):
        result.hurst_rs = q.hurst_exponent(finite)
        result.hurst_dfa = q.hurst_exponent(finite, method="dfa")
    with progress.step("sample entropy"):
        result.sample_entropy = q.sample_entropy(finite)
    with progress.step("permutation entropy"):
        result.permutation_entropy = q.permutation_entropy(finite, result.permutation_order, tau)

    with progress.step("Rosenstein exponent"):
        lam, curve, steps = q.lyapunov_rosenstein(finite, m, tau)
    result.rosenstein_lambda = lam
    result.rosenstein_embedding = rosenstein_embedding(n, m, tau)
    window_len = min(curve.size, max(10, curve.size // 5))
    head = np.isfinite(curve[:window_len])
    result.rosenstein = Divergence(steps, curve, int(head.sum()),
                                   *_line(steps[:window_len][head], curve[:window_len][head]))

    result.kantz_steps = min(max(n - (m - 1) * tau, 0) // 4, KANTZ_MAX_STEPS)
    with progress.step("Kantz exponent"):
        exponent, kcurve = q.lyapunov_kantz(finite, m, tau, max_iter=result.kantz_steps)
    result.kantz_exponent = exponent
    if kcurve.size < 2:
        result.notes.append(
            f"Kantz's method had too few pairs of points closer than eps = 0.1 sd in "
            f"dimension {m} for a curve" + (": a smaller --dimension gives more pairs" if m > 2 else ""))
    fit = min(kcurve.size, max(2, kcurve.size // 10))
    positions = np.arange(kcurve.size, dtype=np.float64)
    result.kantz = Divergence(positions, kcurve, fit, *_line(positions[:fit], kcurve[:fit]))
    # The radius lyapunov_kantz takes by default (0.1 population sd), for the
    # report; it is not passed to the call.
    result.kantz_epsilon = 0.1 * float(np.std(finite))
    typical = median_distance(finite, m, tau)
    if typical is not None and result.kantz_epsilon > typical:
        result.notes.append(
            f"Kantz's eps = 0.1 sd = {_fmt(result.kantz_epsilon)} exceeds the median distance "
            f"between embedded points ({_fmt(typical)}, over {DISTANCE_SAMPLE} evenly spaced points): "
            "eps covers most of the attractor, so most pairs count as neighbours and the curve does "
            "not follow nearby trajectories. Extreme values (spikes, glitches) inflate the sd: remove "
            "them, or give lyapunov_kantz a smaller epsilon")

    with progress.step("FTLE by direct perturbation"):
        values, norms = q.ftle_direct_perturbation(finite, m, tau)
    # A reference point without a usable neighbour keeps 0.0 in both arrays;
    # its stretching factor of 0.0 tells it apart from a true exponent of 0.
    result.ftle_direct = Ftle(np.where(norms > 0.0, values, np.nan), 10)
    with progress.step("FTLE by local linearization"):
        if n > (m - 1) * tau:
            local, _confidence = q.ftle_local_linearization(q.time_delay_embedding(finite, m, tau))
        else:
            local = np.empty(0)
    result.ftle_local = Ftle(local, 10)
    return result


# --- Text and JSON -------------------------------------------------------------


def _fmt(value: Optional[float], digits: int = 4) -> str:
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


def format_report(a: Analysis) -> str:
    """The report as text, one screen long."""
    out: List[str] = []
    add = out.append
    dt = a.sampling_interval

    def row(label: str, value: str, comment: str = "") -> None:
        add(f"  {label:<38}{value:>8}" + (f"   {comment}" if comment else ""))

    add(f"quorlin report: {a.series.description}")
    add("")
    add("Series")
    row("samples", str(a.samples))
    row("NaN samples", str(a.nan_samples))
    if a.infinite_samples:
        row("infinite samples", str(a.infinite_samples))
    row("analysed samples", str(a.analysed.size))
    if dt is not None:
        row("sampling interval", _fmt(dt), "exponents also per time unit")
    add("")
    add("Embedding")
    used = "<- used" if not a.delay_given else ""
    row("delay, mutual information", str(a.delay_ami), used)
    row("delay, autocorrelation (first zero)", str(a.delay_autocorr))
    if a.delay_given:
        row("delay, given", str(a.delay), "<- used")
    used = "<- used" if not a.dimension_given else ""
    row("dimension, false nearest neighbours", str(a.dimension_fnn), used)
    row("dimension, Cao", str(a.dimension_cao))
    if a.dimension_given:
        row("dimension, given", str(a.dimension), "<- used")
    add("")
    add("Complexity")
    row("Hurst exponent, R/S", _fmt(a.hurst_rs), "clamped to [0, 1]")
    row("Hurst exponent, DFA", _fmt(a.hurst_dfa))
    row("sample entropy", _fmt(a.sample_entropy), "m=2, r=0.2 sd (nats)")
    row("permutation entropy", _fmt(a.permutation_entropy),
        f"order {a.permutation_order}, delay {a.delay}, normalized to [0, 1]")
    add("")
    add(f"{'Largest Lyapunov exponent':<40}{'per sample':>8}"
        + ("" if dt is None else f"{'per time unit':>15}"))

    def exponent_row(label: str, per_sample: float, comment: str) -> None:
        per_time = a.per_time_unit(per_sample)
        value = f"{_fmt(per_sample):>10}" + ("" if per_time is None else f"{_fmt(per_time):>15}")
        add(f"  {label:<36}{value}   {comment}")

    r_fit = a.rosenstein.fit_count if a.rosenstein is not None else 0
    r_steps = a.rosenstein.curve.size if a.rosenstein is not None else 0
    if a.rosenstein_embedding is None:
        exponent_row("Rosenstein", math.nan, "series too short for the embedding")
    elif r_steps == 0:
        rm, rt = a.rosenstein_embedding
        exponent_row("Rosenstein", math.nan, f"m={rm}, delay {rt}: series too short for "
                     "the temporal separation and 10 steps")
    else:
        rm, rt = a.rosenstein_embedding
        window = min(r_steps, max(10, r_steps // 5))
        finite = "" if r_fit == window else f"{r_fit} finite values of "
        exponent_row("Rosenstein", a.rosenstein_per_sample,
                     f"m={rm}, delay {rt}, fit on {finite}steps 0-{window - 1} of {r_steps}")
    k_len = a.kantz.curve.size if a.kantz is not None else 0
    k_fit = a.kantz.fit_count if a.kantz is not None else 0
    fitted = (f"fit on points 0-{k_fit - 1} of {k_len}" if k_len >= 2
              else f"{k_len} steps with pairs closer than eps")
    exponent_row("Kantz", a.kantz_exponent,
                 f"m={a.dimension}, delay {a.delay}, eps=0.1 sd, {fitted} (max_iter {a.kantz_steps})")
    add("")
    add("Finite-time Lyapunov exponents (per sample, horizon 10 samples)")
    add(f"  {'':<24}{'estimates':>12}{'mean':>10}{'median':>10}{'5%':>10}{'95%':>10}")
    for label, ftle in (("direct perturbation", a.ftle_direct), ("local linearization", a.ftle_local)):
        if ftle is None:
            continue
        s = ftle.summary()
        add(f"  {label:<24}{str(s['estimates']) + '/' + str(s['points']):>12}"
            + "".join(f"{_fmt(s[key], 3):>10}" for key in ("mean", "median", "p5", "p95")))
    notes = a.series.notes + a.notes
    if a.rosenstein_embedding is not None and a.rosenstein_embedding[1] != 1:
        notes.append(f"lyapunov_rosenstein itself returns the slope divided by the delay "
                     f"({_fmt(a.rosenstein_lambda)} here); the table shows the slope per sample")
    if notes:
        add("")
        add("Notes")
        for note in notes:
            add(f"  - {note}")
    return "\n".join(out) + "\n"


def _json_ready(value: Any) -> Any:
    """Plain JSON values: NaN becomes null, infinities the strings "Infinity"
    and "-Infinity" (JSON has no number for them)."""
    if isinstance(value, dict):
        return {key: _json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(item) for item in value]
    if isinstance(value, (float, np.floating)):
        v = float(value)
        if math.isnan(v):
            return None
        if math.isinf(v):
            return "Infinity" if v > 0 else "-Infinity"
        return v
    if isinstance(value, np.integer):
        return int(value)
    return value


def format_json(a: Analysis) -> str:
    return json.dumps(_json_ready(a.summary()), indent=2, allow_nan=False) + "\n"


# --- Command line ----------------------------------------------------------------


#: Largest value of the integer options: the extension takes counts as
#: unsigned 64-bit integers.
MAX_OPTION_INTEGER = 2**64 - 1


def _integer_from(minimum: int) -> Callable[[str], int]:
    """An argparse type: an integer from `minimum` to MAX_OPTION_INTEGER."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            # int() also refuses more than ~4300 digits: out of range anyway.
            if not text.strip().lstrip("+-").isdecimal():
                raise argparse.ArgumentTypeError(f"not an integer: '{printable(text, 30)}'") from None
            value = MAX_OPTION_INTEGER + 1
        if not minimum <= value <= MAX_OPTION_INTEGER:
            raise argparse.ArgumentTypeError(f"must be an integer from {minimum} to "
                                             f"{MAX_OPTION_INTEGER}, got {printable(text, 30)}")
        return value

    return parse


_positive_int = _integer_from(1)
_count = _integer_from(0)


def _interval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{printable(text, 30)}'") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {printable(text, 30)}")
    return value


class _Parser(argparse.ArgumentParser):
    """Usage errors in the command's one-line form, like every other error."""

    def error(self, message: str) -> "NoReturn":
        self.exit(2, f"quorlin: error: {printable(message, 300)} (python -m quorlin --help "
                     "lists the options)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m quorlin",
        description="Report on one time series: embedding delay and dimension, Hurst exponent, "
                    "sample and permutation entropy, largest Lyapunov exponent (Rosenstein, Kantz) "
                    "and finite-time Lyapunov exponents. Without a file, analyses a built-in "
                    "example: the x-coordinate of the Lorenz system.",
    )
    parser.add_argument("path", nargs="?", help="series to analyse: .csv, .tsv, .txt, .dat (a table "
                        "of numbers, optional header line), .npy, or - for a table on standard input")
    parser.add_argument("-c", "--column", help="column of a table: header name or 0-based index "
                        "(needed when the table has several numeric columns)")
    parser.add_argument("--json", action="store_true", help="print the report as JSON "
                        "(NaN as null, infinities as \"Infinity\"/\"-Infinity\")")
    parser.add_argument("--plot", metavar="FILE", help="also draw the divergence curves, the FTLE "
                        "values and the delay curves into FILE (.png, .pdf, .svg, ...; needs "
                        "matplotlib)")
    parser.add_argument("--dt", "--sampling-interval", dest="dt", type=_interval, metavar="DT",
                        help="time between samples: exponents are also given per time unit")
    parser.add_argument("--delay", type=_positive_int, help="use this delay instead of the estimate")
    parser.add_argument("--dimension", type=_positive_int,
                        help="use this embedding dimension instead of the estimate")
    parser.add_argument("--max-samples", type=_count, default=DEFAULT_MAX_SAMPLES, metavar="N",
                        help="analyse only the first N samples (default %(default)s; 0 for all). The "
                        "neighbour searches take time growing with the square of N")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
    return parser


def _check_plot_target(target: str) -> None:
    """Refuses, before the analysis, a picture that could not be written."""
    try:
        from quorlin.plotting import format_problem, supported_formats, usable_formats
    except ImportError:
        raise InputError("--plot needs matplotlib: python -m pip install 'quorlin[plot]'") from None
    shown = printable(target, MAX_SHOWN_PATH)
    suffix = os.path.splitext(target)[1].lower()

    def others() -> str:
        return ", ".join(f".{f}" for f in sorted(usable_formats()) if f != "png")

    if suffix.lstrip(".") not in supported_formats():
        raise InputError(f"cannot draw {shown}: unknown image type "
                         f"{repr('(none)') if not suffix else quoted(suffix)} (use .png, or one of "
                         f"{others()})")
    problem = format_problem(suffix.lstrip("."))
    if problem is not None:
        raise InputError(f"cannot draw {shown}: matplotlib cannot write {suffix} files here "
                         f"({problem}); use .png, or one of {others()}")
    directory = os.path.dirname(target) or os.curdir
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {shown}: no directory {printable(directory, MAX_SHOWN_PATH)}")
    if os.path.lexists(target) and not os.path.isfile(target):
        raise InputError(f"cannot write {shown}: it exists and is not a regular file")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError(f"cannot write {shown}: no permission to create files in "
                         f"{printable(directory, MAX_SHOWN_PATH)}")


def _emit(stream: TextIO, text: str) -> None:
    """Writes and flushes `text`; characters the stream's encoding cannot
    carry (a strict ASCII or Latin-1 stdout) are written as escapes."""
    try:
        stream.write(text)
    except UnicodeEncodeError:
        encoding = getattr(stream, "encoding", None) or "ascii"
        stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
    stream.flush()


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None,
         stderr: Optional[TextIO] = None) -> int:
    """Runs the command; returns its exit status: 0, 2 for input that cannot
    be analysed or a picture that cannot be written (one line on stderr),
    130 when interrupted, 141 when stdout was closed early (`| head`). The
    report is printed before the picture is drawn, so that a failed picture
    never costs the numbers."""
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    args = build_parser().parse_args(argv)

    def fail(message: str) -> int:
        progress.pause()
        _emit(stderr, f"quorlin: error: {message}\n")
        return 2

    progress = Progress(0, None, "off")
    try:
        try:
            if args.plot:
                _check_plot_target(args.plot)
            if args.path is None and args.column is not None:
                raise InputError("--column applies to a file; the built-in example has one series")
            try:
                series = (example_series() if args.path is None
                          else load_series(args.path, args.column))
            except MemoryError:
                raise InputError(f"not enough memory to read "
                                 f"{printable(os.fsdecode(args.path), MAX_SHOWN_PATH)}") from None
            if args.dt is not None:
                series.sampling_interval = args.dt
            finite_count = int(np.isfinite(series.values[:args.max_samples or None]).sum())
            progress = Progress.for_run(ANALYSIS_STEPS + bool(args.plot), finite_count, args.quiet,
                                        stderr)
            try:
                result = analyse(series, delay=args.delay, dimension=args.dimension,
                                 max_samples=args.max_samples, progress=progress)
            except MemoryError:
                raise InputError(f"not enough memory to analyse {finite_count} samples: try a "
                                 "smaller --max-samples") from None
        except InputError as error:
            return fail(str(error))
        progress.pause()
        try:
            _emit(stdout, format_json(result) if args.json else format_report(result))
        except BrokenPipeError:
            _silence(stdout)
            return 141
        if args.plot:
            from quorlin.plotting import plot_analysis

            shown = printable(args.plot, MAX_SHOWN_PATH)
            try:
                with progress.step("plot"):
                    plot_analysis(result, args.plot)
            except OSError as error:
                return fail(f"cannot write {shown}: {error.strerror or error}")
            except Exception as error:      # noqa: BLE001 - the numbers are out; say why in one line
                return fail(f"cannot draw {shown}: {printable(f'{type(error).__name__}: {error}', 200)}")
        return 0
    except KeyboardInterrupt:
        progress.pause()
        _emit(stderr, "quorlin: interrupted\n")
        return 130
    finally:
        progress.close()


def _silence(stdout: TextIO) -> None:
    """After the reader of stdout went away (`| head`): points the descriptor
    at /dev/null so that the flush at exit does not fail once more."""
    if stdout is not sys.stdout:
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass
