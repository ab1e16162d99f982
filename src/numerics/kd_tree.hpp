// A k-d tree over the rows of a point set, for exact nearest-neighbour,
// k-nearest and fixed-radius searches that return what the exhaustive scans
// of neighbors.hpp return, to the last bit.
//
// Exactness rests on one property of the pruning bound. The lower bound of
// a node is computed with the very operations of squared_distance: for each
// coordinate in order, the gap between the query and the node's box (zero
// inside the box) is squared and added to an accumulator that starts at
// -0.0. Every correctly rounded operation is monotone, so for any row inside
// the box each rounded gap is at least the box's rounded gap, each rounded
// square at least its square, and each rounded partial sum at least the
// bound's partial sum: the bound never exceeds the squared distance that the
// scan computes for any row of the node, and its square root never exceeds
// that row's distance. A node is skipped only when this rounded bound shows
// that no row in it can win or tie, never by a margin or a guess. The rows
// that are searched are then measured by squared_distance itself.
//
// The argument needs finite coordinates (an infinity minus itself is NaN,
// which has no order); the tree is built only for such point sets, and
// NeighborSearch keeps the scans for all others.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/execution.hpp"
#include "common/memory.hpp"

namespace quorlin {

// Beyond this many coordinates a box bound prunes too little to pay for
// itself; such point sets keep the exhaustive scans.
inline constexpr std::size_t kMaxTreeDimension = 32;

template <class Points>
class KdTree {
public:
    static constexpr std::size_t kLeafRows = 8;

