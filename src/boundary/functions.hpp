// The module's functions, one row each, in registration order: the parameter
// table (names, kinds, defaults), the engine's docstring body, the kernel
// call and the result objects. Both modules are generated from these rows:
// the engine (engine_entry.hpp: arguments read in place, one thread, the
// interpreter lock held) and the threaded module (parallel_entry.hpp: private
// copies, workers, the lock released).
//
// compute() receives the converted arguments in parameter order, an array
// argument as what the kernel reads (the samples of a signal, the strided
// rows of a trajectory), then the execution context; a row that declares
// `anchor_unit` also takes the anchor subset, which only the threaded module
// passes. result() builds the Python object from what compute() returned.
//
// Adding a function: its kernel, its row here (and in Functions below), its
// wrapper and docstring in python/quorlin/functions.py, its two stubs, its
// tests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/parse.hpp"
#include "boundary/results.hpp"
#include "common/execution.hpp"
#include "complexity/entropy.hpp"
#include "complexity/hurst.hpp"
#include "dynamics/ftle.hpp"
#include "dynamics/lyapunov.hpp"
#include "embedding/delay.hpp"

namespace quorlin::boundary {

using Samples = std::span<const double>;
using Count = std::uint64_t;
using OptionalCount = std::optional<std::uint64_t>;
using OptionalReal = std::optional<double>;

struct HurstExponent {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"method", Kind::text, "\"rs\""},
    };
    static constexpr ParameterTable table{"hurst_exponent", parameters};
    static constexpr const char* doc =
        "Hurst exponent via R/S analysis.\n\n"
        "Port of ostrel.primitives.hurst_exponent.\n\n"
        "Config constants (from ostrel.primitives.config):\n  rs_min_k = 10\n"
        "  rs_max_k_ratio = 0.5\n  rs_max_k_cap = 100";

    static double compute(Samples signal, std::string_view method,
                          const ExecutionContext& context) {
        return complexity::hurst_exponent(signal, complexity::hurst_method(method), context);
    }
    static PyObject* result(double h) { return float_result(h); }
};

struct PermutationEntropy {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"order", Kind::unsigned_integer, "3"},
        {"delay", Kind::unsigned_integer, "1"},
        {"normalize", Kind::boolean, "True"},
    };
    static constexpr ParameterTable table{"permutation_entropy", parameters};
    static constexpr const char* doc =
        "Permutation entropy.\n\nMeasures complexity via ordinal pattern distribution.";

    static double compute(Samples signal, Count order, Count delay, bool normalize,
                          const ExecutionContext& context) {
        return complexity::permutation_entropy(signal, order, delay, normalize, context);
    }
    static PyObject* result(double h) { return float_result(h); }
};

struct SampleEntropy {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"m", Kind::unsigned_integer, "2"},
        {"r", Kind::optional_real, "None"},
    };
    static constexpr ParameterTable table{"sample_entropy", parameters};
    static constexpr const char* doc =
        "Sample entropy.\n\nSampEn = -log(A/B) where B = m-length matches, A = (m+1)-length "
        "matches.";

    static double compute(Samples signal, Count m, OptionalReal r,
                          const ExecutionContext& context) {
        return complexity::sample_entropy(signal, m, r, context);
    }
    static PyObject* result(double entropy) { return float_result(entropy); }
};

struct LyapunovRosenstein {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"dimension", Kind::optional_unsigned_integer, "None"},
        {"delay", Kind::optional_unsigned_integer, "None"},
        {"min_tsep", Kind::optional_unsigned_integer, "None"},
        {"max_iter", Kind::optional_unsigned_integer, "None"},
    };
    static constexpr ParameterTable table{"lyapunov_rosenstein", parameters};
    static constexpr const char* doc =
        "Rosenstein's method for largest Lyapunov exponent.\n\n"
        "Returns (lambda_max, divergence_curve, iterations).";

    static dynamics::RosensteinResult compute(Samples signal, OptionalCount dimension,
                                              OptionalCount delay, OptionalCount min_tsep,
                                              OptionalCount max_iter,
                                              const ExecutionContext& context) {
        return dynamics::lyapunov_rosenstein(signal, dimension, delay, min_tsep, max_iter,
                                             context);
    }
    static PyObject* result(dynamics::RosensteinResult&& exponent) {
        return tuple_result({float_result(exponent.lambda_max),
                             owned_vector(std::move(exponent.divergence_curve)),
                             owned_vector(std::move(exponent.iterations))});
    }
};

