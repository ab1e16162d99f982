#include "numerics/template_pairs.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>

#include "common/memory.hpp"
#include "common/parallel.hpp"

namespace quorlin {
namespace {

using Position = std::int32_t;

// The pair predicate of the scan: the two samples differ by more than r. It
// is symmetric, since fl(a - b) = -fl(b - a) under rounding to nearest.
inline bool differ_beyond(double a, double b, double r) { return std::fabs(a - b) > r; }

// An unsigned key ordered as the (non-NaN) doubles are; -0.0 lands just
// below +0.0, and the two are told equal afterwards by ==.
inline std::uint64_t order_key(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Sample indices in ascending order of value, by a least-significant-digit
// radix sort of the keys (digits that are the same in every key are skipped).
std::vector<std::uint32_t> ascending_order(std::span<const double> x, Pacer& pacer) {
    const std::size_t n = x.size();
    std::vector<std::uint64_t> keys(n);
    std::vector<std::uint64_t> keys_out(n);
    std::vector<std::uint32_t> order(n);
    std::vector<std::uint32_t> order_out(n);
    std::uint64_t varying = 0;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = order_key(x[i]);
        order[i] = static_cast<std::uint32_t>(i);
        varying |= keys[i] ^ keys[0];
    }
    constexpr unsigned kDigitBits = 11;
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    std::vector<std::uint32_t> offsets(std::size_t{1} << kDigitBits);
    for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
        if (((varying >> shift) & kDigitMask) == 0) continue;
        std::fill(offsets.begin(), offsets.end(), 0);
        for (const std::uint64_t key : keys) ++offsets[(key >> shift) & kDigitMask];
        std::uint32_t sum = 0;
        for (std::uint32_t& offset : offsets) {
            const std::uint32_t count = offset;
            offset = sum;
            sum += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t to = offsets[(keys[i] >> shift) & kDigitMask]++;
            keys_out[to] = keys[i];
            order_out[to] = order[i];
        }
        keys.swap(keys_out);
        order.swap(order_out);
        pacer.advance(2 * n);
    }
    return order;
}

// ---------------------------------------------------------------------------
// Dominance counting: pairs (x, y) with value_q(y) <= threshold_q(x) for every
// dimension q < K.

template <class Lane>
struct LaneVector;
template <>
struct LaneVector<std::int16_t> {
    typedef std::int16_t Type __attribute__((vector_size(16)));
    static constexpr std::size_t kLanes = 8;
};
template <>
struct LaneVector<std::int32_t> {
    typedef std::int32_t Type __attribute__((vector_size(16)));
    static constexpr std::size_t kLanes = 4;
};

// Brute force over all nx * ny pairs, from columns: thresholds[q][a] for
// x = a and values[q][b] for y = b. Each value column must stay readable up
// to the end of the vector holding its last value (the lanes past ny are
// counted as failing). Kdims = 0 reads the dimension count from `dims`.
template <class Lane, std::size_t Kdims>
std::uint64_t brute_dominance(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                              const Lane* const* values, std::size_t dims) {
    using V = typename LaneVector<Lane>::Type;
    constexpr std::size_t kLanes = LaneVector<Lane>::kLanes;
    if (nx == 0 || ny == 0) return 0;
    const std::size_t k = Kdims != 0 ? Kdims : dims;
    const std::size_t vectors = (ny + kLanes - 1) / kLanes;
    V beyond;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        beyond[lane] = (vectors - 1) * kLanes + lane >= ny ? Lane{-1} : Lane{0};
    }
    // Failing lanes are counted (each adds -1); a step adds at most 2 to a
    // lane, so the accumulator is emptied before any lane could overflow.
    constexpr std::size_t kFlushSteps = std::numeric_limits<Lane>::max() / 2;
    std::uint64_t failing = 0;
    V count = {};
    std::size_t steps = 0;
    const auto flush = [&] {
        std::int64_t lanes = 0;
        for (std::size_t lane = 0; lane < kLanes; ++lane) lanes += count[lane];
        failing += static_cast<std::uint64_t>(-lanes);
        count = V{};
        steps = 0;
    };
    const auto exceeds = [&](const std::array<V, MaxNormTemplatePairs::kMaxLength>& limit,
                             std::size_t v) {
        V out = {};
        for (std::size_t q = 0; q < k; ++q) {
            V y;
            std::memcpy(&y, values[q] + v * kLanes, sizeof y);
            out |= y > limit[q];
        }
        return out;
    };
    std::array<V, MaxNormTemplatePairs::kMaxLength> first;
    std::array<V, MaxNormTemplatePairs::kMaxLength> second;
    std::size_t a = 0;
    // Two x at a time share the loads of the y vectors.
    for (; a + 2 <= nx; a += 2) {
        if (steps + vectors > kFlushSteps) flush();
        for (std::size_t q = 0; q < k; ++q) {
            first[q] = V{} + thresholds[q][a];
            second[q] = V{} + thresholds[q][a + 1];
        }
        for (std::size_t v = 0; v + 1 < vectors; ++v) {
            V e1 = {};
            V e2 = {};
            for (std::size_t q = 0; q < k; ++q) {
                V y;
                std::memcpy(&y, values[q] + v * kLanes, sizeof y);
                e1 |= y > first[q];
                e2 |= y > second[q];
            }
            count += e1 + e2;
        }
        count += (exceeds(first, vectors - 1) | beyond) + (exceeds(second, vectors - 1) | beyond);
        steps += vectors;
    }
    if (a < nx) {
        if (steps + vectors > kFlushSteps) flush();
        for (std::size_t q = 0; q < k; ++q) first[q] = V{} + thresholds[q][a];
        for (std::size_t v = 0; v + 1 < vectors; ++v) count += exceeds(first, v);
        count += exceeds(first, vectors - 1) | beyond;
    }
    flush();
    return static_cast<std::uint64_t>(nx) * (vectors * kLanes) - failing;
}

