"""quorlin._parallel and ``workers=``: the engine's results bit for bit for any
number of threads, its own arguments checked, the caller's array never read
once the lock is let go, progress reported, and the count of usable cores."""

import inspect
import math
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import live_input
import quorlin
from quorlin import _native, _parallel, cores, functions
from quorlin.examples import lorenz
from test_hostile_inputs import same_bits, series
from variants import Unavailable, build_parallel_check

FTLE = ("ftle_local_linearization", "ftle_direct_perturbation")
# ASan and TSan both keep freed memory and slow every call down.
UNDER_SANITIZER = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))


def threaded(name, args, kwargs, workers, anchors=None, progress=None):
    """_parallel's function called as _native's would be with (args, kwargs):
    every engine parameter in order, defaults filled in."""
    bound = inspect.signature(getattr(_native, name)).bind(*args, **kwargs)
    bound.apply_defaults()
    subset = (anchors,) if name in FTLE else ()
    return getattr(_parallel, name)(*bound.args, *subset, workers, progress)


def outcome(call):
    """The result of call(), or the type and text of what it raised."""
    try:
        return call()
    except (TypeError, ValueError, OverflowError, MemoryError, UnicodeError) as failure:
        return (type(failure), str(failure))


def same_outcome(a, b):
    if isinstance(a, tuple) and a and isinstance(a[0], type):
        return a == b
    return same_bits(a, b)


# ---------------------------------------------------------------------------
# The same bits for any number of workers


small = st.integers(0, 12)
huge = st.sampled_from([2**31, 2**63, 2**64 - 1])
count = st.one_of(small, small, small, huge)
optional_count = st.one_of(st.none(), count)
real = st.one_of(st.none(), st.sampled_from([0.0, 0.1, 0.5, 2.0, math.inf, math.nan, -1.0]))
wrong = st.sampled_from([-1, 3.0, "3"])  # refused alike by both modules
PARAMETERS = {
    "hurst_exponent": {"method": st.sampled_from(["rs", "dfa", "DFA"])},
    "permutation_entropy": {"order": count, "delay": count, "normalize": st.booleans()},
    "sample_entropy": {"m": st.integers(0, 4), "r": real},
    "lyapunov_rosenstein": {"dimension": optional_count, "delay": optional_count,
                            "min_tsep": optional_count, "max_iter": optional_count},
    "lyapunov_kantz": {"dimension": optional_count, "delay": optional_count,
                       "min_tsep": optional_count, "epsilon": real, "max_iter": optional_count},
    "ftle_local_linearization": {"time_horizon": count, "n_neighbors": count, "epsilon": real},
    "ftle_direct_perturbation": {"dimension": count, "delay": count, "time_horizon": count},
    "optimal_delay": {"max_lag": optional_count,
                      "method": st.sampled_from(["mutual_info", "autocorr", "autocorr_e"])},
    "time_delay_embedding": {"dimension": count, "delay": count},
    "optimal_dimension": {"delay": optional_count, "max_dim": st.integers(0, 8),
                          "method": st.sampled_from(["fnn", "cao"]), "threshold": real},
}


@st.composite
def engine_calls(draw):
    """(name, args, kwargs) of an engine call on a hostile series, now and
    then with an argument that both modules must refuse the same way."""
    name = draw(st.sampled_from(sorted(PARAMETERS)))
    x = draw(series(max_len=240))
    if name == "ftle_local_linearization":
        columns = draw(st.integers(1, 4))
        x = x[: len(x) - len(x) % columns].reshape(-1, columns)
    kwargs = {key: draw(strategy) for key, strategy in PARAMETERS[name].items()
              if draw(st.integers(0, 3))}
    if kwargs and draw(st.integers(0, 9)) == 0:
        kwargs[draw(st.sampled_from(sorted(kwargs)))] = draw(wrong)
    return name, (x,), kwargs


@given(engine_calls(), st.sampled_from([1, 2, 3, 7]))
def test_every_function_gives_the_engines_bits_for_any_workers(call, workers):
    name, args, kwargs = call
    expected = outcome(lambda: getattr(_native, name)(*args, **kwargs))
    assert same_outcome(outcome(lambda: threaded(name, args, kwargs, workers)), expected)


@pytest.fixture(scope="module")
def fast_path_results():
    """The engine's results on sizes that reach every search, counting and
    tiling path it chooses by size."""
    x = live_input.patterns(live_input.N)[0]
    cases = live_input.cases(x) + live_input.memmap_cases(x)
    return [(case, name, args, kwargs, getattr(_native, name)(*args, **kwargs))
            for case, name, args, kwargs in cases]


