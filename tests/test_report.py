"""The pieces behind the report: reading tables, the example series, the
illustration curves against the library's own choices, the embedding that
Rosenstein's estimator settles on, JSON and progress output."""

import io
import json
import math

import numpy as np
import pytest

import quorlin
from quorlin.examples import lorenz, lorenz_x
from quorlin.analysis import analyse, autocorrelation_curve, mutual_information_curve
from quorlin.cli import Progress
from quorlin.engine_rules import MIN_SAMPLES, rosenstein_embedding
from quorlin.output import format_report, json_ready
from quorlin.reading import InputError, load_series
from quorlin.settings import Settings

NAN = float("nan")


@pytest.mark.parametrize("name, text, column, values, label", [
    ("a.csv", "x,y\n1,2\n3,4\n", "y", [2, 4], "y"),
    ("a.csv", "\ufeffx\n1\n2\n", None, [1, 2], "x"),                      # byte-order mark
    ("a.csv", '"t","v"\n"0","1.5"\n"1","2.5"\n', "v", [1.5, 2.5], "v"),  # quoted cells
    ("a.csv", "x;y\n1;2\n3;4\n", "-1", [2, 4], "y"),                     # semicolons, index from the end
    ("a.tsv", "x\ty\n1\t2\n3\t\n", "y", [2, NAN], "y"),                  # tabs, empty cell
    ("a.txt", "# comment\n\n 1.0  2.0\n 3.0  4e1\n", "1", [2, 40], "column 1"),
    ("a.dat", "1\nNA\nnan\n-inf\n1e-3\n", None, [1, NAN, NAN, -math.inf, 1e-3], "column 0"),
    ("a.csv", "t,v\n0,1\n1\n", "v", [1, NAN], "v"),                       # short row: missing
    ("a.csv", "2,3\n4,5\n", "0", [2, 4], "column 0"),                     # numeric first line: data
    ("a.csv", "t,v\nx,0\ny,0\n", None, [0, 0], "v"),                       # zeros are numbers
])
def test_tables(tmp_path, name, text, column, values, label):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    series = load_series(path, column)
    np.testing.assert_array_equal(series.values, np.array(values, dtype=float))
    assert series.column == label and series.values.dtype == np.float64


@pytest.mark.parametrize("text, message", [
    ("", "holds no data"),
    ("# only a comment\n", "holds no data"),
    ("x,y\n1,2\n", "2 numeric columns ('x', 'y')"),
])
def test_tables_refused(tmp_path, text, message):
    path = tmp_path / "t.csv"
    path.write_text(text)
    with pytest.raises(InputError, match=message.replace("(", r"\(").replace(")", r"\)")):
        load_series(path)


def test_binary_text_file_is_refused(tmp_path):
    path = tmp_path / "t.csv"
    path.write_bytes(b"\xff\xfe\x00bad")
    with pytest.raises(InputError, match="not a UTF-8 text file"):
        load_series(path)


def test_npy_of_any_real_dtype(tmp_path):
    np.save(tmp_path / "i.npy", np.arange(5, dtype=np.int16))
    series = load_series(tmp_path / "i.npy")
    assert series.values.dtype == np.float64 and series.values.flags.c_contiguous
    np.testing.assert_array_equal(series.values, np.arange(5.0))


# --- The example series ------------------------------------------------------------


def test_lorenz_is_deterministic_and_starts_integrate_side_by_side():
    one = lorenz(50, start=(1.0, 1.0, 1.0), transient_steps=10)
    two = lorenz(50, start=[(1.0, 1.0, 1.0), (-2.0, 0.5, 20.0)], transient_steps=10)
    assert one.shape == (50, 3) and two.shape == (50, 2, 3)
    np.testing.assert_array_equal(two[:, 0], one)
    np.testing.assert_array_equal(lorenz(50, start=(-2.0, 0.5, 20.0), transient_steps=10), two[:, 1])
    x, dt = lorenz_x(300)
    assert dt == 0.02 and x.shape == (300,) and x.flags.c_contiguous
    assert -25 < x.min() < 0 < x.max() < 25             # both lobes of the attractor


# --- Illustration curves agree with the library's choices ------------------------


def series_table():
    t = np.arange(3000)
    x, _ = lorenz_x(2000)
    rng = np.random.default_rng(3)
    return [
        np.sin(2 * np.pi * t / 80) + 0.05 * rng.standard_normal(t.size),
        x,
        np.cumsum(rng.standard_normal(1500)),
    ]


