"""The top-level functions (quorlin.<name>) over the engine (quorlin._native):
the same results wherever the engine's answer is meaningful, and the
wrappers' own rules for input, method names and non-finite samples."""

import doctest
import math
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorlin
from quorlin import _native
from quorlin.examples import lorenz, lorenz_x


def same(a, b):
    """Bit for bit, through tuples; NaN equals NaN of the same bits."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, np.ndarray):
        return (isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
                and a.tobytes() == b.tobytes())
    return type(a) is type(b) and np.array(a).tobytes() == np.array(b).tobytes()


sizes = st.integers(0, 9)
horizons = st.integers(0, 12)
finite = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)
small_tolerance = st.one_of(st.none(), st.floats(0, 5, allow_nan=False))


def case(method_names=None, **parameters):
    """Keyword arguments for one function; `method` is drawn with its spelling
    (upper case variants and aliases) and mapped to the engine's name."""
    return st.fixed_dictionaries(parameters), method_names


CASES = {
    "hurst_exponent": case({"rs": "rs", "dfa": "dfa", "DFA": "dfa", "Rs": "rs"}),
    "permutation_entropy": case(order=sizes, delay=sizes, normalize=st.booleans()),
    "sample_entropy": case(m=sizes, r=small_tolerance),
    "lyapunov_rosenstein": case(dimension=st.none() | sizes, delay=st.none() | sizes,
                                min_tsep=st.none() | sizes, max_iter=st.none() | st.integers(0, 40)),
    "lyapunov_kantz": case(dimension=st.none() | sizes, delay=st.none() | sizes,
                           min_tsep=st.none() | sizes, epsilon=small_tolerance,
                           max_iter=st.none() | st.integers(0, 40)),
    "ftle_local_linearization": case(time_horizon=horizons, n_neighbors=sizes, epsilon=small_tolerance),
    "ftle_direct_perturbation": case(dimension=sizes, delay=sizes, time_horizon=horizons),
    "optimal_delay": case({"mutual_info": "mutual_info", "ami": "mutual_info", "AMI": "mutual_info",
                           "autocorr": "autocorr", "Autocorr_E": "autocorr_e"},
                          max_lag=st.none() | st.integers(0, 40)),
    "time_delay_embedding": case(dimension=st.integers(1, 6), delay=sizes),
    "optimal_dimension": case({"fnn": "fnn", "FNN": "fnn", "cao": "cao", "Cao": "cao"},
                              delay=st.none() | sizes, max_dim=sizes,
                              threshold=st.floats(0, 1, allow_nan=False)),
}

# The same samples in the forms users pass; each converts to the contiguous
# float64 array the engine is given.
FORMS = {
    "ndarray": lambda x: x,
    "list": lambda x: x.tolist(),
    "tuple": lambda x: tuple(x.tolist()),
    "read-only": lambda x: np.frombuffer(x.tobytes(), dtype=np.float64),
    "strided": lambda x: np.repeat(x, 2)[::2],
    "big-endian": lambda x: x.astype(">f8"),
    "Fortran 2-D": lambda x: np.asfortranarray(x),
}


@st.composite
def calls(draw, name):
    parameters, methods = CASES[name]
    kwargs = draw(parameters)
    engine_kwargs = dict(kwargs)
    if methods:
        spelling = draw(st.sampled_from(sorted(methods)))
        kwargs["method"], engine_kwargs["method"] = spelling, methods[spelling]
    if name == "ftle_local_linearization":
        data = np.array(draw(st.lists(st.lists(finite, min_size=2, max_size=2), max_size=40))).reshape(-1, 2)
        form = draw(st.sampled_from(["ndarray", "list", "strided", "Fortran 2-D"]))
        if len(data) == 0:  # an empty list reads as a one-dimensional array
            form = "ndarray"
        if form == "strided":
            return data, np.repeat(data, 2, axis=0)[::2], kwargs, engine_kwargs
    else:
        values = draw(st.lists(finite, max_size=120) | st.lists(st.integers(-50, 50), max_size=120))
        data = np.array(values, dtype=np.float64)
        form = draw(st.sampled_from(sorted(set(FORMS) - {"Fortran 2-D"})))
    return data, FORMS[form](data), kwargs, engine_kwargs