@pytest.mark.parametrize("workers", [2, 3, 7])
def test_fast_paths_give_the_engines_bits_for_any_workers(fast_path_results, workers):
    differ = [case for case, name, args, kwargs, expected in fast_path_results
              if not same_bits(threaded(name, args, kwargs, workers), expected)]
    assert not differ


NAN_LADEN = np.cumsum(np.random.default_rng(3).standard_normal(900))
NAN_LADEN[[10, 400, 401]] = [np.nan, np.inf, np.nan]


@pytest.mark.parametrize("nan_policy", ["propagate", "omit"])
@pytest.mark.parametrize("name", quorlin.__all__)
def test_top_level_functions_give_the_same_result_for_any_workers(name, nan_policy):
    data = NAN_LADEN.reshape(-1, 3) if name == "ftle_local_linearization" else NAN_LADEN
    function = getattr(quorlin, name)
    one = outcome(lambda: function(data, nan_policy=nan_policy))
    for workers in (2, -1):
        assert same_outcome(outcome(lambda: function(data, nan_policy=nan_policy, workers=workers)),
                            one)


def test_native_parallel_check():
    """for_each_task itself: every task once for any worker count, in order
    on the caller with one, and a failure or a stop request ends the call."""
    try:
        program = build_parallel_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


# ---------------------------------------------------------------------------
# Anchor subsets


LORENZ = lorenz(400)


@pytest.mark.parametrize("name, data, missing", [
    ("ftle_local_linearization", LORENZ, (np.nan, 0.0)),
    ("ftle_direct_perturbation", LORENZ[:, 0].copy(), (0.0, 0.0)),
])
@pytest.mark.parametrize("subset", ["none", "one", "every seventh", "past the last anchor"])
def test_anchor_subsets_estimate_exactly_their_entries(name, data, missing, subset):
    full = getattr(_native, name)(data)
    n = len(full[0])
    anchors = {"none": [], "one": [5], "every seventh": range(0, n, 7),
               "past the last anchor": {n - 12, n - 1, len(data) - 1}}[subset]
    anchors = np.array(sorted(anchors), dtype=np.int64)
    part = threaded(name, (data,), {}, 3, anchors=anchors)
    chosen = np.zeros(n, dtype=bool)
    chosen[anchors[anchors < n]] = True
    for got, whole, empty in zip(part, full, missing):
        assert got[chosen].tobytes() == whole[chosen].tobytes()
        assert np.array_equal(got[~chosen], np.full((~chosen).sum(), empty), equal_nan=True)


# ---------------------------------------------------------------------------
# The threaded module's own arguments


X = np.cumsum(np.random.default_rng(1).standard_normal(200))
TRAJECTORY = X.reshape(-1, 2)
LONG = np.cumsum(np.random.default_rng(4).standard_normal(40_000))
# Sample entropy's pair scan on it runs for tens of seconds.
LONG_WALK = np.cumsum(np.random.default_rng(5).standard_normal(500_000))


