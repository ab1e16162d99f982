// Dominance counting: how many pairs (x, y) of two item sets have
// value_q(y) <= threshold_q(x) in every dimension q < K, over small integer
// columns. Sample entropy's groups of cells reduce the matching of
// neighbouring groups to exactly this (cell_groups.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/execution.hpp"
#include "common/search_policy.hpp"
#include "numerics/counting_sort.hpp"
#include "numerics/fenwick_tree.hpp"

namespace quorlin::complexity {

// One dimension per template coordinate.
inline constexpr std::size_t kMostDimensions = SearchPolicy::kLongestRankedTemplate;

template <class Lane>
struct LaneVector;
template <>
struct LaneVector<std::int16_t> {
    typedef std::int16_t Type __attribute__((vector_size(16)));
    static constexpr std::size_t kLanes = 8;
};
template <>
struct LaneVector<std::int32_t> {
    typedef std::int32_t Type __attribute__((vector_size(16)));
    static constexpr std::size_t kLanes = 4;
};

// Comparison masks (-1 in each true lane) added lane by lane in narrow
// lanes, and emptied into 64 bits before any lane could overflow: `drained`
// holds the true lanes added up to the last drain(). The caller counts its
// additions in `steps` and drains at its own bound, which depends on how
// many masks one step adds.
template <class Lane>
struct MaskTally {
    using V = typename LaneVector<Lane>::Type;
    V count = {};
    std::size_t steps = 0;
    std::uint64_t drained = 0;

    void drain() {
        std::int64_t lanes = 0;
        for (std::size_t lane = 0; lane < LaneVector<Lane>::kLanes; ++lane) lanes += count[lane];
        drained += static_cast<std::uint64_t>(-lanes);
        count = V{};
        steps = 0;
    }
};

// Brute force over all nx * ny pairs, from columns: thresholds[q][a] for
// x = a and values[q][b] for y = b. Each value column must stay readable up
// to the end of the vector holding its last value (the lanes past ny are
// counted as failing). Kdims = 0 reads the dimension count from `dims`.
template <class Lane, std::size_t Kdims>
std::uint64_t dominated_pairs_compared(std::size_t nx, const Lane* const* thresholds,
                                       std::size_t ny, const Lane* const* values,
                                       std::size_t dims) {
    using V = typename LaneVector<Lane>::Type;
    constexpr std::size_t kLanes = LaneVector<Lane>::kLanes;
    if (nx == 0 || ny == 0) return 0;
    const std::size_t k = Kdims != 0 ? Kdims : dims;
    const std::size_t vectors = (ny + kLanes - 1) / kLanes;
    V beyond;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        beyond[lane] = (vectors - 1) * kLanes + lane >= ny ? Lane{-1} : Lane{0};
    }
    // Failing lanes are counted (each adds -1); a step adds at most 2 to a
    // lane, so the accumulator is emptied before any lane could overflow.
    constexpr std::size_t kFlushSteps = std::numeric_limits<Lane>::max() / 2;
    MaskTally<Lane> failing;
    const auto exceeds = [&](const std::array<V, kMostDimensions>& limit,
                             std::size_t v) {
        V out = {};
        for (std::size_t q = 0; q < k; ++q) {
            V y;
            std::memcpy(&y, values[q] + v * kLanes, sizeof y);
            out |= y > limit[q];
        }
        return out;
    };
    std::array<V, kMostDimensions> first;
    std::array<V, kMostDimensions> second;
    std::size_t a = 0;
    // Two x at a time share the loads of the y vectors.
    for (; a + 2 <= nx; a += 2) {
        if (failing.steps + vectors > kFlushSteps) failing.drain();
        for (std::size_t q = 0; q < k; ++q) {
            first[q] = V{} + thresholds[q][a];
            second[q] = V{} + thresholds[q][a + 1];
        }
        for (std::size_t v = 0; v + 1 < vectors; ++v) {
            V e1 = {};
            V e2 = {};
            for (std::size_t q = 0; q < k; ++q) {
                V y;
                std::memcpy(&y, values[q] + v * kLanes, sizeof y);
                e1 |= y > first[q];
                e2 |= y > second[q];
            }
            failing.count += e1 + e2;
        }
        failing.count +=
            (exceeds(first, vectors - 1) | beyond) + (exceeds(second, vectors - 1) | beyond);
        failing.steps += vectors;
    }
    if (a < nx) {
        if (failing.steps + vectors > kFlushSteps) failing.drain();
        for (std::size_t q = 0; q < k; ++q) first[q] = V{} + thresholds[q][a];
        for (std::size_t v = 0; v + 1 < vectors; ++v) failing.count += exceeds(first, v);
        failing.count += exceeds(first, vectors - 1) | beyond;
    }
    failing.drain();
    return static_cast<std::uint64_t>(nx) * (vectors * kLanes) - failing.drained;
}

