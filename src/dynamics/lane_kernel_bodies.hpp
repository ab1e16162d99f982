// The bodies of the local-linearization FTLE's innermost loops: the ball
// scan of a group of anchors and the fits of the group, W anchors side by
// side in vector lanes, with the lane policy they are written against.
//
// Each translation unit that compiles the entry points of lane_kernels.hpp
// includes that header, then this file, and gets its own copy of everything
// here (an unnamed namespace); QUORLIN_LANE_KERNELS at the end defines the
// entry points. That is what lets one text be
// compiled for a different instruction set in each: GCC compiles a function
// for the instruction set in force where the function is defined, and it
// does so before inlining it. A helper defined outside the AVX-512 unit's
// target region is therefore compiled for the baseline, and there GCC takes
// apart the 8-lane vectors it cannot hold in one register (a broadcast turns
// into eight inserts, a selection into eight branches), which inlining does
// not undo. So this file includes nothing itself (lane_kernels.hpp brings
// everything it needs): the code of the library's other headers stays
// compiled for the baseline in every unit (an inline
// function compiled for AVX-512 could otherwise be the one copy the linker
// keeps for all callers), and everything defined here is the unit's own.
//
// Every lane performs exactly the operations of one anchor, in its order,
// and never looks at another lane, so that an anchor's results have the
// same bits at any width and whichever anchors share its group.
#pragma once

namespace quorlin::dynamics {
namespace {

// The lanes of a group: W anchors side by side in vectors of W doubles,
// each row's lanes kept as one bit per lane (lanes.hpp).
template <std::size_t W>
struct VectorLanes {
    static_assert(W <= 8 * sizeof(LaneMask), "one bit per lane");

    using Values = DoubleLanes<W>;
    using Flags = typename Int64LanesOf<W>::type;

    // Every lane a copy of `value`. (lanes_of adds the value to a zero
    // vector, an addition the compiler must keep, since it turns -0.0 into
    // +0.0; these kernels broadcast every coordinate they read, in their
    // innermost loops. Subtracting +0.0 changes no value, -0.0 and NaN
    // included, so the compiler drops it.)
    [[gnu::always_inline]] static Values broadcast(double value) { return value - Values{}; }

    // lane_bit(l) in lane l.
    [[gnu::always_inline]] static Flags own_bits() {
        Flags bits;
        for (std::size_t l = 0; l < W; ++l) bits[l] = static_cast<std::int64_t>(lane_bit(l));
        return bits;
    }

    // All bits set in the lanes of the mask, none in the others: the mask in
    // every lane, an and and a comparison, all in vector registers (moving
    // the lanes one by one between vector and general registers costs
    // several times that, and these run once per candidate row of every
    // group).
    [[gnu::always_inline]] static Flags flags_of(LaneMask mask) {
        Flags all;
        for (std::size_t l = 0; l < W; ++l) all[l] = static_cast<std::int64_t>(mask);
        return (all & own_bits()) != 0;
    }

