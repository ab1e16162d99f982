#include "dynamics/ftle.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/vector_clones.hpp"
#include "dynamics/lane_kernels.hpp"
#include "dynamics/local_map.hpp"
#include "numerics/kd_tree.hpp"
#include "numerics/lanes.hpp"
#include "numerics/neighbors.hpp"

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

// Tasks of the parallel partition (parallel.hpp): a fixed number of
// reference points, or of anchors (in whole groups of 4 or 8), each. A task
// of either kind is a millisecond or more of work at the sizes where threads
// pay, far above the cost of handing it out.
constexpr std::size_t kReferencesPerTask = 1024;
constexpr std::size_t kAnchorsPerTask = 64;

// The number of points of the delay embedding. Dimension 0 gives points
// without coordinates: as many as samples when the delay is 0 too, none
// otherwise. A span (m - 1) * tau beyond 64 bits is longer than any series.
std::uint64_t embedded_count(std::uint64_t n_samples, std::uint64_t dimension,
                             std::uint64_t delay) {
    if (dimension == 0) return delay == 0 ? n_samples : 0;
    const auto span = embedding_span(dimension, delay);
    return span ? saturating_sub(n_samples, *span) : 0;
}

// The anchors an estimate covers, in increasing order: 0 .. n_anchors - 1,
// or the entries of a subset below n_anchors, each once (a subset that
// repeats an entry or is out of order gives each of its anchors once all
// the same, so that no two tasks ever write one entry).
class AnchorList {
public:
    AnchorList(std::size_t n_anchors, const AnchorSubset& subset) : size_(n_anchors) {
        if (!subset) return;
        listed_ = true;
        for (const std::uint64_t i : *subset) {
            if (i < n_anchors) anchors_.push_back(static_cast<std::size_t>(i));
        }
        if (!std::is_sorted(anchors_.begin(), anchors_.end(),
                            [](std::size_t a, std::size_t b) { return a <= b; })) {
            std::sort(anchors_.begin(), anchors_.end());
            anchors_.erase(std::unique(anchors_.begin(), anchors_.end()), anchors_.end());
        }
        size_ = anchors_.size();
    }

    std::size_t size() const { return size_; }
    std::size_t operator[](std::size_t position) const {
        return listed_ ? anchors_[position] : position;
    }

private:
    std::size_t size_;
    bool listed_ = false;
    std::vector<std::size_t> anchors_;
};