// Calls `count` with std::integral_constant<std::size_t, K>, K the number of
// dimensions when it is 1, 2 or 3 (the lengths worth a loop the compiler
// unrolls) and 0 for any other, which the kernels read as "dims at run time".
template <class Count>
std::uint64_t with_fixed_dimensions(std::size_t dims, Count&& count) {
    switch (dims) {
        case 1:
            return count(std::integral_constant<std::size_t, 1>{});
        case 2:
            return count(std::integral_constant<std::size_t, 2>{});
        case 3:
            return count(std::integral_constant<std::size_t, 3>{});
        default:
            return count(std::integral_constant<std::size_t, 0>{});
    }
}

template <class Lane>
std::uint64_t dominated_pairs_compared(std::size_t nx, const Lane* const* thresholds,
                                       std::size_t ny, const Lane* const* values,
                                       std::size_t dims) {
    return with_fixed_dimensions(dims, [&](auto fixed) {
        return dominated_pairs_compared<Lane, decltype(fixed)::value>(nx, thresholds, ny, values,
                                                                      dims);
    });
}

// Brute force when the first dimension is in order: thresholds[0] and
// values[0] each non-decreasing. The y within an x's first threshold are then
// a prefix of the y that only grows from one x to the next, found by a
// pointer; only that prefix is compared, and in the other dimensions alone.
// On groups of cells about half of the pairs of a problem pass its first
// dimension, so this compares a third of what the plain brute force does in
// three dimensions, and merges in one. The same readability rule as above:
// value columns stay readable to the end of the vector holding their last
// value (lanes past the prefix are masked off).
template <class Lane, std::size_t Kdims>
std::uint64_t dominated_pairs_led(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                                  const Lane* const* values, std::size_t dims) {
    using V = typename LaneVector<Lane>::Type;
    constexpr std::size_t kLanes = LaneVector<Lane>::kLanes;
    const std::size_t k = Kdims != 0 ? Kdims : dims;
    const Lane* lead_threshold = thresholds[0];
    const Lane* lead_value = values[0];
    std::uint64_t total = 0;
    std::size_t within = 0;
    if (k == 1) {
        for (std::size_t a = 0; a < nx; ++a) {
            while (within < ny && lead_value[within] <= lead_threshold[a]) ++within;
            total += within;
        }
        return total;
    }
    // Passing lanes add -1 each, one vector per step: the accumulator is
    // emptied before any lane could overflow.
    constexpr std::size_t kFlushSteps = std::numeric_limits<Lane>::max();
    V lane_index;
    for (std::size_t lane = 0; lane < kLanes; ++lane) lane_index[lane] = static_cast<Lane>(lane);
    MaskTally<Lane> passed;
    std::array<V, kMostDimensions> limit;
    for (std::size_t a = 0; a < nx; ++a) {
        while (within < ny && lead_value[within] <= lead_threshold[a]) ++within;
        if (within == 0) continue;
        for (std::size_t q = 1; q < k; ++q) limit[q] = V{} + thresholds[q][a];
        const auto passing = [&](std::size_t v) {
            V pass = V{} - 1;
            for (std::size_t q = 1; q < k; ++q) {
                V y;
                std::memcpy(&y, values[q] + v * kLanes, sizeof y);
                pass &= y <= limit[q];
            }
            return pass;
        };
        const std::size_t full = within / kLanes;
        for (std::size_t v = 0; v < full;) {
            if (passed.steps == kFlushSteps) passed.drain();
            const std::size_t end = std::min(full, v + (kFlushSteps - passed.steps));
            passed.steps += end - v;
            for (; v < end; ++v) passed.count += passing(v);
        }
        const std::size_t tail = within - full * kLanes;
        if (tail != 0) {
            if (passed.steps == kFlushSteps) passed.drain();
            passed.count += passing(full) & (lane_index < V{} + static_cast<Lane>(tail));
            ++passed.steps;
        }
    }
    passed.drain();
    return passed.drained;
}

template <class Lane>
std::uint64_t dominated_pairs_led(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                                  const Lane* const* values, std::size_t dims) {
    if (nx == 0 || ny == 0) return 0;
    return with_fixed_dimensions(dims, [&](auto fixed) {
        return dominated_pairs_led<Lane, decltype(fixed)::value>(nx, thresholds, ny, values, dims);
    });
}

