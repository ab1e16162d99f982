// Finite-time Lyapunov exponents: a local stretching rate over a finite
// horizon for every state of a series.
//
// Two independent estimators live here. The direct-perturbation method
// delay-embeds a scalar series and follows each point's nearest neighbour for
// H steps. The local-linearization method works on a trajectory given by the
// caller, fits the linear map that carries neighbour displacements T steps
// ahead (local_map.hpp) and reports its largest stretching factor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/execution.hpp"
#include "numerics/points.hpp"

namespace quorlin::dynamics {

// The anchors (reference points) an FTLE computation estimates: every one
// when absent; otherwise the listed ones, in increasing order, each listed
// once (entries beyond the last anchor are ignored). The other entries of the
// results keep their no-estimate values, and nothing else changes: an
// anchor's estimate is the same bits whether it is computed alone or with
// all the others.
using AnchorSubset = std::optional<std::span<const std::uint64_t>>;

struct DirectPerturbationFtle {
    std::vector<double> ftle_values;     // ln(stretch) / H per reference point
    std::vector<double> jacobian_norms;  // final over initial separation; 0.0 = no estimate
};

// Both estimators throw Cancelled when the context says stop, and run their
// anchors on up to context.workers() threads, with the same results for any
// number.
//
// One entry per reference point i = 0 .. n_points - H - 1 of the embedding
// of `signal` with `dimension` and `delay`; both vectors are empty when the
// embedding has fewer than H + 2 points.
DirectPerturbationFtle ftle_direct_perturbation(std::span<const double> signal,
                                                std::uint64_t dimension, std::uint64_t delay,
                                                std::uint64_t time_horizon,
                                                const ExecutionContext& context,
                                                AnchorSubset anchors = std::nullopt);

struct LocalLinearizationFtle {
    std::vector<double> ftle_values;  // NaN where no exponent exists
    std::vector<double> confidence;   // 0.0 where no map was fitted
};

// One entry per row of `trajectory`; only rows with an image row
// `time_horizon` steps later are anchors. With no `epsilon` the radius of the
// neighbourhood ball is default_epsilon of the trajectory.
LocalLinearizationFtle ftle_local_linearization(const StridedPoints& trajectory,
                                                std::uint64_t time_horizon,
                                                std::uint64_t n_neighbors,
                                                std::optional<double> epsilon,
                                                const ExecutionContext& context,
                                                AnchorSubset anchors = std::nullopt);

// A low percentile of the pairwise distances among the first rows (all rows
// if fewer; the counts are ftle.cpp's). Needs at least two rows.
double default_epsilon(const StridedPoints& trajectory);

}  // namespace quorlin::dynamics
