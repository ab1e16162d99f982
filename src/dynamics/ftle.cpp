#include "dynamics/ftle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "dynamics/local_map.hpp"
#include "numerics/search_strategy.hpp"

namespace quorlin::dynamics {
namespace {

// Closer than this, two embedded points are taken as the same state repeated:
// such a pair has no direction to stretch and never serves as a perturbation.
constexpr double kRepeatedState = 1e-15;

// Fewer anchors than this and no anchor is processed at all.
constexpr std::uint64_t kLeastAnchors = 10;
// default_epsilon looks at the first rows only, which bounds its cost at
// 100 * 99 distances whatever the length of the trajectory.
constexpr std::size_t kEpsilonRows = 100;
constexpr double kEpsilonQuantile = 0.2;

constexpr double kNoFloor = -std::numeric_limits<double>::infinity();

// Coordinate differences an exhaustive scan of `queries` rows against
// `candidates` rows of m coordinates takes, the measure of the work that
// decides between the scan and the tree.
double scan_work(std::uint64_t queries, std::uint64_t candidates, std::uint64_t m) {
    return static_cast<double>(queries) * static_cast<double>(candidates) *
           static_cast<double>(m);
}

// Below this much scan work the scans are quicker than building a tree and
// searching it: measured on delay vectors of the Lorenz x-coordinate and of
// Gaussian noise (m = 3), the tree overtakes the scans at 1.5e4 to 2e4 for
// nearest neighbours and radius searches alike.
constexpr double kTreeSwitchOver = 2e4;

// The number of points of the delay embedding. Dimension 0 gives points
// without coordinates: as many as samples when the delay is 0 too, none
// otherwise. A span (m - 1) * tau beyond 64 bits is longer than any series.
std::uint64_t embedded_count(std::uint64_t n_samples, std::uint64_t dimension,
                             std::uint64_t delay) {
    if (dimension == 0) return delay == 0 ? n_samples : 0;
    const auto span = embedding_span(dimension, delay);
    return span ? saturating_sub(n_samples, *span) : 0;
}

// Calls visit(i) for every anchor i < n_anchors of the subset, in increasing
// order.
template <class Visit>
void for_each_anchor(std::size_t n_anchors, const AnchorSubset& anchors, Visit&& visit) {
    if (!anchors) {
        for (std::size_t i = 0; i < n_anchors; ++i) visit(i);
        return;
    }
    for (const std::uint64_t i : *anchors) {
        if (i < n_anchors) visit(static_cast<std::size_t>(i));
    }
}

// Work units of fitting one anchor's map to k neighbours in d coordinates:
// the tables and the normal equations (k d^2), the inversion (d^3) and the
// 200 power iterations (d^2 each).
std::uint64_t fit_units(std::size_t k, std::size_t d) {
    return static_cast<std::uint64_t>(k + d + 200) * d * d + 1;
}

// The anchors' fits, kFitLanes at a time (local_map.hpp): the same
// neighbours, tables and results as the loop in ftle_local_linearization.
void fit_side_by_side(const StridedPoints& trajectory, const NeighborSearch<StridedPoints>& search,
                      std::size_t n_anchors, std::uint64_t time_horizon,
                      std::uint64_t n_neighbors, double radius, const AnchorSubset& anchors,
                      Pacer& pacer, LocalLinearizationFtle& result) {
    const std::size_t d = trajectory.dim();
    const double horizon = static_cast<double>(time_horizon);
    FitLanes lanes(d);
    std::size_t anchor_of[kFitLanes];
    auto fit_lanes = [&] {
        const std::vector<FitLanes::Fit> fits = lanes.fit_all();
        for (std::size_t lane = 0; lane < fits.size(); ++lane) {
            if (!fits[lane].fitted) continue;
            const std::size_t i = anchor_of[lane];
            if (fits[lane].stretch > 0.0) result.ftle_values[i] = std::log(fits[lane].stretch) / horizon;
            result.confidence[i] = fits[lane].confidence;
        }
    };
    for_each_anchor(n_anchors, anchors, [&](std::size_t i) {
        const std::vector<std::size_t> neighbors =
            select_neighbors(search, i, n_anchors, n_neighbors, radius);
        const std::size_t k = neighbors.size();
        if (k <= d) return;
        const std::size_t lane = lanes.add(k);
        anchor_of[lane] = i;
        // The anchor's rows, read once (the tables could alias the
        // trajectory for all the compiler knows).
        double anchor[kMaxFitLaneDimension], image[kMaxFitLaneDimension];
        for (std::size_t c = 0; c < d; ++c) {
            anchor[c] = trajectory.coord(i, c);
            image[c] = trajectory.coord(i + time_horizon, c);
        }
        for (std::size_t r = 0; r < k; ++r) {
            const std::size_t j = neighbors[r];
            for (std::size_t c = 0; c < d; ++c) {
                lanes.x(lane, r, c) = trajectory.coord(j, c) - anchor[c];
                lanes.y(lane, r, c) = trajectory.coord(j + time_horizon, c) - image[c];
            }
        }
        pacer.advance(fit_units(k, d));
        if (lanes.full()) fit_lanes();
    });
    if (lanes.used() > 0) fit_lanes();
}

}  // namespace

DirectPerturbationFtle ftle_direct_perturbation(std::span<const double> signal,
                                                std::uint64_t dimension, std::uint64_t delay,
                                                std::uint64_t time_horizon,
                                                const ExecutionContext& context,
                                                AnchorSubset anchors) {
    const std::uint64_t n_points = embedded_count(signal.size(), dimension, delay);
    const auto least_points = checked_add(time_horizon, 2);
    if (!least_points || n_points < *least_points) return {};
    const std::uint64_t n_out = n_points - time_horizon;

    // Points closer in time than one embedding window share samples and are
    // no independent perturbation of each other. A window beyond 64 bits
    // excludes every pair.
    const auto window = checked_mul(dimension, delay);
    const std::uint64_t exclusion = window ? *window : std::numeric_limits<std::uint64_t>::max();

    Pacer pacer(context);
    const EmbeddedPoints points = embed_points(signal, dimension, delay, n_points, pacer);
    DirectPerturbationFtle result{std::vector<double>(n_out, 0.0),
                                  std::vector<double>(n_out, 0.0)};
    const NeighborSearch<EmbeddedPoints> search(
        points, pacer, use_fast_search(scan_work(n_out, n_out, dimension), kTreeSwitchOver));
    // Only points that still have a successor H steps later can be followed.
    const CandidateRule rule{static_cast<std::size_t>(n_out), exclusion, kRepeatedState};
    const double horizon = static_cast<double>(time_horizon);

    std::size_t hint = kNoHint;
    for_each_anchor(n_out, anchors, [&](std::size_t i) {
        const Nearest neighbor = search.nearest(i, rule, hint);
        // Along a smooth trajectory the next point's neighbour is usually
        // the successor of this one's (a hint only speeds the search up).
        hint = neighbor.found() ? neighbor.index + 1 : kNoHint;
        if (!neighbor.found()) return;
        const double final_squared = squared_distance(points, i + time_horizon,
                                                      neighbor.index + time_horizon);
        // Trajectories that meet again exactly (or a NaN separation) give no
        // stretching factor: both entries stay 0.0.
        if (!(neighbor.distance > kRepeatedState && final_squared > 0.0)) return;
        const double ratio = std::sqrt(final_squared) / neighbor.distance;
        // H = 0 makes the ratio exactly 1 and divides ln(1) = 0 by 0.0: NaN,
        // an exponent over no time being undefined.
        result.ftle_values[i] = std::log(ratio) / horizon;
        result.jacobian_norms[i] = ratio;
    });
    return result;
}

double default_epsilon(const StridedPoints& trajectory) {
    const std::size_t m = std::min(trajectory.size(), kEpsilonRows);
    if (m < 2) return std::numeric_limits<double>::quiet_NaN();
    // Every unordered pair enters twice, (a, b) and (b, a), as the ordered
    // list of all pairs does; the percentile position counts them both.
    std::vector<RankedNeighbor> distances;
    distances.reserve(m * (m - 1));
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = 0; b < m; ++b) {
            if (b == a) continue;
            distances.push_back({b, std::sqrt(squared_distance(trajectory, a, b))});
        }
    }
    // A NaN distance is neither less nor greater than any key, and a sort
    // on the bare IEEE less-than would then be undefined. The neighbour
    // search's ordering is the IEEE less-than on numbers with every NaN
    // placed after them, a strict weak order that the sort can rely on.
    std::stable_sort(distances.begin(), distances.end(),
                     NeighborSearch<StridedPoints>::nan_last_less);
    const double last = static_cast<double>(distances.size() - 1);
    const auto position = static_cast<std::size_t>(kEpsilonQuantile * last);
    return distances[position].distance;
}