template <class Lane>
std::uint64_t brute_dominance(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                              const Lane* const* values, std::size_t dims) {
    switch (dims) {
        case 1:
            return brute_dominance<Lane, 1>(nx, thresholds, ny, values, dims);
        case 2:
            return brute_dominance<Lane, 2>(nx, thresholds, ny, values, dims);
        case 3:
            return brute_dominance<Lane, 3>(nx, thresholds, ny, values, dims);
        default:
            return brute_dominance<Lane, 0>(nx, thresholds, ny, values, dims);
    }
}

// Counting for problems too large to brute force, in O(s log^(K-1) s) for s
// items in K dimensions. Thresholds and values are held in columns, x and y
// each kept in ascending order of their first key; one dimension is then a
// merge, two a sweep with a Fenwick tree, and more are split at the median of
// the last dimension, stably, so that the halves stay in order.
template <class Lane>
class Dominance {
public:
    std::uint64_t count(std::size_t nx, const Lane* const* thresholds, std::size_t ny,
                        const Lane* const* values, std::size_t dims, Pacer& pacer) {
        pacer_ = &pacer;
        brute_pairs_ = pacer.context().search().brute_dominance_pairs();
        x_stride_ = nx + kPad;
        y_stride_ = ny + kPad;
        xs_.assign(dims * x_stride_, Lane{0});
        ys_.assign(dims * y_stride_, Lane{0});
        fill_sorted(nx, thresholds, dims, xs_.data(), x_stride_);
        fill_sorted(ny, values, dims, ys_.data(), y_stride_);
        return count(0, nx, 0, ny, dims);
    }

private:
    static constexpr std::size_t kPad = LaneVector<Lane>::kLanes;
    // Twice a key plus one bit: 32 bits suffice for 16-bit keys.
    using Key = std::conditional_t<sizeof(Lane) == 2, std::int32_t, std::int64_t>;

    Lane* x_column(std::size_t q) { return xs_.data() + q * x_stride_; }
    Lane* y_column(std::size_t q) { return ys_.data() + q * y_stride_; }

    // Copies `count` items from columns into rows of `stride`, in ascending
    // order of the first column: by counting when the keys (offsets within a
    // cell) span a range not much wider than their number, else by sorting.
    void fill_sorted(std::size_t count, const Lane* const* from, std::size_t dims, Lane* to,
                     std::size_t stride) {
        order_.resize(count);
        const auto [low, high] = std::minmax_element(from[0], from[0] + count);
        const auto range = static_cast<std::size_t>(static_cast<std::int64_t>(*high) - *low) + 1;
        if (SearchPolicy::index_by_value(range, count)) {
            const std::int64_t lowest = *low;
            slots_.assign(range + 1, 0);
            for (std::size_t e = 0; e < count; ++e) ++slots_[static_cast<std::size_t>(from[0][e] - lowest) + 1];
            for (std::size_t v = 1; v <= range; ++v) slots_[v] += slots_[v - 1];
            for (std::size_t e = 0; e < count; ++e) {
                order_[slots_[static_cast<std::size_t>(from[0][e] - lowest)]++] = static_cast<std::uint32_t>(e);
            }
        } else {
            // A stable least-significant-digit radix sort of the offsets from
            // the lowest key, a byte at a time over the bytes that vary: as
            // the counting above, items with equal keys keep their order.
            const std::int64_t lowest = *low;
            keys_.resize(count);
            buffer_order_.resize(count);
            for (std::size_t e = 0; e < count; ++e) {
                keys_[e] = static_cast<std::uint32_t>(static_cast<std::int64_t>(from[0][e]) - lowest);
                order_[e] = static_cast<std::uint32_t>(e);
            }
            std::array<std::uint32_t, 256> offsets;
            for (unsigned shift = 0; shift < 32 && ((range - 1) >> shift) != 0; shift += 8) {
                offsets.fill(0);
                for (std::size_t e = 0; e < count; ++e) ++offsets[(keys_[order_[e]] >> shift) & 255];
                std::uint32_t sum = 0;
                for (std::uint32_t& offset : offsets) {
                    const std::uint32_t here = offset;
                    offset = sum;
                    sum += here;
                }
                for (std::size_t e = 0; e < count; ++e) {
                    buffer_order_[offsets[(keys_[order_[e]] >> shift) & 255]++] = order_[e];
                }
                order_.swap(buffer_order_);
            }
        }
        for (std::size_t q = 0; q < dims; ++q) {
            for (std::size_t e = 0; e < count; ++e) to[q * stride + e] = from[q][order_[e]];
        }
    }

