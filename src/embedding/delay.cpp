#include "embedding/delay.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "numerics/moments.hpp"

namespace quorlin::embedding {

Validated<EmbeddedPoints> time_delay_embedding(std::span<const double> signal,
                                               std::uint64_t dimension, std::uint64_t delay,
                                               const ExecutionContext& context) {
    if (dimension == 0) {
        return Invalid{"Embedding dimension must be at least 1, got 0"};
    }
    const std::uint64_t n = signal.size();
    // The span is formed in 128 bits so that the stated requirement is exact
    // even when (m - 1) * tau, or that plus one, no longer fits in 64 bits.
    const uint128 span = static_cast<uint128>(dimension - 1) * static_cast<uint128>(delay);
    if (static_cast<uint128>(n) <= span) {
        return Invalid{"Signal too short for embedding: " + to_decimal(n) +
                       " samples, need at least " + to_decimal(span + 1)};
    }
    const auto n_points = n - static_cast<std::uint64_t>(span);
    // The rows and the result matrix they are copied into live side by side.
    const auto values = checked_mul(n_points, dimension);
    if (!values) throw std::bad_alloc();
    require_memory(*values, sizeof(double), 2);
    Pacer pacer(context);
    return embed_points(signal, dimension, delay, n_points, pacer);
}

// ---------------------------------------------------------------------------
// Choice of the delay.

namespace {

constexpr double kFlatVariance = 1e-15;
constexpr double kFlatRange = 1e-15;
constexpr double kInverseE = 0.36787944117144233;

constexpr int kBins = 16;
using BinIndex = std::uint8_t;

// The histogram bin of v: min(15, trunc((v - min) / range * 16)), formed in
// that order. The conversion saturates: a negative quotient and NaN give bin
// 0, a quotient of 16 or more (the maximum itself) bin 15. Converting NaN or
// an out-of-range double to an integer directly would be undefined, so the
// two ends are decided by comparisons and only 1 <= q < 15 is truncated.
BinIndex histogram_bin(double v, double min, double range) {
    const double q = (v - min) / range * 16.0;
    if (!(q >= 1.0)) return 0;
    if (q >= static_cast<double>(kBins - 1)) return kBins - 1;
    return static_cast<BinIndex>(q);
}

// The bin of every sample. A sample's bin does not depend on the lag, so the
// divisions are done once per call instead of once per sample and lag.
std::vector<BinIndex> histogram_bins(std::span<const double> x, double min, double range) {
    std::vector<BinIndex> bins(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) bins[i] = histogram_bin(x[i], min, range);
    return bins;
}

// I(lag) from the bins of the samples; requires lag < bins.size().
double mutual_information_of_bins(const std::vector<BinIndex>& bins, std::size_t lag) {
    constexpr std::size_t kCells = kBins * kBins;
    const std::size_t pairs = bins.size() - lag;
    const BinIndex* lead = bins.data();
    const BinIndex* lagged = bins.data() + lag;

    // Four count tables filled in turn: a slowly varying signal hits the same
    // cell on consecutive samples, and a single table would make every
    // increment wait for the previous one. Counts are exact integers, so the
    // totals do not depend on how they are split.
    std::array<std::array<std::uint64_t, kCells>, 4> partial{};
    auto cell = [&](std::size_t i) { return (std::size_t{lead[i]} << 4) | lagged[i]; };
    std::size_t i = 0;
    for (; i + 4 <= pairs; i += 4) {
        ++partial[0][cell(i)];
        ++partial[1][cell(i + 1)];
        ++partial[2][cell(i + 2)];
        ++partial[3][cell(i + 3)];
    }
    for (; i < pairs; ++i) ++partial[0][cell(i)];

    std::array<std::uint64_t, kCells> joint{};
    std::array<std::uint64_t, kBins> lead_counts{};
    std::array<std::uint64_t, kBins> lagged_counts{};
    for (std::size_t c = 0; c < kCells; ++c) {
        joint[c] = partial[0][c] + partial[1][c] + partial[2][c] + partial[3][c];
        lead_counts[c >> 4] += joint[c];
        lagged_counts[c & 15] += joint[c];
    }

    const double total = static_cast<double>(pairs);
    double information = 0.0;
    for (std::size_t a = 0; a < kBins; ++a) {
        for (std::size_t b = 0; b < kBins; ++b) {
            const std::uint64_t count = joint[a * kBins + b];
            if (count == 0) continue;
            const double p = static_cast<double>(count) / total;
            const double pa = static_cast<double>(lead_counts[a]) / total;
            const double pb = static_cast<double>(lagged_counts[b]) / total;
            information += p * std::log(p / (pa * pb));
        }
    }
    return information;
}

// S(lag) for the K lags first, first + 1, ..., each summed over its pairs in
// index order into its own accumulator: the additions of every sum are those
// of a sum computed alone, in the same order, while the K independent chains
// overlap in the pipeline instead of each waiting on its previous addition.
// Requires first + K - 1 < N.
template <std::size_t K>
std::array<double, K> lagged_product_sums(std::span<const double> x, double mean,
                                          std::size_t first) {
    std::array<double, K> sums;
    sums.fill(0.0);
    const std::size_t n = x.size();
    // Lag first + k has n - first - k pairs; all K lags share the first
    // n - first - (K - 1) of them.
    const std::size_t shared = n - first - (K - 1);
    for (std::size_t i = 0; i < shared; ++i) {
        const double lead = x[i] - mean;
        for (std::size_t k = 0; k < K; ++k) sums[k] += lead * (x[i + first + k] - mean);
    }
    for (std::size_t k = 0; k + 1 < K; ++k) {
        for (std::size_t i = shared; i < n - first - k; ++i) {
            sums[k] += (x[i] - mean) * (x[i + first + k] - mean);
        }
    }
    return sums;
}

double lag_normalised(double sum, std::size_t pairs, double variance) {
    return (sum / static_cast<double>(pairs)) / variance;
}

std::uint64_t autocorrelation_delay(std::span<const double> x, std::uint64_t limit, double level,
                                    Pacer& pacer) {
    const auto [mean, variance] = population_moments(x);
    // NaN fails this test and every threshold test below: the answer is L.
    if (variance < kFlatVariance) return 1;
    // Lags are examined in blocks; a block may compute a few lags past the
    // answer, which changes nothing but the work done. L itself is never
    // examined (end <= L <= N / 2 keeps every lag below N).
    constexpr std::size_t kBlock = 4;
    const std::uint64_t end = std::max<std::uint64_t>(limit, 1);
    std::uint64_t lag = 1;
    for (; lag + kBlock <= end; lag += kBlock) {
        const auto sums = lagged_product_sums<kBlock>(x, mean, lag);
        pacer.advance(kBlock * (x.size() - lag) * 2);
        for (std::size_t k = 0; k < kBlock; ++k) {
            if (lag_normalised(sums[k], x.size() - (lag + k), variance) <= level) return lag + k;
        }
    }
    for (; lag < end; ++lag) {
        if (autocorrelation_at_lag(x, mean, variance, lag) <= level) return lag;
    }
    return limit;
}

std::uint64_t mutual_information_delay(std::span<const double> x, std::uint64_t limit,
                                       Pacer& pacer) {
    // NaN samples neither lower the minimum nor raise the maximum; with no
    // other samples the range is -inf and counts as flat.
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    for (const double v : x) {
        if (v < min) min = v;
        if (v > max) max = v;
    }
    const double range = max - min;
    if (range < kFlatRange) return 1;
    if (limit < 2) return 1;

    const std::vector<BinIndex> bins = histogram_bins(x, min, range);
    std::vector<double> information;  // information[k] belongs to lag k + 1
    for (std::uint64_t lag = 1; lag < limit; ++lag) {
        information.push_back(mutual_information_of_bins(bins, lag));
        pacer.advance((bins.size() - lag) * 2);
        const std::size_t k = information.size() - 1;
        // The first local minimum is the middle of the last three values;
        // later lags are not computed.
        if (k >= 2 && information[k - 1] < information[k] &&
            information[k - 1] < information[k - 2]) {
            return lag - 1;
        }
    }
    for (std::size_t k = 0; k < information.size(); ++k) {
        if (information[k] < 0.5 * information[0]) return k + 1;
    }
    return std::max<std::uint64_t>(limit / 4, 1);
}

}  // namespace

double autocorrelation_at_lag(std::span<const double> x, double mean, double variance,
                              std::uint64_t lag) {
    if (lag >= x.size()) return std::numeric_limits<double>::quiet_NaN();
    return lag_normalised(lagged_product_sums<1>(x, mean, lag)[0], x.size() - lag, variance);
}

std::uint64_t optimal_delay(std::span<const double> signal, std::optional<std::uint64_t> max_lag,
                            std::string_view method, const ExecutionContext& context) {
    const std::uint64_t n = signal.size();
    if (n < 4) return 1;
    const std::uint64_t limit = max_lag ? std::min(n / 2, *max_lag) : n / 4;
    Pacer pacer(context);
    // Whole-text, case-sensitive matching: every other text means mutual
    // information.
    if (method == "autocorr_e") return autocorrelation_delay(signal, limit, kInverseE, pacer);
    if (method == "autocorr") return autocorrelation_delay(signal, limit, 0.0, pacer);
    return mutual_information_delay(signal, limit, pacer);
}

// ---------------------------------------------------------------------------
// Choice of the dimension.

namespace {

// A neighbour at this distance or closer is the same state again, and the
// row does not count: its ratios would divide by (about) nothing.
constexpr double kMinNeighborDistance = 1e-10;
constexpr double kFalseNeighborFactor = 10.0;
constexpr double kFlatMeanRatio = 1e-15;
// FNN and Cao judge only the leading rows of a step, which bounds a step's
// searches whatever the length of the series.
constexpr std::uint64_t kFalseNeighborReferences = 1000;
constexpr std::uint64_t kCaoReferences = 500;
constexpr std::uint64_t kMinStepRows = 10;

// The k-d trees that search the rows of the steps: each over the first K
// coordinates of the delay vectors, rows j < N - (K - 1) * tau. The rows of
// step d are the first N - d * tau, of q = d - 1 coordinates (Cao's, of
// max(d, 2) - 1), so a tree with K <= q (or K = 2 for q = 1) holds every row
// of the step and its leading coordinates; searched by the bounds of those K
// coordinates, it prunes for the rows of the step, which are still measured
// in full (see NeighborSearch).
//
// A tree over two coordinates serves short rows, but its bounds prune less
// and less as the rows grow: on Gaussian noise at 10^6 samples a query with
// rows of eight coordinates reaches a third of all rows. So the index climbs
// a ladder as the steps lengthen their rows: K = 2 up to rows of three
// coordinates, then the largest even K not above the row length, each tree
// built when the first step needs it and dropped for the next one (steps only
// lengthen their rows). Measured there (processor seconds for the 1000
// queries of a step): building a rung takes about 0.6 s; rows of five
// coordinates take 1.1 s through the tree over two and 0.05 s through one over
// four, rows of seven 8.2 s and 0.14 s through one over six. Every tree
// answers exactly, so which one searches changes no result.
class LeadingIndex {
public:
    LeadingIndex(std::span<const double> x, std::uint64_t tau, Pacer& pacer)
        : x_(x), tau_(tau) {
        if (tau >= x.size()) return;
        const std::uint64_t n = x.size() - tau;
        // The largest step scans min(n, 1000) references against its rows
        // (weighed as rows of one coordinate: the index pays for itself by
        // the rows it spares, whatever their length).
        if (!pacer.context().search().use_tree(std::min<std::uint64_t>(n, kFalseNeighborReferences),
                                               n, 1)) {
            return;
        }
        rows_ = std::make_unique<EmbeddedPoints>(embed_points(x, 2, tau, n, pacer));
        // Every sample is a leading coordinate of some row: the tree exists
        // exactly when the series is finite, as its searches require, and
        // then so can every wider one.
        if (KdTree<EmbeddedPoints>::suitable(*rows_, pacer)) {
            tree_.emplace_back(*rows_, pacer);
            width_ = 2;
        }
    }
    LeadingIndex(const LeadingIndex&) = delete;
    LeadingIndex& operator=(const LeadingIndex&) = delete;

