// Sample entropy's pair counts: how many pairs of templates stay within the
// tolerance under the maximum norm, for two template lengths at once.
//
// A template of length L starting at i is (x[i], ..., x[i + L - 1]). Two
// templates match unless some coordinate pair differs by more than r,
// |x[i + k] - x[j + k]| > r in double precision, so a NaN difference never
// fails. Every way of counting here gives the diagonal pair scan's counts to
// the last pair.
#pragma once

#include <cstdint>
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
// of length m + 1 (the last template that would fit is never used).
// Requires N >= m + 2. The pair scan: reads the series in place and
// allocates nothing.
TemplateMatches count_template_matches(std::span<const double> x, std::uint64_t m, double r,
                                       Pacer& pacer);

// The same counts, by the quickest exact way the context's search policy
// allows: in closed form for a NaN r (every pair matches), by ranking a
// private copy of the series (O(N) memory, std::bad_alloc when it cannot be
// had; pairs decided by NaN samples settled apart), or by the pair scan.
// Requires N >= m + 2.
TemplateMatches template_matches(std::span<const double> x, std::uint64_t m, double r,
                                 Pacer& pacer);

// t (t - 1) / 2, the unordered pairs of t items, without an intermediate
// that overflows first.
constexpr std::uint64_t unordered_pairs(std::uint64_t t) {
    return t % 2 == 0 ? (t / 2) * (t - 1) : t * ((t - 1) / 2);
}

}  // namespace quorlin::complexity
