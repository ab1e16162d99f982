#include "complexity/hurst.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "numerics/least_squares.hpp"

namespace quorlin::complexity {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr std::size_t kMinimumLength = 10;
constexpr std::size_t kRsMinK = 10;          // rs_min_k
constexpr double kRsMaxKRatio = 0.5;         // rs_max_k_ratio
constexpr std::size_t kRsMaxKCap = 100;      // rs_max_k_cap
constexpr std::size_t kDfaMinimumLength = 20;
constexpr int kDfaScaleCount = 20;
constexpr double kDfaLargestScaleFraction = 0.25;
constexpr double kDfaLargestScaleCap = 100.0;
constexpr double kDfaWindowTolerance = 1e-30;
constexpr double kFitTolerance = 1e-15;

// The log-log fit shared by both methods: at least three points, and a
// denominator exactly at the tolerance is still usable.
double log_log_slope(const LineSums& points) {
    if (points.count <= 2.0) return kNaN;
    return least_squares_slope(points, kFitTolerance, AtTolerance::usable);
}

// Mean over all windows of size k of range / sample standard deviation of the
// cumulative deviations from the window mean. A window of zero (or NaN)
// variance contributes nothing but still counts in the divisor.
double rescaled_range(std::span<const double> x, std::size_t k) {
    const std::size_t n_windows = x.size() / k;
    const double size = static_cast<double>(k);
    double running = 0.0;
    for (std::size_t w = 0; w < n_windows; ++w) {
        const double* v = x.data() + w * k;
        double sum = 0.0;
        for (std::size_t j = 0; j < k; ++j) sum += v[j];
        const double mean = sum / size;
        // The cumulative deviation, its extremes and the squared deviations
        // are all formed from the same v[j] - mean, so one pass serves them
        // and no buffer of deviations is needed. A NaN deviation never wins
        // the strict comparisons, which is how NaN extremes are ignored.
        double cumulative = 0.0;
        double highest = -kInfinity;
        double lowest = kInfinity;
        double squares = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double deviation = v[j] - mean;
            cumulative += deviation;
            if (cumulative > highest) highest = cumulative;
            if (cumulative < lowest) lowest = cumulative;
            squares += deviation * deviation;
        }
        const double variance = squares / (size - 1.0);
        if (variance > 0.0) running += (highest - lowest) / std::sqrt(variance);
    }
    return running / static_cast<double>(n_windows);
}

double rescaled_range_exponent(std::span<const double> x) {
    const double half = std::trunc(kRsMaxKRatio * static_cast<double>(x.size()));
    if (half < static_cast<double>(kRsMinK + 1)) return kNaN;
    // The largest size K is excluded, so sizes stay below both n/2 and the cap
    // and every size has at least two windows.
    const std::size_t largest =
        half < static_cast<double>(kRsMaxKCap) ? static_cast<std::size_t>(half) : kRsMaxKCap;
    LineSums points;
    for (std::size_t k = kRsMinK; k < largest; ++k) {
        const double rs = rescaled_range(x, k);
        if (rs > 0.0) points.add(std::log(static_cast<double>(k)), std::log(rs));
    }
    const double slope = log_log_slope(points);
    if (slope < 0.0) return 0.0;
    if (slope > 1.0) return 1.0;
    return slope;
}

// Candidate scales 10^e for e spread evenly from 1 to log10(min(n/4, 100)),
// truncated; only a repeat of the scale just before is dropped, so for short
// series (where the scales fall from 10) the list is still strictly monotone.
std::vector<std::size_t> dfa_scales(std::size_t n) {
    const double largest =
        std::min(kDfaLargestScaleFraction * static_cast<double>(n), kDfaLargestScaleCap);
    const double span = std::log10(largest) - 1.0;
    std::vector<std::size_t> scales;
    scales.reserve(kDfaScaleCount);
    for (int i = 0; i < kDfaScaleCount; ++i) {
        const double exponent = (static_cast<double>(i) * span) / (kDfaScaleCount - 1) + 1.0;
        const auto scale = static_cast<std::size_t>(std::pow(10.0, exponent));
        if (scales.empty() || scales.back() != scale) scales.push_back(scale);
    }
    return scales;
}

