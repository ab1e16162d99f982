"""Reading series from a file, with bounded time, memory and messages.

Everything the report shows about a file (its name, its header cells, a cell
quoted in a message) passes through `printable`, because a file can hold
anything: escape sequences that repaint the user's terminal, bytes that are
not text, a "name" ten megabytes long. And every read is bounded: only
regular files and FIFOs are opened (never a device such as /dev/zero), text
is read line by line with a cap on the line length, a .npy header is checked
against the size of the file before anything is allocated, and the numbers
must fit in the memory that is free when the read starts.
"""

from __future__ import annotations

import ast
import csv
import io
import itertools
import math
import os
import stat
import sys
from array import array
from dataclasses import dataclass, field
from typing import BinaryIO, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, TypeVar

import numpy as np
from numpy.typing import NDArray

__all__ = ["InputError", "Series", "load_columns", "load_series", "memory_available",
           "printable", "quoted", "sampling_interval_from"]

FloatArray = NDArray[np.float64]
_Item = TypeVar("_Item")

#: Texts read as a missing value in a table cell (compared in lower case).
MISSING_CELLS = frozenset({"", "nan", "na", "n/a", "null", "none", "-", "?"})
TEXT_SUFFIXES = frozenset({".csv", ".tsv", ".txt", ".dat"})

#: Longest line of a text table, in characters. A table of series in columns
#: has short lines (thousands of channels fit in a few hundred kilobytes);
#: what is longer is not such a table, or not text at all (a FIFO fed from
#: /dev/zero is one endless line).
MAX_LINE_CHARACTERS = 1 << 20
#: Characters of a text file decoded at once.
READ_CHARACTERS = 1 << 20
#: Longest file-derived text (a header cell, a quoted cell) shown in a
#: message or in the report, and longest path shown.
MAX_SHOWN_CHARACTERS = 60
MAX_SHOWN_PATH = 240
#: Column names listed in one message at most.
MAX_LISTED_COLUMNS = 8
#: The numbers read must fit this many times in the memory free when the
#: read starts: the values as read, and the working copy the analysis takes.
NUMBER_COPIES = 2
#: The memory check runs after every this many values read; the estimate of
#: the whole file's numbers from its size waits for this many characters.
CHECK_EVERY_VALUES = 1 << 18
ESTIMATE_AFTER_CHARACTERS = 1 << 20
#: Bytes of a .npy file read at once, and the longest header accepted (the
#: format's version 1 caps its header at 64 KiB; NumPy itself writes ~128 B).
NPY_CHUNK_BYTES = 1 << 23
NPY_MAX_HEADER = 1 << 16


class InputError(Exception):
    """A problem with the input that the user can fix; reported in one line."""


@dataclass
class Series:
    """One series as read: its values, where they came from, and what is known
    about them (the sampling interval and its unit, the known largest
    Lyapunov exponent per time unit of a built-in example)."""
    values: FloatArray
    description: str
    path: Optional[str] = None
    column: Optional[str] = None
    sampling_interval: Optional[float] = None
    notes: List[str] = field(default_factory=list)
    time_column: Optional[str] = None
    time_unit: Optional[str] = None
    known_exponent: Optional[float] = None


# --- Text from files, made safe to show -------------------------------------------


def printable(text: str, limit: Optional[int] = MAX_SHOWN_CHARACTERS) -> str:
    """`text` as it can be shown on any terminal: characters that are not
    printable (controls such as ESC, bidirectional overrides, line breaks) are
    written as escapes like ``\\x1b``, bytes that were not valid in the file
    system's encoding (kept as surrogates by Python) as ``\\xe9``, and the
    result is cut at about `limit` characters, ending in "..."."""
    if (limit is None or len(text) <= limit) and text.isprintable():
        return text
    shown: List[str] = []
    length = 0
    for ch in text:
        if ch.isprintable():
            piece = ch
        elif 0xDC80 <= ord(ch) <= 0xDCFF:        # an undecodable byte (surrogateescape)
            piece = f"\\x{ord(ch) - 0xDC00:02x}"
        else:
            piece = repr(ch)[1:-1]
        if limit is not None and length + len(piece) > limit:
            shown.append("...")
            break
        shown.append(piece)
        length += len(piece)
    return "".join(shown)


def quoted(text: str) -> str:
    return f"'{printable(text)}'"


def _listed(names: Iterable[str], total: int) -> str:
    """The first MAX_LISTED_COLUMNS of `total` names, for a message."""
    shown = ", ".join(itertools.islice(names, MAX_LISTED_COLUMNS))
    more = total - MAX_LISTED_COLUMNS
    return shown + (f" and {more} more" if more > 0 else "")


