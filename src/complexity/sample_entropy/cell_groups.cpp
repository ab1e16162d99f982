// Pairs of templates counted by their tuples of cells (ranking.hpp): pairs
// within a group all match, pairs of neighbouring groups are dominance
// problems over small integer offsets.
#include "complexity/sample_entropy/cell_groups.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/uninitialized.hpp"
#include "complexity/sample_entropy/dominance.hpp"
#include "numerics/counting_sort.hpp"

namespace quorlin::complexity {
namespace {

// Cells at most this wide have all offsets below, shifted by kShift, in the
// range of a 16-bit integer: near - kShift in [-32767, 32766], reach - kShift
// in [-32768, 32766], and kShift - 1 - near, kShift - 1 - reach in
// [-32767, 32767].
constexpr std::int32_t kNarrowCell = 65534;
constexpr std::int32_t kShift = 32767;

// Per coordinate k and template (in group order), four columns of small
// integers, offsets from cell boundaries so that they fit in `Lane`:
//   near   = first position of the value, from the start of its cell;
//   reach  = last matching position, from the start of the next cell;
// and their negatives. For a template y one cell above x in coordinate k,
// the coordinate matches when near(y) <= reach(x); one cell below, when
// near(x) <= reach(y), i.e. -reach(y) <= -near(x). Near lies in [0, w) and
// reach in [-1, w) for cells up to w positions wide; the columns are shifted
// by constants (which leaves every comparison as it is) so that cells up to
// kNarrowCell positions wide fit in 16 bits.
template <class Lane>
class CellGroupPairs {
public:
    CellGroupPairs(const SampleRanks& ranks, std::size_t length, std::size_t templates,
                   Pacer& pacer)
        : pacer_(pacer),
          first_(ranks.first),
          by_value_(ranks.order),
          high_(ranks.high),
          cell_(ranks.cell),
          cell_start_(ranks.cell_start),
          length_(length),
          templates_(templates),
          stride_(templates + kPad),
          compared_pairs_(pacer.context().search().brute_dominance_pairs()),
          led_pairs_(pacer.context().search().led_dominance_pairs()) {}

    std::uint64_t count() {
        // Per template: its place in group order and a sorting buffer, group
        // bounds and cells, four columns per coordinate, a sample's two
        // offsets from the bounds of its cell, and, held by each thread that
        // counts, the largest dominance problem's copies of two columns per
        // coordinate and the bit sets' counts per coordinate and gathered
        // runs (their tables are bounded apart, by the policy).
        const std::uint64_t threads = pacer_.context().workers();
        require_memory(templates_, 4 * 3 + 4 * length_ + 16 + 4 * length_ + 8 + 8 +
                                       (4 + 2 * threads) * length_ * sizeof(Lane) +
                                       threads * (4 * length_ + 4 + 2 * sizeof(Lane)));
        group();
        ordered_ = order_groups();
        fill_columns();
        const std::size_t groups = group_begin_.size() - 1;
        std::uint64_t total = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint64_t size = group_begin_[g + 1] - group_begin_[g];
            total += size * (size - 1) / 2;
        }
        // The first level of the walk by hand: the groups that share a first
        // cell form a run, and each run with the pairs it makes with the run
        // one cell up is a task of its own, fixed by the groups alone. The
        // counts are integers: their sum does not depend on who counted what.
        std::vector<std::size_t> runs;  // the first group of every run, and `groups`
        for (std::size_t g = 0; g < groups; ++g) {
            if (g == 0 || group_cell(g, 0) != group_cell(g - 1, 0)) runs.push_back(g);
        }
        runs.push_back(groups);
        std::vector<std::uint64_t> totals(runs.size() - 1, 0);
        for_each_task(pacer_.context(), totals.size(), [&](std::size_t run, Pacer& pacer) {
            Walk walk{pacer, {}, {}, {}, 0};
            const std::size_t begin = runs[run], end = runs[run + 1];
            walk_same(begin, end, 1, walk);
            if (run + 2 < runs.size() && group_cell(end, 0) == group_cell(begin, 0) + 1) {
                walk.step[0] = 1;
                walk_apart(begin, end, end, runs[run + 2], 1, walk);
            }
            totals[run] = walk.total;
        });
        for (const std::uint64_t part : totals) total += part;
        return total;
    }

private:
    static constexpr std::size_t kPad = LaneVector<Lane>::kLanes;
    // How far ahead the scattered passes ask for what they will read.
    static constexpr std::size_t kAhead = 24;
    enum Column { kNear = 0, kReach = 1, kNegNear = 2, kNegReach = 3 };

