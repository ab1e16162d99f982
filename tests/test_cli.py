"""`python -m quorlin`, run as a user runs it: a fresh interpreter, reading files,
printing a report or a one-line error."""

import contextlib
import errno
import io
import json
import math
import os
import shutil
import stat
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import quorlin
import quorlin.analysis
from quorlin.cli import main

# The directory the tests imported quorlin from (the source tree's python/
# with a fresh build, an installed copy, or the sanitizer's staging copy), so
# that the command runs the same build as the rest of the suite.
PACKAGE_ROOT = str(Path(quorlin.__file__).resolve().parent.parent)


def run(*args, cwd=None, timeout=120, input=None, **env_overrides):
    env = dict(os.environ, **env_overrides)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "quorlin", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=env, cwd=cwd, input=input)


def cli(*args):
    """`python -m quorlin ARGS` run in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err):           # where argparse writes
        try:
            status = main([str(a) for a in args], stdout=out, stderr=err)
        except SystemExit as exit:
            status = exit.code
    return status, out.getvalue(), err.getvalue()


def json_number(value):
    """A float as the report writes it in JSON."""
    return None if math.isnan(value) else value


def ar_series(n, seed=1, phi=0.8):
    """A noisy AR(1) process: a stand-in for a measured signal."""
    noise = np.random.default_rng(seed).standard_normal(n)
    x = np.empty(n)
    x[0] = noise[0]
    for i in range(1, n):
        x[i] = phi * x[i - 1] + noise[i]
    return x


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("series")
    x = ar_series(400)
    (d / "table.csv").write_text("time,value,label\n" + "".join(
        f"{i * 0.5},{float(v)!r},{'ab'[i % 2]}\n" for i, v in enumerate(x)))
    (d / "column.txt").write_text("# one value per line\n" + "".join(f"{float(v)!r}\n" for v in x))
    np.save(d / "series.npy", x)
    np.save(d / "matrix.npy", np.column_stack([x, 2 * x]))
    (d / "words.csv").write_text("name,colour\n" + "a,red\n" * 100)
    (d / "short.csv").write_text("value\n" + "1.5\n" * 20)
    (d / "gaps.csv").write_text("value\n" + "".join(f"{'NA' if i % 10 == 3 else repr(float(v))}\n"
                                                    for i, v in enumerate(x)))
    (d / "mixed.csv").write_text("value\n" + "".join(f"{float(v)!r}\n" for v in x[:200]) + "n.a.\n")
    (d / "strings.npy").write_bytes(b"")
    np.save(d / "strings.npy", np.array(["a", "b"]))
    (d / "data.xlsx").write_bytes(b"PK")
    return d, x


def test_built_in_example_report():
    done = run("--max-samples", 1000)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith("quorlin report: built-in example: x of the Lorenz system")
    for heading in ("Series", "Embedding", "Complexity", "Largest Lyapunov exponent",
                    "Finite-time Lyapunov exponents", "Notes"):
        assert f"\n{heading}" in out
    for label in ("delay, mutual information", "dimension, Cao", "Hurst exponent, DFA",
                  "permutation entropy", "Rosenstein", "Kantz", "local linearization"):
        assert label in out
    assert "only the first 1000 of 5000 samples were analysed" in out
    assert done.stderr == ""


def test_json_matches_the_library(files):
    d, x = files
    done = run(d / "table.csv", "--column", "value", "--json", "--dt", "0.5")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    tau = quorlin.optimal_delay(x)
    m = quorlin.optimal_dimension(x, delay=tau)
    assert report["source"]["column"] == "value"
    assert (report["samples"], report["nan_samples"], report["analysed_samples"]) == (400, 0, 400)
    assert report["delay"] == {"mutual_information": tau, "used": tau, "given": False,
                               "autocorrelation": quorlin.optimal_delay(x, method="autocorr")}
    assert report["dimension"]["used"] == m
    assert report["hurst"]["dfa"] == json_number(quorlin.hurst_exponent(x, "dfa"))
    assert report["sample_entropy"]["value"] == json_number(quorlin.sample_entropy(x))
    assert report["permutation_entropy"]["value"] == json_number(quorlin.permutation_entropy(x, 3, tau))
    rosenstein = report["lyapunov"]["rosenstein"]
    assert rosenstein["lambda_max"] == json_number(quorlin.lyapunov_rosenstein(x, m, tau)[0])
    assert rosenstein["per_time_unit"] == pytest.approx(rosenstein["per_sample"] / 0.5)
    kantz = report["lyapunov"]["kantz"]
    assert kantz["max_iter"] == (400 - (m - 1) * tau) // 4        # Kantz's own default here
    assert kantz["per_sample"] == json_number(quorlin.lyapunov_kantz(x, m, tau)[0])
    values, norms = quorlin.ftle_direct_perturbation(x, m, tau)
    assert report["ftle"]["direct_perturbation"]["median"] == pytest.approx(
        float(np.median(values[norms > 0])))


@pytest.mark.parametrize("name, args, column", [
    ("column.txt", [], "column 0"),
    ("series.npy", [], None),
    ("matrix.npy", ["--column", "-2"], "column 0"),
    ("table.csv", ["--column", "1"], "value"),
])
def test_reads_each_kind_of_file(files, name, args, column):
    d, x = files
    done = run(d / name, *args, "--json", "--delay", 2, "--dimension", 3)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["source"]["column"] == column
    assert report["analysed_samples"] == 400
    assert report["delay"]["used"] == 2 and report["dimension"]["used"] == 3
    assert report["hurst"]["rescaled_range"] == quorlin.hurst_exponent(x)


def test_missing_values_are_counted_and_removed(files):
    d, x = files
    done = run(d / "gaps.csv", "--json")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    kept = np.array([v for i, v in enumerate(x) if i % 10 != 3])
    assert (report["samples"], report["nan_samples"], report["analysed_samples"]) == (400, 40, 360)
    assert report["sample_entropy"]["value"] == quorlin.sample_entropy(kept)
    assert "40 non-finite samples were removed" in report["notes"][0]


@pytest.mark.parametrize("args, message", [
    (["missing.csv"], "cannot read missing.csv: no such file"),
    (["words.csv"], "words.csv has no numeric column"),
    (["table.csv"], "table.csv has 2 numeric columns ('time', 'value'): choose one with --column"),
    (["table.csv", "--column", "speed"], "table.csv has no column named 'speed' (columns: time, "
                                         "value, label)"),
    (["table.csv", "--column", "7"], "table.csv has no column 7: it has 3 columns (0 to 2)"),
    (["table.csv", "--column", "label"], "column 'label' of table.csv is not numeric: line 2 holds 'a'"),
    (["mixed.csv"], "mixed.csv has no numeric column"),
    (["mixed.csv", "--column", "value"], "column 'value' of mixed.csv is not numeric: "
                                         "line 202 holds 'n.a.'"),
    (["short.csv"], "too few samples in short.csv, value: 20 usable (finite) samples, "
                    "the report needs at least 50"),
    (["series.npy", "--column", "0"], "series.npy holds a one-dimensional array"),
    (["matrix.npy"], "matrix.npy holds 2 columns: choose one with --column INDEX"),
    (["strings.npy"], "strings.npy holds no numeric data"),
    (["data.xlsx"], "unknown file type '.xlsx'"),
    (["--column", "1"], "--column applies to a file"),
])
def test_bad_input_is_one_line_and_status_2(files, args, message):
    d, _ = files
    done = run(*args, cwd=d)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("quorlin: error: ")
    assert message in done.stderr


@pytest.mark.parametrize("args", [["--max-samples", "-1"], ["--delay", "0"], ["--dt", "nan"],
                                  ["--no-such-option"], ["a.csv", "b.csv"]])
def test_usage_errors_exit_2_without_traceback(args):
    done = run(*args)
    assert done.returncode == 2
    assert "Traceback" not in done.stderr and "error:" in done.stderr


def png_size(path):
    """(width, height) from the IHDR chunk of a PNG file."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert (length, kind) == (13, b"IHDR")
    return struct.unpack(">II", data[16:24])


