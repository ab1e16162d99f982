"""The report's picture: the evidence behind each exponent.

A Lyapunov exponent is only as good as the straight stretch of its divergence
curve, so the picture shows both curves with the line each estimator fitted
and the window it was fitted on, the FTLE values along the series, and the
delay curves with the chosen delay. Needs matplotlib (the ``plot`` extra); it
draws through the Agg canvas directly, so it neither needs a display nor
changes pyplot's backend in the caller's process.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, FrozenSet

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from quorlin.report import Analysis, Divergence, autocorrelation_curve, mutual_information_curve

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["FIGURE_SIZE", "DPI", "plot_analysis", "supported_formats"]

#: Figure size in inches and resolution: a PNG of 1200 × 900 pixels.
FIGURE_SIZE = (12.0, 9.0)
DPI = 100


def supported_formats() -> FrozenSet[str]:
    """File name extensions (without the dot) that the Agg canvas can write."""
    return frozenset(FigureCanvasAgg.get_supported_filetypes())


def _divergence(ax: "Axes", title: str, d: "Divergence | None", xlabel: str, slope_text: str) -> None:
    ax.set_title(title, fontsize=10)
    ax.set_xlabel(xlabel)
    ax.set_ylabel("mean ln(separation)")
    if d is None or d.curve.size == 0:
        ax.text(0.5, 0.5, "no divergence curve (series too short or degenerate)",
                ha="center", va="center", transform=ax.transAxes)
        return
    ax.plot(d.steps, d.curve, ".", markersize=2.5, color="0.35", label="divergence curve")
    fitted = d.steps[:max(d.fit_count, 0)]
    if d.fit_count and np.isfinite(d.slope):
        # The window the estimator used, and its least-squares line over it.
        end = float(d.steps[min(d.fit_count, d.steps.size) - 1])
        ax.axvspan(float(d.steps[0]), end, color="tab:orange", alpha=0.12, label="fit window")
        ax.plot(fitted, d.intercept + d.slope * fitted, "-", color="tab:red", linewidth=1.8,
                label=f"fitted line, {slope_text}")
    ax.legend(loc="lower right", fontsize=8)


def plot_analysis(a: Analysis, path: "str | os.PathLike[str]") -> None:
    """Draws the four panels of the report into `path` (format from its suffix)."""
    fig = Figure(figsize=FIGURE_SIZE, dpi=DPI)
    FigureCanvasAgg(fig)
    fig.suptitle(a.series.description, fontsize=10)
    (ros, kantz), (ftle, delay) = fig.subplots(2, 2)

    rm, rt = a.rosenstein_embedding or (a.dimension, a.delay)
    _divergence(ros, f"Rosenstein (m={rm}, delay {rt}): {a.rosenstein_per_sample:.4g} per sample",
                a.rosenstein, "step (samples)", f"slope {a.rosenstein_per_sample:.4g}")
    # Kantz's curve keeps only the steps that received pairs: its abscissa is
    # the position in the curve, which is what the estimator fits against.
    _divergence(kantz, f"Kantz (m={a.dimension}, delay {a.delay}): {a.kantz_exponent:.4g} per sample",
                a.kantz, "position in the curve (steps with pairs)", f"slope {a.kantz_exponent:.4g}")

    ftle.set_title("finite-time Lyapunov exponents (horizon 10 samples)", fontsize=10)
    ftle.set_xlabel("reference point (sample index)")
    ftle.set_ylabel("FTLE per sample")
    drawn = False
    for label, values, colour in (("direct perturbation", a.ftle_direct, "tab:blue"),
                                  ("local linearization", a.ftle_local, "tab:green")):
        if values is None or not np.isfinite(values.values).any():
            continue
        index = np.arange(values.values.size)
        ftle.plot(index, values.values, "-", linewidth=0.6, alpha=0.75, color=colour,
                  label=f"{label} (median {values.summary()['median']:.3g})")
        drawn = True
    if drawn:
        ftle.axhline(0.0, color="0.5", linewidth=0.8)
        ftle.legend(loc="upper right", fontsize=8)
    else:
        ftle.text(0.5, 0.5, "no finite-time exponents", ha="center", va="center",
                  transform=ftle.transAxes)

    x = a.analysed
    lags = int(min(x.size // 4, max(20, 2 * max(a.delay, a.delay_ami, a.delay_autocorr) + 10), 600))
    lag_axis = np.arange(1, lags + 1)
    ami = mutual_information_curve(x, lags)
    acf = autocorrelation_curve(x, lags)
    delay.set_title("delay: mutual information and autocorrelation", fontsize=10)
    delay.set_xlabel("lag (samples)")
    delay.set_ylabel("mutual information (nats)", color="tab:blue")
    delay.plot(lag_axis, ami, "-", color="tab:blue")
    twin: Any = delay.twinx()
    twin.set_ylabel("autocorrelation", color="tab:purple")
    twin.plot(lag_axis, acf, "-", color="tab:purple", linewidth=0.9)
    twin.axhline(0.0, color="tab:purple", linewidth=0.6, linestyle=":")
    delay.axvline(a.delay, color="tab:red", linewidth=1.5,
                  label=f"delay used: {a.delay}" + (" (given)" if a.delay_given else " (AMI minimum)"))
    if a.delay_autocorr <= lags:
        delay.axvline(a.delay_autocorr, color="tab:purple", linewidth=1.0, linestyle="--",
                      label=f"autocorrelation zero: {a.delay_autocorr}")
    delay.legend(loc="upper right", fontsize=8)

    fig.tight_layout()
    fig.savefig(os.fspath(path))
