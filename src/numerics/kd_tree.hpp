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
#include "common/parallel.hpp"
#include "common/uninitialized.hpp"

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
    //
    // With more than one worker in the pacer's context, and rows enough to
    // repay the threads (search_policy.hpp), the build runs on them: the
    // tree, its layout in memory included, is the same as the one built on
    // one thread, node for node and bit for bit.
    KdTree(const Points& points, Pacer& pacer) : points_(points), m_(points.dim()) {
        const std::size_t n = points.size();
        const ExecutionContext& context = pacer.context();
        const bool threaded =
            context.workers() > 1 && context.search().thread_tree_build(n);
        // Leaves hold 4 to 8 rows (or more that coincide), so there are at
        // most n / 2 + 1 nodes, each with a box of 2m bounds; and the row
        // order. The threaded build holds its subtrees apart before they are
        // put in place: their nodes twice, for a moment.
        const std::size_t nodes = 2 * (n / (kLeafRows / 2) + 1);
        require_memory(nodes, sizeof(Node) + 2 * m_ * sizeof(double), threaded ? 2 : 1);
        require_memory(n, sizeof(std::uint32_t));
        require_memory(n, sizeof(Keyed));
        order_.resize(n);
        keyed_.resize(n);
        Box lo{}, hi{};
        bounding_box(lo, hi, threaded, pacer);
        if (threaded) {
            build_threaded(lo, hi, context);
        } else {
            Part whole;
            whole.nodes.reserve(nodes);
            whole.lower.reserve(nodes * m_);
            whole.upper.reserve(nodes * m_);
            build(whole, 0, n, lo, hi, pacer);
            nodes_ = std::move(whole.nodes);
            lower_ = std::move(whole.lower);
            upper_ = std::move(whole.upper);
        }
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

    // Nodes in the order of a depth-first walk, left child first, with their
    // boxes: the whole tree, or a subtree numbered from 0 on its own.
    struct Part {
        Uninitialized<Node> nodes;
        Uninitialized<double> lower;
        Uninitialized<double> upper;
    };

    // The loose box [lo, hi] of all rows: the smallest and largest value of
    // each coordinate, the first one seen winning ties (0.0 against -0.0).
    // Threaded, blocks of rows are reduced on their own and then in block
    // order, which keeps the first one seen. The rows' order starts as
    // 0, 1, ..., n - 1, written on the way (by the threads that will split
    // those rows, when there are several).
    void bounding_box(Box& lo, Box& hi, bool threaded, Pacer& pacer) {
        const std::size_t n = points_.size();
        for (std::size_t c = 0; c < m_; ++c) lo[c] = hi[c] = points_.coord(0, c);
        order_[0] = 0;
        const auto reduce = [&](std::size_t first, std::size_t end, Box& block_lo,
                                Box& block_hi) {
            for (std::size_t i = first; i < end; ++i) {
                order_[i] = static_cast<std::uint32_t>(i);
                for (std::size_t c = 0; c < m_; ++c) {
                    const double v = points_.coord(i, c);
                    block_lo[c] = std::min(block_lo[c], v);
                    block_hi[c] = std::max(block_hi[c], v);
                }
            }
        };
        const std::size_t blocks = (n + kBoxBlockRows - 1) / kBoxBlockRows;
        if (!threaded) {
            for (std::size_t block = 0; block < blocks; ++block) {
                const std::size_t first = block * kBoxBlockRows;
                const std::size_t end = std::min(n, first + kBoxBlockRows);
                reduce(std::max<std::size_t>(first, 1), end, lo, hi);
                pacer.advance(4 * (end - first) * m_);
            }
            return;
        }
        std::vector<std::array<Box, 2>> partial(blocks);
        for_each_block(pacer.context(), n, kBoxBlockRows,
                       [&](std::size_t block, std::size_t first, std::size_t end, Pacer& task_pacer) {
            Box& block_lo = partial[block][0];
            Box& block_hi = partial[block][1];
            for (std::size_t c = 0; c < m_; ++c) block_lo[c] = block_hi[c] = points_.coord(first, c);
            order_[first] = static_cast<std::uint32_t>(first);
            reduce(first + 1, end, block_lo, block_hi);
            task_pacer.advance(4 * (end - first) * m_);
        });
        for (const auto& [block_lo, block_hi] : partial) {
            for (std::size_t c = 0; c < m_; ++c) {
                lo[c] = std::min(lo[c], block_lo[c]);
                hi[c] = std::max(hi[c], block_hi[c]);
            }
        }
    }
    static constexpr std::size_t kBoxBlockRows = std::size_t{1} << 14;

    // How the rows at positions [begin, end), within the loose box [lo, hi],
    // are split: at `middle`, the left part within [lo, left_hi], the right
    // within [right_lo, hi]. Rows that all coincide, or few enough for a
    // leaf, are not split (split_rows returns false). Reorders order_ and
    // keyed_ within [begin, end) only, so that disjoint ranges can be split
    // at once.
    struct Cut {
        std::size_t middle;
        Box left_hi;
        Box right_lo;
    };
    bool split_rows(std::size_t begin, std::size_t end, const Box& lo, const Box& hi, Cut& cut,
                    Pacer& pacer) {
        // Filling the keys, selecting the median, reordering the rows, and
        // the node's own bookkeeping.
        pacer.advance((end - begin) * 32 + 64);
        std::size_t widest = 0;
        double widest_extent = 0.0;
        for (std::size_t c = 0; c < m_; ++c) {
            // The extent may overflow to +inf, which still compares.
            if (hi[c] - lo[c] > widest_extent) {
                widest_extent = hi[c] - lo[c];
                widest = c;
            }
        }
        if (end - begin <= kLeafRows || widest_extent == 0.0) return false;
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
        cut.middle = middle;
        cut.left_hi = hi;
        cut.right_lo = lo;
        cut.left_hi[widest] = left_top;
        cut.right_lo[widest] = keyed_[middle].key;
        return true;
    }

    // Builds into `part` the subtree of the rows at positions [begin, end),
    // whose rows lie within the box [lo, hi] (not necessarily tightly: a
    // child's box is its parent's cut at the split), and stores the tight
    // box of each node once its children are built.
    void build(Part& part, std::size_t begin, std::size_t end, const Box& lo, const Box& hi,
               Pacer& pacer) {
        const std::size_t at = part.nodes.size();
        part.nodes.push_back(
            {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), 0});
        part.lower.resize(part.lower.size() + m_);
        part.upper.resize(part.upper.size() + m_);
        Cut cut;
        if (!split_rows(begin, end, lo, hi, cut, pacer)) {
            tighten_leaf(part.nodes[at], part.lower.data() + at * m_,
                         part.upper.data() + at * m_);
            return;
        }
        build(part, begin, cut.middle, lo, cut.left_hi, pacer);
        part.nodes[at].right = static_cast<std::uint32_t>(part.nodes.size());
        build(part, cut.middle, end, cut.right_lo, hi, pacer);
        unite_children(part, at);
    }

    // The box of an inner node: the union of its children's tight boxes.
    void unite_children(Part& part, std::size_t at) const {
        const std::size_t left = (at + 1) * m_, right = std::size_t{part.nodes[at].right} * m_;
        for (std::size_t c = 0; c < m_; ++c) {
            part.lower[at * m_ + c] = std::min(part.lower[left + c], part.lower[right + c]);
            part.upper[at * m_ + c] = std::max(part.upper[left + c], part.upper[right + c]);
        }
    }

    // The threaded build of the same tree. Its top kThreadedLevels levels are
    // split level by level, the nodes of a level as tasks of their own; the
    // subtrees below them are built as tasks into parts of their own, then
    // copied into place, node numbers shifted to their depth-first places.
    // Every task works on its own range of rows, and the tasks are fixed by
    // the rows alone: the tree is the same for any number of workers.
    static constexpr std::size_t kThreadedLevels = 5;

    void build_threaded(const Box& lo, const Box& hi, const ExecutionContext& context) {
        struct Top {
            std::size_t begin, end;
            Box lo, hi;
            bool split = false;      // an inner node, whose children are tops
            std::size_t left = 0;    // its children's indices in `tops`
            std::size_t subtree = 0;  // 1 + its subtree's index, or 0
            std::size_t at = 0;      // its node's place in the tree
        };
        std::vector<Top> tops;
        tops.push_back({0, points_.size(), lo, hi});
        std::vector<std::size_t> level{0};
        for (std::size_t depth = 0; depth < kThreadedLevels && !level.empty(); ++depth) {
            std::vector<Cut> cuts(level.size());
            std::vector<std::uint8_t> split(level.size(), 0);
            for_each_task(context, level.size(), [&](std::size_t t, Pacer& pacer) {
                const Top& top = tops[level[t]];
                split[t] = split_rows(top.begin, top.end, top.lo, top.hi, cuts[t], pacer) ? 1 : 0;
            });
            std::vector<std::size_t> next;
            for (std::size_t t = 0; t < level.size(); ++t) {
                if (split[t] == 0) continue;
                const std::size_t parent = level[t];
                tops[parent].split = true;
                tops[parent].left = tops.size();
                const Top left{tops[parent].begin, cuts[t].middle, tops[parent].lo,
                               cuts[t].left_hi};
                const Top right{cuts[t].middle, tops[parent].end, cuts[t].right_lo,
                                tops[parent].hi};
                tops.push_back(left);
                tops.push_back(right);
                next.push_back(tops.size() - 2);
                next.push_back(tops.size() - 1);
            }
            level = std::move(next);
        }
        // The nodes left unsplit at the last level root the subtrees.
        std::vector<Part> parts(level.size());
        for (std::size_t k = 0; k < level.size(); ++k) tops[level[k]].subtree = k + 1;
        for_each_task(context, parts.size(), [&](std::size_t k, Pacer& pacer) {
            const Top& top = tops[level[k]];
            const std::size_t most = 2 * ((top.end - top.begin) / (kLeafRows / 2) + 1);
            parts[k].nodes.reserve(most);
            parts[k].lower.reserve(most * m_);
            parts[k].upper.reserve(most * m_);
            build(parts[k], top.begin, top.end, top.lo, top.hi, pacer);
        });

        // Depth-first places: a top node, its left side, its right side; a
        // subtree takes as many places as it has nodes.
        std::vector<std::size_t> offsets(parts.size(), 0);
        std::size_t placed = 0;
        const auto place = [&](const auto& self, std::size_t t) -> void {
            Top& top = tops[t];
            top.at = placed;
            if (top.subtree != 0) {
                offsets[top.subtree - 1] = placed;
                placed += parts[top.subtree - 1].nodes.size();
                return;
            }
            ++placed;
            if (!top.split) return;
            self(self, top.left);
            self(self, top.left + 1);
        };
        place(place, 0);
        nodes_.resize(placed);
        lower_.resize(placed * m_);
        upper_.resize(placed * m_);
        for_each_task(context, parts.size(), [&](std::size_t k, Pacer& pacer) {
            const Part& part = parts[k];
            const auto shift = static_cast<std::uint32_t>(offsets[k]);
            for (std::size_t j = 0; j < part.nodes.size(); ++j) {
                Node node = part.nodes[j];
                if (node.right != 0) node.right += shift;
                nodes_[offsets[k] + j] = node;
            }
            std::copy(part.lower.begin(), part.lower.end(), lower_.begin() + offsets[k] * m_);
            std::copy(part.upper.begin(), part.upper.end(), upper_.begin() + offsets[k] * m_);
            pacer.advance(part.lower.size() * 2 + part.nodes.size());
        });
        // The top nodes, children before parents (they were made after them).
        Part whole{std::move(nodes_), std::move(lower_), std::move(upper_)};
        for (std::size_t t = tops.size(); t-- > 0;) {
            const Top& top = tops[t];
            if (top.subtree != 0) continue;
            Node& node = whole.nodes[top.at];
            node = {static_cast<std::uint32_t>(top.begin), static_cast<std::uint32_t>(top.end), 0};
            if (top.split) {
                node.right = static_cast<std::uint32_t>(tops[top.left + 1].at);
                unite_children(whole, top.at);
            } else {
                tighten_leaf(node, whole.lower.data() + top.at * m_,
                             whole.upper.data() + top.at * m_);
            }
        }
        nodes_ = std::move(whole.nodes);
        lower_ = std::move(whole.lower);
        upper_ = std::move(whole.upper);
    }

    void tighten_leaf(const Node& node, double* lower, double* upper) const {
        for (std::size_t c = 0; c < m_; ++c) {
            double lo = points_.coord(order_[node.begin], c);
            double hi = lo;
            for (std::size_t p = node.begin + 1; p < node.end; ++p) {
                const double v = points_.coord(order_[p], c);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            lower[c] = lo;
            upper[c] = hi;
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

    // Every element of these is written before it is read: sized without
    // being zeroed, they are first touched by the threads that fill them.
    const Points& points_;
    std::size_t m_;
    Uninitialized<std::uint32_t> order_;
    Uninitialized<Keyed> keyed_;  // scratch of the build
    Uninitialized<Node> nodes_;
    Uninitialized<double> lower_;
    Uninitialized<double> upper_;
};

}  // namespace quorlin