    // The tree for the rows of `row_length` coordinates of one step, or none.
    // Steps must come in order of non-decreasing row length.
    const KdTree<EmbeddedPoints>* tree_for(std::uint64_t row_length, Pacer& pacer) {
        if (tree_.empty()) return nullptr;
        const std::uint64_t wanted = rung(row_length);
        if (wanted > width_) climb(wanted, pacer);
        return &tree_.front();
    }

private:
    static constexpr std::uint64_t kFirstRung = 4;

    std::uint64_t rung(std::uint64_t row_length) const {
        // With delay 0 every coordinate repeats the first: more of them add
        // nothing to a bound.
        if (tau_ == 0 || row_length < kFirstRung) return 2;
        const std::uint64_t even = row_length & ~std::uint64_t{1};
        return std::min<std::uint64_t>(even, kMaxTreeDimension);
    }

    void climb(std::uint64_t width, Pacer& pacer) {
        width_ = width;
        // width <= row length <= d - 1, so the N - (width - 1) * tau rows
        // exceed the N - d * tau >= 10 rows of the step.
        const std::uint64_t n = x_.size() - (width - 1) * tau_;
        try {
            // The rows, and the tree's boxes and order (KdTree checks those
            // again), beside the narrower tree until this one is built.
            require_memory(n, width * sizeof(double));
            auto rows = std::make_unique<EmbeddedPoints>(embed_points(x_, width, tau_, n, pacer));
            std::vector<KdTree<EmbeddedPoints>> tree;
            // The samples are finite (the first tree exists): so is every row.
            tree.emplace_back(*rows, pacer);
            tree_ = std::move(tree);
            rows_ = std::move(rows);
        } catch (const std::bad_alloc&) {
            // No memory for a wider tree: the narrower one answers the same,
            // only more slowly.
        }
    }

