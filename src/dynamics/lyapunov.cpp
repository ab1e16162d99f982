#include "dynamics/lyapunov.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "common/checked_math.hpp"
#include "common/ieee.hpp"
#include "common/parallel.hpp"
#include "dynamics/divergence.hpp"
#include "numerics/least_squares.hpp"
#include "numerics/neighbors.hpp"
#include "numerics/points.hpp"
#include "numerics/moments.hpp"

namespace quorlin::dynamics {
namespace {


// Rosenstein's neighbour searches run in tasks of this many consecutive
// references: some milliseconds of work each, far more than handing a task
// to a thread costs.
constexpr std::size_t kNearestPerTask = 256;

// Both fits treat a denominator of exactly this magnitude as vanishing.
constexpr double kFitTolerance = 1e-15;

// Rosenstein's method needs this many valid samples, and at least this many
// embedded points, before it estimates anything.
constexpr std::uint64_t kMinimumPoints = 50;

// The embedded points must outnumber the temporal window and the followed
// steps by this margin, and at least this many steps must remain.
constexpr std::uint64_t kStepMargin = 10;

RosensteinResult rosenstein_degenerate() { return {kNaN, {}, {}}; }
KantzResult kantz_degenerate() { return {kNaN, {}}; }

// Whether the span (d - 1) * t is at most `limit`, without forming a product
// that could wrap.
bool span_within(std::uint64_t d, std::uint64_t t, std::uint64_t limit) {
    if (d <= 1 || t == 0) return true;
    return d - 1 <= limit / t;
}

}  // namespace

std::optional<DimensionAndDelay> rosenstein_embedding(std::uint64_t n, std::uint64_t m0,
                                                      std::uint64_t tau0) {
    if (m0 == 0 || n < kMinimumPoints) return std::nullopt;
    const std::uint64_t min_points = std::max(kMinimumPoints, n / 4);
    // (d, t) leaves n - (d - 1) * t >= min_points points exactly when its span
    // is at most `limit` (min_points <= n because n >= 50).
    const std::uint64_t limit = n - min_points;
    if (span_within(m0, tau0, limit)) return DimensionAndDelay{m0, tau0};

    // From here m0 >= 2 and tau0 >= 1: dimension 1 and delay 0 always fit.
    // The span grows with d and with t, so the first candidate of a list
    // that walks d (or t) downwards is the largest value whose span fits;
    // each list is thus answered in closed form, in the order of the walk.
    if (m0 >= 3) {
        const std::uint64_t d = std::min(m0 - 1, limit / tau0 + 1);
        if (d >= 2) return DimensionAndDelay{d, tau0};
    }
    if (tau0 >= 2) {
        const std::uint64_t t = std::min(tau0 - 1, limit / (m0 - 1));
        if (t >= 1) return DimensionAndDelay{m0, t};
    }
    if (m0 >= 3 && tau0 >= 2) {
        // The outer walk over d stops at the first d for which t = 1 fits,
        // i.e. d - 1 <= limit; the inner walk then takes its largest t.
        const std::uint64_t d = std::min(m0 - 1, limit + 1);
        if (d >= 2) return DimensionAndDelay{d, std::min(tau0 - 1, limit / (d - 1))};
    }
    return std::nullopt;
}

RosensteinResult lyapunov_rosenstein(std::span<const double> signal,
                                     std::optional<std::uint64_t> dimension,
                                     std::optional<std::uint64_t> delay,
                                     std::optional<std::uint64_t> min_tsep,
                                     std::optional<std::uint64_t> max_iter,
                                     const ExecutionContext& context) {
    Pacer pacer(context);
    // NaN samples are dropped, joining their neighbours; infinities stay.
    std::vector<double> cleaned;
    cleaned.reserve(signal.size());
    for (const double sample : signal) {
        if (sample == sample) cleaned.push_back(sample);
    }
    const std::uint64_t n = cleaned.size();
    if (n < kMinimumPoints) return rosenstein_degenerate();

    const auto embedding = rosenstein_embedding(n, dimension.value_or(3), delay.value_or(1));
    if (!embedding) return rosenstein_degenerate();
    const std::uint64_t m = embedding->dimension;
    const std::uint64_t tau = embedding->delay;
    // An overflowing default window would be wider than any series.
    const auto window = min_tsep ? min_tsep : checked_mul(m, tau);
    if (!window) return rosenstein_degenerate();
    const std::uint64_t separation = *window;

    // The chosen span fits within n, so this cannot wrap.
    const std::uint64_t n_points = n - (m - 1) * tau;
    std::uint64_t steps = max_iter.value_or(std::min<std::uint64_t>(n / 10, 500));
    std::optional<std::uint64_t> needed = checked_add(separation, steps);
    if (needed) needed = checked_add(*needed, kStepMargin);
    if (!needed || n_points < *needed) {
        const std::uint64_t available =
            saturating_sub(saturating_sub(n_points, separation), kStepMargin);
        if (available < kStepMargin) return rosenstein_degenerate();
        steps = available;
    }
    // Now n_points >= separation + steps + 10: every index below is in range.
    const std::size_t n_steps = static_cast<std::size_t>(steps);
    const std::size_t n_reference = static_cast<std::size_t>(n_points) - n_steps;

    const EmbeddedPoints points = embed_points(cleaned, m, tau, n_points, pacer);
    cleaned = {};
    const NeighborSearch<EmbeddedPoints> search(
        points, pacer,
        pacer.context().search().use_tree(n_reference, points.size(), m));
    // A repeated state (distance 0) is never a neighbour.
    const CandidateRule rule{points.size(), separation, 0.0};

    // Only reference points can be followed for n_steps steps, and only a
    // neighbour among them can follow along; any other neighbour, like no
    // neighbour at all, is recorded as n_reference and skipped below.
    // Each reference's neighbour is its own entry: blocks of references are
    // searched as tasks, on as many workers as the context lends.
    std::vector<std::size_t> neighbor(n_reference);
    for_each_block(context, n_reference, kNearestPerTask,
                   [&](std::size_t, std::size_t first, std::size_t last, Pacer& task_pacer) {
        const NeighborSearch<EmbeddedPoints> own(search, task_pacer);
        std::size_t hint = kNoHint;
        for (std::size_t i = first; i < last; ++i) {
            const Nearest nearest = own.nearest(i, rule, hint);
            // Along a smooth trajectory the next point's neighbour is usually
            // the successor of this one's (a hint only speeds the search up).
            hint = nearest.found() ? nearest.index + 1 : kNoHint;
            neighbor[i] =
                nearest.found() && nearest.index < n_reference ? nearest.index : n_reference;
        }
    });

    // Each sum[k] accumulates over the reference points in increasing order,
    // which fixes its rounding.
    const DivergenceSums sums = follow_pairs(
        points, n_steps, n_reference,
        [&](std::size_t i, std::vector<std::size_t>& partners, Pacer&) {
            if (neighbor[i] != n_reference) partners.push_back(neighbor[i]);
        },
        pacer.context().search().use_tiles(n_reference, n_steps, m), pacer);
    const std::vector<double>& sum = sums.sum;
    const std::vector<std::uint64_t>& count = sums.count;

    RosensteinResult result{kNaN, std::vector<double>(n_steps), std::vector<double>(n_steps)};
    for (std::size_t k = 0; k < n_steps; ++k) {
        result.divergence_curve[k] =
            count[k] == 0 ? kNaN : sum[k] / static_cast<double>(count[k]);
        result.iterations[k] = static_cast<double>(k);
    }

    // The early, roughly linear part of the curve; non-finite values (steps
    // without pairs, infinite samples) are left out of the fit.
    const std::size_t window_length = std::min(n_steps, std::max<std::size_t>(10, n_steps / 5));
    LineSums line;
    for (std::size_t k = 0; k < window_length; ++k) {
        const double value = result.divergence_curve[k];
        if (std::isfinite(value)) line.add(static_cast<double>(k), value);
    }
    if (line.count >= 3.0) {
        // Per sample: the curve advances one sample per step, the embedding
        // tau samples per coordinate. IEEE division, so delay 0 gives +-inf
        // (or NaN for a flat curve).
        result.lambda_max = least_squares_slope(line, kFitTolerance, AtTolerance::degenerate) /
                            static_cast<double>(tau);
    }
    return result;
}

KantzResult lyapunov_kantz(std::span<const double> signal, std::optional<std::uint64_t> dimension,
                           std::optional<std::uint64_t> delay,
                           std::optional<std::uint64_t> min_tsep, std::optional<double> epsilon,
                           std::optional<std::uint64_t> max_iter, const ExecutionContext& context) {
    const std::uint64_t m = dimension.value_or(3);
    const std::uint64_t tau = delay.value_or(1);
    if (m == 0) return kantz_degenerate();
    const std::uint64_t n = signal.size();
    // A span or window that overflows is longer than any series.
    const auto span = embedding_span(m, tau);
    const std::uint64_t n_points = span ? saturating_sub(n, *span) : 0;
    const auto window = min_tsep ? min_tsep : checked_mul(m, tau);
    const auto needed = window ? checked_add(*window, 2) : std::nullopt;
    if (!needed || n_points < *needed) return kantz_degenerate();
    const std::uint64_t separation = *window;

    double radius;
    if (epsilon) {
        radius = *epsilon;
    } else {
        // Statistics of the whole signal, not of the embedded points; one NaN
        // sample makes the radius NaN and no pair qualifies.
        radius = std::sqrt(population_moments(signal).variance) * 0.1;
    }

    const std::size_t n_steps =
        static_cast<std::size_t>(std::min(max_iter.value_or(n_points / 4), n_points - 1));
    // With no step to follow, or no distance d with 0 < d < radius (a radius
    // that is not positive, or NaN), no pair contributes: the curve is empty.
    if (n_steps == 0 || !(radius > 0.0)) return kantz_degenerate();

    Pacer pacer(context);
    const EmbeddedPoints points = embed_points(signal, m, tau, n_points, pacer);
    const NeighborSearch<EmbeddedPoints> search(
        points, pacer,
        pacer.context().search().use_tree(points.size(), points.size(), m));
    // Identical points (distance 0) never form a pair.
    const CandidateRule rule{points.size(), separation, 0.0};

    // Each sum[k] accumulates over the pairs in the order (reference point,
    // candidate), which fixes its rounding. Every ordered pair is visited,
    // so each unordered pair counts twice.
    const std::size_t size = points.size();
    const DivergenceSums sums = follow_pairs(
        points, n_steps, size,
        [&](std::size_t i, std::vector<std::size_t>& partners, Pacer& task_pacer) {
            // The same search, counting on the pacer of the thread that asks.
            const NeighborSearch<EmbeddedPoints> own(search, task_pacer);
            own.for_each_within(i, rule, radius, [&](std::size_t j) { partners.push_back(j); });
        },
        pacer.context().search().use_tiles(size, n_steps, m), pacer);
    const std::vector<double>& sum = sums.sum;
    const std::vector<std::uint64_t>& count = sums.count;

    KantzResult result{kNaN, {}};
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (count[k] > 0) result.divergence_curve.push_back(sum[k] / static_cast<double>(count[k]));
    }

    // Fitted against the position in the curve, not the step number, and
    // without screening: a step that lost its pairs moves the later ones up.
    const std::size_t length = result.divergence_curve.size();
    if (length >= 2) {
        const std::size_t window_length = std::min(length, std::max<std::size_t>(2, length / 10));
        LineSums line;
        for (std::size_t r = 0; r < window_length; ++r) {
            line.add(static_cast<double>(r), result.divergence_curve[r]);
        }
        result.max_lyapunov = least_squares_slope(line, kFitTolerance, AtTolerance::degenerate);
    }
    return result;
}

}  // namespace quorlin::dynamics
