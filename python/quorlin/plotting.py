"""The report's figure: the evidence behind each number, ready for a paper.

Panels: the analysed series and its two-dimensional delay portrait; both
Lyapunov divergence curves with the window each estimator fitted, its line,
its R² and whether the curve levels off afterwards (and the known exponent
of the built-in example); the distribution of the finite-time exponents;
the Hurst exponents along the series; the embedding dimension each method
chooses against its tolerance; mutual information and autocorrelation
against the lag with the chosen delay; and, after a surrogate test, each
statistic beside the spread of its surrogates. With a sampling interval the
axes are in time and the exponents per time unit.

`plot_analysis` returns the matplotlib Figure (for a notebook) and can draw
into a figure or subfigure of the caller's; `draw_panel` draws one panel into
any Axes. Needs matplotlib (the ``plot`` extra); a figure of its own is drawn
through the Agg canvas directly, so it neither needs a display nor changes
pyplot's backend in the caller's process. Panels that need more than the
report computed (the dimension against the tolerance, the Hurst exponents
along the series) call the engine again; nothing is computed here.
"""

from __future__ import annotations

import functools
import io
import os
import stat
import tempfile
import warnings
from contextlib import contextmanager
from typing import (
    TYPE_CHECKING, Any, BinaryIO, Callable, Dict, FrozenSet, Iterator, List, Optional, Tuple, Union,
)

import matplotlib
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from matplotlib.lines import Line2D
from matplotlib.ticker import MaxNLocator

from quorlin.analysis import autocorrelation_curve, mutual_information_curve
from quorlin.curves import dfa_points, dimension_curves, loglog_slope, rescaled_range_points
from quorlin.engine_rules import DIMENSION_THRESHOLD
from quorlin.model import Analysis, Divergence, format_number
from quorlin.reading import printable

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import SubFigure

__all__ = ["DPI", "FIGURE_SIZE", "PANELS", "SURROGATE_ROW_HEIGHT", "draw_panel", "figure_size",
           "format_problem", "plot_analysis", "supported_formats", "usable_formats",
           "write_atomically"]

#: Figure size in inches and resolution: a PNG of 1500 × 1200 pixels; a
#: surrogate test adds a row of SURROGATE_ROW_HEIGHT inches.
FIGURE_SIZE = (15.0, 12.0)
SURROGATE_ROW_HEIGHT = 3.5
DPI = 100
#: The panels, in reading order.
PANELS = ("signal", "portrait", "rosenstein", "kantz", "ftle", "hurst", "dimension", "delay",
          "surrogates")
#: Points drawn at most in the signal and the delay portrait: beyond this
#: the signal is drawn as its envelope (minimum and maximum per column of
#: pixels, the same picture) and the portrait shows every k-th point.
MAX_DRAWN_POINTS = 20000


def supported_formats() -> FrozenSet[str]:
    """File name extensions (without the dot) that the Agg canvas can write."""
    return frozenset(FigureCanvasAgg.get_supported_filetypes())


@contextmanager
def _literal_text() -> Iterator[None]:
    """Settings under which every text is drawn as the characters it holds: a
    column name such as "x$\\frac{$" is not mathtext, and the user's
    matplotlibrc cannot send it through LaTeX (text.usetex) or the PostScript
    output through an external distiller. Missing glyphs are drawn as boxes
    without a warning on stderr."""
    settings: Dict[Any, Any] = {"text.usetex": False, "text.parse_math": False,
                                "ps.usedistiller": None}
    with matplotlib.rc_context({key: value for key, value in settings.items()
                                if key in matplotlib.rcParams}), warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=r"Glyph \d+ .*missing from", category=UserWarning)
        yield


@functools.lru_cache(maxsize=None)
def format_problem(fmt: str) -> Optional[str]:
    """Why a picture in format `fmt` cannot be written here (a missing TeX for
    .pgf, say), found by drawing a small one; None when it can."""
    fig = Figure(figsize=(1.0, 1.0))
    FigureCanvasAgg(fig)
    fig.text(0.5, 0.5, "x")
    try:
        with _literal_text():
            fig.savefig(io.BytesIO(), format=fmt)
    except Exception as error:      # noqa: BLE001 - any failure means: not this format
        return printable(str(error).split("\n")[0] or type(error).__name__, 120)
    return None


