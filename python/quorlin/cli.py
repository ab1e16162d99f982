"""``python -m quorlin``: the report on one series, from the command line.

Reads a file (or the built-in example), announces how long each step is
expected to take, runs the analysis with progress on stderr, prints the
report (text or JSON) and then draws the picture. Every failure the user can
act on is one ``quorlin: error: …`` line with exit status 2; Ctrl-C is one
``quorlin: interrupted …`` line with status 130.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from contextlib import contextmanager
from typing import Callable, Iterator, List, NoReturn, Optional, Sequence, TextIO, Tuple

import numpy as np

from quorlin import __version__, costs
from quorlin.analysis import LABELS, Observer, analyse, example_series
from quorlin.output import format_json, format_report
from quorlin.reading import MAX_SHOWN_PATH, InputError, Series, load_series, printable, quoted
from quorlin.settings import GROUPS, POLICY, STEPS, SURROGATE_METHODS, Settings, expand_steps

__all__ = ["CommandParser", "Progress", "add_analysis_options", "build_parser", "integer_option",
           "main", "settings_from"]

#: From this length on, progress lines go to a non-interactive stderr.
LONG_SERIES = 10000
#: The expected times are listed step by step from this total on (seconds).
LIST_PLAN_FROM = 10.0
#: Largest value of the integer options: the extension takes counts as
#: unsigned 64-bit integers.
MAX_OPTION_INTEGER = 2**64 - 1


def duration(seconds: float) -> str:
    """A duration for a person: "< 0.1 s", "4.2 s", "3 min", "1.5 h"."""
    if seconds < 0.1:
        return "< 0.1 s"
    if seconds < 60:
        return f"{seconds:.2g} s" if seconds < 10 else f"{seconds:.0f} s"
    if seconds < 3600:
        return f"{seconds / 60:.2g} min"
    return f"{seconds / 3600:.2g} h"


class Progress(Observer):
    """Progress of the analysis on stderr: a bar redrawn in place on a terminal,
    one line per finished step (with its run time) otherwise, or nothing; the
    expected time of each step before it runs, and a warning before any step
    expected to run longer than a minute (unless quiet)."""

    def __init__(self, total: int, stream: Optional[TextIO], mode: str,
                 announce: bool = True) -> None:
        self.total, self.stream, self.mode, self.announce = total, stream, mode, announce
        self.done, self.started = 0, time.perf_counter()
        self.width = 0
        self.expected: dict = {}
        self.current: Optional[str] = None
        self.tenths: dict = {}
        self.drawn = 0.0
        self.finished: set = set()
        self.current_started = self.started

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
        progress = cls(total, stream, mode, announce=not quiet)
        if mode == "lines":
            progress._write(f"quorlin: analysing {n_samples} samples in {total} steps\n")
        return progress

    def _write(self, text: str) -> None:
        assert self.stream is not None
        self.stream.write(text)
        self.stream.flush()

    def _bar(self, label: str) -> None:
        filled = round(24 * self.done / max(self.total, 1))
        expected = self.expected.get(self.current or "")
        about = f"about {duration(expected)}, " if expected is not None and expected >= 1 else ""
        line = (f"[{'#' * filled}{'.' * (24 - filled)}] {self.done}/{self.total} {label} "
                f"({about}{time.perf_counter() - self.started:.1f} s so far)")
        self._write("\r" + line.ljust(self.width))
        self.width = max(self.width, len(line))

    def planned(self, plan: Sequence[Tuple[str, float]]) -> None:
        self.expected.update(plan)
        if not self.announce or not plan:
            return
        total = sum(seconds for _, seconds in plan)
        embedding = all(step in costs.EMBEDDING_STEPS for step, _ in plan)
        self.pause()
        if self.mode != "off" or total >= LIST_PLAN_FROM:
            if embedding:
                if total >= 1.0:
                    self._write(f"quorlin: estimating the delay and dimension first: about "
                                f"{duration(total)}\n")
            elif total >= LIST_PLAN_FROM or self.mode == "lines":
                self._write(f"quorlin: expected time of the remaining steps (one core, within a "
                            f"factor of about 3): {duration(total)}\n")
                for step, seconds in plan:
                    self._write(f"quorlin:   {LABELS[step]:<40}{duration(seconds):>10}\n")
        for step, seconds in plan:
            if seconds > POLICY.long_step_seconds:
                shorten = ("a smaller --surrogates or --skip for the tested steps" if step == "surrogates"
                           else "a smaller --plot size is not possible; leave out --plot"
                           if step == "figure" else f"--skip {step}")
                self._write(f"quorlin: warning: {LABELS[step]} is expected to take about "
                            f"{duration(seconds)}; Ctrl-C stops the run cleanly; {shorten} or a "
                            "smaller --max-samples shortens it\n")

    @contextmanager
    def step(self, key: str) -> Iterator[None]:
        label = LABELS.get(key, key)
        self.current, self.current_started = key, time.perf_counter()
        if self.mode == "bar":
            self._bar(label)
        yield
        self.done += 1
        self.current = None
        if self.mode == "lines":
            self._write(f"quorlin: [{self.done}/{self.total}] {label}: "
                        f"{time.perf_counter() - self.current_started:.1f} s\n")

    def advance(self, key: str, done: int, total: int) -> None:
        """Work done inside a step: `done` of `total` tasks, or, with a total
        of 0, only a sign of life (the bar's clock moves on)."""
        if self.mode == "bar":
            now = time.perf_counter()
            if now - self.drawn >= 0.1 or done == total:       # a terminal needs no more
                self.drawn = now
                self._bar(LABELS.get(key, key) + (f" {done}/{total}" if total > 0 else ""))
        elif self.mode == "lines" and total > 0:
            # A line per tenth reached: the counts jump when they come from
            # the threaded module's timer, so no exact multiple is awaited.
            tenth = 10 * done // total
            if tenth > self.tenths.get(key, 0) or done == total and key not in self.finished:
                self.tenths[key] = tenth
                if done == total:
                    self.finished.add(key)
                self._write(f"quorlin:   {LABELS.get(key, key)}: {done}/{total}\n")

    def interrupted(self) -> str:
        """Where the run was when it was interrupted, for the one-line message."""
        if self.current is None:
            return ""
        return (f" during {LABELS.get(self.current, self.current)}, after "
                f"{time.perf_counter() - self.current_started:.1f} s")

    def pause(self) -> None:
        """Erases the bar, so that other output can follow; the next step
        draws it again."""
        if self.mode == "bar" and self.width:
            self._write("\r" + " " * self.width + "\r")
            self.width = 0

    def close(self) -> None:
        self.pause()


# --- Options ------------------------------------------------------------------------


def integer_option(minimum: int) -> Callable[[str], int]:
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


_positive_int = integer_option(1)
_count = integer_option(0)


def _positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{printable(text, 30)}'") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {printable(text, 30)}")
    return value


def _level(text: str) -> float:
    value = _positive_number(text)
    if not value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {printable(text, 30)}")
    return value


def _steps(text: str) -> frozenset:
    try:
        return expand_steps(text.split(","))
    except ValueError as error:
        raise argparse.ArgumentTypeError(printable(str(error), 300)) from None


class CommandParser(argparse.ArgumentParser):
    """Usage errors in the command's one-line form, like every other error."""

    def error(self, message: str) -> "NoReturn":
        self.exit(2, f"quorlin: error: {printable(message, 300)} ({self.prog} --help "
                     "lists the options)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="python -m quorlin",
        description="Report on one time series: embedding delay and dimension, Hurst exponent, "
                    "sample and permutation entropy, largest Lyapunov exponent (Rosenstein, Kantz) "
                    "with the diagnostics of their fits, finite-time Lyapunov exponents, and "
                    "optionally a surrogate-data test. Without a file, analyses a built-in "
                    "example: the x-coordinate of the Lorenz system.",
    )
    parser.add_argument("path", nargs="?", help="series to analyse: .csv, .tsv, .txt, .dat (a table "
                        "of numbers, optional header line), .npy, or - for a table on standard input")
    parser.add_argument("--version", action="version", version=f"quorlin {__version__}")
    parser.add_argument("-c", "--column", help="column of a table: header name or 0-based index "
                        "(needed when the table has several numeric columns)")
    parser.add_argument("--time-column", metavar="NAME", help="column of times (numbers or ISO "
                        "8601 dates) from which the sampling interval is taken")
    parser.add_argument("--json", action="store_true", help="print the report as JSON "
                        "(NaN as null, infinities as \"Infinity\"/\"-Infinity\")")
    parser.add_argument("--plot", metavar="FILE", help="also draw the figure into FILE (.png, "
                        ".pdf, .svg, ...; needs matplotlib)")
    add_analysis_options(parser)
    parser.add_argument("--estimate", action="store_true",
                        help="print the expected time of each step and stop (the delay and "
                        "dimension are estimated first)")
    parser.add_argument("-q", "--quiet", action="store_true", help="nothing on stderr but errors")
    return parser


def add_analysis_options(parser: argparse.ArgumentParser) -> None:
    """The options that choose the analysis' settings (see `settings_from`),
    shared by the report and the batch command so that the two take the same
    options with the same checks."""
    defaults = Settings()
    parser.add_argument("--dt", "--sampling-interval", dest="dt", type=_positive_number,
                        metavar="DT", help="time between samples: exponents are also given per "
                        "time unit (and the figure's axes are in time)")
    parser.add_argument("--time-unit", metavar="UNIT", help="name of the time unit of --dt, for "
                        "the report and the figure (e.g. s, ms, day)")
    parser.add_argument("--delay", type=_positive_int, help="use this delay instead of the estimate")
    parser.add_argument("--dimension", type=_positive_int,
                        help="use this embedding dimension instead of the estimate")
    parser.add_argument("--epsilon", type=_positive_number, metavar="EPS",
                        help="Kantz's radius, in the units of the series (default 0.1 standard "
                        "deviation)")
    parser.add_argument("--max-samples", type=_count, default=defaults.max_samples, metavar="N",
                        help="analyse only the first N samples of a series (default %(default)s; "
                        "0 for all); a cut is stated in the notes. The neighbour searches take "
                        "time growing with the square of N")
    parser.add_argument("--detrend", action="store_true",
                        help="remove the least-squares line from a series before the analysis")
    parser.add_argument("--skip", type=_steps, default=frozenset(), metavar="STEP[,STEP]",
                        help=f"leave out steps: {', '.join(STEPS)}, or the groups "
                        f"{', '.join(GROUPS)}")
    parser.add_argument("--surrogates", type=_count, default=defaults.surrogates, metavar="N",
                        help="test the nonlinear statistics against N surrogate series (99 is "
                        "a good choice; 0, the default, for no test)")
    parser.add_argument("--surrogate-method", choices=SURROGATE_METHODS,
                        default=defaults.surrogate_method,
                        help="iaaft (default): same values and nearly the same spectrum; "
                        "phase: same spectrum, Gaussian values")
    parser.add_argument("--seed", type=_count, default=defaults.seed,
                        help="seed of the surrogates (default %(default)s)")
    parser.add_argument("--alpha", type=_level, default=defaults.alpha,
                        help="family-wise level of the surrogate test (default %(default)s)")
    parser.add_argument("--ftle-anchors", type=_count, default=defaults.ftle_anchors, metavar="N",
                        help="estimate the finite-time exponents at most at N reference points "
                        "spread evenly along the series (default %(default)s; 0 for all); needs "
                        "the threaded module")


def settings_from(args: argparse.Namespace) -> Settings:
    """The settings that the options of `add_analysis_options` give."""
    try:
        return Settings(max_samples=args.max_samples, delay=args.delay, dimension=args.dimension,
                        epsilon=args.epsilon, detrend=args.detrend, skip=args.skip,
                        surrogates=args.surrogates, surrogate_method=args.surrogate_method,
                        seed=args.seed, alpha=args.alpha, ftle_anchors=args.ftle_anchors or None)
    except ValueError as error:
        raise InputError(str(error)) from None


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


def _read(args: argparse.Namespace) -> Series:
    for given, option in ((args.column, "--column"), (args.time_column, "--time-column")):
        if args.path is None and given is not None:
            raise InputError(f"{option} applies to a file; the built-in example has one series")
    if args.time_column is not None and args.dt is not None:
        raise InputError("give either --dt or --time-column, not both")
    try:
        series = (example_series() if args.path is None
                  else load_series(args.path, args.column, args.time_column))
    except MemoryError:
        raise InputError(f"not enough memory to read "
                         f"{printable(os.fsdecode(args.path), MAX_SHOWN_PATH)}") from None
    if args.dt is not None:
        series.sampling_interval = args.dt
        series.known_exponent = None if args.path is None else series.known_exponent
    if args.time_unit is not None:
        series.time_unit = printable(args.time_unit, 20)
    return series


class _Estimated(Exception):
    """Raised by the observer of --estimate once the plan is known."""


class _EstimateOnly(Progress):
    embedding: List[Tuple[str, float]]
    extra: List[Tuple[str, float]]

    def planned(self, plan: Sequence[Tuple[str, float]]) -> None:
        embedding = all(step in costs.EMBEDDING_STEPS for step, _ in plan)
        if embedding:
            self.embedding = list(plan)
            return
        rows: List[Tuple[str, float]] = self.embedding + list(plan) + self.extra
        self._write(f"quorlin: expected time (one core, within a factor of about 3): "
                    f"{duration(sum(s for _, s in rows))}\n")
        for step, seconds in rows:
            self._write(f"quorlin:   {LABELS[step]:<40}{duration(seconds):>10}\n")
        raise _Estimated


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

    progress = Progress(0, None, "off", announce=False)
    try:
        try:
            settings = settings_from(args)
            if args.plot:
                _check_plot_target(args.plot)
            series = _read(args)
            window = series.values[:settings.max_samples or None]
            finite_count = int(np.isfinite(window).sum())
            steps = sum(settings.runs(s) for s in STEPS) + bool(settings.surrogates)
            if args.estimate:
                progress = _EstimateOnly(steps, stderr, "off", announce=True)
                progress.embedding, progress.extra = [], []
                if args.plot:
                    progress.extra = [("figure", costs.estimate("figure",
                                                                costs.Workload(finite_count)))]
                try:
                    analyse(series, settings, observer=progress)
                except _Estimated:
                    pass
                return 0
            progress = Progress.for_run(steps + bool(args.plot), finite_count, args.quiet, stderr)
            if args.plot:
                progress.expected["figure"] = costs.estimate("figure", costs.Workload(finite_count))
            try:
                result = analyse(series, settings, observer=progress)
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
                with progress.step("figure"):
                    plot_analysis(result, args.plot)
            except OSError as error:
                return fail(f"cannot write {shown}: {error.strerror or error}")
            except Exception as error:      # noqa: BLE001 - the numbers are out; say why in one line
                return fail(f"cannot draw {shown}: {printable(f'{type(error).__name__}: {error}', 200)}")
        return 0
    except KeyboardInterrupt:
        where = progress.interrupted()
        progress.pause()
        _emit(stderr, f"quorlin: interrupted{where}\n")
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
