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

// Two doubles in one 16-byte register (SSE2 on x86-64, NEON on AArch64).
// Lanes hold different windows, so every window's sums still run in sample
// order into accumulators of their own; only independent work is interleaved.
typedef double Doubles2 __attribute__((vector_size(16)));

// Samples are walked in chunks of this many, small enough to stay in the
// first-level cache while every window size takes the windows that end in
// the chunk. Each size still handles its windows in order.
constexpr std::size_t kChunk = 4096;

// One window size of the rescaled range: windows x[w*k] .. x[w*k + k - 1].
// `running` adds range / sample standard deviation over the windows in
// order; a window of zero (or NaN) variance contributes nothing but still
// counts in the divisor.
struct RescaledRange {
    std::size_t size = 0;
    std::size_t windows = 0;
    std::size_t next = 0;
    double running = 0.0;

    // The cumulative deviations, their extremes and the squared deviations
    // are all formed from the same v[j] - mean in one pass. A NaN deviation
    // never wins the strict comparisons, which is how NaN extremes are
    // ignored.
    void add_window(const double* v) {
        const double k = static_cast<double>(size);
        double sum = 0.0;
        for (std::size_t j = 0; j < size; ++j) sum += v[j];
        const double mean = sum / k;
        double cumulative = 0.0;
        double highest = -kInfinity;
        double lowest = kInfinity;
        double squares = 0.0;
        for (std::size_t j = 0; j < size; ++j) {
            const double deviation = v[j] - mean;
            cumulative += deviation;
            if (cumulative > highest) highest = cumulative;
            if (cumulative < lowest) lowest = cumulative;
            squares += deviation * deviation;
        }
        const double variance = squares / (k - 1.0);
        if (variance > 0.0) running += (highest - lowest) / std::sqrt(variance);
    }

    // Windows w .. w+3 side by side, exactly as add_window would take them
    // one after the other.
    void add_four_windows(const double* v) {
        const Doubles2 k = {static_cast<double>(size), static_cast<double>(size)};
        const double* v1 = v + size;
        const double* v2 = v1 + size;
        const double* v3 = v2 + size;
        Doubles2 sum01 = {0.0, 0.0};
        Doubles2 sum23 = {0.0, 0.0};
        for (std::size_t j = 0; j < size; ++j) {
            sum01 += Doubles2{v[j], v1[j]};
            sum23 += Doubles2{v2[j], v3[j]};
        }
        const Doubles2 mean01 = sum01 / k;
        const Doubles2 mean23 = sum23 / k;
        Doubles2 cumulative01 = {0.0, 0.0};
        Doubles2 cumulative23 = {0.0, 0.0};
        Doubles2 highest01 = {-kInfinity, -kInfinity};
        Doubles2 highest23 = highest01;
        Doubles2 lowest01 = {kInfinity, kInfinity};
        Doubles2 lowest23 = lowest01;
        Doubles2 squares01 = {0.0, 0.0};
        Doubles2 squares23 = {0.0, 0.0};
        for (std::size_t j = 0; j < size; ++j) {
            const Doubles2 deviation01 = Doubles2{v[j], v1[j]} - mean01;
            const Doubles2 deviation23 = Doubles2{v2[j], v3[j]} - mean23;
            cumulative01 += deviation01;
            cumulative23 += deviation23;
            highest01 = cumulative01 > highest01 ? cumulative01 : highest01;
            highest23 = cumulative23 > highest23 ? cumulative23 : highest23;
            lowest01 = cumulative01 < lowest01 ? cumulative01 : lowest01;
            lowest23 = cumulative23 < lowest23 ? cumulative23 : lowest23;
            squares01 += deviation01 * deviation01;
            squares23 += deviation23 * deviation23;
        }
        const Doubles2 one = {1.0, 1.0};
        const Doubles2 variance01 = squares01 / (k - one);
        const Doubles2 variance23 = squares23 / (k - one);
        const Doubles2 range01 = highest01 - lowest01;
        const Doubles2 range23 = highest23 - lowest23;
        const double variances[4] = {variance01[0], variance01[1], variance23[0], variance23[1]};
        const double ranges[4] = {range01[0], range01[1], range23[0], range23[1]};
        for (std::size_t w = 0; w < 4; ++w) {
            if (variances[w] > 0.0) running += ranges[w] / std::sqrt(variances[w]);
        }
    }

