// Two-sample templates grouped by their pair of cells (ranking.hpp): c0, the
// cell of the first sample, and c1, the cell of the second. Pairs within a
// group all match. A pair of templates in different groups can only match
// when the groups are neighbours, at most one cell apart in both
// coordinates, and then each coordinate one cell apart is a single
// one-sided comparison of sorted positions:
//   (c0 + 1, c1):     first[j] <= high[i], a merge along the first samples;
//   (c0, c1 + 1):     first[j + 1] <= high[i + 1], a merge along the second;
//   (c0 + 1, c1 + 1): both, a sweep along the first samples that marks the
//                     ranks of the second samples within the group of j
//                     (TakenSlots);
//   (c0 + 1, c1 - 1): the first, and first[j + 1] >= low[i + 1], the same
//                     sweep counting the complement.
// Every unordered pair of neighbouring groups is one of these four for one
// of its two orders, so each pair of templates is counted once.
//
// A single sweep over all templates would need a tree over all N positions
// (cache misses at every level past the first few, growing with N); here
// every tree and merge spans two groups, so the work stays in cache and the
// pairs of groups are independent tasks with integer counts.
#include "complexity/sample_entropy/two_sample_groups.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/uninitialized.hpp"
#include "complexity/sample_entropy/template_matches.hpp"
#include "numerics/counting_sort.hpp"
#include "numerics/fenwick_tree.hpp"

namespace quorlin::complexity {
namespace {

using Position = std::int32_t;

class TwoSampleGroups {
public:
    TwoSampleGroups(const SampleRanks& ranks, std::size_t templates, Pacer& pacer)
        : ranks_(ranks), templates_(templates), pacer_(pacer) {}

    std::uint64_t count() {
        // Per template: two orders and a sorting buffer, the group and slot
        // of each template, and six columns of positions.
        require_memory(templates_, 4 * 3 + 8 + 4 * 6);
        group();
        fill_columns();
        const std::size_t cells = ranks_.cell_start.size() - 1;
        // The groups that share a second cell form a run; each run with the
        // pairs it makes with the runs one cell up (and, for the diagonal
        // down, one cell down) is a task. Integer counts: their sum does not
        // depend on who counted what.
        std::vector<std::uint64_t> totals(cells, 0);
        for_each_task(pacer_.context(), cells,
                      [&](std::size_t c1, Pacer& pacer) { totals[c1] = count_run(c1, pacer); });
        std::uint64_t total = 0;
        for (const std::uint64_t part : totals) total += part;
        return total;
    }

private:
    struct Home {
        std::uint32_t slot;
        std::uint32_t group;
    };

    // How far ahead the scattered passes ask for what they will read.
    static constexpr std::size_t kAhead = 16;

    // Slots in order of (c1, c0, position of the first sample): the
    // templates in ascending order of their first sample (the ranking's
    // order, less the samples that start no template), then sorted stably
    // by their second cell. Groups are the runs of equal (c1, c0). The
    // workers share the sort and the search for the runs block by block.
    void group() {
        const ExecutionContext& context = pacer_.context();
        const std::int32_t* cell = ranks_.cell.data();
        const std::size_t cells = ranks_.cell_start.size() - 1;
        const std::size_t samples = ranks_.order.size();
        const std::uint32_t* by_value = ranks_.order.data();
        block_ = context.search().sort_block(samples, cells, context.workers());
        slots_.resize(templates_);
        std::vector<std::uint32_t> slots;
        std::uint32_t* const sorted = slots_.data();
        const std::size_t templates = templates_;
        blocked_counting_sort(
            context, samples, cells, block_, slots,
            [=](std::size_t e) {
                const std::uint32_t t = by_value[e];
                return t < templates ? static_cast<std::size_t>(cell[t + 1]) : cells;
            },
            [=](std::size_t e, std::uint32_t slot) { sorted[slot] = by_value[e]; });
        pacer_.advance(cells);
        begin_ = run_starts(context, templates_, block_, [&](std::size_t p) {
            const std::uint32_t i = slots_[p];
            const std::uint32_t before = slots_[p - 1];
            return cell[i] != cell[before] || cell[i + 1] != cell[before + 1];
        });
        const std::size_t groups = begin_.size() - 1;
        cell0_.resize(groups);
        run_begin_.assign(cells + 1, 0);
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint32_t i = slots_[begin_[g]];
            cell0_[g] = cell[i];
            ++run_begin_[static_cast<std::size_t>(cell[i + 1]) + 1];
        }
        for (std::size_t c = 0; c < cells; ++c) run_begin_[c + 1] += run_begin_[c];
        pacer_.advance(groups + cells);
        home_.resize(templates_);
        for_each_in_runs(context, templates_, block_, begin_, [&](std::size_t p, std::size_t g) {
            home_[slots_[p]] = Home{static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(g)};
        });
    }

