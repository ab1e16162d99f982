// Delay embedding of a scalar series and the choice of its delay and
// dimension.
#pragma once

#include <cstdint>
#include <span>

#include "common/validated.hpp"
#include "numerics/points.hpp"

namespace quorlin::embedding {

// The (n_points, dimension) matrix of delay vectors, or the refusal of a
// series too short for the requested span (or of dimension 0).
Validated<EmbeddedPoints> time_delay_embedding(std::span<const double> signal,
                                               std::uint64_t dimension, std::uint64_t delay);

}  // namespace quorlin::embedding
