#include "complexity/entropy.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <unordered_map>
#include <vector>

#include "common/checked_math.hpp"
#include "common/ieee.hpp"
#include "common/memory.hpp"
#include "numerics/lanes.hpp"

// Permutation entropy (sample entropy has a folder of its own,
// sample_entropy/).

namespace quorlin::complexity {
namespace {

constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

// Orders up to this use a dense table indexed by the pattern's rank
// (8! = 40320 counters); up to kPackedOrder a pattern packs into one 64-bit
// key of 4 bits per position; beyond that patterns are kept in sorted order
// from window to window and told apart through a representative window each
// (see LongWindowPatterns). The first two are storage limits: a table of
// 8! counters takes some 320 kB, and 16 positions of 4 bits fill 64.
constexpr std::size_t kRankedOrder = 8;
constexpr std::size_t kPackedOrder = 16;
// Up to this order the insertion sort itself is the fastest way to a
// pattern; beyond it an equivalent O(order log order) sort is used.
constexpr std::size_t kInsertionOrder = 32;
// Windows of short orders are counted on the pacer in blocks of this many.
constexpr std::size_t kPacedWindows = std::size_t{1} << 16;

// The ordinal pattern of one window, by an insertion sort of its member
// positions 0 .. order-1 (member p is window[p * delay]). A position moves
// towards the front past every position of greater value and stops at the
// first that is not greater. All comparisons with NaN are false, so a NaN
// never moves and nothing moves past a NaN; equal values keep their
// positions in ascending order.
template <class Position>
void insertion_pattern(const double* window, std::size_t delay, std::size_t order,
                       Position* pattern) {
    for (std::size_t p = 0; p < order; ++p) pattern[p] = static_cast<Position>(p);
    for (std::size_t t = 1; t < order; ++t) {
        const Position moving = pattern[t];
        const double value = window[moving * delay];
        std::size_t u = t;
        while (u > 0 && window[pattern[u - 1] * delay] > value) {
            pattern[u] = pattern[u - 1];
            --u;
        }
        pattern[u] = moving;
    }
}

// The insertion sort's pattern for any order, as member offsets p * delay
// (which order exactly as positions do), in O(order log order). Under the
// insertion rule every NaN stays at its own index and acts as a wall, so the
// result is each NaN-free run of members stably sorted on its own, with the
// NaNs fixed in place.
void long_window_pattern(const double* window, std::size_t delay, std::size_t order,
                         std::size_t* offsets) {
    if (order <= kInsertionOrder) {
        insertion_pattern(window, delay, order, offsets);
        for (std::size_t t = 0; t < order; ++t) offsets[t] *= delay;
        return;
    }
    for (std::size_t p = 0; p < order; ++p) offsets[p] = p * delay;
    const auto by_value = [window](std::size_t a, std::size_t b) { return window[a] < window[b]; };
    std::size_t start = 0;
    for (std::size_t p = 0; p <= order; ++p) {
        if (p == order || std::isnan(window[p * delay])) {
            std::stable_sort(offsets + start, offsets + p, by_value);
            start = p + 1;
        }
    }
}

// How many windows show each distinct pattern, in no particular order.
using PatternCounts = std::vector<std::uint64_t>;

constexpr std::array<std::uint64_t, 21> kFactorials = [] {
    std::array<std::uint64_t, 21> f{};
    f[0] = 1;
    for (std::uint64_t k = 1; k < f.size(); ++k) f[k] = f[k - 1] * k;
    return f;
}();

// The count of every entry of a table of distinct patterns.
template <class Entries, class CountOf>
PatternCounts counts_of(const Entries& entries, CountOf count_of) {
    PatternCounts out;
    out.reserve(entries.size());
    for (const auto& entry : entries) out.push_back(count_of(entry));
    return out;
}

// Windows of orders up to kPackedOrder: each window's pattern by the
// insertion sort, counted in a table of patterns. Orders up to kRankedOrder
// index a dense table of order! counters by the pattern's lexicographic rank
// (its Lehmer code); longer ones key a hash table by the pattern itself, 4
// bits per position, an exact key.
class RankedPatternTable {
public:
    explicit RankedPatternTable(std::size_t order)
        : counts_(static_cast<std::size_t>(kFactorials[order]), 0) {}