// A set of items in ascending order of one column: item indices, read
// backwards when `reversed`.
struct ItemOrder {
    const std::uint32_t* items;
    std::size_t size;
    bool reversed;
};

// For every x = 0 .. nx-1, the bits set in the AND of its `count` rows over
// their first `prefix` bits, summed: rows_of(a, rows) points rows[0 ..
// count-1] at x a's rows (each read from word 0) and returns its prefix, 0
// when it has no pair. The loops over a fixed number of rows (1 to 3, the
// counts a bit set meets with templates of up to four samples) are unrolled
// by the compiler, and chosen once for all the x. `Count` gives the bits set
// in one word.
template <std::size_t kRows, class RowsOf, class Count>
[[gnu::always_inline]] inline std::uint64_t anded_totals_fixed(std::size_t nx, std::size_t count,
                                                              RowsOf& rows_of, Count bits_in) {
    const std::size_t k = kRows != 0 ? kRows : count;
    std::array<const std::uint64_t*, kMostDimensions> rows;
    std::uint64_t total = 0;
    for (std::size_t a = 0; a < nx; ++a) {
        const std::size_t prefix = rows_of(a, rows.data());
        if (prefix == 0) continue;
        const std::size_t full = prefix / 64;
        for (std::size_t w = 0; w < full; ++w) {
            std::uint64_t bits = rows[0][w];
            for (std::size_t t = 1; t < k; ++t) bits &= rows[t][w];
            total += bits_in(bits);
        }
        if (prefix % 64 != 0) {
            std::uint64_t bits = rows[0][full] & ((std::uint64_t{1} << (prefix % 64)) - 1);
            for (std::size_t t = 1; t < k; ++t) bits &= rows[t][full];
            total += bits_in(bits);
        }
    }
    return total;
}

// Dispatched here, not through with_fixed_dimensions, so that the loops
// stay inlined into the caller and take its instruction set (the clone
// with the population-count instruction below).
template <class RowsOf, class Count>
[[gnu::always_inline]] inline std::uint64_t anded_totals_with(std::size_t nx, std::size_t count,
                                                             RowsOf& rows_of, Count bits_in) {
    switch (count) {
        case 1:
            return anded_totals_fixed<1>(nx, count, rows_of, bits_in);
        case 2:
            return anded_totals_fixed<2>(nx, count, rows_of, bits_in);
        case 3:
            return anded_totals_fixed<3>(nx, count, rows_of, bits_in);
        default:
            return anded_totals_fixed<0>(nx, count, rows_of, bits_in);
    }
}

