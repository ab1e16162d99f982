// The local-linearization kernels on 8 lanes, compiled for AVX-512
// (wide_lanes.hpp).
#include "dynamics/lane_kernels.hpp"

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

QUORLIN_LANE_KERNELS(8, QUORLIN_WIDE_LANES)

#if QUORLIN_HAS_WIDE_LANES && !defined(__clang__)
#pragma GCC pop_options
#endif
