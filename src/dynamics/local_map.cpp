#include "dynamics/local_map.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
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
constexpr int kPowerIterations = 200;
constexpr double kBreakdownNorm = 1e-15;
constexpr double kUnscoredConfidence = 0.5;

// The number of cells, once it is known that they fit in memory: a
// trajectory's shape need not be backed by memory (a broadcast view has zero
// strides), so d x d tables are refused up front rather than zero-filled
// into the out-of-memory killer.
std::size_t cell_count(std::size_t rows, std::size_t columns) {
    const auto cells = checked_mul(rows, columns);
    if (!cells) throw std::bad_alloc();
    require_memory(*cells, sizeof(double));
    return static_cast<std::size_t>(*cells);
}

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

// out = C v, each entry summed over the columns in order.
void multiply(const Matrix& C, const std::vector<double>& v, std::vector<double>& out) {
    const std::size_t d = C.rows();
    for (std::size_t r = 0; r < d; ++r) {
        double sum = 0.0;
        for (std::size_t c = 0; c < d; ++c) sum += C(r, c) * v[c];
        out[r] = sum;
    }
}

}  // namespace

Matrix::Matrix(std::size_t rows, std::size_t columns)
    : rows_(rows), columns_(columns), cells_(cell_count(rows, columns), 0.0) {}

Matrix Matrix::transposed() const {
    Matrix t(columns_, rows_);
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < columns_; ++c) t(c, r) = (*this)(r, c);
    }
    return t;
}

namespace {

// A^T B for tables with the same rows: entry (a, b) sums A(r, a) * B(r, b)
// over r in increasing order, from 0.0.
Matrix transpose_product(const Matrix& A, const Matrix& B) {
    Matrix product(A.columns(), B.columns());
    for (std::size_t a = 0; a < A.columns(); ++a) {
        for (std::size_t b = 0; b < B.columns(); ++b) {
            double sum = 0.0;
            for (std::size_t r = 0; r < A.rows(); ++r) sum += A(r, a) * B(r, b);
            product(a, b) = sum;
        }
    }
    return product;
}

}  // namespace

std::optional<Matrix> fit_local_map(const Matrix& X, const Matrix& Y) {
    const std::size_t d = X.columns();
    const std::size_t width = Y.columns();

    const auto normal_inverse = invert_gauss_jordan(transpose_product(X, X));
    if (!normal_inverse) return std::nullopt;
    const Matrix cross = transpose_product(X, Y);

    Matrix map(d, width);
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = 0; b < width; ++b) {
            double sum = 0.0;
            for (std::size_t c = 0; c < d; ++c) sum += (*normal_inverse)(a, c) * cross(c, b);
            map(a, b) = sum;
        }
    }
    return map;
}

std::optional<Matrix> invert_gauss_jordan(const Matrix& M) {
    const std::size_t d = M.rows();
    // 2d cannot overflow: M already holds d * d doubles.
    const std::size_t width = 2 * d;
    Matrix A(d, width);  // [M | I]
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < d; ++c) A(r, c) = M(r, c);
        A(r, d + r) = 1.0;
    }

    for (std::size_t col = 0; col < d; ++col) {
        // Strict comparison: among equal magnitudes the upper row stays, and a
        // NaN magnitude never displaces the current choice.
        std::size_t pivot_row = col;
        double best = std::fabs(A(col, col));
        for (std::size_t r = col + 1; r < d; ++r) {
            const double magnitude = std::fabs(A(r, col));
            if (magnitude > best) {
                best = magnitude;
                pivot_row = r;
            }
        }
        // A NaN best is not below the threshold: the elimination carries the
        // NaN on instead of calling the matrix singular.
        if (best < kPivotThreshold) return std::nullopt;
        if (pivot_row != col) {
            for (std::size_t c = 0; c < width; ++c) std::swap(A(pivot_row, c), A(col, c));
        }

        const double pivot = A(col, col);
        for (std::size_t c = 0; c < width; ++c) A(col, c) = A(col, c) / pivot;

        for (std::size_t r = 0; r < d; ++r) {
            if (r == col) continue;
            // Read once: the loop below overwrites A(r, col) on its way.
            const double factor = A(r, col);
            for (std::size_t c = 0; c < width; ++c) A(r, c) = A(r, c) - A(col, c) * factor;
        }
    }

    Matrix inverse(d, d);
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < d; ++c) inverse(r, c) = A(r, d + c);
    }
    return inverse;
}

