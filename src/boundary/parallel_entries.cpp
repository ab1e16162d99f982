#include "boundary/parallel_entries.hpp"

#include <iterator>
#include <string>
#include <utility>

#include "boundary/arguments.hpp"
#include "boundary/failure.hpp"
#include "boundary/parallel_inputs.hpp"
#include "boundary/parallel_supervision.hpp"
#include "boundary/results.hpp"
#include "complexity/entropy.hpp"
#include "complexity/hurst.hpp"
#include "dynamics/ftle.hpp"
#include "dynamics/lyapunov.hpp"
#include "embedding/delay.hpp"

namespace quorlin::boundary::parallel {
namespace {

// Every parameter is required: the Python wrappers pass each one.
template <std::size_t N>
constexpr ParameterTable table(const char* function, const char* const (&names)[N]) {
    static_assert(N <= kMaxParameters);
    return ParameterTable{function, names, N};
}

constexpr const char* kHurstNames[] = {"signal", "method", "workers", "progress"};
constexpr const char* kPermutationNames[] = {"signal",    "order",   "delay",
                                             "normalize", "workers", "progress"};
constexpr const char* kSampleNames[] = {"signal", "m", "r", "workers", "progress"};
constexpr const char* kRosensteinNames[] = {"signal",   "dimension", "delay",   "min_tsep",
                                            "max_iter", "workers",   "progress"};
constexpr const char* kKantzNames[] = {"signal",  "dimension", "delay",   "min_tsep",
                                       "epsilon", "max_iter",  "workers", "progress"};
constexpr const char* kLocalNames[] = {"trajectory", "time_horizon", "n_neighbors", "epsilon",
                                       "anchors",    "workers",      "progress"};
constexpr const char* kDirectNames[] = {"signal",       "dimension",       "delay",
                                        "time_horizon", "perturbation",    "n_perturbations",
                                        "anchors",      "workers",         "progress"};
constexpr const char* kDelayNames[] = {"signal", "max_lag", "method", "workers", "progress"};
constexpr const char* kEmbeddingNames[] = {"signal", "dimension", "delay", "workers",
                                           "progress"};
constexpr const char* kDimensionNames[] = {"signal", "delay",   "max_dim", "method",
                                           "threshold", "workers", "progress"};

constexpr ParameterTable kHurst = table("hurst_exponent", kHurstNames);
constexpr ParameterTable kPermutation = table("permutation_entropy", kPermutationNames);
constexpr ParameterTable kSample = table("sample_entropy", kSampleNames);
constexpr ParameterTable kRosenstein = table("lyapunov_rosenstein", kRosensteinNames);
constexpr ParameterTable kKantz = table("lyapunov_kantz", kKantzNames);
constexpr ParameterTable kLocal = table("ftle_local_linearization", kLocalNames);
constexpr ParameterTable kDirect = table("ftle_direct_perturbation", kDirectNames);
constexpr ParameterTable kDelay = table("optimal_delay", kDelayNames);
constexpr ParameterTable kEmbedding = table("time_delay_embedding", kEmbeddingNames);
constexpr ParameterTable kDimension = table("optimal_dimension", kDimensionNames);

// The two arguments every function ends with.
struct Supervision {
    unsigned workers = 1;
    PyObject* progress = nullptr;  // borrowed

    void convert(Arguments& in) {
        in.required(convert_workers, workers);
        in.required(convert_progress, progress);
    }

    template <class Compute>
    auto run(Compute&& compute) const {
        return supervised(workers, progress, std::forward<Compute>(compute));
    }
};

// Method texts are kept as strings of the call's own: the kernel reads them
// on another thread.
std::string owned(std::string_view text) { return std::string(text); }

dynamics::AnchorSubset subset(const std::optional<std::vector<std::uint64_t>>& anchors) {
    if (!anchors) return std::nullopt;
    return std::span<const std::uint64_t>(*anchors);
}

}  // namespace

PyObject* hurst_exponent(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kHurst, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto method = complexity::hurst_method(in.text("rs"));
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const double h = run.run([&](const ExecutionContext& context) {
            return complexity::hurst_exponent(samples, method, context);
        });
        return float_result(h);
    });
}

PyObject* permutation_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kPermutation, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto order = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        const bool normalize = in.boolean(true);
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const double h = run.run([&](const ExecutionContext& context) {
            return complexity::permutation_entropy(samples, order, delay, normalize, context);
        });
        return float_result(h);
    });
}

PyObject* sample_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kSample, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto m = in.unsigned_integer(2);
        const auto r = in.optional_real();
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const double entropy = run.run([&](const ExecutionContext& context) {
            return complexity::sample_entropy(samples, m, r, context);
        });
        return float_result(entropy);
    });
}

