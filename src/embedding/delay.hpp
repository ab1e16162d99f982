// Delay embedding of a scalar series and the choice of its delay and
// dimension.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/execution.hpp"
#include "common/validated.hpp"
#include "numerics/neighbors.hpp"
#include "numerics/points.hpp"

namespace quorlin::embedding {

// Every function here that takes an ExecutionContext (or a Pacer) throws
// Cancelled when the context says stop.

// The (n_points, dimension) matrix of delay vectors, or the refusal of a
// series too short for the requested span (or of dimension 0).
Validated<EmbeddedPoints> time_delay_embedding(std::span<const double> signal,
                                               std::uint64_t dimension, std::uint64_t delay,
                                               const ExecutionContext& context);

// ---------------------------------------------------------------------------
// Choice of the delay.

// The delay in samples: the first lag at which the autocorrelation falls to
// zero ("autocorr") or to 1/e ("autocorr_e"), or, for every other method
// text, the first local minimum of the average mutual information. Lags are
// examined below L = min(N / 2, max_lag), with max_lag defaulting to N / 4.
// Degenerate signals (N < 4, constant, all NaN) give small fixed answers;
// nothing is refused.
std::uint64_t optimal_delay(std::span<const double> signal, std::optional<std::uint64_t> max_lag,
                            std::string_view method, const ExecutionContext& context);

// r(lag) = (S(lag) / (N - lag)) / variance, S(lag) being the sum of
// (x[i] - mean) * (x[i + lag] - mean) in index order. Requires lag < N.
double autocorrelation_at_lag(std::span<const double> x, double mean, double variance,
                              std::uint64_t lag);

// ---------------------------------------------------------------------------
// Choice of the dimension.

// The embedding dimension for delay tau (default 1): the first d = 2 .. max_dim
// whose fraction of false nearest neighbours is below `threshold`, or, for
// the method text "cao" exactly, the first d at which Cao's mean ratio E(d)
// has saturated to within `threshold`. Series too short for a step give
// small fixed answers; nothing is refused.
std::uint64_t optimal_dimension(std::span<const double> signal, std::optional<std::uint64_t> delay,
                                std::uint64_t max_dim, std::string_view method, double threshold,
                                const ExecutionContext& context);

// F(d): among the leading reference rows of length d - 1 (of the N - d * tau
// rows), the fraction whose nearest neighbour moves apart in the d-th
// coordinate by more than a fixed factor times their distance. 0.0 when no
// row has a neighbour beyond the smallest distance that counts, when d < 2,
// or when d * tau leaves no row. (The counts and bounds are delay.cpp's.)
//
// Both ratios search the rows through `leading` when given: a tree over the
// rows (x[j], x[j + tau]), j < N - tau, of a finite series (see
// NeighborSearch); otherwise through a tree of their own when large enough.
double false_neighbor_fraction(std::span<const double> x, std::uint64_t delay,
                               std::uint64_t dimension, Pacer& pacer,
                               const KdTree<EmbeddedPoints>* leading = nullptr);

// E(d): over the leading reference rows of length max(d, 2) - 1 (of the
// N - d * tau rows), the mean ratio of the d-dimensional distance of a row's
// points to the distance of the row to its nearest neighbour. 1.0 when no
// row counts, when d = 0, or when d * tau leaves no row.
double cao_mean_ratio(std::span<const double> x, std::uint64_t delay, std::uint64_t dimension,
                      Pacer& pacer, const KdTree<EmbeddedPoints>* leading = nullptr);

// The nearest other row of row i among all rows (only j = i is excluded):
// the lowest index on equal distances, never a NaN distance; index 0 at
// distance +inf when no row qualifies. The hint only speeds the search up
// (see NeighborSearch::nearest).
Nearest nearest_neighbor(const NeighborSearch<EmbeddedPoints>& rows, std::size_t i,
                         std::size_t hint = kNoHint);

}  // namespace quorlin::embedding
