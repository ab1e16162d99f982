// Side-by-side lanes of the local-linearization FTLE: kFitLanes anchors
// processed at once, one per lane of a vector of doubles.
//
// Only lane-wise IEEE operations are used on these vectors (additions,
// subtractions, multiplications, divisions, comparisons and selections), so
// each lane computes exactly what one anchor on its own would, bit for bit.
// The functions that loop over them are compiled for several instruction
// sets (vector_clones.hpp); vectors never cross a call between such
// functions (their calling convention differs between the sets), and arrays
// of them in memory are either read and written through memcpy or start on
// a cache line (their alignment differs too: the baseline gives a vector
// less than the width the AVX clones assume).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The helpers below take and return vectors; they are always inlined into
// their callers, so the calling convention GCC warns about never applies.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace quorlin::dynamics {

inline constexpr std::size_t kFitLanes = 4;

// The lanes a row belongs to: byte l is 0xFF when it belongs to lane l, 0
// when it does not.
using LaneMask = std::uint32_t;
static_assert(sizeof(LaneMask) == kFitLanes, "one byte per lane");

inline constexpr LaneMask lane_bit(std::size_t lane) { return LaneMask{0xFF} << (8 * lane); }

using Lanes = double __attribute__((vector_size(8 * kFitLanes)));
using LaneFlags = std::int64_t __attribute__((vector_size(8 * kFitLanes)));
using LaneBytes = std::int8_t __attribute__((vector_size(kFitLanes)));

[[gnu::always_inline]] inline Lanes broadcast(double value) { return Lanes{} + value; }

// All bits set in the lanes of the mask, none in the others.
[[gnu::always_inline]] inline LaneFlags flags_of(LaneMask mask) {
    LaneBytes bytes;
    std::memcpy(&bytes, &mask, sizeof bytes);
    return __builtin_convertvector(bytes, LaneFlags);
}

// The mask of the lanes whose flags are set (each flag 0 or -1).
[[gnu::always_inline]] inline LaneMask mask_of(LaneFlags flags) {
    const LaneBytes bytes = __builtin_convertvector(flags, LaneBytes);
    LaneMask mask;
    std::memcpy(&mask, &bytes, sizeof mask);
    return mask;
}

[[gnu::always_inline]] inline Lanes load_lanes(const double* from) {
    Lanes v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store_lanes(double* to, Lanes v) { std::memcpy(to, &v, sizeof v); }

}  // namespace quorlin::dynamics