    // x in [xb, xe), y in [yb, ye); the first `dims` columns count.
    std::uint64_t count(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye,
                        std::size_t dims) {
        const std::size_t nx = xe - xb;
        const std::size_t ny = ye - yb;
        if (nx == 0 || ny == 0) return 0;
        if (dims == 0) return static_cast<std::uint64_t>(nx) * ny;
        // Each level of the recursion handles every item a few times per
        // dimension; brute force costs a fraction of a unit per pair.
        pacer_->advance(static_cast<std::uint64_t>(nx + ny) * dims * 4 +
                        static_cast<std::uint64_t>(nx) * ny * dims / 16);
        if (static_cast<std::uint64_t>(nx) * ny <= brute_pairs_) {
            std::array<const Lane*, MaxNormTemplatePairs::kMaxLength> thresholds;
            std::array<const Lane*, MaxNormTemplatePairs::kMaxLength> values;
            for (std::size_t q = 0; q < dims; ++q) {
                thresholds[q] = x_column(q) + xb;
                values[q] = y_column(q) + yb;
            }
            return brute_dominance<Lane>(nx, thresholds.data(), ny, values.data(), dims);
        }
        if (dims == 1) return line(xb, xe, yb, ye);
        if (dims == 2) return plane(xb, xe, yb, ye);
        // Split the union at its median along the last dimension, ordered by
        // (key, y before x): every y of the lower half is then within that
        // threshold of every x of the upper half (one dimension fewer to
        // check), and no y of the upper half is within it of an x of the
        // lower half. Splitting by position keeps the halves balanced
        // whatever the ties.
        const std::size_t last = dims - 1;
        const std::size_t middle = (nx + ny) / 2;
        ordered_.resize(nx + ny);
        for (std::size_t a = 0; a < nx; ++a) ordered_[a] = ordered(x_column(last)[xb + a], true);
        for (std::size_t b = 0; b < ny; ++b) ordered_[nx + b] = ordered(y_column(last)[yb + b], false);
        std::nth_element(ordered_.begin(), ordered_.begin() + static_cast<std::ptrdiff_t>(middle),
                         ordered_.end());
        const Key pivot = ordered_[middle];
        std::size_t below = 0;
        for (const Key key : ordered_) below += key < pivot ? 1 : 0;
        // Items equal to the pivot are all x or all y (the parity tells);
        // just enough of them join the lower half to make it `middle` long.
        const std::size_t quota = middle - below;
        const bool pivot_is_x = (pivot & 1) != 0;
        const std::size_t x_mid =
            xb + partition(xs_.data(), x_stride_, xb, xe, dims, true, pivot, pivot_is_x ? quota : 0);
        const std::size_t y_mid =
            yb + partition(ys_.data(), y_stride_, yb, ye, dims, false, pivot, pivot_is_x ? 0 : quota);
        std::uint64_t total;
        if (last >= 3) {
            // A deeper split reorders the ranges it is given; they are put
            // back after, in the order the halves below rely on.
            const std::vector<Lane> saved_x = save(xs_.data(), x_stride_, x_mid, xe, dims);
            const std::vector<Lane> saved_y = save(ys_.data(), y_stride_, yb, y_mid, dims);
            total = count(x_mid, xe, yb, y_mid, last);
            restore(saved_x, xs_.data(), x_stride_, x_mid, xe, dims);
            restore(saved_y, ys_.data(), y_stride_, yb, y_mid, dims);
        } else {
            total = count(x_mid, xe, yb, y_mid, last);
        }
        total += count(xb, x_mid, yb, y_mid, dims);
        total += count(x_mid, xe, y_mid, ye, dims);
        return total;
    }

    static std::vector<Lane> save(const Lane* columns, std::size_t stride, std::size_t begin,
                                  std::size_t end, std::size_t dims) {
        std::vector<Lane> saved;
        saved.reserve((end - begin) * dims);
        for (std::size_t q = 0; q < dims; ++q) {
            saved.insert(saved.end(), columns + q * stride + begin, columns + q * stride + end);
        }
        return saved;
    }