    // Along the first samples, in slot order: first[i] (a y's value) and
    // high[i] (an x's threshold), both non-decreasing within a group. Along
    // the second samples, in a second slot order that holds each group's
    // templates in ascending order of their second sample: first[i + 1],
    // high[i + 1] and low[i + 1], again non-decreasing within a group; and
    // per slot, the template's rank in that second order within its group.
    void fill_columns() {
        const ExecutionContext& context = pacer_.context();
        const std::int32_t* first = ranks_.first.data();
        const std::int32_t* low = ranks_.low.data();
        const std::int32_t* high = ranks_.high.data();
        first0_.resize(templates_);
        high0_.resize(templates_);
        for_each_block(context, templates_, block_,
                       [&](std::size_t, std::size_t begin, std::size_t end, Pacer& pacer) {
            for (std::size_t p = begin; p < end; ++p) {
                const std::uint32_t i = slots_[p];
                first0_[p] = first[i];
                high0_[p] = high[i];
            }
            pacer.advance(2 * (end - begin));
        });
        slots_ = {};
        rank1_.resize(templates_);
        first1_.resize(templates_);
        high1_.resize(templates_);
        low1_.resize(templates_);
        std::vector<std::uint32_t> next(begin_.begin(), begin_.end() - 1);
        // The samples in ascending order: sample t is the second one of
        // template t - 1, which lands at its group's next free slot. One
        // thread scatters, as in the cell groups' orders.
        const std::uint32_t* const by_value = ranks_.order.data();
        const std::size_t samples = ranks_.order.size();
        for (std::size_t e = 0; e < samples; ++e) {
            // The samples come in order of value, scattered over the series:
            // asking a dozen samples ahead for the four records each one
            // reads keeps their misses in flight together, where the loop
            // would otherwise wait on each in turn. The template index is
            // clamped only to stay inside `home_`.
            const std::uint32_t ahead = by_value[std::min(e + kAhead, samples - 1)];
            __builtin_prefetch(home_.data() +
                               std::min<std::size_t>(ahead == 0 ? 0 : ahead - 1, templates_ - 1));
            __builtin_prefetch(first + ahead);
            __builtin_prefetch(high + ahead);
            __builtin_prefetch(low + ahead);
            const std::uint32_t t = by_value[e];
            if (t == 0 || t - 1 >= templates_) continue;
            const Home home = home_[t - 1];
            const std::uint32_t q = next[home.group]++;
            rank1_[home.slot] = q - begin_[home.group];
            first1_[q] = first[t];
            high1_[q] = high[t];
            low1_[q] = low[t];
        }
        home_ = {};
        pacer_.advance(8 * templates_);
    }

    std::uint64_t count_run(std::size_t c1, Pacer& pacer) const {
        const std::size_t cells = run_begin_.size() - 1;
        const std::size_t begin = run_begin_[c1];
        const std::size_t end = run_begin_[c1 + 1];
        // The groups one cell up and one cell down in the second sample,
        // walked along with this run (all in ascending c0).
        std::size_t up = c1 + 1 < cells ? run_begin_[c1 + 1] : end;
        const std::size_t up_end = c1 + 1 < cells ? run_begin_[c1 + 2] : end;
        std::size_t down = c1 > 0 ? run_begin_[c1 - 1] : begin;
        const std::size_t down_end = c1 > 0 ? run_begin_[c1] : begin;
        Scratch scratch;
        std::uint64_t total = 0;
        for (std::size_t g = begin; g < end; ++g) {
            const Position c0 = cell0_[g];
            const std::uint64_t size = begin_[g + 1] - begin_[g];
            total += unordered_pairs(size);
            std::uint64_t work = size;
            if (g + 1 < end && cell0_[g + 1] == c0 + 1) {
                total += along_first(g, g + 1);
                work += 2 * size_of(g + 1);
            }
            while (up < up_end && cell0_[up] < c0) ++up;
            if (up < up_end && cell0_[up] == c0) {
                total += along_second(g, up);
                work += 2 * size_of(up);
            }
            const std::size_t diagonal = up < up_end && cell0_[up] == c0 ? up + 1 : up;
            if (diagonal < up_end && cell0_[diagonal] == c0 + 1) {
                total += along_both(g, diagonal, true, scratch);
                work += 32 * (size + size_of(diagonal));
            }
            while (down < down_end && cell0_[down] <= c0) ++down;
            if (down < down_end && cell0_[down] == c0 + 1) {
                total += along_both(g, down, false, scratch);
                work += 32 * (size + size_of(down));
            }
            pacer.advance(work);
        }
        return total;
    }