    std::span<const double> x_;
    std::uint64_t tau_;
    std::uint64_t width_ = 0;
    // The rows of the current tree, which refers to them: held apart so that
    // they stay in place while a wider tree replaces it.
    std::unique_ptr<EmbeddedPoints> rows_;
    std::vector<KdTree<EmbeddedPoints>> tree_;
};

NeighborSearch<EmbeddedPoints> search_rows(const EmbeddedPoints& rows, std::size_t references,
                                           const KdTree<EmbeddedPoints>* leading, Pacer& pacer) {
    if (leading != nullptr) return NeighborSearch<EmbeddedPoints>(rows, pacer, *leading);
    return NeighborSearch<EmbeddedPoints>(
        rows, pacer, pacer.context().search().use_tree(references, rows.size(), rows.dimension));
}

// References are searched in blocks of this many, each block a task of its
// own (parallel.hpp); the blocks are fixed by the number of references alone.
// A search takes tens of microseconds at the sizes where threads pay, so a
// block is far more work than handing it to a thread.
constexpr std::size_t kReferenceBlock = 25;

// Calls found(i, neighbor) with the nearest other row of every reference row
// i < references, from up to the context's workers at once (each reference
// once, in no particular order across blocks).
template <class Found>
void for_each_reference_neighbor(const EmbeddedPoints& rows, std::size_t references,
                                 const KdTree<EmbeddedPoints>* leading, Pacer& pacer,
                                 Found&& found) {
    // The tree, when the step builds one of its own, is built once here.
    const NeighborSearch<EmbeddedPoints> shared = search_rows(rows, references, leading, pacer);
    for_each_block(pacer.context(), references, kReferenceBlock,
                   [&](std::size_t, std::size_t first, std::size_t end, Pacer& task_pacer) {
        const NeighborSearch<EmbeddedPoints> search(shared, task_pacer);
        std::size_t hint = kNoHint;
        for (std::size_t i = first; i < end; ++i) {
            const Nearest neighbor = nearest_neighbor(search, i, hint);
            hint = neighbor.found() ? neighbor.index + 1 : kNoHint;
            found(i, neighbor);
        }
    });
}

// The rows N - d * tau of step d, or no value when d * tau does not fit in 64
// bits or leaves no row.
std::optional<std::uint64_t> step_rows(std::uint64_t n, std::uint64_t d, std::uint64_t tau) {
    const auto span = checked_mul(d, tau);
    if (!span || *span >= n) return std::nullopt;
    return n - *span;
}

// The first d >= start at which a step has fewer than 10 rows, N - d * tau
// < 10; no value when that never happens (tau = 0 with N >= 10).
std::optional<std::uint64_t> first_short_step(std::uint64_t n, std::uint64_t tau,
                                              std::uint64_t start) {
    if (n < kMinStepRows) return start;
    if (tau == 0) return std::nullopt;
    // N - d * tau < 10  <=>  d > (N - 10) / tau  <=>  d >= floor((N - 10) / tau) + 1.
    return std::max(start, (n - kMinStepRows) / tau + 1);
}

std::uint64_t false_neighbors_dimension(std::span<const double> x, std::uint64_t tau,
                                        std::uint64_t max_dim, double threshold,
                                        LeadingIndex& index, Pacer& pacer) {
    if (max_dim < 2) return max_dim;
    if (!(threshold > 0.0)) {
        // F(d) >= 0, so no step can pass: only the length rule decides, and
        // the steps themselves (all N / tau of them, or max_dim when tau = 0)
        // need not be run.
        const auto short_step = first_short_step(x.size(), tau, 2);
        if (short_step && *short_step <= max_dim) return std::max<std::uint64_t>(*short_step - 1, 2);
        return max_dim;
    }
    // Ends within N / tau steps by the length rule. With delay 0 every row
    // repeats one sample and the d-th coordinate is that sample again, so no
    // neighbour is false, F(2) = 0 and the loop ends at d = 2. The caller's
    // N >= (max_dim + 1) * tau + 2 keeps d * tau below N up to d = max_dim.
    for (std::uint64_t d = 2;; ++d) {
        if (x.size() - d * tau < kMinStepRows) return std::max<std::uint64_t>(d - 1, 2);
        if (threshold > false_neighbor_fraction(x, tau, d, pacer, index.tree_for(d - 1, pacer))) {
            return d;
        }
        if (d == max_dim) return max_dim;
    }
}

// Cao's steps at delay 0 that can still pass. Every row of step d then
// repeats one sample q = max(d, 2) - 1 times, so the squared distance of rows
// i and j is the q-fold running sum, from -0.0, of v = (x[i] - x[j])^2: it
// never decreases as d grows, and neither does the smallest one of a row.
// Two ways in which no later step can pass follow, for finite reference
// samples (the caller has refused the others):
//   * The smallest v of a reference row i >= 1 sums to +inf at q = Q: from
//     then on no row lies at a finite distance from row i, which counts with
//     rho = +inf against row 0, itself at distance +inf, so its ratio and E(d)
//     are NaN at every step with q >= Q, and neither such a step nor the one
//     after it can pass. Steps up to d = Q are still run.
//   * Row 0 has no candidate at a finite distance (its ratio is 0 / inf = 0),
//     while no other reference row can ever lie more than 1e-10 from its
//     nearest row (a running sum of v stops growing below 2^55 v), so that
//     row 0 is the only row counted: E(d) = 0 at every step, and no step passes.
// The last step that can pass (0 when none can), or no value when neither
// bound applies. The rows with the largest smallest v reach either bound
// first, so only they are followed.
std::optional<std::uint64_t> cao_last_passable_step_at_delay_zero(std::span<const double> x,
                                                                  Pacer& pacer) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    constexpr double kCountedSquared = kMinNeighborDistance * kMinNeighborDistance;
    // The running sum of v is followed this far at most; a later overflow
    // comes long after any usable threshold has let a step pass.
    constexpr std::uint64_t kFollowedSteps = std::uint64_t{1} << 20;
    const std::size_t references = std::min<std::size_t>(x.size(), kCaoReferences);
    double row0_smallest = std::numeric_limits<double>::infinity();
    double largest_smallest = 0.0;  // over the reference rows i >= 1
    for (std::size_t i = 0; i < references; ++i) {
        // The exact smallest v (not the distance the neighbour search ranks
        // by, which can tie distinct v): a NaN v never comes closest.
        double smallest = std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < x.size(); ++j) {
            const double diff = x[i] - x[j];
            const double v = diff * diff;
            if (j != i && v < smallest) smallest = v;
        }
        pacer.advance(x.size() * 2);
        if (i == 0) {
            row0_smallest = smallest;
        } else if (smallest > largest_smallest) {
            largest_smallest = smallest;
        }
    }
    if (largest_smallest == std::numeric_limits<double>::infinity()) return 0;
    if (row0_smallest == std::numeric_limits<double>::infinity() &&
        std::ldexp(largest_smallest, 55) <= kCountedSquared) {
        return 0;
    }
    if (std::ldexp(largest_smallest, 55) <= kLargest) return std::nullopt;
    double sum = -0.0;
    for (std::uint64_t q = 1; q <= kFollowedSteps; ++q) {
        sum += largest_smallest;
        if (sum > kLargest) return q;
    }
    return std::nullopt;
}