    void add(const unsigned char* pattern, std::size_t order) {
        std::size_t rank = 0;
        for (std::size_t t = 0; t < order; ++t) {
            std::size_t smaller = 0;
            for (std::size_t u = t + 1; u < order; ++u) smaller += pattern[u] < pattern[t];
            rank = rank * (order - t) + smaller;
        }
        ++counts_[rank];
    }

    PatternCounts counts() const {
        PatternCounts out;
        for (const std::uint64_t count : counts_) {
            if (count != 0) out.push_back(count);
        }
        return out;
    }

private:
    std::vector<std::uint64_t> counts_;
};

class PackedPatternTable {
public:
    explicit PackedPatternTable(std::size_t) {}

    void add(const unsigned char* pattern, std::size_t order) {
        std::uint64_t key = 0;
        for (std::size_t t = 0; t < order; ++t) key = (key << 4) | pattern[t];
        ++counts_[key];
    }

    PatternCounts counts() const {
        return counts_of(counts_, [](const auto& entry) { return entry.second; });
    }

private:
    std::unordered_map<std::uint64_t, std::uint64_t> counts_;
};

// Windows of at most kLongest members, counted in a Table. Kept out of line:
// inlined into the dispatcher, the rank loop of the dense table compiles to
// about ten more instructions a window (GCC 11, order 5).
template <class Table, std::size_t kLongest>
[[gnu::noinline]] PatternCounts count_short_window_patterns(const double* x, std::size_t windows,
                                          std::size_t order, std::size_t delay, Pacer& pacer) {
    Table table(order);
    std::array<unsigned char, kLongest> pattern{};
    for (std::size_t i = 0; i < windows; ++i) {
        if ((i & (kPacedWindows - 1)) == 0) pacer.advance(kPacedWindows * order * order);
        insertion_pattern(x + i, delay, order, pattern.data());
        table.add(pattern.data(), order);
    }
    return table.counts();
}

// Large orders. A key holding every distinct pattern would take
// (distinct patterns) x order positions, and for long windows nearly every
// pattern is distinct. Instead each distinct pattern is represented by the
// first window that shows it, found through a 64-bit fingerprint and then
// confirmed exactly against that window, so memory stays proportional to the
// number of distinct patterns, not to their length.
class LongWindowPatterns {
public:
    LongWindowPatterns(const double* x, std::size_t order, std::size_t delay)
        : x_(x), order_(order), delay_(delay), pattern_(order), scratch_(order) {}

    // Where the pattern of the window about to be counted is put, as member
    // offsets (see long_window_pattern).
    std::size_t* pattern() { return pattern_.data(); }

    // Counts the pattern held in pattern(), shown by the given window.
    void count(std::size_t window) {
        const auto [head, inserted] = heads_.try_emplace(fingerprint(), entries_.size());
        if (inserted) {
            entries_.push_back({window, 1, kNoEntry});
            return;
        }
        std::size_t e = head->second;
        while (true) {
            Entry& entry = entries_[e];
            if (shows_pattern(x_ + entry.window)) {
                ++entry.count;
                return;
            }
            if (entry.next == kNoEntry) break;
            e = entry.next;
        }
        entries_[e].next = entries_.size();
        entries_.push_back({window, 1, kNoEntry});
    }

    PatternCounts counts() const {
        return counts_of(entries_, [](const Entry& entry) { return entry.count; });
    }

private:
    struct Entry {
        std::size_t window;  // first window showing the pattern
        std::uint64_t count;
        std::size_t next;  // next entry of the same fingerprint, or kNoEntry
    };

    std::uint64_t fingerprint() const {
        std::uint64_t h = 0x9e3779b97f4a7c15ULL;
        for (const std::size_t offset : pattern_) {
            h = (h ^ offset) * 0xff51afd7ed558ccdULL;
            h ^= h >> 29;
        }
        return h;
    }

