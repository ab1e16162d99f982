// The per-anchor numerics of the local-linearization FTLE: the least-squares
// linear map between neighbour displacements, its largest stretching factor
// and the score of the fit.
//
// Everything is plain dense linear algebra written out loop by loop, without
// a linear-algebra library: each sum starts at 0.0 and adds its terms in the
// order of the loop indices, so the results are reproducible to the last bit
// and do not depend on a BLAS's blocking or vector width.
//
// Fits run W anchors side by side, one anchor per vector lane: 4, or 8
// where the processor has AVX-512 (lane_kernels.hpp). Every sum of a fit is
// a chain of additions that must stay in its order, and a single fit would
// leave the processor waiting on each link; the lanes fill that time. Each
// lane performs exactly the operations of one fit, in its order, and never
// looks at another lane, so an anchor's results have the same bits
// whichever anchors share its group (or none), at either width.
//
// The displacement tables X and Y are never built: each neighbour row is
// read from the trajectory where the sums need it, once for the normal
// equations and once for the score.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/execution.hpp"
#include "numerics/lanes.hpp"
#include "numerics/points.hpp"

namespace quorlin::dynamics {

// The neighbour rows of a group of fits, in the order in which their terms
// enter every sum: row rows[r] is a neighbour of the lanes set in masks[r].
// Each lane sees the rows that carry its bit, in the order listed, and no
// other.
struct FitRows {
    std::span<const std::size_t> rows;
    std::span<const LaneMask> masks;
};

struct LaneFit {
    bool fitted = false;      // false when X^T X counted as singular (or the lane was idle)
    double stretch = 0.0;     // largest stretching factor; 0 when the power iteration broke down
    double confidence = 0.0;  // the fit's score
};

// Working memory of the fits: grown on first use and reused, so that a
// thread allocates it once per computation. A dimension of many coordinates
// needs O(d^2) of it.
class FitScratch {
public:
    // At least `count` doubles each, the first on a cache line; throw
    // std::bad_alloc when they cannot be had. A call may move what an
    // earlier call returned.
    double* lane_cells(std::size_t count);
    double* doubles(std::size_t count);

private:
    std::vector<double> lane_cells_;  // with room to align them
    std::vector<double> doubles_;
};

// The local linear maps of the lanes set in `active` (W of 4 or 8, the
// instantiations below): lane l fits anchor row
// anchors[l] to its neighbour rows of `neighbours` (their displacements from
// the anchor, and the same displacements `horizon` rows later), and returns
// whether X^T X was invertible, the largest stretching factor of J = B^T and
// the confidence of the fit. Lanes not in `active` are left unfitted (their
// anchors must still be rows of the trajectory). Every neighbour row and
// every anchor must have an image row `horizon` rows later.
//
// Throws std::bad_alloc when a large dimension's tables cannot be had, and
// Cancelled when the pacer's context says stop.
template <std::size_t W>
std::array<LaneFit, W> fit_local_maps(const StridedPoints& trajectory, std::size_t horizon,
                                      const std::array<std::size_t, W>& anchors,
                                      LaneMask active, FitRows neighbours, FitScratch& scratch,
                                      Pacer& pacer);

extern template std::array<LaneFit, 4> fit_local_maps<4>(const StridedPoints&, std::size_t,
                                                         const std::array<std::size_t, 4>&,
                                                         LaneMask, FitRows, FitScratch&, Pacer&);
extern template std::array<LaneFit, 8> fit_local_maps<8>(const StridedPoints&, std::size_t,
                                                         const std::array<std::size_t, 8>&,
                                                         LaneMask, FitRows, FitScratch&, Pacer&);

// The map of one lane from its sums, as fit_local_map builds it: G = X^T X
// (row-major, symmetric), its inverse, H = X^T Y, B = G^-1 H; then the
// Cauchy-Green tensor C = J^T J for J = B^T. `work` holds 3 d^2 doubles.
// False when G counts as singular.
bool map_of_lane(const double* G, const double* H, std::size_t d, double* B, double* C,
                 double* work);

// The inverse of the d x d matrix M (row-major) by Gauss-Jordan elimination
// with partial pivoting, written to `inverse`; false when a pivot column's
// largest remaining magnitude is below an absolute threshold (local_map.cpp).
// `augmented` holds d x 2d doubles of working space.
bool invert_gauss_jordan(const double* M, std::size_t d, double* inverse, double* augmented);

}  // namespace quorlin::dynamics
