"""Many series at once: the report's analysis on every series of a set of
files or arrays, one row per series in a results table.

A run is a list of tasks in input order. A task carries what a worker needs
to find its data, never more: a path (the worker reads the file itself, so
only the path and the rows travel) or one small array. Each task gives one
row per series it holds (a table with several numeric columns gives one per
column), and a failure is a row too, with its one-line reason in `error`:
one bad file never ends the run.

Rows come back in completion order. Each is appended to a journal beside the
output as soon as it arrives, so that an interrupted run (Ctrl-C, a lost
connection, a killed process) keeps what was finished; the table itself is
then written in input order, and the journal removed. `resume` skips the
inputs whose rows are already in the table (rows with an error are tried
again: the cause may have passed).

Three executors run the tasks: in this process (one job, or one task), a
process pool (the default, one worker per usable core), or a Dask cluster
(a `distributed.Client`). Every task runs the engine on one thread, so that
a pool of N workers uses N cores, and the numbers do not depend on the
executor: the same inputs give the same table on one worker or many, timing
columns aside.
"""

from __future__ import annotations

import csv
import functools
import glob
import io
import json
import math
import os
import platform
import signal
import stat
import sys
import time
from dataclasses import dataclass, replace
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence,
                    TextIO, Tuple, Union)

import numpy as np

from quorlin.analysis import analyse
from quorlin.cores import usable_cores
from quorlin.reading import (MAX_SHOWN_PATH, InputError, Series, load_columns, load_series,
                             printable, quoted)
from quorlin.settings import Settings, settings_dict

__all__ = ["BatchInterrupted", "Task", "batch", "expand_inputs", "read_table", "run_task",
           "table_format", "usable_cores", "write_rows", "write_table", "TIMING_COLUMNS"]

#: Columns that differ from run to run (wall-clock times); everything else in
#: a row is the same on one worker or many.
TIMING_PREFIXES = ("seconds", "read_seconds")
TIMING_COLUMNS = TIMING_PREFIXES

#: Output formats by file suffix.
FORMATS = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet"}
#: The longest one-line reason kept in the error column.
MAX_ERROR_CHARACTERS = 300


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C during a batch, after the finished rows were written: `done` of
    `total` inputs were finished; `rows` is the table so far (in input
    order), also in the table at `path` when one was given."""

    def __init__(self, done: int, total: int, path: Optional[str],
                 rows: Sequence[Dict[str, Any]] = ()) -> None:
        super().__init__(f"{done} of {total} inputs done")
        self.done, self.total, self.path, self.rows = done, total, path, list(rows)


# --- Tasks --------------------------------------------------------------------------


@dataclass(frozen=True)
class Task:
    """One unit of work: a file (`path`) or one array (`values`), with the
    settings and the sampling interval to use. `source` names the input in
    the table and is the key that `resume` looks for; `problem` is a reason
    known before any work (a pattern that matches no file). `base`: the
    directory that a relative path starts from, for workers that may run
    elsewhere (a Dask cluster); None for the working directory."""
    index: int
    source: str
    settings: Settings
    path: Optional[str] = None
    values: Optional[np.ndarray] = None
    column: Optional[str] = None
    time_column: Optional[str] = None
    sampling_interval: Optional[float] = None
    time_unit: Optional[str] = None
    problem: Optional[str] = None
    base: Optional[str] = None


#: (source, path, values, problem) of one input.
Input = Tuple[str, Optional[str], Optional[np.ndarray], Optional[str]]


def expand_inputs(inputs: Any) -> List[Input]:
    """(source, path, values, problem) for each input, in input order.

    A string or path is a file, or a glob pattern (its matches in sorted
    order; `**` reaches into subdirectories); a pattern that matches nothing
    is a problem row. A one-dimensional array is one series, a
    two-dimensional one a series per column; a mapping of names to arrays
    (or a table object with `.columns`, such as a DataFrame) a series per
    entry; a list may mix paths and arrays."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    elif hasattr(inputs, "columns") and hasattr(inputs, "__getitem__"):
        inputs = {str(c): inputs[c] for c in inputs.columns}
    out: List[Input] = []
    if isinstance(inputs, Mapping):
        for key, value in inputs.items():
            array = np.asarray(value)
            if array.dtype.kind not in "biuf":      # a column of labels or dates is not a series
                continue
            out.append((str(key), None, np.ascontiguousarray(array, dtype=np.float64), None))
        return out
    if isinstance(inputs, np.ndarray) or (not isinstance(inputs, (list, tuple))
                                          and hasattr(inputs, "__array__")):
        array = np.asarray(inputs, dtype=np.float64)
        if array.ndim == 1:
            return [("series", None, array, None)]
        if array.ndim == 2:
            return [(f"column {i}", None, np.ascontiguousarray(array[:, i]), None)
                    for i in range(array.shape[1])]
        raise ValueError(f"expected one series or a table of series in columns, got an array of "
                         f"shape {array.shape}")
    for position, item in enumerate(inputs):
        if isinstance(item, (str, os.PathLike)):
            text = os.fsdecode(item)
            if any(c in text for c in "*?["):
                matches = sorted(glob.glob(text, recursive=True))
                files = [m for m in matches if not os.path.isdir(m)]
                if not files:
                    out.append((text, None, None, f"no file matches {quoted(text)}"))
                # A FIFO would block its worker until something writes to
                # it: one that a pattern happens to match is not read (one
                # named on its own is).
                out.extend((m, m, None, f"{printable(m, MAX_SHOWN_PATH)} is a FIFO: name it on its "
                            "own to read it") if _is_fifo(m) else (m, m, None, None) for m in files)
            else:
                out.append((text, text, None, None))
        else:
            array = np.asarray(item, dtype=np.float64)
            if array.ndim != 1:
                raise ValueError(f"input {position}: expected one series (a one-dimensional "
                                 f"array), got shape {array.shape}")
            out.append((f"series {position}", None, array, None))
    return out


