"""The report's picture: the evidence behind each exponent.

A Lyapunov exponent is only as good as the straight stretch of its divergence
curve, so the picture shows both curves with the line each estimator fitted
and the window it was fitted on, the FTLE values along the series, and the
delay curves with the chosen delay. Needs matplotlib (the ``plot`` extra); it
draws through the Agg canvas directly, so it neither needs a display nor
changes pyplot's backend in the caller's process.
"""

from __future__ import annotations

import functools
import io
import os
import stat
import tempfile
import warnings
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Dict, FrozenSet, Iterator, Optional

import matplotlib
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from quorlin.reading import printable
from quorlin.report import Analysis, Divergence, autocorrelation_curve, mutual_information_curve

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["FIGURE_SIZE", "DPI", "format_problem", "plot_analysis", "supported_formats",
           "usable_formats", "write_atomically"]

#: Figure size in inches and resolution: a PNG of 1200 × 900 pixels.
FIGURE_SIZE = (12.0, 9.0)
DPI = 100


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
    """Draws the four panels of the report into `path` (format from its
    suffix), replacing the file only once the picture is complete."""
    fmt = os.path.splitext(os.fspath(path))[1].lower().lstrip(".") or "png"
    with _literal_text():
        fig = _figure(a)
        write_atomically(path, lambda stream: fig.savefig(stream, format=fmt))


def _figure(a: Analysis) -> Figure:
    fig = Figure(figsize=FIGURE_SIZE, dpi=DPI)
    FigureCanvasAgg(fig)
    title = printable(a.series.description, 160)
    if "text.parse_math" not in matplotlib.rcParams:      # matplotlib before 3.5: escape instead
        title = title.replace("$", r"\$")
    fig.suptitle(title, fontsize=10)
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
    if a.delay <= lags:
        delay.axvline(a.delay, color="tab:red", linewidth=1.5,
                      label=f"delay used: {a.delay}" + (" (given)" if a.delay_given else " (AMI minimum)"))
    if a.delay_autocorr <= lags:
        delay.axvline(a.delay_autocorr, color="tab:purple", linewidth=1.0, linestyle="--",
                      label=f"autocorrelation zero: {a.delay_autocorr}")
    if delay.get_legend_handles_labels()[0]:
        delay.legend(loc="upper right", fontsize=8)

    fig.tight_layout()
    return fig