    // Whether a tree over these rows can answer exactly: 1 to
    // kMaxTreeDimension coordinates, at least two rows, row numbers that fit
    // in 32 bits and no coordinate that is NaN or infinite. The look at
    // every coordinate is counted on the pacer.
    static bool suitable(const Points& points, Pacer& pacer) {
        const std::size_t m = points.dim();
        const std::size_t n = points.size();
        if (m == 0 || m > kMaxTreeDimension || n < 2 || n > UINT32_MAX) return false;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < m; ++c) {
                if (!std::isfinite(points.coord(i, c))) return false;
            }
            if ((i & 4095) == 4095) pacer.advance(4096 * m);
        }
        return true;
    }

    // Builds the tree over every row; the caller has checked suitable().
    // Throws std::bad_alloc when its O(n * m) memory cannot be had, Cancelled
    // when the pacer's context says stop (the work of each node is counted
    // on it).
    KdTree(const Points& points, Pacer& pacer) : points_(points), m_(points.dim()) {
        const std::size_t n = points.size();
        // Leaves hold 4 to 8 rows (or more that coincide), so there are at
        // most n / 2 + 1 nodes, each with a box of 2m bounds; and the row
        // order.
        const std::size_t nodes = 2 * (n / (kLeafRows / 2) + 1);
        require_memory(nodes, sizeof(Node) + 2 * m_ * sizeof(double));
        require_memory(n, sizeof(std::uint32_t));
        order_.resize(n);
        for (std::size_t i = 0; i < n; ++i) order_[i] = static_cast<std::uint32_t>(i);
        nodes_.reserve(nodes);
        lower_.reserve(nodes * m_);
        upper_.reserve(nodes * m_);
        require_memory(n, sizeof(Keyed));
        keyed_.resize(n);
        Box lo{}, hi{};
        for (std::size_t c = 0; c < m_; ++c) {
            lo[c] = hi[c] = points.coord(0, c);
            for (std::size_t i = 1; i < n; ++i) {
                lo[c] = std::min(lo[c], points.coord(i, c));
                hi[c] = std::max(hi[c], points.coord(i, c));
            }
            pacer.advance(4 * n);
        }
        build(0, n, lo, hi, pacer);
        keyed_ = {};
    }

    std::size_t dim() const { return m_; }
    std::size_t row_at(std::size_t position) const { return order_[position]; }

    // The query's coordinates, copied once per search.
    using Query = std::array<double, kMaxTreeDimension>;
    Query query_of(std::size_t row) const {
        Query q{};
        for (std::size_t c = 0; c < m_; ++c) q[c] = points_.coord(row, c);
        return q;
    }

    // Depth first, the nearer child first. For every node, prune(bound)
    // decides from the node's squared-distance lower bound whether to skip
    // it; the positions [begin, end) of each leaf reached go to
    // leaf(begin, end) (rows by row_at). prune is asked again when a node is
    // taken from the stack, so that a bound found meanwhile applies.
    //
    // The bound covers the first `used` coordinates (at most dim()). Summed
    // like the first terms of squared_distance, it is also a lower bound of
    // the distance of rows that continue with more coordinates: further
    // squares only add to a sum whose rounding is monotone. A tree over the
    // leading coordinates of longer rows can therefore search them.
    //
    // Always inlined into the search that calls it, which keeps that
    // search's state (its best distance, its count of work) in registers
    // from leaf to leaf.
    template <class Prune, class Leaf>
    [[gnu::always_inline]] void traverse(const Query& q, std::size_t used, Prune&& prune,
                                         Leaf&& leaf) const {
        struct Pending {
            std::uint32_t node;
            double bound;
        };
        // The depth is at most log2(n / 4) + 1 < 32 levels, and each level
        // leaves at most one sibling on the stack.
        std::array<Pending, 64> stack;
        std::size_t top = 0;
        stack[top++] = {0, box_bound(0, q, used)};
        while (top > 0) {
            const Pending pending = stack[--top];
            if (prune(pending.bound)) continue;
            std::uint32_t at = pending.node;
            // Walks down the nearer side, leaving the farther one behind.
            while (true) {
                const Node& node = nodes_[at];
                if (node.right == 0) {
                    leaf(node.begin, node.end);
                    break;
                }
                const std::uint32_t left = at + 1;
                const std::uint32_t right = node.right;
                const double left_bound = box_bound(left, q, used);
                const double right_bound = box_bound(right, q, used);
                std::uint32_t near = left, far = right;
                double near_bound = left_bound, far_bound = right_bound;
                if (right_bound < left_bound) {
                    std::swap(near, far);
                    std::swap(near_bound, far_bound);
                }
                if (!prune(far_bound)) stack[top++] = {far, far_bound};
                if (prune(near_bound)) break;
                at = near;
            }
        }
    }

    // For radius searches. classify(lower, upper) sorts a node by the
    // bounds of its squared distances: kSkip drops it, kAll hands all its
    // positions to whole(begin, end) unmeasured, kSome descends (a leaf goes
    // to leaf(begin, end)). The upper bound is formed like the lower one,
    // from the farther face of the box in each coordinate: by the same
    // monotonicity no row of the node has a larger squared distance.
    enum class Coverage { kSkip, kSome, kAll };
    template <class Classify, class Leaf, class Whole>
    void traverse_ball(const Query& q, std::size_t used, Classify&& classify, Leaf&& leaf,
                       Whole&& whole) const {
        traverse_boxes(
            [&](const double* lo, const double* hi) {
                return classify(box_bound(lo, hi, q, used), [&] { return box_reach(lo, hi, q, used); });
            },
            leaf, whole);
    }

    // The traversal of traverse_ball for any classification of a node by its
    // box: classify(lo, hi) sees the node's dim() lower and upper bounds (a
    // box that holds every row of the node).
    template <class Classify, class Leaf, class Whole>
    void traverse_boxes(Classify&& classify, Leaf&& leaf, Whole&& whole) const {
        std::array<std::uint32_t, 64> stack;
        std::size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const std::uint32_t at = stack[--top];
            const Node& node = nodes_[at];
            const Coverage coverage = classify(lower_.data() + std::size_t{at} * m_,
                                               upper_.data() + std::size_t{at} * m_);
            if (coverage == Coverage::kSkip) continue;
            if (coverage == Coverage::kAll) {
                whole(node.begin, node.end);
            } else if (node.right == 0) {
                leaf(node.begin, node.end);
            } else {
                // Right first on the stack, so that rows come out roughly in
                // tree order.
                stack[top++] = node.right;
                stack[top++] = at + 1;
            }
        }
    }