def _is_fifo(path: str) -> bool:
    try:
        return stat.S_ISFIFO(os.stat(path).st_mode)
    except OSError:
        return False


@functools.lru_cache(maxsize=None)
def _platform() -> Dict[str, str]:
    # platform.libc_ver() reads the interpreter's binary: once per process.
    libc, libc_version = platform.libc_ver()
    return {"platform.machine": platform.machine(), "platform.system": platform.system(),
            "platform.libc": libc or "unknown", "platform.libc_version": libc_version or "",
            "platform.python": platform.python_version(), "platform.numpy": np.__version__}


def _one_line(error: BaseException) -> str:
    text = str(error) if isinstance(error, InputError) else f"{type(error).__name__}: {error}"
    return printable(" ".join(text.split()), MAX_ERROR_CHARACTERS)


def flatten(value: Any, prefix: str = "", out: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """A nested dict as one level with dotted keys; lists stay lists."""
    out = {} if out is None else out
    if isinstance(value, dict):
        for key, item in value.items():
            flatten(item, f"{prefix}.{key}" if prefix else str(key), out)
    else:
        out[prefix] = value
    return out


def _row(task: Task, series: Optional[str], column: Optional[str]) -> Dict[str, Any]:
    """The columns every row starts with, errors included."""
    from quorlin import __version__

    return {"source": task.source, "series": series if series is not None else task.source,
            "column": column, "error": None, "quorlin_version": __version__, **_platform()}


def _as_given(text: str, task: Task) -> str:
    """A name or message about a file read through its absolute path, with
    the path as the user gave it."""
    if task.base is None or task.path is None:
        return text
    return text.replace(printable(os.path.join(task.base, task.path), MAX_SHOWN_PATH),
                        printable(task.path, MAX_SHOWN_PATH))


def _analysed_row(task: Task, series: Series, read_seconds: float) -> Dict[str, Any]:
    row = _row(task, series.description, series.column)
    row["length"] = int(np.asarray(series.values).size)
    row["read_seconds"] = read_seconds
    begun = time.perf_counter()
    try:
        summary = analyse(series, task.settings).summary()
    except Exception as error:      # noqa: BLE001 - one series' failure is its row, not the run's
        row["error"] = _as_given(_one_line(error), task)
        row["seconds"] = time.perf_counter() - begun
        return row
    row["seconds"] = time.perf_counter() - begun
    row["time_column"] = summary.pop("source", {}).get("time_column")
    notes = summary.pop("notes", [])
    summary.pop("quorlin_version", None)
    row.update(flatten(summary))
    row["warnings"] = list(notes)
    return row


def run_task(task: Task) -> Tuple[int, List[Dict[str, Any]]]:
    """Runs one task (in a worker): reads its file or takes its array, and
    analyses each series in it. Returns (task index, rows). Never raises for
    a problem with the data: it becomes the row's error."""
    if task.problem is not None:
        return task.index, [dict(_row(task, None, None), error=task.problem)]
    begun = time.perf_counter()
    try:
        if task.path is not None:
            path = task.path if task.base is None else os.path.join(task.base, task.path)
            found = (load_columns(path, task.time_column) if task.column is None
                     else [load_series(path, task.column, task.time_column)])
            for series in found:
                series.description = _as_given(series.description, task)
        else:
            found = [Series(np.asarray(task.values, dtype=np.float64), task.source)]
    except Exception as error:      # noqa: BLE001 - one file's failure is its row, not the run's
        return task.index, [dict(_row(task, None, None), error=_as_given(_one_line(error), task),
                                 read_seconds=time.perf_counter() - begun)]
    read_seconds = time.perf_counter() - begun
    rows = []
    for series in found:
        if task.sampling_interval is not None:
            series.sampling_interval = task.sampling_interval
        if task.time_unit is not None:
            series.time_unit = task.time_unit
        rows.append(_analysed_row(task, series, read_seconds))
    return task.index, rows


def _worker_setup() -> None:
    """Each pool worker: Ctrl-C is the parent's to handle (it stops the
    workers itself; a worker's own KeyboardInterrupt would only print a
    traceback), and libraries that could start thread pools keep to one
    thread, so that N workers use N cores: through the environment for those
    loaded from now on, through threadpoolctl (when installed) for those the
    parent had loaded before the worker was forked."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[name] = "1"
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-not-found]
    except ImportError:
        return
    threadpool_limits(1)


# --- Executors ----------------------------------------------------------------------


def _inline(tasks: Sequence[Task]) -> Iterator[Tuple[int, List[Dict[str, Any]]]]:
    for task in tasks:
        yield run_task(task)


class _Pool:
    """A process pool whose workers can be stopped at once on Ctrl-C."""

    def __init__(self, jobs: int) -> None:
        from concurrent.futures import ProcessPoolExecutor

        self.executor = ProcessPoolExecutor(max_workers=jobs, initializer=_worker_setup)

    def run(self, tasks: Sequence[Task]) -> Iterator[Tuple[int, List[Dict[str, Any]]]]:
        from concurrent.futures import as_completed
        from concurrent.futures.process import BrokenProcessPool

        futures = {self.executor.submit(run_task, task): task for task in tasks}
        try:
            for future in as_completed(futures):
                task = futures[future]
                try:
                    yield future.result()
                except BrokenProcessPool:
                    # A worker died (killed, out of memory): its task cannot
                    # be told apart from the others in flight, so every
                    # unfinished one becomes an error row that a resumed
                    # run tries again.
                    yield task.index, [dict(_row(task, None, None), error=(
                        "a worker process ended abruptly (killed, or out of memory) before "
                        "this input was done; rerun with --resume to try it again"))]
                except Exception as error:      # noqa: BLE001 - a row, never the end of the run
                    yield task.index, [dict(_row(task, None, None), error=_one_line(error))]
        finally:
            if all(future.done() for future in futures):
                self.executor.shutdown(wait=True)
            else:
                self.stop()

    def stop(self) -> None:
        # Workers run engine calls that only return when done: on Ctrl-C
        # they are terminated rather than waited for.
        processes = list(getattr(self.executor, "_processes", {}).values())
        self.executor.shutdown(wait=False, cancel_futures=True)
        for process in processes:
            if process.is_alive():
                process.terminate()
        for process in processes:
            process.join(5)


def _dask(client: Any, tasks: Sequence[Task]) -> Iterator[Tuple[int, List[Dict[str, Any]]]]:
    from distributed import as_completed

    futures = {client.submit(run_task, task, pure=False): task for task in tasks}
    try:
        for future in as_completed(list(futures)):  # type: ignore[no-untyped-call]
            task = futures[future]
            try:
                yield future.result()
            except Exception as error:          # noqa: BLE001 - a lost worker, a failed task
                yield task.index, [dict(_row(task, None, None), error=_one_line(error))]
    finally:
        client.cancel([f for f in futures if not f.done()])


# --- Progress -------------------------------------------------------------------------


def _clock(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class _Bar:
    """One line on stderr, redrawn in place: inputs done, errors, elapsed
    time and the time left at the rate so far."""

    def __init__(self, total: int, stream: Optional[TextIO]) -> None:
        self.total, self.stream = total, stream
        self.done = self.errors = 0
        self.started = time.perf_counter()
        self.width = 0

    def update(self, rows: Sequence[Dict[str, Any]]) -> None:
        self.done += 1
        self.errors += sum(row.get("error") is not None for row in rows)
        if self.stream is None:
            return
        elapsed = time.perf_counter() - self.started
        left = elapsed / self.done * (self.total - self.done)
        filled = int(20 * self.done / max(self.total, 1))
        line = (f"quorlin batch [{'#' * filled}{'.' * (20 - filled)}] {self.done}/{self.total}"
                + (f", {self.errors} error{'s' if self.errors != 1 else ''}" if self.errors else "")
                + f"  {_clock(elapsed)} elapsed, ETA {_clock(left)}")
        self.stream.write("\r" + line.ljust(self.width))
        self.stream.flush()
        self.width = len(line)

    def close(self) -> None:
        if self.stream is not None and self.width:
            self.stream.write("\n")
            self.stream.flush()
            self.width = 0


# --- Tables -------------------------------------------------------------------------


def table_format(path: str) -> str:
    """The kind of table ("csv", "jsonl" or "parquet") that `path` names by
    its suffix; InputError for another suffix, or for Parquet without
    pyarrow."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        raise InputError(f"cannot write {printable(path, MAX_SHOWN_PATH)}: unknown table type "
                         f"{quoted(suffix) if suffix else repr('(none)')} (use .csv, .jsonl or "
                         ".parquet)")
    if FORMATS[suffix] == "parquet":
        try:
            import pyarrow  # type: ignore[import-untyped,unused-ignore]  # noqa: F401
        except ImportError:
            raise InputError("Parquet output needs pyarrow: python -m pip install "
                             "'quorlin[batch]' (or write .csv or .jsonl)") from None
    return FORMATS[suffix]


