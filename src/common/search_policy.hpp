// Where the kernels switch between two exact ways to the same result.
//
// Every search and count below exists twice: a direct way (the exhaustive
// scan in increasing index, the reference) and a fast way (a k-d tree, tiles
// of pairs, a ranking of the series) that returns the same answers to the
// last bit. Which one runs only decides how long a call takes, so the
// choice lives here, in one object, with the measurement behind each
// switch-over, and reaches the kernels through their execution context.
//
// The shipped modules choose by problem size. The test-only twins of the
// module construct a policy that always takes one way, so that the tests can
// compare the two on inputs of every size; the kernels never know which
// policy they were given.
//
// The few cut-offs below which a kernel stays on one thread, however many
// workers it may use, sit here too: they are the same kind of measured
// break-even, between the same results computed two ways.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/wide_lanes.hpp"

namespace quorlin {

class SearchPolicy {
public:
    enum class Choice { by_size, direct, fast };

    constexpr explicit SearchPolicy(Choice choice) : choice_(choice) {}

    // --- Neighbour searches -------------------------------------------------

    // A k-d tree rather than exhaustive scans, for `queries` rows searched
    // among `candidates` rows of `m` coordinates. The work is the scans'
    // count of coordinate differences. Measured on delay vectors of the
    // Lorenz x-coordinate and of Gaussian noise (m = 3): the tree overtakes
    // the scans at 1.5e4 to 2e4 for nearest neighbours and radius searches
    // alike (the false-neighbour steps: from about 120 samples of the Lorenz
    // x-coordinate, 1.4e4, breaking even there on noise).
    bool use_tree(std::uint64_t queries, std::uint64_t candidates, std::uint64_t m) const {
        return fast_when(work(queries, candidates, m), kTreeWork);
    }

    // Divergence curves: the tiled follower rather than following each pair
    // on its own, for `references` reference points followed over `steps`
    // steps in `m` coordinates (the work when every reference has one
    // partner). Measured crossovers on the Lorenz x-coordinate: about 1.5e4
    // for Rosenstein's nearest-neighbour pairs, 2e4 for Kantz's pairs.
    bool use_tiles(std::uint64_t references, std::uint64_t steps, std::uint64_t m) const {
        return fast_when(work(references, steps, m), kTileWork);
    }

    // --- Vector lanes ---------------------------------------------------------

    // The local-linearization fits and their ball scans in 8 lanes rather
    // than 4 where the processor has AVX-512 (wide_lanes.hpp): measured on
    // an AMD EPYC with the Lorenz flow, 100,000 rows on one core, 2.65 s
    // against 3.69 s. Each lane computes the same bits at either width; the
    // direct twin keeps 4 lanes, so that the twins compare the two.
    bool wide_fit_lanes() const { return choice_ != Choice::direct && wide_lanes_available(); }

    // --- Sample entropy -----------------------------------------------------

    // Longest template length the ranking counts; beyond it the neighbouring
    // groups of cells are too many to enumerate cheaply.
    static constexpr std::size_t kLongestRankedTemplate = 12;

    // Ranking the series and counting by groups of cells rather than the
    // diagonal pair scan, for `templates` templates of length `m`. The
    // break-even, in template pairs (templates^2 / 2), grows with m: longer
    // templates scatter into more groups with more neighbours, while the
    // scan's cost hardly depends on m. Measured on white noise and on the
    // Lorenz x-coordinate, the later break-even of the two.
    bool rank_templates(std::uint64_t m, double templates) const {
        if (m >= kLongestRankedTemplate) return false;
        return fast_when(templates * templates / 2, kRankedPairs[static_cast<std::size_t>(m)]);
    }

    // Whether the ranking still pays with `holed` templates (holding a NaN
    // sample) among `templates`. Settling a holed template costs a pass over
    // all templates, each pair about six times a cell of the scan (branchy,
    // where the scan runs in vectors), and the scan covers templates^2 / 2
    // cells: on white noise the two break even at about templates / 14
    // holed ones (10^5 templates, m = 2: some 1500 NaN samples). The ranking
    // is kept below templates / 16.
    bool settle_holes_apart(double holed, double templates) const {
        return choice_ == Choice::fast || holed < templates / 16;
    }