def usable_formats() -> FrozenSet[str]:
    """The supported formats that can be written here."""
    return frozenset(f for f in supported_formats() if format_problem(f) is None)


def _new_file_mode(path: str) -> int:
    """Permission bits for a file written in place of `path`: its own when it
    exists, else what the umask gives a new file."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        pass
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


def write_atomically(path: "str | os.PathLike[str]", write: Callable[[BinaryIO], None]) -> None:
    """Writes a file through `write` so that `path` holds either its old
    content or the complete new one, never a part: the bytes go to a
    temporary file in the same directory, which then replaces `path` in one
    rename. On any failure (a full disk, an interrupt) the temporary file is
    removed and `path` is left as it was."""
    target = os.fspath(path)
    directory = os.path.dirname(target) or os.curdir
    mode = _new_file_mode(target)
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".quorlin-",
                                             suffix=os.path.splitext(target)[1])
    try:
        with os.fdopen(descriptor, "wb") as stream:
            os.fchmod(stream.fileno(), mode)
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


Target = Union[Figure, "SubFigure"]
LEGEND: Dict[str, Any] = {"fontsize": 8, "framealpha": 0.85}
TITLE: Dict[str, Any] = {"fontsize": 10}


def figure_size(a: Analysis) -> Tuple[float, float]:
    """Inches of the figure `plot_analysis` draws for `a`."""
    width, height = FIGURE_SIZE
    return width, height + (SURROGATE_ROW_HEIGHT if a.surrogate_test is not None else 0.0)


def plot_analysis(a: Analysis, path: "str | os.PathLike[str] | None" = None, *,
                  figure: "Optional[Target]" = None) -> Figure:
    """Draws the report's figure and returns it.

    `figure`: a matplotlib Figure or SubFigure to draw into (in a notebook,
    ``plt.figure(figsize=...)``); by default a new figure of `figure_size(a)`
    inches at DPI, drawn through the Agg canvas. `path`: also write the
    figure there, in the format of its suffix (png, svg, pdf, ...),
    replacing the file only once the picture is complete.

    Text from the data (column names, file names) is drawn as plain text,
    never as mathtext or through TeX.
    """
    with _literal_text():
        drawn = _figure(a) if figure is None else _draw(a, figure)
        # A subfigure is saved as part of the figure that holds it.
        root: Any = drawn
        while figure is not None and not isinstance(root, Figure):
            root = root.figure
        if path is not None:
            fmt = os.path.splitext(os.fspath(path))[1].lower().lstrip(".") or "png"
            write_atomically(path, lambda stream: root.savefig(stream, format=fmt))
    return root


def _figure(a: Analysis) -> Figure:
    fig = Figure(figsize=figure_size(a), dpi=DPI, layout="constrained")
    FigureCanvasAgg(fig)
    _draw(a, fig)
    return fig


def _draw(a: Analysis, fig: "Target") -> "Target":
    title = printable(a.series.description, 160)
    if "text.parse_math" not in matplotlib.rcParams:      # matplotlib before 3.5: escape instead
        title = title.replace("$", r"\$")
    fig.suptitle(title, fontsize=11)
    rows = 4 if a.surrogate_test is not None else 3
    grid = fig.add_gridspec(rows, 3, height_ratios=[1.0] * 3 + [1.1] * (rows - 3))
    places = {
        "signal": grid[0, :2], "portrait": grid[0, 2],
        "rosenstein": grid[1, 0], "kantz": grid[1, 1], "ftle": grid[1, 2],
        "hurst": grid[2, 0], "dimension": grid[2, 1], "delay": grid[2, 2],
    }
    if rows == 4:
        places["surrogates"] = grid[3, :]
    for panel, place in places.items():
        draw_panel(a, panel, fig.add_subplot(place))
    return fig


def draw_panel(a: Analysis, panel: str, ax: "Axes") -> None:
    """Draws one panel of the report's figure (one of PANELS) into `ax`."""
    try:
        drawer = _DRAWERS[panel]
    except KeyError:
        raise ValueError(f"unknown panel {panel!r}: the panels are {', '.join(PANELS)}") from None
    with _literal_text():
        drawer(a, ax)


# --- Units ---------------------------------------------------------------------------------


def _unit(a: Analysis) -> str:
    return a.series.time_unit or "time units"


