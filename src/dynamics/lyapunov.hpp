// The largest Lyapunov exponent of a scalar series from the mean logarithmic
// divergence of neighbouring delay-embedded trajectories, by Rosenstein's
// method (each point followed with its single nearest neighbour) and by
// Kantz's method (every pair within a radius followed).
//
// Neither function refuses its input: a series too short, constant or too
// NaN-laden for an estimate gives NaN and empty curves.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/execution.hpp"

namespace quorlin::dynamics {

struct RosensteinResult {
    double lambda_max;
    std::vector<double> divergence_curve;  // mean ln(distance) per step, NaN where no pair
    std::vector<double> iterations;        // 0, 1, ..., K - 1
};

struct KantzResult {
    double max_lyapunov;
    std::vector<double> divergence_curve;  // only the steps that received contributions
};

struct DimensionAndDelay {
    std::uint64_t dimension;
    std::uint64_t delay;
};

// The (dimension, delay) Rosenstein's method embeds n valid samples with,
// given the requested (m0, tau0) with m0 >= 1: the first candidate that
// leaves at least max(50, n / 4) points, searched in the order
//   (m0, tau0);
//   (d, tau0)  for d = m0 - 1 down to 2;
//   (m0, t)    for t = tau0 - 1 down to 1;
//   (d, t)     for d = m0 - 1 down to 2, and for each d, t = tau0 - 1 down to 1;
// or no value when none fits (or n < 50). The answer is found in constant
// time, so requests near 2^64 cost nothing.
std::optional<DimensionAndDelay> rosenstein_embedding(std::uint64_t n, std::uint64_t m0,
                                                      std::uint64_t tau0);

// Both estimators throw Cancelled when the context says stop.
RosensteinResult lyapunov_rosenstein(std::span<const double> signal,
                                     std::optional<std::uint64_t> dimension,
                                     std::optional<std::uint64_t> delay,
                                     std::optional<std::uint64_t> min_tsep,
                                     std::optional<std::uint64_t> max_iter,
                                     const ExecutionContext& context);

KantzResult lyapunov_kantz(std::span<const double> signal, std::optional<std::uint64_t> dimension,
                           std::optional<std::uint64_t> delay,
                           std::optional<std::uint64_t> min_tsep, std::optional<double> epsilon,
                           std::optional<std::uint64_t> max_iter, const ExecutionContext& context);

}  // namespace quorlin::dynamics
