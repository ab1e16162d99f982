// The innermost loops of the local-linearization FTLE, per lane width: the
// ball scan of a group of anchors (ftle.cpp) and the fits of the group
// (local_map.cpp), on 4 anchors at a time, or 8 where the processor has
// AVX-512 (wide_lanes.hpp). Their bodies are one text
// (lane_kernel_bodies.hpp) compiled once per width and instruction set.
//
// No exception leaves these functions: a stop request or a scratch table
// that cannot be had is recorded in `failure`, and the caller throws it
// again (call_clone, vector_clones.hpp).
#pragma once

// (This header also brings everything those bodies use.)
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

namespace quorlin::dynamics {

// The rows that may lie in the ball of some anchor of a group (every row
// that does is among them), given as a range of rows or as the bits set in
// a range of words of a bitmap (bit j % 64 of word j / 64 for row j). A row
// whose bit is set in `inner` too lies within the radius of every anchor of
// the group, and needs no measuring. Both bitmaps are cleared as they are
// read.
struct Candidates {
    std::uint64_t* marks = nullptr;  // null: the rows of [begin, end)
    std::uint64_t* inner = nullptr;  // with marks
    std::size_t begin = 0;           // a row, or a word of the bitmaps
    std::size_t end = 0;
};

template <std::size_t W>
struct BallRows {
    std::size_t rows = 0;                      // rows written
    std::array<std::uint64_t, W> per_lane{};  // rows of each lane's ball
};

// The ball scan of a group of W anchors: it reads each candidate j in
// increasing order, measures its distance to the anchor of every lane
// (unless it is known to lie within the radius of all), and writes j with
// the mask of the lanes whose ball holds it (epsilon > dist(anchor, j) and j
// is not the anchor) to rows/masks when there is any. dist is compared
// through its square: epsilon > sqrt(s) exactly when s <= inside (see
// largest_square_at_most).
template <std::size_t W>
struct BallJob {
    const StridedPoints* trajectory;
    const double* anchor_rows;  // [c][lane]: the anchors' coordinates
    std::array<std::size_t, W> anchors;
    LaneMask used;  // lanes that hold an anchor
    double inside;
    Candidates candidates;
    std::size_t* rows;
    LaneMask* masks;
};

// 4 lanes, compiled for several instruction sets (lane_kernels.cpp).
BallRows<4> ball_rows_4(const BallJob<4>& job, Pacer& pacer, CapturedFailure& failure) noexcept;
std::array<LaneFit, 4> fit_group_4(const StridedPoints& trajectory, std::size_t horizon,
                                   const std::array<std::size_t, 4>& anchors, LaneMask active,
                                   FitRows neighbours, FitScratch& scratch, Pacer& pacer,
                                   CapturedFailure& failure) noexcept;

// 8 lanes, compiled for AVX-512 (wide_lane_kernels.cpp): to be called only
// when wide_lanes_available().
BallRows<8> ball_rows_8(const BallJob<8>& job, Pacer& pacer, CapturedFailure& failure) noexcept;
std::array<LaneFit, 8> fit_group_8(const StridedPoints& trajectory, std::size_t horizon,
                                   const std::array<std::size_t, 8>& anchors, LaneMask active,
                                   FitRows neighbours, FitScratch& scratch, Pacer& pacer,
                                   CapturedFailure& failure) noexcept;

// The entry points of width W, for callers written over the width. A width
// without entry points of its own has no specialization.
template <std::size_t W>
struct LaneKernels;
template <>
struct LaneKernels<4> {
    static constexpr auto ball_rows = &ball_rows_4;
    static constexpr auto fit_group = &fit_group_4;
};
template <>
struct LaneKernels<8> {
    static constexpr auto ball_rows = &ball_rows_8;
    static constexpr auto fit_group = &fit_group_8;
};

}  // namespace quorlin::dynamics