def _size(nbytes: float) -> str:
    for unit, scale in (("TB", 1e12), ("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if nbytes >= scale:
            return f"{nbytes / scale:.3g} {unit}"
    return f"{int(nbytes)} bytes"


# --- Memory free now ------------------------------------------------------------


def _first_number(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as f:
            word = f.read(64).split()
        return int(word[0]) if word else None
    except (OSError, ValueError):
        return None


def _system_available() -> Optional[int]:
    """MemAvailable + SwapFree: what the kernel can hand out without killing
    anything."""
    available: Optional[int] = None
    swap_free = 0
    try:
        with open("/proc/meminfo", "rb") as f:
            for line in f:
                key, _, rest = line.partition(b":")
                if key in (b"MemAvailable", b"SwapFree"):
                    kib = int(rest.split()[0])
                    if key == b"MemAvailable":
                        available = kib
                    else:
                        swap_free = kib
    except (OSError, ValueError, IndexError):
        return None
    return None if available is None else (available + swap_free) * 1024


def _cgroup_headroom() -> Optional[int]:
    """The room left under the memory limits of this process's control group
    and every group above it (cgroup v2, else the v1 memory controller):
    inside a container the out-of-memory killer acts at the group's limit."""
    try:
        with open("/proc/self/cgroup", encoding="utf-8", errors="replace") as f:
            lines = f.read(1 << 16).splitlines()
    except OSError:
        return None
    found: Optional[Tuple[str, str, str, str]] = None
    for line in lines:
        hierarchy, _, rest = line.partition(":")
        controllers, _, group = rest.partition(":")
        if "memory" in controllers.split(","):
            found = ("/sys/fs/cgroup/memory", group, "memory.limit_in_bytes", "memory.usage_in_bytes")
            break
        if hierarchy == "0" and controllers == "":
            found = ("/sys/fs/cgroup", group, "memory.max", "memory.current")
    if found is None:
        return None
    root, group, limit_name, usage_name = found
    headroom: Optional[int] = None
    # From the process's own group up to the root of the mounted hierarchy;
    # levels that are not visible (another mount namespace) are skipped.
    while True:
        directory = root + group
        limit = _first_number(os.path.join(directory, limit_name))
        usage = _first_number(os.path.join(directory, usage_name))
        if limit is not None and usage is not None:
            room = max(limit - usage, 0)
            headroom = room if headroom is None else min(headroom, room)
        if not group or "/" not in group:
            break
        group = group[:group.rindex("/")]
    return headroom


def memory_available() -> Optional[int]:
    """Bytes this process can allocate now without pushing the machine or its
    control group into the out-of-memory killer; None when the system does
    not say. The same sources the extension consults before a large buffer."""
    known = [v for v in (_system_available(), _cgroup_headroom()) if v is not None]
    return min(known) if known else None


class _MemoryBudget:
    """Refuses a file once its numbers, read or foreseen, would not fit
    NUMBER_COPIES times in the memory free when the read began."""

    def __init__(self, shown: str, file_size: Optional[int]) -> None:
        self.shown, self.file_size = shown, file_size
        self.free = memory_available()

    def check(self, values: int, characters_read: int = 0) -> None:
        if self.free is None:
            return
        foreseen = values
        if self.file_size and characters_read >= ESTIMATE_AFTER_CHARACTERS:
            foreseen = max(values, int(values * self.file_size / characters_read))
        self.require(foreseen, estimated=foreseen > values)

    def require(self, values: int, estimated: bool = False) -> None:
        needed = values * 8 * NUMBER_COPIES
        if self.free is not None and needed > self.free:
            holds = (f"it holds about {values} numbers, which need about" if estimated
                     else f"its {values} numbers need")
            raise InputError(f"cannot read {self.shown}: {holds} {_size(needed)} of memory, more "
                             f"than the {_size(self.free)} free now")


# --- Opening a file ---------------------------------------------------------------


def _kind(mode: int) -> str:
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "a special file"


def _open(path: str, shown: str) -> Tuple[BinaryIO, Optional[int]]:
    """The file opened for reading, and its size (None for a FIFO). Anything
    but a regular file or a FIFO is refused: a device can be endless."""
    try:
        before = os.stat(path)
    except FileNotFoundError:
        raise InputError(f"cannot read {shown}: no such file") from None
    except OSError as error:
        raise InputError(f"cannot read {shown}: {error.strerror or error}") from None
    if stat.S_ISDIR(before.st_mode):
        raise InputError(f"cannot read {shown}: it is a directory")
    if not (stat.S_ISREG(before.st_mode) or stat.S_ISFIFO(before.st_mode)):
        raise InputError(f"cannot read {shown}: it is {_kind(before.st_mode)}, not a regular file")
    stream = open(path, "rb")
    # The path may have been replaced since the first look: what counts is
    # what was opened.
    opened = os.fstat(stream.fileno())
    if not (stat.S_ISREG(opened.st_mode) or stat.S_ISFIFO(opened.st_mode)):
        stream.close()
        raise InputError(f"cannot read {shown}: it is {_kind(opened.st_mode)}, not a regular file")
    return stream, opened.st_size if stat.S_ISREG(opened.st_mode) else None


# --- Text tables ----------------------------------------------------------------


def _number(cell: str) -> Optional[float]:
    """The value of a table cell: a float, NaN for a missing-value marker, or
    None when the cell is not a number."""
    try:
        return float(cell)
    except ValueError:
        return math.nan if cell.strip().lower() in MISSING_CELLS else None


class _Lines:
    """The data lines of a text stream (blank lines and lines starting with
    '#' skipped), each at most MAX_LINE_CHARACTERS long; `number` is the
    1-based number of the last line read, `characters` the count so far."""

    def __init__(self, text: io.TextIOBase, shown: str) -> None:
        self.text, self.shown = text, shown
        self.number = 0
        self.characters = 0

    def __iter__(self) -> Iterator[str]:
        # Read in blocks and split in one call: a readline() per line costs
        # more than the rest of the parsing. The unfinished last line of a
        # block is carried over; the length cap bounds it as well.
        pending = ""
        while True:
            try:
                block = self.text.read(READ_CHARACTERS)
            except UnicodeDecodeError:
                raise InputError(f"cannot read {self.shown}: not a UTF-8 text file "
                                 f"(after line {self.number})") from None
            self.characters += len(block)
            lines = (pending + block).split("\n") if block else [pending]
            pending = lines.pop() if block else ""
            # The lines before an overlong one are still given out first, so
            # that the first fault in the file is the one reported, whatever
            # the block size.
            too_long = max(max(map(len, lines), default=0), len(pending)) > MAX_LINE_CHARACTERS
            if too_long:
                lines = lines[:next((i for i, line in enumerate(lines)
                                     if len(line) > MAX_LINE_CHARACTERS), len(lines))]
            for line in lines:
                self.number += 1
                stripped = line.strip()
                if stripped and not stripped.startswith("#"):
                    yield line
            if too_long:
                raise InputError(f"cannot read {self.shown}: line {self.number + 1} is longer than "
                                 f"{MAX_LINE_CHARACTERS} characters: not a table of series in columns")
            if not block:
                return


def _rows(lines: _Lines) -> Iterator[List[str]]:
    """Fields of each data line: separated by the first of tab, semicolon and
    comma that occurs in the first line, else by runs of white space."""
    iterator = iter(lines)
    first = next(iterator, None)
    if first is None:
        return
    delimiter = next((d for d in ("\t", ";", ",") if d in first), None)
    if delimiter is None:
        # One column, or columns separated by blanks. A cell in double quotes
        # is its content: pandas writes a missing value of a one-column table
        # as "".
        for line in _chain([first], iterator):
            yield [cell[1:-1] if len(cell) >= 2 and cell[0] == cell[-1] == '"' else cell
                   for cell in line.split()]
        return

    def again() -> Iterator[str]:
        yield first
        yield from iterator

    try:
        yield from csv.reader(again(), delimiter=delimiter)
    except csv.Error as error:
        # A cell beyond the csv module's field limit, a NUL (before Python
        # 3.11), a quote never closed.
        if "field limit" in str(error):
            reason = f"a cell longer than {csv.field_size_limit()} characters"
        else:
            reason = printable(str(error), 120)
        raise InputError(f"cannot read {lines.shown}: line {lines.number}: {reason}") from None


class _TimeColumn:
    """The cells of the column that --time-column names: numbers, or ISO 8601
    dates and times (kept as seconds since 1970), never a mix."""

    def __init__(self, index: int, name: str) -> None:
        self.index, self.name = index, name
        self.values = array("d")
        self.dates = False
        self.numbers = False

    def add(self, fields: List[str], lines: "_Lines") -> None:
        cell = fields[self.index].strip() if self.index < len(fields) else ""
        try:
            self.values.append(float(cell))
            self.numbers = True
        except ValueError:
            if cell.lower() in MISSING_CELLS:
                self.values.append(math.nan)
                return
            try:
                moment = np.datetime64(cell, "ms")
            except ValueError:
                moment = None
            if moment is None or np.isnat(moment):
                raise InputError(f"time column {quoted(self.name)} of {lines.shown} holds "
                                 f"{quoted(cell)} on line {lines.number}: expected numbers or "
                                 "ISO 8601 dates such as 1958-03-29") from None
            self.values.append(float((moment - np.datetime64(0, "ms")) / np.timedelta64(1, "s")))
            self.dates = True
        if self.dates and self.numbers:
            raise InputError(f"time column {quoted(self.name)} of {lines.shown} mixes numbers and "
                             f"dates (line {lines.number})")


#: Steps of a time column may differ from their median by this share
#: (calendar months differ by up to 10 %); a larger step is a gap.
TIME_STEP_TOLERANCE = 0.1


def sampling_interval_from(times: FloatArray, dates: bool, name: str,
                           shown: str) -> Tuple[float, Optional[str], Optional[str]]:
    """(interval, unit, note) from the values of a time column: the mean step
    between consecutive times, when every step is within TIME_STEP_TOLERANCE
    of the median step. Dates give days (or seconds for steps under a day).
    Rows without a time are left out. InputError for times that do not
    increase or have gaps: delay embedding needs evenly spaced samples."""
    known = times[np.isfinite(times)]
    where = f"time column {quoted(name)} of {shown}"
    if known.size < 2:
        raise InputError(f"{where} holds fewer than two times")
    steps = np.diff(known)
    if not (steps > 0).all():
        first = int(np.argmax(~(steps > 0)))
        raise InputError(f"{where} does not increase: {known[first + 1]:g} follows "
                         f"{known[first]:g}")
    median = float(np.median(steps))
    spread = float(np.max(np.abs(steps - median))) / median
    if spread > TIME_STEP_TOLERANCE:
        worst = int(np.argmax(np.abs(steps - median)))
        raise InputError(f"{where} is not evenly spaced: a step of {steps[worst]:g} against a "
                         f"median of {median:g} (after the {worst + 1}th time); resample the "
                         "series, or give --dt to treat it as evenly spaced")
    interval, unit = float((known[-1] - known[0]) / (known.size - 1)), None
    if dates:
        interval, unit = ((interval / 86400.0, "day") if interval >= 86400.0
                          else (interval, "s"))
    note = None
    if spread > 0.01:
        note = (f"the steps of the time column {quoted(name)} vary by up to {spread:.0%} around "
                "their mean, which is taken as the sampling interval")
    return interval, unit, note


def _read_table(stream: BinaryIO, file_size: Optional[int], shown: str, column: Optional[str],
                time_column: Optional[str] = None) -> "_Table":
    return _read_tables(stream, file_size, shown, column, time_column)[0]


def _read_tables(stream: BinaryIO, file_size: Optional[int], shown: str, column: Optional[str],
                 time_column: Optional[str] = None, every: bool = False) -> List["_Table"]:
    text = io.TextIOWrapper(stream, encoding="utf-8-sig", newline=None)
    try:
        return _table_columns(_Lines(text, shown), file_size, shown, column, time_column, every)
    finally:
        text.detach()                    # the caller closes the stream (or not: stdin)


@dataclass
class _Table:
    """What was read from a table: the series, its column's name, the table's
    width, and the time column when one was asked for."""
    values: FloatArray
    name: str
    width: int
    time: Optional[_TimeColumn] = None


def _table_columns(lines: _Lines, file_size: Optional[int], shown: str,
                   column: Optional[str], time_column: Optional[str] = None,
                   every: bool = False) -> List[_Table]:
    """Reads the table once, keeping the numbers of the wanted column only, or,
    without `column`, of every column that has held only numbers so far (the
    time column aside). The result is that one column, or with `every` each
    numeric column in column order."""
    rows = _rows(lines)
    first = next(rows, None)
    if first is None:
        raise InputError(f"{shown} holds no data")
    header: Optional[List[str]] = None
    if any(_number(cell) is None for cell in first):
        header = [cell.strip() for cell in first]

    def name(index: int) -> str:
        if header is not None and index < len(header) and header[index]:
            return header[index]
        return f"column {index}"

    budget = _MemoryBudget(shown, file_size)
    if header is None:
        rows = _chain([first], rows)
    time: Optional[_TimeColumn] = None
    if time_column is not None:
        time_index = _column_index(time_column, header, len(first), shown, name)
        if time_index >= len(first):
            raise InputError(f"{shown} has no column {time_index}: it has {len(first)} "
                             f"column{'s' if len(first) != 1 else ''} (0 to {len(first) - 1})")
        time = _TimeColumn(time_index, name(time_index))
    if column is not None:
        index = _column_index(column, header, len(first), shown, name)
        if time is not None and index == time.index:
            raise InputError(f"--column and --time-column name the same column of {shown}")
        values, width = _one_column(rows, index, lines, budget, lambda: name(index), time)
        width = max(width, len(first))
        if index >= width:
            raise InputError(f"{shown} has no column {index}: it has {width} "
                             f"column{'s' if width != 1 else ''} (0 to {width - 1})")
        return [_Table(np.frombuffer(values, dtype=np.float64), printable(name(index)), width,
                       time)]
    start = 0 if header is None else len(header)
    if every:
        return [_Table(values_, printable(name(i)), len(first), time)
                for i, values_ in _numeric_columns(rows, start, lines, budget, name, time)]
    values_, label = _only_numeric_column(rows, start, lines, budget, name, time)
    return [_Table(values_, label, len(first), time)]


def _column_index(column: str, header: Optional[List[str]], width: int, shown: str,
                  name: Callable[[int], str]) -> int:
    """The index that --column names: a header cell, else a 0-based index, a
    negative one counting from the end of the first line."""
    if header is not None and column in header:
        return header.index(column)
    try:
        index = int(column)
    except ValueError:
        names = _listed((printable(name(i)) for i in range(width)), width)
        raise InputError(f"{shown} has no column named {quoted(column)} (columns: {names})") from None
    if index < 0:
        if index < -width:
            raise InputError(f"{shown} has no column {index}: it has {width} "
                             f"column{'s' if width != 1 else ''} (0 to {width - 1})")
        index += width
    return index


def _one_column(rows: Iterator[List[str]], index: int, lines: _Lines, budget: _MemoryBudget,
                name: Callable[[], str], time: Optional[_TimeColumn] = None
                ) -> Tuple["array[float]", int]:
    """The numbers of column `index` (NaN where a row is too short) and the
    width of the widest row; the cells of the time column go to `time`."""
    values = array("d")
    width = 0
    nan = math.nan
    for fields in rows:
        width = max(width, len(fields))
        if time is not None:
            time.add(fields, lines)
        cell = fields[index] if index < len(fields) else ""
        try:
            values.append(float(cell))
        except ValueError:
            if cell.strip().lower() not in MISSING_CELLS:
                raise InputError(f"column {quoted(name())} of {lines.shown} is not numeric: "
                                 f"line {lines.number} holds {quoted(cell.strip())}") from None
            values.append(nan)
        if not len(values) % CHECK_EVERY_VALUES:
            budget.check(len(values) * (1 + (time is not None)), lines.characters)
    budget.check(len(values) * (1 + (time is not None)))
    return values, width


def _numeric_columns(rows: Iterator[List[str]], width: int, lines: _Lines,
                     budget: _MemoryBudget, name: Callable[[int], str],
                     time: Optional[_TimeColumn] = None) -> List[Tuple[int, FloatArray]]:
    """(index, values) of every column that holds numbers only (missing values
    aside, not all missing), the time column aside, in column order. Every
    column is a candidate until a cell in it is not a number; a column that
    appears in a later, longer row was missing (NaN) before. Without any,
    InputError names the first cell that ruled a column out."""
    nan = math.nan
    candidates: Dict[int, "array[float]"] = {i: array("d") for i in range(width)
                                              if time is None or i != time.index}
    count = 0
    next_check = CHECK_EVERY_VALUES
    first_text: Optional[Tuple[int, int, str]] = None
    for fields in rows:
        if time is not None:
            time.add(fields, lines)
        if len(fields) > width:
            for i in range(width, len(fields)):
                if time is None or i != time.index:
                    candidates[i] = array("d", [nan]) * count
            width = len(fields)
        dropped = []
        for i, values in candidates.items():
            cell = fields[i] if i < len(fields) else ""
            try:
                values.append(float(cell))
            except ValueError:
                if cell.strip().lower() in MISSING_CELLS:
                    values.append(nan)
                else:
                    dropped.append(i)
        for i in dropped:
            del candidates[i]
            if first_text is None:
                first_text = (i, lines.number, fields[i].strip())
        count += 1
        if count * len(candidates) >= next_check:
            budget.check(count * len(candidates), lines.characters)
            next_check = count * len(candidates) + CHECK_EVERY_VALUES
    budget.check(count * len(candidates))
    numeric = [(i, np.frombuffer(candidates[i], dtype=np.float64)) for i in sorted(candidates)]
    numeric = [(i, values) for i, values in numeric if not np.isnan(values).all()]
    if not numeric:
        reason = ""
        if first_text is not None:
            i, line, cell = first_text
            reason = f": column {quoted(name(i))} holds {quoted(cell)} on line {line}"
        raise InputError(f"{lines.shown} has no numeric column{reason}")
    return numeric


def _only_numeric_column(rows: Iterator[List[str]], width: int, lines: _Lines,
                         budget: _MemoryBudget, name: Callable[[int], str],
                         time: Optional[_TimeColumn] = None) -> Tuple[FloatArray, str]:
    """The one numeric column of the table (see `_numeric_columns`); several
    are refused, so that the wrong one is never analysed silently."""
    numeric = _numeric_columns(rows, width, lines, budget, name, time)
    if len(numeric) > 1:
        listed = _listed((quoted(name(i)) for i, _ in numeric), len(numeric))
        raise InputError(f"{lines.shown} has {len(numeric)} numeric columns ({listed}): "
                         "choose one with --column NAME or --column INDEX; the report analyses "
                         "one column as one series, in row order"
                         + ("" if time is not None else
                            " (--time-column NAME takes the sampling interval from a column of "
                            "times)"))
    index, values = numeric[0]
    return values, printable(name(index))


def _chain(first: List[_Item], rest: Iterator[_Item]) -> Iterator[_Item]:
    """The items of `first`, then those of `rest`."""
    yield from first
    yield from rest


# --- NumPy .npy files ---------------------------------------------------------------


def _read_exactly(stream: BinaryIO, count: int) -> bytes:
    """`count` bytes, fewer only at the end of the file."""
    parts = []
    while count > 0:
        part = stream.read(min(count, NPY_CHUNK_BYTES))
        if not part:
            break
        parts.append(part)
        count -= len(part)
    return b"".join(parts)


def _skip(stream: BinaryIO, count: int) -> bool:
    """Moves `count` bytes on; False when the file ends first."""
    if count <= 0:
        return True
    if stream.seekable():
        position = stream.tell()
        end = stream.seek(0, os.SEEK_END)
        stream.seek(min(position + count, end))
        return position + count <= end
    while count > 0:
        part = stream.read(min(count, NPY_CHUNK_BYTES))
        if not part:
            return False
        count -= len(part)
    return True


def _npy_header(stream: BinaryIO, shown: str) -> Tuple[np.dtype, bool, Tuple[int, ...]]:
    """(dtype, Fortran order, shape) from the header of a .npy file, parsed as
    literals only and checked for shape and type before anything is allocated."""

    def refuse(reason: str) -> InputError:
        return InputError(f"cannot read {shown} as a NumPy .npy file: {reason}")

    start = _read_exactly(stream, 8)
    if len(start) < 8 or start[:6] != b"\x93NUMPY":
        raise refuse("it does not start with the .npy magic string")
    major = start[6]
    if major not in (1, 2, 3):
        raise refuse(f"unknown format version {major}.{start[7]}")
    length_bytes = _read_exactly(stream, 2 if major == 1 else 4)
    length = int.from_bytes(length_bytes, "little")
    if len(length_bytes) < (2 if major == 1 else 4) or length > NPY_MAX_HEADER:
        raise refuse("its header is cut short or longer than 64 KiB")
    raw = _read_exactly(stream, length)
    if len(raw) < length:
        raise refuse("its header is cut short")
    try:
        header = ast.literal_eval(raw.decode("utf-8" if major == 3 else "latin-1"))
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError, UnicodeDecodeError):
        raise refuse("its header cannot be parsed") from None
    if (not isinstance(header, dict) or set(header) != {"descr", "fortran_order", "shape"}
            or not isinstance(header["fortran_order"], bool)
            or not isinstance(header["shape"], tuple)
            or not all(isinstance(n, int) and not isinstance(n, bool) and n >= 0
                       for n in header["shape"])):
        raise refuse("its header does not describe an array")
    try:
        dtype = np.lib.format.descr_to_dtype(header["descr"])
    except (ValueError, TypeError, KeyError, IndexError):
        raise refuse("its header names no known dtype") from None
    return dtype, header["fortran_order"], header["shape"]


def _npy_numbers_header(stream: BinaryIO, file_size: Optional[int],
                        shown: str) -> Tuple[np.dtype, bool, Tuple[int, ...]]:
    """The header of a .npy file that holds numbers and no more of them than
    the file has room for."""
    dtype, fortran_order, shape = _npy_header(stream, shown)
    if dtype.hasobject or dtype.kind not in "biuf":
        raise InputError(f"{shown} holds no numeric data (dtype {printable(str(dtype))})")
    declared = math.prod(shape) * dtype.itemsize
    if file_size is not None and declared > file_size - stream.tell():
        raise InputError(f"cannot read {shown}: its header declares an array of shape "
                         f"{printable(str(shape))} ({_size(declared)}) but the file holds "
                         f"{_size(max(file_size - stream.tell(), 0))} of data")
    return dtype, fortran_order, shape


def _shape_refused(shown: str, shape: Tuple[int, ...]) -> InputError:
    return InputError(f"{shown} holds an array of shape {printable(str(shape))}: "
                      "expected one series, or a table of series in columns")


def _read_npy_columns(stream: BinaryIO, file_size: Optional[int],
                      shown: str) -> List[Tuple[FloatArray, Optional[str]]]:
    """(values, name) of every column of a .npy table, or of its one series.
    The data are read front to back in one pass (a FIFO can be read only
    once), converted chunk by chunk, and then split into columns: at most two
    copies of the numbers, which the memory check allows for."""
    dtype, fortran_order, shape = _npy_numbers_header(stream, file_size, shown)
    if len(shape) not in (1, 2):
        raise _shape_refused(shown, shape)
    rows, width = (shape[0], 1) if len(shape) == 1 else shape
    if width == 0:
        raise InputError(f"{shown} holds a table of {rows} rows and no columns")
    count = rows * width
    _MemoryBudget(shown, file_size).require(count)
    flat = np.empty(count, dtype=np.float64)
    per_chunk = max(1, NPY_CHUNK_BYTES // dtype.itemsize)
    done = 0
    while done < count:
        chunk = min(per_chunk, count - done)
        data = _read_exactly(stream, chunk * dtype.itemsize)
        if len(data) < chunk * dtype.itemsize:
            raise InputError(f"cannot read {shown}: the file ends before its declared data")
        flat[done:done + chunk] = np.frombuffer(data, dtype=dtype)
        done += chunk
    if len(shape) == 1:
        return [(flat, None)]
    table = flat.reshape((rows, width), order="F" if fortran_order else "C")
    return [(np.ascontiguousarray(table[:, i]), f"column {i}") for i in range(width)]


def _read_npy(stream: BinaryIO, file_size: Optional[int], shown: str,
              column: Optional[str]) -> Tuple[FloatArray, Optional[str]]:
    dtype, fortran_order, shape = _npy_numbers_header(stream, file_size, shown)
    if len(shape) == 1:
        if column is not None:
            raise InputError(f"{shown} holds a one-dimensional array: --column applies to tables")
        rows, index, width = shape[0], 0, 1
    elif len(shape) == 2:
        rows, width = shape
        if column is None:
            if width != 1:
                raise InputError(f"{shown} holds {width} columns: choose one with --column INDEX")
            index = 0
        else:
            try:
                index = int(column)
            except ValueError:
                raise InputError(f"{shown} has no column names: give --column as an index") from None
            if not -width <= index < width:
                raise InputError(f"{shown} has no column {index}: it has {width} "
                                 f"column{'s' if width != 1 else ''} (0 to {width - 1})")
            index %= width
    else:
        raise _shape_refused(shown, shape)
    _MemoryBudget(shown, file_size).require(rows)
    # Where the column's values lie after the header: in a C-ordered table one
    # per row (a row's width apart), in a Fortran-ordered one side by side.
    size = dtype.itemsize
    if fortran_order or len(shape) == 1:
        offset, stride = index * rows * size, size
    else:
        offset, stride = index * size, width * size
    values = np.empty(rows, dtype=np.float64)
    if rows == 0:
        return values, None if len(shape) == 1 else f"column {index}"
    per_chunk = max(1, NPY_CHUNK_BYTES // stride)
    if not _skip(stream, offset):
        raise InputError(f"cannot read {shown}: the file ends before its declared data")
    done = 0
    while done < rows:
        chunk = min(per_chunk, rows - done)
        data = _read_exactly(stream, (chunk - 1) * stride + size)
        if len(data) < (chunk - 1) * stride + size:
            raise InputError(f"cannot read {shown}: the file ends before its declared data")
        values[done:done + chunk] = np.ndarray((chunk,), dtype=dtype, buffer=data, strides=(stride,))
        done += chunk
        if done < rows and not _skip(stream, stride - size):
            raise InputError(f"cannot read {shown}: the file ends before its declared data")
    return values, None if len(shape) == 1 else f"column {index}"


# --- One entry point ---------------------------------------------------------------


def load_series(path: "str | os.PathLike[str]", column: Optional[str] = None,
                time_column: Optional[str] = None) -> Series:
    """Reads one series from a .npy file or from a text table (.csv, .tsv, .txt,
    .dat); "-" reads a text table from standard input. Tables may have a
    header line; lines starting with '#' are skipped; empty cells and markers
    such as NA or NaN are missing values (NaN). `column` is a header name or a
    0-based index (negative counts from the end); without it the table must
    have exactly one numeric column (besides the time column).

    `time_column` (tables only) names a column of times, numbers or ISO 8601
    dates: the sampling interval is their mean step (see
    `sampling_interval_from`), in days or seconds for dates.

    Only regular files and FIFOs are read. Refused with InputError: a line
    longer than MAX_LINE_CHARACTERS, a .npy header that declares more data
    than the file holds, and numbers that would not fit NUMBER_COPIES times
    in the memory free now."""
    return _load(path, column, time_column, every=False)[0]


def load_columns(path: "str | os.PathLike[str]",
                 time_column: Optional[str] = None) -> List[Series]:
    """Every series of a file, in column order: each numeric column of a text
    table (a column with text in it, such as labels, is not a series and is
    left out; so is the time column), each column of a two-dimensional .npy
    array, or the one series of a one-dimensional one. The file is read once,
    with the bounds and messages of `load_series`; a column read here holds
    the values, name and sampling interval that `load_series` gives for it."""
    return _load(path, None, time_column, every=True)


def _load(path: "str | os.PathLike[str]", column: Optional[str], time_column: Optional[str],
          every: bool) -> List[Series]:
    text = os.fsdecode(path)
    if text == "-":
        shown = "standard input"
        tables = _read_tables(sys.stdin.buffer, None, shown, column, time_column, every)
        return [_series_from_table(table, shown, "-", every) for table in tables]
    shown = printable(text, MAX_SHOWN_PATH)
    suffix = os.path.splitext(text)[1].lower()
    try:
        if suffix not in TEXT_SUFFIXES and suffix != ".npy":
            if os.path.isdir(text):
                raise InputError(f"cannot read {shown}: it is a directory")
            if not os.path.lexists(text):
                raise InputError(f"cannot read {shown}: no such file")
            raise InputError(f"cannot read {shown}: unknown file type "
                             f"{quoted(suffix) if suffix else repr('(none)')} "
                             "(use .csv, .tsv, .txt, .dat or .npy)")
        if suffix == ".npy" and time_column is not None:
            raise InputError(f"{shown} is a .npy file: --time-column applies to text tables "
                             "(give --dt instead)")
        stream, size = _open(text, shown)
        with stream:
            if suffix == ".npy":
                found = (_read_npy_columns(stream, size, shown) if every
                         else [_read_npy(stream, size, shown, column)])
            else:
                tables = _read_tables(stream, size, shown, column, time_column, every)
                return [_series_from_table(table, shown, printable(text, None), every)
                        for table in tables]
    except OSError as error:
        raise InputError(f"cannot read {shown}: {error.strerror or error}") from None
    return [Series(values, shown if name is None else f"{shown}, {name}",
                   path=printable(text, None), column=name) for values, name in found]


#: A table at least this wide is read one column at a time, and the report
#: says which.
WIDE_TABLE = 3


def _series_from_table(table: _Table, shown: str, path: str, every: bool = False) -> Series:
    series = Series(table.values, f"{shown}, {table.name}", path=path, column=table.name)
    others = table.width - 1 - (table.time is not None)
    if table.width >= WIDE_TABLE and others > 0 and not every:
        series.notes.append(f"column {quoted(table.name)} of {shown} is analysed as one series "
                            f"({table.values.size} values in row order); the table's {others} "
                            f"other column{'s are' if others != 1 else ' is'} not used")
    if table.time is not None:
        times = np.frombuffer(table.time.values, dtype=np.float64)
        interval, unit, note = sampling_interval_from(times, table.time.dates, table.time.name,
                                                      shown)
        series.sampling_interval, series.time_unit = interval, unit
        series.time_column = printable(table.time.name)
        if note is not None:
            series.notes.append(note)
    return series
