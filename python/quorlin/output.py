"""The report as text (one screen, for a terminal or a lab notebook) and as
JSON (every number and parameter, for tools)."""

from __future__ import annotations

import json
import math
from typing import Any, List, Optional

import numpy as np

from quorlin.model import Analysis, Divergence, FitDiagnostics, format_number

__all__ = ["format_json", "format_report", "json_ready"]

_fmt = format_number


def format_report(a: Analysis) -> str:
    """The report as text, about one screen long."""
    out: List[str] = []
    add = out.append
    dt = a.sampling_interval
    unit = a.series.time_unit or "time unit"

    def row(label: str, value: str, comment: str = "") -> None:
        add(f"  {label:<38}{value:>8}" + (f"   {comment}" if comment else ""))

    def skipped(step: str) -> bool:
        return not a.ran(step)

    add(f"quorlin report: {a.series.description}")
    add("")
    add("Series")
    row("samples", str(a.samples))
    row("NaN samples", str(a.nan_samples))
    if a.infinite_samples:
        row("infinite samples", str(a.infinite_samples))
    row("analysed samples", str(a.analysed.size),
        f"the first {a.samples - a.cut} (--max-samples)" if a.cut else "")
    if dt is not None:
        source = f"from column {a.series.time_column}" if a.series.time_column else ""
        row("sampling interval", _fmt(dt), "; ".join(filter(None, [
            " ".join(filter(None, [a.series.time_unit, source])), "exponents also per " + unit])))
    if a.trend is not None:
        row("linear trend, share of variance", f"{a.trend.share:.1%}",
            "removed (--detrend)" if a.settings.detrend else "")
    add("")
    add("Embedding")

    def choice(label: str, value: Optional[int], used: bool, step: str) -> None:
        row(label, "skipped" if skipped(step) else str(value), "<- used" if used else "")

    choice("delay, mutual information", a.delay_ami, not a.delay_given, "ami")
    choice("delay, autocorrelation (first zero)", a.delay_autocorr, False, "acf")
    if a.delay_given:
        row("delay, given", str(a.delay), "<- used")
    choice("dimension, false nearest neighbours", a.dimension_fnn, not a.dimension_given, "fnn")
    choice("dimension, Cao", a.dimension_cao, False, "cao")
    if a.dimension_given:
        row("dimension, given", str(a.dimension), "<- used")
    add("")
    add("Complexity")

    def measure(label: str, value: float, step: str, comment: str) -> None:
        row(label, "skipped" if skipped(step) else _fmt(value), "" if skipped(step) else comment)

    measure("Hurst exponent, R/S", a.hurst_rs, "hurst", "clamped to [0, 1]")
    measure("Hurst exponent, DFA", a.hurst_dfa, "hurst", "")
    measure("sample entropy", a.sample_entropy, "sample-entropy",
            f"m=2, r={_fmt(a.sample_entropy_r)} (0.2 sd), nats")
    measure("permutation entropy", a.permutation_entropy, "permutation-entropy",
            f"order {a.permutation_order}, delay {a.delay}, normalized to [0, 1]")
    add("")
    _lyapunov(a, add, unit)
    add("")
    _ftle(a, add)
    if a.surrogate_test is not None:
        add("")
        _surrogates(a, add)
    notes = a.all_notes()
    if notes:
        add("")
        add("Notes")
        for note in notes:
            add(f"  - {note}")
    return "\n".join(out) + "\n"


def _lyapunov(a: Analysis, add: Any, unit: str) -> None:
    dt = a.sampling_interval
    add(f"{'Largest Lyapunov exponent':<40}{'per sample':>8}"
        + ("" if dt is None else f"{'per ' + unit:>15}"))

    def exponent_row(label: str, per_sample: float, comment: str) -> None:
        per_time = a.per_time_unit(per_sample)
        value = f"{_fmt(per_sample):>10}" + ("" if per_time is None else f"{_fmt(per_time):>15}")
        add(f"  {label:<36}{value}   {comment}")

    if not a.ran("rosenstein"):
        add(f"  {'Rosenstein':<36}{'skipped':>10}")
    elif a.rosenstein_embedding is None:
        exponent_row("Rosenstein", math.nan, "series too short for the embedding")
    else:
        rm, rt = a.rosenstein_embedding
        exponent_row("Rosenstein", a.rosenstein_per_sample, f"m={rm}, delay {rt}")
    radius = a.kantz_radius
    if not a.ran("kantz") or radius is None:
        add(f"  {'Kantz':<36}{'skipped':>10}")
    else:
        eps = f"eps={_fmt(radius.value)}" + (" (given)" if radius.given else " (0.1 sd)")
        exponent_row("Kantz", a.kantz_exponent, f"m={a.dimension}, delay {a.delay}, {eps}, "
                                                f"max_iter {a.kantz_steps}")
    known = a.series.known_exponent
    if known is not None and dt is not None:
        exponent_row("known value", known * dt, "")
    fits = [(name, d) for name, d, step in (("Rosenstein", a.rosenstein, "rosenstein"),
                                             ("Kantz", a.kantz, "kantz"))
            if a.ran(step) and d is not None and d.curve.size]
    if not fits:
        return
    add("")
    add(f"  {'fit of the divergence curve':<28}{'window':>14}{'R^2':>7}{'whole':>7}{'plateau':>9}"
        f"{'no pairs':>10}{'references':>12}")
    for name, d in fits:
        add(f"  {name:<28}{_window(d.fit, d):>14}{_r2(d.fit):>7}{_yes(d.fit.covers_curve):>7}"
            f"{_yes(d.fit.plateau):>9}{d.missing_steps:>10}"
            f"{'-' if d.references is None else str(d.references):>12}")
    add("  (window: fitted steps of the curve; whole: the window is the whole curve; plateau: the "
        "curve levels off after it;")
    add("   no pairs: steps without any pair; references: points followed, at most one pair each; "
        "pairs per step are not returned)")


