#include "complexity/sample_entropy/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/uninitialized.hpp"
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

// The radix sort's digits: 11 bits, six passes at most for 64-bit keys.
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;

// An unsigned key ordered as the (non-NaN) doubles are; -0.0 lands just
// below +0.0, and the two are told equal afterwards by ==.
inline std::uint64_t order_key(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Sample indices in ascending order of value, by a least-significant-digit
// radix sort of the keys whose stable passes the workers share, block by
// block (blocked_counting_sort): the one stable order whoever sorts.
Uninitialized<std::uint32_t> ascending_order(std::span<const double> x, std::size_t block,
                                             const ExecutionContext& context) {
    constexpr std::uint64_t kDigitMask = kDigits - 1;
    const std::size_t n = x.size();
    const std::size_t blocks = (n + block - 1) / block;
    Uninitialized<std::uint64_t> keys(n);
    Uninitialized<std::uint64_t> spare_keys(n);
    Uninitialized<std::uint32_t> order(n);
    Uninitialized<std::uint32_t> spare_order(n);
    std::vector<std::uint64_t> varying_in(blocks);
    const std::uint64_t first_key = n == 0 ? 0 : order_key(x[0]);
    for_each_block(context, n, block,
                   [&](std::size_t b, std::size_t begin, std::size_t end, Pacer& pacer) {
        std::uint64_t varying = 0;
        for (std::size_t i = begin; i < end; ++i) {
            keys[i] = order_key(x[i]);
            order[i] = static_cast<std::uint32_t>(i);
            varying |= keys[i] ^ first_key;
        }
        varying_in[b] = varying;
        pacer.advance(2 * (end - begin));
    });
    std::uint64_t varying = 0;
    for (const std::uint64_t v : varying_in) varying |= v;
    std::vector<std::uint32_t> slots;
    for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
        // A digit that no key differs in leaves the order as it is.
        if (((varying >> shift) & kDigitMask) == 0) continue;
        const std::uint64_t* const in_keys = keys.data();
        const std::uint32_t* const in_order = order.data();
        std::uint64_t* const out_keys = spare_keys.data();
        std::uint32_t* const out_order = spare_order.data();
        blocked_counting_sort(
            context, n, kDigits, block, slots,
            [=](std::size_t i) { return static_cast<std::size_t>((in_keys[i] >> shift) & kDigitMask); },
            [=](std::size_t i, std::uint32_t to) {
                out_keys[to] = in_keys[i];
                out_order[to] = in_order[i];
            });
        keys.swap(spare_keys);
        order.swap(spare_order);
    }
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
    const ExecutionContext& context = pacer.context();
    // The sort's blocks serve every pass here.
    const std::size_t block = context.search().sort_block(n_, kDigits, context.workers());
    Uninitialized<std::uint32_t> order = ascending_order(x, block, context);
    Uninitialized<double> sorted(n_);
    for_each_block(context, n_, block,
                   [&](std::size_t, std::size_t begin, std::size_t end, Pacer& task_pacer) {
        for (std::size_t k = begin; k < end; ++k) sorted[k] = x[order[k]];
        task_pacer.advance(2 * (end - begin));
    });
    ranks_.first.resize(n_);
    ranks_.low.resize(n_);
    ranks_.high.resize(n_);
    ranks_.cell.resize(n_);
    // Both ends of the matching run only move up as the value does, so two
    // pointers find them for every value in one pass. The low end is the
    // first value that is not below a by more than r; the high end the last
    // value that is not above it by more than r (a tie always matches: its
    // difference is 0, or NaN for two equal infinities).
    //
    // A block of positions starts its pointers where a pass from position 0
    // would have left them: each pointer's test is monotone along the sorted
    // values (rounding is monotone), true up to one position and false
    // after it, for the block's first value as for every value, so binary
    // searches for the turning points find exactly those positions.
    for_each_block(context, n_, block,
                   [&](std::size_t, std::size_t begin, std::size_t end, Pacer& task_pacer) {
        const double* const values = sorted.data();
        const double start = values[begin];
        std::size_t first = static_cast<std::size_t>(
            std::lower_bound(values, values + begin, start) - values);
        std::size_t low = static_cast<std::size_t>(
            std::partition_point(values, values + begin, [&](double v) {
                return v < start && differ_beyond(start, v, r);
            }) - values);
        std::size_t high = static_cast<std::size_t>(
            std::partition_point(values + begin + 1, values + n_, [&](double v) {
                return !(v > start && differ_beyond(start, v, r));
            }) - values) - 1;
        for (std::size_t k = begin; k < end; ++k) {
            const double a = values[k];
            if (k != begin && !(a == values[k - 1])) first = k;
            while (values[low] < a && differ_beyond(a, values[low], r)) ++low;
            if (high < k) high = k;
            while (high + 1 < n_ && !(values[high + 1] > a && differ_beyond(a, values[high + 1], r))) {
                ++high;
            }
            const std::uint32_t t = order[k];
            ranks_.first[t] = static_cast<Position>(first);
            ranks_.low[t] = static_cast<Position>(low);
            ranks_.high[t] = static_cast<Position>(high);
        }
        task_pacer.advance(8 * (end - begin));
    });
    // A new cell starts where the run of the previous cell's first value has
    // ended: all of a cell matches its first value's run, hence (runs moving
    // up together) one another. One hop a cell.
    std::vector<Position>& starts = ranks_.cell_start;
    for (std::size_t k = 0; k < n_; k = static_cast<std::size_t>(ranks_.high[order[k]]) + 1) {
        starts.push_back(static_cast<Position>(k));
    }
    starts.push_back(static_cast<Position>(n_));
    for (std::size_t c = 0; c + 1 < starts.size(); ++c) {
        ranks_.widest_cell = std::max(ranks_.widest_cell, starts[c + 1] - starts[c]);
    }
    // Cells are never empty: at most one starts at each position.
    for_each_in_runs(context, n_, block, starts, [&](std::size_t k, std::size_t c) {
        ranks_.cell[order[k]] = static_cast<Position>(c);
    });
    ranks_.order = std::move(order);
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
