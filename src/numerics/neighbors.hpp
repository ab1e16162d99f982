// Every nearest-neighbour and radius search of the library goes through
// NeighborSearch. It answers either by the exhaustive scans written out below,
// the reference, or through a k-d tree (kd_tree.hpp) that returns the same
// answers to the last bit; the caller decides which by the size of its
// problem (common/search_policy.hpp), and point sets that the tree cannot search
// exactly (non-finite coordinates, too many coordinates) always take the scans.
//
// The rules that make results reproducible to the last bit live here, once:
//   * the squared distance is summed over the coordinates in index order
//     into one accumulator that starts at -0.0;
//   * candidates are compared by their distance sqrt(s), not by s: two
//     different s can round to the same sqrt(s), and then the lower index must
//     still win, exactly as a scan in increasing index with a strict
//     less-than decides;
//   * a NaN distance never wins and never lies within a radius.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/execution.hpp"
#include "numerics/kd_tree.hpp"
#include "numerics/points.hpp"

namespace quorlin {

// Sum of squared coordinate differences of rows a and b, in coordinate order.
template <class Points>
inline double squared_distance(const Points& points, std::size_t a, std::size_t b) {
    double s = -0.0;
    const std::size_t m = points.dim();
    for (std::size_t c = 0; c < m; ++c) {
        const double diff = points.coord(a, c) - points.coord(b, c);
        s += diff * diff;
    }
    return s;
}

template <>
inline double squared_distance(const EmbeddedPoints& points, std::size_t a, std::size_t b) {
    const double* pa = points.row(a);
    const double* pb = points.row(b);
    double s = -0.0;
    for (std::size_t c = 0; c < points.dimension; ++c) {
        const double diff = pa[c] - pb[c];
        s += diff * diff;
    }
    return s;
}

// Which rows j may pair with a reference row i.
struct CandidateRule {
    std::size_t candidates_end;  // j ranges over 0 .. candidates_end - 1
    std::uint64_t exclusion;     // j is skipped when |i - j| < exclusion (1 skips only j = i)
    double floor;                // a candidate needs distance > floor (strict); -inf admits all
};

struct Nearest {
    std::size_t index = 0;
    double distance = std::numeric_limits<double>::infinity();
    bool found() const { return distance < std::numeric_limits<double>::infinity(); }
};

struct RankedNeighbor {
    std::size_t index;
    double distance;
};

inline bool temporally_excluded(std::size_t i, std::size_t j, std::uint64_t exclusion) {
    const std::size_t gap = i > j ? i - j : j - i;
    return gap < exclusion;
}

// The largest double s whose correctly rounded square root is at most d
// (d >= 0, not NaN); +inf for d = +inf. The square root is monotone, so
// sqrt(s) <= d exactly when s <= largest_square_at_most(d), and
// sqrt(s) > d exactly when s is above it: a comparison of distances can be
// made on the sums without taking a root, and decides ties the same way.
inline double largest_square_at_most(double d) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (d == kInf) return kInf;
    double s = std::min(d * d, std::numeric_limits<double>::max());
    // d * d is within an ulp or so of the boundary: a few steps settle it.
    while (s > 0.0 && std::sqrt(s) > d) s = std::nextafter(s, 0.0);
    while (s < std::numeric_limits<double>::max() && std::sqrt(std::nextafter(s, kInf)) <= d) {
        s = std::nextafter(s, kInf);
    }
    return s;
}

// No hint for nearest().
inline constexpr std::size_t kNoHint = static_cast<std::size_t>(-1);

// Queries count their work on the pacer given at construction (a search is
// used by one thread at a time), block by block of rows, so that a search is
// stopped promptly however long one query takes. Every query can therefore
// throw Cancelled.
template <class Points>
class NeighborSearch {
public:
    // With `indexed`, a k-d tree is built over the rows when they allow an
    // exact tree search; otherwise, and without `indexed`, every query scans.
    // Throws std::bad_alloc when the tree's memory cannot be had.
    NeighborSearch(const Points& points, Pacer& pacer, bool indexed = false)
        : points_(points), pacer_(pacer) {
        if (indexed && KdTree<Points>::suitable(points, pacer)) {
            owned_.emplace_back(points, pacer);
            tree_ = &owned_.front();
            used_ = points.dim();
        }
    }

    // Searches `points` through a tree built elsewhere over the leading
    // coordinates of the same rows: row j of the tree's points must equal
    // the first min(tree dimension, points.dim()) coordinates of row j of
    // `points`, for every row of `points` (the tree may hold more rows). The
    // delay vectors of one series for one delay share their leading
    // coordinates whatever their length, so one tree serves them all. The
    // caller guarantees that every coordinate of `points` is finite.
    NeighborSearch(const Points& points, Pacer& pacer, const KdTree<Points>& leading)
        : points_(points),
          pacer_(pacer),
          tree_(&leading),
          used_(std::min(leading.dim(), points.dim())) {}

