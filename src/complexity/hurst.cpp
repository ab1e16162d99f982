#include "complexity/hurst.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/ieee.hpp"
#include "common/parallel.hpp"
#include "common/search_policy.hpp"
#include "numerics/lanes.hpp"
#include "numerics/least_squares.hpp"

namespace quorlin::complexity {
namespace {

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

// Windows of one size are taken four at a time, one per lane (lanes.hpp),
// and the last few one by one: each window's sums still run in sample order
// into accumulators of their own, and the lanes only interleave independent
// chains of additions that would otherwise wait on each other. Two vectors
// of two doubles fit the registers of every x86-64 and AArch64 processor.
using WideWindows = LanePair<DoubleLanes<2>>;
constexpr std::size_t kWideWindows = kLaneCount<WideWindows>;

// Samples are walked in chunks of this many, small enough to stay in the
// first-level cache while every window size takes the windows that end in
// the chunk. Each size still handles its windows in order.
constexpr std::size_t kChunk = 4096;

// The windows of one size: windows x[w*k] .. x[w*k + k - 1], w < windows,
// each taken by add_windows in order; `next` is the first not yet taken.
struct WindowWalk {
    std::size_t size = 0;
    std::size_t windows = 0;
    std::size_t next = 0;
};

// Takes the windows that end at or before sample `end`, kWideWindows at a
// time while that many are complete, the last few one by one at the very
// end.
template <class Statistic>
void advance(Statistic& statistic, const double* x, std::size_t end, bool last) {
    WindowWalk& walk = statistic;
    while (walk.next + kWideWindows <= walk.windows &&
           (walk.next + kWideWindows) * walk.size <= end) {
        statistic.template add_windows<WideWindows>(x + walk.next * walk.size);
        walk.next += kWideWindows;
    }
    if (last) {
        for (; walk.next < walk.windows; ++walk.next) {
            statistic.template add_windows<double>(x + walk.next * walk.size);
        }
    }
}

// One window size of the rescaled range; `running` adds range / sample
// standard deviation over the windows in order. A window of zero (or NaN)
// variance contributes nothing but still counts in the divisor.
struct RescaledRange : WindowWalk {
    double running = 0.0;

