"""``python -m quorlin batch``: the report's numbers for many series, one row
per series in a table (see `quorlin.batch`).

Every failure of the run as a whole (an option, the output table, the
scheduler) is one ``quorlin: error: …`` line with exit status 2; a bad input
is an error row and the run goes on. Ctrl-C writes the finished rows and
ends with one ``quorlin: interrupted …`` line and status 130.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Optional, Sequence, TextIO

from quorlin import __version__
from quorlin.batch import BatchInterrupted, batch, usable_cores, write_rows
from quorlin.cli import CommandParser, add_analysis_options, integer_option, settings_from
from quorlin.reading import MAX_SHOWN_PATH, InputError, printable

__all__ = ["build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="python -m quorlin batch",
        description="The report's numbers for many series: every file that the inputs name or "
                    "match (.csv, .tsv, .txt, .dat, .npy), each numeric column of a table as a "
                    "series of its own. One row per series, in input order, with every estimate, "
                    "the settings, warnings, the time taken, and an error column: a file that "
                    "cannot be read or a series that cannot be analysed is an error row, not the "
                    "end of the run.",
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="files or glob patterns (quote them: 'data/*.csv'; ** reaches into "
                        "subdirectories)")
    parser.add_argument("--version", action="version", version=f"quorlin {__version__}")
    parser.add_argument("-o", "--out", metavar="FILE", help="results table: .csv, .jsonl or "
                        ".parquet (needs pyarrow); without it, CSV on stdout at the end")
    parser.add_argument("-j", "--jobs", type=integer_option(1), metavar="N",
                        help=f"worker processes (default: the usable cores, {usable_cores()} "
                        "here); 1 runs in this process")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run on a Dask cluster: the "
                        "scheduler's address, e.g. tcp://host:8786 (needs dask.distributed; the "
                        "workers must be able to read the files)")
    parser.add_argument("--resume", action="store_true", help="skip the inputs already in the "
                        "--out table (inputs with an error row are tried again)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="a progress bar with the time left on stderr (default: when stderr "
                        "is a terminal)")
    parser.add_argument("-c", "--column", help="analyse only this column of each table (header "
                        "name or 0-based index) instead of every numeric column")
    parser.add_argument("-q", "--quiet", action="store_true", help="nothing on stderr but errors")
    parser.add_argument("--time-column", metavar="NAME", help="column of times (numbers or ISO "
                        "8601 dates) from which each table's sampling interval is taken; it is "
                        "not analysed")
    add_analysis_options(parser)
    return parser


def _client(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        raise InputError("--scheduler needs dask.distributed: python -m pip install "
                         "'quorlin[batch]'") from None
    try:
        return Client(address, timeout="20s")  # type: ignore[no-untyped-call]
    except (OSError, ValueError, TimeoutError) as error:
        raise InputError(f"cannot connect to the scheduler at {printable(address, 120)}: "
                         f"{printable(str(error), 200)}") from None


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None,
         stderr: Optional[TextIO] = None) -> int:
    """Runs the command; 0 when the table was written (error rows included),
    2 when the run could not start, 130 when interrupted."""
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    args = build_parser().parse_args(argv)
    client = None
    try:
        try:
            settings = settings_from(args)
            if args.resume and args.out is None:
                raise InputError("--resume needs --out: the table whose rows are kept")
            if args.time_column is not None and args.dt is not None:
                raise InputError("give either --dt or --time-column, not both")
            if args.scheduler is not None and args.jobs is not None:
                raise InputError("give either --jobs or --scheduler: the cluster's workers "
                                 "run the tasks")
            if args.out is not None:
                _check_out(args.out)
            if args.scheduler is not None:
                client = _client(args.scheduler)
            rows = batch(args.inputs, settings, out=args.out, jobs=args.jobs, client=client,
                         resume=args.resume, column=args.column, time_column=args.time_column,
                         sampling_interval=args.dt,
                         time_unit=None if args.time_unit is None else printable(args.time_unit, 20),
                         progress=False if args.quiet else args.progress)
        except (InputError, ValueError) as error:
            stderr.write(f"quorlin: error: {printable(str(error), 400)}\n")
            return 2
    except BatchInterrupted as interrupted:
        if interrupted.path:
            where = (f"; {interrupted.done} of {interrupted.total} inputs are in "
                     f"{printable(interrupted.path, MAX_SHOWN_PATH)} (--resume finishes the run)")
        else:
            where = (f"; the rows of {interrupted.done} of {interrupted.total} inputs are on "
                     "stdout")
            try:
                write_rows(interrupted.rows, stdout)
                stdout.flush()
            except (BrokenPipeError, KeyboardInterrupt):
                pass
        stderr.write(f"quorlin: interrupted{where}\n")
        return 130
    except KeyboardInterrupt:
        stderr.write("quorlin: interrupted\n")
        return 130
    finally:
        if client is not None:
            client.close()
    errors = sum(row.get("error") is not None for row in rows)
    if args.out is None:
        try:
            write_rows(rows, stdout)
            stdout.flush()
        except BrokenPipeError:
            return 141
    if errors and not args.quiet:
        stderr.write(f"quorlin: {errors} of {len(rows)} series could not be analysed "
                     "(see the error column)\n")
    return 0


def _check_out(path: str) -> None:
    """Refuses, before any work, a table that could not be written."""
    from quorlin.batch import table_format

    table_format(path)
    shown = printable(path, MAX_SHOWN_PATH)
    directory = os.path.dirname(path) or os.curdir
    if not os.path.isdir(directory):
        raise InputError(f"cannot write {shown}: no directory {printable(directory, MAX_SHOWN_PATH)}")
    if os.path.lexists(path) and not os.path.isfile(path):
        raise InputError(f"cannot write {shown}: it exists and is not a regular file")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise InputError(f"cannot write {shown}: no permission to create files in "
                         f"{printable(directory, MAX_SHOWN_PATH)}")