template <class RowsOf>
std::uint64_t anded_totals_portable(std::size_t nx, std::size_t count, RowsOf& rows_of) {
    return anded_totals_with(nx, count, rows_of, [](std::uint64_t w) { return bits_set(w); });
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same with the processor's population count, compiled for processors
// that have it and called only on those (the count is the same integer).
// This is most of the work of the bit sets: a word's count by arithmetic
// takes about a dozen instructions, the instruction one. The choice is made
// once per problem, outside the loop over its x, whose rows_of is inlined
// into this clone.
template <class RowsOf>
[[gnu::target("popcnt")]] std::uint64_t anded_totals_popcnt(std::size_t nx, std::size_t count,
                                                            RowsOf& rows_of) {
    return anded_totals_with(nx, count, rows_of, [](std::uint64_t w) {
        return static_cast<std::uint64_t>(__builtin_popcountll(w));
    });
}

inline bool has_popcnt() {
    static const bool has = __builtin_cpu_supports("popcnt");
    return has;
}

template <class RowsOf>
std::uint64_t anded_totals(std::size_t nx, std::size_t count, RowsOf& rows_of) {
    return has_popcnt() ? anded_totals_popcnt(nx, count, rows_of)
                        : anded_totals_portable(nx, count, rows_of);
}
#else
template <class RowsOf>
std::uint64_t anded_totals(std::size_t nx, std::size_t count, RowsOf& rows_of) {
    return anded_totals_portable(nx, count, rows_of);
}
#endif

// How many of the sorted y values lie at or below each of the sorted
// thresholds: out[order[p]] = #{j < ny : ys[j] <= xs[p]} for p < nx, with xs
// and ys non-decreasing. ys must hold kLanes sentinels past its end, each
// above every threshold (the lane type's largest value: no column of the
// cell groups reaches it as a threshold).
//
// A plain merge mispredicts about every other time it moves between the two
// sides, which is most of its cost. Here each step compares a vector of y
// with one x: the y it passes are a prefix (ys is sorted), so their number
// is the position of the first failing lane, and the x is done unless the
// whole vector passed, which is rare when the two sides are of similar size.
// No step branches on the data. The step's latency (a load, a comparison, a
// mask) would still chain the steps one after another, so the x are cut into
// kChains runs, each started where a binary search puts it, and the runs are
// advanced together for the processor to overlap them.
template <class Lane>
class PrefixCounts {
public:
    static constexpr std::size_t kLanes = LaneVector<Lane>::kLanes;
    static constexpr Lane kSentinel = std::numeric_limits<Lane>::max();

    static void count(const Lane* xs, const std::uint32_t* order, std::size_t nx, const Lane* ys,
                      std::size_t ny, std::uint32_t* out) {
#if defined(__SSE2__)
        constexpr std::size_t kChains = 4;
        if (nx >= kChains) {
            std::array<std::size_t, kChains> p;
            std::array<std::size_t, kChains> end;
            std::array<std::size_t, kChains> within;
            for (std::size_t c = 0; c < kChains; ++c) {
                p[c] = nx * c / kChains;
                end[c] = nx * (c + 1) / kChains;
                within[c] = static_cast<std::size_t>(
                    std::upper_bound(ys, ys + ny, xs[p[c]]) - ys);
            }
            // The runs go on together while none has ended. A step moves a
            // run by at most one x, so the shortest remainder is a number of
            // steps that every run can take without looking.
            for (;;) {
                std::size_t steps = end[0] - p[0];
                for (std::size_t c = 1; c < kChains; ++c) steps = std::min(steps, end[c] - p[c]);
                if (steps == 0) break;
                for (; steps != 0; --steps) {
#pragma GCC unroll 8
                    for (std::size_t c = 0; c < kChains; ++c) {
                        const std::size_t passed = passing(ys + within[c], xs[p[c]]);
                        within[c] += passed;
                        out[order[p[c]]] = static_cast<std::uint32_t>(within[c]);
                        p[c] += passed < kLanes ? 1 : 0;
                    }
                }
            }
            for (std::size_t c = 0; c < kChains; ++c) {
                merge(xs, order, p[c], end[c], ys, ny, within[c], out);
            }
            return;
        }
#endif
        merge(xs, order, 0, nx, ys, ny, 0, out);
    }

private:
    static void merge(const Lane* xs, const std::uint32_t* order, std::size_t p, std::size_t end,
                      const Lane* ys, std::size_t ny, std::size_t within, std::uint32_t* out) {
        for (; p < end; ++p) {
            while (within < ny && ys[within] <= xs[p]) ++within;
            out[order[p]] = static_cast<std::uint32_t>(within);
        }
    }

#if defined(__SSE2__)
    // How many of the kLanes values from `y` on are at most t: the failing
    // lanes form a suffix, and the byte mask of the comparison has its first
    // set bit where they begin (bit 16 stands for "none fails").
    static std::size_t passing(const Lane* y, Lane t) {
        const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y));
        __m128i above;
        if constexpr (sizeof(Lane) == 2) {
            above = _mm_cmpgt_epi16(values, _mm_set1_epi16(t));
        } else {
            above = _mm_cmpgt_epi32(values, _mm_set1_epi32(t));
        }
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(above)) | 0x10000u;
        return static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(Lane);
    }
#endif
};

// Dominance counting by bit sets over the y, for problems of up to a few
// thousand y: each dimension's set {y : value(y) <= threshold(x)} is a
// prefix of the y in that dimension's order, so it is one of the ny + 1
// prefix rows of bits of a table, and an x's count is the population of the
// AND of its rows. The comparisons of the brute force turn into 64 pairs a
// word. The orders come from the caller (sample entropy's groups keep every
// coordinate's order), so the work grows as ny * ny / 64 per table and
// nx * ny / 64 per dimension instead of nx * ny.
//   * With `led`, dimension 0 is in order in both x and y as given (both
//     non-decreasing): its row is the first bits, a mask.
//   * Every other dimension keeps a table of its prefix rows; which row an x
//     takes is its count in that dimension alone (PrefixCounts).
//   * A single dimension needs no table: its counts are the answer.
template <class Lane>
class BitsetDominance {
public:
    // How many tables of prefix rows count() builds for `dims` dimensions,
    // with a led one among them or without.
    static constexpr std::size_t tables(std::size_t dims, bool led) {
        if (dims <= 1) return 0;
        return led ? dims - 1 : dims;
    }