    // Pairs of two-sample templates by sweeps over each pair of neighbouring
    // groups with a tree the size of the group, rather than by the general
    // groups of cells. The general groups compare in vectors while they stay
    // small; the sweeps win from 2^17 templates (measured break-even). Both
    // count pairs of groups as tasks on every worker. The fast twin always
    // sweeps, the shipped module's short series exercise the general groups.
    bool group_two_sample_pairs(std::size_t templates) const {
        if (choice_ == Choice::fast) return true;
        return templates >= kSweptTwoSampleTemplates;
    }

    // Whether templates of `length` samples are held in 32-bit lanes even
    // where their cells would fit 16 bits: the fast twin does so from four
    // samples on, so that short test series exercise both widths.
    bool force_wide_lanes(std::size_t length) const {
        return choice_ == Choice::fast && length >= 4;
    }

    // Up to this many pairs a dominance problem between two groups of cells
    // is compared pair by pair in vectors; beyond it the counting sorts. A
    // vectorised comparison of a pair costs a few hundredths of a
    // nanosecond, sorting a few nanoseconds per item and level. The fast twin
    // sorts all but the smallest problems, so that short test series reach
    // the sorted counting too.
    std::uint64_t brute_dominance_pairs() const {
        return choice_ == Choice::fast ? 64 : std::uint64_t{1} << 18;
    }

    // Bit sets rather than comparisons or the sorted counting, for a
    // dominance problem of `pairs` pairs with `ny` items on the value side
    // and `tables` dimensions that need a table of ny + 1 rows of ny bits,
    // between groups already put in order (below). They cost a pass over
    // the items per dimension and then 1/64 of a word operation per pair and
    // dimension; measured on white noise at 2e6 samples they do best from
    // about 2^14 pairs (groups of some 128 templates) on, wherever their
    // tables stay under 4 MiB. The fast twin takes them for small problems
    // only, leaving the larger ones to the comparisons and the sorted
    // counting.
    bool bitset_dominance(std::uint64_t pairs, std::uint64_t ny, std::size_t tables) const {
        const std::uint64_t rows = tables == 0 ? 1 : tables;
        // ny * ny * rows > kBitsetTableBits, without overflowing.
        if (ny != 0 && ny * rows > kBitsetTableBits / ny) return false;
        if (choice_ == Choice::fast) return pairs > kScalarDominancePairs && pairs <= 512;
        if (choice_ == Choice::direct) return false;
        return pairs >= kBitsetPairs;
    }

    // From this many pairs on, a pair of ordered cell groups one cell apart
    // in their first coordinate is compared along that coordinate's order
    // (only the y within an x's first threshold are compared, in the other
    // coordinates). Below it, finding where each x's run of y ends
    // mispredicts more than it saves.
    std::uint64_t led_dominance_pairs() const {
        return choice_ == Choice::fast ? 0 : kLedPairs;
    }

    // Whether to put the groups of cells of `templates` templates in the
    // orders the two ways above read, given the pairs of the largest group
    // with itself. The orders cost a pass over the ranking's order per
    // coordinate with scattered accesses, which only the long series repay:
    // on white noise (m = 2) the ordered ways took 25 % off at 2e6 samples,
    // broke even at 1e6, and lost 10 to 40 % from 1e5 to 5e5, where the
    // groups are small and the memory traffic of the orders dominates. (From
    // 2^18 templates they do run fewer instructions, 13 % fewer at 5e5 and
    // 55 % at 1e6, but no less time: that is memory traffic again.) With
    // `wide_lanes` (cells too wide for 16 bits: on noise from about 8e5
    // samples) the comparisons cost twice as much, and the ordered ways
    // already pay from 2^19 templates: 2 to 15 % off at 1e6 over several
    // runs on a busy machine, where with 16-bit lanes at 8e5 they lost 40 %.
    bool order_cell_groups(std::size_t templates, std::uint64_t largest_pairs,
                           bool wide_lanes) const {
        if (choice_ == Choice::fast) return true;
        if (choice_ == Choice::direct) return false;
        const std::size_t from = wide_lanes ? kOrderedWideTemplates : kOrderedTemplates;
        return templates >= from && largest_pairs >= std::min(kLedPairs, kBitsetPairs);
    }