    // Whether the window's pattern is the one held. For a NaN-free window the
    // pattern is the unique arrangement in which every neighbouring pair
    // ascends, ties by position, so checking neighbours suffices. A NaN-free
    // pair out of order refutes the pattern even when NaNs lie elsewhere
    // (they only wall off runs that are each sorted); a NaN in a pair leaves
    // the question open, and the window's pattern is then formed in full.
    bool shows_pattern(const double* window) {
        for (std::size_t t = 0; t + 1 < order_; ++t) {
            const std::size_t p = pattern_[t];
            const std::size_t q = pattern_[t + 1];
            const double a = window[p];
            const double b = window[q];
            if (std::isnan(a) || std::isnan(b)) {
                long_window_pattern(window, delay_, order_, scratch_.data());
                return scratch_ == pattern_;
            }
            if (!(a < b || (a == b && p < q))) return false;
        }
        return true;
    }

    const double* x_;
    std::size_t order_;
    std::size_t delay_;
    std::vector<std::size_t> pattern_;
    std::vector<std::size_t> scratch_;
    std::vector<Entry> entries_;
    std::unordered_map<std::uint64_t, std::size_t> heads_;
};

// Windows i and i + delay share all members but one, so along each residue
// class of start indices the members are kept sorted and each step removes
// one sample and inserts one: O(order) per window instead of a sort. The
// order is (value, index) with NaNs last, which for a NaN-free window is the
// insertion sort's pattern; a window holding a NaN (it then ends the sorted
// list) has its pattern formed directly.
PatternCounts count_long_window_patterns(const double* x, std::size_t windows, std::size_t order,
                         std::size_t delay, Pacer& pacer) {
    const auto before = [x](std::size_t a, std::size_t b) {
        const double va = x[a];
        const double vb = x[b];
        if (va < vb) return true;
        if (vb < va) return false;
        const bool a_nan = std::isnan(va);
        const bool b_nan = std::isnan(vb);
        if (a_nan != b_nan) return b_nan;
        return a < b;
    };
    LongWindowPatterns counter(x, order, delay);
    std::vector<std::size_t> members;  // absolute sample indices, sorted by `before`
    members.reserve(order);
    const std::size_t span = (order - 1) * delay;
    for (std::size_t start = 0; start < delay && start < windows; ++start) {
        members.clear();
        for (std::size_t p = 0; p < order; ++p) members.push_back(start + p * delay);
        std::sort(members.begin(), members.end(), before);
        pacer.advance(order * 32);
        for (std::size_t i = start; i < windows; i += delay) {
            // Moving the members, forming the key and comparing the window
            // with the representative of its pattern.
            pacer.advance(order * 4);
            if (i != start) {
                members.erase(std::lower_bound(members.begin(), members.end(), i - delay, before));
                const std::size_t entering = i + span;
                members.insert(std::lower_bound(members.begin(), members.end(), entering, before),
                               entering);
            }
            std::size_t* pattern = counter.pattern();
            if (std::isnan(x[members.back()])) {
                long_window_pattern(x + i, delay, order, pattern);
            } else {
                for (std::size_t t = 0; t < order; ++t) pattern[t] = members[t] - i;
            }
            counter.count(i);
        }
    }
    return counter.counts();
}

// Orders 2 and 3 are single passes of comparisons, two windows at a time in
// one register; only exact integer counts are formed, so nothing about the
// result depends on the order of the work.
//
// Order 2: the pattern is (1, 0) exactly when x0 > x1.
PatternCounts count_order2_patterns(const double* x, std::size_t windows, std::size_t delay,
                           Pacer& pacer) {
    Lanes2 greater = {0, 0};
    std::size_t i = 0;
    while (i + 2 <= windows) {
        const std::size_t block_end = i + std::min(kPacedWindows, (windows - i) / 2 * 2);
        for (; i < block_end; i += 2) greater -= (Lanes2)(load2(x + i) > load2(x + i + delay));
        pacer.advance(kPacedWindows);
    }
    std::uint64_t descending = static_cast<std::uint64_t>(greater[0] + greater[1]);
    for (; i < windows; ++i) descending += x[i] > x[i + delay] ? 1 : 0;
    PatternCounts counts;
    for (const std::uint64_t count : {windows - descending, descending}) {
        if (count != 0) counts.push_back(count);
    }
    return counts;
}

// Order 3: the insertion sort makes each of the comparisons a = x0 > x1,
// b = x1 > x2 and c = x0 > x2 at most once, and they fix the pattern (a NaN
// just makes a comparison false):
//   a b c  pattern        a b c  pattern
//   0 0 *  (0, 1, 2)      1 * 0  (1, 0, 2)
//   0 1 0  (0, 2, 1)      1 0 1  (1, 2, 0)
//   0 1 1  (2, 0, 1)      1 1 1  (2, 1, 0)
// The pass counts the windows where a, b, a&b, a&c, b&c and a&b&c hold; the
// six patterns follow by inclusion and exclusion. Four windows go through
// each step: the comparisons of two registers are narrowed to one register
// of 32-bit lanes.
PatternCounts count_order3_patterns(const double* x, std::size_t windows, std::size_t delay,
                           Pacer& pacer) {
    typedef std::int32_t Ints4 __attribute__((vector_size(16)));
    // The low halves of the four 64-bit masks (each 0 or -1, so either half
    // carries it). GCC before 12 knows only its own __builtin_shuffle, with
    // the indices as a vector; Clang and newer GCC take them as constants.
    const auto narrow = [](Lanes2 low, Lanes2 high) {
#if __has_builtin(__builtin_shufflevector)
        return __builtin_shufflevector((Ints4)low, (Ints4)high, 0, 2, 4, 6);
#else
        return __builtin_shuffle((Ints4)low, (Ints4)high, Ints4{0, 2, 4, 6});
#endif
    };
    const auto total = [](Ints4 v) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v[0]) + v[1] + v[2] + v[3]);
    };
    std::uint64_t na = 0, nb = 0, nab = 0, nac = 0, nbc = 0, nabc = 0;
    // Each step adds at most one to a 32-bit lane; blocks of 2^29 steps would
    // keep every lane far from overflowing, and much shorter ones let the
    // work be counted on the pacer.
    constexpr std::size_t kBlockWindows = kPacedWindows;
    std::size_t i = 0;
    while (i + 4 <= windows) {
        pacer.advance(kBlockWindows * 2);
        const std::size_t block_end = i + std::min(kBlockWindows, (windows - i) / 4 * 4);
        Ints4 sa = {}, sb = {}, sab = {}, sac = {}, sbc = {}, sabc = {};
        for (; i < block_end; i += 4) {
            const double* first = x + i;
            const double* second = first + delay;
            const double* third = second + delay;
            const Doubles2 f0 = load2(first), f1 = load2(first + 2);
            const Doubles2 s0 = load2(second), s1 = load2(second + 2);
            const Doubles2 t0 = load2(third), t1 = load2(third + 2);
            const Ints4 a = narrow((Lanes2)(f0 > s0), (Lanes2)(f1 > s1));
            const Ints4 b = narrow((Lanes2)(s0 > t0), (Lanes2)(s1 > t1));
            const Ints4 c = narrow((Lanes2)(f0 > t0), (Lanes2)(f1 > t1));
            const Ints4 ab = a & b;
            sa -= a;
            sb -= b;
            sab -= ab;
            sac -= a & c;
            sbc -= b & c;
            sabc -= ab & c;
        }
        na += total(sa);
        nb += total(sb);
        nab += total(sab);
        nac += total(sac);
        nbc += total(sbc);
        nabc += total(sabc);
    }
    for (; i < windows; ++i) {
        const std::uint64_t a = x[i] > x[i + delay] ? 1 : 0;
        const std::uint64_t b = x[i + delay] > x[i + 2 * delay] ? 1 : 0;
        const std::uint64_t c = x[i] > x[i + 2 * delay] ? 1 : 0;
        na += a;
        nb += b;
        nab += a & b;
        nac += a & c;
        nbc += b & c;
        nabc += a & b & c;
    }
    PatternCounts counts;
    for (const std::uint64_t count : {
             windows - na - nb + nab,   // (0, 1, 2): neither a nor b
             nb - nab - nbc + nabc,     // (0, 2, 1): b alone
             nbc - nabc,                // (2, 0, 1): b and c, not a
             na - nac,                  // (1, 0, 2): a, not c
             nac - nabc,                // (1, 2, 0): a and c, not b
             nabc}) {                   // (2, 1, 0): all three
        if (count != 0) counts.push_back(count);
    }
    return counts;
}

