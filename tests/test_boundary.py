"""How arguments enter and results leave quorlin._native: parsing, conversion
messages, the module's attributes, and failures turned into exceptions."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorlin
from quorlin import _native

embed = _native.time_delay_embedding
x10 = np.arange(10.0)


class Outer:
    class Inner:
        pass


def run_isolated(code):
    """Runs code in a fresh interpreter; returns its stdout."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


class TestModule:
    def test_names_and_docstring(self):
        assert _native.__name__ == "quorlin._native"
        assert _native.__doc__ == (
            "Native-accelerated primitives for signal analysis.\n"
            "Both Vantor and Ostrel import from this package."
        )
        assert embed.__module__ == "quorlin._native"
        assert embed.__name__ == "time_delay_embedding"

    def test_all_lists_registered_functions_in_table_order(self):
        table_order = [
            "hurst_exponent", "permutation_entropy", "sample_entropy", "lyapunov_rosenstein",
            "lyapunov_kantz", "ftle_local_linearization", "ftle_direct_perturbation",
            "optimal_delay", "time_delay_embedding", "optimal_dimension",
        ]
        registered = [name for name in table_order if hasattr(_native, name)]
        assert _native.__all__ == registered
        assert quorlin.__all__ == registered
        for name in registered:
            # The top-level functions wrap the engine: its parameters come first, in order.
            engine = list(inspect.signature(getattr(_native, name)).parameters)
            wrapper = list(inspect.signature(getattr(quorlin, name)).parameters)
            assert wrapper[:len(engine)] == engine

    def test_text_signature_and_body(self):
        assert embed.__text_signature__ == "(signal, dimension=3, delay=1)"
        signature = inspect.signature(embed)
        assert [(p.name, p.default, p.kind) for p in signature.parameters.values()] == [
            ("signal", inspect.Parameter.empty, inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("dimension", 3, inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("delay", 1, inspect.Parameter.POSITIONAL_OR_KEYWORD),
        ]
        assert embed.__doc__ == "Time-delay embedding.\n\nReturns (n_points, dimension) array."

    def test_version(self):
        assert quorlin.__version__.count(".") == 2

    def test_import_without_numpy_then_first_call_fails_internally(self):
        out = run_isolated(
            """
            import sys
            sys.modules["numpy"] = None  # makes every numpy import fail
            from quorlin import _native
            try:
                _native.time_delay_embedding([1.0])
            except BaseException as failure:
                kind = type(failure)
                print(kind.__module__, kind.__qualname__, kind.__bases__ == (BaseException,),
                      "NumPy" in str(failure), bool(kind.__doc__))
            """
        )
        assert out == "_native_runtime InternalFailure True True True"

    def test_second_initialisation_raises_import_error(self):
        out = run_isolated(
            """
            import importlib, sys
            import quorlin._native as first
            del sys.modules["quorlin._native"]
            try:
                importlib.import_module("quorlin._native")
            except ImportError as error:
                print("ImportError", "once" in str(error))
            print(first.time_delay_embedding.__name__)
            """
        )
        assert out == "ImportError True\ntime_delay_embedding"


class TestParsing:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: embed(), "time_delay_embedding() missing 1 required positional argument: 'signal'"),
            (lambda: embed(dimension=2), "time_delay_embedding() missing 1 required positional argument: 'signal'"),
            (lambda: embed(x10, 3, 1, 4), "time_delay_embedding() takes from 1 to 3 positional arguments but 4 were given"),
            (lambda: embed(x10, signal=x10), "time_delay_embedding() got multiple values for argument 'signal'"),
            (lambda: embed(x10, 3, dimension=3), "time_delay_embedding() got multiple values for argument 'dimension'"),
            (lambda: embed(x10, dim=2), "time_delay_embedding() got an unexpected keyword argument 'dim'"),
            # The first offending keyword raises; later ones are not looked at.
            (lambda: embed(x10, zzz=1, signal=x10), "time_delay_embedding() got an unexpected keyword argument 'zzz'"),
            (lambda: embed(x10, signal=x10, zzz=1), "time_delay_embedding() got multiple values for argument 'signal'"),
        ],
    )
    def test_parse_errors(self, call, message):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message

    def test_every_parameter_by_position_or_keyword(self):
        expected = embed(x10, 2, 3)
        np.testing.assert_array_equal(embed(signal=x10, dimension=2, delay=3), expected)
        np.testing.assert_array_equal(embed(x10, delay=3, dimension=2), expected)