    // The mask of the lanes whose flags are set (each flag 0 or -1): the
    // lanes' own bits, or-ed together.
    [[gnu::always_inline]] static LaneMask mask_of(Flags flags) {
        const Flags bits = flags & own_bits();
        std::int64_t mask = 0;
        for (std::size_t l = 0; l < W; ++l) mask |= bits[l];
        return static_cast<LaneMask>(mask);
    }
};

// ---------------------------------------------------------------------------
// The ball scan

template <std::size_t D, std::size_t W>
[[gnu::always_inline]] inline BallRows<W> ball_rows(const BallJob<W>& job, Pacer& pacer) {
    using V = VectorLanes<W>;
    using Lanes = typename V::Values;
    using LaneFlags = typename V::Flags;
    const StridedPoints& points = *job.trajectory;
    const std::size_t d = D == 0 ? points.dim() : D;
    std::array<Lanes, D == 0 ? 1 : D> anchor;
    if constexpr (D != 0) {
        for (std::size_t c = 0; c < D; ++c) anchor[c] = load_lanes<Lanes>(job.anchor_rows + c * W);
    }
    LaneFlags index;
    for (std::size_t l = 0; l < W; ++l) index[l] = static_cast<std::int64_t>(job.anchors[l]);
    const LaneFlags used = V::flags_of(job.used);
    const Lanes inside = V::broadcast(job.inside);

    std::size_t count = 0;
    // Row j with the lanes of `within` whose anchor it is not, kept when
    // there is any.
    auto keep = [&](std::size_t j, LaneFlags within) {
        const LaneFlags in =
            within & (index != (LaneFlags{} + static_cast<std::int64_t>(j))) & used;
        const LaneMask mask = V::mask_of(in);
        job.rows[count] = j;
        job.masks[count] = mask;
        count += mask != 0 ? 1 : 0;
    };
    auto visit = [&](std::size_t j) {
        const unsigned char* row =
            points.base + static_cast<std::ptrdiff_t>(j) * points.row_stride;
        Lanes s = V::broadcast(-0.0);
#pragma GCC unroll 8
        for (std::size_t c = 0; c < d; ++c) {
            double value;
            std::memcpy(&value, row + static_cast<std::ptrdiff_t>(c) * points.col_stride,
                        sizeof value);
            Lanes diff;
            if constexpr (D != 0) {
                diff = V::broadcast(value) - anchor[c];
            } else {
                diff = V::broadcast(value) - load_lanes<Lanes>(job.anchor_rows + c * W);
            }
            s += diff * diff;
        }
        keep(j, s <= inside);  // a NaN sum is never within
    };
    // A row within the radius of every anchor: in each ball but its own.
    auto take = [&](std::size_t j) { keep(j, LaneFlags{} - 1); };

    const Candidates& candidates = job.candidates;
    const std::uint64_t row_units = d + 4;
    if (candidates.marks == nullptr) {
        constexpr std::size_t kBlock = 4096;
        for (std::size_t first = candidates.begin; first < candidates.end; first += kBlock) {
            const std::size_t stop = std::min(candidates.end, first + kBlock);
            for (std::size_t j = first; j < stop; ++j) visit(j);
            pacer.advance((stop - first) * row_units);
        }
    } else {
        for (std::size_t w = candidates.begin; w < candidates.end; ++w) {
            std::uint64_t bits = candidates.marks[w];
            const std::uint64_t within = candidates.inner[w];
            candidates.marks[w] = 0;
            candidates.inner[w] = 0;
            const std::size_t at = count;
            while (bits != 0) {
                const int bit = __builtin_ctzll(bits);
                const std::size_t j = w * 64 + static_cast<std::size_t>(bit);
                if (((within >> bit) & 1) != 0) {
                    take(j);
                } else {
                    visit(j);
                }
                bits &= bits - 1;
            }
            pacer.advance((count - at + 1) * row_units);
        }
    }
    // Each lane's count from the masks written, in a pass of its own: a
    // count kept in the loop above would be one more value carried from
    // candidate to candidate, and the compiler keeps it in memory there.
    BallRows<W> out;
    out.rows = count;
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t l = 0; l < W; ++l) out.per_lane[l] += (job.masks[r] >> l) & 1;
    }
    return out;
}

// The ball scan, the common dimensions with the anchors' coordinates in
// registers. Inlined into a function per width and instruction set, and so
// lets no exception out: a stop request is recorded in `failure`, to be
// thrown again by the caller of that function.
template <std::size_t W>
[[gnu::always_inline]] inline BallRows<W> ball_rows_of_any_dimension(
    const BallJob<W>& job, Pacer& pacer, CapturedFailure& failure) noexcept {
    try {
        switch (job.trajectory->dim()) {
            case 1: return ball_rows<1, W>(job, pacer);
            case 2: return ball_rows<2, W>(job, pacer);
            case 3: return ball_rows<3, W>(job, pacer);
            case 4: return ball_rows<4, W>(job, pacer);
            default: return ball_rows<0, W>(job, pacer);
        }
    } catch (...) {
        failure.capture_current();
        return {};
    }
}

// ---------------------------------------------------------------------------
// The fits


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
template <class Lanes>
struct LaneView {
    Lanes* cells;
    [[gnu::always_inline]] Lanes& operator[](std::size_t i) { return cells[i]; }
    [[gnu::always_inline]] const Lanes& operator[](std::size_t i) const { return cells[i]; }
};

template <std::size_t D, std::size_t N, class Lanes>
using LaneTable = std::conditional_t<D == 0, LaneView<Lanes>, std::array<Lanes, N>>;

