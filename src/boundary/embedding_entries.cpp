#include "boundary/arguments.hpp"
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/results.hpp"
#include "embedding/delay.hpp"

namespace quorlin::boundary {
namespace {

constexpr const char* kOptimalDelayNames[] = {"signal", "max_lag", "method"};
constexpr ParameterTable kOptimalDelay{"optimal_delay", kOptimalDelayNames, 1};

constexpr const char* kTimeDelayEmbeddingNames[] = {"signal", "dimension", "delay"};
constexpr ParameterTable kTimeDelayEmbedding{"time_delay_embedding", kTimeDelayEmbeddingNames, 1};

constexpr const char* kOptimalDimensionNames[] = {"signal", "delay", "max_dim", "method",
                                                  "threshold"};
constexpr ParameterTable kOptimalDimension{"optimal_dimension", kOptimalDimensionNames, 1};

}  // namespace

PyObject* optimal_delay(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kOptimalDelay, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto max_lag = in.optional_unsigned_integer();
        const auto method = in.text("mutual_info");
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const auto delay = embedding::optimal_delay(signal.samples(), max_lag, method, stop_on_signals());
        signal.reset(nullptr);  // the borrow ends before the result exists
        return int_result(delay);
    });
}

PyObject* time_delay_embedding(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kTimeDelayEmbedding, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const auto embedded = embedding::time_delay_embedding(signal.samples(), dimension, delay,
                                                              stop_on_signals());
        if (const auto* refusal = std::get_if<Invalid>(&embedded)) return raise_invalid(*refusal);
        return matrix_result(std::get<EmbeddedPoints>(embedded));
    });
}

PyObject* optimal_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kOptimalDimension, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto delay = in.optional_unsigned_integer();
        const auto max_dim = in.unsigned_integer(10);
        const auto method = in.text("fnn");
        const auto threshold = in.real(0.01);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const auto dimension =
            embedding::optimal_dimension(signal.samples(), delay, max_dim, method, threshold,
                                         stop_on_signals());
        signal.reset(nullptr);  // the borrow ends before the result exists
        return int_result(dimension);
    });
}

}  // namespace quorlin::boundary