def _time(a: Analysis) -> Tuple[float, str]:
    """(scale, name): multiply a count of samples by scale to get the axis'
    value; name says what the axis is in."""
    dt = a.sampling_interval
    return (1.0, "samples") if dt is None else (dt, _unit(a))


def _rate(a: Analysis, per_sample: float) -> str:
    """An exponent in the figure's unit: per time unit when known."""
    dt = a.sampling_interval
    if np.isnan(per_sample):
        return "no exponent"
    if dt is None:
        return f"{format_number(per_sample)} per sample"
    per = a.series.time_unit or "time unit"
    return f"{format_number(per_sample / dt)} per {per}"


def _message(ax: "Axes", text: str) -> None:
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, wrap=True,
            fontsize=9, color="0.3")
    ax.set_xticks([])
    ax.set_yticks([])


def _skipped(ax: "Axes", title: str, steps: str) -> None:
    ax.set_title(title, **TITLE)
    _message(ax, f"skipped (--skip {steps})")


# --- Panels --------------------------------------------------------------------------------


def _signal(a: Analysis, ax: "Axes") -> None:
    x = a.analysed
    scale, unit = _time(a)
    what = "analysed series" + (", detrended" if a.settings.detrend else "")
    cut = f", the first {a.samples - a.cut} of {a.samples} samples" if a.cut else ""
    ax.set_title(f"{what} ({x.size} samples{cut})", **TITLE)
    ax.set_xlabel(f"time ({unit})" if a.sampling_interval is not None else "sample")
    ax.set_ylabel(printable(a.series.column or "value", 40))
    if x.size > MAX_DRAWN_POINTS:
        # The envelope per column of pixels is the picture every point would
        # give, without a vector file of a million segments.
        columns = MAX_DRAWN_POINTS // 4
        edges = np.linspace(0, x.size, columns + 1).astype(np.int64)
        low = np.minimum.reduceat(x, edges[:-1])
        high = np.maximum.reduceat(x, edges[:-1])
        centres = (edges[:-1] + edges[1:] - 1) / 2.0 * scale
        ax.fill_between(centres, low, high, color="tab:blue", linewidth=0.4)
    else:
        ax.plot(np.arange(x.size) * scale, x, "-", color="tab:blue", linewidth=0.6)
    ax.margins(x=0)