// Hands out the tables of one group of fits of dimension d: lane tables
// (zero-filled) and plain tables of doubles for the per-lane steps, all
// carved from working memory taken once, so that no pointer handed out is
// ever moved. The tables of W lanes start on a cache line, which suits the
// alignment every instruction set assumes of them (this baseline code may
// give their type a smaller one).
template <std::size_t D, std::size_t W>
class Tables {
public:
    using Lanes = typename VectorLanes<W>::Values;
    static_assert(sizeof(Lanes) <= 64 && 64 % sizeof(Lanes) == 0);

    [[gnu::always_inline]] Tables(std::size_t d, FitScratch& scratch) : d_(D == 0 ? d : D) {
        // A d of a broadcast view need not be backed by memory: d^2 and the
        // counts below are checked (d <= 2^30 keeps them within 64 bits).
        if (d_ > (std::size_t{1} << 30)) throw std::bad_alloc();
        const std::size_t dd = d_ * d_;
        // The lane tables below (anchor, image, x, y, v, w; xx; xy, maps,
        // Cauchy-Green) when the dimension is not compiled in; G, H, B, C
        // and the elimination's 3 d^2 in any case.
        if constexpr (D == 0) {
            const auto cells = checked_mul(6 * d_ + d_ * (d_ + 1) / 2 + 3 * dd, W);
            if (!cells) throw std::bad_alloc();
            lanes_ = reinterpret_cast<Lanes*>(scratch.lane_cells(static_cast<std::size_t>(*cells)));
        }
        doubles_ = scratch.doubles(7 * dd);
    }

    std::size_t d() const {
        if constexpr (D != 0) return D;
        return d_;
    }

    template <std::size_t N>
    [[gnu::always_inline]] LaneTable<D, N, Lanes> lanes(std::size_t n) {
        if constexpr (D != 0) {
            return LaneTable<D, N, Lanes>{};
        } else {
            Lanes* cells = lanes_;
            lanes_ += n;
            for (std::size_t i = 0; i < n; ++i) cells[i] = Lanes{};
            return LaneView<Lanes>{cells};
        }
    }

