"""Every argument a caller can pass gives a result of the documented type and
shape, or TypeError / ValueError / OverflowError / MemoryError -- never
InternalFailure, never a crash, always promptly. The examples mix NaN, signed
infinities and zeros, subnormals, values near the overflow threshold,
repeated and quantised samples, every array layout, and integer arguments at
the edges of 32 and 64 bits and beyond."""

import faulthandler
import math
import os
import sys
import time

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from declarations import declarations
from quorlin import _native

# ---------------------------------------------------------------------------
# Calling under watch

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
# A generous bound per call: the inputs here are at most a few hundred samples.
CALL_SECONDS = 10.0 * (8 if UNDER_SANITIZER else 1)
# A call that never returns ends the whole run (with a traceback on the
# interpreter's own stderr) instead of hanging it.
WATCHDOG_SECONDS = 20 * CALL_SECONDS
PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
# Requests below this never have a reason to raise MemoryError.
SMALL_REQUEST = 1 << 30


def call(function, *args, **kwargs):
    """(result, None) or (None, exception) of one timed call. InternalFailure
    derives from BaseException, so it is caught here and turned into a test
    failure rather than left to end the run."""
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=sys.__stderr__)
    started = time.perf_counter()
    try:
        return function(*args, **kwargs), None
    except BaseException as failure:  # noqa: BLE001 -- InternalFailure is a BaseException
        if not isinstance(failure, ALLOWED):
            raise AssertionError(
                f"{function.__name__} raised {type(failure).__module__}."
                f"{type(failure).__qualname__}: {failure}"
            ) from failure
        return None, failure
    finally:
        faulthandler.cancel_dump_traceback_later()
        elapsed = time.perf_counter() - started
        assert elapsed < CALL_SECONDS, f"{function.__name__} took {elapsed:.1f} s"


