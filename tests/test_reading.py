"""Reading series from files: .npy layouts read piece by piece, the memory
check, and text from files made safe to show."""

import io
from unittest import mock

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorlin import reading
from quorlin.reading import InputError, load_series, printable


@pytest.mark.parametrize("shape, dtype, fortran, column", [
    ((37,), "<f8", False, None),
    ((37,), ">i2", False, None),
    ((37, 1), "<f4", False, None),
    ((37, 5), "<f8", False, "3"),
    ((37, 5), ">f8", True, "-1"),
    ((37, 5), "|b1", False, "0"),
    ((37, 5), "<u8", True, "2"),
    ((3, 40), "<i4", False, "39"),        # rows wider than a chunk: read value by value
    ((0, 4), "<f8", False, "1"),
])
def test_npy_column_matches_numpy(tmp_path, monkeypatch, shape, dtype, fortran, column):
    # Chunks of 64 bytes: every layout crosses chunk boundaries.
    monkeypatch.setattr(reading, "NPY_CHUNK_BYTES", 64)
    data = np.random.default_rng(4).integers(0, 100, size=shape).astype(dtype)
    data = np.asfortranarray(data) if fortran else np.ascontiguousarray(data)
    path = tmp_path / "a.npy"
    np.save(path, data)
    expected = data if column is None else data[:, int(column)]
    values = load_series(path, column).values
    assert values.dtype == np.float64
    np.testing.assert_array_equal(values, expected.reshape(-1).astype(np.float64))


def test_npy_cut_short_is_refused_before_allocating(tmp_path):
    path = tmp_path / "a.npy"
    np.save(path, np.arange(1000.0))
    path.write_bytes(path.read_bytes()[:-8])
    with pytest.raises(InputError, match=r"declares an array of shape \(1000,\) \(8 kB\) "
                                         r"but the file holds 7.99 kB of data"):
        load_series(path)


@pytest.mark.parametrize("name, content", [
    ("t.csv", "x\n" + "1.5\n" * 100),
    ("t.npy", None),
])
def test_numbers_must_fit_in_free_memory(tmp_path, monkeypatch, name, content):
    path = tmp_path / name
    if content is None:
        np.save(path, np.ones(100))
    else:
        path.write_text(content)
    monkeypatch.setattr(reading, "memory_available", lambda: 1000)
    with pytest.raises(InputError, match="its 100 numbers need 1.6 kB of memory, more than the "
                                         "1 kB free now"):
        load_series(path)
    monkeypatch.setattr(reading, "memory_available", lambda: 1600)
    assert load_series(path).values.size == 100


def test_memory_available_is_a_plausible_size():
    available = reading.memory_available()
    assert available is None or 0 <= available < 1 << 60


def outcome(text, column):
    """What reading `text` as a table gives: the values and name, or the error."""
    try:
        table = reading._read_table(io.BytesIO(text.encode()), None, "t", column)
    except InputError as error:
        return str(error)
    return [repr(v) for v in table.values], table.name


@given(st.lists(st.sampled_from(["1.5", " -2 ", "", "# note", "NA", "a", "7,8", "123456789012"]),
                max_size=25),
       st.sampled_from([None, "0", "1"]), st.integers(1, 13))
def test_reading_does_not_depend_on_the_block_size(lines, column, block):
    text = "\n".join(lines)
    with mock.patch.object(reading, "MAX_LINE_CHARACTERS", 10):
        whole = outcome(text, column)
        with mock.patch.object(reading, "READ_CHARACTERS", block):
            assert outcome(text, column) == whole
    if isinstance(whole, str) and "longer than" in whole:
        assert f"line {lines.index('123456789012') + 1} is longer than" in whole


@given(st.text(), st.integers(1, 80))
def test_printable_is_printable_and_bounded(text, limit):
    shown = printable(text, limit)
    assert shown.isprintable() and len(shown) <= limit + 3
    if len(text) <= limit and text.isprintable():
        assert shown == text


@pytest.mark.parametrize("text, shown", [
    ("\x1b[2Jname", "\\x1b[2Jname"),
    ("caf\udce9", "caf\\xe9"),                 # an undecodable byte of a file name
    ("a\u202eb", "a\\u202eb"),                # a bidirectional override
    ("x" * 70, "x" * 60 + "..."),
])
def test_printable_examples(text, shown):
    assert printable(text) == shown
