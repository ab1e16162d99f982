// The local-linearization kernels on 4 lanes, compiled for several
// instruction sets (vector_clones.hpp).
#include "dynamics/lane_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "common/captured_failure.hpp"
#include "common/checked_math.hpp"
#include "common/execution.hpp"
#include "dynamics/local_map.hpp"
#include "numerics/lanes.hpp"
#include "numerics/points.hpp"
#include "common/vector_clones.hpp"

// Last, after everything it needs (see there).
#include "dynamics/lane_kernel_bodies.hpp"

namespace quorlin::dynamics {

QUORLIN_VECTOR_CLONES BallRows<4> ball_rows_4(const BallJob<4>& job, Pacer& pacer,
                                       CapturedFailure& failure) noexcept {
    return ball_rows_of_any_dimension<4>(job, pacer, failure);
}

QUORLIN_VECTOR_CLONES std::array<LaneFit, 4> fit_group_4(
    const StridedPoints& trajectory, std::size_t horizon, const std::array<std::size_t, 4>& anchors,
    LaneMask active, FitRows neighbours, FitScratch& scratch, Pacer& pacer,
    CapturedFailure& failure) noexcept {
    return fit_group_of_any_dimension<4>(trajectory, horizon, anchors, active, neighbours, scratch,
                                          pacer, failure);
}

}  // namespace quorlin::dynamics
