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

// NaN when |D| is below the tolerance, or equal to it with
// AtTolerance::degenerate.
inline double least_squares_slope(const LineSums& s, double tolerance, AtTolerance at_tolerance) {
    const double q = s.count;
    const double denominator = q * s.sxx - s.sx * s.sx;
    const double magnitude = std::fabs(denominator);
    const bool usable = at_tolerance == AtTolerance::usable ? !(magnitude < tolerance)
                                                            : magnitude > tolerance;
    if (!usable) return std::numeric_limits<double>::quiet_NaN();
    return (q * s.sxy - s.sx * s.sy) / denominator;
}

}  // namespace quorlin