def test_plot_writes_a_png(files, tmp_path):
    pytest.importorskip("matplotlib")
    from quorlin.plotting import DPI, FIGURE_SIZE

    d, _ = files
    out = tmp_path / "report.png"
    done = run(d / "series.npy", "--plot", out)
    assert done.returncode == 0, done.stderr
    assert png_size(out) == (round(FIGURE_SIZE[0] * DPI), round(FIGURE_SIZE[1] * DPI))


def test_plot_target_is_checked_before_the_analysis(tmp_path):
    pytest.importorskip("matplotlib")
    done = run("--plot", tmp_path / "no" / "such" / "dir.png")
    assert done.returncode == 2 and "cannot write" in done.stderr
    done = run("--plot", tmp_path / "report.xyz")
    assert done.returncode == 2 and "unknown image type '.xyz'" in done.stderr


def test_degenerate_series_gives_a_report_not_a_crash(tmp_path):
    path = tmp_path / "flat.txt"
    path.write_text("3.0\n" * 120)
    done = run(path, "--json")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["hurst"]["rescaled_range"] is None            # NaN becomes null
    assert report["lyapunov"]["kantz"]["per_sample"] is None
    assert report["ftle"]["direct_perturbation"]["estimates"] == 0


# --- Hostile files and options: one bounded line, status 2, nothing written ------