    // The windows starting at v, v + size, ..., one per lane of L. The
    // cumulative deviations, their extremes and the squared deviations are
    // all formed from the same v[j] - mean in one pass. A NaN deviation never
    // wins the strict comparisons, which is how NaN extremes are ignored.
    template <class L>
    [[gnu::always_inline]] void add_windows(const double* v) {
        const double k = static_cast<double>(size);
        L sum = lanes_of<L>(0.0);
        for (std::size_t j = 0; j < size; ++j) sum += gather_lanes<L>(v + j, size);
        const L mean = sum / k;
        L cumulative = lanes_of<L>(0.0);
        L highest = lanes_of<L>(-kInfinity);
        L lowest = lanes_of<L>(kInfinity);
        L squares = lanes_of<L>(0.0);
        for (std::size_t j = 0; j < size; ++j) {
            const L deviation = gather_lanes<L>(v + j, size) - mean;
            cumulative += deviation;
            highest = select(cumulative > highest, cumulative, highest);
            lowest = select(cumulative < lowest, cumulative, lowest);
            squares += deviation * deviation;
        }
        const L variance = squares / (k - 1.0);
        const L range = highest - lowest;
#pragma GCC unroll 8
        for (std::size_t l = 0; l < kLaneCount<L>; ++l) {
            if (lane_at(variance, l) > 0.0) {
                running += lane_at(range, l) / std::sqrt(lane_at(variance, l));
            }
        }
    }
};

// Runs pass(block, pacer) over blocks of the window sizes, on the context's
// workers. Each size keeps sums of its own, taken over its windows in order,
// so how the sizes are split changes no bit: one worker takes them all in one
// pass over the series (which stays in cache chunk by chunk), more take
// blocks of a few sizes each, every block a pass of its own.
template <class Statistic>
void take_all_windows(Pacer& pacer, std::vector<Statistic>& sizes, std::span<const double> x) {
    constexpr std::size_t kSizesPerBlock = 4;
    auto pass = [&](std::span<Statistic> block, Pacer& own) {
        for (std::size_t end = 0; end < x.size();) {
            end = std::min(x.size(), end + kChunk);
            for (Statistic& size : block) advance(size, x.data(), end, end == x.size());
            // Each size passes twice over the chunk's samples.
            own.advance(kChunk * block.size() * 2);
        }
    };
    const ExecutionContext& context = pacer.context();
    const double work = 2.0 * static_cast<double>(x.size()) * static_cast<double>(sizes.size());
    if (context.workers() == 1 || !SearchPolicy::thread_window_sizes(work)) {
        pass(std::span<Statistic>(sizes), pacer);
        return;
    }
    for_each_block(context, sizes.size(), kSizesPerBlock,
                   [&](std::size_t, std::size_t first, std::size_t end, Pacer& own) {
        pass(std::span<Statistic>(sizes).subspan(first, end - first), own);
    });
}

double rescaled_range_exponent(std::span<const double> x, Pacer& pacer) {
    const double half = std::trunc(kRsMaxKRatio * static_cast<double>(x.size()));
    if (half < static_cast<double>(kRsMinK + 1)) return kNaN;
    // The largest size K is excluded, so sizes stay below both n/2 and the cap
    // and every size has at least two windows.
    const std::size_t largest =
        half < static_cast<double>(kRsMaxKCap) ? static_cast<std::size_t>(half) : kRsMaxKCap;
    std::vector<RescaledRange> sizes;
    for (std::size_t k = kRsMinK; k < largest; ++k) {
        RescaledRange size;
        size.size = k;
        size.windows = x.size() / k;
        sizes.push_back(size);
    }
    take_all_windows(pacer, sizes, x);
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

// One DFA scale s: windows of the profile, each fitted by a straight line
// over t = 0 .. s-1; `fluctuation` adds the mean squared residuals over the
// windows in order.
struct DetrendedScale : WindowWalk {
    // The abscissae 0 .. s-1 are the same in every window, and so are their
    // sums and the slope's denominator: formed once, they are the very
    // values each window would form in the same order.
    double sum_t = 0.0;
    double sum_tt = 0.0;
    double denominator = 0.0;
    double fluctuation = 0.0;

    // The windows starting at y, y + size, ..., one per lane of L. Scales
    // whose denominator is below the tolerance are never taken, so the
    // slope needs no test here.
    template <class L>
    [[gnu::always_inline]] void add_windows(const double* y) {
        const double count = static_cast<double>(size);
        L sum_y = lanes_of<L>(0.0);
        L sum_ty = lanes_of<L>(0.0);
        for (std::size_t t = 0; t < size; ++t) {
            const L v = gather_lanes<L>(y + t, size);
            sum_y += v;
            sum_ty += static_cast<double>(t) * v;
        }
        const L b = slope_over(count, sum_t, sum_y, sum_ty, denominator);
        const L a = (sum_y - sum_t * b) / count;
        L residuals = lanes_of<L>(0.0);
        for (std::size_t t = 0; t < size; ++t) {
            const L r = gather_lanes<L>(y + t, size) - (static_cast<double>(t) * b + a);
            residuals += r * r;
        }
        const L mean_square = residuals / count;
#pragma GCC unroll 8
        for (std::size_t l = 0; l < kLaneCount<L>; ++l) fluctuation += lane_at(mean_square, l);
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
        DetrendedScale state;
        state.size = scale;
        state.windows = n_windows;
        for (std::size_t t = 0; t < scale; ++t) {
            const double td = static_cast<double>(t);
            state.sum_t += td;
            state.sum_tt += td * td;
        }
        // A window is skipped only for a denominator below the tolerance
        // (one exactly at it is usable), which then holds for every window
        // of this scale.
        state.denominator =
            slope_denominator(static_cast<double>(scale), state.sum_t, state.sum_tt);
        if (std::fabs(state.denominator) < kDfaWindowTolerance) continue;
        scales.push_back(state);
    }
    take_all_windows(pacer, scales, profile);
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
