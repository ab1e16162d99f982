#include "boundary/arguments.hpp"
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/results.hpp"
#include "complexity/entropy.hpp"
#include "complexity/hurst.hpp"

namespace quorlin::boundary {
namespace {

constexpr const char* kHurstExponentNames[] = {"signal", "method"};
constexpr ParameterTable kHurstExponent{"hurst_exponent", kHurstExponentNames, 1};

constexpr const char* kPermutationEntropyNames[] = {"signal", "order", "delay", "normalize"};
constexpr ParameterTable kPermutationEntropy{"permutation_entropy", kPermutationEntropyNames, 1};

constexpr const char* kSampleEntropyNames[] = {"signal", "m", "r"};
constexpr ParameterTable kSampleEntropy{"sample_entropy", kSampleEntropyNames, 1};

// The input array is released before the result object is built: a scalar
// result keeps nothing of it.
PyObject* release_then_float(SignalView& signal, double value) {
    signal.reset(nullptr);
    return float_result(value);
}

}  // namespace

PyObject* hurst_exponent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kHurstExponent, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto method = in.text("rs");
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const double h =
            complexity::hurst_exponent(signal.samples(), complexity::hurst_method(method),
                                       stop_on_signals());
        return release_then_float(signal, h);
    });
}

PyObject* permutation_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kPermutationEntropy, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto order = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        const bool normalize = in.boolean(true);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const double h =
            complexity::permutation_entropy(signal.samples(), order, delay, normalize,
                                            stop_on_signals());
        return release_then_float(signal, h);
    });
}

PyObject* sample_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kSampleEntropy, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto m = in.unsigned_integer(2);
        const auto r = in.optional_real();
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const double entropy = complexity::sample_entropy(signal.samples(), m, r, stop_on_signals());
        return release_then_float(signal, entropy);
    });
}

}  // namespace quorlin::boundary