class TestSignalConversion:
    @pytest.mark.parametrize(
        "signal, type_name",
        [
            ([1.0, 2.0, 3.0], "list"),
            ((1.0, 2.0), "tuple"),
            (1.5, "float"),
            (np.float64(1.5), "float64"),
            (None, "NoneType"),
            (np.arange(5, dtype=np.float32), "ndarray"),
            (np.arange(5, dtype=np.int64), "ndarray"),
            (np.zeros((3, 2)), "ndarray"),
            (np.zeros(()), "ndarray"),
            (np.arange(5.0).astype(">f8"), "ndarray"),  # non-native byte order
        ],
    )
    def test_refused_with_qualified_type_name(self, signal, type_name):
        with pytest.raises(TypeError) as raised:
            embed(signal)
        assert str(raised.value) == f"argument 'signal': '{type_name}' object cannot be cast as 'ndarray'"
        assert type(raised.value) is TypeError

    def test_nested_class_uses_qualified_name(self):
        with pytest.raises(TypeError, match=r"'Outer\.Inner' object cannot be cast as 'ndarray'"):
            embed(Outer.Inner())

    def test_strided_view_refused_after_all_conversions(self):
        strided = np.arange(20.0)[::2]
        with pytest.raises(TypeError) as raised:
            embed(strided)
        assert str(raised.value) == "The given array is not contiguous"
        # A conversion failure of a later argument is reported first.
        with pytest.raises(TypeError, match="argument 'delay'"):
            embed(strided, 3, "x")

    @pytest.mark.parametrize(
        "make",
        [
            lambda a: a[2:9],  # does not own its data
            lambda a: np.ndarray(a.shape, a.dtype, buffer=a.copy()).view(),
            lambda a: a.copy().reshape(1, -1).T.reshape(-1),
            lambda a: np.asfortranarray(a),
        ],
        ids=["slice", "view", "reshaped", "fortran"],
    )
    def test_contiguous_views_accepted(self, make):
        base = np.arange(12.0)
        view = make(base)
        np.testing.assert_array_equal(embed(view, 2, 1), embed(np.array(view), 2, 1))

    def test_read_only_input_is_accepted_and_never_written(self):
        signal = np.linspace(0.0, 1.0, 50)
        signal.flags.writeable = False
        before = signal.copy()
        embed(signal, 3, 2)
        np.testing.assert_array_equal(signal, before)

    def test_unaligned_input_is_read_exactly(self):
        raw = bytearray(8 * 12 + 1)
        unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=12)
        assert not unaligned.flags.aligned
        values = np.arange(12.0) * 1.5
        memoryview(raw)[1:97] = values.tobytes()
        np.testing.assert_array_equal(embed(unaligned, 3, 2), embed(values, 3, 2))

    def test_subclass_of_ndarray_accepted(self):
        class Tagged(np.ndarray):
            pass

        tagged = np.arange(6.0).view(Tagged)
        assert embed(tagged).shape == (4, 3)