    static void restore(const std::vector<Lane>& saved, Lane* columns, std::size_t stride,
                        std::size_t begin, std::size_t end, std::size_t dims) {
        const std::size_t n = end - begin;
        for (std::size_t q = 0; q < dims; ++q) {
            std::copy(saved.begin() + static_cast<std::ptrdiff_t>(q * n),
                      saved.begin() + static_cast<std::ptrdiff_t>((q + 1) * n),
                      columns + q * stride + begin);
        }
    }

    // (key, y before x) as one integer.
    static Key ordered(Lane key, bool is_x) {
        return static_cast<Key>(2 * static_cast<Key>(key) + (is_x ? 1 : 0));
    }

    // Stable partition of items [begin, end) of every column: those below the
    // pivot first. Returns how many went low.
    std::size_t partition(Lane* columns, std::size_t stride, std::size_t begin, std::size_t end,
                          std::size_t dims, bool is_x, Key pivot, std::size_t quota) {
        const std::size_t n = end - begin;
        const Lane* key_column = columns + (dims - 1) * stride + begin;
        low_.resize(n);
        std::size_t lows = 0;
        for (std::size_t e = 0; e < n; ++e) {
            const Key key = ordered(key_column[e], is_x);
            bool lower = key < pivot;
            if (!lower && key == pivot && quota > 0) {
                --quota;
                lower = true;
            }
            low_[e] = lower ? 1 : 0;
            lows += lower ? 1 : 0;
        }
        buffer_.resize(n);
        for (std::size_t q = 0; q < dims; ++q) {
            Lane* column = columns + q * stride + begin;
            std::size_t to_low = 0;
            std::size_t to_high = lows;
            for (std::size_t e = 0; e < n; ++e) buffer_[low_[e] != 0 ? to_low++ : to_high++] = column[e];
            std::copy(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n), column);
        }
        return lows;
    }

    std::uint64_t line(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye) {
        const Lane* thresholds = x_column(0);
        const Lane* values = y_column(0);
        std::uint64_t total = 0;
        std::size_t within = yb;
        for (std::size_t a = xb; a < xe; ++a) {
            while (within < ye && values[within] <= thresholds[a]) ++within;
            total += within - yb;
        }
        return total;
    }

    // Two dimensions: the y enter in order of their first value before each
    // x (in order of its first threshold) they do not exceed there; a Fenwick
    // tree over the second values counts the entered y within the x's second
    // threshold. It is indexed by value when the values span a range not
    // much wider than their number, else by rank among the y.
    std::uint64_t plane(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye) {
        const Lane* x0 = x_column(0);
        const Lane* x1 = x_column(1);
        const Lane* y0 = y_column(0);
        const Lane* y1 = y_column(1);
        const std::size_t ny = ye - yb;
        const auto [low, high] = std::minmax_element(y1 + yb, y1 + ye);
        const std::int64_t lowest = *low;
        const auto range = static_cast<std::size_t>(*high - lowest + 1);
        const bool by_value = SearchPolicy::index_by_value(range, xe - xb + ny);
        if (!by_value) {
            ranks_.assign(y1 + yb, y1 + ye);
            std::sort(ranks_.begin(), ranks_.end());
        }
        const std::size_t slots = by_value ? range : ny;
        // Slot of an entering y, and how many slots hold values within an x's
        // threshold.
        const auto slot = [&](Lane v) {
            return by_value ? static_cast<std::size_t>(v - lowest)
                            : static_cast<std::size_t>(
                                  std::lower_bound(ranks_.begin(), ranks_.end(), v) - ranks_.begin());
        };
        const auto slots_within = [&](Lane v) -> std::size_t {
            if (by_value) {
                const std::int64_t above = static_cast<std::int64_t>(v) - lowest + 1;
                return above <= 0 ? 0 : std::min(static_cast<std::size_t>(above), slots);
            }
            return static_cast<std::size_t>(
                std::upper_bound(ranks_.begin(), ranks_.end(), v) - ranks_.begin());
        };
        tree_.assign(slots + 1, 0);
        std::uint64_t total = 0;
        std::size_t entered = yb;
        for (std::size_t a = xb; a < xe; ++a) {
            for (; entered < ye && y0[entered] <= x0[a]; ++entered) {
                for (std::size_t q = slot(y1[entered]) + 1; q <= slots; q += q & (~q + 1)) ++tree_[q];
            }
            std::uint32_t within = 0;
            for (std::size_t q = slots_within(x1[a]); q > 0; q -= q & (~q + 1)) within += tree_[q];
            total += within;
        }
        return total;
    }

    Pacer* pacer_ = nullptr;
    std::uint64_t brute_pairs_ = 0;
    std::size_t x_stride_ = 0;
    std::size_t y_stride_ = 0;
    std::vector<Lane> xs_;
    std::vector<Lane> ys_;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint32_t> buffer_order_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> slots_;
    std::vector<Key> ordered_;
    std::vector<std::uint8_t> low_;
    std::vector<Lane> buffer_;
    std::vector<Lane> ranks_;
    std::vector<std::uint32_t> tree_;
};

