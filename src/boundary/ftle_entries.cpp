#include <utility>

#include "boundary/arguments.hpp"
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/results.hpp"
#include "dynamics/ftle.hpp"

namespace quorlin::boundary {
namespace {

constexpr const char* kFtleLocalLinearizationNames[] = {"trajectory", "time_horizon",
                                                        "n_neighbors", "epsilon"};
constexpr ParameterTable kFtleLocalLinearization{"ftle_local_linearization",
                                                 kFtleLocalLinearizationNames, 1};

constexpr const char* kFtleDirectPerturbationNames[] = {
    "signal", "dimension", "delay", "time_horizon", "perturbation", "n_perturbations"};
constexpr ParameterTable kFtleDirectPerturbation{"ftle_direct_perturbation",
                                                 kFtleDirectPerturbationNames, 1};

}  // namespace

PyObject* ftle_local_linearization(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kFtleLocalLinearization, args, nargs, kwnames);
        // Any layout is read in place through the strides: no contiguity check.
        TrajectoryView trajectory;
        in.trajectory(trajectory);
        const auto time_horizon = in.unsigned_integer(10);
        const auto n_neighbors = in.unsigned_integer(10);
        const auto epsilon = in.optional_real();
        if (!in.ok()) return nullptr;
        auto ftle = dynamics::ftle_local_linearization(trajectory.points(), time_horizon,
                                                       n_neighbors, epsilon, stop_on_signals());
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.confidence))});
    });
}

PyObject* ftle_direct_perturbation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments in(kFtleDirectPerturbation, args, nargs, kwnames);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        const auto time_horizon = in.unsigned_integer(10);
        // `perturbation` and `n_perturbations` are converted, so that a wrong
        // type is still refused, but unused: the perturbed copy of a point is
        // its nearest neighbour in the data, not a random displacement of a
        // given size, and the result is deterministic.
        static_cast<void>(in.real(1e-6));
        static_cast<void>(in.unsigned_integer(10));
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        auto ftle = dynamics::ftle_direct_perturbation(signal.samples(), dimension, delay,
                                                       time_horizon, stop_on_signals());
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.jacobian_norms))});
    });
}

}  // namespace quorlin::boundary
