// Template pairs of two or more samples, counted by groups of cells: in
// O(N log^(L-1) N) at worst for templates of length L (besides a linear term
// for the small groups compared pair by pair).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/execution.hpp"
#include "complexity/sample_entropy/ranking.hpp"

namespace quorlin::complexity {

// Unordered pairs i < j < templates whose templates of `length` samples
// match, from the ranks of the series. Requires 2 <= length <=
// kLongestRankedTemplate and templates + length - 1 <= the ranked samples.
// The groups are counted as tasks on the context's workers; the count is an
// exact integer whoever counts what. Working memory O(templates * length);
// std::bad_alloc when it cannot be had.
std::uint64_t cell_group_pairs(const SampleRanks& ranks, std::size_t length,
                               std::size_t templates, Pacer& pacer);

}  // namespace quorlin::complexity
