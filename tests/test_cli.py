"""`python -m quorlin`, run as a user runs it: a fresh interpreter, reading files,
printing a report or a one-line error."""

import json
import math
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorlin

# The directory the tests imported quorlin from (the source tree's python/
# with a fresh build, an installed copy, or the sanitizer's staging copy), so
# that the command runs the same build as the rest of the suite.
PACKAGE_ROOT = str(Path(quorlin.__file__).resolve().parent.parent)


def run(*args, cwd=None, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "quorlin", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=env, cwd=cwd)


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
