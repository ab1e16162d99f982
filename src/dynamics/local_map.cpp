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
#include "dynamics/lane_kernels.hpp"

namespace quorlin::dynamics {
namespace {

// Below this magnitude a pivot column counts as empty. The threshold is
// absolute: a neighbourhood much smaller than 1e-6 in every direction makes
// X^T X "singular" however well conditioned it is.
constexpr double kPivotThreshold = 1e-12;

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

double* FitScratch::lane_cells(std::size_t count) {
    constexpr std::size_t kLine = 64;
    if (count > SIZE_MAX / sizeof(double) - kLine) throw std::bad_alloc();
    double* raw = grown(lane_cells_, count + kLine / sizeof(double));
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    return reinterpret_cast<double*>((address + kLine - 1) & ~std::uintptr_t{kLine - 1});
}

double* FitScratch::doubles(std::size_t count) { return grown(doubles_, count); }

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

template <std::size_t W>
std::array<LaneFit, W> fit_local_maps(const StridedPoints& trajectory, std::size_t horizon,
                                      const std::array<std::size_t, W>& anchors,
                                      LaneMask active, FitRows neighbours, FitScratch& scratch,
                                      Pacer& pacer) {
    if (active == 0 || trajectory.dim() == 0) return {};
    return call_clone(LaneKernels<W>::fit_group, trajectory, horizon, anchors, active, neighbours,
                      scratch, pacer);
}

template std::array<LaneFit, 4> fit_local_maps<4>(const StridedPoints&, std::size_t,
                                                  const std::array<std::size_t, 4>&, LaneMask,
                                                  FitRows, FitScratch&, Pacer&);
template std::array<LaneFit, 8> fit_local_maps<8>(const StridedPoints&, std::size_t,
                                                  const std::array<std::size_t, 8>&, LaneMask,
                                                  FitRows, FitScratch&, Pacer&);

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
