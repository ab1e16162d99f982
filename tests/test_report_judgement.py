"""What the report concludes on generated series whose nature is known: the
surrogate test, the warnings on untrustworthy fits, the curves drawn beside
the engine's answers, the figure, and the run's settings and estimates."""

import json
import math

import numpy as np
import pytest

import quorlin
from quorlin import _native, costs
from quorlin.analysis import analyse, anchor_subset, example_series
from quorlin.cli import main
from quorlin.curves import dfa_points, dimension_curves, loglog_slope, rescaled_range_points
from quorlin.engine_rules import kantz_radius, sample_entropy_tolerance
from quorlin.examples import lorenz_x
from quorlin.output import format_json
from quorlin.settings import STEPS
from quorlin.surrogates import holm, iaaft, one_sided_p, phase_randomised, surrogate_generators


def ar2(n, seed=1):
    """A linear, Gaussian AR(2) process with a damped oscillation."""
    e = np.random.default_rng(seed).standard_normal(n + 200)
    x = np.zeros(n + 200)
    for i in range(2, n + 200):
        x[i] = 1.5 * x[i - 1] - 0.75 * x[i - 2] + e[i]
    return x[200:]


N = 1000
SERIES = {
    "noise": lambda: np.random.default_rng(3).standard_normal(N),
    "ar2": lambda: ar2(N),
    "lorenz": lambda: lorenz_x(N)[0],
    "trending": lambda: np.random.default_rng(4).standard_normal(N) + np.linspace(0.0, 6.0, N),
}
# The entropies only: two statistics, so that 39 surrogates can reject
# after Holm's correction, and each surrogate costs milliseconds.
LEAN = {"skip": "ftle,acf,cao,lyapunov,hurst", "surrogates": 39}


@pytest.mark.parametrize("name, method, significant", [
    ("noise", "iaaft", False), ("noise", "phase", False), ("ar2", "iaaft", False),
    ("lorenz", "iaaft", True), ("trending", "iaaft", False),
])
def test_surrogate_test_rejects_only_the_nonlinear_series(name, method, significant):
    a = analyse(SERIES[name](), surrogate_method=method, **LEAN)
    test = a.surrogate_test
    assert bool(test.rejected) == significant
    assert test.detrended == (name == "trending")
    # Seeded: the same surrogates, and so the same ranks, every run.
    again = analyse(SERIES[name](), surrogate_method=method, **LEAN).surrogate_test
    assert [t.surrogate_values.tobytes() for t in test.tests] == \
        [t.surrogate_values.tobytes() for t in again.tests]
    verdict = [n for n in a.notes if n.startswith("surrogate test: ")]
    assert ("it does not show that the series is chaotic" in verdict[0]) == significant
    if name == "trending":
        assert any(n.startswith("the series trends") for n in a.notes)


def test_too_few_surrogates_are_called_inconclusive_not_a_pass():
    a = analyse(SERIES["noise"](), skip=LEAN["skip"], surrogates=9)
    notes = [n for n in a.notes if n.startswith("surrogate test: ")]
    assert notes[0].startswith("surrogate test: inconclusive") and "use at least 39" in notes[0]
    assert not any("nothing here needs more than" in n for n in notes)


def test_surrogates_keep_what_the_null_hypothesis_keeps():
    x = lorenz_x(501)[0]
    first, second = surrogate_generators(7, 2)
    s, _, converged = iaaft(x, first)
    assert converged and np.array_equal(np.sort(s), np.sort(x)) and not np.array_equal(s, x)
    p = phase_randomised(x, second)
    np.testing.assert_allclose(np.abs(np.fft.rfft(p)), np.abs(np.fft.rfft(x)), rtol=1e-9,
                               atol=1e-9 * np.abs(np.fft.rfft(x)).max())
    # Surrogate i depends on the seed and i only.
    assert surrogate_generators(7, 5)[1].random() == surrogate_generators(7, 2)[1].random()


def test_rank_and_holm():
    assert one_sided_p(1.0, [0.0, 1.0, 2.0, math.nan], larger=True) == (4, 0.8)   # ties, NaN count
    assert one_sided_p(-1.0, [0.0, 1.0, 2.0, 3.0], larger=False) == (1, 0.2)
    assert holm([0.01, math.nan, 0.04, 0.03]) == pytest.approx([0.03, math.nan, 0.06, 0.06],
                                                                nan_ok=True)


@pytest.mark.parametrize("x, flagged", [
    (np.random.default_rng(5).standard_normal(100), ("Rosenstein: do not trust",
                                                     "Kantz: no exponent", "--epsilon")),
    (lorenz_x(61)[0], ("Rosenstein: do not trust", "covers the whole curve")),
])
def test_short_series_have_their_lyapunov_fits_flagged(x, flagged):
    a = analyse(x, skip="ftle")
    text = " ".join(a.notes)
    for phrase in flagged:
        assert phrase in text


