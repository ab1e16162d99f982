#include "complexity/entropy.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/path_probe.hpp"
#include "numerics/template_pairs.hpp"
#include "numerics/moments.hpp"

namespace quorlin::complexity {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// t (t - 1) / 2 without an intermediate that overflows first.
std::uint64_t unordered_pairs(std::uint64_t t) {
    return t % 2 == 0 ? (t / 2) * (t - 1) : t * ((t - 1) / 2);
}

// ---------------------------------------------------------------------------
// Sample entropy

// Two doubles, or two 64-bit lanes, in one 16-byte register (SSE2 on x86-64,
// NEON on AArch64): no instruction set beyond the baseline is assumed.
typedef double Doubles2 __attribute__((vector_size(16)));
typedef std::int64_t Lanes2 __attribute__((vector_size(16)));

inline Doubles2 load2(const double* p) {
    Doubles2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Pairs of templates are counted along the diagonals of the pair matrix.
// For a lag d = j - i, the coordinate comparison of samples t and t + d is
// shared by every template pair on that diagonal that covers t, so each
// comparison is made once: with keep(t) = !(|x[t] - x[t + d]| > r) and
// run(t) the number of consecutive kept cells ending at t, the pair starting
// at t - m + 1 matches at length m exactly when run(t) >= m, and the pair
// starting at t - m matches at length m + 1 exactly when run(t) >= m + 1.
// Both template ranges (j <= N - m - 1 for length m, j <= N - m - 2 for
// length m + 1) come to the same cell range t + d <= N - 2. (With m = 0 the
// empty short templates reach j = N - 1, beyond the cells, and B is formed in
// closed form instead.) Counts are exact integers, so the order of the scan
// does not matter.
struct DiagonalScan {
    const double* x;
    std::size_t last;  // N - 2: the largest t + d of any cell
    std::uint64_t m;
    double r;

    // Cells t = begin .. last - d of one diagonal, continuing from `run`.
    void scan(std::size_t d, std::size_t begin, std::uint64_t run,
              TemplateMatches& counts) const {
        for (std::size_t t = begin; t + d <= last; ++t) {
            run = std::fabs(x[t] - x[t + d]) > r ? 0 : run + 1;
            counts.b += run >= m;
            counts.a += run > m;
        }
    }

    // Four diagonals d .. d + 3 side by side (requires d + 3 <= last), over
    // the cells t in [begin, end) that all four have (end <= last - d - 2),
    // in two registers, continuing from the run lengths in `runs`, which are
    // left as they are after the last cell.
    void scan4(std::size_t d, std::size_t begin, std::size_t end, double (&runs)[4],
               TemplateMatches& counts) const {
        const Lanes2 magnitude = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
        const Doubles2 tolerance = {r, r};
        const Doubles2 one = {1.0, 1.0};
        const Doubles2 short_length = {static_cast<double>(m), static_cast<double>(m)};
        const Doubles2 long_length = short_length + one;
        Doubles2 run_lo = {runs[0], runs[1]};
        Doubles2 run_hi = {runs[2], runs[3]};
        Lanes2 b_lo = {0, 0}, b_hi = {0, 0}, a_lo = {0, 0}, a_hi = {0, 0};
        for (std::size_t t = begin; t < end; ++t) {
            const Doubles2 here = {x[t], x[t]};
            const Doubles2 diff_lo = here - load2(x + t + d);
            const Doubles2 diff_hi = here - load2(x + t + d + 2);
            // Lanes of all ones where |diff| > r; a NaN never compares so.
            const Lanes2 fail_lo = (Doubles2)((Lanes2)diff_lo & magnitude) > tolerance;
            const Lanes2 fail_hi = (Doubles2)((Lanes2)diff_hi & magnitude) > tolerance;
            // Run lengths are small integers held exactly as doubles, which
            // keeps every comparison within the baseline instruction set.
            run_lo = (Doubles2)((Lanes2)(run_lo + one) & ~fail_lo);
            run_hi = (Doubles2)((Lanes2)(run_hi + one) & ~fail_hi);
            b_lo -= run_lo >= short_length;
            b_hi -= run_hi >= short_length;
            a_lo -= run_lo >= long_length;
            a_hi -= run_hi >= long_length;
        }
        counts.b += static_cast<std::uint64_t>(b_lo[0] + b_lo[1] + b_hi[0] + b_hi[1]);
        counts.a += static_cast<std::uint64_t>(a_lo[0] + a_lo[1] + a_hi[0] + a_hi[1]);
        runs[0] = run_lo[0];
        runs[1] = run_lo[1];
        runs[2] = run_hi[0];
        runs[3] = run_hi[1];
    }
};

// Cells of the four diagonals taken side by side between counts of the work
// (the runs carry over, so the cut changes nothing).
constexpr std::size_t kScanChunk = std::size_t{1} << 16;

}  // namespace

TemplateMatches count_template_matches(std::span<const double> x, std::uint64_t m, double r,
                                       Pacer& pacer) {
    // N >= m + 2, so N - 2 and every index below are valid.
    const std::size_t n = x.size();
    const DiagonalScan scan{x.data(), n - 2, m, r};
    // Diagonals in fixed blocks, each a task of its own whose counts are
    // added afterwards (integers: in any order). A block is a multiple of
    // four, so that its diagonals go side by side as a single pass would take
    // them.
    constexpr std::size_t kDiagonalBlock = 64;
    const std::size_t blocks = (scan.last + kDiagonalBlock - 1) / kDiagonalBlock;
    std::vector<TemplateMatches> partial(blocks);
    for_each_task(pacer.context(), blocks, [&](std::size_t block, Pacer& task_pacer) {
        TemplateMatches& counts = partial[block];
        const std::size_t block_end = std::min(scan.last, (block + 1) * kDiagonalBlock);
        std::size_t d = 1 + block * kDiagonalBlock;
        for (; d + 3 <= block_end; d += 4) {
            // The cells all four diagonals have, then each one's last few.
            const std::size_t common_end = scan.last - (d + 3) + 1;
            double runs[4] = {0.0, 0.0, 0.0, 0.0};
            for (std::size_t t = 0; t < common_end; t += kScanChunk) {
                const std::size_t end = std::min(common_end, t + kScanChunk);
                scan.scan4(d, t, end, runs, counts);
                task_pacer.advance(4 * (end - t));
            }
            for (std::size_t lane = 0; lane < 3; ++lane) {
                scan.scan(d + lane, common_end, static_cast<std::uint64_t>(runs[lane]), counts);
            }
        }
        for (; d <= block_end; ++d) {
            scan.scan(d, 0, 0, counts);
            task_pacer.advance(scan.last - d + 1);
        }
    });
    TemplateMatches counts;
    for (const TemplateMatches& part : partial) {
        counts.a += part.a;
        counts.b += part.b;
    }
    if (m == 0) {
        // Empty templates always match, and the template range then reaches
        // j = N - 1, beyond the cells: every pair counts.
        counts.b = unordered_pairs(n);
    }
    return counts;
}

namespace {

// NaN samples and the ranking.
//
// A NaN sample has no place in a sorted order, yet in the counts it is
// simple: every difference with it is NaN, which is never greater than r, so
// a coordinate that meets a NaN never fails. The ranking therefore counts a
// copy of the series whose NaN samples are filled with ordinary values, and
// only the pairs whose outcome the filling can change are settled apart:
// those in which at least one template holds a NaN (a "holed" template).
// For them both outcomes are found directly, with the NaN and with the fill,
// and the count is corrected by the difference:
//     count = ranked count of the filled copy - matches with the fill
//                                             + matches with the NaN.
// Pairs of two templates without a hole read the same samples in both
// series and are counted alike, so the counts are exactly the scan's.
struct HoledSeries {
    std::vector<double> samples;  // the private copy, NaN samples kept
    std::vector<double> filled;   // the same with every NaN filled
    std::vector<std::size_t> holes;  // positions of the NaN samples, ascending
};

// The private copy of the series, and the filled one when it holds NaN. A
// NaN is filled with the sample before it (after it at the very start), so
// that the filling follows the signal and leaves its ranking much as it was.
HoledSeries holed_series(std::span<const double> x) {
    HoledSeries series;
    require_memory(x.size(), sizeof(double), 2);
    series.samples.assign(x.begin(), x.end());
    for (std::size_t t = 0; t < series.samples.size(); ++t) {
        if (std::isnan(series.samples[t])) series.holes.push_back(t);
    }
    if (series.holes.empty()) return series;
    series.filled = series.samples;
    const auto clean = std::find_if(series.samples.begin(), series.samples.end(),
                                    [](double v) { return !std::isnan(v); });
    double last = clean == series.samples.end() ? 0.0 : *clean;
    for (double& v : series.filled) {
        if (std::isnan(v)) {
            v = last;
        } else {
            last = v;
        }
    }
    return series;
}

// The holed templates among the first `templates` of the given length, in
// ascending order: those starting within length - 1 samples before a hole.
std::vector<std::size_t> holed_templates(const std::vector<std::size_t>& holes,
                                         std::size_t length, std::size_t templates) {
    std::vector<std::size_t> holed;
    if (length == 0) return holed;
    for (const std::size_t hole : holes) {
        std::size_t start = hole >= length - 1 ? hole - (length - 1) : 0;
        if (!holed.empty() && start <= holed.back()) start = holed.back() + 1;
        for (std::size_t i = start; i <= hole && i < templates; ++i) holed.push_back(i);
    }
    return holed;
}

// Of the pairs with at least one holed template (each unordered pair once),
// how many match in the series with its NaN samples and how many in the
// filled one.
struct HoledPairs {
    std::uint64_t with_nan = 0;
    std::uint64_t with_fill = 0;
};

HoledPairs holed_pairs(const HoledSeries& series, std::size_t length, std::size_t templates,
                       const std::vector<std::size_t>& holed, double r, Pacer& pacer) {
    const double* x = series.samples.data();
    const double* y = series.filled.data();
    std::vector<std::uint8_t> is_holed(templates, 0);
    for (const std::size_t i : holed) is_holed[i] = 1;
    HoledPairs pairs;
    for (const std::size_t i : holed) {
        for (std::size_t j = 0; j < templates; ++j) {
            // A pair of two holed templates is taken once, from its lower one.
            if (j == i || (is_holed[j] != 0 && j < i)) continue;
            bool with_nan = true;
            bool with_fill = true;
            for (std::size_t k = 0; k < length; ++k) {
                // A coordinate without NaN fails in both series alike; one
                // with a NaN never fails with it, and may with the fill.
                if (std::fabs(x[i + k] - x[j + k]) > r) {
                    with_nan = false;
                    with_fill = false;
                    break;
                }
                if (std::fabs(y[i + k] - y[j + k]) > r) with_fill = false;
            }
            pairs.with_nan += with_nan ? 1 : 0;
            pairs.with_fill += with_fill ? 1 : 0;
        }
        pacer.advance(2 * templates);
    }
    return pairs;
}

// The same counts as count_template_matches, by ranking the series when
// that is faster and possible (a template length the grouping handles, and
// holed templates few enough to settle apart cheaply).
TemplateMatches matching_template_pairs(std::span<const double> x, std::uint64_t m, double r,
                                        Pacer& pacer) {
    const std::uint64_t n = x.size();
    // A NaN tolerance fails no comparison: every pair of either length
    // matches, whatever the samples.
    if (std::isnan(r)) {
        probes::taken(probes::Path::closed_form);
        return {unordered_pairs(n - m - 1), unordered_pairs(n - m)};
    }
    const SearchPolicy& policy = pacer.context().search();
    {
        const double templates = static_cast<double>(n - m);
        if (policy.rank_templates(m, templates) && n <= MaxNormTemplatePairs::kMaxSamples) {
            // The ranking reads every sample more than once and builds on
            // what it read: it works on a private copy, which another thread
            // or process cannot change under it.
            const HoledSeries series = holed_series(x);
            const auto length = static_cast<std::size_t>(m);
            const std::size_t short_templates = series.samples.size() - length;
            const std::size_t long_templates = short_templates - 1;
            const auto holed_short = holed_templates(series.holes, length, short_templates);
            const auto holed_long = holed_templates(series.holes, length + 1, long_templates);
            // Templates holding a NaN sample are settled pair by pair, while
            // they are few.
            const double holed =
                static_cast<double>(holed_short.size() + holed_long.size());
            if (policy.settle_holes_apart(holed, templates)) {
                if (series.holes.empty()) {
                    probes::taken(probes::Path::ranked_counting);
                    const MaxNormTemplatePairs ranked(series.samples, r, pacer);
                    return {ranked.matching_pairs(length + 1, long_templates, pacer),
                            ranked.matching_pairs(length, short_templates, pacer)};
                }
                probes::taken(probes::Path::ranked_with_holes);
                const MaxNormTemplatePairs ranked(series.filled, r, pacer);
                const HoledPairs a = holed_pairs(series, length + 1, long_templates, holed_long,
                                                 r, pacer);
                const HoledPairs b = holed_pairs(series, length, short_templates, holed_short,
                                                 r, pacer);
                return {ranked.matching_pairs(length + 1, long_templates, pacer) - a.with_fill +
                            a.with_nan,
                        ranked.matching_pairs(length, short_templates, pacer) - b.with_fill +
                            b.with_nan};
            }
        }
    }
    probes::taken(probes::Path::pair_scan);
    return count_template_matches(x, m, r, pacer);
}

}  // namespace

TemplateMatches template_matches(std::span<const double> x, std::uint64_t m, double r,
                                 Pacer& pacer) {
    return matching_template_pairs(x, m, r, pacer);
}

double sample_entropy(std::span<const double> signal, std::uint64_t m, std::optional<double> r,
                      const ExecutionContext& context) {
    const std::uint64_t n = signal.size();
    // N < m + 2 without forming m + 2, which may not fit in 64 bits.
    if (m > n || n - m < 2) return kNaN;
    double tolerance;
    if (r.has_value()) {
        tolerance = *r;
    } else {
        tolerance = std::sqrt(population_moments(signal).variance) * 0.2;
    }
    // A NaN tolerance passes on: every pair then matches.
    if (tolerance <= 0.0) return kNaN;
    Pacer pacer(context);
    const TemplateMatches counts = matching_template_pairs(signal, m, tolerance, pacer);
    if (counts.b == 0) return kNaN;
    return -std::log(static_cast<double>(counts.a) / static_cast<double>(counts.b));
}

// ---------------------------------------------------------------------------
// Permutation entropy

namespace {

constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

// Orders up to this use a dense table indexed by the pattern's rank
// (8! = 40320 counters); up to kPackedOrder a pattern packs into one 64-bit
// key of 4 bits per position; beyond that patterns are kept in sorted order
// from window to window and told apart through a representative window each
// (see LongPatternCounter).
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

// Small orders: the lexicographic rank of the pattern (its Lehmer code)
// indexes a dense table of order! counters.
PatternCounts count_ranked(const double* x, std::size_t windows, std::size_t order,
                           std::size_t delay, Pacer& pacer) {
    std::vector<std::uint64_t> table(static_cast<std::size_t>(kFactorials[order]), 0);
    std::array<unsigned char, kRankedOrder> pattern{};
    for (std::size_t i = 0; i < windows; ++i) {
        if ((i & (kPacedWindows - 1)) == 0) pacer.advance(kPacedWindows * order * order);
        insertion_pattern(x + i, delay, order, pattern.data());
        std::size_t rank = 0;
        for (std::size_t t = 0; t < order; ++t) {
            std::size_t smaller = 0;
            for (std::size_t u = t + 1; u < order; ++u) smaller += pattern[u] < pattern[t];
            rank = rank * (order - t) + smaller;
        }
        ++table[rank];
    }
    PatternCounts counts;
    for (const std::uint64_t count : table) {
        if (count != 0) counts.push_back(count);
    }
    return counts;
}

// Middle orders: the pattern itself, 4 bits per position, is an exact key.
PatternCounts count_packed(const double* x, std::size_t windows, std::size_t order,
                           std::size_t delay, Pacer& pacer) {
    std::unordered_map<std::uint64_t, std::uint64_t> table;
    std::array<unsigned char, kPackedOrder> pattern{};
    for (std::size_t i = 0; i < windows; ++i) {
        if ((i & (kPacedWindows - 1)) == 0) pacer.advance(kPacedWindows * order * order);
        insertion_pattern(x + i, delay, order, pattern.data());
        std::uint64_t key = 0;
        for (std::size_t t = 0; t < order; ++t) key = (key << 4) | pattern[t];
        ++table[key];
    }
    PatternCounts counts;
    counts.reserve(table.size());
    for (const auto& entry : table) counts.push_back(entry.second);
    return counts;
}

// Large orders. A key holding every distinct pattern would take
// (distinct patterns) x order positions, and for long windows nearly every
// pattern is distinct. Instead each distinct pattern is represented by the
// first window that shows it, found through a 64-bit fingerprint and then
// confirmed exactly against that window, so memory stays proportional to the
// number of distinct patterns, not to their length.
class LongPatternCounter {
public:
    LongPatternCounter(const double* x, std::size_t order, std::size_t delay)
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
        PatternCounts out;
        out.reserve(entries_.size());
        for (const Entry& entry : entries_) out.push_back(entry.count);
        return out;
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
PatternCounts count_long(const double* x, std::size_t windows, std::size_t order,
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
    LongPatternCounter counter(x, order, delay);
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
PatternCounts count_order2(const double* x, std::size_t windows, std::size_t delay,
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
PatternCounts count_order3(const double* x, std::size_t windows, std::size_t delay,
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
    if (order == 2) return count_order2(x, windows, delay, pacer);
    if (order == 3) return count_order3(x, windows, delay, pacer);
    if (order <= kRankedOrder) return count_ranked(x, windows, order, delay, pacer);
    if (order <= kPackedOrder) return count_packed(x, windows, order, delay, pacer);
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
    return count_long(copy.data(), windows, order, delay, pacer);
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