struct LyapunovKantz {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"dimension", Kind::optional_unsigned_integer, "None"},
        {"delay", Kind::optional_unsigned_integer, "None"},
        {"min_tsep", Kind::optional_unsigned_integer, "None"},
        {"epsilon", Kind::optional_real, "None"},
        {"max_iter", Kind::optional_unsigned_integer, "None"},
    };
    static constexpr ParameterTable table{"lyapunov_kantz", parameters};
    static constexpr const char* doc =
        "Kantz's method for largest Lyapunov exponent.\n\n"
        "Returns (max_lyapunov, divergence_curve).";

    static dynamics::KantzResult compute(Samples signal, OptionalCount dimension,
                                         OptionalCount delay, OptionalCount min_tsep,
                                         OptionalReal epsilon, OptionalCount max_iter,
                                         const ExecutionContext& context) {
        return dynamics::lyapunov_kantz(signal, dimension, delay, min_tsep, epsilon, max_iter,
                                        context);
    }
    static PyObject* result(dynamics::KantzResult&& exponent) {
        return tuple_result({float_result(exponent.max_lyapunov),
                             owned_vector(std::move(exponent.divergence_curve))});
    }
};

struct FtleLocalLinearization {
    static constexpr Parameter parameters[] = {
        {"trajectory", Kind::trajectory},
        {"time_horizon", Kind::unsigned_integer, "10"},
        {"n_neighbors", Kind::unsigned_integer, "10"},
        {"epsilon", Kind::optional_real, "None"},
    };
    static constexpr ParameterTable table{"ftle_local_linearization", parameters};
    static constexpr const char* doc =
        "FTLE via local linearization of neighbor trajectories.\n\n"
        "Returns (ftle_values, confidence) arrays.";
    // Each row of the trajectory is an anchor (the threaded module's subset).
    static constexpr const char* anchor_unit = "rows";
    static constexpr const char* anchors_doc =
        "`anchors`: None for every row, or the rows to estimate (strictly increasing integers "
        "below len(trajectory)); the other entries keep their no-estimate values (NaN, "
        "confidence 0.0), and each estimated entry has the bits of the full call.";

    static dynamics::LocalLinearizationFtle compute(const StridedPoints& trajectory,
                                                    Count time_horizon, Count n_neighbors,
                                                    OptionalReal epsilon,
                                                    const ExecutionContext& context,
                                                    dynamics::AnchorSubset anchors = std::nullopt) {
        return dynamics::ftle_local_linearization(trajectory, time_horizon, n_neighbors, epsilon,
                                                  context, anchors);
    }
    static PyObject* result(dynamics::LocalLinearizationFtle&& ftle) {
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.confidence))});
    }
};

