#include "dynamics/local_map.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "common/vector_clones.hpp"

namespace quorlin::dynamics {
namespace {

// Below this magnitude a pivot column counts as empty. The threshold is
// absolute: a neighbourhood much smaller than 1e-6 in every direction makes
// X^T X "singular" however well conditioned it is.
constexpr double kPivotThreshold = 1e-12;
// A fixed number of passes and no convergence test: the result must not
// depend on a tolerance that rounding could cross one way or the other.
constexpr int kPowerIterations = 200;
constexpr double kBreakdownNorm = 1e-15;
constexpr double kUnscoredConfidence = 0.5;

// Neighbour rows between two looks at the pacer, and the work units of one
// row for all lanes (two rows of d coordinates read, about 3d^2 operations).
constexpr std::size_t kRowsPerBlock = 2048;

// 1 - residual / total clamped to [0, 1]; 0.5 when either sum is not
// positive (or NaN).
double confidence_of(double residual, double total) {
    if (!(residual > 0.0 && total > 0.0)) return kUnscoredConfidence;
    double confidence = 1.0 - residual / total;
    // Rounding can leave the residual of a hopeless fit a little above the
    // total; a NaN (inf / inf) passes both tests unchanged.
    if (confidence < 0.0) confidence = 0.0;
    if (confidence > 1.0) confidence = 1.0;
    return confidence;
}

// Lane tables of a fit: for a dimension known at compile time, arrays that
// the compiler keeps in registers once the loops over them are unrolled;
// otherwise views of working memory.
struct LaneView {
    Lanes* cells;
    Lanes& operator[](std::size_t i) { return cells[i]; }
    const Lanes& operator[](std::size_t i) const { return cells[i]; }
};

template <std::size_t D, std::size_t N>
using LaneTable = std::conditional_t<D == 0, LaneView, std::array<Lanes, N>>;

// Hands out the tables of one group of fits of dimension d: lane tables
// (zero-filled) and plain tables of doubles for the per-lane steps, all
// carved from working memory taken once, so that no pointer handed out is
// ever moved.
template <std::size_t D>
class Tables {
public:
    Tables(std::size_t d, FitScratch& scratch) : d_(D == 0 ? d : D) {
        // A d of a broadcast view need not be backed by memory: d^2 and the
        // counts below are checked (d <= 2^30 keeps them within 64 bits).
        if (d_ > (std::size_t{1} << 30)) throw std::bad_alloc();
        const std::size_t dd = d_ * d_;
        // The lane tables below (anchor, image, x, y, v, w; xx; xy, maps,
        // Cauchy-Green) when the dimension is not compiled in; G, H, B, C
        // and the elimination's 3 d^2 in any case.
        lanes_ = D == 0 ? scratch.lanes(6 * d_ + d_ * (d_ + 1) / 2 + 3 * dd) : nullptr;
        doubles_ = scratch.doubles(7 * dd);
    }

    std::size_t d() const {
        if constexpr (D != 0) return D;
        return d_;
    }

    template <std::size_t N>
    LaneTable<D, N> lanes(std::size_t n) {
        if constexpr (D != 0) {
            return LaneTable<D, N>{};
        } else {
            Lanes* cells = lanes_;
            lanes_ += n;
            for (std::size_t i = 0; i < n; ++i) cells[i] = Lanes{};
            return LaneView{cells};
        }
    }

    double* doubles(std::size_t n) {
        double* cells = doubles_;
        doubles_ += n;
        return cells;
    }

private:
    std::size_t d_;
    Lanes* lanes_;
    double* doubles_;
};

// Reads the coordinates of rows in place, and those `horizon` rows later.
struct RowReader {
    const StridedPoints& points;
    std::ptrdiff_t image_offset;  // horizon * row stride, in bytes

    RowReader(const StridedPoints& trajectory, std::size_t horizon)
        : points(trajectory),
          image_offset(static_cast<std::ptrdiff_t>(horizon) * trajectory.row_stride) {}