// ---------------------------------------------------------------------------
// Templates of length >= 3, grouped by their tuple of cells.

// Cells at most this wide have all offsets below, shifted by kShift, in the
// range of a 16-bit integer: near - kShift in [-32767, 32766], reach - kShift
// in [-32768, 32766], and kShift - 1 - near, kShift - 1 - reach in
// [-32767, 32767].
constexpr std::int32_t kNarrowCell = 65534;
constexpr std::int32_t kShift = 32767;

// Per coordinate k and template (in group order), four columns of small
// integers, offsets from cell boundaries so that they fit in `Lane`:
//   near   = first position of the value, from the start of its cell;
//   reach  = last matching position, from the start of the next cell;
// and their negatives. For a template y one cell above x in coordinate k,
// the coordinate matches when near(y) <= reach(x); one cell below, when
// near(x) <= reach(y), i.e. -reach(y) <= -near(x). Near lies in [0, w) and
// reach in [-1, w) for cells up to w positions wide; the columns are shifted
// by constants (which leaves every comparison as it is) so that cells up to
// kNarrowCell positions wide fit in 16 bits.
template <class Lane>
class CellGroups {
public:
    CellGroups(std::span<const std::int32_t> first, std::span<const std::int32_t> high,
               std::span<const std::int32_t> cell, std::span<const std::int32_t> cell_start,
               std::size_t length, std::size_t templates, Pacer& pacer)
        : pacer_(pacer),
          first_(first),
          high_(high),
          cell_(cell),
          cell_start_(cell_start),
          length_(length),
          templates_(templates),
          stride_(templates + kPad),
          brute_pairs_(pacer.context().search().brute_dominance_pairs()) {}

    std::uint64_t count() {
        // Per template: its place in group order and a sorting buffer, group
        // bounds and cells, four columns per coordinate, and the largest
        // dominance problem's copies of two columns per coordinate, held by
        // each thread that counts.
        const std::uint64_t threads = pacer_.context().workers();
        require_memory(templates_, 4 * 3 + 4 * length_ + 16 +
                                       (4 + 2 * threads) * length_ * sizeof(Lane));
        group();
        fill_columns();
        const std::size_t groups = group_begin_.size() - 1;
        std::uint64_t total = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::uint64_t size = group_begin_[g + 1] - group_begin_[g];
            total += size * (size - 1) / 2;
        }
        // The first level of the walk by hand: the groups that share a first
        // cell form a run, and each run with the pairs it makes with the run
        // one cell up is a task of its own, fixed by the groups alone. The
        // counts are integers: their sum does not depend on who counted what.
        std::vector<std::size_t> runs;  // the first group of every run, and `groups`
        for (std::size_t g = 0; g < groups; ++g) {
            if (g == 0 || group_cell(g, 0) != group_cell(g - 1, 0)) runs.push_back(g);
        }
        runs.push_back(groups);
        std::vector<std::uint64_t> totals(runs.size() - 1, 0);
        for_each_task(pacer_.context(), totals.size(), [&](std::size_t run, Pacer& pacer) {
            Walk walk{pacer, {}, {}, 0};
            const std::size_t begin = runs[run], end = runs[run + 1];
            walk_same(begin, end, 1, walk);
            if (run + 2 < runs.size() && group_cell(end, 0) == group_cell(begin, 0) + 1) {
                walk.step[0] = 1;
                walk_apart(begin, end, end, runs[run + 2], 1, walk);
            }
            totals[run] = walk.total;
        });
        for (const std::uint64_t part : totals) total += part;
        return total;
    }