@pytest.mark.parametrize("x", series_table())
def test_mutual_information_curve_has_its_first_minimum_at_the_chosen_delay(x):
    tau = quorlin.optimal_delay(x)
    curve = mutual_information_curve(x, x.size // 4)
    first = next((k + 1 for k in range(1, curve.size - 1)
                  if curve[k] < curve[k + 1] and curve[k] < curve[k - 1]), None)
    assert first == tau


@pytest.mark.parametrize("x", series_table())
def test_autocorrelation_curve_crosses_zero_at_the_chosen_delay(x):
    tau = quorlin.optimal_delay(x, method="autocorr")
    limit = x.size // 4
    curve = autocorrelation_curve(x, limit)
    first = next((lag for lag in range(1, limit) if curve[lag - 1] <= 0), limit)
    assert first == tau


def test_curves_of_a_constant_series_are_undefined():
    assert np.isnan(autocorrelation_curve(np.ones(100), 5)).all()
    assert np.isnan(mutual_information_curve(np.ones(100), 5)).all()


# --- Rosenstein's embedding in effect --------------------------------------------


def literal_rosenstein_embedding(n, m0, t0):
    if n < 50 or m0 == 0:
        return None
    need = max(50, n // 4)
    candidates = [(m0, t0)]
    candidates += [(d, t0) for d in range(m0 - 1, 1, -1)]
    candidates += [(m0, t) for t in range(t0 - 1, 0, -1)]
    candidates += [(d, t) for d in range(m0 - 1, 1, -1) for t in range(t0 - 1, 0, -1)]
    return next(((d, t) for d, t in candidates if max(n - (d - 1) * t, 0) >= need), None)


def test_rosenstein_embedding_matches_the_candidate_order():
    for n in (49, 50, 60, 100, 237, 1000):
        for m in range(0, 12):
            for t in (0, 1, 2, 3, 7, 20, 40, 333):
                assert rosenstein_embedding(n, m, t) == literal_rosenstein_embedding(n, m, t), (n, m, t)


@pytest.mark.parametrize("n, m, tau", [(60, 20, 20), (70, 30, 1), (400, 4, 9), (300, 3, 1)])
def test_rosenstein_slope_per_sample_is_lambda_times_delay_in_effect(n, m, tau):
    x, _ = lorenz_x(n)
    result = analyse(x, delay=tau, dimension=m)
    lam = quorlin.lyapunov_rosenstein(x, m, tau)[0]
    _, t_eff = rosenstein_embedding(n, m, tau)
    assert math.isfinite(lam) and result.rosenstein_per_sample == lam * t_eff
    # The line drawn over the fit window has the estimator's slope.
    assert result.rosenstein.slope == pytest.approx(lam * t_eff, rel=1e-9)


@pytest.mark.parametrize("n, m, tau", [(400, 4, 9), (300, 3, 1)])
def test_kantz_line_has_the_exponent_as_slope(n, m, tau):
    x, _ = lorenz_x(n)
    result = analyse(x, delay=tau, dimension=m)
    assert math.isfinite(result.kantz_exponent)
    assert result.kantz.slope == pytest.approx(result.kantz_exponent, rel=1e-9)


def test_kantz_steps_are_capped_on_long_series():
    KANTZ_MAX_STEPS = Settings().kantz_max_steps
    x, _ = lorenz_x(4 * KANTZ_MAX_STEPS + 200)
    result = analyse(x, delay=3, dimension=2)
    assert result.kantz_steps == KANTZ_MAX_STEPS
    lam, curve = quorlin.lyapunov_kantz(x, 2, 3, max_iter=KANTZ_MAX_STEPS)
    assert result.kantz_exponent == lam and result.kantz.curve.size == curve.size <= KANTZ_MAX_STEPS
    assert result.kantz.fit_count == curve.size // 10


# --- Analysis, JSON and progress ------------------------------------------------------


def test_non_finite_samples_and_the_sample_cap():
    x, _ = lorenz_x(400)
    dirty = x.copy()
    dirty[[5, 50, 390]] = [NAN, math.inf, NAN]
    result = analyse(dirty, max_samples=300)
    assert (result.samples, result.nan_samples, result.infinite_samples) == (400, 2, 1)
    np.testing.assert_array_equal(result.analysed, np.delete(x[:300], [5, 50]))
    assert result.notes[:2] == ["only the first 300 of 400 samples were analysed (--max-samples)",
                                "2 non-finite samples were removed before the analysis "
                                "(their neighbours are joined)"]
    assert "2 non-finite samples were removed" in format_report(result)
    with pytest.raises(InputError, match=f"needs at least {MIN_SAMPLES}"):
        analyse(np.full(200, NAN))


def test_json_values():
    ready = json_ready({"a": [NAN, math.inf, -math.inf, np.float64(1.5), np.int64(3)], "b": None})
    assert ready == {"a": [None, "Infinity", "-Infinity", 1.5, 3], "b": None}
    json.dumps(ready, allow_nan=False)


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, length, quiet, shows", [
    (io.StringIO(), 20000, False, "lines"),
    (io.StringIO(), 2000, False, ""),
    (Terminal(), 2000, False, "bar"),
    (Terminal(), 20000, True, ""),
])
def test_progress_output(stream, length, quiet, shows):
    progress = Progress.for_run(2, length, quiet, stream)
    for label in ("first", "second"):
        with progress.step(label):
            pass
    progress.close()
    text = stream.getvalue()
    if shows == "lines":
        lines = text.splitlines()
        assert lines[0] == f"quorlin: analysing {length} samples in 2 steps"
        assert lines[1].startswith("quorlin: [1/2] first: ") and lines[2].startswith("quorlin: [2/2] second")
    elif shows == "bar":
        assert "\r[" in text and "1/2 second" in text and "\n" not in text
        assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""   # erased at the end
    else:
        assert text == ""


@pytest.mark.parametrize("x, noted", [
    (np.random.default_rng(5).standard_normal(600), False),
    (np.where(np.arange(600) == 300, 1e6, np.random.default_rng(5).standard_normal(600)), True),
    (lorenz_x(600)[0], False),
])
def test_kantz_radius_covering_the_attractor_is_noted(x, noted):
    result = analyse(x, dimension=2)
    assert result.kantz_epsilon == pytest.approx(0.1 * np.std(x))
    assert any("exceeds the median distance between embedded points" in n
               for n in result.notes) == noted