PatternCounts count_patterns(const double* x, std::size_t windows, std::size_t order,
                             std::size_t delay, Pacer& pacer) {
    if (order == 2) return count_order2_patterns(x, windows, delay, pacer);
    if (order == 3) return count_order3_patterns(x, windows, delay, pacer);
    if (order <= kRankedOrder) {
        return count_short_window_patterns<RankedPatternTable, kRankedOrder>(x, windows, order,
                                                                             delay, pacer);
    }
    if (order <= kPackedOrder) {
        return count_short_window_patterns<PackedPatternTable, kPackedOrder>(x, windows, order,
                                                                             delay, pacer);
    }
    // The counters above read each window afresh, and whatever they read,
    // the insertion sort yields some permutation of the positions: they
    // stay in bounds even if the caller's array changes during the call.
    // The long-order counter does not: it keeps a sorted member list from
    // window to window and compares windows with representatives seen
    // earlier, all of which assume that a sample reads the same every time.
    // It therefore works on a private copy of the samples (O(N), small
    // beside its O(N * order) work).
    const std::size_t samples = windows + (order - 1) * delay;
    require_memory(samples, sizeof(double));
    const std::vector<double> copy(x, x + samples);
    return count_long_window_patterns(copy.data(), windows, order, delay, pacer);
}

}  // namespace

