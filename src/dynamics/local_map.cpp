#include "dynamics/local_map.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "common/checked_math.hpp"
#include "common/memory.hpp"

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
    if (!(residual > 0.0 && total > 0.0)) return kUnscoredConfidence;
    double confidence = 1.0 - residual / total;
    // Rounding can leave the residual of a hopeless fit a little above the
    // total; a NaN (inf / inf) passes both tests unchanged.
    if (confidence < 0.0) confidence = 0.0;
    if (confidence > 1.0) confidence = 1.0;
    return confidence;
}

}  // namespace quorlin::dynamics
