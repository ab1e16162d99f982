// Named IEEE special values, for the results that stand for "no answer"
// (NaN) and the bounds that every comparison passes or fails (infinities).
#pragma once

#include <limits>

namespace quorlin {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace quorlin