    // x_orders[q] and y_orders[q] give the x in ascending order of
    // thresholds[q] and the y in ascending order of values[q], for every
    // dimension but a led one.
    std::uint64_t count(std::size_t nx, const Lane* const* thresholds, const ItemOrder* x_orders,
                        std::size_t ny, const Lane* const* values, const ItemOrder* y_orders,
                        std::size_t dims, bool led) {
        if (nx == 0 || ny == 0) return 0;
        if (dims == 0) return static_cast<std::uint64_t>(nx) * ny;
        const std::size_t first = led ? 1 : 0;
        constexpr std::size_t kLanes = PrefixCounts<Lane>::kLanes;
        words_ = 2 * ((ny + 127) / 128);
        // Per dimension q and x (in the order given): how many y pass q.
        // Scratch only grows: a resize down and up again would clear what
        // it regains, and every entry read below is written first.
        grow(passing_, dims * nx);
        grow(xs_, nx);
        grow(ys_, ny + kLanes);
        grow(identity_, nx);
        if (led) {
            for (std::size_t a = 0; a < nx; ++a) identity_[a] = static_cast<std::uint32_t>(a);
            std::copy(values[0], values[0] + ny, ys_.begin());
            std::fill(ys_.begin() + static_cast<std::ptrdiff_t>(ny),
                      ys_.begin() + static_cast<std::ptrdiff_t>(ny + kLanes),
                      PrefixCounts<Lane>::kSentinel);
            PrefixCounts<Lane>::count(thresholds[0], identity_.data(), nx, ys_.data(), ny,
                                      passing_.data());
        }
        const std::size_t tabled = tables(dims, led);
        grow(tables_, tabled * (ny + 1) * words_);
        for (std::size_t q = first; q < dims; ++q) {
            const std::uint32_t* xo = in_order(x_orders[q], x_order_);
            const std::uint32_t* yo = in_order(y_orders[q], y_order_);
            // Both sides gathered in their order once: the counting then
            // reads them as plain runs.
            for (std::size_t p = 0; p < nx; ++p) xs_[p] = thresholds[q][xo[p]];
            for (std::size_t j = 0; j < ny; ++j) ys_[j] = values[q][yo[j]];
            std::fill(ys_.begin() + static_cast<std::ptrdiff_t>(ny),
                      ys_.begin() + static_cast<std::ptrdiff_t>(ny + kLanes),
                      PrefixCounts<Lane>::kSentinel);
            PrefixCounts<Lane>::count(xs_.data(), xo, nx, ys_.data(), ny,
                                      passing_.data() + q * nx);
            if (tabled == 0) continue;
            // Row j holds the first j y of this order; each row is the one
            // before with one more bit. Rows hold an even number of words,
            // copied two at a time; the pair that gains the bit is then
            // written again whole, from the row before with the bit added.
            // Setting the bit in place instead (an 8-byte store into the 16
            // bytes just stored) makes the next row's 16-byte load of that
            // pair wait until both stores reach the cache, since no single
            // store can forward it: a stall on every row.
            std::uint64_t* rows = tables_.data() + (q - first) * (ny + 1) * words_;
            std::fill(rows, rows + words_, std::uint64_t{0});
            for (std::size_t j = 0; j < ny; ++j) {
                const std::uint64_t* from = rows + j * words_;
                std::uint64_t* to = rows + (j + 1) * words_;
                for (std::size_t w = 0; w < words_; w += 2) {
                    WordPair pair;
                    std::memcpy(&pair, from + w, sizeof pair);
                    std::memcpy(to + w, &pair, sizeof pair);
                }
                const std::uint32_t y = yo[j];
                const std::size_t at = y / 128 * 2;
                WordPair pair;
                std::memcpy(&pair, from + at, sizeof pair);
                // Both halves from registers: an element set by index would
                // go through memory and stall the same way.
                const std::uint64_t bit = std::uint64_t{1} << (y % 64);
                const bool high_word = (y / 64) % 2 != 0;
                pair |= WordPair{high_word ? 0 : bit, high_word ? bit : 0};
                std::memcpy(to + at, &pair, sizeof pair);
            }
        }
        if (tabled == 0) {
            // One dimension alone, led or not: its counts are the answer.
            std::uint64_t total = 0;
            for (std::size_t a = 0; a < nx; ++a) total += passing_[a];
            return total;
        }
        const std::uint32_t* const passing = passing_.data();
        const std::uint64_t* const tables = tables_.data();
        const std::size_t words = words_;
        auto rows_of = [=](std::size_t a, const std::uint64_t** rows) -> std::size_t {
            const std::size_t prefix = led ? passing[a] : ny;
            bool none = prefix == 0;
            for (std::size_t t = 0; t < tabled; ++t) {
                const std::uint32_t j = passing[(first + t) * nx + a];
                none |= j == 0;
                rows[t] = tables + (t * (ny + 1) + j) * words;
            }
            return none ? 0 : prefix;
        };
        return anded_totals(nx, tabled, rows_of);
    }

private:
    template <class T>
    static void grow(std::vector<T>& scratch, std::size_t size) {
        if (scratch.size() < size) scratch.resize(size);
    }