double largest_stretch(const Matrix& J) {
    const std::size_t d = J.columns();
    const Matrix cauchy_green = transpose_product(J, J);

    std::vector<double> v(d, 1.0 / std::sqrt(static_cast<double>(d)));
    std::vector<double> w(d, 0.0);
    // A fixed number of passes and no convergence test: the result must not
    // depend on a tolerance that rounding could cross one way or the other.
    for (int pass = 0; pass < kPowerIterations; ++pass) {
        multiply(cauchy_green, v, w);
        double sum_of_squares = 0.0;
        for (std::size_t r = 0; r < d; ++r) sum_of_squares += w[r] * w[r];
        const double norm = std::sqrt(sum_of_squares);
        if (norm < kBreakdownNorm) return 0.0;  // a NaN norm carries on
        for (std::size_t r = 0; r < d; ++r) v[r] = w[r] / norm;
    }

    multiply(cauchy_green, v, w);
    double rayleigh = 0.0;
    for (std::size_t r = 0; r < d; ++r) rayleigh += w[r] * v[r];
    return rayleigh > 0.0 ? std::sqrt(rayleigh) : 0.0;
}

double fit_confidence(const Matrix& X, const Matrix& Y, const Matrix& B) {
    const std::size_t k = X.rows();
    const std::size_t d = X.columns();
    const std::size_t width = B.columns();
    double total = 0.0;     // sum of y^2: about zero, not about the mean
    double residual = 0.0;  // sum of (y - pred)^2
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t b = 0; b < width; ++b) {
            double predicted = 0.0;
            for (std::size_t c = 0; c < d; ++c) predicted += X(r, c) * B(c, b);
            const double y = Y(r, b);
            total += y * y;
            const double error = y - predicted;
            residual += error * error;
        }
    }
    return confidence_of(residual, total);
}

}  // namespace quorlin::dynamics

// ---------------------------------------------------------------------------
// Many fits side by side.