private:
    struct Node {
        std::uint32_t begin;
        std::uint32_t end;
        std::uint32_t right;  // 0 for a leaf; the left child follows its parent
    };

    // Squared-distance lower bound of the box of `node` (see the head of
    // this file): the same additions as squared_distance, in coordinate
    // order from -0.0, of the squared gaps to the box in the first `used`
    // coordinates.
    double box_bound(std::uint32_t node, const Query& q, std::size_t used) const {
        return box_bound(lower_.data() + std::size_t{node} * m_,
                         upper_.data() + std::size_t{node} * m_, q, used);
    }
    static double box_bound(const double* lo, const double* hi, const Query& q,
                            std::size_t used) {
        double s = -0.0;
        for (std::size_t c = 0; c < used; ++c) {
            double gap = 0.0;
            if (q[c] < lo[c]) {
                gap = lo[c] - q[c];
            } else if (q[c] > hi[c]) {
                gap = q[c] - hi[c];
            }
            s += gap * gap;
        }
        return s;
    }

    // Squared-distance upper bound of a box: the squared gap to the farther
    // face in each coordinate, summed like squared_distance.
    static double box_reach(const double* lo, const double* hi, const Query& q,
                            std::size_t used) {
        double s = -0.0;
        for (std::size_t c = 0; c < used; ++c) {
            const double below = q[c] - lo[c];
            const double above = hi[c] - q[c];
            const double gap = below > above ? below : above;
            s += gap * gap;
        }
        return s;
    }

    using Box = std::array<double, kMaxTreeDimension>;

    // Builds the subtree of the rows at positions [begin, end), whose rows
    // lie within the box [lo, hi] (not necessarily tightly: a child's box is
    // its parent's cut at the split), and stores the tight box of each node
    // once its children are built.
    void build(std::size_t begin, std::size_t end, Box lo, Box hi, Pacer& pacer) {
        // Filling the keys, selecting the median, reordering the rows, and
        // the node's own bookkeeping.
        pacer.advance((end - begin) * 32 + 64);
        const std::size_t at = nodes_.size();
        nodes_.push_back({static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), 0});
        lower_.resize(lower_.size() + m_);
        upper_.resize(upper_.size() + m_);
        std::size_t widest = 0;
        double widest_extent = 0.0;
        for (std::size_t c = 0; c < m_; ++c) {
            // The extent may overflow to +inf, which still compares.
            if (hi[c] - lo[c] > widest_extent) {
                widest_extent = hi[c] - lo[c];
                widest = c;
            }
        }
        // Rows that all coincide are not split further.
        if (end - begin <= kLeafRows || widest_extent == 0.0) {
            tighten_leaf(at);
            return;
        }
        // The median of the split coordinate, found on (key, row) pairs held
        // side by side rather than through the rows.
        const std::size_t middle = begin + (end - begin) / 2;
        for (std::size_t p = begin; p < end; ++p) {
            keyed_[p] = {sortable(points_.coord(order_[p], widest)), order_[p]};
        }
        const auto first = keyed_.begin() + static_cast<std::ptrdiff_t>(begin);
        std::nth_element(first, keyed_.begin() + static_cast<std::ptrdiff_t>(middle),
                         keyed_.begin() + static_cast<std::ptrdiff_t>(end),
                         [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
        double left_top = keyed_[begin].key;
        for (std::size_t p = begin; p < end; ++p) {
            order_[p] = keyed_[p].row;
            if (p < middle) left_top = std::max(left_top, keyed_[p].key);
        }
        Box left_hi = hi, right_lo = lo;
        left_hi[widest] = left_top;
        right_lo[widest] = keyed_[middle].key;
        build(begin, middle, lo, left_hi, pacer);
        nodes_[at].right = static_cast<std::uint32_t>(nodes_.size());
        build(middle, end, right_lo, hi, pacer);
        // The union of the children's tight boxes.
        const std::size_t left = (at + 1) * m_, right = nodes_[at].right * std::size_t{1} * m_;
        for (std::size_t c = 0; c < m_; ++c) {
            lower_[at * m_ + c] = std::min(lower_[left + c], lower_[right + c]);
            upper_[at * m_ + c] = std::max(upper_[left + c], upper_[right + c]);
        }
    }

    void tighten_leaf(std::size_t at) {
        const Node& node = nodes_[at];
        for (std::size_t c = 0; c < m_; ++c) {
            double lo = points_.coord(order_[node.begin], c);
            double hi = lo;
            for (std::size_t p = node.begin + 1; p < node.end; ++p) {
                const double v = points_.coord(order_[p], c);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            lower_[at * m_ + c] = lo;
            upper_[at * m_ + c] = hi;
        }
    }

    struct Keyed {
        double key;
        std::uint32_t row;
    };

    // A coordinate as a key of the median search. Coordinates were finite
    // when suitable() looked, but rows read in place (a caller's trajectory)
    // can change after that, and nth_element with the less-than on a NaN key
    // has no strict weak order to rely on: it may run past the range. A NaN
    // read now becomes +inf, so that the keys are always ordered; a tree over
    // rows that changed then answers wrongly, never unsafely. The library's
    // own rows cannot change, and are taken as they are.
    static double sortable(double coordinate) {
        if constexpr (Points::kReadInPlace) {
            if (coordinate != coordinate) return std::numeric_limits<double>::infinity();
        }
        return coordinate;
    }

    const Points& points_;
    std::size_t m_;
    std::vector<std::uint32_t> order_;
    std::vector<Keyed> keyed_;  // scratch of the build
    std::vector<Node> nodes_;
    std::vector<double> lower_;
    std::vector<double> upper_;
};

}  // namespace quorlin