    // The same search as `other` (its rows, its tree if any) for another
    // thread, counting its work on that thread's pacer. A tree is only read
    // by searches, so any number of them may share it while `other` lives.
    NeighborSearch(const NeighborSearch& other, Pacer& pacer)
        : points_(other.points_), pacer_(pacer), tree_(other.tree_), used_(other.used_) {}

    // Not copied or moved: it may point into itself.
    NeighborSearch(const NeighborSearch&) = delete;
    NeighborSearch& operator=(const NeighborSearch&) = delete;

    const Points& points() const { return points_; }
    bool indexed() const { return tree_ != nullptr && used_ > 0; }
    // The tree searched, if any (another search may share it).
    const KdTree<Points>* tree() const { return tree_; }

    // The admissible j with the smallest distance, the lowest j on ties; a
    // default Nearest (index 0, distance +inf) when none qualifies. A hint,
    // a row likely to be near (such as the neighbour of the previous row,
    // moved on by one), only speeds the tree search up: it is measured first
    // if admissible, and the answer is the same with any hint or none.
    Nearest nearest(std::size_t i, const CandidateRule& rule, std::size_t hint = kNoHint) const {
        if (indexed()) return tree_nearest(i, rule, hint);
        Nearest best;
        scan(rule.candidates_end, [&](std::size_t j) {
            if (temporally_excluded(i, j, rule.exclusion)) return;
            const double d = std::sqrt(squared_distance(points_, i, j));
            if (d > rule.floor && d < best.distance) {
                best.index = j;
                best.distance = d;
            }
        });
        return best;
    }

    // Calls visit(j) for every admissible j, in increasing j, whose distance
    // lies strictly inside `radius`.
    template <class Visit>
    void for_each_within(std::size_t i, const CandidateRule& rule, double radius,
                         Visit&& visit) const {
        // A NaN radius admits nothing; the tree's pruning needs it ordered.
        if (indexed() && !std::isnan(radius)) {
            for (const std::size_t j : tree_within(i, rule, radius)) visit(j);
            return;
        }
        scan(rule.candidates_end, [&](std::size_t j) {
            if (temporally_excluded(i, j, rule.exclusion)) return;
            const double d = std::sqrt(squared_distance(points_, i, j));
            if (d > rule.floor && radius > d) visit(j);
        });
    }

    // The first k admissible rows in the order (distance, index) that a
    // stable ascending sort by the IEEE less-than of the distances gives. A
    // NaN distance is neither less nor greater than any key; it is ordered
    // after every number (and NaN keys among themselves by index), which is
    // one consistent placement and keeps the sort well defined.
    std::vector<RankedNeighbor> k_nearest(std::size_t i, const CandidateRule& rule,
                                          std::size_t k) const {
        // Asked for a large share of all rows, sorting them all is as quick.
        if (indexed() && k <= points_.size() / 4) return tree_k_nearest(i, rule, k);
        std::vector<RankedNeighbor> ranked;
        scan(rule.candidates_end, [&](std::size_t j) {
            if (temporally_excluded(i, j, rule.exclusion)) return;
            const double d = std::sqrt(squared_distance(points_, i, j));
            if (d > rule.floor || std::isnan(d)) ranked.push_back({j, d});
        });
        std::stable_sort(ranked.begin(), ranked.end(), nan_last_less);
        pacer_.advance(ranked.size() * kSortUnits);
        if (ranked.size() > k) ranked.resize(k);
        return ranked;
    }

    static bool nan_last_less(const RankedNeighbor& a, const RankedNeighbor& b) {
        const bool a_nan = std::isnan(a.distance);
        const bool b_nan = std::isnan(b.distance);
        if (a_nan || b_nan) return !a_nan && b_nan;
        return a.distance < b.distance;
    }

private:
    // Work units of measuring one row in a scan (its coordinate differences
    // and the comparisons around them), and of placing one item in a sort.
    std::size_t row_units() const { return points_.dim() + 1; }
    static constexpr std::size_t kSortUnits = 32;

