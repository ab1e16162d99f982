// The divergence sums shared by Rosenstein's and Kantz's estimators: pairs
// of embedded points (i, j) are followed step by step, and for k = 0 .. K - 1
//     sum[k]   += ln(sqrt(s_k)),  count[k] += 1    whenever s_k > 0,
// with s_k the squared distance between points i + k and j + k. Pair (i, j)
// is followed for min(K, n - max(i, j)) steps (while both points exist).
//
// Each sum[k] is one floating-point accumulator, so its value depends on the
// order of its additions: the pairs are taken reference by reference
// (i = 0, 1, ...), and for each reference in the order its partners are
// listed. Both paths below keep exactly that order for every k.
//
// The direct path follows each pair on its own. The tiled path uses that
// a pair (i, j) only reads the diagonal j - i of the distance matrix, cell
// (t, t + j - i) at step k = t - i: it computes each needed cell of a
// diagonal once for all the pairs on it, a band of rows at a time, and
// adds a band to the sums of a pair with vector additions across k. Lanes of a vector belong to different k, so no accumulator sees its
// additions reordered; a step that contributes nothing adds -0.0, the one
// value whose addition leaves every double (+0.0 and NaN included)
// unchanged.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/execution.hpp"
#include "numerics/points.hpp"

namespace quorlin::dynamics {

struct DivergenceSums {
    std::vector<double> sum;           // K entries, each started at 0.0
    std::vector<std::uint64_t> count;  // K entries
};

// Appends to `out` the partners j of reference point i, in the order in which
// their pairs are followed, counting its work on `pacer`. Called from several
// threads at once (each with its own pacer) when the context lends workers.
using PartnerLists =
    std::function<void(std::size_t i, std::vector<std::size_t>& out, Pacer& pacer)>;

// ln of the distance, taken from the square root exactly as written: halving
// ln(s) would round differently.
inline double log_distance(double squared) { return std::log(std::sqrt(squared)); }

// The sums over the pairs of reference points 0 .. n_references - 1 (every
// partner j < points.size()), K = n_steps. `tiled` selects the tiled path;
// both give the same bits. The tiled path asks for every partner list once
// to plan, then once per pass; it holds the pairs of the references in
// flight, at most about `pair_budget` of them (0: sized from the memory free
// now), and passes over ranges of k short enough for that when they do not
// all fit at once. Its other memory is O(n). It throws std::bad_alloc when
// that memory cannot be had. The work is counted on `pacer` pair by pair
// (direct) or diagonal by diagonal of a band (tiled), and Cancelled is
// thrown when its context says stop; a context that watches progress sees
// the plan and every pass as phases.
DivergenceSums follow_pairs(const EmbeddedPoints& points, std::size_t n_steps,
                            std::size_t n_references, const PartnerLists& partners, bool tiled,
                            Pacer& pacer, std::size_t pair_budget = 0);

}  // namespace quorlin::dynamics
