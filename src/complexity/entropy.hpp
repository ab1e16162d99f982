// Entropies of a scalar series: sample entropy (regularity of templates under
// the maximum norm) and permutation entropy (Shannon entropy, in bits, of the
// ordinal patterns of delay windows).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/execution.hpp"
#include "complexity/sample_entropy/template_matches.hpp"

namespace quorlin::complexity {

// -ln(A / B) from template_matches. NaN for N < m + 2 (exact for every m),
// for r <= 0 and for B = 0; +inf for A = 0 < B. Without r the tolerance is
// 0.2 times the population standard deviation.
double sample_entropy(std::span<const double> signal, std::uint64_t m, std::optional<double> r,
                      const ExecutionContext& context);

// Shannon entropy in bits of the ordinal patterns of the windows
// (x[i], x[i + delay], ..., x[i + (order - 1) delay]), divided by
// log2(order!) when normalize is set. NaN when N < order * delay (compared
// exactly); 0.0 for order 0 or 1 and for delay 0.
double permutation_entropy(std::span<const double> signal, std::uint64_t order,
                           std::uint64_t delay, bool normalize, const ExecutionContext& context);

// Both entropies throw Cancelled when the context says stop.

// log2(order!): from the exact 64-bit product up to order 20, beyond that by
// adding log2 k in increasing k. O(order) time.
double log2_factorial(std::uint64_t order);

}  // namespace quorlin::complexity