    // The work of one tree search, counted per leaf reached: the rows it
    // measures there (each fetched from an unpredictable place) or takes
    // unmeasured, and the descent to the leaf (some eight nodes, each a box
    // against the query), so that a search that prunes little is paced as
    // well. Counted in a local total, handed to the pacer every 2^14 units
    // and at the end: nothing is counted per node, and a leaf costs an
    // addition.
    class TreeWork {
    public:
        explicit TreeWork(const NeighborSearch& search)
            : pacer_(search.pacer_),
              per_row_(search.points_.dim() + 32),
              per_leaf_(8 * (search.used_ + 16)) {}
        TreeWork(const TreeWork&) = delete;
        TreeWork& operator=(const TreeWork&) = delete;
        ~TreeWork() = default;

        void leaf(std::size_t rows) { add(rows * per_row_ + per_leaf_); }
        void whole_leaf(std::size_t rows) { add(rows * 4 + per_leaf_); }
        // Hands over what is left, at the end of a search. Out of line, so
        // that the searches' loops stay small enough to be inlined whole.
        [[gnu::noinline]] void done() {
            pacer_.advance(units_);
            units_ = 0;
        }

    private:
        void add(std::uint64_t units) {
            units_ += units;
            if (units_ >= (std::uint64_t{1} << 14)) [[unlikely]] done();
        }

        Pacer& pacer_;
        std::uint64_t per_row_;
        std::uint64_t per_leaf_;
        std::uint64_t units_ = 0;
    };

    // Calls visit(j) for j = 0 .. end - 1 in increasing order, counting the
    // work on the pacer after each block of about 2^16 units.
    template <class Visit>
    void scan(std::size_t end, Visit&& visit) const {
        const std::size_t units = row_units();
        const std::size_t block = std::max<std::size_t>(1, (std::size_t{1} << 16) / units);
        for (std::size_t first = 0; first < end;) {
            const std::size_t stop = end - first > block ? first + block : end;
            for (std::size_t j = first; j < stop; ++j) visit(j);
            pacer_.advance((stop - first) * units);
            first = stop;
        }
    }

    // The tree path. Distances are never NaN here (finite coordinates), so
    // the scans' rules reduce to plain comparisons; what the scans get from
    // their order of visit (the lowest index among equal distances, rows in
    // increasing index) is made explicit.
    //
    // Distances are compared as the scans compare them, through the square
    // root: two different sums can share one square root, and a node must
    // not be dropped while one of its rows can still tie. The comparisons
    // are made on sums against exact thresholds instead (see
    // largest_square_at_most), which decide every case as the square roots
    // would, without taking them.

    bool admissible(std::size_t i, std::size_t j, const CandidateRule& rule) const {
        return j < rule.candidates_end && !temporally_excluded(i, j, rule.exclusion);
    }