namespace quorlin::dynamics {
namespace {

using Lanes = double __attribute__((vector_size(8 * kFitLanes)));
using LaneFlags = std::int64_t __attribute__((vector_size(8 * kFitLanes)));
static_assert(kFitLanes == 8, "one vector of eight doubles");

// The lanes' X^T X and X^T Y in one pass over the rows: out holds, for
// a < d and b < 2d, the sum over rows r < rows[lane] of X(r, a) * Z(r, b),
// with Z = [X | Y], each summed from 0.0 in increasing r exactly as
// transpose_product does (layout [a][b][lane]). Rows past a lane's own
// count leave its sums untouched.
//
// This and the two functions below are compiled for several instruction
// sets (vector_clones.hpp).
QUORLIN_VECTOR_CLONES void lane_products(
    const double* tables, std::size_t n_rows, std::size_t d, const std::int64_t* lane_rows,
    double* out) {
    const std::size_t width = 2 * d;
    // Local arrays of vectors, aligned as this variant needs them (a
    // vector's alignment differs between the instruction sets).
    Lanes acc[kMaxFitLaneDimension * 2 * kMaxFitLaneDimension];
    for (std::size_t e = 0; e < d * width; ++e) acc[e] = Lanes{};
    LaneFlags counts;
    std::memcpy(&counts, lane_rows, sizeof counts);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const LaneFlags live = static_cast<std::int64_t>(r) < counts;
        const double* row = tables + r * width * kFitLanes;
        for (std::size_t a = 0; a < d; ++a) {
            Lanes xa;
            std::memcpy(&xa, row + a * kFitLanes, sizeof xa);
            for (std::size_t b = 0; b < width; ++b) {
                Lanes zb;
                std::memcpy(&zb, row + b * kFitLanes, sizeof zb);
                Lanes& sum = acc[a * width + b];
                const Lanes added = sum + xa * zb;
                sum = live ? added : sum;
            }
        }
    }
    std::memcpy(out, acc, d * width * sizeof(Lanes));
}

// largest_stretch for each lane whose flag is set, from its Cauchy-Green
// matrix C = J^T J (layout [r][c][lane]); out[lane] is its result.
QUORLIN_VECTOR_CLONES void lane_stretch(
    const double* cauchy_green, std::size_t d, const std::int64_t* active, double* out) {
    Lanes C[kMaxFitLaneDimension * kMaxFitLaneDimension];
    Lanes v[kMaxFitLaneDimension], w[kMaxFitLaneDimension];
    std::memcpy(C, cauchy_green, d * d * sizeof(Lanes));
    const double start = 1.0 / std::sqrt(static_cast<double>(d));
    for (std::size_t r = 0; r < d; ++r) v[r] = Lanes{} + start;
    LaneFlags broken = {};
    auto multiply = [&] {
        for (std::size_t r = 0; r < d; ++r) {
            Lanes sum = {};
            for (std::size_t c = 0; c < d; ++c) sum += C[r * d + c] * v[c];
            w[r] = sum;
        }
    };
    for (int pass = 0; pass < kPowerIterations; ++pass) {
        multiply();
        Lanes sum_of_squares = {};
        for (std::size_t r = 0; r < d; ++r) sum_of_squares += w[r] * w[r];
        double squares[kFitLanes], roots[kFitLanes];
        std::memcpy(squares, &sum_of_squares, sizeof squares);
        for (std::size_t l = 0; l < kFitLanes; ++l) roots[l] = std::sqrt(squares[l]);
        Lanes norm;
        std::memcpy(&norm, roots, sizeof norm);
        // A lane that breaks down has its answer, 0; what it computes after
        // that is never read.
        broken |= norm < kBreakdownNorm;
        for (std::size_t r = 0; r < d; ++r) v[r] = w[r] / norm;
    }
    multiply();
    Lanes rayleigh = {};
    for (std::size_t r = 0; r < d; ++r) rayleigh += w[r] * v[r];
    double quotients[kFitLanes];
    std::int64_t lane_broken[kFitLanes];
    std::memcpy(quotients, &rayleigh, sizeof quotients);
    std::memcpy(lane_broken, &broken, sizeof lane_broken);
    for (std::size_t l = 0; l < kFitLanes; ++l) {
        if (active[l] == 0) continue;
        out[l] = lane_broken[l] != 0 ? 0.0
                 : quotients[l] > 0.0 ? std::sqrt(quotients[l])
                                      : 0.0;
    }
}

// fit_confidence for each lane whose flag is set, from its rows and its map
// B (layout [c][b][lane]).
QUORLIN_VECTOR_CLONES void lane_confidence(
    const double* tables, std::size_t n_rows, std::size_t d, const std::int64_t* lane_rows,
    const double* maps, const std::int64_t* active, double* out) {
    const std::size_t width = 2 * d;
    Lanes B[kMaxFitLaneDimension * kMaxFitLaneDimension];
    std::memcpy(B, maps, d * d * sizeof(Lanes));
    LaneFlags counts;
    std::memcpy(&counts, lane_rows, sizeof counts);
    Lanes total = {};     // sum of y^2
    Lanes residual = {};  // sum of (y - pred)^2
    for (std::size_t r = 0; r < n_rows; ++r) {
        const LaneFlags live = static_cast<std::int64_t>(r) < counts;
        const double* row = tables + r * width * kFitLanes;
        for (std::size_t b = 0; b < d; ++b) {
            Lanes predicted = {};
            for (std::size_t c = 0; c < d; ++c) {
                Lanes xc;
                std::memcpy(&xc, row + c * kFitLanes, sizeof xc);
                predicted += xc * B[c * d + b];
            }
            Lanes y;
            std::memcpy(&y, row + (d + b) * kFitLanes, sizeof y);
            const Lanes with_total = total + y * y;
            total = live ? with_total : total;
            const Lanes error = y - predicted;
            const Lanes with_residual = residual + error * error;
            residual = live ? with_residual : residual;
        }
    }
    double totals[kFitLanes], residuals[kFitLanes];
    std::memcpy(totals, &total, sizeof totals);
    std::memcpy(residuals, &residual, sizeof residuals);
    for (std::size_t l = 0; l < kFitLanes; ++l) {
        if (active[l] == 0) continue;
        out[l] = confidence_of(residuals[l], totals[l]);
    }
}

}  // namespace

