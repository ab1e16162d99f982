// Pairs of two-sample templates, counted pair of neighbouring cell groups by
// pair of neighbouring cell groups, each with structures the size of the
// groups (which stay in cache), in O(N log G) for groups of at most G
// templates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/execution.hpp"
#include "complexity/sample_entropy/ranking.hpp"

namespace quorlin::complexity {

// Unordered pairs i < j < templates whose templates (x[i], x[i + 1]) and
// (x[j], x[j + 1]) match, from the ranks of the series (which must keep its
// ascending order). Requires templates + 1 <= the ranked samples. The pairs
// of groups are counted as tasks on the context's workers; the count is an
// exact integer whoever counts what. Working memory about 40 bytes a
// template; std::bad_alloc when it cannot be had.
std::uint64_t two_sample_group_pairs(const SampleRanks& ranks, std::size_t templates,
                                     Pacer& pacer);

}  // namespace quorlin::complexity