@pytest.mark.parametrize("call, error, message", [
    (lambda: _parallel.sample_entropy(X, 2, None, 2), TypeError,
     r"^sample_entropy\(\) missing 1 required positional argument: 'progress'$"),
    (lambda: _parallel.sample_entropy(X, 2, None, workers=2, progress=None), TypeError,
     "takes no keyword arguments"),
    (lambda: _parallel.sample_entropy(list(X), 2, None, 2, None), TypeError,
     r"^argument 'signal': 'list' object cannot be cast as 'ndarray'$"),
    (lambda: _parallel.sample_entropy(X[::2], 2, None, 2, None), TypeError,
     "^The given array is not contiguous$"),
    (lambda: _parallel.sample_entropy(X, 2.0, None, 2, None), TypeError, "^argument 'm': "),
    (lambda: _parallel.sample_entropy(X, 2, None, 0, None), ValueError,
     r"^argument 'workers': expected a count of threads from 1 to 1024, got 0$"),
    (lambda: _parallel.sample_entropy(X, 2, None, -1, None), ValueError, "got -1$"),
    (lambda: _parallel.sample_entropy(X, 2, None, 1025, None), ValueError, "got 1025$"),
    (lambda: _parallel.sample_entropy(X, 2, None, 2**70, None), ValueError,
     "got a number beyond 64 bits$"),
    (lambda: _parallel.sample_entropy(X, 2, None, 2.0, None), TypeError, "^argument 'workers': "),
    (lambda: _parallel.sample_entropy(X, 2, None, 2, 5), TypeError,
     r"^argument 'progress': expected None or a callable, got 'int'$"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, [1, 2], 2, None), TypeError,
     r"^argument 'anchors': expected None or a one-dimensional array of integers, got 'list'$"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, np.ones(2), 2, None),
     TypeError, "got a 1-dimensional array of dtype float64$"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, np.ones((1, 2), int), 2,
                                                None), TypeError, "got a 2-dimensional array"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, np.array([3, -1]), 2, None),
     ValueError, r"^argument 'anchors': entry 1 is negative \(-1\)$"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, np.array([3, 3]), 2, None),
     ValueError, r"^argument 'anchors': indices must be strictly increasing, but entry 1 \(3\) "
                 r"follows 3$"),
    (lambda: _parallel.ftle_local_linearization(TRAJECTORY, 3, 4, None, np.array([100]), 2, None),
     ValueError, r"^argument 'anchors': entry 0 \(100\) is out of range for 100 rows$"),
    (lambda: _parallel.ftle_direct_perturbation(X, 3, 1, 10, 1e-6, 10,
                                                np.array([2**64 - 1], np.uint64), 2, None),
     ValueError, r"entry 0 \(18446744073709551615\) is out of range for 200 samples$"),
    # Hopeless requests are refused before anything is allocated or started.
    (lambda: _parallel.time_delay_embedding(np.zeros(10**6), 10**6, 0, 7, None), MemoryError, None),
    (lambda: _parallel.lyapunov_rosenstein(X, 10**9, 0, None, None, 7, None), MemoryError, None),
    (lambda: _parallel.ftle_local_linearization(np.broadcast_to(np.zeros((1, 2)), (2**40, 2)), 3,
                                                4, None, None, 7, None), MemoryError, None),
    (lambda: _parallel.ftle_direct_perturbation(
        X, 3, 1, 10, 1e-6, 10, np.broadcast_to(np.int8(0), (2**42,)), 7, None), MemoryError, None),
], ids=lambda value: "" if callable(value) or isinstance(value, (type, str)) else str(value))
def test_threaded_module_refuses_bad_arguments_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_anchors_of_any_integer_type_and_byte_order_are_accepted():
    expected = threaded("ftle_local_linearization", (TRAJECTORY,), {}, 2, np.array([4, 9]))
    for anchors in (np.array([4, 9], np.uint8), np.array([4, 9], ">i2"), np.arange(20)[4:10:5]):
        got = threaded("ftle_local_linearization", (TRAJECTORY,), {}, 2, anchors)
        assert same_bits(got, expected)


def test_the_callers_array_may_change_and_vanish_while_the_call_runs():
    """While the call computes, its input is overwritten, then resized (which
    frees its buffer) and the memory reused: the call computes on the samples
    it was given, and never reads freed memory."""
    x = np.cumsum(np.random.default_rng(2).standard_normal(40_000))
    expected = _native.sample_entropy(x, 12)
    victim = x.copy()
    vandalised = []

    def vandal(*_):
        if not vandalised:
            victim[:] = np.nan
            victim.resize(4, refcheck=False)
            vandalised.extend(np.full(40_000, np.inf) for _ in range(20))

    assert same_bits(_parallel.sample_entropy(victim, 12, None, 2, vandal), expected)
    assert vandalised  # the call lasted long enough for the vandal to strike


class Enough(Exception):
    pass


def test_other_python_threads_run_while_a_call_computes():
    counted = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted.append(None)

    def after_a_while(*_, started=time.monotonic()):
        if time.monotonic() - started > 0.3:
            raise Enough

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = len(counted)
        with pytest.raises(Enough):
            _parallel.sample_entropy(LONG_WALK, 12, None, 2, after_a_while)
        during = len(counted) - before
    finally:
        stop.set()
        thread.join()
    # Holding the lock for the whole call, as the engine does, allows none.
    assert during > 1000


DAEMON_AT_EXIT = """
import threading, time, numpy as np
from quorlin import _parallel
x = np.cumsum(np.random.default_rng(5).standard_normal(500_000))
threading.Thread(target=_parallel.sample_entropy, args=(x, 12, None, 2, None), daemon=True).start()
time.sleep(0.3)
"""


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_computes():
    """At exit the interpreter ends a daemon thread that reaches for its lock
    by unwinding the thread's stack: the call must let that pass, not abort."""
    done = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(os.path.dirname(quorlin.__file__)))
    assert done.returncode == 0, done.stderr


# ---------------------------------------------------------------------------
# Progress


def test_progress_is_reported_on_the_calling_thread_during_the_call():
    calls = []
    caller = threading.get_ident()
    _parallel.sample_entropy(LONG, 12, None, 2,
                             lambda *counts: calls.append((threading.get_ident(), counts)))
    assert len(calls) >= 3
    assert {ident for ident, _ in calls} == {caller}
    for phase, done, total in (counts for _, counts in calls):
        assert all(isinstance(value, int) for value in (phase, done, total))
        assert 0 <= done <= total or phase == 0