struct FtleDirectPerturbation {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"dimension", Kind::unsigned_integer, "3"},
        {"delay", Kind::unsigned_integer, "1"},
        {"time_horizon", Kind::unsigned_integer, "10"},
        {"perturbation", Kind::real, "1e-6"},
        {"n_perturbations", Kind::unsigned_integer, "10"},
    };
    static constexpr ParameterTable table{"ftle_direct_perturbation", parameters};
    static constexpr const char* doc =
        "FTLE via direct perturbation of delay-embedded signal.\n\n"
        "Returns (ftle_values, jacobian_norms).";
    // Each sample starts at most one embedded point, the anchor of its index
    // (the threaded module's subset).
    static constexpr const char* anchor_unit = "samples";
    static constexpr const char* anchors_doc =
        "`anchors`: None for every point, or the points to estimate (strictly increasing "
        "integers below len(signal); those past the last point of the result are ignored); the "
        "other entries keep their no-estimate values (0.0), and each estimated entry has the "
        "bits of the full call.";

    // `perturbation` and `n_perturbations` are converted, so that a wrong
    // type is still refused, but unused: the perturbed copy of a point is its
    // nearest neighbour in the data, not a random displacement of a given
    // size, and the result is deterministic.
    static dynamics::DirectPerturbationFtle compute(Samples signal, Count dimension, Count delay,
                                                    Count time_horizon, double /*perturbation*/,
                                                    Count /*n_perturbations*/,
                                                    const ExecutionContext& context,
                                                    dynamics::AnchorSubset anchors = std::nullopt) {
        return dynamics::ftle_direct_perturbation(signal, dimension, delay, time_horizon, context,
                                                  anchors);
    }
    static PyObject* result(dynamics::DirectPerturbationFtle&& ftle) {
        return tuple_result({owned_vector(std::move(ftle.ftle_values)),
                             owned_vector(std::move(ftle.jacobian_norms))});
    }
};

struct OptimalDelay {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"max_lag", Kind::optional_unsigned_integer, "None"},
        {"method", Kind::text, "\"mutual_info\""},
    };
    static constexpr ParameterTable table{"optimal_delay", parameters};
    static constexpr const char* doc = "Estimate optimal delay via AMI first minimum.";

    static std::uint64_t compute(Samples signal, OptionalCount max_lag, std::string_view method,
                                 const ExecutionContext& context) {
        return embedding::optimal_delay(signal, max_lag, method, context);
    }
    static PyObject* result(std::uint64_t delay) { return int_result(delay); }
};

struct TimeDelayEmbedding {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"dimension", Kind::unsigned_integer, "3"},
        {"delay", Kind::unsigned_integer, "1"},
    };
    static constexpr ParameterTable table{"time_delay_embedding", parameters};
    static constexpr const char* doc =
        "Time-delay embedding.\n\nReturns (n_points, dimension) array.";

    static Validated<EmbeddedPoints> compute(Samples signal, Count dimension, Count delay,
                                             const ExecutionContext& context) {
        return embedding::time_delay_embedding(signal, dimension, delay, context);
    }
    static PyObject* result(Validated<EmbeddedPoints>&& embedded) {
        if (const auto* refusal = std::get_if<Invalid>(&embedded)) return raise_invalid(*refusal);
        return matrix_result(std::get<EmbeddedPoints>(embedded));
    }
};

struct OptimalDimension {
    static constexpr Parameter parameters[] = {
        {"signal", Kind::signal},
        {"delay", Kind::optional_unsigned_integer, "None"},
        {"max_dim", Kind::unsigned_integer, "10"},
        {"method", Kind::text, "\"fnn\""},
        {"threshold", Kind::real, "0.01"},
    };
    static constexpr ParameterTable table{"optimal_dimension", parameters};
    static constexpr const char* doc =
        "Estimate optimal embedding dimension via FNN or Cao's method.";

    static std::uint64_t compute(Samples signal, OptionalCount delay, Count max_dim,
                                 std::string_view method, double threshold,
                                 const ExecutionContext& context) {
        return embedding::optimal_dimension(signal, delay, max_dim, method, threshold, context);
    }
    static PyObject* result(std::uint64_t dimension) { return int_result(dimension); }
};

template <class... Function>
struct FunctionList {
    static constexpr std::size_t size = sizeof...(Function);
};

// Registration order: the modules' tables and __all__ follow it.
using Functions = FunctionList<HurstExponent, PermutationEntropy, SampleEntropy,
                               LyapunovRosenstein, LyapunovKantz, FtleLocalLinearization,
                               FtleDirectPerturbation, OptimalDelay, TimeDelayEmbedding,
                               OptimalDimension>;

}  // namespace quorlin::boundary
