// The Hurst exponent of a scalar series: the slope of log(statistic) against
// log(window size), by rescaled-range (R/S) analysis or by detrended
// fluctuation analysis (DFA).
#pragma once

#include <span>
#include <string_view>

#include "common/execution.hpp"

namespace quorlin::complexity {

enum class HurstMethod { rescaled_range, detrended_fluctuation };

// Only the exact, case-sensitive text "dfa" selects DFA; every other text,
// however close, runs R/S. No text is refused.
HurstMethod hurst_method(std::string_view text);

// NaN samples are dropped before the analysis (infinities stay). Degenerate
// input (too few valid samples, too few usable window sizes, a
// degenerate log-log fit) gives NaN. The R/S slope is clamped to [0, 1]; the
// DFA slope is returned as fitted. Throws Cancelled when the context says
// stop.
double hurst_exponent(std::span<const double> signal, HurstMethod method,
                      const ExecutionContext& context);

}  // namespace quorlin::complexity
