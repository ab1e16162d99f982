// The per-anchor numerics of the local-linearization FTLE: the least-squares
// linear map between neighbour displacements, its largest stretching factor
// and the score of the fit.
//
// Everything is plain dense linear algebra written out loop by loop, without
// a linear-algebra library: each sum starts at 0.0 and adds its terms in the
// order of the loop indices, so the results are reproducible to the last bit
// and do not depend on a BLAS's blocking or vector width.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace quorlin::dynamics {

// A small dense matrix, zero-filled, stored row-major in one flat buffer.
class Matrix {
public:
    // Throws std::bad_alloc when rows * columns values cannot be held.
    Matrix(std::size_t rows, std::size_t columns);

    std::size_t rows() const { return rows_; }
    std::size_t columns() const { return columns_; }
    double& operator()(std::size_t r, std::size_t c) { return cells_[r * columns_ + c]; }
    double operator()(std::size_t r, std::size_t c) const { return cells_[r * columns_ + c]; }

    Matrix transposed() const;

private:
    std::size_t rows_;
    std::size_t columns_;
    std::vector<double> cells_;
};

// The d x d matrix B with Y ~ X B in the least-squares sense, from the normal
// equations B = (X^T X)^-1 X^T Y, for k x d displacement tables X and Y
// (k >= d + 1). No value when X^T X counts as singular.
std::optional<Matrix> fit_local_map(const Matrix& X, const Matrix& Y);

// The inverse of a square matrix by Gauss-Jordan elimination with partial
// pivoting, or no value when a pivot column's largest remaining magnitude is
// below the absolute threshold 1e-12.
std::optional<Matrix> invert_gauss_jordan(const Matrix& M);

// The largest singular value of J from 200 power iterations on J^T J and a
// final Rayleigh quotient; 0 when the iteration breaks down (|C v| < 1e-15)
// or the quotient is not positive.
double largest_stretch(const Matrix& J);

// 1 - S_res / S_tot clamped to [0, 1], with S_tot the plain sum of squares of
// Y; 0.5 when either sum is not positive (a perfect fit, an all-zero Y) or
// NaN.
double fit_confidence(const Matrix& X, const Matrix& Y, const Matrix& B);

// ---------------------------------------------------------------------------
// Many fits side by side.
//
// Every sum above is a chain of additions that must stay in its order, and a
// single fit leaves the processor waiting on each link. FitLanes runs the
// fits of up to kFitLanes anchors at once, one anchor per vector lane: each
// lane performs exactly the operations of the functions above, in their
// order, so every result has the same bits, while the lanes fill the
// waiting time.

inline constexpr std::size_t kFitLanes = 8;
inline constexpr std::size_t kMaxFitLaneDimension = 4;

class FitLanes {
public:
    // Fits of d x d maps, 1 <= d <= kMaxFitLaneDimension.
    explicit FitLanes(std::size_t d);

    std::size_t used() const { return used_; }
    bool full() const { return used_ == kFitLanes; }

    // Takes the next lane for an anchor with k displacement rows (k > d);
    // its X and Y rows are then written through x() and y().
    std::size_t add(std::size_t k);
    double& x(std::size_t lane, std::size_t r, std::size_t c) {
        return tables_[(r * 2 * d_ + c) * kFitLanes + lane];
    }
    double& y(std::size_t lane, std::size_t r, std::size_t c) {
        return tables_[(r * 2 * d_ + d_ + c) * kFitLanes + lane];
    }

    struct Fit {
        bool fitted;        // false when X^T X counted as singular
        double stretch;     // largest_stretch of the map's transpose
        double confidence;  // fit_confidence of the map
    };
    // The fit of every lane in use, as fit_local_map, largest_stretch and
    // fit_confidence give it; then every lane is free again.
    std::vector<Fit> fit_all();

private:
    std::size_t d_;
    std::size_t used_ = 0;
    std::size_t rows_ = 0;             // rows held, the most of any lane
    std::size_t lane_rows_[kFitLanes] = {};
    std::vector<double> tables_;       // [row][X columns, Y columns][lane]
};

}  // namespace quorlin::dynamics