    const unsigned char* row(std::size_t j) const {
        return points.base + static_cast<std::ptrdiff_t>(j) * points.row_stride;
    }
    double at(const unsigned char* row, std::size_t c) const {
        double v;
        std::memcpy(&v, row + static_cast<std::ptrdiff_t>(c) * points.col_stride, sizeof v);
        return v;
    }
    double image_at(const unsigned char* row, std::size_t c) const {
        return at(row + image_offset, c);
    }
};

// The map of one lane from its sums, as fit_local_map builds it: G = X^T X
// (symmetric: its entries (a, b) and (b, a) sum the same products in the
// same order), its inverse, H = X^T Y, B = G^-1 H; then C = J^T J for
// J = B^T. False when G counts as singular.
bool map_of_lane(const double* G, const double* H, std::size_t d, double* B, double* C,
                 double* work) {
    double* inverse = work;
    double* augmented = work + d * d;
    if (!invert_gauss_jordan(G, d, inverse, augmented)) return false;
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = 0; b < d; ++b) {
            double sum = 0.0;
            for (std::size_t c = 0; c < d; ++c) sum += inverse[a * d + c] * H[c * d + b];
            B[a * d + b] = sum;
        }
    }
    // C[a][b] = sum over r of J[r][a] J[r][b], with J[r][a] = B[a][r].
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = 0; b < d; ++b) {
            double sum = 0.0;
            for (std::size_t r = 0; r < d; ++r) sum += B[a * d + r] * B[b * d + r];
            C[a * d + b] = sum;
        }
    }
    return true;
}