    // Takes the windows that end at or before sample `end`; four at a time
    // while four are complete, the last few one by one at the very end.
    void advance(const double* x, std::size_t end, bool last) {
        while (next + 4 <= windows && (next + 4) * size <= end) {
            add_four_windows(x + next * size);
            next += 4;
        }
        if (last) {
            for (; next < windows; ++next) add_window(x + next * size);
        }
    }
};

double rescaled_range_exponent(std::span<const double> x, Pacer& pacer) {
    const double half = std::trunc(kRsMaxKRatio * static_cast<double>(x.size()));
    if (half < static_cast<double>(kRsMinK + 1)) return kNaN;
    // The largest size K is excluded, so sizes stay below both n/2 and the cap
    // and every size has at least two windows.
    const std::size_t largest =
        half < static_cast<double>(kRsMaxKCap) ? static_cast<std::size_t>(half) : kRsMaxKCap;
    std::vector<RescaledRange> sizes;
    for (std::size_t k = kRsMinK; k < largest; ++k) {
        sizes.push_back({.size = k, .windows = x.size() / k});
    }
    for (std::size_t end = 0; end < x.size();) {
        end = std::min(x.size(), end + kChunk);
        for (RescaledRange& size : sizes) size.advance(x.data(), end, end == x.size());
        // Each size passes twice over the chunk's samples.
        pacer.advance(kChunk * sizes.size() * 2);
    }
    LineSums points;
    for (const RescaledRange& size : sizes) {
        const double rs = size.running / static_cast<double>(size.windows);
        if (rs > 0.0) points.add(std::log(static_cast<double>(size.size)), std::log(rs));
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

// One DFA scale s: windows of the profile p[w*s] .. p[w*s + s - 1], each
// fitted by a straight line over t = 0 .. s-1; `fluctuation` adds the mean
// squared residuals over the windows in order.
struct DetrendedScale {
    std::size_t size = 0;
    std::size_t windows = 0;
    // The abscissae 0 .. s-1 are the same in every window, and so are their
    // sums: formed once, they are the very values each window would form in
    // the same order.
    double sum_t = 0.0;
    double sum_tt = 0.0;
    std::size_t next = 0;
    double fluctuation = 0.0;

    void add_window(const double* y) {
        const double count = static_cast<double>(size);
        double sum_y = 0.0;
        double sum_ty = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            sum_y += y[t];
            sum_ty += static_cast<double>(t) * y[t];
        }
        const LineSums window{
            .count = count, .sx = sum_t, .sy = sum_y, .sxy = sum_ty, .sxx = sum_tt};
        const double b = least_squares_slope(window, kDfaWindowTolerance, AtTolerance::usable);
        const double a = (sum_y - sum_t * b) / count;
        double residuals = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            const double r = y[t] - (static_cast<double>(t) * b + a);
            residuals += r * r;
        }
        fluctuation += residuals / count;
    }

    // Windows w .. w+3 side by side, each computed exactly as add_window
    // computes it (the slope's denominator is known to be usable).
    void add_four_windows(const double* y) {
        const double* y1 = y + size;
        const double* y2 = y1 + size;
        const double* y3 = y2 + size;
        const Doubles2 count = {static_cast<double>(size), static_cast<double>(size)};
        const Doubles2 st = {sum_t, sum_t};
        const Doubles2 stt = {sum_tt, sum_tt};
        Doubles2 sum_y01 = {0.0, 0.0};
        Doubles2 sum_y23 = {0.0, 0.0};
        Doubles2 sum_ty01 = {0.0, 0.0};
        Doubles2 sum_ty23 = {0.0, 0.0};
        for (std::size_t t = 0; t < size; ++t) {
            const double td = static_cast<double>(t);
            const Doubles2 v01 = {y[t], y1[t]};
            const Doubles2 v23 = {y2[t], y3[t]};
            sum_y01 += v01;
            sum_y23 += v23;
            sum_ty01 += td * v01;
            sum_ty23 += td * v23;
        }
        const Doubles2 denominator = count * stt - st * st;
        const Doubles2 b01 = (count * sum_ty01 - st * sum_y01) / denominator;
        const Doubles2 b23 = (count * sum_ty23 - st * sum_y23) / denominator;
        const Doubles2 a01 = (sum_y01 - st * b01) / count;
        const Doubles2 a23 = (sum_y23 - st * b23) / count;
        Doubles2 residuals01 = {0.0, 0.0};
        Doubles2 residuals23 = {0.0, 0.0};
        for (std::size_t t = 0; t < size; ++t) {
            const double td = static_cast<double>(t);
            const Doubles2 r01 = Doubles2{y[t], y1[t]} - (td * b01 + a01);
            const Doubles2 r23 = Doubles2{y2[t], y3[t]} - (td * b23 + a23);
            residuals01 += r01 * r01;
            residuals23 += r23 * r23;
        }
        const Doubles2 q01 = residuals01 / count;
        const Doubles2 q23 = residuals23 / count;
        fluctuation += q01[0];
        fluctuation += q01[1];
        fluctuation += q23[0];
        fluctuation += q23[1];
    }

    void advance(const double* profile, std::size_t end, bool last) {
        while (next + 4 <= windows && (next + 4) * size <= end) {
            add_four_windows(profile + next * size);
            next += 4;
        }
        if (last) {
            for (; next < windows; ++next) add_window(profile + next * size);
        }
    }
};