    // What one thread of the walk keeps: its pacer, its scratch for large
    // dominance problems, the cell steps of the tuples being paired, and its
    // count.
    struct Walk {
        Pacer& pacer;
        DominatedPairs<Lane> dominance;
        BitsetDominance<Lane> bitsets;
        std::array<std::int8_t, kMostDimensions> step;
        std::uint64_t total;
    };

    const Lane* column(std::size_t k, Column which) const {
        return columns_.data() + (4 * k + which) * stride_;
    }
    std::int32_t group_cell(std::size_t g, std::size_t k) const {
        return group_cells_[g * length_ + k];
    }

    // Stable counting sorts by the cell of coordinate length-1, ..., 0 put
    // the templates in lexicographic order of their cell tuples; the groups
    // are the runs of equal tuples. The workers share each sort and the
    // search for the runs block by block.
    void group() {
        const ExecutionContext& context = pacer_.context();
        const std::size_t cells = cell_start_.size() - 1;
        const std::size_t block = context.search().sort_block(templates_, cells, context.workers());
        order_.resize(templates_);
        Uninitialized<std::uint32_t> sorted(templates_);
        std::vector<std::uint32_t> slots;
        const std::int32_t* const cell = cell_.data();
        // The first sort starts from the templates in index order.
        std::uint32_t* out = sorted.data();
        const std::size_t last = length_ - 1;
        blocked_counting_sort(
            context, templates_, cells, block, slots,
            [=](std::size_t p) { return static_cast<std::size_t>(cell[p + last]); },
            [=](std::size_t p, std::uint32_t slot) { out[slot] = static_cast<std::uint32_t>(p); });
        order_.swap(sorted);
        for (std::size_t k = last; k-- > 0;) {
            const std::uint32_t* const in = order_.data();
            out = sorted.data();
            blocked_counting_sort(
                context, templates_, cells, block, slots,
                [=](std::size_t p) { return static_cast<std::size_t>(cell[in[p] + k]); },
                [=](std::size_t p, std::uint32_t slot) { out[slot] = in[p]; });
            order_.swap(sorted);
        }
        pacer_.advance(length_ * cells);
        group_begin_ = run_starts(context, templates_, block, [&](std::size_t p) {
            const std::uint32_t i = order_[p];
            const std::uint32_t before = order_[p - 1];
            for (std::size_t k = 0; k < length_; ++k) {
                if (cell_[i + k] != cell_[before + k]) return true;
            }
            return false;
        });
        const std::size_t groups = group_begin_.size() - 1;
        group_cells_.resize(groups * length_);
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint32_t i = order_[group_begin_[g]];
            for (std::size_t k = 0; k < length_; ++k) group_cells_[g * length_ + k] = cell_[i + k];
        }
        pacer_.advance(groups * length_);
    }