double log2_factorial(std::uint64_t order) {
    if (order < kFactorials.size()) {
        return std::log2(static_cast<double>(kFactorials[static_cast<std::size_t>(order)]));
    }
    // order! overflows 64 bits: extend the exact 20! by one logarithm per
    // factor, smallest first.
    double sum = std::log2(static_cast<double>(kFactorials.back()));
    for (std::uint64_t k = kFactorials.size(); k <= order && k != 0; ++k) {
        sum += std::log2(static_cast<double>(k));
    }
    return sum;
}

double permutation_entropy(std::span<const double> signal, std::uint64_t order,
                           std::uint64_t delay, bool normalize, const ExecutionContext& context) {
    const std::uint64_t n = signal.size();
    // The length rule asks for order * delay samples (not (order-1)*delay+1),
    // compared in 128 bits so that no product wraps.
    if (static_cast<uint128>(n) < static_cast<uint128>(order) * delay) return kNaN;
    // Order 0 (the empty pattern), order 1 (the pattern (0)) and delay 0
    // (each window repeats one sample, and equal values keep their order)
    // give every window the same pattern, and a single pattern has entropy
    // 0.0 before and after normalisation. Deciding this here also keeps a
    // huge order with delay 0 from ever being materialised.
    if (order <= 1 || delay == 0) return 0.0;
    // Now 2 <= order <= n / delay, so every size below fits and at least
    // delay >= 1 windows exist.
    const auto width = static_cast<std::size_t>(order);
    const auto step = static_cast<std::size_t>(delay);
    const std::size_t windows = signal.size() - (width - 1) * step;

    Pacer pacer(context);
    PatternCounts counts = count_patterns(signal.data(), windows, width, step, pacer);
    // The terms are summed from the rarest pattern up: an order fixed by the
    // counts alone (equal counts give equal terms), whatever structure did
    // the counting, and small terms are not lost against a large partial sum.
    std::sort(counts.begin(), counts.end());
    const double total = static_cast<double>(windows);
    double entropy = 0.0;
    for (const std::uint64_t count : counts) {
        const double p = static_cast<double>(count) / total;
        entropy -= p * std::log2(p);
    }
    if (normalize) {
        const double maximum = log2_factorial(order);
        if (maximum > 0.0) entropy /= maximum;
    }
    return entropy;
}

}  // namespace quorlin::complexity