double detrended_fluctuation_exponent(std::span<const double> x, Pacer& pacer) {
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

    std::vector<DetrendedScale> scales;
    for (const std::size_t scale : dfa_scales(n)) {
        // Scales lie between about n/4 and 100 and so are at least 5 here;
        // the zero test only keeps the division defined whatever happens.
        if (scale == 0) continue;
        const std::size_t n_windows = n / scale;
        if (n_windows < 2) continue;
        DetrendedScale state{.size = scale, .windows = n_windows};
        for (std::size_t t = 0; t < scale; ++t) {
            const double td = static_cast<double>(t);
            state.sum_t += td;
            state.sum_tt += td * td;
        }
        // A window is skipped only for a degenerate denominator, which then
        // holds for every window of this scale.
        const double size = static_cast<double>(scale);
        const double denominator = size * state.sum_tt - state.sum_t * state.sum_t;
        if (std::fabs(denominator) < kDfaWindowTolerance) continue;
        scales.push_back(state);
    }
    for (std::size_t end = 0; end < n;) {
        end = std::min(n, end + kChunk);
        for (DetrendedScale& scale : scales) scale.advance(profile.data(), end, end == n);
        pacer.advance(kChunk * scales.size() * 2);
    }
    LineSums points;
    for (const DetrendedScale& scale : scales) {
        points.add(std::log(static_cast<double>(scale.size)),
                   std::log(std::sqrt(scale.fluctuation / static_cast<double>(scale.windows))));
    }
    return log_log_slope(points);
}

}  // namespace

HurstMethod hurst_method(std::string_view text) {
    return text == "dfa" ? HurstMethod::detrended_fluctuation : HurstMethod::rescaled_range;
}

double hurst_exponent(std::span<const double> signal, HurstMethod method,
                      const ExecutionContext& context) {
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
    Pacer pacer(context);
    return method == HurstMethod::detrended_fluctuation ? detrended_fluctuation_exponent(x, pacer)
                                                        : rescaled_range_exponent(x, pacer);
}

}  // namespace quorlin::complexity
