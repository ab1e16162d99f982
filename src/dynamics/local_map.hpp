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

}  // namespace quorlin::dynamics