def _portrait(a: Analysis, ax: "Axes") -> None:
    x, tau = a.analysed, a.delay
    ax.set_title(f"delay portrait, delay {tau}", **TITLE)
    if x.size <= tau:
        _message(ax, "series shorter than the delay")
        return
    every = max(1, (x.size - tau) // MAX_DRAWN_POINTS)
    few = x.size - tau < 2000
    ax.plot(x[:-tau:every], x[tau::every], ".", markersize=4.0 if few else 1.2,
            alpha=0.8 if few else 0.35, color="tab:blue", rasterized=True)
    if every > 1:
        ax.set_title(f"delay portrait, delay {tau} (every {every}th point)", **TITLE)
    ax.set_xlabel("x(t)")
    ax.set_ylabel(f"x(t + {tau} samples)")


def _divergence(a: Analysis, ax: "Axes", method: str) -> None:
    rosenstein = method == "rosenstein"
    name = "Rosenstein" if rosenstein else "Kantz"
    if not a.ran(method):
        _skipped(ax, name, method)
        return
    d: Optional[Divergence] = a.rosenstein if rosenstein else a.kantz
    exponent = a.rosenstein_per_sample if rosenstein else a.kantz_exponent
    m, tau = (a.rosenstein_embedding or (a.dimension, a.delay)) if rosenstein else (a.dimension,
                                                                                     a.delay)
    ax.set_title(f"{name} (m={m}, delay {tau}): {_rate(a, exponent)}", **TITLE)
    scale, unit = _time(a)
    gaps = d is not None and not rosenstein and d.curve.size > 0 and d.missing_steps > 0
    ax.set_xlabel(("position in the curve (steps without pairs left out)" if gaps else "step")
                  + (f" × dt ({unit})" if a.sampling_interval is not None and gaps
                     else f" ({unit})" if a.sampling_interval is not None else ""))
    ax.set_ylabel("mean ln(separation)")
    if d is None or d.curve.size == 0:
        reason = (a.kantz_problem if not rosenstein and a.kantz_problem else
                  next((n.split(": ", 1)[1] for n in a.notes if n.startswith("Rosenstein: no ")),
                       "no divergence curve"))
        _message(ax, f"no divergence curve:\n{_wrapped(reason, 44)}")
        return
    t = d.steps * scale
    ax.plot(t, d.curve, ".", markersize=2.5 if d.curve.size > 200 else 5.0, color="0.35",
            label="divergence curve")
    fit = d.fit
    if fit.points and np.isfinite(fit.slope):
        window = t[fit.first:fit.last + 1]
        ax.axvspan(float(window[0]), float(window[-1]), color="tab:orange", alpha=0.15,
                   label=f"fit window, steps {fit.first}-{fit.last}")
        r2 = "" if np.isnan(fit.r_squared) else f", R² {fit.r_squared:.3f}"
        ax.plot(window, fit.intercept + fit.slope * d.steps[fit.first:fit.last + 1], "-",
                color="tab:red", linewidth=1.8, label=f"fitted line: {_rate(a, exponent)}{r2}")
        known = a.series.known_exponent
        if known is not None and a.sampling_interval is not None:
            ax.plot(window, fit.intercept + known * (window - window[0]) + fit.slope
                    * d.steps[fit.first], "--", color="black", linewidth=1.0,
                    label=f"known exponent: {format_number(known)} per {_unit(a).rstrip('s')}")
    verdict = _verdict(fit.covers_curve, fit.plateau, a, name)
    if verdict:
        ax.text(0.02, 0.97, verdict, transform=ax.transAxes, va="top", fontsize=8,
                color="tab:red" if "not" in verdict else "0.25")
    ax.legend(loc="lower right", **LEGEND)


def _verdict(covers: bool, plateau: Optional[bool], a: Analysis, name: str) -> str:
    warned = any(n.startswith(f"{name}: do not trust") for n in a.notes)
    if covers:
        state = "fit covers the whole curve"
    elif plateau is None:
        state = "plateau not judged"
    else:
        state = "levels off after the fit" if plateau else "no plateau after the fit"
    return state + ("; not to be trusted (see the notes)" if warned else "")


def _wrapped(text: str, width: int) -> str:
    words, lines, line = text.split(), [], ""
    for word in words:
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}".strip()
    return "\n".join(lines + [line])


def _ftle(a: Analysis, ax: "Axes") -> None:
    dt = a.sampling_interval
    per = f"per {a.series.time_unit or 'time unit'}" if dt is not None else "per sample"
    horizon = next((f.time_horizon for f in (a.ftle_direct, a.ftle_local) if f is not None), None)
    ax.set_title("finite-time Lyapunov exponents"
                 + (f", horizon {horizon} samples" if horizon is not None else ""), **TITLE)
    if not a.ran("ftle-direct") and not a.ran("ftle-local"):
        _message(ax, "skipped (--skip ftle)")
        return
    ax.set_xlabel(f"FTLE ({per})")
    ax.set_ylabel("density")
    drawn = False
    for label, ftle, colour in (("direct perturbation", a.ftle_direct, "tab:blue"),
                                ("local linearization", a.ftle_local, "tab:green")):
        if ftle is None:
            continue
        values = ftle.values[np.isfinite(ftle.values)] / (dt or 1.0)
        if values.size == 0:
            continue
        bins = int(min(60, max(10, np.sqrt(values.size))))
        ax.hist(values, bins=bins, density=True, histtype="step", color=colour, linewidth=1.3,
                label=f"{label}: median {format_number(float(np.median(values)), 3)} "
                      f"({values.size} points)")
        ax.axvline(float(np.median(values)), color=colour, linewidth=0.8, linestyle="--")
        drawn = True
    if drawn:
        ax.axvline(0.0, color="0.5", linewidth=0.8)
        ax.set_ylim(top=ax.get_ylim()[1] * 1.3)          # room for the legend above the bars
        ax.legend(loc="upper right", **LEGEND)
    else:
        _message(ax, "no finite-time exponents")