def _window(fit: FitDiagnostics, d: Divergence) -> str:
    return f"{fit.first}-{fit.last} of {d.curve.size}"


def _r2(fit: FitDiagnostics) -> str:
    return "-" if math.isnan(fit.r_squared) else f"{fit.r_squared:.3f}"


def _yes(value: Optional[bool]) -> str:
    return "-" if value is None else ("yes" if value else "no")


def _ftle(a: Analysis, add: Any) -> None:
    horizons = {f.time_horizon for f in (a.ftle_direct, a.ftle_local) if f is not None}
    horizon = f", horizon {horizons.pop()} samples" if len(horizons) == 1 else ""
    sampled = next((f.anchors for f in (a.ftle_direct, a.ftle_local)
                    if f is not None and f.indices is not None), None)
    add(f"Finite-time Lyapunov exponents (per sample{horizon}, "
        + (f"reference points: {sampled})" if sampled else "all reference points)"))
    add(f"  {'':<24}{'estimates':>12}{'mean':>10}{'median':>10}{'5%':>10}{'95%':>10}")
    for label, ftle, step in (("direct perturbation", a.ftle_direct, "ftle-direct"),
                              ("local linearization", a.ftle_local, "ftle-local")):
        if ftle is None:
            add(f"  {label:<24}{'skipped' if not a.ran(step) else '-':>12}")
            continue
        s = ftle.summary()
        add(f"  {label:<24}{str(s['estimates']) + '/' + str(s['points']):>12}"
            + "".join(f"{_fmt(s[key], 3):>10}" for key in ("mean", "median", "p5", "p95")))


def _surrogates(a: Analysis, add: Any) -> None:
    t = a.surrogate_test
    assert t is not None
    name = {"iaaft": "IAAFT", "phase": "phase randomisation"}[t.method]
    start, stop = t.segment
    add(f"Surrogate test ({name}, {t.count} surrogates, seed {t.seed}; samples {start}-{stop - 1} "
        "of the analysed series, end-matched" + (", detrended" if t.detrended else "") + ")")
    add(f"  {'statistic':<34}{'data':>9}{'surrogates min-max':>22}{'rank':>9}{'p':>7}{'Holm p':>8}")
    for s in t.tests:
        finite = s.surrogate_values[~np.isnan(s.surrogate_values)]
        spread = (f"{_fmt(float(finite.min()))}-{_fmt(float(finite.max()))}" if finite.size else "nan")
        side = ">" if s.larger else "<"
        rank = f"{s.rank}/{t.count + 1}" if s.testable else "-"
        p = "-" if not s.testable else f"{s.p:.3g}"
        adjusted = "-" if not s.testable else f"{s.p_adjusted:.3g}"
        add(f"  {s.label + ' (' + side + ')':<34}{_fmt(s.value):>9}{spread:>22}{rank:>9}{p:>7}"
            f"{adjusted:>8}" + ("   *" if s.rejected else ""))
    add(f"  (> or <: the data's value is expected larger or smaller than the surrogates' if the "
        f"series is not linear; p = rank/{t.count + 1};")
    add(f"   * : rejected at {t.alpha:g} after Holm's correction over the statistics tested)")


def json_ready(value: Any) -> Any:
    """Plain JSON values: NaN becomes null, infinities the strings "Infinity"
    and "-Infinity" (JSON has no number for them)."""
    if isinstance(value, dict):
        return {key: json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(item) for item in value]
    if isinstance(value, (float, np.floating)):
        v = float(value)
        if math.isnan(v):
            return None
        if math.isinf(v):
            return "Infinity" if v > 0 else "-Infinity"
        return v
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def format_json(a: Analysis) -> str:
    return json.dumps(json_ready(a.summary()), indent=2, allow_nan=False) + "\n"
