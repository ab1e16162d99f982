// Entropies of a scalar series: sample entropy (regularity of templates under
// the maximum norm) and permutation entropy (Shannon entropy, in bits, of the
// ordinal patterns of delay windows).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/execution.hpp"

namespace quorlin::complexity {

// Pairs of templates that stay within the tolerance: b for length m, a for
// length m + 1. Exact integer counts.
struct TemplateMatches {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
};

// Counts over the first N - m templates of length m and the first N - m - 1
// of length m + 1 (the last template that would fit is never used). Two
// templates match unless some coordinate differs by more than r, so a NaN
// difference never fails. Requires N >= m + 2. The pair scan: reads the
// series in place and allocates nothing.
TemplateMatches count_template_matches(std::span<const double> x, std::uint64_t m, double r,
                                       Pacer& pacer);

// The same counts, by the quickest exact way: in closed form for a NaN r
// (every pair matches), by ranking a private copy of the series when it is
// long enough (MaxNormTemplatePairs, O(N) memory, std::bad_alloc when it
// cannot be had; pairs decided by NaN samples settled apart), else by the
// pair scan. Requires N >= m + 2.
TemplateMatches template_matches(std::span<const double> x, std::uint64_t m, double r,
                                 Pacer& pacer);

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