def npy_declaring(path, shape):
    """A .npy file whose header declares `shape` but that holds 800 bytes."""
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f8", "fortran_order": False,
                                                  "shape": shape})
    path.write_bytes(header.getvalue() + bytes(800))


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    d = tmp_path_factory.mktemp("hostile")
    npy_declaring(d / "huge.npy", (2**40,))
    (d / "long_cell.csv").write_text("x,y\n" + "1" * 200_000 + ",2\n")
    os.symlink("/dev/zero", d / "zero.csv")
    (d / "one_line.csv").write_text(",".join(map(str, range(2_000_000))) + "\n")     # 14 MB
    (d / "wide.csv").write_text(",".join(f"c{i}" for i in range(3000)) + "\n"
                                + ",".join(["1.5"] * 3000) + "\n")
    (d / "long_name.csv").write_text("x" * 100_000 + ",y\n1,2\n")
    return d


no_tex = pytest.mark.skipif(shutil.which("xelatex") is not None, reason="xelatex is installed")


@pytest.mark.parametrize("args, message", [
    (["huge.npy"], "its header declares an array of shape (1099511627776,) (8.8 TB) but the "
                   "file holds 800 bytes of data"),
    (["long_cell.csv"], "line 2: a cell longer than 131072 characters"),
    (["zero.csv"], "zero.csv: it is a character device, not a regular file"),
    (["one_line.csv"], "line 1 is longer than 1048576 characters"),
    (["wide.csv"], "has 3000 numeric columns ('c0', 'c1', 'c2', 'c3', 'c4', 'c5', 'c6', 'c7' "
                   "and 2992 more)"),
    (["long_name.csv", "-c", "z"], f"has no column named 'z' (columns: {'x' * 60}..., y)"),
    (["--delay", 2**64], "argument --delay: must be an integer from 1 to 18446744073709551615"),
    (["--dimension", "9" * 5000], "argument --dimension: must be an integer from 1 to"),
    (["--max-samples", -1], "argument --max-samples: must be an integer from 0 to"),
    (["--plot", "out.xyz"], "unknown image type '.xyz' (use .png, or one of"),
    pytest.param(["--plot", "out.pgf"], "matplotlib cannot write .pgf files here", marks=no_tex),
])
def test_hostile_input_is_one_short_line_and_status_2(hostile, monkeypatch, args, message):
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    monkeypatch.chdir(hostile)
    status, out, err = cli(*args)
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("quorlin: error: ") and len(err) < 400
    assert message in err
    assert sorted(os.listdir(hostile)) == ["huge.npy", "long_cell.csv", "long_name.csv",
                                           "one_line.csv", "wide.csv", "zero.csv"]