class TestIntegerConversion:
    @pytest.mark.parametrize("value", [3.0, "3", None, 3 + 0j, [3]])
    def test_non_integers_wrapped(self, value):
        with pytest.raises(TypeError) as raised:
            embed(x10, value)
        text = str(raised.value)
        assert text.startswith("argument 'dimension': ")
        assert "cannot be interpreted as an integer" in text

    @pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
    def test_out_of_range_passes_overflow_error_unchanged(self, value):
        with pytest.raises(OverflowError) as raised:
            embed(x10, value)
        assert "dimension" not in str(raised.value)

    @pytest.mark.parametrize(
        "value, as_int", [(np.int64(2), 2), (np.uint8(2), 2), (True, 1), (np.uint64(2**64 - 1), None)]
    )
    def test_integer_like_values(self, value, as_int):
        if as_int is None:
            with pytest.raises(ValueError, match="need at least"):
                embed(x10, value, 1)
        else:
            np.testing.assert_array_equal(embed(x10, value), embed(x10, as_int))

    def test_index_protocol_object(self):
        class Two:
            def __index__(self):
                return 2

        np.testing.assert_array_equal(embed(x10, Two()), embed(x10, 2))

    def test_wrapped_error_keeps_cause(self):
        class Broken:
            def __index__(self):
                try:
                    raise KeyError("inner")
                except KeyError as inner:
                    raise TypeError("bad index") from inner

        with pytest.raises(TypeError) as raised:
            embed(x10, Broken())
        assert str(raised.value) == "argument 'dimension': bad index"
        assert isinstance(raised.value.__cause__, KeyError)

    def test_non_type_error_from_index_passes_unchanged(self):
        class Failing:
            def __index__(self):
                raise ZeroDivisionError("nope")

        with pytest.raises(ZeroDivisionError, match="^nope$"):
            embed(x10, Failing())


class TestEmbeddingResults:
    def test_result_is_a_fresh_owning_matrix(self):
        signal = np.arange(8.0)
        result = embed(signal, 3, 2)
        assert result.dtype == np.float64 and result.shape == (4, 3)
        assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
        result[0, 0] = 99.0
        assert signal[0] == 0.0

    def test_nan_and_infinities_copied_unfiltered(self):
        signal = np.array([np.nan, 1.0, np.inf, -np.inf, 4.0])
        result = embed(signal, 2, 2)
        np.testing.assert_array_equal(result, [[np.nan, np.inf], [1.0, -np.inf], [np.inf, 4.0]])

    @pytest.mark.parametrize(
        "n, dimension, delay, needed",
        [
            (0, 3, 1, "3"),
            (2, 3, 1, "3"),
            (4, 3, 2, "5"),
            (5, 1, 0, None),
            (0, 1, 5, "1"),
            (10, 2, 2**64 - 1, "18446744073709551616"),
            (10, 2**64 - 1, 2**64 - 1, str((2**64 - 2) * (2**64 - 1) + 1)),
            (10, 2**63 + 1, 2, str(2**64 + 1)),
        ],
    )
    def test_too_short_message(self, n, dimension, delay, needed):
        signal = np.arange(float(n))
        if needed is None:
            assert embed(signal, dimension, delay).shape == (n, dimension)
            return
        with pytest.raises(ValueError) as raised:
            embed(signal, dimension, delay)
        assert str(raised.value) == f"Signal too short for embedding: {n} samples, need at least {needed}"

    def test_exactly_one_row_at_the_boundary(self):
        signal = np.arange(7.0)
        np.testing.assert_array_equal(embed(signal, 4, 2), [[0.0, 2.0, 4.0, 6.0]])

    def test_dimension_zero_refused(self):
        with pytest.raises(ValueError, match="dimension must be at least 1"):
            embed(x10, 0)

    def test_result_too_large_for_memory_raises_memory_error(self):
        with pytest.raises(MemoryError):
            embed(np.zeros(10**6), 10**6, 0)


SIGNATURES = {
    "hurst_exponent": '(signal, method="rs")',
    "permutation_entropy": "(signal, order=3, delay=1, normalize=True)",
    "sample_entropy": "(signal, m=2, r=None)",
    "lyapunov_rosenstein": "(signal, dimension=None, delay=None, min_tsep=None, max_iter=None)",
    "lyapunov_kantz": "(signal, dimension=None, delay=None, min_tsep=None, epsilon=None, max_iter=None)",
    "ftle_local_linearization": "(trajectory, time_horizon=10, n_neighbors=10, epsilon=None)",
    "ftle_direct_perturbation": (
        "(signal, dimension=3, delay=1, time_horizon=10, perturbation=1e-6, n_perturbations=10)"
    ),
    "optimal_delay": '(signal, max_lag=None, method="mutual_info")',
    "time_delay_embedding": "(signal, dimension=3, delay=1)",
    "optimal_dimension": '(signal, delay=None, max_dim=10, method="fnn", threshold=0.01)',
}