@pytest.mark.parametrize("name", quorlin.__all__)
@given(data=st.data())
def test_results_are_the_engines_bit_for_bit(name, data):
    samples, given_form, kwargs, engine_kwargs = data.draw(calls(name))
    try:
        expected = getattr(_native, name)(np.ascontiguousarray(samples), **engine_kwargs)
    except ValueError as refusal:  # too short to embed, dimension 0
        with pytest.raises(ValueError, match=re.escape(str(refusal))):
            getattr(quorlin, name)(given_form, **kwargs)
        return
    assert same(getattr(quorlin, name)(given_form, **kwargs), expected)


@pytest.mark.parametrize("dtype", [np.int8, np.int64, np.uint32, np.float16, np.float32, np.longdouble])
def test_other_real_dtypes_are_converted_to_float64(dtype):
    x = (np.arange(200) % 7).astype(dtype)
    assert quorlin.sample_entropy(x) == _native.sample_entropy(x.astype(np.float64))


def test_a_contiguous_float64_input_is_passed_on_without_a_copy(monkeypatch):
    seen = []
    monkeypatch.setattr(_native, "time_delay_embedding", lambda x, *args: seen.append(x))
    x = np.arange(10.0)
    quorlin.time_delay_embedding(x)
    assert seen[0] is x


@pytest.mark.parametrize(
    "name, data, error, fragments",
    [
        ("sample_entropy", np.arange(4) + 1j, TypeError, ["complex128", "(4,)"]),
        ("sample_entropy", np.array([True, False] * 5), TypeError, ["bool", "(10,)"]),
        ("sample_entropy", ["a", "b", "c"], TypeError, ["<U1", "(3,)"]),
        ("sample_entropy", np.array([1.0, None]), TypeError, ["object", "to_numpy"]),
        ("sample_entropy", [[1.0], [2.0, 3.0]], TypeError, ["'signal'", "inhomogeneous"]),
        ("hurst_exponent", np.zeros((5, 2)), ValueError, ["one-dimensional", "(5, 2)", "float64"]),
        ("optimal_delay", 3.0, ValueError, ["one-dimensional", "()"]),
        ("ftle_local_linearization", np.zeros(5), ValueError, ["'trajectory'", "two-dimensional", "(5,)"]),
        ("ftle_local_linearization", np.zeros((4, 2), dtype=complex), TypeError, ["complex128", "(4, 2)"]),
    ],
)
def test_unreadable_inputs_name_what_was_expected_and_what_came(name, data, error, fragments):
    with pytest.raises(error) as raised:
        getattr(quorlin, name)(data)
    assert name in str(raised.value) and all(part in str(raised.value) for part in fragments)


@pytest.mark.parametrize(
    "name, method, listed",
    [
        ("hurst_exponent", "hurst", "'rs', 'dfa'"),
        ("hurst_exponent", "r/s", "'rs', 'dfa'"),
        ("optimal_delay", "mi", "'mutual_info' (or 'ami'), 'autocorr', 'autocorr_e'"),
        ("optimal_dimension", "kennel", "'fnn', 'cao'"),
        ("optimal_dimension", "", "'fnn', 'cao'"),
    ],
)
def test_a_method_that_is_not_one_of_the_functions_raises_with_the_list(name, method, listed):
    with pytest.raises(ValueError, match="expected one of " + listed.replace("(", r"\(").replace(")", r"\)")):
        getattr(quorlin, name)(np.arange(100.0), method=method)


def test_the_misleading_method_calls_now_run_the_named_method():
    x = np.cumsum(np.random.default_rng(3).standard_normal(500))
    assert quorlin.hurst_exponent(x, "DFA") == _native.hurst_exponent(x, "dfa") != _native.hurst_exponent(x)
    lx = lorenz_x(1200)[0]
    assert quorlin.optimal_dimension(lx, 10, method="Cao") == _native.optimal_dimension(lx, 10, method="cao")
    assert quorlin.optimal_delay(lx, method="ami") == _native.optimal_delay(lx)


# What each policy gives for a series with one NaN and one infinity. "engine
# on the rest" means the engine on the series with both removed; per-point
# results are checked on their own below.
UNDEFINED = {
    "hurst_exponent": math.nan, "permutation_entropy": math.nan, "sample_entropy": math.nan,
    "lyapunov_rosenstein": (math.nan, np.empty(0), np.empty(0)),
    "lyapunov_kantz": (math.nan, np.empty(0)),
    "optimal_delay": ValueError, "optimal_dimension": ValueError,
}


