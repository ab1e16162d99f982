// The ranking of a series: exact counting of template pairs under the
// maximum norm in sub-quadratic time, instead of the N^2 / 2 comparisons of
// the pair scan (template_matches.hpp), with the scan's counts to the last
// pair; only the way of getting there differs.
//
// The numerics that make this exact:
//   * For a fixed a, fl(|a - b|) does not decrease as b moves away from a
//     (rounding is monotone), so the samples matching a form one run of the
//     sorted samples. Its ends are found with the real predicate, so no
//     tolerance is ever widened or narrowed; ties (including -0.0 and +0.0)
//     share one run. Each sample is thereby reduced to integers: the sorted
//     position of its value and the last sorted position it matches.
//   * Cutting the sorted samples into cells that each end where the run of
//     their first sample ends makes every cell a clique (all its samples
//     match one another) and lets a sample match only within its own cell
//     and the cells just before and after it, where the test becomes a
//     single one-sided comparison of integers.
// Templates are then grouped by their tuple of cells (cell_groups.hpp;
// two_sample_groups.hpp for length 2 in long series). Length 1 takes a
// simpler exact sweep (here).
//
// Infinite samples are allowed (two equal infinities differ by NaN, which
// never exceeds r, exactly as in the scan); NaN samples are not, because a
// NaN matches every sample and has no place in a sorted order (sample
// entropy fills them and settles their pairs apart). A NaN or infinite
// tolerance is allowed and makes every pair match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/execution.hpp"
#include "common/search_policy.hpp"
#include "common/uninitialized.hpp"

namespace quorlin::complexity {

// Per sample t, in sorted positions 0 .. N-1: the first position of x[t]'s
// value, and the first and last positions of the values it matches (a
// sample u matches t exactly when first[u] lies in [low[t], high[t]]); its
// cell, cell c spanning positions cell_start[c] .. cell_start[c + 1] - 1.
// And the samples themselves in ascending order of value (ties in index
// order), the order the sorted positions come from.
// The ranking writes every entry of the per-sample vectors before anything
// reads it: they are sized without being zeroed first.
struct SampleRanks {
    Uninitialized<std::int32_t> first;
    Uninitialized<std::int32_t> low;
    Uninitialized<std::int32_t> high;
    Uninitialized<std::int32_t> cell;
    std::vector<std::int32_t> cell_start;
    Uninitialized<std::uint32_t> order;
    std::int32_t widest_cell = 0;
};

class RankedSeries {
public:
    // The longest series that can be counted here: positions are held in
    // 32 bits. It must hold no NaN sample either.
    static constexpr std::size_t kMaxSamples = (std::size_t{1} << 31) - 1 - 64;

    // Longest template length counted by grouping.
    static constexpr std::size_t kMaxLength = SearchPolicy::kLongestRankedTemplate;

    // Ranks the series once for the tolerance r. Requires a series of at
    // most kMaxSamples samples, none of them NaN, and r > 0 or NaN. The
    // samples are read more than once and must not change meanwhile: callers
    // pass a private copy, never a caller's array. Working memory is O(N);
    // throws std::bad_alloc when it cannot be had. Both the ranking and the
    // counting count their work on the pacer and throw Cancelled when its
    // context says stop.
    RankedSeries(std::span<const double> x, double r, Pacer& pacer);

    // Unordered pairs i < j < templates whose templates of the given length
    // match. Requires length <= kMaxLength and templates + length <= N + 1
    // (with templates + length - 1 samples read).
    std::uint64_t matching_pairs(std::size_t length, std::size_t templates, Pacer& pacer) const;

private:
    std::size_t n_ = 0;
    SampleRanks ranks_;
};

}  // namespace quorlin::complexity