    // Below this many pairs plain scalar comparisons beat setting up vectors
    // (most neighbouring groups of irregular signals hold a template or two).
    static constexpr std::uint64_t kScalarDominancePairs = 8;

    // Keys spanning at most this range are sorted (or indexed) by value,
    // wider ones by digits (or by rank): a table of a few slots per item
    // stays in cache and costs less than a second pass.
    static constexpr bool index_by_value(std::size_t range, std::size_t items) {
        return range <= 16 * items + 4096;
    }

    // --- Threads -------------------------------------------------------------
    //
    // The costs of a parallel phase quoted below (25 to 40 us with two
    // workers, tens of microseconds a band) were measured with fresh threads
    // for every phase. The phases of one call of the threaded module now
    // share one team of threads (worker_team.hpp), which hands a phase over
    // in less, so these switch-overs err towards one thread.

    // Hurst's window sizes go to threads from this much work on (pacer
    // units: two passes over every sample for every window size). A unit
    // costs 0.5 to 0.65 ns for R/S and DFA alike (one core, 10^6 samples), so
    // this is 2 to 3 ms: well above the cost of starting threads and of the
    // extra passes over the series that blocks of sizes make. A length would
    // misjudge one of the two: R/S (89 sizes from 200 samples on) reaches
    // this near 24,000 samples, DFA (20 scales from 400 on) near 105,000.
    static constexpr bool thread_window_sizes(double work) {
        return work >= static_cast<double>(std::uint64_t{1} << 22);
    }

    // A k-d tree over `rows` rows is built on the workers from 2^15 rows on
    // (the tree is the same either way). On one core the build costs 0.2 to
    // 0.6 us per row (2 to 8 coordinates, 3e4 to 1e6 rows of Gaussian
    // noise); the threaded build starts threads eight times (its first
    // levels, the subtrees, their copy into place, the bounding box), at 25
    // to 40 us each with two workers. From 2^15 rows, some 6 ms of building
    // or more, the starts cost under 5 % of it.
    bool thread_tree_build(std::uint64_t rows) const {
        return fast_when(static_cast<double>(rows), kThreadedTreeRows);
    }

    // Delay vectors are copied into rows by the workers from 2^17 values on:
    // written to fresh memory, a value costs 1.5 to 6 ns on one core (page
    // faults included), so that the 25 to 40 us of starting threads is under
    // a tenth of the copy.
    bool thread_embedding(std::uint64_t values) const {
        return fast_when(static_cast<double>(values), kThreadedEmbeddingValues);
    }

    // The tiled divergence follow-up passes over ranges of steps at the same
    // time from this much work on (pacer units: every pair's cells over every
    // step). A further range costs a pass over the partner lists and the
    // cells where it begins, some percent of a follow-up that size. The fast
    // twin always does, so that short test series exercise the ranges.
    bool thread_follow_up(double work) const {
        return fast_when(work, kFollowUpThreadWork);
    }

    // Whether the workers share each band of that follow-up, rather than
    // each passing a range of steps of its own, with `pairs` pairs in flight
    // in a band on average: from 2^14 (half a million additions a band,
    // some 0.1 ms or more), past the cost of starting threads twice a band.
    // Kantz's pairs are far beyond (some 2 million at 20,000 samples),
    // Rosenstein's far below (one per reference). The fast twin shares bands
    // from 64 pairs on, so that short test series take both ways.
    bool split_bands(double pairs) const {
        if (choice_ == Choice::fast) return pairs >= 64;
        return pairs >= kSplitBandPairs;
    }

    // A band so shared is split only from this much work on (pacer units):
    // starting and joining the threads of a band's phase costs some tens of
    // microseconds.
    bool split_band(double work) const { return fast_when(work, kBandThreadWork); }