    // The items of `order` front to back, copied when it runs backwards.
    static const std::uint32_t* in_order(const ItemOrder& order, std::vector<std::uint32_t>& copy) {
        if (!order.reversed) return order.items;
        copy.resize(order.size);
        std::reverse_copy(order.items, order.items + order.size, copy.begin());
        return copy.data();
    }

    typedef std::uint64_t WordPair __attribute__((vector_size(16)));

    std::size_t words_ = 0;
    std::vector<std::uint32_t> x_order_;
    std::vector<std::uint32_t> y_order_;
    std::vector<std::uint32_t> identity_;
    std::vector<std::uint32_t> passing_;
    std::vector<Lane> xs_;
    std::vector<Lane> ys_;
    std::vector<std::uint64_t> tables_;
};

// Counting for problems too large to brute force, in O(s log^(K-1) s) for s
// items in K dimensions. Thresholds and values are held in columns, x and y
// each kept in ascending order of their first key; one dimension is then a
// merge, two a sweep with a Fenwick tree, and more are split at the median of
// the last dimension, stably, so that the halves stay in order.
template <class Lane>
class DominatedPairs {
public:
    std::uint64_t count(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                        const Lane* const* values, std::size_t dims, Pacer& pacer) {
        pacer_ = &pacer;
        compared_pairs_ = pacer.context().search().brute_dominance_pairs();
        x_stride_ = nx + kPad;
        y_stride_ = ny + kPad;
        xs_.assign(dims * x_stride_, Lane{0});
        ys_.assign(dims * y_stride_, Lane{0});
        fill_sorted(nx, thresholds, dims, xs_.data(), x_stride_);
        fill_sorted(ny, values, dims, ys_.data(), y_stride_);
        return count(0, nx, 0, ny, dims);
    }

private:
    static constexpr std::size_t kPad = LaneVector<Lane>::kLanes;
    // Twice a key plus one bit: 32 bits suffice for 16-bit keys.
    using Key = std::conditional_t<sizeof(Lane) == 2, std::int32_t, std::int64_t>;

    Lane* x_column(std::size_t q) { return xs_.data() + q * x_stride_; }
    Lane* y_column(std::size_t q) { return ys_.data() + q * y_stride_; }

    // Copies `count` items from columns into rows of `stride`, in ascending
    // order of the first column: by counting when the keys (offsets within a
    // cell) span a range not much wider than their number, else by sorting.
    void fill_sorted(std::size_t count, const Lane* const* from, std::size_t dims, Lane* to,
                     std::size_t stride) {
        order_.resize(count);
        const auto [low, high] = std::minmax_element(from[0], from[0] + count);
        const std::int64_t lowest = *low;
        const auto range = static_cast<std::size_t>(static_cast<std::int64_t>(*high) - lowest) + 1;
        const Lane* keys = from[0];
        if (SearchPolicy::index_by_value(range, count)) {
            counting_sort(
                count, range, offsets_,
                [&](std::size_t e) { return static_cast<std::size_t>(keys[e] - lowest); },
                [&](std::size_t e, std::uint32_t slot) {
                    order_[slot] = static_cast<std::uint32_t>(e);
                });
        } else {
            // Offsets from the lowest key, below `range`: its bits are all
            // that can vary.
            keys_.resize(count);
            for (std::size_t e = 0; e < count; ++e) {
                keys_[e] = static_cast<std::uint32_t>(static_cast<std::int64_t>(keys[e]) - lowest);
                order_[e] = static_cast<std::uint32_t>(e);
            }
            const auto varying = static_cast<std::uint32_t>(std::bit_ceil(range) - 1);
            radix_sort<8>(keys_, order_, varying, spare_keys_, spare_order_, offsets_, [] {});
        }
        for (std::size_t q = 0; q < dims; ++q) {
            for (std::size_t e = 0; e < count; ++e) to[q * stride + e] = from[q][order_[e]];
        }
    }