def test_huge_embedding_options_give_a_report(files):
    d, _ = files
    done = run(d / "column.txt", "--json", "--delay", 2**64 - 1, "--dimension", 2**64 - 1,
               timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["dimension"]["used"] == 2**64 - 1


def write_series(path, header, n=120):
    x = ar_series(n)
    with open(path, "w", encoding="utf-8") as f:
        f.write(header + "\n" + "".join(f"{float(v)!r}\n" for v in x))


@pytest.mark.parametrize("name, header, encoding, shown", [
    (b"caf\xe9.csv", "x", "utf-8:strict", "caf\\xe9.csv, x"),                # not a UTF-8 name
    (b"a.csv", "\x1b[2J\x1b[Hx\u202e", "utf-8:strict", "a.csv, \\x1b[2J\\x1b[Hx\\u202e"),
    (b"a.csv", "temp\u00e9rature", "ascii:strict", "a.csv, temp\\xe9rature"),
])
def test_text_from_files_reaches_the_terminal_escaped(tmp_path, name, header, encoding, shown):
    path = os.path.join(os.fsencode(tmp_path), name)
    write_series(path, header)
    done = run(os.fsdecode(path), cwd=tmp_path, PYTHONIOENCODING=encoding)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0].endswith(shown)
    assert done.stdout.isascii() and "\x1b" not in done.stdout


@pytest.mark.parametrize("source", ["fifo", "stdin"])
def test_reads_a_fifo_and_standard_input(tmp_path, source):
    write_series(tmp_path / "s.csv", "v")
    text = (tmp_path / "s.csv").read_text()
    if source == "stdin":
        done = run("-", "--json", input=text)
    else:
        os.mkfifo(tmp_path / "f.csv")
        writer = threading.Thread(target=(tmp_path / "f.csv").write_text, args=(text,))
        writer.start()
        done = run(tmp_path / "f.csv", "--json")
        writer.join()
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["analysed_samples"] == 120


def test_a_closed_stdout_ends_quietly(files):
    d, _ = files
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    child = subprocess.Popen([sys.executable, "-m", "quorlin", str(d / "series.npy")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    child.stdout.close()                       # the reader is gone before the report is written
    _, err = child.communicate(timeout=120)
    assert child.returncode == 141 and err == b""


def test_out_of_memory_in_the_analysis_is_one_line(files, monkeypatch):
    def exhausted(*args, **kwargs):
        raise MemoryError

    d, _ = files
    monkeypatch.setattr(quorlin.analysis, "threaded_module", lambda: None)
    monkeypatch.setattr(quorlin.analysis.q, "lyapunov_kantz", exhausted)
    status, out, err = cli(d / "series.npy")
    assert (status, out) == (2, "")
    assert err == "quorlin: error: not enough memory to analyse 400 samples: try a smaller " \
                  "--max-samples\n"


# --- The picture ----------------------------------------------------------------


def test_plot_draws_column_names_as_plain_text(tmp_path):
    pytest.importorskip("matplotlib")
    from quorlin.plotting import DPI, FIGURE_SIZE

    write_series(tmp_path / "math.csv", "x$\\frac{$")
    status, out, err = cli(tmp_path / "math.csv", "--plot", tmp_path / "p.png")
    assert status == 0 and err == "", err
    assert "x$\\frac{$" in out.splitlines()[0]
    umask = os.umask(0)
    os.umask(umask)
    assert png_size(tmp_path / "p.png") == (FIGURE_SIZE[0] * DPI, FIGURE_SIZE[1] * DPI)
    assert stat.S_IMODE(os.stat(tmp_path / "p.png").st_mode) == 0o666 & ~umask


class BrokenFigure:
    """Writes part of a picture, then fails as a full disk or an interrupt would."""

    def __init__(self, failure):
        self.failure = failure

    def savefig(self, stream, format):
        stream.write(b"\x89PNG partial")
        raise self.failure


@pytest.mark.parametrize("failure, status, message", [
    (OSError(errno.ENOSPC, "No space left on device"), 2,
     "quorlin: error: cannot write {}: No space left on device\n"),
    (KeyboardInterrupt(), 130, "quorlin: interrupted during figure, after "),
])
def test_a_failed_picture_keeps_the_old_file_and_the_report(files, tmp_path, monkeypatch,
                                                           failure, status, message):
    plotting = pytest.importorskip("quorlin.plotting")
    d, _ = files
    target = tmp_path / "report.png"
    target.write_bytes(b"the old picture")
    monkeypatch.setattr(plotting, "_figure", lambda analysis: BrokenFigure(failure))
    result = cli(d / "series.npy", "--plot", target)
    assert result[0] == status and result[2].startswith(message.format(target))
    assert result[2].count("\n") == 1
    assert result[1].startswith("quorlin report: ")               # the numbers were printed first
    assert target.read_bytes() == b"the old picture"
    assert os.listdir(tmp_path) == ["report.png"]
