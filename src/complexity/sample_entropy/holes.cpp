#include "complexity/sample_entropy/holes.hpp"

#include <algorithm>
#include <cmath>

#include "common/memory.hpp"

namespace quorlin::complexity {

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

}  // namespace quorlin::complexity