private:
    static constexpr std::size_t kPad = LaneVector<Lane>::kLanes;
    enum Column { kNear = 0, kReach = 1, kNegNear = 2, kNegReach = 3 };

    // What one thread of the walk keeps: its pacer, its scratch for large
    // dominance problems, the cell steps of the tuples being paired, and its
    // count.
    struct Walk {
        Pacer& pacer;
        Dominance<Lane> dominance;
        std::array<std::int8_t, MaxNormTemplatePairs::kMaxLength> step;
        std::uint64_t total;
    };

    const Lane* column(std::size_t k, Column which) const {
        return columns_.data() + (4 * k + which) * stride_;
    }
    std::int32_t group_cell(std::size_t g, std::size_t k) const {
        return group_cells_[g * length_ + k];
    }

    // Stable counting sorts by the cell of coordinate length-1, ..., 0 put
    // the templates in lexicographic order of their cell tuples.
    void group() {
        const std::size_t cells = cell_start_.size() - 1;
        order_.resize(templates_);
        std::iota(order_.begin(), order_.end(), 0u);
        std::vector<std::uint32_t> sorted(templates_);
        std::vector<std::uint32_t> offsets(cells + 1);
        for (std::size_t k = length_; k-- > 0;) {
            std::fill(offsets.begin(), offsets.end(), 0);
            for (const std::uint32_t i : order_) ++offsets[static_cast<std::size_t>(cell_[i + k]) + 1];
            for (std::size_t c = 1; c <= cells; ++c) offsets[c] += offsets[c - 1];
            for (const std::uint32_t i : order_) sorted[offsets[static_cast<std::size_t>(cell_[i + k])]++] = i;
            order_.swap(sorted);
            pacer_.advance(2 * templates_ + cells);
        }
        group_begin_.clear();
        group_cells_.clear();
        for (std::size_t p = 0; p < templates_; ++p) {
            const std::uint32_t i = order_[p];
            bool starts = p == 0;
            for (std::size_t k = 0; !starts && k < length_; ++k) {
                starts = cell_[i + k] != cell_[order_[p - 1] + k];
            }
            if (!starts) continue;
            group_begin_.push_back(static_cast<std::uint32_t>(p));
            for (std::size_t k = 0; k < length_; ++k) group_cells_.push_back(cell_[i + k]);
        }
        group_begin_.push_back(static_cast<std::uint32_t>(templates_));
    }

    void fill_columns() {
        columns_.assign(4 * length_ * stride_, Lane{0});
        // Each coordinate fills columns of its own: a task apiece.
        for_each_task(pacer_.context(), length_, [&](std::size_t k, Pacer& pacer) {
            Lane* near = columns_.data() + (4 * k + kNear) * stride_;
            Lane* reach = columns_.data() + (4 * k + kReach) * stride_;
            Lane* neg_near = columns_.data() + (4 * k + kNegNear) * stride_;
            Lane* neg_reach = columns_.data() + (4 * k + kNegReach) * stride_;
            for (std::size_t p = 0; p < templates_; ++p) {
                const std::size_t t = order_[p] + k;
                const auto c = static_cast<std::size_t>(cell_[t]);
                const std::int32_t n = first_[t] - cell_start_[c];
                const std::int32_t r = high_[t] - cell_start_[c + 1];
                near[p] = static_cast<Lane>(n - kShift);
                reach[p] = static_cast<Lane>(r - kShift);
                neg_near[p] = static_cast<Lane>(kShift - 1 - n);
                neg_reach[p] = static_cast<Lane>(kShift - 1 - r);
            }
            pacer.advance(4 * templates_);
        });
    }

    // Pairs of distinct groups within [begin, end), all of which share the
    // cells of coordinates 0 .. level-1. Each unordered pair is reached once,
    // at the first coordinate where the two tuples differ (by one cell).
    void walk_same(std::size_t begin, std::size_t end, std::size_t level, Walk& walk) const {
        if (level == length_) return;
        for (std::size_t a = begin; a < end;) {
            const std::int32_t c = group_cell(a, level);
            std::size_t a_end = a + 1;
            while (a_end < end && group_cell(a_end, level) == c) ++a_end;
            walk_same(a, a_end, level + 1, walk);
            if (a_end < end && group_cell(a_end, level) == c + 1) {
                std::size_t b_end = a_end + 1;
                while (b_end < end && group_cell(b_end, level) == c + 1) ++b_end;
                walk.step[level] = 1;
                walk_apart(a, a_end, a_end, b_end, level + 1, walk);
                walk.step[level] = 0;
            }
            a = a_end;
        }
    }

    // Pairs (X, Y), X from [xb, xe) and Y from [yb, ye), whose tuples differ
    // by walk.step[0 .. level-1] so far (each -1, 0 or +1, not all 0); tuples
    // further apart than one cell anywhere have no matching pair.
    void walk_apart(std::size_t xb, std::size_t xe, std::size_t yb, std::size_t ye,
                    std::size_t level, Walk& walk) const {
        if (level == length_) {
            count_between(xb, yb, walk);
            return;
        }
        std::size_t y_from = yb;
        for (std::size_t a = xb; a < xe;) {
            const std::int32_t c = group_cell(a, level);
            std::size_t a_end = a + 1;
            while (a_end < xe && group_cell(a_end, level) == c) ++a_end;
            while (y_from < ye && group_cell(y_from, level) < c - 1) ++y_from;
            for (std::size_t b = y_from; b < ye;) {
                const std::int32_t cy = group_cell(b, level);
                if (cy > c + 1) break;
                std::size_t b_end = b + 1;
                while (b_end < ye && group_cell(b_end, level) == cy) ++b_end;
                walk.step[level] = static_cast<std::int8_t>(cy - c);
                walk_apart(a, a_end, b, b_end, level + 1, walk);
                b = b_end;
            }
            a = a_end;
        }
        walk.step[level] = 0;
    }

    void count_between(std::size_t gx, std::size_t gy, Walk& walk) const {
        const std::size_t xb = group_begin_[gx];
        const std::size_t nx = group_begin_[gx + 1] - xb;
        const std::size_t yb = group_begin_[gy];
        const std::size_t ny = group_begin_[gy + 1] - yb;
        // Only the first `dims` entries are set and read.
        std::array<const Lane*, MaxNormTemplatePairs::kMaxLength> thresholds;
        std::array<const Lane*, MaxNormTemplatePairs::kMaxLength> values;
        std::size_t dims = 0;
        for (std::size_t k = 0; k < length_; ++k) {
            if (walk.step[k] > 0) {
                thresholds[dims] = column(k, kReach) + xb;
                values[dims] = column(k, kNear) + yb;
                ++dims;
            } else if (walk.step[k] < 0) {
                thresholds[dims] = column(k, kNegNear) + xb;
                values[dims] = column(k, kNegReach) + yb;
                ++dims;
            }
        }
        const std::uint64_t pairs = static_cast<std::uint64_t>(nx) * ny;
        if (pairs <= brute_pairs_) walk.pacer.advance(pairs * dims / 16 + 16);
        if (pairs <= SearchPolicy::kScalarDominancePairs) {
            std::uint64_t matches = 0;
            for (std::size_t a = 0; a < nx; ++a) {
                for (std::size_t b = 0; b < ny; ++b) {
                    bool match = true;
                    for (std::size_t q = 0; q < dims; ++q) match &= values[q][b] <= thresholds[q][a];
                    matches += match ? 1 : 0;
                }
            }
            walk.total += matches;
            return;
        }
        if (pairs <= brute_pairs_) {
            walk.total += brute_dominance<Lane>(nx, thresholds.data(), ny, values.data(), dims);
            return;
        }
        walk.total += walk.dominance.count(nx, thresholds.data(), ny, values.data(), dims, walk.pacer);
    }

    Pacer& pacer_;
    std::span<const std::int32_t> first_;
    std::span<const std::int32_t> high_;
    std::span<const std::int32_t> cell_;
    std::span<const std::int32_t> cell_start_;
    std::size_t length_;
    std::size_t templates_;
    std::size_t stride_;
    std::uint64_t brute_pairs_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> group_begin_;
    std::vector<std::int32_t> group_cells_;
    std::vector<Lane> columns_;
};

}  // namespace

