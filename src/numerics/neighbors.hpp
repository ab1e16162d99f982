// Every nearest-neighbour and radius search of the library goes through
// NeighborSearch, so that a faster exact search can replace the scans below
// without touching the algorithms that use them.
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

template <class Points>
class NeighborSearch {
public:
    explicit NeighborSearch(const Points& points) : points_(points) {}

    const Points& points() const { return points_; }

    // The admissible j with the smallest distance, the lowest j on ties; a
    // default Nearest (index 0, distance +inf) when none qualifies.
    Nearest nearest(std::size_t i, const CandidateRule& rule) const {
        Nearest best;
        for (std::size_t j = 0; j < rule.candidates_end; ++j) {
            if (temporally_excluded(i, j, rule.exclusion)) continue;
            const double d = std::sqrt(squared_distance(points_, i, j));
            if (d > rule.floor && d < best.distance) {
                best.index = j;
                best.distance = d;
            }
        }
        return best;
    }

    // Calls visit(j, s) for every admissible j, in increasing j, whose
    // distance sqrt(s) lies strictly inside `radius`; s is the squared
    // distance as summed above.
    template <class Visit>
    void for_each_within(std::size_t i, const CandidateRule& rule, double radius,
                         Visit&& visit) const {
        for (std::size_t j = 0; j < rule.candidates_end; ++j) {
            if (temporally_excluded(i, j, rule.exclusion)) continue;
            const double s = squared_distance(points_, i, j);
            const double d = std::sqrt(s);
            if (d > rule.floor && radius > d) visit(j, s);
        }
    }

    // The first k admissible rows in the order (distance, index) that a
    // stable ascending sort by the IEEE less-than of the distances gives. A
    // NaN distance is neither less nor greater than any key; it is ordered
    // after every number (and NaN keys among themselves by index), which is
    // one consistent placement and keeps the sort well defined.
    std::vector<RankedNeighbor> k_nearest(std::size_t i, const CandidateRule& rule,
                                          std::size_t k) const {
        std::vector<RankedNeighbor> ranked;
        for (std::size_t j = 0; j < rule.candidates_end; ++j) {
            if (temporally_excluded(i, j, rule.exclusion)) continue;
            const double d = std::sqrt(squared_distance(points_, i, j));
            if (d > rule.floor || std::isnan(d)) ranked.push_back({j, d});
        }
        std::stable_sort(ranked.begin(), ranked.end(), nan_last_less);
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
    const Points& points_;
};

}  // namespace quorlin