def same_bits(a, b):
    """Results equal to the last bit (NaN payloads included)."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same_bits, a, b))
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


def owned_vector(value):
    """A result array handed over without a copy: 1-D float64, writeable,
    C-contiguous, kept alive by the owner of its buffer."""
    assert isinstance(value, np.ndarray) and value.dtype == np.float64 and value.ndim == 1
    assert value.flags.c_contiguous and value.flags.writeable and not value.flags.owndata
    assert type(value.base).__qualname__ == "OwnedBuffer"
    return len(value)


# ---------------------------------------------------------------------------
# Samples

NAN, INF = math.nan, math.inf
SPECIAL = [
    NAN, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 1e-310, 2.2250738585072014e-308,
    1e308, -1e308, 1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0,
]
sample = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.sampled_from(SPECIAL),
    st.integers(-8, 8).map(lambda k: k / 4.0),  # quantised
)


@st.composite
def series(draw, max_len=300):
    """A float64 series of 0 .. max_len samples of one of several kinds."""
    n = draw(st.integers(0, max_len))
    kind = draw(st.sampled_from(["noise", "drawn", "quantised", "constant", "walk"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "drawn":
        return np.array(draw(st.lists(sample, min_size=n, max_size=n)), dtype=np.float64)
    if kind == "constant":
        return np.full(n, draw(sample))
    if kind == "quantised":
        x = rng.integers(-3, 4, n) * draw(st.sampled_from([0.25, 1.0, 1e-300, 1e300]))
    elif kind == "walk":
        x = np.cumsum(rng.standard_normal(n)) * draw(st.sampled_from([1.0, 1e-160, 1e150]))
    else:
        x = rng.standard_normal(n)
    # A few hostile values at random places.
    for _ in range(draw(st.integers(0, 3)) if n else 0):
        x[draw(st.integers(0, n - 1))] = draw(st.sampled_from(SPECIAL))
    return x.astype(np.float64)


def unaligned(x):
    """The same samples at an address that is not a multiple of 8."""
    raw = np.zeros(x.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64) if x.size else np.empty(0)[:0]
    view[...] = x
    return view


# Layouts of a one-dimensional argument: the first ones are accepted as a
# signal, the others refused (non-contiguous after the other conversions,
# wrong type or dtype at once).
SIGNAL_LAYOUTS = {
    "plain": lambda x: x,
    "read-only": lambda x: _read_only(x),
    "unaligned": unaligned,
    "slice of a larger array": lambda x: np.concatenate([[7.0], x, [7.0]])[1:-1],
    "strided": lambda x: np.repeat(x, 2)[::2],
    "reversed": lambda x: x[::-1].copy()[::-1],
    "big-endian": lambda x: x.astype(">f8"),
    "float32": lambda x: _quietly(lambda: x.astype(np.float32)),
    "two-dimensional": lambda x: x.reshape(1, -1),
    "list": lambda x: x.tolist(),
}
NOT_CONTIGUOUS = {"strided", "reversed"}
NOT_A_SIGNAL = {"big-endian", "float32", "two-dimensional", "list"}


def _quietly(make):
    with np.errstate(all="ignore"):
        return make()


def _read_only(x):
    x = x.copy()
    x.flags.writeable = False
    return x


def contiguous_when_short(layout, n):
    # NumPy flags arrays of at most one element contiguous whatever the stride.
    return layout not in NOT_CONTIGUOUS or n <= 1


@st.composite
def signal_argument(draw, max_len=300):
    x = draw(series(max_len))
    layout = draw(st.sampled_from(list(SIGNAL_LAYOUTS)))
    if layout in NOT_A_SIGNAL or layout in NOT_CONTIGUOUS:
        # Refusals need no long examples.
        x = x[:8]
    return x, layout, SIGNAL_LAYOUTS[layout](x)


# ---------------------------------------------------------------------------
# Scalar arguments and the error each one must raise

EDGE_INTEGERS = [0, 1, 2, 3, 7, 2**31, 2**63, 2**64 - 1]


def unsigned_argument(small=12):
    valid = st.one_of(
        st.sampled_from(EDGE_INTEGERS),
        st.integers(0, small),
        st.sampled_from([np.int64(2), np.uint64(2**64 - 1), np.uint8(3), True, False]),
    )
    invalid = st.one_of(
        st.integers(2**64, 2**70),
        st.integers(-(2**70), -1),
        st.sampled_from([np.int64(-1), 3.0, "3", b"3", 2 + 0j]),
    )
    # None means "no value" for the optional kinds and is a TypeError otherwise.
    return st.one_of(valid, valid, valid, invalid, st.none())


def real_argument():
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
        st.sampled_from([0, 1, -1, 10**400, np.float32(0.5), np.float64(-0.0), True]),
        st.sampled_from([None, "0.5", 1j]),
    )


def text_argument(*words):
    return st.one_of(
        st.sampled_from(words),
        st.text(max_size=6),
        st.sampled_from(["\ud800", None, b"rs", 3]),
    )


def bool_argument():
    return st.sampled_from([True, False, np.True_, np.False_, 1, 0, None, "True"])


def expected_conversion_error(kind, value):
    """The exception class that converting `value` as `kind` raises, or None."""
    if kind in ("uint", "uint?"):
        if value is None:
            return None if kind == "uint?" else TypeError
        if isinstance(value, (bool, int, np.integer)):
            return None if 0 <= int(value) < 2**64 else OverflowError
        return TypeError
    if kind in ("real", "real?"):
        if value is None:
            return None if kind == "real?" else TypeError
        if isinstance(value, (str, bytes, complex)):
            return TypeError
        if isinstance(value, int) and abs(value) > 1e308:
            return OverflowError
        return None
    if kind == "text":
        if not isinstance(value, str):
            return TypeError
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return UnicodeEncodeError
        return None
    if kind == "bool":
        return None if isinstance(value, (bool, np.bool_)) else TypeError
    raise AssertionError(kind)


# The kinds of the declaration, as expected_conversion_error names them.
KINDS = {"unsigned_integer": "uint", "optional_unsigned_integer": "uint?", "real": "real",
         "optional_real": "real?", "text": "text", "boolean": "bool"}


def declared(function, **strategies):
    """(name, kind, strategy) for every parameter after the array, the kind
    as the function declares it; every one of them must get a strategy."""
    rows = declarations()[function][1:]
    assert [name for name, _, _ in rows] == list(strategies), function
    return [(name, KINDS[kind], strategies[name]) for name, kind, _ in rows]


def all_valid(parameters, kwargs):
    return all(
        name not in kwargs or expected_conversion_error(kind, kwargs[name]) is None
        for name, kind, _ in parameters
    )


def as_uint(value, default):
    return default if value is None else int(value)


def as_real(value, default):
    return default if value is None else float(value)


@st.composite
def arguments(draw, parameters):
    """Keyword arguments for (name, kind, strategy) parameters, each one
    present or left to its default."""
    kwargs = {}
    for name, kind, strategy in parameters:
        if draw(st.integers(0, 4)):
            kwargs[name] = draw(strategy)
    return kwargs


def run_checked(function, parameters, signal_case, kwargs, check, memory_estimate=None):
    """Calls function(signal, **kwargs) twice and checks the outcome against
    what the arguments predict."""
    x, layout, signal = signal_case
    before = signal.tobytes() if isinstance(signal, np.ndarray) else None
    result, failure = call(function, signal, **kwargs)

    predicted = None
    if layout in NOT_A_SIGNAL:
        predicted = TypeError
    for name, kind, _ in parameters:
        if predicted is None and name in kwargs:
            predicted = expected_conversion_error(kind, kwargs[name])
    if predicted is None and not contiguous_when_short(layout, len(x)):
        predicted = TypeError

    if predicted is not None:
        assert type(failure) is predicted, (predicted, failure)
    elif isinstance(failure, MemoryError):
        assert memory_estimate is not None and memory_estimate >= SMALL_REQUEST, failure
    else:
        check(x, result, failure)
        again, failure_again = call(function, signal, **kwargs)
        assert same_bits(result, again) and type(failure) is type(failure_again)
    if before is not None:
        assert signal.tobytes() == before  # the input is never written


def avoid_huge_allocations(estimate):
    """Keeps an example from actually allocating gigabytes: requests must be
    small, or beyond physical memory (and then refused before allocating)."""
    assume(estimate < SMALL_REQUEST or estimate > 2 * PHYSICAL_MEMORY)


# ---------------------------------------------------------------------------
# The ten functions


HURST = declared("hurst_exponent", method=text_argument("rs", "dfa", "DFA"))


@given(signal_argument(), arguments(HURST))
def test_hurst_exponent(signal_case, kwargs):
    def check(x, h, failure):
        assert failure is None and type(h) is float
        method = kwargs.get("method", "rs")
        if np.count_nonzero(~np.isnan(x)) < 10:
            assert math.isnan(h)
        elif method != "dfa":
            assert math.isnan(h) or 0.0 <= h <= 1.0  # R/S clamps its slope
        assert same_bits(h, _native.hurst_exponent(x[~np.isnan(x)], **kwargs))

    run_checked(_native.hurst_exponent, HURST, signal_case, kwargs, check)


PERMUTATION = declared(
    "permutation_entropy",
    order=unsigned_argument(small=40),
    delay=unsigned_argument(),
    normalize=bool_argument(),
)


@given(signal_argument(), arguments(PERMUTATION))
def test_permutation_entropy(signal_case, kwargs):
    def check(x, h, failure):
        assert failure is None and type(h) is float
        order = as_uint(kwargs.get("order"), 3)
        delay = as_uint(kwargs.get("delay"), 1)
        n = len(x)
        if n < order * delay:
            assert math.isnan(h)
        elif order <= 1 or delay == 0:
            assert h == 0.0
        else:
            windows = n - (order - 1) * delay
            bits = math.log2(windows)  # no more than one pattern per window
            if bool(kwargs.get("normalize", True)):
                bits = min(bits, 1.0)
            assert 0.0 <= h <= bits + 1e-12

    run_checked(_native.permutation_entropy, PERMUTATION, signal_case, kwargs, check)


SAMPLE_ENTROPY = declared("sample_entropy", m=unsigned_argument(), r=real_argument())


@given(signal_argument(), arguments(SAMPLE_ENTROPY))
def test_sample_entropy(signal_case, kwargs):
    def check(x, h, failure):
        assert failure is None and type(h) is float
        m = as_uint(kwargs.get("m"), 2)
        if len(x) < m + 2:
            assert math.isnan(h)
        else:
            assert math.isnan(h) or h >= 0.0  # A <= B: the long matches are short matches too

    run_checked(_native.sample_entropy, SAMPLE_ENTROPY, signal_case, kwargs, check)


ROSENSTEIN = declared(
    "lyapunov_rosenstein",
    dimension=unsigned_argument(),
    delay=unsigned_argument(),
    min_tsep=unsigned_argument(),
    max_iter=unsigned_argument(),
)


def delay_zero_embedding_bytes(n, dimension, delay):
    """The point buffer of an embedding whose delay is 0: n rows of `dimension`
    copies (with any other delay the span bounds the dimension by n)."""
    return 8 * int(n) * dimension if delay == 0 else 0


@given(signal_argument(), arguments(ROSENSTEIN))
def test_lyapunov_rosenstein(signal_case, kwargs):
    x = signal_case[0]
    valid = np.count_nonzero(~np.isnan(x))
    estimate = None
    if all_valid(ROSENSTEIN, kwargs):
        m0, tau0 = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        estimate = delay_zero_embedding_bytes(valid, m0, tau0) if valid >= 50 else 0
        avoid_huge_allocations(estimate)

    def check(x, result, failure):
        assert failure is None and type(result) is tuple and len(result) == 3
        lam, curve, iterations = result
        assert type(lam) is float
        k = owned_vector(curve)
        assert owned_vector(iterations) == k
        assert np.array_equal(iterations, np.arange(k, dtype=np.float64))
        if k == 0:
            assert math.isnan(lam)
        assert valid >= 50 or k == 0
        # NaN samples are dropped before anything else.
        assert same_bits(result, _native.lyapunov_rosenstein(x[~np.isnan(x)], **kwargs))

    run_checked(_native.lyapunov_rosenstein, ROSENSTEIN, signal_case, kwargs, check, estimate)


KANTZ = declared(
    "lyapunov_kantz",
    dimension=unsigned_argument(),
    delay=unsigned_argument(),
    min_tsep=unsigned_argument(),
    epsilon=real_argument(),
    max_iter=unsigned_argument(),
)


def embedded_count(n, dimension, delay):
    """Points of a delay embedding, floored at 0 (dimension 0: none, or n
    empty points at delay 0)."""
    if dimension == 0:
        return n if delay == 0 else 0
    return max(n - (dimension - 1) * delay, 0)


@given(signal_argument(), arguments(KANTZ))
def test_lyapunov_kantz(signal_case, kwargs):
    n = len(signal_case[0])
    estimate = None
    if all_valid(KANTZ, kwargs):
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        separation = as_uint(kwargs.get("min_tsep"), m * tau)
        # Too short a series for the separation is answered before embedding.
        short = m == 0 or embedded_count(n, m, tau) < separation + 2
        estimate = 0 if short else delay_zero_embedding_bytes(n, m, tau)
        avoid_huge_allocations(estimate)

    def check(x, result, failure):
        assert failure is None and type(result) is tuple and len(result) == 2
        lam, curve = result
        assert type(lam) is float
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        assert owned_vector(curve) <= max(embedded_count(n, m, tau) - 1, 0)
        if len(curve) < 2:
            assert math.isnan(lam)

    run_checked(_native.lyapunov_kantz, KANTZ, signal_case, kwargs, check, estimate)


FTLE_DIRECT = declared(
    "ftle_direct_perturbation",
    dimension=unsigned_argument(),
    delay=unsigned_argument(),
    time_horizon=unsigned_argument(),
    perturbation=real_argument(),
    n_perturbations=unsigned_argument(),
)


@given(signal_argument(), arguments(FTLE_DIRECT))
def test_ftle_direct_perturbation(signal_case, kwargs):
    n = len(signal_case[0])
    estimate = None
    if all_valid(FTLE_DIRECT, kwargs):
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        horizon = as_uint(kwargs.get("time_horizon"), 10)
        points = embedded_count(n, m, tau)
        estimate = delay_zero_embedding_bytes(n, m, tau) if points >= horizon + 2 else 0
        avoid_huge_allocations(estimate)

    def check(x, result, failure):
        assert failure is None and type(result) is tuple and len(result) == 2
        ftle, norms = result
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        horizon = as_uint(kwargs.get("time_horizon"), 10)
        points = embedded_count(n, m, tau)
        expected = points - horizon if points >= horizon + 2 else 0
        assert owned_vector(ftle) == owned_vector(norms) == expected
        assert not (norms < 0.0).any() and not np.isnan(norms).any()
        assert (ftle[norms == 0.0] == 0.0).all()  # no estimate: both entries 0.0

    run_checked(_native.ftle_direct_perturbation, FTLE_DIRECT, signal_case, kwargs, check,
                estimate)


OPTIMAL_DELAY = declared(
    "optimal_delay",
    max_lag=unsigned_argument(),
    method=text_argument("mutual_info", "autocorr", "autocorr_e"),
)


@given(signal_argument(), arguments(OPTIMAL_DELAY))
def test_optimal_delay(signal_case, kwargs):
    def check(x, tau, failure):
        assert failure is None and type(tau) is int
        n = len(x)
        max_lag = kwargs.get("max_lag")
        limit = n // 4 if max_lag is None else min(n // 2, int(max_lag))
        assert 0 <= tau <= max(limit, 1)

    run_checked(_native.optimal_delay, OPTIMAL_DELAY, signal_case, kwargs, check)


EMBEDDING = declared("time_delay_embedding", dimension=unsigned_argument(), delay=unsigned_argument())


@given(signal_argument(), arguments(EMBEDDING))
def test_time_delay_embedding(signal_case, kwargs):
    n = len(signal_case[0])
    estimate = None
    if all_valid(EMBEDDING, kwargs):
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        span = (m - 1) * tau if m else 0
        estimate = 16 * (n - span) * m if m and n > span else 0  # rows and result side by side
        avoid_huge_allocations(estimate)

    def check(x, points, failure):
        m, tau = as_uint(kwargs.get("dimension"), 3), as_uint(kwargs.get("delay"), 1)
        span = (m - 1) * tau if m else 0
        if m == 0 or n <= span:
            assert type(failure) is ValueError
            if m:
                assert str(failure) == (
                    f"Signal too short for embedding: {n} samples, need at least {span + 1}"
                )
            return
        assert failure is None and isinstance(points, np.ndarray)
        assert points.dtype == np.float64 and points.shape == (n - span, m)
        assert points.flags.c_contiguous and points.flags.owndata
        rows = np.arange(n - span)[:, None] + tau * np.arange(m)[None, :]
        assert points.tobytes() == x[rows].tobytes()

    run_checked(_native.time_delay_embedding, EMBEDDING, signal_case, kwargs, check, estimate)


OPTIMAL_DIMENSION = declared(
    "optimal_dimension",
    delay=unsigned_argument(),
    max_dim=unsigned_argument(),
    method=text_argument("fnn", "cao"),
    threshold=real_argument(),
)


def cao_steps_at_delay_zero(kwargs):
    """The number of steps of Cao's method at delay 0, where no length rule ends
    the loop: with every row repeating one sample, |E(d) / E(d - 1) - 1| is
    about 1 / (2 (d - 1)^2), so a threshold t stops it near 1 + 1 / sqrt(2 t)."""
    try:
        threshold = float(kwargs.get("threshold", 0.01))
        max_dim = int(kwargs.get("max_dim", 10))
    except (TypeError, ValueError, OverflowError):
        return 0
    if not threshold > 0.0:
        return 0  # no step can pass: answered without running them
    return min(max_dim, 2 + 1 / math.sqrt(2 * min(threshold, 1.0)))


@given(signal_argument(max_len=150), arguments(OPTIMAL_DIMENSION))
def test_optimal_dimension(signal_case, kwargs):
    # The one corner kept out: Cao's method at delay 0 with a tiny positive
    # threshold and a huge max_dim runs its literal loop for about
    # 1 / sqrt(2 threshold) steps, each costlier than the one before.
    if kwargs.get("method") == "cao" and kwargs.get("delay") == 0:
        assume(cao_steps_at_delay_zero(kwargs) <= 200)

    def check(x, d, failure):
        assert failure is None and type(d) is int
        max_dim = as_uint(kwargs.get("max_dim"), 10)
        assert 0 <= d <= max(max_dim, 2)

    run_checked(_native.optimal_dimension, OPTIMAL_DIMENSION, signal_case, kwargs, check)


# ---------------------------------------------------------------------------
# Trajectories: any two-dimensional float64 layout is read in place


TRAJECTORY_LAYOUTS = {
    "C": lambda t: t,
    "Fortran": np.asfortranarray,
    "transposed copy": lambda t: np.ascontiguousarray(t.T).T,
    "reversed rows": lambda t: t[::-1].copy()[::-1],
    "reversed columns": lambda t: t[:, ::-1].copy()[:, ::-1],
    "every second row": lambda t: np.repeat(t, 2, axis=0)[::2],
    "unaligned": lambda t: unaligned(t.ravel()).reshape(t.shape),
    "read-only": _read_only,
    "broadcast row": lambda t: np.broadcast_to(t[:1], t.shape) if len(t) else t,
}


@st.composite
def trajectory_argument(draw):
    n = draw(st.integers(0, 120))
    d = draw(st.integers(0, 4))
    x = draw(series(max_len=n * d)) if d else np.empty(0)
    x = np.resize(x, n * d) if x.size else np.zeros(n * d)
    t = x.reshape(n, d)
    layout = draw(st.sampled_from(list(TRAJECTORY_LAYOUTS)))
    return t, layout, TRAJECTORY_LAYOUTS[layout](t)


FTLE_LOCAL = declared(
    "ftle_local_linearization",
    time_horizon=unsigned_argument(),
    n_neighbors=unsigned_argument(),
    epsilon=real_argument(),
)


@given(trajectory_argument(), arguments(FTLE_LOCAL))
def test_ftle_local_linearization(trajectory_case, kwargs):
    def check(t, result, failure):
        assert failure is None and type(result) is tuple and len(result) == 2
        ftle, confidence = result
        n = len(t)
        assert owned_vector(ftle) == owned_vector(confidence) == n
        horizon = as_uint(kwargs.get("time_horizon"), 10)
        anchors = max(n - horizon, 0)
        assert np.isnan(ftle[anchors:]).all() and (confidence[anchors:] == 0.0).all()
        scored = confidence[~np.isnan(confidence)]
        assert ((scored >= 0.0) & (scored <= 1.0)).all()

    run_checked(_native.ftle_local_linearization, FTLE_LOCAL, trajectory_case, kwargs, check)


@pytest.mark.parametrize(
    "argument",
    [np.zeros(6), np.zeros((2, 3, 4)), np.zeros((4, 3), np.float32), np.zeros((4, 3), ">f8"),
     [[0.0] * 3] * 20, None],
)
def test_ftle_local_linearization_refuses_non_trajectories(argument):
    _, failure = call(_native.ftle_local_linearization, argument)
    assert type(failure) is TypeError


# ---------------------------------------------------------------------------
# The exhaustive scans and the fast exact searches agree on hostile series


@given(
    series(max_len=160),
    st.sampled_from(["rosenstein", "kantz", "ftle_direct", "ftle_local", "fnn", "cao"]),
    st.integers(1, 4),
    st.integers(0, 3),
    st.sampled_from([None, 0.0, 0.5, INF, NAN]),
)
def test_search_paths_agree_on_hostile_series(search_variants, x, kind, m, tau, radius):
    def calls(module):
        if kind == "rosenstein":
            return module.lyapunov_rosenstein(x, m, tau)
        if kind == "kantz":
            return module.lyapunov_kantz(x, m, tau, None, radius)
        if kind == "ftle_direct":
            return module.ftle_direct_perturbation(x, m, tau, 2 * tau)
        if kind == "ftle_local":
            rows = len(x) // m
            return module.ftle_local_linearization(x[: rows * m].reshape(rows, m), tau, 2 * m, radius)
        return module.optimal_dimension(x, tau, 6, kind, 0.1)

    direct, fast = search_variants
    assert same_bits(calls(direct), calls(fast))


# ---------------------------------------------------------------------------
# Arguments whose conversion runs Python code


class Resizing:
    """An integer argument whose conversion resizes the input array in place
    (moving its data), as any __index__ may."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def __index__(self):
        self.array.resize(self.shape, refcheck=False)
        return self.value


@pytest.mark.parametrize("shape", [(3000, 2), (12, 2)], ids=["grown", "shrunk"])
def test_trajectory_is_read_after_every_argument_is_converted(shape):
    rng = np.random.default_rng(5)
    trajectory = np.cumsum(rng.standard_normal((40, 2)), axis=0)
    ftle, confidence = _native.ftle_local_linearization(
        trajectory, Resizing(trajectory, shape, 1), 3
    )
    assert trajectory.shape == shape
    expected = _native.ftle_local_linearization(trajectory.copy(), 1, 3)
    assert same_bits((ftle, confidence), expected)


@pytest.mark.parametrize("length", [5000, 4])
def test_signal_is_read_after_every_argument_is_converted(length):
    signal = np.arange(30.0)
    points = _native.time_delay_embedding(signal, Resizing(signal, (length,), 3))
    assert same_bits(points, _native.time_delay_embedding(signal.copy(), 3))