std::uint64_t cao_dimension(std::span<const double> x, std::uint64_t tau, std::uint64_t max_dim,
                            double threshold, LeadingIndex& index, Pacer& pacer) {
    if (max_dim == 0) return 0;
    if (!(threshold > 0.0)) {
        // |E(d) / E_prev - 1| is never negative (or is NaN): no step can pass.
        const auto short_step = first_short_step(x.size(), tau, 1);
        if (short_step && *short_step <= max_dim) return std::max<std::uint64_t>(*short_step, 2);
        return max_dim;
    }
    std::optional<std::uint64_t> last_passable;
    if (tau == 0 && x.size() >= kMinStepRows) {
        // With delay 0 the length rule never ends the loop, and every step
        // uses the same reference rows, each repeating one sample. A row whose
        // sample is NaN or infinite has no neighbour at a finite distance: it
        // counts with rho = +inf and a ratio of NaN, so every E(d) is NaN and
        // no step can pass.
        const auto references = x.first(std::min<std::size_t>(x.size(), kCaoReferences));
        if (!std::all_of(references.begin(), references.end(),
                         [](double v) { return std::isfinite(v); })) {
            return max_dim;
        }
        // Otherwise the steps run literally. With every row repeating one
        // sample, |E(d) / E(d - 1) - 1| falls like 1 / (2 (d - 1)^2), so a
        // tiny positive threshold with a huge max_dim runs to about
        // d = 1 + 1 / sqrt(2 threshold), step d costing O(refs * N * d): the
        // one request whose run time the size of the input does not bound.
        last_passable = cao_last_passable_step_at_delay_zero(x, pacer);
        if (last_passable == 0) return max_dim;
    }
    // The caller's N >= (max_dim + 1) * tau + 2 keeps d * tau below N up to
    // d = max_dim.
    double previous = 0.0;
    for (std::uint64_t d = 1;; ++d) {
        if (x.size() - d * tau < kMinStepRows) return std::max<std::uint64_t>(d, 2);
        const std::uint64_t row_length = std::max<std::uint64_t>(d, 2) - 1;
        const double ratio = cao_mean_ratio(x, tau, d, pacer, index.tree_for(row_length, pacer));
        if (d >= 2 && previous > kFlatMeanRatio && threshold > std::fabs(ratio / previous - 1.0)) {
            return d;
        }
        previous = ratio;
        if (d == max_dim || d == last_passable) return max_dim;
    }
}

}  // namespace

