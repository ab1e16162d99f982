// The local-linearization kernels on 8 lanes, compiled for AVX-512
// (wide_lanes.hpp).
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
#include "common/wide_lanes.hpp"

// Everything above stays compiled for the baseline. The kernels' bodies, and
// every helper they inline, are defined below the target: GCC compiles
// them for AVX-512 (lane_kernel_bodies.hpp says why that matters). Clang
// compiles a function for the instruction set of the function it is inlined
// into, and needs only the attribute of the entry points.
#if QUORLIN_HAS_WIDE_LANES && !defined(__clang__)
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx512bw")
#endif

#include "dynamics/lane_kernel_bodies.hpp"

namespace quorlin::dynamics {

QUORLIN_WIDE_LANES BallRows<8> ball_rows_8(const BallJob<8>& job, Pacer& pacer,
                                       CapturedFailure& failure) noexcept {
    return ball_rows_of_any_dimension<8>(job, pacer, failure);
}

QUORLIN_WIDE_LANES std::array<LaneFit, 8> fit_group_8(
    const StridedPoints& trajectory, std::size_t horizon, const std::array<std::size_t, 8>& anchors,
    LaneMask active, FitRows neighbours, FitScratch& scratch, Pacer& pacer,
    CapturedFailure& failure) noexcept {
    return fit_group_of_any_dimension<8>(trajectory, horizon, anchors, active, neighbours, scratch,
                                          pacer, failure);
}

}  // namespace quorlin::dynamics

#if QUORLIN_HAS_WIDE_LANES && !defined(__clang__)
#pragma GCC pop_options
#endif