PyObject* lyapunov_rosenstein(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kRosenstein, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.optional_unsigned_integer();
        const auto delay = in.optional_unsigned_integer();
        const auto min_tsep = in.optional_unsigned_integer();
        const auto max_iter = in.optional_unsigned_integer();
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        auto result = run.run([&](const ExecutionContext& context) {
            return dynamics::lyapunov_rosenstein(samples, dimension, delay, min_tsep, max_iter,
                                                 context);
        });
        return tuple_result({float_result(result.lambda_max),
                             owned_vector(std::move(result.divergence_curve)),
                             owned_vector(std::move(result.iterations))});
    });
}

PyObject* lyapunov_kantz(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kKantz, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.optional_unsigned_integer();
        const auto delay = in.optional_unsigned_integer();
        const auto min_tsep = in.optional_unsigned_integer();
        const auto epsilon = in.optional_real();
        const auto max_iter = in.optional_unsigned_integer();
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        auto result = run.run([&](const ExecutionContext& context) {
            return dynamics::lyapunov_kantz(samples, dimension, delay, min_tsep, epsilon, max_iter,
                                            context);
        });
        return tuple_result({float_result(result.max_lyapunov),
                             owned_vector(std::move(result.divergence_curve))});
    });
}

PyObject* ftle_local_linearization(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kLocal, args, nargs, nullptr);
        TrajectoryView trajectory;
        in.trajectory(trajectory);
        const auto time_horizon = in.unsigned_integer(10);
        const auto n_neighbors = in.unsigned_integer(10);
        const auto epsilon = in.optional_real();
        std::optional<std::vector<std::uint64_t>> anchors;
        in.required(convert_anchors, anchors);
        Supervision run;
        run.convert(in);
        if (!in.ok()) return nullptr;
        StridedPoints points;
        const std::vector<double> coords = private_trajectory(trajectory, points);
        if (!check_anchors(anchors, points.n_rows, "rows")) return nullptr;
        auto ftle = run.run([&](const ExecutionContext& context) {
            return dynamics::ftle_local_linearization(points, time_horizon, n_neighbors, epsilon,
                                                      context, subset(anchors));
        });
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.confidence))});
    });
}

PyObject* ftle_direct_perturbation(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kDirect, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        const auto time_horizon = in.unsigned_integer(10);
        // Converted, so that a wrong type is refused as by the engine, and
        // unused, as there.
        static_cast<void>(in.real(1e-6));
        static_cast<void>(in.unsigned_integer(10));
        std::optional<std::vector<std::uint64_t>> anchors;
        in.required(convert_anchors, anchors);
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        if (!check_anchors(anchors, samples.size(), "samples")) return nullptr;
        auto ftle = run.run([&](const ExecutionContext& context) {
            return dynamics::ftle_direct_perturbation(samples, dimension, delay, time_horizon,
                                                      context, subset(anchors));
        });
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.jacobian_norms))});
    });
}

PyObject* optimal_delay(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kDelay, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto max_lag = in.optional_unsigned_integer();
        const std::string method = owned(in.text("mutual_info"));
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const auto delay = run.run([&](const ExecutionContext& context) {
            return embedding::optimal_delay(samples, max_lag, method, context);
        });
        return int_result(delay);
    });
}

PyObject* time_delay_embedding(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kEmbedding, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto dimension = in.unsigned_integer(3);
        const auto delay = in.unsigned_integer(1);
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const auto embedded = run.run([&](const ExecutionContext& context) {
            return embedding::time_delay_embedding(samples, dimension, delay, context);
        });
        if (const auto* refusal = std::get_if<Invalid>(&embedded)) return raise_invalid(*refusal);
        return matrix_result(std::get<EmbeddedPoints>(embedded));
    });
}

PyObject* optimal_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        Arguments in(kDimension, args, nargs, nullptr);
        SignalView signal;
        in.signal(signal);
        const auto delay = in.optional_unsigned_integer();
        const auto max_dim = in.unsigned_integer(10);
        const std::string method = owned(in.text("fnn"));
        const auto threshold = in.real(0.01);
        Supervision run;
        run.convert(in);
        if (!in.ok() || !signal.require_contiguous()) return nullptr;
        const std::vector<double> samples = private_samples(signal);
        const auto dimension = run.run([&](const ExecutionContext& context) {
            return embedding::optimal_dimension(samples, delay, max_dim, method, threshold,
                                                context);
        });
        return int_result(dimension);
    });
}

}  // namespace quorlin::boundary::parallel