BODIES = {
    "permutation_entropy": "Permutation entropy.\n\nMeasures complexity via ordinal pattern distribution.",
    "sample_entropy": (
        "Sample entropy.\n\nSampEn = -log(A/B) where B = m-length matches, A = (m+1)-length matches."
    ),
    "lyapunov_rosenstein": (
        "Rosenstein's method for largest Lyapunov exponent.\n\n"
        "Returns (lambda_max, divergence_curve, iterations)."
    ),
    "lyapunov_kantz": (
        "Kantz's method for largest Lyapunov exponent.\n\nReturns (max_lyapunov, divergence_curve)."
    ),
    "ftle_local_linearization": (
        "FTLE via local linearization of neighbor trajectories.\n\n"
        "Returns (ftle_values, confidence) arrays."
    ),
    "ftle_direct_perturbation": (
        "FTLE via direct perturbation of delay-embedded signal.\n\n"
        "Returns (ftle_values, jacobian_norms)."
    ),
    "optimal_delay": "Estimate optimal delay via AMI first minimum.",
    "time_delay_embedding": "Time-delay embedding.\n\nReturns (n_points, dimension) array.",
    "optimal_dimension": "Estimate optimal embedding dimension via FNN or Cao's method.",
}

walk = np.cumsum(np.random.default_rng(7).standard_normal(300))


def first_argument(name):
    return walk.reshape(-1, 3) if name == "ftle_local_linearization" else walk


def same_result(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_result(u, v) for u, v in zip(a, b))
    return np.asarray(a).tobytes() == np.asarray(b).tobytes() and type(a) is type(b)


