#include <utility>

#include "boundary/arguments.hpp"
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/results.hpp"
#include "dynamics/lyapunov.hpp"

namespace quorlin::boundary {
namespace {

constexpr const char* kRosensteinNames[] = {"signal", "dimension", "delay", "min_tsep",
                                            "max_iter"};
constexpr ParameterTable kRosenstein{"lyapunov_rosenstein", kRosensteinNames, 1};

constexpr const char* kKantzNames[] = {"signal",   "dimension", "delay",
                                       "min_tsep", "epsilon",   "max_iter"};
constexpr ParameterTable kKantz{"lyapunov_kantz", kKantzNames, 1};

}  // namespace

PyObject* lyapunov_rosenstein(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kRosenstein, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.optional_unsigned_integer();
        const auto delay = in.optional_unsigned_integer();
        const auto min_tsep = in.optional_unsigned_integer();
        const auto max_iter = in.optional_unsigned_integer();
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        auto result =
            dynamics::lyapunov_rosenstein(signal.samples(), dimension, delay, min_tsep,
                                                    max_iter, stop_on_signals());
        return tuple_result({float_result(result.lambda_max),
                             owned_vector(std::move(result.divergence_curve)),
                             owned_vector(std::move(result.iterations))});
    });
}

PyObject* lyapunov_kantz(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kKantz, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.optional_unsigned_integer();
        const auto delay = in.optional_unsigned_integer();
        const auto min_tsep = in.optional_unsigned_integer();
        const auto epsilon = in.optional_real();
        const auto max_iter = in.optional_unsigned_integer();
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        auto result = dynamics::lyapunov_kantz(signal.samples(), dimension, delay, min_tsep,
                                               epsilon, max_iter, stop_on_signals());
        return tuple_result({float_result(result.max_lyapunov),
                             owned_vector(std::move(result.divergence_curve))});
    });
}

}  // namespace quorlin::boundary