// The fits of one group, for dimension D (0: any dimension, tables in
// working memory). Always inlined into the functions compiled per
// instruction set below.
template <std::size_t D>
[[gnu::always_inline]] inline std::array<LaneFit, kFitLanes> fit_group(
    const StridedPoints& trajectory, std::size_t horizon,
    const std::array<std::size_t, kFitLanes>& anchors, LaneMask active, FitRows neighbours,
    FitScratch& scratch, Pacer& pacer) {
    Tables<D> tables(trajectory.dim(), scratch);
    const std::size_t d = tables.d();
    const RowReader reader(trajectory, horizon);
    const std::size_t n_rows = neighbours.rows.size();
    const std::size_t block_units = kRowsPerBlock * (4 * d * d + 2 * d + 8);

    auto anchor = tables.template lanes<D>(d);  // the anchors' rows
    auto image = tables.template lanes<D>(d);   // their image rows
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t l = 0; l < kFitLanes; ++l) {
            anchor[c][l] = reader.at(reader.row(anchors[l]), c);
            image[c][l] = reader.image_at(reader.row(anchors[l]), c);
        }
    }

    // The normal equations' sums and S_tot in one pass over the rows: for
    // every lane, xx[(a, b)] (b >= a) = sum of X[r][a] X[r][b], xy[a][b] =
    // sum of X[r][a] Y[r][b], total = sum over r, then b, of Y[r][b]^2.
    // A row outside a lane's neighbours enters it as zero displacements:
    // 0 * 0 adds +0.0, which leaves every sum unchanged (a sum that starts at
    // +0.0 is never -0.0).
    auto xx = tables.template lanes<D * (D + 1) / 2>(d * (d + 1) / 2);
    auto xy = tables.template lanes<D * D>(d * d);
    auto x = tables.template lanes<D>(d);
    auto y = tables.template lanes<D>(d);
    Lanes total{};
    LaneFlags fitting = flags_of(active);
    // Both passes over the rows: take(live, row) for every neighbour row in
    // order, live holding the lanes (of those still fitting) it belongs to.
    // The lambda is always inlined like its caller, so that no vector crosses
    // a call (lanes.hpp).
    auto for_each_row = [&](auto&& take) __attribute__((always_inline)) {
        for (std::size_t first = 0; first < n_rows; first += kRowsPerBlock) {
            const std::size_t stop = std::min(n_rows, first + kRowsPerBlock);
            for (std::size_t r = first; r < stop; ++r) {
                take(flags_of(neighbours.masks[r]) & fitting, reader.row(neighbours.rows[r]));
            }
            pacer.advance(block_units);
        }
    };
    for_each_row([&](LaneFlags live, const unsigned char* row) __attribute__((always_inline)) {
#pragma GCC unroll 8
        for (std::size_t c = 0; c < d; ++c) {
            x[c] = live ? broadcast(reader.at(row, c)) - anchor[c] : Lanes{};
            y[c] = live ? broadcast(reader.image_at(row, c)) - image[c] : Lanes{};
        }
        std::size_t e = 0;
#pragma GCC unroll 8
        for (std::size_t a = 0; a < d; ++a) {
#pragma GCC unroll 8
            for (std::size_t b = a; b < d; ++b) xx[e++] += x[a] * x[b];
        }
#pragma GCC unroll 8
        for (std::size_t a = 0; a < d; ++a) {
#pragma GCC unroll 8
            for (std::size_t b = 0; b < d; ++b) xy[a * d + b] += x[a] * y[b];
        }
#pragma GCC unroll 8
        for (std::size_t b = 0; b < d; ++b) total += y[b] * y[b];
    });

    // Per lane: the map B and the Cauchy-Green tensor C = J^T J, J = B^T.
    auto maps = tables.template lanes<D * D>(d * d);
    auto cauchy_green = tables.template lanes<D * D>(d * d);
    double* G = tables.doubles(d * d);
    double* H = tables.doubles(d * d);
    double* B = tables.doubles(d * d);
    double* C = tables.doubles(d * d);
    double* work = tables.doubles(3 * d * d);
    std::array<LaneFit, kFitLanes> fits{};
    LaneMask fitted = 0;
    for (std::size_t l = 0; l < kFitLanes; ++l) {
        if ((active & lane_bit(l)) == 0) continue;
        std::size_t e = 0;
        for (std::size_t a = 0; a < d; ++a) {
            for (std::size_t b = a; b < d; ++b, ++e) G[a * d + b] = G[b * d + a] = xx[e][l];
            for (std::size_t b = 0; b < d; ++b) H[a * d + b] = xy[a * d + b][l];
        }
        if (!map_of_lane(G, H, d, B, C, work)) continue;
        fits[l].fitted = true;
        fitted |= lane_bit(l);
        for (std::size_t e2 = 0; e2 < d * d; ++e2) {
            maps[e2][l] = B[e2];
            cauchy_green[e2][l] = C[e2];
        }
    }
    if (fitted == 0) return fits;
    fitting = flags_of(fitted);

    // The largest stretch: kPowerIterations power iterations on C from
    // (1/sqrt(d), ...), then the Rayleigh quotient. A lane whose iterate
    // breaks down has its answer, 0; what it computes afterwards is never
    // read.
    auto v = tables.template lanes<D>(d);
    auto w = tables.template lanes<D>(d);
    const Lanes start = broadcast(1.0 / std::sqrt(static_cast<double>(d)));
    for (std::size_t r = 0; r < d; ++r) v[r] = start;
    LaneFlags broken{};
    auto multiply = [&] {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < d; ++r) {
            Lanes sum{};
#pragma GCC unroll 8
            for (std::size_t c = 0; c < d; ++c) sum += cauchy_green[r * d + c] * v[c];
            w[r] = sum;
        }
    };
    for (int pass = 0; pass < kPowerIterations; ++pass) {
        multiply();
        Lanes sum_of_squares{};
#pragma GCC unroll 8
        for (std::size_t r = 0; r < d; ++r) sum_of_squares += w[r] * w[r];
        const Lanes norm = lane_sqrt(sum_of_squares);
        broken |= norm < kBreakdownNorm;  // a NaN norm carries on
#pragma GCC unroll 8
        for (std::size_t r = 0; r < d; ++r) v[r] = w[r] / norm;
    }
    pacer.advance(static_cast<std::uint64_t>(kPowerIterations) * (2 * d * d + 4 * d + 40));
    multiply();
    Lanes rayleigh{};
    for (std::size_t r = 0; r < d; ++r) rayleigh += w[r] * v[r];

    // fit_confidence's S_res: for r, then b, (Y[r][b] - pred)^2 with pred =
    // sum over c of X[r][c] B[c][b]. Here the displacements are taken whole
    // and the error of a row outside a lane's neighbours is set to zero: a
    // fitted map may hold infinities, which times a zero displacement would
    // be NaN.
    Lanes residual{};
    for_each_row([&](LaneFlags live, const unsigned char* row) __attribute__((always_inline)) {
#pragma GCC unroll 8
        for (std::size_t c = 0; c < d; ++c) x[c] = broadcast(reader.at(row, c)) - anchor[c];
#pragma GCC unroll 8
        for (std::size_t b = 0; b < d; ++b) {
            // The sum starts from its first term rather than from +0.0: the
            // two differ at most in the sign of a zero, which the square
            // below removes, and it saves an addition per coordinate of
            // every row.
            Lanes predicted = x[0] * maps[b];
#pragma GCC unroll 8
            for (std::size_t c = 1; c < d; ++c) predicted += x[c] * maps[c * d + b];
            const Lanes image_b = broadcast(reader.image_at(row, b)) - image[b];
            const Lanes error = live ? image_b - predicted : Lanes{};
            residual += error * error;
        }
    });

    for (std::size_t l = 0; l < kFitLanes; ++l) {
        if (!fits[l].fitted) continue;
        const double quotient = rayleigh[l];
        fits[l].stretch = broken[l] != 0 ? 0.0 : quotient > 0.0 ? std::sqrt(quotient) : 0.0;
        fits[l].confidence = confidence_of(residual[l], total[l]);
    }
    return fits;
}