double detrended_fluctuation_exponent(std::span<const double> x) {
    const std::size_t n = x.size();
    if (n < kDfaMinimumLength) return kNaN;
    double total = 0.0;
    for (const double v : x) total += v;
    const double mean = total / static_cast<double>(n);
    std::vector<double> profile(n);
    double cumulative = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        cumulative += x[i] - mean;
        profile[i] = cumulative;
    }

    LineSums points;
    for (const std::size_t scale : dfa_scales(n)) {
        // Scales lie between about n/4 and 100 and so are at least 5 here;
        // the zero test only keeps the division defined whatever happens.
        if (scale == 0) continue;
        const std::size_t n_windows = n / scale;
        if (n_windows < 2) continue;
        const double size = static_cast<double>(scale);
        // The abscissae 0 .. s-1 are the same in every window, and so are
        // their sums and the denominator: formed once, they are the very values
        // each window would form in the same order.
        double sum_t = 0.0;
        double sum_tt = 0.0;
        for (std::size_t t = 0; t < scale; ++t) {
            const double td = static_cast<double>(t);
            sum_t += td;
            sum_tt += td * td;
        }
        const double denominator = size * sum_tt - sum_t * sum_t;
        // A window is skipped only for a degenerate denominator, which then
        // holds for every window of this scale.
        if (std::fabs(denominator) < kDfaWindowTolerance) continue;

        double fluctuation = 0.0;
        std::size_t counted = 0;
        for (std::size_t w = 0; w < n_windows; ++w) {
            const double* y = profile.data() + w * scale;
            double sum_y = 0.0;
            double sum_ty = 0.0;
            for (std::size_t t = 0; t < scale; ++t) {
                sum_y += y[t];
                sum_ty += static_cast<double>(t) * y[t];
            }
            const LineSums window{
                .count = size, .sx = sum_t, .sy = sum_y, .sxy = sum_ty, .sxx = sum_tt};
            const double b = least_squares_slope(window, kDfaWindowTolerance, AtTolerance::usable);
            const double a = (sum_y - sum_t * b) / size;
            double residuals = 0.0;
            for (std::size_t t = 0; t < scale; ++t) {
                const double r = y[t] - (static_cast<double>(t) * b + a);
                residuals += r * r;
            }
            fluctuation += residuals / size;
            ++counted;
        }
        if (counted > 0) {
            points.add(std::log(size),
                       std::log(std::sqrt(fluctuation / static_cast<double>(counted))));
        }
    }
    return log_log_slope(points);
}

}  // namespace

HurstMethod hurst_method(std::string_view text) {
    return text == "dfa" ? HurstMethod::detrended_fluctuation : HurstMethod::rescaled_range;
}

double hurst_exponent(std::span<const double> signal, HurstMethod method) {
    // The analysis runs on the NaN-free series. Most signals hold no NaN and
    // are then read in place; otherwise the valid samples are copied once.
    const auto n_valid = static_cast<std::size_t>(
        std::count_if(signal.begin(), signal.end(), [](double v) { return !std::isnan(v); }));
    std::vector<double> valid;
    std::span<const double> x = signal;
    if (n_valid != signal.size()) {
        valid.reserve(n_valid);
        for (const double v : signal) {
            if (!std::isnan(v)) valid.push_back(v);
        }
        x = valid;
    }
    if (x.size() < kMinimumLength) return kNaN;
    return method == HurstMethod::detrended_fluctuation ? detrended_fluctuation_exponent(x)
                                                        : rescaled_range_exponent(x);
}

}  // namespace quorlin::complexity