    // x in [xb, xe), y in [yb, ye); the first `dims` columns count.
    std::uint64_t count(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye,
                        std::size_t dims) {
        const std::size_t nx = xe - xb;
        const std::size_t ny = ye - yb;
        if (nx == 0 || ny == 0) return 0;
        if (dims == 0) return static_cast<std::uint64_t>(nx) * ny;
        // Each level of the recursion handles every item a few times per
        // dimension; brute force costs a fraction of a unit per pair.
        pacer_->advance(static_cast<std::uint64_t>(nx + ny) * dims * 4 +
                        static_cast<std::uint64_t>(nx) * ny * dims / 16);
        if (static_cast<std::uint64_t>(nx) * ny <= compared_pairs_) {
            std::array<const Lane*, kMostDimensions> thresholds;
            std::array<const Lane*, kMostDimensions> values;
            for (std::size_t q = 0; q < dims; ++q) {
                thresholds[q] = x_column(q) + xb;
                values[q] = y_column(q) + yb;
            }
            return dominated_pairs_compared<Lane>(nx, thresholds.data(), ny, values.data(), dims);
        }
        if (dims == 1) return line(xb, xe, yb, ye);
        if (dims == 2) return plane(xb, xe, yb, ye);
        // Split the union at its median along the last dimension, ordered by
        // (key, y before x): every y of the lower half is then within that
        // threshold of every x of the upper half (one dimension fewer to
        // check), and no y of the upper half is within it of an x of the
        // lower half. Splitting by position keeps the halves balanced
        // whatever the ties.
        const std::size_t last = dims - 1;
        const std::size_t middle = (nx + ny) / 2;
        ordered_.resize(nx + ny);
        for (std::size_t a = 0; a < nx; ++a) ordered_[a] = ordered(x_column(last)[xb + a], true);
        for (std::size_t b = 0; b < ny; ++b) ordered_[nx + b] = ordered(y_column(last)[yb + b], false);
        std::nth_element(ordered_.begin(), ordered_.begin() + static_cast<std::ptrdiff_t>(middle),
                         ordered_.end());
        const Key pivot = ordered_[middle];
        std::size_t below = 0;
        for (const Key key : ordered_) below += key < pivot ? 1 : 0;
        // Items equal to the pivot are all x or all y (the parity tells);
        // just enough of them join the lower half to make it `middle` long.
        const std::size_t quota = middle - below;
        const bool pivot_is_x = (pivot & 1) != 0;
        const std::size_t x_mid =
            xb + partition(xs_.data(), x_stride_, xb, xe, dims, true, pivot, pivot_is_x ? quota : 0);
        const std::size_t y_mid =
            yb + partition(ys_.data(), y_stride_, yb, ye, dims, false, pivot, pivot_is_x ? 0 : quota);
        std::uint64_t total;
        if (last >= 3) {
            // A deeper split reorders the ranges it is given; they are put
            // back after, in the order the halves below rely on.
            const std::vector<Lane> saved_x = save(xs_.data(), x_stride_, x_mid, xe, dims);
            const std::vector<Lane> saved_y = save(ys_.data(), y_stride_, yb, y_mid, dims);
            total = count(x_mid, xe, yb, y_mid, last);
            restore(saved_x, xs_.data(), x_stride_, x_mid, xe, dims);
            restore(saved_y, ys_.data(), y_stride_, yb, y_mid, dims);
        } else {
            total = count(x_mid, xe, yb, y_mid, last);
        }
        total += count(xb, x_mid, yb, y_mid, dims);
        total += count(x_mid, xe, y_mid, ye, dims);
        return total;
    }

    static std::vector<Lane> save(const Lane* columns, std::size_t stride, std::size_t begin,
                                  std::size_t end, std::size_t dims) {
        std::vector<Lane> saved;
        saved.reserve((end - begin) * dims);
        for (std::size_t q = 0; q < dims; ++q) {
            saved.insert(saved.end(), columns + q * stride + begin, columns + q * stride + end);
        }
        return saved;
    }

    static void restore(const std::vector<Lane>& saved, Lane* columns, std::size_t stride,
                        std::size_t begin, std::size_t end, std::size_t dims) {
        const std::size_t n = end - begin;
        for (std::size_t q = 0; q < dims; ++q) {
            std::copy(saved.begin() + static_cast<std::ptrdiff_t>(q * n),
                      saved.begin() + static_cast<std::ptrdiff_t>((q + 1) * n),
                      columns + q * stride + begin);
        }
    }