def test_the_built_in_example_is_trusted_and_its_json_records_every_parameter():
    a = analyse(example_series(3000), skip="ftle", ftle_anchors=None)
    assert not any("do not trust" in n or "no exponent" in n for n in a.notes)
    report = json.loads(format_json(a))
    assert report["schema_version"] >= 2 and report["quorlin_version"] == quorlin.__version__
    kantz = report["lyapunov"]["kantz"]
    # Passing the radius the engine would derive changes no bit.
    assert kantz["epsilon"] == kantz_radius(a.analysed)
    assert _native.lyapunov_kantz(a.analysed, 4, 9)[0] == \
        _native.lyapunov_kantz(a.analysed, 4, 9, None, kantz_radius(a.analysed))[0]
    assert report["sample_entropy"]["r"] == sample_entropy_tolerance(a.analysed)
    assert _native.sample_entropy(a.analysed) == \
        _native.sample_entropy(a.analysed, 2, sample_entropy_tolerance(a.analysed))
    for method in ("rosenstein", "kantz"):
        fit = report["lyapunov"][method]["fit"]
        assert fit["r_squared"] > 0.95 and fit["plateau_after_fit"] is True
    assert report["ftle"] == {"direct_perturbation": None, "local_linearization": None}
    assert report["settings"]["skip"] == ["ftle-direct", "ftle-local"]
    assert len(repr(a)) < 300


SIGNALS = [np.random.default_rng(6).standard_normal(1500), np.cumsum(
    np.random.default_rng(7).standard_normal(700)), lorenz_x(1500)[0]]


@pytest.mark.parametrize("x", SIGNALS, ids=["noise", "walk", "lorenz"])
def test_figure_curves_reproduce_the_engines_answers(x):
    for method, points in (("rs", rescaled_range_points), ("dfa", dfa_points)):
        slope = loglog_slope(*points(x))[0]
        engine = _native.hurst_exponent(x, method)
        assert (min(max(slope, 0.0), 1.0) if method == "rs" else slope) == \
            pytest.approx(engine, rel=1e-9, abs=1e-12)
    for delay in (1, 4):
        dims, fractions, changes = dimension_curves(x, delay)
        for tolerance in (0.001, 0.01, 0.1):
            for method, values in (("fnn", fractions), ("cao", changes)):
                chosen = next((int(d) for d, v in zip(dims, values) if tolerance > v), 10)
                assert chosen == _native.optimal_dimension(x, delay, 10, method, tolerance)


def test_plot_returns_the_figure_draws_into_a_callers_figure_and_writes_svg(tmp_path):
    plotting = pytest.importorskip("quorlin.plotting")
    from matplotlib.figure import Figure

    a = analyse(lorenz_x(400)[0], sampling_interval=0.02, surrogates=3,
                skip="ftle-local,acf,cao")
    figure = plotting.plot_analysis(a, tmp_path / "r.svg")
    assert isinstance(figure, Figure) and len(figure.axes) >= 9
    assert b"<svg" in (tmp_path / "r.svg").read_bytes()[:400]
    host = Figure(figsize=(12, 10))
    assert plotting.plot_analysis(a, figure=host.subfigures(1, 2)[0]) is host
    assert plotting.format_problem("pdf") is None
    with pytest.raises(ValueError, match="unknown panel"):
        plotting.draw_panel(a, "nonsense", host.add_subplot())


def test_anchor_subsets_are_even_and_increasing():
    assert anchor_subset(10, None) is None and anchor_subset(10, 10) is None
    chosen = anchor_subset(1000, 7)
    assert chosen[0] == 0 and chosen[-1] == 999 and chosen.size == 7
    assert np.all(np.diff(chosen) > 0)


@pytest.mark.parametrize("workload", [
    costs.Workload(200000, 10, 1, 1000, 0.3, 99, ("kantz",)),
    costs.Workload(50, 2**64 - 1, 2**64 - 1),      # nothing embeds: no overflow, no negative
    costs.Workload(0),
])
def test_every_step_has_a_finite_estimate(workload):
    for step in [*STEPS, "surrogates", "figure"]:
        seconds = costs.estimate(step, workload)
        assert math.isfinite(seconds) and seconds >= 0


def test_command_line_version_skip_and_estimate(capsys):
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out == f"quorlin {quorlin.__version__}\n"
    assert main(["--estimate", "--skip", "ftle,kantz"]) == 0
    err = capsys.readouterr().err
    assert "expected time" in err and "Rosenstein exponent" in err and "Kantz" not in err


def test_time_column_wide_table_and_long_step_warning(tmp_path, capsys):
    import io

    from quorlin.cli import Progress

    days = np.datetime64("2001-01-01") + 7 * np.arange(120)
    x = ar2(120).tolist()
    (tmp_path / "wide.csv").write_text("date,a,b,c\n" + "".join(
        f"{d},{v!r},{2 * v!r},{3 * v!r}\n" for d, v in zip(days.astype(str), x)))
    assert main([str(tmp_path / "wide.csv"), "--column", "b", "--time-column", "date", "--json",
                 "--quiet", "--skip", "ftle"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert (report["sampling_interval"], report["time_unit"]) == (7.0, "day")
    assert any("column 'b'" in n and "2 other columns are not used" in n for n in report["notes"])
    stream = io.StringIO()
    Progress(1, stream, "off").planned([("ftle-local", 120.0)])
    assert "warning: FTLE by local linearization is expected to take about 2 min" in \
        stream.getvalue()