    // When some pair of groups is large enough to be counted along orders:
    // every group in ascending order of the position of its templates' first
    // sample, hence of the four columns of coordinate 0 (each is monotone in
    // the value within a cell), and for k = 1 .. length-1 the order of
    // sample k within every group (indices from the group's start), which
    // the bit sets read. Returns whether the groups were ordered.
    bool order_groups() {
        const std::size_t groups = group_begin_.size() - 1;
        std::uint64_t largest = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            largest = std::max<std::uint64_t>(largest, group_begin_[g + 1] - group_begin_[g]);
        }
        if (!pacer_.context().search().order_cell_groups(templates_, largest * largest,
                                                         sizeof(Lane) > 2)) {
            return false;
        }
        // Each template's slot in group order and its group.
        struct Home {
            std::uint32_t slot;
            std::uint32_t group;
        };
        const ExecutionContext& context = pacer_.context();
        const std::size_t block = context.search().sort_block(templates_, 0, context.workers());
        Uninitialized<Home> home(templates_);
        for_each_in_runs(context, templates_, block, group_begin_, [&](std::size_t p, std::size_t g) {
            home[order_[p]] = Home{static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(g)};
        });
        // The samples in ascending order of value (the ranking's order):
        // sample t is sample k of template t - k, which goes to its group's
        // next slot, so each group receives its templates in ascending order
        // of sample k. Ties may come in any order: every way of counting
        // along these orders cuts them at a threshold, all or none. One
        // thread scatters: a scatter shared by blocks would have to find
        // every sample's group twice, once to count and once to place, and
        // that scattered read is what this pass costs.
        std::vector<std::uint32_t> next(groups);
        const auto within_groups = [&](std::size_t k, auto place) {
            std::copy(group_begin_.begin(), group_begin_.end() - 1, next.begin());
            const std::size_t samples = by_value_.size();
            for (std::size_t e = 0; e < samples; ++e) {
                // The templates come scattered over the series: asking for
                // a home a few dozen samples ahead keeps several misses in
                // flight, where the loop would otherwise wait on each in
                // turn. The index is clamped only to stay inside `home`.
                const std::uint32_t ahead = by_value_[std::min(e + kAhead, samples - 1)];
                __builtin_prefetch(home.data() +
                                   std::min<std::size_t>(ahead < k ? 0 : ahead - k, templates_ - 1));
                const std::uint32_t t = by_value_[e];
                if (t < k || t - k >= templates_) continue;
                const std::uint32_t i = static_cast<std::uint32_t>(t - k);
                const Home h = home[i];
                place(i, h, next[h.group]++);
            }
            pacer_.advance(4 * templates_ + by_value_.size());
        };
        within_groups(0, [&](std::uint32_t i, Home, std::uint32_t to) { order_[to] = i; });
        for_each_block(context, templates_, block,
                       [&](std::size_t, std::size_t begin, std::size_t end, Pacer& pacer) {
            for (std::size_t p = begin; p < end; ++p) home[order_[p]].slot = static_cast<std::uint32_t>(p);
            pacer.advance(end - begin);
        });
        by_coordinate_.resize((length_ - 1) * templates_);
        for (std::size_t k = 1; k < length_; ++k) {
            std::uint32_t* out = by_coordinate_.data() + (k - 1) * templates_;
            within_groups(k, [&](std::uint32_t, Home h, std::uint32_t to) {
                out[to] = h.slot - group_begin_[h.group];
            });
        }
        return true;
    }

    void fill_columns() {
        // Every slot of a template is written below; only the padding past
        // the last template of each column, which vector loads read (and
        // mask off), is cleared here. Clearing all of it first would be one
        // more pass over the largest buffer of the count. The negated
        // columns of coordinate 0 are left unwritten, and their pages
        // untouched: the walk pairs tuples one cell apart there only
        // upwards (a run of first cells with the run one cell up), so
        // nothing reads them.
        columns_.resize(4 * length_ * stride_);
        for (std::size_t c = 0; c < 4 * length_; ++c) {
            Lane* const padding = columns_.data() + c * stride_ + templates_;
            std::fill(padding, padding + kPad, Lane{0});
        }
        // Each sample's two offsets side by side in sample order, from one
        // sequential pass: a template's samples are then read together from
        // a cache line or two, where reading them from the three rankings
        // costs a miss per sample and array (the templates come in group
        // order, scattered over the series).
        struct Offsets {
            std::int32_t near;
            std::int32_t reach;
        };
        const std::size_t samples = templates_ + length_ - 1;
        std::vector<Offsets> offsets(samples);
        for (std::size_t t = 0; t < samples; ++t) {
            const auto c = static_cast<std::size_t>(cell_[t]);
            offsets[t] = Offsets{first_[t] - cell_start_[c], high_[t] - cell_start_[c + 1]};
        }
        pacer_.advance(2 * samples);
        // Blocks of templates fill their own slots of every column: a task
        // apiece.
        constexpr std::size_t kBlock = std::size_t{1} << 14;
        const std::size_t blocks = (templates_ + kBlock - 1) / kBlock;
        for_each_task(pacer_.context(), blocks, [&](std::size_t block, Pacer& pacer) {
            const std::size_t begin = block * kBlock;
            const std::size_t end = std::min(templates_, begin + kBlock);
            for (std::size_t p = begin; p < end; ++p) {
                // The templates come scattered over the series, and past a
                // few hundred thousand samples the offsets no longer fit the
                // second-level cache: asking for a template's samples a few
                // dozen templates ahead keeps several misses in flight where
                // the loop would otherwise wait on each in turn. A prefetch
                // never faults, so reading past the block is harmless; the
                // index is clamped only to stay inside `order_`.
                __builtin_prefetch(offsets.data() + order_[std::min(p + kAhead, templates_ - 1)]);
                const Offsets* sample = offsets.data() + order_[p];
                for (std::size_t k = 0; k < length_; ++k) {
                    const std::int32_t n = sample[k].near;
                    const std::int32_t r = sample[k].reach;
                    Lane* slot = columns_.data() + 4 * k * stride_ + p;
                    slot[kNear * stride_] = static_cast<Lane>(n - kShift);
                    slot[kReach * stride_] = static_cast<Lane>(r - kShift);
                    if (k == 0) continue;
                    slot[kNegNear * stride_] = static_cast<Lane>(kShift - 1 - n);
                    slot[kNegReach * stride_] = static_cast<Lane>(kShift - 1 - r);
                }
            }
            pacer.advance(4 * length_ * (end - begin));
        });
    }

    // Pairs of distinct groups within [begin, end), all of which share the
    // cells of coordinates 0 .. level-1. Each unordered pair is reached once,
    // at the first coordinate where the two tuples differ (by one cell).
    void walk_same(std::size_t begin, std::size_t end, std::size_t level, Walk& walk) const {
        if (level == length_) return;
        for (std::size_t a = begin; a < end;) {
            const std::int32_t c = group_cell(a, level);
            std::size_t a_end = a + 1;
            while (a_end < end && group_cell(a_end, level) == c) ++a_end;
            walk_same(a, a_end, level + 1, walk);
            if (a_end < end && group_cell(a_end, level) == c + 1) {
                std::size_t b_end = a_end + 1;
                while (b_end < end && group_cell(b_end, level) == c + 1) ++b_end;
                walk.step[level] = 1;
                walk_apart(a, a_end, a_end, b_end, level + 1, walk);
                walk.step[level] = 0;
            }
            a = a_end;
        }
    }

    // Pairs (X, Y), X from [xb, xe) and Y from [yb, ye), whose tuples differ
    // by walk.step[0 .. level-1] so far (each -1, 0 or +1, not all 0); tuples
    // further apart than one cell anywhere have no matching pair.
    void walk_apart(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye,
                    std::size_t level, Walk& walk) const {
        if (level == length_) {
            count_between(xb, yb, walk);
            return;
        }
        std::size_t y_from = yb;
        for (std::size_t a = xb; a < xe;) {
            const std::int32_t c = group_cell(a, level);
            std::size_t a_end = a + 1;
            while (a_end < xe && group_cell(a_end, level) == c) ++a_end;
            while (y_from < ye && group_cell(y_from, level) < c - 1) ++y_from;
            for (std::size_t b = y_from; b < ye;) {
                const std::int32_t cy = group_cell(b, level);
                if (cy > c + 1) break;
                std::size_t b_end = b + 1;
                while (b_end < ye && group_cell(b_end, level) == cy) ++b_end;
                walk.step[level] = static_cast<std::int8_t>(cy - c);
                walk_apart(a, a_end, b, b_end, level + 1, walk);
                b = b_end;
            }
            a = a_end;
        }
        walk.step[level] = 0;
    }

    void count_between(std::size_t gx, std::size_t gy, Walk& walk) const {
        const std::size_t xb = group_begin_[gx];
        const std::size_t nx = group_begin_[gx + 1] - xb;
        const std::size_t yb = group_begin_[gy];
        const std::size_t ny = group_begin_[gy + 1] - yb;
        // Only the first `dims` entries are set and read.
        std::array<const Lane*, kMostDimensions> thresholds;
        std::array<const Lane*, kMostDimensions> values;
        // The templates of either group in ascending order of a dimension's
        // columns: in the order of their sample k for a step up (reach and
        // near grow with the value), backwards for a step down. Coordinate 0
        // only ever steps up, and is then the groups' own order.
        std::array<ItemOrder, kMostDimensions> x_orders;
        std::array<ItemOrder, kMostDimensions> y_orders;
        std::size_t dims = 0;
        for (std::size_t k = 0; k < length_; ++k) {
            if (walk.step[k] == 0) continue;
            const bool up = walk.step[k] > 0;
            thresholds[dims] = column(k, up ? kReach : kNegNear) + xb;
            values[dims] = column(k, up ? kNear : kNegReach) + yb;
            if (k > 0 && ordered_) {
                const std::uint32_t* by_k = by_coordinate_.data() + (k - 1) * templates_;
                x_orders[dims] = ItemOrder{by_k + xb, nx, !up};
                y_orders[dims] = ItemOrder{by_k + yb, ny, !up};
            }
            ++dims;
        }
        const std::uint64_t pairs = static_cast<std::uint64_t>(nx) * ny;
        if (pairs <= compared_pairs_) walk.pacer.advance(pairs * dims / 16 + 16);
        if (pairs <= SearchPolicy::kScalarDominancePairs) {
            std::uint64_t matches = 0;
            for (std::size_t a = 0; a < nx; ++a) {
                for (std::size_t b = 0; b < ny; ++b) {
                    bool match = true;
                    for (std::size_t q = 0; q < dims; ++q) match &= values[q][b] <= thresholds[q][a];
                    matches += match ? 1 : 0;
                }
            }
            walk.total += matches;
            return;
        }
        const bool led = ordered_ && walk.step[0] > 0;
        const std::size_t tables = BitsetDominance<Lane>::tables(dims, led);
        if (ordered_ && pacer_.context().search().bitset_dominance(pairs, ny, tables)) {
            walk.pacer.advance(static_cast<std::uint64_t>(nx + ny) * dims * 4 +
                               pairs * dims / 256);
            walk.total += walk.bitsets.count(nx, thresholds.data(), x_orders.data(), ny,
                                             values.data(), y_orders.data(), dims, led);
            return;
        }
        if (pairs <= compared_pairs_) {
            // One cell apart in coordinate 0, the groups' order (ascending in
            // that coordinate's columns) leads the comparison.
            walk.total += led && pairs >= led_pairs_ ? dominated_pairs_led<Lane>(nx, thresholds.data(), ny,
                                                                        values.data(), dims)
                                           : dominated_pairs_compared<Lane>(
                                                 nx, thresholds.data(), ny, values.data(), dims);
            return;
        }
        walk.total += walk.dominance.count(nx, thresholds.data(), ny, values.data(), dims, walk.pacer);
    }

    Pacer& pacer_;
    std::span<const std::int32_t> first_;
    std::span<const std::uint32_t> by_value_;
    std::span<const std::int32_t> high_;
    std::span<const std::int32_t> cell_;
    std::span<const std::int32_t> cell_start_;
    std::size_t length_;
    std::size_t templates_;
    std::size_t stride_;
    std::uint64_t compared_pairs_;
    std::uint64_t led_pairs_;
    Uninitialized<std::uint32_t> order_;
    std::vector<std::uint32_t> group_begin_;
    std::vector<std::int32_t> group_cells_;
    std::vector<std::uint32_t> by_coordinate_;
    bool ordered_ = false;
    Uninitialized<Lane> columns_;
};

}  // namespace

std::uint64_t cell_group_pairs(const SampleRanks& ranks, std::size_t length,
                               std::size_t templates, Pacer& pacer) {
    if (ranks.widest_cell <= kNarrowCell && !pacer.context().search().force_wide_lanes(length)) {
        return CellGroupPairs<std::int16_t>(ranks, length, templates, pacer).count();
    }
    return CellGroupPairs<std::int32_t>(ranks, length, templates, pacer).count();
}

}  // namespace quorlin::complexity
