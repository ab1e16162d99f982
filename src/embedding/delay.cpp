#include "embedding/delay.hpp"

#include <new>

#include "common/checked_math.hpp"
#include "common/memory.hpp"

namespace quorlin::embedding {

Validated<EmbeddedPoints> time_delay_embedding(std::span<const double> signal,
                                               std::uint64_t dimension, std::uint64_t delay) {
    if (dimension == 0) {
        return Invalid{"Embedding dimension must be at least 1, got 0"};
    }
    const std::uint64_t n = signal.size();
    // The span is formed in 128 bits so that the stated requirement is exact
    // even when (m - 1) * tau, or that plus one, no longer fits in 64 bits.
    const uint128 span = static_cast<uint128>(dimension - 1) * static_cast<uint128>(delay);
    if (static_cast<uint128>(n) <= span) {
        return Invalid{"Signal too short for embedding: " + to_decimal(n) +
                       " samples, need at least " + to_decimal(span + 1)};
    }
    const auto n_points = n - static_cast<std::uint64_t>(span);
    // The rows and the result matrix they are copied into live side by side.
    const auto values = checked_mul(n_points, dimension);
    if (!values) throw std::bad_alloc();
    require_memory(*values, sizeof(double), 2);
    return embed_points(signal, dimension, delay, n_points);
}

}  // namespace quorlin::embedding
