// Closed-form least-squares slope of a straight line through (x, y) points.
//
// The four sums are each accumulated in point order into their own
// accumulator, and the slope is (q*Sxy - Sx*Sy) / (q*Sxx - Sx^2). Callers
// differ only in the tolerance on the denominator and in whether a
// denominator exactly at the tolerance is still usable, so both are
// parameters rather than variations of the formula.
#pragma once

#include <cmath>
#include <limits>

namespace quorlin {

struct LineSums {
    double count = 0.0;
    double sx = 0.0;
    double sy = 0.0;
    double sxy = 0.0;
    double sxx = 0.0;

    void add(double x, double y) {
        count += 1.0;
        sx += x;
        sy += y;
        sxy += x * y;
        sxx += x * x;
    }
};

enum class AtTolerance { usable, degenerate };

// The two halves of the slope, formed as above. The numerator takes Sy and
// Sxy of any lane type (lanes.hpp): lines that share their abscissae, and so
// q, Sx and the denominator, are fitted side by side, each lane exactly as
// on its own.
inline double slope_denominator(double q, double sx, double sxx) { return q * sxx - sx * sx; }

template <class L>
[[gnu::always_inline]] inline L slope_over(double q, double sx, L sy, L sxy, double denominator) {
    return (q * sxy - sx * sy) / denominator;
}

// NaN when |D| is below the tolerance, or equal to it with
// AtTolerance::degenerate.
inline double least_squares_slope(const LineSums& s, double tolerance, AtTolerance at_tolerance) {
    const double denominator = slope_denominator(s.count, s.sx, s.sxx);
    const double magnitude = std::fabs(denominator);
    const bool usable = at_tolerance == AtTolerance::usable ? !(magnitude < tolerance)
                                                            : magnitude > tolerance;
    if (!usable) return std::numeric_limits<double>::quiet_NaN();
    return slope_over(s.count, s.sx, s.sy, s.sxy, denominator);
}

}  // namespace quorlin