def _hurst(a: Analysis, ax: "Axes") -> None:
    if not a.ran("hurst"):
        _skipped(ax, "Hurst exponent", "hurst")
        return
    ax.set_title("Hurst exponent: log-log fits", **TITLE)
    drawn = False
    for label, points, value, colour, marker in (
            ("R/S", rescaled_range_points(a.analysed), a.hurst_rs, "tab:blue", "o"),
            ("DFA", dfa_points(a.analysed), a.hurst_dfa, "tab:purple", "s")):
        xs, ys = points
        finite = np.isfinite(ys)
        if not finite.any():
            continue
        sizes = np.exp(xs)
        ax.plot(sizes[finite], np.exp(ys[finite]), marker, color=colour, markersize=3.5,
                label=f"{label} points ({int(finite.sum())} sizes)")
        slope, intercept = loglog_slope(xs, ys)
        # R/S is clamped to [0, 1]; its fitted slope may lie outside.
        clamped = label == "R/S" and np.isfinite(slope) and not 0.0 < value < 1.0
        if np.isfinite(slope):
            ax.plot(sizes, np.exp(intercept + slope * xs), "-", color=colour, linewidth=1.2,
                    label=f"{label} fit: H = {format_number(value)}"
                    + (f" (slope {format_number(slope)}, clamped to [0, 1])" if clamped else ""))
        drawn = True
    if not drawn:
        _message(ax, "too short for either method")
        return
    ax.set_xscale("log")
    ax.set_yscale("log")
    _plain_log_ticks(ax)
    ax.set_xlabel("window size (samples)" if a.sampling_interval is None
                  else f"window size (samples; 1 sample = {format_number(a.sampling_interval)} "
                       f"{_unit(a)})")
    ax.set_ylabel("R/S  or  DFA fluctuation F")
    ax.legend(loc="best", **LEGEND)


def _plain_log_ticks(ax: "Axes") -> None:
    """Plain-number labels on log axes: the default ones are mathtext, which
    the figure does not render."""
    from matplotlib.ticker import FuncFormatter, LogLocator

    for axis, (low, high) in ((ax.xaxis, ax.get_xlim()), (ax.yaxis, ax.get_ylim())):
        if axis.get_scale() == "log":
            decades = np.log10(high / low) if low > 0 and high > low else 1.0
            axis.set_major_locator(LogLocator(base=10.0, subs=(1.0, 2.0, 5.0) if decades < 2.5
                                              else (1.0,)))
            axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
            axis.set_minor_formatter(FuncFormatter(lambda v, _: ""))


def _dimension(a: Analysis, ax: "Axes") -> None:
    ax.set_title(f"embedding dimension (delay {a.delay})", **TITLE)
    if not a.ran("fnn") and not a.ran("cao"):
        _message(ax, "skipped (--skip dimension)")
        return
    dims, fractions, changes = dimension_curves(a.analysed, a.delay)
    if dims.size == 0:
        _message(ax, "series too short for the dimension curves")
        return
    floor = DIMENSION_THRESHOLD / 100.0
    for method, label, values, colour, marker in (
            ("fnn", "false nearest neighbours: share F(d)", fractions, "tab:blue", "o"),
            ("cao", "Cao: change |E(d)/E(d-1) - 1|", changes, "tab:orange", "s")):
        if not a.ran(method):
            continue
        # A share of 0 has no place on a log axis: drawn at the floor, hollow.
        shown = np.maximum(values, floor)
        ax.plot(dims, shown, "-", color=colour, linewidth=1.0)
        ax.plot(dims[values > floor], shown[values > floor], marker, color=colour, markersize=5,
                label=label)
        if np.any(values <= floor):
            ax.plot(dims[values <= floor], shown[values <= floor], marker, markersize=5,
                    markerfacecolor="none", color=colour)
    ax.axhline(DIMENSION_THRESHOLD, color="tab:red", linewidth=1.0, linestyle="--",
               label=f"tolerance {DIMENSION_THRESHOLD:g}: first d below it is chosen")
    ax.axvline(a.dimension, color="0.3", linewidth=1.0, linestyle=":",
               label=f"dimension used: {a.dimension}" + (" (given)" if a.dimension_given else ""))
    ax.set_yscale("log")
    ax.set_ylim(bottom=floor / 2)
    _plain_log_ticks(ax)
    ax.set_xlabel("embedding dimension d")
    ax.set_ylabel("statistic (hollow: 0)")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.legend(loc="best", **LEGEND)