@pytest.mark.parametrize("name, args", [
    ("lyapunov_kantz", (None, None, None, None, None)),
    ("lyapunov_rosenstein", (None, None, None, 4000)),
])
def test_lyapunov_follow_ups_report_how_far_they_are(name, args):
    """The Lyapunov estimators' phases (searches in blocks, a follow-up in
    rows whose bands the workers share) count up to a known total, and the
    result is the engine's."""
    x = lorenz(20_000 if name == "lyapunov_rosenstein" else 3_000, step=0.01)[:, 0].copy()
    seen = []
    result = getattr(_parallel, name)(x, *args, 2, lambda *counts: seen.append(counts))
    assert same_bits(result, getattr(_native, name)(x, *args))
    moving = [(phase, done, total) for phase, done, total in seen if phase > 0]
    assert moving and all(0 <= done <= total for _, done, total in moving)
    assert any(0 < done for _, done, _ in moving)


def test_an_exception_in_the_progress_callback_stops_the_call():
    def give_up(*_):
        raise RuntimeError("enough")

    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^enough$"):
        _parallel.sample_entropy(LONG_WALK, 12, None, 3, give_up)
    # The call alone would run for tens of seconds.
    assert time.monotonic() - started < 5.0
    # And the module works on.
    assert same_bits(_parallel.sample_entropy(X, 2, None, 3, None), _native.sample_entropy(X))


# ---------------------------------------------------------------------------
# workers= of the top-level functions, and the cores that -1 means


@pytest.mark.parametrize("workers, usable, expected", [
    (1, 4, 1), (3, 4, 3), (64, 4, 64), (-1, 4, 4), (-2, 4, 3), (-4, 4, 1), (-1, 1, 1),
    (np.int64(2), 4, 2),
    (0, 4, ValueError), (-5, 4, ValueError), (2.0, 4, TypeError), ("2", 4, TypeError),
])
def test_worker_counts(monkeypatch, workers, usable, expected):
    monkeypatch.setattr(functions, "usable_cores", lambda: usable)
    if isinstance(expected, type):
        with pytest.raises(expected, match="^hurst_exponent\\(\\): workers must be"):
            quorlin.hurst_exponent(X, workers=workers)
    else:
        assert functions._worker_count(workers, "f") == expected
        engine = functions._engine(functions._HURST, workers)
        assert (engine is _native.hurst_exponent) == (expected == 1)


def write_tree(root, files):
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)


@pytest.mark.parametrize("membership, files, expected", [
    ("0::/", {}, None),
    ("0::/a/b", {"a/b/cpu.max": "max 100000\n"}, None),
    ("0::/a/b", {"a/b/cpu.max": "250000 100000\n"}, 2.5),
    ("0::/a/b", {"a/b/cpu.max": "400000 100000\n", "a/cpu.max": "150000 100000\n"}, 1.5),
    ("0::/a", {"cpu.max": "100000 100000\n", "a/cpu.max": "max 100000\n"}, 1.0),
    ("3:cpu,cpuacct:/job\n0::/", {"cpu,cpuacct/job/cpu.cfs_quota_us": "-1\n",
                                 "cpu,cpuacct/job/cpu.cfs_period_us": "100000\n"}, None),
    ("3:cpu,cpuacct:/job", {"cpu,cpuacct/job/cpu.cfs_quota_us": "50000\n",
                           "cpu,cpuacct/job/cpu.cfs_period_us": "100000\n"}, 0.5),
    ("2:cpuacct:/\n1:cpu:/job", {"cpu/job/cpu.cfs_quota_us": "300000\n",
                                 "cpu/job/cpu.cfs_period_us": "100000\n"}, 3.0),
    ("0::/a", {"a/cpu.max": "garbage\n"}, None),
])
def test_cgroup_cpu_limit(tmp_path, membership, files, expected):
    (tmp_path / "cgroup").write_text(membership + "\n")
    write_tree(tmp_path / "fs", files)
    (tmp_path / "fs").mkdir(exist_ok=True)
    assert cores.cgroup_cpu_limit(str(tmp_path / "cgroup"), str(tmp_path / "fs")) == expected


@pytest.mark.parametrize("affinity, limit, expected", [
    ({0, 1, 2, 3}, None, 4), ({2}, None, 1), ({0, 1, 2, 3}, 2.5, 3), ({0, 1}, 8.0, 2),
    ({0, 1, 2, 3}, 0.2, 1),
])
def test_usable_cores_respect_affinity_and_quota(monkeypatch, affinity, limit, expected):
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: affinity)
    monkeypatch.setattr(cores, "cgroup_cpu_limit", lambda: limit)
    assert cores.usable_cores() == expected