FitLanes::FitLanes(std::size_t d) : d_(d) {}

std::size_t FitLanes::add(std::size_t k) {
    const std::size_t lane = used_++;
    lane_rows_[lane] = k;
    if (k > rows_) {
        // k <= the rows of the trajectory, so k * 2d * 8 doubles is about
        // 16 copies of it at most.
        require_memory(k, 2 * d_ * kFitLanes * sizeof(double));
        rows_ = k;
        tables_.resize(rows_ * 2 * d_ * kFitLanes);
    }
    return lane;
}

std::vector<FitLanes::Fit> FitLanes::fit_all() {
    const std::size_t d = d_;
    std::int64_t lane_rows[kFitLanes] = {};
    for (std::size_t l = 0; l < used_; ++l) lane_rows[l] = static_cast<std::int64_t>(lane_rows_[l]);
    std::vector<double> products(d * 2 * d * kFitLanes);
    lane_products(tables_.data(), rows_, d, lane_rows, products.data());
    auto product = [&](std::size_t a, std::size_t b, std::size_t lane) {
        return products[(a * 2 * d + b) * kFitLanes + lane];
    };

    std::vector<Fit> fits(used_, Fit{false, 0.0, 0.0});
    std::vector<double> cauchy_green(d * d * kFitLanes, 0.0), maps(d * d * kFitLanes, 0.0);
    std::int64_t active[kFitLanes] = {};
    for (std::size_t l = 0; l < used_; ++l) {
        // fit_local_map, from the lane's sums.
        Matrix normal(d, d), cross(d, d);
        for (std::size_t a = 0; a < d; ++a) {
            for (std::size_t b = 0; b < d; ++b) {
                normal(a, b) = product(a, b, l);
                cross(a, b) = product(a, d + b, l);
            }
        }
        const auto normal_inverse = invert_gauss_jordan(normal);
        if (!normal_inverse) continue;
        Matrix map(d, d);
        for (std::size_t a = 0; a < d; ++a) {
            for (std::size_t b = 0; b < d; ++b) {
                double sum = 0.0;
                for (std::size_t c = 0; c < d; ++c) sum += (*normal_inverse)(a, c) * cross(c, b);
                map(a, b) = sum;
            }
        }
        // largest_stretch(map^T) starts from (map^T)^T map^T.
        const Matrix J = map.transposed();
        const Matrix C = transpose_product(J, J);
        for (std::size_t r = 0; r < d; ++r) {
            for (std::size_t c = 0; c < d; ++c) {
                cauchy_green[(r * d + c) * kFitLanes + l] = C(r, c);
                maps[(r * d + c) * kFitLanes + l] = map(r, c);
            }
        }
        active[l] = 1;
        fits[l].fitted = true;
    }

    double stretch[kFitLanes] = {}, confidence[kFitLanes] = {};
    lane_stretch(cauchy_green.data(), d, active, stretch);
    lane_confidence(tables_.data(), rows_, d, lane_rows, maps.data(), active, confidence);
    for (std::size_t l = 0; l < used_; ++l) {
        if (!fits[l].fitted) continue;
        fits[l].stretch = stretch[l];
        fits[l].confidence = confidence[l];
    }
    used_ = 0;
    rows_ = 0;
    return fits;
}

}  // namespace quorlin::dynamics
