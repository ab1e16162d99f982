// Eight lanes of doubles where the processor has AVX-512.
//
// The AVX-512 clone of QUORLIN_VECTOR_CLONES (vector_clones.hpp) is compiled
// for AVX-512F alone: the clone names that would add VL and DQ are refused
// by GCC 11 and dropped by Clang 14. Without them a comparison of 8-lane
// vectors runs lane by lane, and 8 lanes lose to 4. Kernels that gain from 8
// lanes therefore have a variant of their own compiled for F, VL, DQ and BW
// (QUORLIN_WIDE_LANES; with GCC, every helper they inline must be defined
// under that target too, as lane_kernel_bodies.hpp explains), which their
// caller picks when wide_lanes_available() says that the processor has them
// and the system saves their registers. A function so compiled is called
// only after that check, takes and returns no vector, and like a clone lets
// no exception out (vector_clones.hpp).
//
// Elsewhere (another architecture or compiler) such a variant is compiled
// for the baseline and never chosen.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && (!defined(__clang__) || __clang_major__ >= 14)
#define QUORLIN_WIDE_LANES [[gnu::target("avx512f,avx512vl,avx512dq,avx512bw")]]
#define QUORLIN_HAS_WIDE_LANES 1
#else
#define QUORLIN_WIDE_LANES
#define QUORLIN_HAS_WIDE_LANES 0
#endif

namespace quorlin {

// Whether this processor runs the QUORLIN_WIDE_LANES variants. (The
// compiler's runtime asks the processor once, and counts AVX-512 as present
// only when the system saves its registers.)
inline bool wide_lanes_available() {
#if QUORLIN_HAS_WIDE_LANES
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
    }();
    return available;
#else
    return false;
#endif
}

}  // namespace quorlin