class TestFunctionTable:
    def test_all_ten_in_table_order(self):
        assert _native.__all__ == list(SIGNATURES)

    @pytest.mark.parametrize("name", SIGNATURES)
    def test_text_signatures_and_bodies(self, name):
        function = getattr(_native, name)
        assert function.__text_signature__ == SIGNATURES[name]
        if name in BODIES:
            assert function.__doc__ == BODIES[name]

    def test_hurst_docstring_frame(self):
        doc = _native.hurst_exponent.__doc__
        head, port, tail = doc.split("\n\n", 2)
        assert head == "Hurst exponent via R/S analysis."
        assert "Ostrel" in port or "ostrel" in port
        assert tail == (
            "Config constants (from ostrel.primitives.config):\n  rs_min_k = 10\n"
            "  rs_max_k_ratio = 0.5\n  rs_max_k_cap = 100"
        )

    @pytest.mark.parametrize("name", SIGNATURES)
    def test_signature_defaults_are_the_defaults_in_effect(self, name):
        function = getattr(_native, name)
        parameters = list(inspect.signature(function).parameters.values())
        explicit = {p.name: p.default for p in parameters[1:]}
        first = first_argument(name)
        assert same_result(function(first), function(first, **explicit))
        assert same_result(function(first), function(**{parameters[0].name: first}))

    @pytest.mark.parametrize("name", [n for n in SIGNATURES if n != "ftle_local_linearization"])
    def test_strided_signal_refused_by_every_signal_function(self, name):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            getattr(_native, name)(np.arange(40.0)[::2])

    def test_contiguity_checked_only_after_all_conversions(self):
        with pytest.raises(TypeError, match="^argument 'method': 'int' object cannot be cast as 'str'$"):
            _native.optimal_delay(np.arange(40.0)[::2], method=5)

    def test_trajectory_needs_no_contiguity(self):
        trajectory = np.ascontiguousarray(walk.reshape(-1, 3))
        strided = np.empty((100, 6))
        strided[:, ::2] = trajectory
        assert same_result(
            _native.ftle_local_linearization(strided[:, ::2]), _native.ftle_local_linearization(trajectory)
        )

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: _native.permutation_entropy(walk, normalize=1),
             "argument 'normalize': 'int' object cannot be cast as 'bool'"),
            (lambda: _native.permutation_entropy(walk, normalize=None),
             "argument 'normalize': 'NoneType' object cannot be cast as 'bool'"),
            (lambda: _native.permutation_entropy(walk, normalize="yes"),
             "argument 'normalize': 'str' object cannot be cast as 'bool'"),
            (lambda: _native.permutation_entropy(walk, normalize=np.int64(1)),
             "argument 'normalize': 'int64' object cannot be cast as 'bool'"),
            (lambda: _native.hurst_exponent(walk, None),
             "argument 'method': 'NoneType' object cannot be cast as 'str'"),
            (lambda: _native.optimal_dimension(walk, threshold="x"),
             "argument 'threshold': must be real number, not str"),
            (lambda: _native.optimal_dimension(walk, threshold=None),
             "argument 'threshold': must be real number, not NoneType"),
            (lambda: _native.sample_entropy(walk, m=None),
             "argument 'm': 'NoneType' object cannot be interpreted as an integer"),
            (lambda: _native.lyapunov_kantz(walk, epsilon="x"),
             "argument 'epsilon': must be real number, not str"),
            (lambda: _native.ftle_local_linearization(walk),
             "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
            (lambda: _native.ftle_local_linearization(walk.reshape(10, 10, 3)),
             "argument 'trajectory': 'ndarray' object cannot be cast as 'ndarray'"),
        ],
    )
    def test_conversion_messages(self, call, message):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message

    @pytest.mark.parametrize(
        "call, equivalent",
        [
            (lambda: _native.permutation_entropy(walk, normalize=np.True_),
             lambda: _native.permutation_entropy(walk, normalize=True)),
            (lambda: _native.permutation_entropy(walk, normalize=np.False_),
             lambda: _native.permutation_entropy(walk, normalize=False)),
            (lambda: _native.optimal_dimension(walk, threshold=1),
             lambda: _native.optimal_dimension(walk, threshold=1.0)),
            (lambda: _native.optimal_dimension(walk, threshold=np.float32(0.5)),
             lambda: _native.optimal_dimension(walk, threshold=0.5)),
            (lambda: _native.optimal_dimension(walk, delay=None),
             lambda: _native.optimal_dimension(walk, delay=1)),
            (lambda: _native.sample_entropy(walk, r=None),
             lambda: _native.sample_entropy(walk)),
            (lambda: _native.hurst_exponent(walk, method=type("Text", (str,), {})("dfa")),
             lambda: _native.hurst_exponent(walk, method="dfa")),
            (lambda: _native.lyapunov_rosenstein(walk, np.uint16(3), True),
             lambda: _native.lyapunov_rosenstein(walk, 3, 1)),
        ],
    )
    def test_equivalent_argument_forms(self, call, equivalent):
        assert same_result(call(), equivalent())

    def test_double_conversion_overflow_passes_unchanged(self):
        with pytest.raises(OverflowError):
            _native.sample_entropy(walk, r=10**400)

    def test_lone_surrogate_text_raises_the_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            _native.hurst_exponent(walk, "\udc80")


class TestOwnedVectors:
    def test_result_arrays_take_over_the_computations_buffers(self):
        _, curve, iterations = _native.lyapunov_rosenstein(walk)
        for array in (curve, iterations):
            assert array.dtype == np.float64 and array.ndim == 1
            assert array.flags.c_contiguous and array.flags.writeable
            assert not array.flags.owndata and array.base is not None
            assert type(array.base).__qualname__ != "ndarray"
        np.testing.assert_array_equal(iterations, np.arange(len(curve), dtype=float))

    def test_owned_vector_outlives_the_call(self):
        import gc

        values = _native.ftle_direct_perturbation(walk)[0]
        expected = values.copy()
        gc.collect()
        values[:] += 0.0
        np.testing.assert_array_equal(values, expected)

    def test_empty_owned_vector(self):
        value, curve = _native.lyapunov_kantz(np.zeros(3))
        assert np.isnan(value) and curve.shape == (0,) and curve.dtype == np.float64