    struct Scratch {
        TakenSlots entered;
        std::vector<std::uint32_t> passing;
    };

    std::size_t size_of(std::size_t g) const { return begin_[g + 1] - begin_[g]; }

    // x in group g, y in group h one cell up in the first sample and in the
    // same cell in the second: how many y have first <= high(x).
    std::uint64_t along_first(std::size_t g, std::size_t h) const {
        return merged(first0_.data(), begin_[h], begin_[h + 1], high0_.data(), begin_[g],
                      begin_[g + 1]);
    }

    // The same, one cell up in the second sample and in the same cell in the
    // first.
    std::uint64_t along_second(std::size_t g, std::size_t h) const {
        return merged(first1_.data(), begin_[h], begin_[h + 1], high1_.data(), begin_[g],
                      begin_[g + 1]);
    }

    // Sum over x in [xb, xe) of #{y in [yb, ye) : value[y] <= threshold[x]},
    // both non-decreasing.
    static std::uint64_t merged(const Position* value, std::size_t yb, std::size_t ye,
                                const Position* threshold, std::size_t xb, std::size_t xe) {
        std::uint64_t total = 0;
        std::size_t within = yb;
        for (std::size_t a = xb; a < xe; ++a) {
            while (within < ye && value[within] <= threshold[a]) ++within;
            if (within == ye) return total + static_cast<std::uint64_t>(xe - a) * (ye - yb);
            total += within - yb;
        }
        return total;
    }

    // x in group g, y in group h one cell up in the first sample and one
    // cell up (`up`) or down in the second.
    std::uint64_t along_both(std::size_t g, std::size_t h, bool up, Scratch& scratch) const {
        const std::size_t xb = begin_[g], xe = begin_[g + 1];
        const std::size_t yb = begin_[h], ye = begin_[h + 1];
        const std::size_t ny = ye - yb;
        // Per x, by its rank along the second samples: the y that pass the
        // second sample's test are, going up, the first `passing` of h's
        // second order; going down, all but the first `passing`.
        scratch.passing.resize(xe - xb);
        std::size_t within = yb;
        if (up) {
            for (std::size_t q = xb; q < xe; ++q) {
                while (within < ye && first1_[within] <= high1_[q]) ++within;
                scratch.passing[q - xb] = static_cast<std::uint32_t>(within - yb);
            }
        } else {
            for (std::size_t q = xb; q < xe; ++q) {
                while (within < ye && first1_[within] < low1_[q]) ++within;
                scratch.passing[q - xb] = static_cast<std::uint32_t>(within - yb);
            }
        }
        // The y enter, by their rank along the second samples, as soon as
        // they pass an x's first-sample test; the x come in ascending order
        // of that threshold, so the entered y only grow.
        TakenSlots& entered = scratch.entered;
        entered.reset(ny);
        std::uint64_t total = 0;
        std::size_t next = yb;
        std::size_t a = xb;
        for (; a < xe; ++a) {
            for (; next < ye && first0_[next] <= high0_[a]; ++next) entered.take(rank1_[next]);
            if (next == ye) break;
            const std::uint32_t passing = scratch.passing[rank1_[a]];
            const std::uint32_t both = entered.below(passing);
            total += up ? both : static_cast<std::uint32_t>(next - yb) - both;
        }
        // Every y has entered: the second sample alone decides.
        for (; a < xe; ++a) {
            const std::uint32_t passing = scratch.passing[rank1_[a]];
            total += up ? passing : static_cast<std::uint32_t>(ny) - passing;
        }
        return total;
    }

    const SampleRanks& ranks_;
    std::size_t templates_;
    Pacer& pacer_;
    std::size_t block_ = 1;  // items per block of the workers' passes
    Uninitialized<std::uint32_t> slots_;
    Uninitialized<Home> home_;
    std::vector<std::uint32_t> begin_;       // group g: slots begin_[g] .. begin_[g + 1] - 1
    std::vector<Position> cell0_;            // its first sample's cell
    std::vector<std::uint32_t> run_begin_;   // groups with second cell c: run_begin_[c] ..
    Uninitialized<Position> first0_;
    Uninitialized<Position> high0_;
    Uninitialized<std::uint32_t> rank1_;
    Uninitialized<Position> first1_;
    Uninitialized<Position> high1_;
    Uninitialized<Position> low1_;
};

}  // namespace

std::uint64_t two_sample_group_pairs(const SampleRanks& ranks, std::size_t templates,
                                     Pacer& pacer) {
    if (templates < 2) return 0;
    return TwoSampleGroups(ranks, templates, pacer).count();
}

}  // namespace quorlin::complexity