    // Calls take(j) for every admissible row j among the tree's rows
    // [begin, end) of one leaf, in the tree's order.
    template <typename Take>
    void for_admissible(std::size_t i, const CandidateRule& rule, std::size_t begin,
                        std::size_t end, Take&& take) const {
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t j = tree_->row_at(p);
            if (admissible(i, j, rule)) take(j);
        }
    }

    // sqrt(s) > rule.floor exactly when s > floor_square(rule), for every s
    // that is not NaN.
    static double floor_square(const CandidateRule& rule) {
        return rule.floor < 0.0 ? -std::numeric_limits<double>::infinity()
                                : largest_square_at_most(rule.floor);
    }

    Nearest tree_nearest(std::size_t i, const CandidateRule& rule, std::size_t hint) const {
        const KdTree<Points>& tree = *tree_;
        const double floor = floor_square(rule);
        Nearest best;
        // Sums above this cannot win or tie: their roots exceed the best.
        double reach = std::numeric_limits<double>::infinity();
        auto consider = [&](std::size_t j) {
            const double s = squared_distance(points_, i, j);
            if (!(s <= reach && s > floor)) return;
            const double d = std::sqrt(s);
            if (d < best.distance || (d == best.distance && j < best.index)) {
                best.index = j;
                best.distance = d;
                reach = largest_square_at_most(d);
            }
        };
        // The default answer is index 0 at +inf: an infinite distance never
        // qualifies, so "j < best.index" cannot fire before a finite one has.
        if (hint < points_.size() && admissible(i, hint, rule)) consider(hint);
        TreeWork work(*this);
        tree.traverse(
            tree.query_of(i), used_,
            [&](double bound) { return bound > reach; },
            [&](std::size_t begin, std::size_t end) {
                for_admissible(i, rule, begin, end, consider);
                work.leaf(end - begin);
            });
        work.done();
        return best;
    }

    std::vector<std::size_t> tree_within(std::size_t i, const CandidateRule& rule,
                                         double radius) const {
        using Coverage = typename KdTree<Points>::Coverage;
        const KdTree<Points>& tree = *tree_;
        std::vector<std::size_t> found;
        // A distance is never below zero: no radius at or below it admits.
        if (!(radius > 0.0)) return found;
        // radius > sqrt(s) exactly when s <= inside.
        const double inside = largest_square_at_most(std::nextafter(radius, 0.0));
        const double floor = floor_square(rule);
        // The upper bound of a tree over fewer coordinates than the rows
        // bounds nothing: whole nodes are taken only from a full tree.
        const bool whole_nodes = used_ == points_.dim();
        std::size_t lowest = points_.size(), highest = 0;
        auto take = [&](std::size_t j) {
            found.push_back(j);
            lowest = std::min(lowest, j);
            highest = std::max(highest, j);
        };
        TreeWork work(*this);
        tree.traverse_ball(
            tree.query_of(i), used_,
            [&](double lower, auto upper) {
                if (!(lower <= inside)) return Coverage::kSkip;
                // Every row strictly inside the radius and above the floor:
                // none needs measuring.
                if (whole_nodes && lower > floor && upper() <= inside) return Coverage::kAll;
                return Coverage::kSome;
            },
            [&](std::size_t begin, std::size_t end) {
                for_admissible(i, rule, begin, end, [&](std::size_t j) {
                    const double s = squared_distance(points_, i, j);
                    if (s <= inside && s > floor) take(j);
                });
                work.leaf(end - begin);
            },
            [&](std::size_t begin, std::size_t end) {
                for_admissible(i, rule, begin, end, take);
                work.whole_leaf(end - begin);
            });
        work.done();
        // Into increasing j: by marking the rows in a bitmap and reading it
        // back when the rows found are dense in their range, else by sorting.
        const std::size_t words = found.empty() ? 0 : highest / 64 - lowest / 64 + 1;
        if (found.size() < 64 || words > 4 * found.size()) {
            pacer_.advance(found.size() * kSortUnits);
            std::sort(found.begin(), found.end());
            return found;
        }
        if (marks_.empty()) marks_.assign(points_.size() / 64 + 1, 0);
        for (const std::size_t j : found) marks_[j / 64] |= std::uint64_t{1} << (j % 64);
        std::size_t out = 0;
        for (std::size_t w = lowest / 64; w <= highest / 64; ++w) {
            std::uint64_t bits = marks_[w];
            marks_[w] = 0;
            while (bits != 0) {
                found[out++] = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
                bits &= bits - 1;
            }
        }
        return found;
    }

    std::vector<RankedNeighbor> tree_k_nearest(std::size_t i, const CandidateRule& rule,
                                               std::size_t k) const {
        const KdTree<Points>& tree = *tree_;
        const double floor = floor_square(rule);
        // (distance, index) in lexicographic order is the order of a stable
        // sort by distance of rows listed in increasing index.
        auto before = [](const RankedNeighbor& a, const RankedNeighbor& b) {
            return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
        };
        std::vector<RankedNeighbor> heap;  // the k best so far, the worst on top
        if (k == 0) return heap;
        heap.reserve(k);
        // Once the heap is full, sums above this cannot enter it.
        double reach = std::numeric_limits<double>::infinity();
        TreeWork work(*this);
        tree.traverse(
            tree.query_of(i), used_,
            [&](double bound) { return bound > reach; },
            [&](std::size_t begin, std::size_t end) {
                for_admissible(i, rule, begin, end, [&](std::size_t j) {
                    const double s = squared_distance(points_, i, j);
                    if (!(s <= reach && s > floor)) return;
                    const RankedNeighbor candidate{j, std::sqrt(s)};
                    if (heap.size() < k) {
                        heap.push_back(candidate);
                        std::push_heap(heap.begin(), heap.end(), before);
                    } else if (before(candidate, heap.front())) {
                        std::pop_heap(heap.begin(), heap.end(), before);
                        heap.back() = candidate;
                        std::push_heap(heap.begin(), heap.end(), before);
                    } else {
                        return;
                    }
                    if (heap.size() == k) reach = largest_square_at_most(heap.front().distance);
                });
                work.leaf(end - begin);
            });
        work.done();
        std::sort_heap(heap.begin(), heap.end(), before);
        return heap;
    }

    const Points& points_;
    Pacer& pacer_;
    // Scratch of the tree's radius search, allocated at its first use: one
    // bit per row, all clear between searches.
    mutable std::vector<std::uint64_t> marks_;
    // The tree searched, if any: the one in owned_ or one built elsewhere.
    // (A vector rather than an optional: KdTree holds a reference and is not
    // assignable.)
    std::vector<KdTree<Points>> owned_;
    const KdTree<Points>* tree_ = nullptr;
    std::size_t used_ = 0;  // coordinates the tree's bounds cover
};

}  // namespace quorlin