static_assert(MaxNormTemplatePairs::kMaxSamples ==
              static_cast<std::size_t>(std::numeric_limits<Position>::max()) - 64);

MaxNormTemplatePairs::MaxNormTemplatePairs(std::span<const double> x, double r, Pacer& pacer)
    : n_(x.size()) {
    // The largest simultaneous working set: sort keys and order, twice, the
    // sorted values and the per-sample rankings, about 80 bytes a sample.
    require_memory(n_, 80);
    const std::vector<std::uint32_t> order = ascending_order(x, pacer);
    std::vector<double> sorted(n_);
    for (std::size_t k = 0; k < n_; ++k) sorted[k] = x[order[k]];
    first_.resize(n_);
    low_.resize(n_);
    high_.resize(n_);
    cell_.resize(n_);
    // Both ends of the matching run only move up as the value does, so two
    // pointers find them for every value in one pass. The low end is the
    // first value that is not below a by more than r; the high end the last
    // value that is not above it by more than r (a tie always matches: its
    // difference is 0, or NaN for two equal infinities).
    std::size_t first = 0;
    std::size_t low = 0;
    std::size_t high = 0;
    std::size_t cell_end = 0;
    Position cell = -1;
    for (std::size_t k = 0; k < n_; ++k) {
        const double a = sorted[k];
        if (k == 0 || !(a == sorted[k - 1])) first = k;
        while (sorted[low] < a && differ_beyond(a, sorted[low], r)) ++low;
        if (high < k) high = k;
        while (high + 1 < n_ && !(sorted[high + 1] > a && differ_beyond(a, sorted[high + 1], r))) {
            ++high;
        }
        // A new cell starts where the run of the previous cell's first value
        // has ended: all of a cell matches its first value's run, hence
        // (runs moving up together) one another.
        if (k == cell_end) {
            ++cell;
            cell_start_.push_back(static_cast<Position>(k));
            cell_end = high + 1;
        }
        const std::uint32_t t = order[k];
        first_[t] = static_cast<Position>(first);
        low_[t] = static_cast<Position>(low);
        high_[t] = static_cast<Position>(high);
        cell_[t] = cell;
    }
    cell_start_.push_back(static_cast<Position>(n_));
    for (std::size_t c = 0; c + 1 < cell_start_.size(); ++c) {
        widest_cell_ = std::max(widest_cell_, cell_start_[c + 1] - cell_start_[c]);
    }
    pacer.advance(8 * n_);
}