def _json_value(value: Any) -> Any:
    """JSON has no NaN or infinities: NaN is null, infinities are strings, as
    in the single-series report."""
    from quorlin.output import json_ready

    return json_ready(value)


def _cell(value: Any) -> str:
    """A CSV cell: floats in the shortest form that reads back to the same
    bits, NaN as "nan", None as empty, lists as JSON."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else ("nan" if math.isnan(value)
                                                          else ("inf" if value > 0 else "-inf"))
    if isinstance(value, (list, tuple)):
        return json.dumps(_json_value(list(value)), allow_nan=False)
    return str(value)


def _columns(rows: Sequence[Dict[str, Any]]) -> List[str]:
    """Every key of the rows, in order of first appearance."""
    seen: Dict[str, None] = {}
    for row in rows:
        for key in row:
            seen.setdefault(key, None)
    return list(seen)


def write_table(rows: Sequence[Dict[str, Any]], path: str) -> None:
    """Writes the rows to `path` (CSV, JSON Lines or Parquet, by suffix)
    through a temporary file beside it, so that the table is never half
    written."""
    kind = table_format(path)
    temporary = f"{path}.writing"
    try:
        if kind == "parquet":
            _write_parquet(rows, temporary)
        else:
            with open(temporary, "w", encoding="utf-8", newline="") as f:
                write_rows(rows, f, kind)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def write_rows(rows: Sequence[Dict[str, Any]], stream: TextIO, kind: str = "csv") -> None:
    if kind == "jsonl":
        for row in rows:
            stream.write(json.dumps(_json_value(row), allow_nan=False) + "\n")
        return
    columns = _columns(rows)
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow([_cell(row.get(c)) for c in columns])


def _write_parquet(rows: Sequence[Dict[str, Any]], path: str) -> None:
    import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

    arrays, names = [], []
    for column in _columns(rows):
        values = [row.get(column) for row in rows]
        try:
            array = pa.array(values)
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            # Mixed kinds in one column (a number in one row, text in
            # another): the column is kept as text, as in the CSV.
            array = pa.array([None if v is None else _cell(v) for v in values], pa.string())
        arrays.append(array)
        names.append(column)
    pq.write_table(pa.Table.from_arrays(arrays, names=names), path)


def read_table(path: str) -> List[Dict[str, Any]]:
    """The rows of a table this module wrote (CSV cells stay text)."""
    kind = table_format(path)
    if kind == "parquet":
        import pyarrow.parquet as pq

        rows: List[Dict[str, Any]] = pq.read_table(path).to_pylist()
        return rows
    with open(path, encoding="utf-8", newline="") as f:
        if kind == "jsonl":
            return [json.loads(line) for line in f if line.strip()]
        return [dict(row) for row in csv.DictReader(f)]


def _journal_rows(path: str) -> List[Dict[str, Any]]:
    """Rows of a journal left by a run that was killed before it could write
    its table; a line cut short by the kill is ignored."""
    rows = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    rows.append(json.loads(line))
                except ValueError:
                    continue
    except FileNotFoundError:
        pass
    return rows


def _settings_cells(rows: Sequence[Dict[str, Any]], kind: str) -> Dict[str, str]:
    """The settings columns of rows, as the table holds them."""
    buffer = io.StringIO()
    write_rows(rows, buffer, "csv" if kind == "csv" else "jsonl")
    buffer.seek(0)
    if kind == "csv":
        read = next(csv.DictReader(buffer))
    else:
        read = json.loads(buffer.readline())
    return {k: _comparable(v) for k, v in read.items() if k.startswith("settings.")}


def _comparable(value: Any) -> str:
    if isinstance(value, str):
        return value
    return _cell(value)


# --- The run --------------------------------------------------------------------------


def batch(inputs: Any, settings: Optional[Settings] = None, *, out: Optional[str] = None,
          jobs: Optional[int] = None, client: Any = None, executor: str = "auto",
          resume: bool = False, column: Optional[str] = None, time_column: Optional[str] = None,
          sampling_interval: Optional[float] = None, time_unit: Optional[str] = None,
          progress: Optional[bool] = None, on_row: Optional[Callable[[Dict[str, Any]], None]] = None,
          **changes: Any) -> List[Dict[str, Any]]:
    """Analyses many series and returns one row (a dict) per series, in input
    order; with `out` (.csv, .jsonl or .parquet) also writes them there.

    inputs: a path or glob pattern, a list of them (arrays may be mixed in),
        a 2-D array (a series per column), or a mapping of names to arrays.
        Each numeric column of a table file is a series of its own.
    settings, **changes: the analysis' settings, as for `analyse`
        (``batch(paths, surrogates=99)``).
    jobs: worker processes (default: the cores this process may use).
    client: a `distributed.Client`: run the tasks on its cluster instead.
        Paths must then be readable by every worker.
    executor: "auto" (the pool, or this process when there is one job or one
        input), "process", "inline" or "dask" (needs `client`).
    resume: skip the inputs whose rows are already in `out` (rows with an
        error are tried again); the table must have been made with the same
        settings.
    column: analyse only this column of each table file (a header name or a
        0-based index), instead of every numeric one.
    time_column, sampling_interval, time_unit: as in the report; the
        interval and unit apply to every series.
    progress: a bar with the time left on stderr (default: when stderr is a
        terminal).
    on_row: called in this process with each row as it arrives (completion
        order).

    A row holds the input (`source`), the series' name and column, `length`,
    every number of the report (dotted keys, as in its JSON: "hurst.dfa",
    "lyapunov.kantz.per_sample"), the settings in effect ("settings.*"),
    `warnings`, the seconds taken, the package version and the platform, and
    `error`: None, or why this series has no numbers. Ctrl-C stops the
    workers, writes the finished rows, and raises BatchInterrupted (a
    KeyboardInterrupt).
    """
    settings = settings if settings is not None else Settings()
    if changes:
        settings = settings.with_changes(**changes)
    kind = table_format(out) if out is not None else None
    if resume and out is None:
        raise ValueError("resume needs the output table (out=...)")
    expanded = expand_inputs(inputs)
    tasks = [Task(i, source, settings, path=path, values=values, column=column,
                  time_column=time_column,
                  sampling_interval=sampling_interval, time_unit=time_unit, problem=problem)
             for i, (source, path, values, problem) in enumerate(expanded)]
    # Rows already there (a resumed run), the journal of a run killed before
    # it wrote its table included.
    journal = None if out is None else f"{out}.partial.jsonl"
    kept: List[Dict[str, Any]] = []
    if out is not None and resume:
        if os.path.exists(out):
            kept = read_table(out)
        kept += _journal_rows(f"{out}.partial.jsonl")
        _check_same_settings(kept, settings, kind or "csv", out)
        done = {row["source"] for row in kept if not row.get("error")}
        kept = [row for row in kept if row.get("source") in done]
        tasks = [t for t in tasks if t.source not in done]
    elif journal is not None and os.path.exists(journal):
        os.unlink(journal)

    if executor not in ("auto", "process", "inline", "dask"):
        raise ValueError(f"executor must be 'auto', 'process', 'inline' or 'dask', got {executor!r}")
    if client is not None or executor == "dask":
        if client is None:
            raise ValueError("the dask executor needs a client (a distributed.Client)")
        # The workers may run elsewhere, in another directory: relative
        # paths are given from this one.
        base = os.getcwd()
        tasks = [replace(t, base=base) if t.path is not None and not os.path.isabs(t.path) else t
                 for t in tasks]
        results = _dask(client, tasks)
    else:
        jobs = usable_cores() if jobs is None else int(jobs)
        if jobs < 1:
            raise ValueError(f"jobs must be at least 1, got {jobs}")
        inline = executor == "inline" or (executor == "auto" and (jobs == 1 or len(tasks) <= 1))
        results = _inline(tasks) if inline else _Pool(min(jobs, max(len(tasks), 1))).run(tasks)

    on_terminal = sys.stderr is not None and getattr(sys.stderr, "isatty", lambda: False)()
    stream = sys.stderr if progress or (progress is None and on_terminal) else None
    bar = _Bar(len(tasks), stream)
    finished: Dict[int, List[Dict[str, Any]]] = {}
    log = open(journal, "a", encoding="utf-8") if journal is not None else None
    try:
        try:
            for index, rows in results:
                finished[index] = rows
                if log is not None:
                    for row in rows:
                        log.write(json.dumps(_json_value(row), allow_nan=False) + "\n")
                    log.flush()
                bar.update(rows)
                if on_row is not None:
                    for row in rows:
                        on_row(row)
        finally:
            close = getattr(results, "close", None)
            if close is not None:
                close()              # stops the pool's workers, cancels Dask's futures
            bar.close()
    except KeyboardInterrupt:
        table = _ordered(kept, finished, expanded)
        if out is not None:
            write_table(table, out)
            _remove(log, journal)
        raise BatchInterrupted(len(finished), len(tasks), out, table) from None
    table = _ordered(kept, finished, expanded)
    if out is not None:
        write_table(table, out)
        _remove(log, journal)
    return table


def _remove(log: Optional[TextIO], journal: Optional[str]) -> None:
    if log is not None:
        log.close()
    if journal is not None and os.path.exists(journal):
        os.unlink(journal)


def _ordered(kept: List[Dict[str, Any]], finished: Dict[int, List[Dict[str, Any]]],
             expanded: Sequence[Tuple[str, Any, Any, Any]]) -> List[Dict[str, Any]]:
    """Rows in input order: kept rows of a resumed run where their input now
    stands, then those of inputs no longer given, in their old order."""
    position = {source: i for i, (source, *_rest) in enumerate(expanded)}
    by_source: Dict[Any, List[Dict[str, Any]]] = {}
    for row in kept:
        by_source.setdefault(row.get("source"), []).append(row)
    table: List[Dict[str, Any]] = []
    for i, (source, *_rest) in enumerate(expanded):
        table += finished.get(i) or by_source.pop(source, [])
    for source, rows in by_source.items():
        if source not in position:
            table += rows
    return table


def _check_same_settings(kept: Sequence[Dict[str, Any]], settings: Settings, kind: str,
                         out: str) -> None:
    """Refuses to add rows computed with other settings to a table: the
    table would mix numbers that are not comparable without saying so."""
    analysed = [row for row in kept if not row.get("error")]
    if not analysed:
        return
    current = {f"settings.{k}": v for k, v in settings_dict(settings).items()}
    wanted = _settings_cells([current], kind)
    for row in analysed:
        for key, value in wanted.items():
            have = row.get(key)
            have = _comparable(have) if not isinstance(have, str) else have
            if have != value:
                raise InputError(f"cannot resume {printable(out, MAX_SHOWN_PATH)}: its rows were "
                                 f"computed with {key.split('.', 1)[1]} = {have or '(none)'}, "
                                 f"this run has {value or '(none)'}; give the same options, or "
                                 "another --out")