def _delay(a: Analysis, ax: "Axes") -> None:
    x = a.analysed
    known = [d for d in (a.delay, a.delay_ami, a.delay_autocorr) if d is not None]
    lags = int(min(x.size // 4, max(20, 2 * max(known) + 10), 600))
    lag_axis = np.arange(1, lags + 1)
    dt = a.sampling_interval
    ax.set_title("delay: mutual information and autocorrelation", **TITLE)
    ax.set_xlabel("lag (samples" + (f"; 1 sample = {format_number(dt)} {_unit(a)})" if dt is not None
                                    else ")"))
    ax.set_ylabel("mutual information (nats)", color="tab:blue")
    handles = ax.plot(lag_axis, mutual_information_curve(x, lags), "-", color="tab:blue",
                      label="mutual information")
    twin: Any = ax.twinx()
    twin.set_ylabel("autocorrelation", color="tab:purple")
    handles += twin.plot(lag_axis, autocorrelation_curve(x, lags), "-", color="tab:purple",
                         linewidth=0.9, label="autocorrelation")
    twin.axhline(0.0, color="tab:purple", linewidth=0.6, linestyle=":")
    if a.delay <= lags:
        handles.append(ax.axvline(a.delay, color="tab:red", linewidth=1.5,
                                  label=f"delay used: {a.delay}"
                                  + (" (given)" if a.delay_given else " (first AMI minimum)")))
    if a.delay_autocorr is not None and a.delay_autocorr <= lags:
        handles.append(ax.axvline(a.delay_autocorr, color="tab:purple", linewidth=1.0,
                                  linestyle="--",
                                  label=f"autocorrelation zero: {a.delay_autocorr}"))
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    # Both curves run across the whole panel: room is made above them for
    # the legend, on both vertical axes alike.
    for axis in (ax, twin):
        low, high = axis.get_ylim()
        axis.set_ylim(low, high + 0.45 * (high - low))
    twin.legend(handles=handles, loc="upper right", ncol=2, **LEGEND)


def _surrogates(a: Analysis, ax: "Axes") -> None:
    test = a.surrogate_test
    if test is None:
        _message(ax, "no surrogate test (--surrogates N)")
        return
    name = {"iaaft": "IAAFT", "phase": "phase-randomised"}[test.method]
    ax.set_title(f"each statistic against its {test.count} {name} surrogates (standardised by "
                 f"the surrogates' mean and sd; Holm-corrected p, level {test.alpha:g})", **TITLE)
    rng = np.random.default_rng(0)       # jitter only
    labels: List[str] = []
    for i, t in enumerate(test.tests):
        values = t.surrogate_values[np.isfinite(t.surrogate_values)]
        centre = float(values.mean()) if values.size else 0.0
        spread = float(values.std()) if values.size > 1 and values.std() > 0 else 1.0
        if values.size:
            ax.boxplot([(values - centre) / spread], positions=[i], widths=0.5,
                       showfliers=False, medianprops={"color": "0.3"})
            ax.plot(i + rng.uniform(-0.18, 0.18, values.size), (values - centre) / spread, ".",
                    color="0.55", markersize=3, label="surrogates" if i == 0 else None)
        if np.isfinite(t.value) and values.size:
            ax.plot([i], [(t.value - centre) / spread], "D", color="tab:red" if t.rejected
                    else "black", markersize=8)
        side = "larger" if t.larger else "smaller"
        verdict = (f"p = {t.p_adjusted:.3g}" + (" *" if t.rejected else "") if t.testable
                   else "not computable")
        labels.append(f"{t.label}\n({side} if not linear)\n{verdict}")
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_xlim(-0.6, len(labels) - 0.4)
    ax.set_ylabel("standardised value")
    ax.axhline(0.0, color="0.8", linewidth=0.8)
    marker: Dict[str, Any] = {"linestyle": "none", "marker": "D", "markersize": 7}
    handles = [Line2D([], [], color="0.55", linestyle="none", marker=".", label="surrogates"),
               Line2D([], [], color="black", label="series", **marker),
               Line2D([], [], color="tab:red", label="series, rejected", **marker)]
    ax.legend(handles=handles, loc="upper right", **LEGEND)


_DRAWERS: Dict[str, Callable[[Analysis, "Axes"], None]] = {
    "signal": _signal,
    "portrait": _portrait,
    "rosenstein": lambda a, ax: _divergence(a, ax, "rosenstein"),
    "kantz": lambda a, ax: _divergence(a, ax, "kantz"),
    "ftle": _ftle,
    "hurst": _hurst,
    "dimension": _dimension,
    "delay": _delay,
    "surrogates": _surrogates,
}