// Compiled for several instruction sets (vector_clones.hpp); the common
// dimensions get tables of their own size, kept in registers. Lets no
// exception out: a stop request or a scratch table that cannot be had is
// recorded in `failure` and thrown again by fit_group_any.
QUORLIN_VECTOR_CLONES std::array<LaneFit, kFitLanes> fit_group_clone(
    const StridedPoints& trajectory, std::size_t horizon,
    const std::array<std::size_t, kFitLanes>& anchors, LaneMask active, FitRows neighbours,
    FitScratch& scratch, Pacer& pacer, CapturedFailure& failure) noexcept {
    try {
        switch (trajectory.dim()) {
            case 1: return fit_group<1>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 2: return fit_group<2>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 3: return fit_group<3>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 4: return fit_group<4>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            default: return fit_group<0>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
        }
    } catch (...) {
        failure.capture_current();
        return {};
    }
}

std::array<LaneFit, kFitLanes> fit_group_any(const StridedPoints& trajectory, std::size_t horizon,
                                             const std::array<std::size_t, kFitLanes>& anchors,
                                             LaneMask active, FitRows neighbours,
                                             FitScratch& scratch, Pacer& pacer) {
    return call_clone(fit_group_clone, trajectory, horizon, anchors, active, neighbours, scratch,
                      pacer);
}

}  // namespace

namespace {

// At least `count` elements of `cells`, grown (and cleared) when it holds
// fewer. The sizes come from a trajectory's dimension: checked, since its
// shape need not be backed by memory.
template <class T>
T* grown(std::vector<T>& cells, std::size_t count) {
    if (cells.size() < count) {
        require_memory(count, sizeof(T));
        cells.assign(count, T{});
    }
    return cells.data();
}

}  // namespace

Lanes* FitScratch::lanes(std::size_t count) {
    // The vector instructions chosen at load time may need a wider alignment
    // than the one this (baseline) code gives Lanes: the tables start on a
    // cache line, which suits every width.
    constexpr std::size_t kLine = 64;
    static_assert(sizeof(Lanes) <= kLine && kLine % sizeof(Lanes) == 0);
    const auto cells = checked_mul(count, kFitLanes);
    if (!cells || *cells > SIZE_MAX - kLine) throw std::bad_alloc();
    double* raw = grown(lane_cells_, static_cast<std::size_t>(*cells) + kLine / sizeof(double));
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    return reinterpret_cast<Lanes*>((address + kLine - 1) & ~std::uintptr_t{kLine - 1});
}

double* FitScratch::doubles(std::size_t count) { return grown(doubles_, count); }

std::array<LaneFit, kFitLanes> fit_local_maps(const StridedPoints& trajectory,
                                              std::size_t horizon,
                                              const std::array<std::size_t, kFitLanes>& anchors,
                                              LaneMask active, FitRows neighbours,
                                              FitScratch& scratch, Pacer& pacer) {
    if (active == 0 || trajectory.dim() == 0) return {};
    return fit_group_any(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
}

bool invert_gauss_jordan(const double* M, std::size_t d, double* inverse, double* augmented) {
    // A = [M | I], d rows of 2d.
    const std::size_t width = 2 * d;
    double* A = augmented;
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < width; ++c) A[r * width + c] = 0.0;
        for (std::size_t c = 0; c < d; ++c) A[r * width + c] = M[r * d + c];
        A[r * width + d + r] = 1.0;
    }

    for (std::size_t col = 0; col < d; ++col) {
        // Strict comparison: among equal magnitudes the upper row stays, and a
        // NaN magnitude never displaces the current choice.
        std::size_t pivot_row = col;
        double best = std::fabs(A[col * width + col]);
        for (std::size_t r = col + 1; r < d; ++r) {
            const double magnitude = std::fabs(A[r * width + col]);
            if (magnitude > best) {
                best = magnitude;
                pivot_row = r;
            }
        }
        // A NaN best is not below the threshold: the elimination carries the
        // NaN on instead of calling the matrix singular.
        if (best < kPivotThreshold) return false;
        if (pivot_row != col) {
            for (std::size_t c = 0; c < width; ++c) {
                std::swap(A[pivot_row * width + c], A[col * width + c]);
            }
        }

        const double pivot = A[col * width + col];
        for (std::size_t c = 0; c < width; ++c) A[col * width + c] = A[col * width + c] / pivot;

        for (std::size_t r = 0; r < d; ++r) {
            if (r == col) continue;
            // Read once: the loop below overwrites A[r][col] on its way.
            const double factor = A[r * width + col];
            for (std::size_t c = 0; c < width; ++c) {
                A[r * width + c] = A[r * width + c] - A[col * width + c] * factor;
            }
        }
    }

    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < d; ++c) inverse[r * d + c] = A[r * width + d + c];
    }
    return true;
}

}  // namespace quorlin::dynamics