    // (key, y before x) as one integer.
    static Key ordered(Lane key, bool is_x) {
        return static_cast<Key>(2 * static_cast<Key>(key) + (is_x ? 1 : 0));
    }

    // Stable partition of items [begin, end) of every column: those below the
    // pivot first. Returns how many went low.
    std::size_t partition(Lane* columns, std::size_t stride, std::size_t begin, std::size_t end,
                          std::size_t dims, bool is_x, Key pivot, std::size_t quota) {
        const std::size_t n = end - begin;
        const Lane* key_column = columns + (dims - 1) * stride + begin;
        low_.resize(n);
        std::size_t lows = 0;
        for (std::size_t e = 0; e < n; ++e) {
            const Key key = ordered(key_column[e], is_x);
            bool lower = key < pivot;
            if (!lower && key == pivot && quota > 0) {
                --quota;
                lower = true;
            }
            low_[e] = lower ? 1 : 0;
            lows += lower ? 1 : 0;
        }
        buffer_.resize(n);
        for (std::size_t q = 0; q < dims; ++q) {
            Lane* column = columns + q * stride + begin;
            std::size_t to_low = 0;
            std::size_t to_high = lows;
            for (std::size_t e = 0; e < n; ++e) buffer_[low_[e] != 0 ? to_low++ : to_high++] = column[e];
            std::copy(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n), column);
        }
        return lows;
    }

    std::uint64_t line(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye) {
        const Lane* thresholds = x_column(0);
        const Lane* values = y_column(0);
        std::uint64_t total = 0;
        std::size_t within = yb;
        for (std::size_t a = xb; a < xe; ++a) {
            while (within < ye && values[within] <= thresholds[a]) ++within;
            total += within - yb;
        }
        return total;
    }

    // Two dimensions: the y enter in order of their first value before each
    // x (in order of its first threshold) they do not exceed there; a Fenwick
    // tree over the second values counts the entered y within the x's second
    // threshold. It is indexed by value when the values span a range not
    // much wider than their number, else by rank among the y.
    std::uint64_t plane(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye) {
        const Lane* x0 = x_column(0);
        const Lane* x1 = x_column(1);
        const Lane* y0 = y_column(0);
        const Lane* y1 = y_column(1);
        const std::size_t ny = ye - yb;
        const auto [low, high] = std::minmax_element(y1 + yb, y1 + ye);
        const std::int64_t lowest = *low;
        const auto range = static_cast<std::size_t>(*high - lowest + 1);
        const bool by_value = range <= 16 * (xe - xb + ny) + 4096;
        if (!by_value) {
            ranks_.assign(y1 + yb, y1 + ye);
            std::sort(ranks_.begin(), ranks_.end());
        }
        const std::size_t slots = by_value ? range : ny;
        // Slot of an entering y, and how many slots hold values within an x's
        // threshold.
        const auto slot = [&](Lane v) {
            return by_value ? static_cast<std::size_t>(v - lowest)
                            : static_cast<std::size_t>(
                                  std::lower_bound(ranks_.begin(), ranks_.end(), v) - ranks_.begin());
        };
        const auto slots_within = [&](Lane v) -> std::size_t {
            if (by_value) {
                const std::int64_t above = static_cast<std::int64_t>(v) - lowest + 1;
                return above <= 0 ? 0 : std::min(static_cast<std::size_t>(above), slots);
            }
            return static_cast<std::size_t>(
                std::upper_bound(ranks_.begin(), ranks_.end(), v) - ranks_.begin());
        };
        tree_.reset(slots);
        std::uint64_t total = 0;
        std::size_t entered = yb;
        for (std::size_t a = xb; a < xe; ++a) {
            for (; entered < ye && y0[entered] <= x0[a]; ++entered) {
                tree_.add(slot(y1[entered]), 1);
            }
            total += tree_.below(slots_within(x1[a]));
        }
        return total;
    }

    Pacer* pacer_ = nullptr;
    std::size_t x_stride_ = 0;
    std::size_t y_stride_ = 0;
    std::vector<Lane> xs_;
    std::vector<Lane> ys_;
    std::uint64_t compared_pairs_ = 0;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> offsets_;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint32_t> spare_keys_;
    std::vector<std::uint32_t> spare_order_;
    std::vector<Key> ordered_;
    std::vector<std::uint8_t> low_;
    std::vector<Lane> buffer_;
    std::vector<Lane> ranks_;
    FenwickCounts tree_;
};

}  // namespace quorlin::complexity