@pytest.mark.parametrize("name", quorlin.__all__)
def test_non_finite_samples_follow_the_policy(name):
    x = lorenz_x(400)[0]
    data = lorenz(60) if name == "ftle_local_linearization" else x.copy()
    data[7] = np.nan
    data[30] = -np.inf
    function = getattr(quorlin, name)
    with pytest.raises(ValueError, match="holds 2 .*non-finite.*the first.* 7"):
        function(data, nan_policy="raise")
    with pytest.raises(ValueError, match="nan_policy must be"):
        function(x if data.ndim == 1 else lorenz(60), nan_policy="ignore")
    if name not in UNDEFINED:
        return
    rest = data[np.isfinite(data)]
    assert same(function(data, nan_policy="omit"), getattr(_native, name)(rest))
    if UNDEFINED[name] is ValueError:
        with pytest.raises(ValueError, match="integer and cannot be NaN"):
            function(data)
    else:
        assert same(function(data), UNDEFINED[name])


def test_one_nan_no_longer_makes_sample_entropy_a_small_number():
    x = np.random.default_rng(0).standard_normal(1000)
    x[500] = np.nan
    assert _native.sample_entropy(x) < 0.01            # NaN tolerance: every pair matches
    assert math.isnan(quorlin.sample_entropy(x))
    assert quorlin.sample_entropy(x, nan_policy="omit") == pytest.approx(2.2, abs=0.05)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("policy", ["propagate", "omit"])
def test_direct_perturbation_marks_exactly_the_points_that_touch_a_bad_sample(bad, policy):
    x = lorenz_x(300)[0]
    m, tau, h, k = 3, 4, 10, 150
    x[k] = bad
    values, norms = quorlin.ftle_direct_perturbation(x, m, tau, h, nan_policy=policy)
    touches = [any(k in (i + j * tau, i + h + j * tau) for j in range(m)) for i in range(values.size)]
    assert np.isnan(values).tolist() == touches and np.isnan(norms).tolist() == touches
    nan_x = x.copy()
    nan_x[k] = np.nan
    engine_values, engine_norms = _native.ftle_direct_perturbation(nan_x, m, tau, h)
    kept = ~np.array(touches)
    assert same(values[kept], engine_values[kept]) and same(norms[kept], engine_norms[kept])


def test_local_linearization_loses_only_estimates_that_would_use_a_missing_state():
    states = lorenz(400)
    k, horizon = 200, 5
    results = []
    for bad in (np.nan, np.inf, -np.inf):
        states[k, 1] = bad
        results.append(quorlin.ftle_local_linearization(states, time_horizon=horizon))
    assert same(results[0], results[1]) and same(results[0], results[2])
    values, confidence = results[0]
    assert np.isnan(values[[k, k - horizon]]).all()
    assert (confidence[np.isnan(values)] == 0.0).all()
    assert np.isnan(values[:-horizon]).mean() < 0.1


def test_embedding_keeps_non_finite_samples_in_their_rows():
    x = np.arange(10.0)
    x[4] = np.inf
    for policy in ("propagate", "omit"):
        assert same(quorlin.time_delay_embedding(x, 3, 2, nan_policy=policy), _native.time_delay_embedding(x, 3, 2))


def test_a_broadcast_trajectory_is_refused_without_scanning_every_row():
    with pytest.raises(MemoryError):
        quorlin.ftle_local_linearization(np.broadcast_to(np.zeros((1, 3)), (2**40, 3)))


def test_masked_entries_count_as_missing():
    x = np.ma.masked_array(np.random.default_rng(1).standard_normal(300), mask=np.arange(300) == 9)
    assert math.isnan(quorlin.sample_entropy(x))
    assert quorlin.sample_entropy(x, nan_policy="omit") == _native.sample_entropy(np.delete(x.data, 9))


@pytest.mark.parametrize("name", quorlin.__all__)
def test_docstring_answers_unit_convention_and_reference_and_its_example_runs(name):
    function = getattr(quorlin, name)
    for section in ("Parameters\n", "Returns\n", "Notes\n", "References\n", "Examples\n"):
        assert section in function.__doc__
    (test,) = doctest.DocTestFinder().find(function, name, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_importing_quorlin_leaves_numpy_alone():
    code = "import sys, quorlin; print('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "False", done.stderr