namespace {

// Length 1: a pair matches when the later value in sorted order lies within
// the run of the earlier. Prefix counts over positions do it in O(N).
std::uint64_t single_sample_pairs(std::span<const std::int32_t> first,
                                  std::span<const std::int32_t> high, std::size_t n,
                                  std::size_t templates) {
    std::vector<std::uint32_t> below(n + 1, 0);  // below[p]: templates with first < p
    for (std::size_t j = 0; j < templates; ++j) ++below[static_cast<std::size_t>(first[j]) + 1];
    std::uint64_t total = 0;
    for (std::size_t p = 1; p <= n; ++p) {
        const std::uint64_t equal = below[p];  // all match one another
        if (equal > 1) total += equal * (equal - 1) / 2;
        below[p] += below[p - 1];
    }
    for (std::size_t i = 0; i < templates; ++i) {
        total += below[static_cast<std::size_t>(high[i]) + 1] -
                 below[static_cast<std::size_t>(first[i]) + 1];
    }
    return total;
}

// Length 2: templates in sorted order of their first coordinate; the
// partners of a template in that coordinate that come after it form a window
// that only moves forward. A Fenwick tree over the sorted positions of the
// second coordinates of the window answers the second coordinate's two-sided
// test. O(N log N).
std::uint64_t two_sample_pairs(std::span<const std::int32_t> first,
                               std::span<const std::int32_t> low,
                               std::span<const std::int32_t> high, std::size_t n,
                               std::size_t templates, Pacer& pacer) {
    std::vector<std::uint32_t> start(n + 1, 0);  // start[p]: templates with first < p
    for (std::size_t j = 0; j < templates; ++j) ++start[static_cast<std::size_t>(first[j]) + 1];
    for (std::size_t p = 1; p <= n; ++p) start[p] += start[p - 1];
    std::vector<std::uint32_t> by_first(templates);
    {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::size_t j = 0; j < templates; ++j) {
            by_first[next[static_cast<std::size_t>(first[j])]++] = static_cast<std::uint32_t>(j);
        }
    }
    std::vector<std::uint32_t> tree(n + 1, 0);
    const auto add = [&](std::size_t position, std::uint32_t delta) {
        for (std::size_t q = position + 1; q <= n; q += q & (~q + 1)) tree[q] += delta;
    };
    const auto below = [&](std::size_t position) {  // window members with second < position
        std::uint32_t sum = 0;
        for (std::size_t q = position; q > 0; q -= q & (~q + 1)) sum += tree[q];
        return sum;
    };
    std::uint64_t total = 0;
    std::size_t window_end = 0;  // by_first[p + 1 .. window_end - 1] are in the tree
    for (std::size_t p = 0; p < templates; ++p) {
        const std::uint32_t i = by_first[p];
        const std::size_t end = start[static_cast<std::size_t>(high[i]) + 1];
        if (window_end <= p) {
            window_end = p + 1;
        } else {
            add(static_cast<std::size_t>(first[i + 1]), ~std::uint32_t{0});
        }
        for (; window_end < end; ++window_end) {
            add(static_cast<std::size_t>(first[by_first[window_end] + 1]), 1);
        }
        total += below(static_cast<std::size_t>(high[i + 1]) + 1) -
                 below(static_cast<std::size_t>(low[i + 1]));
        // A few tree walks of about log2(N) steps each.
        if ((p & 4095) == 4095) pacer.advance(4096 * 64);
    }
    return total;
}

}  // namespace

std::uint64_t MaxNormTemplatePairs::matching_pairs(std::size_t length, std::size_t templates,
                                                   Pacer& pacer) const {
    if (templates < 2) return 0;
    const std::uint64_t t = templates;
    if (length == 0) return t % 2 == 0 ? (t / 2) * (t - 1) : t * ((t - 1) / 2);
    if (length == 1) {
        pacer.advance(4 * n_);
        return single_sample_pairs(first_, high_, n_, templates);
    }
    const SearchPolicy& policy = pacer.context().search();
    if (length == 2 && policy.sweep_two_sample_pairs(templates, pacer.context().workers())) {
        return two_sample_pairs(first_, low_, high_, n_, templates, pacer);
    }
    if (widest_cell_ <= kNarrowCell && !policy.force_wide_lanes(length)) {
        return CellGroups<std::int16_t>(first_, high_, cell_, cell_start_, length, templates,
                                        pacer)
            .count();
    }
    return CellGroups<std::int32_t>(first_, high_, cell_, cell_start_, length, templates, pacer)
        .count();
}

}  // namespace quorlin