    [[gnu::always_inline]] double* doubles(std::size_t n) {
        double* cells = doubles_;
        doubles_ += n;
        return cells;
    }

private:
    std::size_t d_;
    Lanes* lanes_ = nullptr;
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

// The fits of one group of W lanes, for dimension D (0: any dimension,
// tables in working memory).
template <std::size_t D, std::size_t W>
[[gnu::always_inline]] inline std::array<LaneFit, W> fit_group(
    const StridedPoints& trajectory, std::size_t horizon, const std::array<std::size_t, W>& anchors,
    LaneMask active, FitRows neighbours, FitScratch& scratch, Pacer& pacer) {
    using V = VectorLanes<W>;
    using Lanes = typename V::Values;
    using LaneFlags = typename V::Flags;
    Tables<D, W> tables(trajectory.dim(), scratch);
    const std::size_t d = tables.d();
    const RowReader reader(trajectory, horizon);
    const std::size_t n_rows = neighbours.rows.size();
    const std::size_t block_units = kRowsPerBlock * (4 * d * d + 2 * d + 8);

    auto anchor = tables.template lanes<D>(d);  // the anchors' rows
    auto image = tables.template lanes<D>(d);   // their image rows
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t l = 0; l < W; ++l) {
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
    LaneFlags fitting = V::flags_of(active);
    // Both passes over the rows: take(live, row) for every neighbour row in
    // order, live holding the lanes (of those still fitting) it belongs to.
    // The lambda is always inlined like its caller, so that no vector crosses
    // a call (lanes.hpp).
    auto for_each_row = [&](auto&& take) __attribute__((always_inline)) {
        for (std::size_t first = 0; first < n_rows; first += kRowsPerBlock) {
            const std::size_t stop = std::min(n_rows, first + kRowsPerBlock);
            for (std::size_t r = first; r < stop; ++r) {
                take(V::flags_of(neighbours.masks[r]) & fitting, reader.row(neighbours.rows[r]));
            }
            pacer.advance(block_units);
        }
    };
    for_each_row([&](LaneFlags live, const unsigned char* row) __attribute__((always_inline)) {
#pragma GCC unroll 8
        for (std::size_t c = 0; c < d; ++c) {
            x[c] = live ? V::broadcast(reader.at(row, c)) - anchor[c] : Lanes{};
            y[c] = live ? V::broadcast(reader.image_at(row, c)) - image[c] : Lanes{};
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
    std::array<LaneFit, W> fits{};
    LaneMask fitted = 0;
    for (std::size_t l = 0; l < W; ++l) {
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
    fitting = V::flags_of(fitted);

    // The largest stretch: kPowerIterations power iterations on C from
    // (1/sqrt(d), ...), then the Rayleigh quotient. A lane whose iterate
    // breaks down has its answer, 0; what it computes afterwards is never
    // read.
    auto v = tables.template lanes<D>(d);
    auto w = tables.template lanes<D>(d);
    const Lanes start = V::broadcast(1.0 / std::sqrt(static_cast<double>(d)));
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
        for (std::size_t c = 0; c < d; ++c) x[c] = V::broadcast(reader.at(row, c)) - anchor[c];
#pragma GCC unroll 8
        for (std::size_t b = 0; b < d; ++b) {
            // The sum starts from its first term rather than from +0.0: the
            // two differ at most in the sign of a zero, which the square
            // below removes, and it saves an addition per coordinate of
            // every row.
            Lanes predicted = x[0] * maps[b];
#pragma GCC unroll 8
            for (std::size_t c = 1; c < d; ++c) predicted += x[c] * maps[c * d + b];
            const Lanes image_b = V::broadcast(reader.image_at(row, b)) - image[b];
            const Lanes error = live ? image_b - predicted : Lanes{};
            residual += error * error;
        }
    });

    for (std::size_t l = 0; l < W; ++l) {
        if (!fits[l].fitted) continue;
        const double quotient = rayleigh[l];
        fits[l].stretch = broken[l] != 0 ? 0.0 : quotient > 0.0 ? std::sqrt(quotient) : 0.0;
        fits[l].confidence = confidence_of(residual[l], total[l]);
    }
    return fits;
}

// The fits of one group, the common dimensions with tables of their own
// size, kept in registers. Inlined into a function per width and
// instruction set, and so lets no exception out: a stop request or a
// scratch table that cannot be had is recorded in `failure`, to be thrown
// again by fit_local_maps.
template <std::size_t W>
[[gnu::always_inline]] inline std::array<LaneFit, W> fit_group_of_any_dimension(
    const StridedPoints& trajectory, std::size_t horizon, const std::array<std::size_t, W>& anchors,
    LaneMask active, FitRows neighbours, FitScratch& scratch, Pacer& pacer,
    CapturedFailure& failure) noexcept {
    try {
        switch (trajectory.dim()) {
            case 1: return fit_group<1, W>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 2: return fit_group<2, W>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 3: return fit_group<3, W>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            case 4: return fit_group<4, W>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
            default: return fit_group<0, W>(trajectory, horizon, anchors, active, neighbours, scratch, pacer);
        }
    } catch (...) {
        failure.capture_current();
        return {};
    }
}

}  // namespace
}  // namespace quorlin::dynamics

// The entry points of lane_kernels.hpp for W lanes, with the attribute that
// picks their instruction sets: one line in each unit that compiles a width.
#define QUORLIN_LANE_KERNELS(W, ATTRIBUTE)                                                       \
    namespace quorlin::dynamics {                                                                \
    ATTRIBUTE BallRows<W> ball_rows_##W(const BallJob<W>& job, Pacer& pacer,                     \
                                        CapturedFailure& failure) noexcept {                     \
        return ball_rows_of_any_dimension<W>(job, pacer, failure);                               \
    }                                                                                            \
    ATTRIBUTE std::array<LaneFit, W> fit_group_##W(                                              \
        const StridedPoints& trajectory, std::size_t horizon,                                    \
        const std::array<std::size_t, W>& anchors, LaneMask active, FitRows neighbours,          \
        FitScratch& scratch, Pacer& pacer, CapturedFailure& failure) noexcept {                  \
        return fit_group_of_any_dimension<W>(trajectory, horizon, anchors, active, neighbours,   \
                                             scratch, pacer, failure);                           \
    }                                                                                            \
    }