    // Items per block of the passes that sample entropy's ranking and
    // grouping share among `workers` threads: the stable counting sorts by
    // `keys` keys (blocked_counting_sort: the ranking's radix passes over
    // the samples, 2^11 digits; the groupings of templates by cell, a few
    // dozen cells on noise at the default tolerance, up to one per sample
    // for a tiny one), and the plain passes beside them (no keys). A block
    // counts its keys and the counts are summed on one thread, so a block
    // holds at least as many items as keys: the counts then cost no more
    // room or time than a pass over the items.
    // And at least 2^15 items: a block also costs two binary searches and a
    // histogram of 2^11 counts a digit, under 2 % of it. Within these
    // bounds, as many blocks as fit, of equal size, rounded down to a
    // multiple of the workers so that none waits for a last short block (at
    // 10^5 samples and two workers: two blocks of 50,000). One block, the
    // plain serial pass, for one worker or fewer than two blocks' worth of
    // items. The fast twin cuts blocks of 64 items (at least a 32nd of the
    // keys, its counts up to 32 times the items), so that short test series
    // cross many blocks.
    std::size_t sort_block(std::size_t items, std::size_t keys, unsigned workers) const {
        const std::size_t whole = std::max<std::size_t>(items, 1);
        if (workers <= 1) return whole;
        if (choice_ == Choice::fast) {
            const std::size_t block = std::max<std::size_t>(64, keys / 32);
            return items < 2 * block ? whole : block;
        }
        std::size_t blocks = items / std::max(kSortBlockItems, keys);
        if (blocks < 2) return whole;
        if (blocks >= workers) blocks -= blocks % workers;
        return (items + blocks - 1) / blocks;
    }

    // How long a thread of a worker team spins, waiting for the next phase
    // or for the others to finish one, before it sleeps (worker_team.hpp).
    // Waking a sleeping thread costs some 5 to 50 us from the system's
    // scheduler; most phases of one call follow one another within a few
    // microseconds, which the spin catches. Longer spins would take a core
    // from other work on a busy machine for little gain.
    static constexpr std::chrono::microseconds kHandOffSpin{50};

private:
    static constexpr double kThreadedEmbeddingValues = 131072;  // 2^17
    static constexpr double kThreadedTreeRows = 32768;          // 2^15
    static constexpr double kFollowUpThreadWork = 1 << 24;
    static constexpr double kSplitBandPairs = 1 << 14;
    static constexpr double kBandThreadWork = 1 << 18;
    static constexpr double kTreeWork = 2e4;
    static constexpr double kTileWork = 2e4;
    static constexpr std::array<double, kLongestRankedTemplate> kRankedPairs = {
        2e4, 2e4, 1e5, 5e5, 1e6, 1.5e6, 4e6, 8e6, 1.2e7, 1.8e7, 3e7, 6e7};
    static constexpr std::uint64_t kBitsetPairs = std::uint64_t{1} << 14;
    static constexpr std::uint64_t kLedPairs = std::uint64_t{1} << 12;
    static constexpr std::size_t kOrderedTemplates = std::size_t{1} << 20;
    static constexpr std::size_t kOrderedWideTemplates = std::size_t{1} << 19;
    static constexpr std::uint64_t kBitsetTableBits = std::uint64_t{1} << 25;
    static constexpr std::size_t kSweptTwoSampleTemplates = std::size_t{1} << 17;
    static constexpr std::size_t kSortBlockItems = std::size_t{1} << 15;

    // The product in doubles, from the left: the decisions above compare
    // exactly these values with their switch-overs.
    static double work(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
        return static_cast<double>(a) * static_cast<double>(b) * static_cast<double>(c);
    }

    bool fast_when(double work, double switch_over) const {
        if (choice_ == Choice::direct) return false;
        if (choice_ == Choice::fast) return true;
        return work >= switch_over;
    }

    Choice choice_;
};

// The policy of the shipped modules and of every context that names none.
inline constexpr SearchPolicy kSearchBySize{SearchPolicy::Choice::by_size};
inline constexpr SearchPolicy kAlwaysDirect{SearchPolicy::Choice::direct};
inline constexpr SearchPolicy kAlwaysFast{SearchPolicy::Choice::fast};

}  // namespace quorlin
