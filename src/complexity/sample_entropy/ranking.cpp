#include "complexity/sample_entropy/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/memory.hpp"
#include "complexity/sample_entropy/cell_groups.hpp"
#include "complexity/sample_entropy/template_matches.hpp"
#include "complexity/sample_entropy/two_sample_groups.hpp"
#include "numerics/counting_sort.hpp"

namespace quorlin::complexity {
namespace {

using Position = std::int32_t;

// The pair predicate of the scan: the two samples differ by more than r. It
// is symmetric, since fl(a - b) = -fl(b - a) under rounding to nearest.
inline bool differ_beyond(double a, double b, double r) { return std::fabs(a - b) > r; }

// An unsigned key ordered as the (non-NaN) doubles are; -0.0 lands just
// below +0.0, and the two are told equal afterwards by ==.
inline std::uint64_t order_key(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Sample indices in ascending order of value, by a radix sort of the keys.
std::vector<std::uint32_t> ascending_order(std::span<const double> x, Pacer& pacer) {
    const std::size_t n = x.size();
    std::vector<std::uint64_t> keys(n);
    std::vector<std::uint32_t> order(n);
    std::vector<std::uint64_t> spare_keys;
    std::vector<std::uint32_t> spare_order;
    std::vector<std::uint32_t> offsets;
    std::uint64_t varying = 0;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = order_key(x[i]);
        order[i] = static_cast<std::uint32_t>(i);
        varying |= keys[i] ^ keys[0];
    }
    radix_sort<11>(keys, order, varying, spare_keys, spare_order, offsets,
                   [&] { pacer.advance(2 * n); });
    return order;
}

}  // namespace

static_assert(RankedSeries::kMaxSamples ==
              static_cast<std::size_t>(std::numeric_limits<Position>::max()) - 64);

RankedSeries::RankedSeries(std::span<const double> x, double r, Pacer& pacer)
    : n_(x.size()) {
    // The largest simultaneous working set: sort keys and order, twice, the
    // sorted values and the per-sample rankings, about 80 bytes a sample.
    require_memory(n_, 80);
    std::vector<std::uint32_t> order = ascending_order(x, pacer);
    std::vector<double> sorted(n_);
    for (std::size_t k = 0; k < n_; ++k) sorted[k] = x[order[k]];
    ranks_.first.resize(n_);
    ranks_.low.resize(n_);
    ranks_.high.resize(n_);
    ranks_.cell.resize(n_);
    // Both ends of the matching run only move up as the value does, so two
    // pointers find them for every value in one pass. The low end is the
    // first value that is not below a by more than r; the high end the last
    // value that is not above it by more than r (a tie always matches: its
    // difference is 0, or NaN for two equal infinities).
    std::size_t first = 0;
    std::size_t low = 0;
    std::size_t high = 0;
    std::size_t cell_end = 0;
    Position cell = -1;
    for (std::size_t k = 0; k < n_; ++k) {
        const double a = sorted[k];
        if (k == 0 || !(a == sorted[k - 1])) first = k;
        while (sorted[low] < a && differ_beyond(a, sorted[low], r)) ++low;
        if (high < k) high = k;
        while (high + 1 < n_ && !(sorted[high + 1] > a && differ_beyond(a, sorted[high + 1], r))) {
            ++high;
        }
        // A new cell starts where the run of the previous cell's first value
        // has ended: all of a cell matches its first value's run, hence
        // (runs moving up together) one another.
        if (k == cell_end) {
            ++cell;
            ranks_.cell_start.push_back(static_cast<Position>(k));
            cell_end = high + 1;
        }
        const std::uint32_t t = order[k];
        ranks_.first[t] = static_cast<Position>(first);
        ranks_.low[t] = static_cast<Position>(low);
        ranks_.high[t] = static_cast<Position>(high);
        ranks_.cell[t] = cell;
    }
    std::vector<Position>& starts = ranks_.cell_start;
    starts.push_back(static_cast<Position>(n_));
    for (std::size_t c = 0; c + 1 < starts.size(); ++c) {
        ranks_.widest_cell = std::max(ranks_.widest_cell, starts[c + 1] - starts[c]);
    }
    ranks_.order = std::move(order);
    pacer.advance(8 * n_);
}

namespace {

// Length 1: a pair matches when the later value in sorted order lies within
// the run of the earlier. Prefix counts over positions do it in O(N).
std::uint64_t single_sample_pairs(std::span<const std::int32_t> first,
                                  std::span<const std::int32_t> high, std::size_t n,
                                  std::size_t templates) {
    std::vector<std::uint32_t> below(n + 1, 0);  // below[p]: templates with first < p
    for (std::size_t j = 0; j < templates; ++j) ++below[static_cast<std::size_t>(first[j]) + 1];
    std::uint64_t total = 0;
    for (std::size_t p = 1; p <= n; ++p) {
        const std::uint64_t equal = below[p];  // all match one another
        if (equal > 1) total += equal * (equal - 1) / 2;
        below[p] += below[p - 1];
    }
    for (std::size_t i = 0; i < templates; ++i) {
        total += below[static_cast<std::size_t>(high[i]) + 1] -
                 below[static_cast<std::size_t>(first[i]) + 1];
    }
    return total;
}

}  // namespace

std::uint64_t RankedSeries::matching_pairs(std::size_t length, std::size_t templates,
                                           Pacer& pacer) const {
    if (templates < 2) return 0;
    if (length == 0) return unordered_pairs(templates);
    if (length == 1) {
        pacer.advance(4 * n_);
        return single_sample_pairs(ranks_.first, ranks_.high, n_, templates);
    }
    if (length == 2 && pacer.context().search().group_two_sample_pairs(templates)) {
        return two_sample_group_pairs(ranks_, templates, pacer);
    }
    return cell_group_pairs(ranks_, length, templates, pacer);
}

}  // namespace quorlin::complexity