std::vector<std::size_t> select_neighbors(const NeighborSearch<StridedPoints>& search,
                                          std::size_t anchor, std::size_t n_anchors,
                                          std::uint64_t n_neighbors, double epsilon) {
    std::vector<std::size_t> ball;
    // Only rows j < n_anchors have an image row j + T; the ball is strict,
    // so with epsilon = 0 even a repeated state stays outside.
    search.for_each_within(anchor, CandidateRule{n_anchors, 1, kNoFloor}, epsilon,
                           [&](std::size_t j) { ball.push_back(j); });
    // n_neighbors is a least number, not a cap: a full ball is kept whole.
    if (ball.size() >= n_neighbors) return ball;

    // The fallback ranks every other row, imageless ones included, and then
    // drops the imageless ones without letting later rows move up: the list
    // may come out shorter than n_neighbors, or empty.
    const std::size_t n_rows = search.points().size();
    std::vector<std::size_t> nearest;
    for (const RankedNeighbor& candidate :
         search.k_nearest(anchor, CandidateRule{n_rows, 1, kNoFloor}, n_neighbors)) {
        if (candidate.index < n_anchors) nearest.push_back(candidate.index);
    }
    return nearest;
}

LocalLinearizationFtle ftle_local_linearization(const StridedPoints& trajectory,
                                                std::uint64_t time_horizon,
                                                std::uint64_t n_neighbors,
                                                std::optional<double> epsilon,
                                                const ExecutionContext& context,
                                                AnchorSubset anchors) {
    const std::size_t n = trajectory.size();
    const std::size_t d = trajectory.dim();
    // The shape of a broadcast view is not backed by memory: the two results
    // of n doubles are the first buffers whose size is not the input's.
    require_memory(n, sizeof(double), 2);
    LocalLinearizationFtle result{
        std::vector<double>(n, std::numeric_limits<double>::quiet_NaN()),
        std::vector<double>(n, 0.0)};
    // Anchors are exactly the rows with an image row T steps later.
    const std::uint64_t n_anchors = saturating_sub(n, time_horizon);
    if (n_anchors < kLeastAnchors || d == 0) return result;

    const double radius = epsilon ? *epsilon : default_epsilon(trajectory);
    const bool fast = use_fast_search(scan_work(n_anchors, n, d), kTreeSwitchOver);
    Pacer pacer(context);
    const NeighborSearch<StridedPoints> search(trajectory, pacer, fast);
    const double horizon = static_cast<double>(time_horizon);

    if (fast && d <= kMaxFitLaneDimension) {
        fit_side_by_side(trajectory, search, n_anchors, time_horizon, n_neighbors, radius, anchors,
                         pacer, result);
        return result;
    }
    for_each_anchor(n_anchors, anchors, [&](std::size_t i) {
        const std::vector<std::size_t> neighbors =
            select_neighbors(search, i, n_anchors, n_neighbors, radius);
        const std::size_t k = neighbors.size();
        // A d x d map needs at least d + 1 displacements to be fitted at all.
        if (k <= d) return;
        pacer.advance(fit_units(k, d));

        Matrix now(k, d);    // X: displacements from the anchor
        Matrix later(k, d);  // Y: the same displacements T steps later
        const std::size_t image = i + time_horizon;
        for (std::size_t r = 0; r < k; ++r) {
            const std::size_t j = neighbors[r];
            for (std::size_t c = 0; c < d; ++c) {
                now(r, c) = trajectory.coord(j, c) - trajectory.coord(i, c);
                later(r, c) = trajectory.coord(j + time_horizon, c) - trajectory.coord(image, c);
            }
        }

        const auto map = fit_local_map(now, later);
        if (!map) return;
        // Y ~ X B row by row, so B^T carries a displacement column vector.
        const double stretch = largest_stretch(map->transposed());
        // T = 0 divides by 0.0: +-inf, or NaN for a stretch of exactly 1.
        if (stretch > 0.0) result.ftle_values[i] = std::log(stretch) / horizon;
        result.confidence[i] = fit_confidence(now, later, *map);
    });
    return result;
}

}  // namespace quorlin::dynamics