Nearest nearest_neighbor(const NeighborSearch<EmbeddedPoints>& rows, std::size_t i,
                         std::size_t hint) {
    const CandidateRule every_other_row{rows.points().size(), 1,
                                        -std::numeric_limits<double>::infinity()};
    return rows.nearest(i, every_other_row, hint);
}

double false_neighbor_fraction(std::span<const double> x, std::uint64_t delay,
                               std::uint64_t dimension, Pacer& pacer,
                               const KdTree<EmbeddedPoints>* leading) {
    if (dimension < 2) return 0.0;
    const auto n = step_rows(x.size(), dimension, delay);
    if (!n) return 0.0;
    // Rows of d - 1 coordinates; n + (d - 2) * tau = N - 2 * tau <= N.
    const EmbeddedPoints rows = embed_points(x, dimension - 1, delay, *n, pacer);
    // Offset of the d-th coordinate; i + offset <= N - tau - 1 for every row i.
    const std::size_t offset = static_cast<std::size_t>((dimension - 1) * delay);
    const std::size_t references = std::min(*n, kFalseNeighborReferences);
    // Per reference: 0 without a neighbour beyond 1e-10, 1 with a true one,
    // 2 with a false one; counted in reference order afterwards.
    std::vector<std::uint8_t> verdicts(references, 0);
    for_each_reference_neighbor(rows, references, leading, pacer,
                                [&](std::size_t i, const Nearest& neighbor) {
        if (!(neighbor.distance > kMinNeighborDistance)) return;
        const double separation = std::fabs(x[i + offset] - x[neighbor.index + offset]);
        verdicts[i] = separation / neighbor.distance > kFalseNeighborFactor ? 2 : 1;
    });
    std::int32_t valid = 0;
    std::int32_t false_neighbors = 0;
    for (const std::uint8_t verdict : verdicts) {
        valid += verdict != 0 ? 1 : 0;
        false_neighbors += verdict == 2 ? 1 : 0;
    }
    if (valid == 0) return 0.0;
    return static_cast<double>(false_neighbors) / static_cast<double>(valid);
}