std::size_t tasks_of(std::size_t items, std::size_t per_task) {
    return items / per_task + (items % per_task != 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Local linearization: the balls of a group of anchors.

// The ball scan of one group of W anchors (lane_kernels.hpp); what it
// caught is thrown again here, on the caller's side.
template <std::size_t W>
BallRows<W> ball_rows_any(const BallJob<W>& job, Pacer& pacer) {
    return call_clone(LaneKernels<W>::ball_rows, job, pacer);
}

// Marks in `marks` every anchor row (row < n_anchors) of the tree's nodes
// that may hold a row within the radius of a point of the box [lo, hi]: a
// node is left out only when the squared-distance bound between the two
// boxes, summed like squared_distance from per-coordinate gaps that no pair
// of rows can undercut (rounding is monotone), is above `inside`. The rows of
// a node whose farthest reach, summed the same way from gaps that no pair
// can exceed, is at or below `inside` lie within the radius of every point
// of the box: they are marked in `inner` too. (A tree is built only over
// finite rows; rows that change during the call may then be put in a ball
// or left out wrongly, never unsafely.) Returns the range of words written.
Candidates mark_candidates(const KdTree<StridedPoints>& tree, const double* lo, const double* hi,
                           std::size_t d, double inside, std::size_t n_anchors,
                           std::uint64_t* marks, std::uint64_t* inner, Pacer& pacer) {
    using Coverage = KdTree<StridedPoints>::Coverage;
    std::size_t lowest = std::numeric_limits<std::size_t>::max(), highest = 0;
    std::uint64_t units = 0;
    // The rows of tree positions [begin, end), in `inner` too when `within`.
    auto mark = [&](std::size_t begin, std::size_t end, bool within) {
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t j = tree.row_at(p);
            if (j >= n_anchors) continue;
            const std::uint64_t bit = std::uint64_t{1} << (j % 64);
            marks[j / 64] |= bit;
            if (within) inner[j / 64] |= bit;
            lowest = std::min(lowest, j);
            highest = std::max(highest, j);
        }
        units += 4 * (end - begin);
    };
    tree.traverse_boxes(
        [&](const double* node_lo, const double* node_hi) {
            units += 2 * d + 8;
            double lower = -0.0, upper = -0.0;
            for (std::size_t c = 0; c < d; ++c) {
                double gap = 0.0;
                if (node_lo[c] > hi[c]) {
                    gap = node_lo[c] - hi[c];
                } else if (lo[c] > node_hi[c]) {
                    gap = lo[c] - node_hi[c];
                }
                lower += gap * gap;
                const double reach = std::max(node_hi[c] - lo[c], hi[c] - node_lo[c]);
                upper += reach * reach;
            }
            if (!(lower <= inside)) return Coverage::kSkip;
            // Every row of the node lies within the radius of every point of
            // the box: no node below needs a look.
            return upper <= inside ? Coverage::kAll : Coverage::kSome;
        },
        [&](std::size_t begin, std::size_t end) { mark(begin, end, false); },
        [&](std::size_t begin, std::size_t end) { mark(begin, end, true); });
    pacer.advance(units);
    if (lowest > highest) return Candidates{marks, inner, 0, 0};
    return Candidates{marks, inner, lowest / 64, highest / 64 + 1};
}

// The fallback neighbours of `anchor`: the first n_neighbors rows by
// distance, every other row a candidate, less those without an image row.
// A taken row without one is dropped and the next does not move up: the
// list may come out shorter than n_neighbors, or empty.
std::vector<std::size_t> fallback_neighbors(const NeighborSearch<StridedPoints>& search,
                                            std::size_t anchor, std::size_t n_anchors,
                                            std::uint64_t n_neighbors) {
    const std::size_t n_rows = search.points().size();
    std::vector<std::size_t> nearest;
    for (const RankedNeighbor& candidate :
         search.k_nearest(anchor, CandidateRule{n_rows, 1, kNoFloor}, n_neighbors)) {
        if (candidate.index < n_anchors) nearest.push_back(candidate.index);
    }
    return nearest;
}

// W anchors from list[first] on, one per lane. A lane past the end of the
// list is idle: it repeats the group's first anchor (whose rows are then
// read, and nothing of it kept) and is left out of `used`.
template <std::size_t W>
struct AnchorGroup {
    std::array<std::size_t, W> anchors;
    LaneMask used = 0;
};

template <std::size_t W>
AnchorGroup<W> group_at(std::span<const std::size_t> list, std::size_t first) {
    AnchorGroup<W> group;
    for (std::size_t l = 0; l < W; ++l) {
        const std::size_t p = first + l;
        group.anchors[l] = list[p < list.size() ? p : first];
        if (p < list.size()) group.used |= lane_bit(l);
    }
    return group;
}

// A search through the shared tree when there is one, else by scans; one
// per task, counting its work on the task's pacer.
template <class Points>
void open_search(std::optional<NeighborSearch<Points>>& search, const Points& points,
                 Pacer& pacer, const std::optional<KdTree<Points>>& tree) {
    if (tree) {
        search.emplace(points, pacer, *tree);
    } else {
        search.emplace(points, pacer, false);
    }
}

// The working memory of one task: reused from group to group.
struct GroupScratch {
    explicit GroupScratch(std::size_t n_anchors)
        : marks(n_anchors / 64 + 1, 0),
          inner(n_anchors / 64 + 1, 0),
          rows(new std::size_t[n_anchors]),
          masks(new LaneMask[n_anchors]) {}

    std::vector<std::uint64_t> marks;     // candidate rows; all clear between groups
    std::vector<std::uint64_t> inner;     // candidates known to lie in every ball; the same
    std::unique_ptr<std::size_t[]> rows;  // a group's ball rows, increasing
    std::unique_ptr<LaneMask[]> masks;    // the lanes each ball row belongs to
    std::vector<double> anchor_rows;      // [c][lane]
    std::vector<std::size_t> fallback_rows;
    std::vector<LaneMask> fallback_masks;
    FitScratch fits;
};

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
    // One tree for all threads: searches only read it.
    std::optional<KdTree<EmbeddedPoints>> tree;
    if (pacer.context().search().use_tree(n_out, n_out, dimension) &&
        KdTree<EmbeddedPoints>::suitable(points, pacer)) {
        tree.emplace(points, pacer);
    }
    // Only points that still have a successor H steps later can be followed.
    const CandidateRule rule{static_cast<std::size_t>(n_out), exclusion, kRepeatedState};
    const double horizon = static_cast<double>(time_horizon);
    const AnchorList references(n_out, anchors);

    // Each reference point's entries are its own: tasks of consecutive
    // reference points write disjoint entries, in any order.
    for_each_block(context, references.size(), kReferencesPerTask,
                   [&](std::size_t, std::size_t first, std::size_t stop, Pacer& task_pacer) {
        std::optional<NeighborSearch<EmbeddedPoints>> search;
        open_search(search, points, task_pacer, tree);
        std::size_t hint = kNoHint;
        for (std::size_t position = first; position < stop; ++position) {
            const std::size_t i = references[position];
            const Nearest neighbor = search->nearest(i, rule, hint);
            // Along a smooth trajectory the next point's neighbour is usually
            // the successor of this one's (a hint only speeds the search up).
            hint = neighbor.found() ? neighbor.index + 1 : kNoHint;
            if (!neighbor.found()) continue;
            const double final_squared = squared_distance(points, i + time_horizon,
                                                          neighbor.index + time_horizon);
            // Trajectories that meet again exactly (or a NaN separation) give
            // no stretching factor: both entries stay 0.0.
            if (!(neighbor.distance > kRepeatedState && final_squared > 0.0)) continue;
            const double ratio = std::sqrt(final_squared) / neighbor.distance;
            // H = 0 makes the ratio exactly 1 and divides ln(1) = 0 by 0.0:
            // NaN, an exponent over no time being undefined.
            result.ftle_values[i] = std::log(ratio) / horizon;
            result.jacobian_norms[i] = ratio;
        }
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

LocalLinearizationFtle ftle_local_linearization(const StridedPoints& trajectory,
                                                std::uint64_t time_horizon,
                                                std::uint64_t n_neighbors,
                                                std::optional<double> epsilon,
                                                const ExecutionContext& context,
                                                AnchorSubset anchors) {
    const std::size_t n = trajectory.size();
    const std::size_t d = trajectory.dim();
    // The shape of a broadcast view is not backed by memory: the two results
    // of n doubles (and the order of the anchors) are the first buffers
    // whose size is not the input's.
    require_memory(n, sizeof(double), 3);
    LocalLinearizationFtle result{
        std::vector<double>(n, std::numeric_limits<double>::quiet_NaN()),
        std::vector<double>(n, 0.0)};
    // Anchors are exactly the rows with an image row T steps later.
    const std::size_t n_anchors = static_cast<std::size_t>(saturating_sub(n, time_horizon));
    if (n_anchors < kLeastAnchors || d == 0) return result;

    const double radius = epsilon ? *epsilon : default_epsilon(trajectory);
    // A row is in a ball when radius > sqrt(s), that is when s <= inside; no
    // radius at or below zero (or NaN) admits any.
    const double inside = radius > 0.0 ? largest_square_at_most(std::nextafter(radius, 0.0))
                                       : -std::numeric_limits<double>::infinity();
    Pacer pacer(context);
    // One tree for all threads: searches only read it.
    std::optional<KdTree<StridedPoints>> tree;
    if (pacer.context().search().use_tree(n_anchors, n, d) &&
        KdTree<StridedPoints>::suitable(trajectory, pacer)) {
        tree.emplace(trajectory, pacer);
    }

    // The anchors, in the order in which they are grouped 4 or 8 at a time
    // (the lanes the processor has): the tree's order of rows, where the
    // anchors of a group lie close together and share most of their balls,
    // else increasing. The grouping changes no result: each lane computes
    // its anchor alone.
    const AnchorList listed(n_anchors, anchors);
    std::vector<std::size_t> order;
    order.reserve(listed.size());
    if (tree) {
        std::vector<bool> wanted(n_anchors, !anchors);
        for (std::size_t p = 0; anchors && p < listed.size(); ++p) wanted[listed[p]] = true;
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t j = tree->row_at(p);
            if (j < n_anchors && wanted[j]) order.push_back(j);
        }
    } else {
        for (std::size_t p = 0; p < listed.size(); ++p) order.push_back(listed[p]);
    }
    // The balls and fits of every anchor of `order`, W = 4 or 8 at a time.
    auto fit_in_groups = [&](auto lanes) {
        constexpr std::size_t W = decltype(lanes)::value;
        const std::size_t n_groups = tasks_of(order.size(), W);
        // Each thread holds two bitmaps of the anchors (a byte covers both)
        // and a group's ball rows with their lanes.
        require_memory(n_anchors, sizeof(std::size_t) + sizeof(LaneMask) + 1, context.workers());

        const double horizon = static_cast<double>(time_horizon);
        auto store = [&](const std::array<std::size_t, W>& group, LaneMask fitting,
                         const std::array<LaneFit, W>& fits) {
            for (std::size_t l = 0; l < W; ++l) {
                if ((fitting & lane_bit(l)) == 0 || !fits[l].fitted) continue;
                const std::size_t i = group[l];
                // T = 0 divides by 0.0: +-inf, or NaN for a stretch of exactly 1.
                if (fits[l].stretch > 0.0) {
                    result.ftle_values[i] = std::log(fits[l].stretch) / horizon;
                }
                result.confidence[i] = fits[l].confidence;
            }
        };

        // Each anchor's entries are its own: tasks of groups write disjoint
        // entries, in any order.
        for_each_block(context, n_groups, kAnchorsPerTask / W,
                       [&](std::size_t, std::size_t first_group, std::size_t end_group,
                           Pacer& task_pacer) {
            GroupScratch scratch(n_anchors);
            scratch.anchor_rows.resize(d * W);
            std::vector<std::size_t> falling_back;
            for (std::size_t g = first_group; g < end_group; ++g) {
                const AnchorGroup<W> group = group_at<W>(order, g * W);
                for (std::size_t c = 0; c < d; ++c) {
                    for (std::size_t l = 0; l < W; ++l) {
                        scratch.anchor_rows[c * W + l] = trajectory.coord(group.anchors[l], c);
                    }
                }

                Candidates candidates{nullptr, nullptr, 0, n_anchors};
                if (tree) {
                    std::array<double, kMaxTreeDimension> lo, hi;
                    for (std::size_t c = 0; c < d; ++c) {
                        lo[c] = hi[c] = scratch.anchor_rows[c * W];
                        for (std::size_t l = 1; l < W; ++l) {
                            lo[c] = std::min(lo[c], scratch.anchor_rows[c * W + l]);
                            hi[c] = std::max(hi[c], scratch.anchor_rows[c * W + l]);
                        }
                    }
                    candidates = mark_candidates(*tree, lo.data(), hi.data(), d, inside, n_anchors,
                                                 scratch.marks.data(), scratch.inner.data(),
                                                 task_pacer);
                }
                const BallJob<W> job{&trajectory, scratch.anchor_rows.data(), group.anchors,
                                     group.used, inside, candidates, scratch.rows.get(),
                                     scratch.masks.get()};
                const BallRows<W> ball = ball_rows_any<W>(job, task_pacer);

                // n_neighbors is a least number, not a cap: a full ball is kept
                // whole, and one with fewer rows is replaced by the fallback.
                LaneMask fitting = 0;
                for (std::size_t l = 0; l < W; ++l) {
                    if ((group.used & lane_bit(l)) == 0) continue;
                    if (ball.per_lane[l] < n_neighbors) {
                        falling_back.push_back(group.anchors[l]);
                    } else if (ball.per_lane[l] > d) {
                        // A d x d map needs at least d + 1 displacements.
                        fitting |= lane_bit(l);
                    }
                }
                if (fitting == 0) continue;
                const FitRows rows{{scratch.rows.get(), ball.rows},
                                   {scratch.masks.get(), ball.rows}};
                store(group.anchors, fitting,
                      fit_local_maps(trajectory, time_horizon, group.anchors, fitting, rows,
                                     scratch.fits, task_pacer));
            }
            if (falling_back.empty()) return;

            // The anchors that fall back, W at a time: each lane's list in its
            // own order, one after the other, every row marked for its lane
            // alone.
            std::optional<NeighborSearch<StridedPoints>> search;
            open_search(search, trajectory, task_pacer, tree);
            for (std::size_t first = 0; first < falling_back.size(); first += W) {
                const AnchorGroup<W> group = group_at<W>(falling_back, first);
                LaneMask fitting = 0;
                scratch.fallback_rows.clear();
                scratch.fallback_masks.clear();
                for (std::size_t l = 0; l < W; ++l) {
                    if ((group.used & lane_bit(l)) == 0) continue;
                    const std::vector<std::size_t> nearest =
                        fallback_neighbors(*search, group.anchors[l], n_anchors, n_neighbors);
                    if (nearest.size() <= d) continue;
                    scratch.fallback_rows.insert(scratch.fallback_rows.end(), nearest.begin(),
                                                 nearest.end());
                    scratch.fallback_masks.insert(scratch.fallback_masks.end(), nearest.size(),
                                                  lane_bit(l));
                    fitting |= lane_bit(l);
                }
                if (fitting == 0) continue;
                const FitRows rows{scratch.fallback_rows, scratch.fallback_masks};
                store(group.anchors, fitting,
                      fit_local_maps(trajectory, time_horizon, group.anchors, fitting, rows,
                                     scratch.fits, task_pacer));
            }
        });
    };
    if (context.search().wide_fit_lanes()) {
        fit_in_groups(std::integral_constant<std::size_t, 8>{});
    } else {
        fit_in_groups(std::integral_constant<std::size_t, 4>{});
    }
    return result;
}

}  // namespace quorlin::dynamics
