// NaN samples and the ranking of sample entropy's series.
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
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/execution.hpp"

namespace quorlin::complexity {

struct HoledSeries {
    std::vector<double> samples;  // the private copy, NaN samples kept
    std::vector<double> filled;   // the same with every NaN filled
    std::vector<std::size_t> holes;  // positions of the NaN samples, ascending
};

// The private copy of the series, and the filled one when it holds NaN. A
// NaN is filled with the sample before it (after it at the very start), so
// that the filling follows the signal and leaves its ranking much as it was.
HoledSeries holed_series(std::span<const double> x);

// The holed templates among the first `templates` of the given length, in
// ascending order: those starting within length - 1 samples before a hole.
std::vector<std::size_t> holed_templates(const std::vector<std::size_t>& holes,
                                         std::size_t length, std::size_t templates);

// Of the pairs with at least one holed template (each unordered pair once),
// how many match in the series with its NaN samples and how many in the
// filled one.
struct HoledPairs {
    std::uint64_t with_nan = 0;
    std::uint64_t with_fill = 0;
};

HoledPairs holed_pairs(const HoledSeries& series, std::size_t length, std::size_t templates,
                       const std::vector<std::size_t>& holed, double r, Pacer& pacer);

}  // namespace quorlin::complexity