double cao_mean_ratio(std::span<const double> x, std::uint64_t delay, std::uint64_t dimension,
                      Pacer& pacer, const KdTree<EmbeddedPoints>* leading) {
    if (dimension == 0) return 1.0;
    const auto n = step_rows(x.size(), dimension, delay);
    if (!n) return 1.0;
    // Rows of q = max(d, 2) - 1 coordinates: the d-dimensional points less
    // their last coordinate, except at d = 1 where rows and points coincide.
    const std::uint64_t row_length = std::max<std::uint64_t>(dimension, 2) - 1;
    const EmbeddedPoints rows = embed_points(x, row_length, delay, *n, pacer);
    const std::size_t offset = static_cast<std::size_t>((dimension - 1) * delay);
    const std::size_t references = std::min(*n, kCaoReferences);
    // Per reference its ratio, if it counts (ratios may be NaN, so whether
    // it counts is kept apart); the ratios are summed in reference order afterwards, the additions of a
    // single pass.
    std::vector<double> ratios(references, 0.0);
    std::vector<std::uint8_t> counted_at(references, 0);
    for_each_reference_neighbor(rows, references, leading, pacer,
                                [&](std::size_t i, const Nearest& neighbor) {
        if (!(neighbor.distance > kMinNeighborDistance)) return;
        // The squared distance of the d-dimensional points is the rows' sum,
        // taken over their d - 1 coordinates in order from -0.0, continued by
        // the d-th coordinate: the same additions in the same order as a sum
        // over all d coordinates.
        double squared = squared_distance(rows, i, neighbor.index);
        if (dimension >= 2) {
            const double extra = x[i + offset] - x[neighbor.index + offset];
            squared += extra * extra;
        }
        ratios[i] = std::sqrt(squared) / neighbor.distance;
        counted_at[i] = 1;
    });
    double sum = 0.0;
    std::int32_t counted = 0;
    for (std::size_t i = 0; i < references; ++i) {
        if (counted_at[i] == 0) continue;
        sum += ratios[i];
        ++counted;
    }
    if (counted == 0) return 1.0;
    return sum / static_cast<double>(counted);
}

std::uint64_t optimal_dimension(std::span<const double> signal, std::optional<std::uint64_t> delay,
                                std::uint64_t max_dim, std::string_view method, double threshold,
                                const ExecutionContext& context) {
    const std::uint64_t tau = delay.value_or(1);
    // (D + 1) * tau + 2 is below 2^128 for any 64-bit D and tau; a value past
    // 2^64 is longer than any series.
    const uint128 needed = (static_cast<uint128>(max_dim) + 1) * tau + 2;
    if (static_cast<uint128>(signal.size()) < needed) return 2;
    // Every step embeds the series anew and searches its rows through one
    // tree over the leading coordinates, built once; the two must agree on
    // every sample, and the tree needs them finite. A private copy of the
    // samples (O(N), small beside the searches) keeps that true even when
    // the caller's array changes during the call.
    require_memory(signal.size(), sizeof(double));
    const std::vector<double> samples(signal.begin(), signal.end());
    Pacer pacer(context);
    LeadingIndex index(samples, tau, pacer);
    if (method == "cao") {
        return cao_dimension(samples, tau, max_dim, threshold, index, pacer);
    }
    return false_neighbors_dimension(samples, tau, max_dim, threshold, index, pacer);
}

}  // namespace quorlin::embedding
