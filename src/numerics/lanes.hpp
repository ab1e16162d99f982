// Lanes: independent computations that run side by side, one per lane of a
// vector of doubles, or a single one in a plain double.
//
// A kernel written once against a lane type L (double, DoubleLanes<W>, or a
// LanePair of those) uses only lane-wise IEEE operations on it: +, -, *, /
// (with a double operand applied to every lane), comparisons, and
// select(condition, a, b). Each lane then computes exactly what the scalar
// instantiation computes for its own data, bit for bit, so the wide
// instantiation is the throughput path and the scalar one the remainder,
// with one text for both. What is not lane-wise (a square root, a branch on
// one lane's value) goes through lane_at.
//
// A vector wider than the instruction set's registers is spilled to memory
// on every operation; a LanePair of two register-wide vectors is kept in
// registers instead, and gives two independent chains of operations.
//
// Functions that loop over wide lanes may be compiled for several
// instruction sets (vector_clones.hpp). Vectors never cross a call between
// such functions (their calling convention differs between the sets): the
// helpers here are always inlined. Arrays of them in memory are read and
// written through memcpy or start on a cache line, since their alignment
// differs too (the baseline gives a vector less than the width the AVX
// clones assume).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// The helpers below take and return vectors; they are always inlined into
// their callers, so the calling convention GCC and Clang warn about (at the
// definitions for GCC, at every call for Clang) never applies. Ignored for
// the rest of the unit, which is where Clang's calls are.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace quorlin {

// W doubles in one vector. (The attribute is declared inside a class
// template: GCC drops it from an alias template.)
template <std::size_t W>
struct DoubleLanesOf {
    typedef double type __attribute__((vector_size(sizeof(double) * W)));
};
template <std::size_t W>
using DoubleLanes = typename DoubleLanesOf<W>::type;

// W 64-bit integers in one vector: what comparing two DoubleLanes<W> gives.
template <std::size_t W>
struct Int64LanesOf {
    typedef std::int64_t type __attribute__((vector_size(sizeof(std::int64_t) * W)));
};

// Two lane types side by side as one: lanes 0 .. n-1 are those of `low`,
// the next n those of `high`. The operations apply to both halves.
template <class V>
struct LanePair {
    V low;
    V high;
};

template <class V>
struct IsLanePair : std::false_type {};
template <class V>
struct IsLanePair<LanePair<V>> : std::true_type {};

// How many computations a lane type carries: 1 for double.
template <class L>
inline constexpr std::size_t kLaneCount = sizeof(L) / sizeof(double);

#define QUORLIN_LANE_PAIR_OPERATOR(op)                                                          \
    template <class V>                                                                          \
    [[gnu::always_inline]] inline auto operator op(const LanePair<V>& a, const LanePair<V>& b) { \
        return LanePair<decltype(a.low op b.low)>{a.low op b.low, a.high op b.high};           \
    }                                                                                           \
    template <class V>                                                                          \
    [[gnu::always_inline]] inline LanePair<V> operator op(const LanePair<V>& a, double b) {     \
        return {a.low op b, a.high op b};                                                       \
    }                                                                                           \
    template <class V>                                                                          \
    [[gnu::always_inline]] inline LanePair<V> operator op(double a, const LanePair<V>& b) {     \
        return {a op b.low, a op b.high};                                                       \
    }
QUORLIN_LANE_PAIR_OPERATOR(+)
QUORLIN_LANE_PAIR_OPERATOR(-)
QUORLIN_LANE_PAIR_OPERATOR(*)
QUORLIN_LANE_PAIR_OPERATOR(/)
#undef QUORLIN_LANE_PAIR_OPERATOR

template <class V>
[[gnu::always_inline]] inline LanePair<V>& operator+=(LanePair<V>& a, const LanePair<V>& b) {
    a.low += b.low;
    a.high += b.high;
    return a;
}

template <class V>
[[gnu::always_inline]] inline auto operator<(const LanePair<V>& a, const LanePair<V>& b) {
    return LanePair<decltype(a.low < b.low)>{a.low < b.low, a.high < b.high};
}

template <class V>
[[gnu::always_inline]] inline auto operator>(const LanePair<V>& a, const LanePair<V>& b) {
    return b < a;
}

// Per lane: a where the condition holds, b elsewhere. The condition is a
// bool for double, a comparison's result for vectors and pairs.
[[gnu::always_inline]] inline double select(bool condition, double a, double b) {
    return condition ? a : b;
}

template <class M, class V>
    requires(!IsLanePair<V>::value && !std::is_same_v<V, double>)
[[gnu::always_inline]] inline V select(M condition, V a, V b) {
    return condition ? a : b;
}

template <class M, class V>
[[gnu::always_inline]] inline LanePair<V> select(const LanePair<M>& condition,
                                                 const LanePair<V>& a, const LanePair<V>& b) {
    return {select(condition.low, a.low, b.low), select(condition.high, a.high, b.high)};
}

// Every lane set to `value`.
template <class L>
[[gnu::always_inline]] inline L lanes_of(double value) {
    if constexpr (std::is_same_v<L, double>) {
        return value;
    } else if constexpr (IsLanePair<L>::value) {
        using V = decltype(L::low);
        return {lanes_of<V>(value), lanes_of<V>(value)};
    } else {
        return L{} + value;
    }
}

// Lane l holds from[l * stride]: the same position in kLaneCount<L>
// consecutive records of `stride` doubles.
template <class L, std::size_t... I>
[[gnu::always_inline]] inline L gather_lanes(const double* from, std::size_t stride,
                                             std::index_sequence<I...>) {
    return L{from[I * stride]...};
}

template <class L>
[[gnu::always_inline]] inline L gather_lanes(const double* from, std::size_t stride) {
    if constexpr (std::is_same_v<L, double>) {
        return *from;
    } else if constexpr (IsLanePair<L>::value) {
        using V = decltype(L::low);
        return {gather_lanes<V>(from, stride), gather_lanes<V>(from + kLaneCount<V> * stride, stride)};
    } else {
        return gather_lanes<L>(from, stride, std::make_index_sequence<kLaneCount<L>>{});
    }
}

template <class L>
[[gnu::always_inline]] inline double lane_at(const L& v, std::size_t l) {
    if constexpr (std::is_same_v<L, double>) {
        return v;
    } else if constexpr (IsLanePair<L>::value) {
        constexpr std::size_t half = kLaneCount<decltype(L::low)>;
        return l < half ? lane_at(v.low, l) : lane_at(v.high, l - half);
    } else {
        return v[l];
    }
}

// The correctly rounded square root of every lane.
template <class L>
[[gnu::always_inline]] inline L lane_sqrt(L v) {
    if constexpr (std::is_same_v<L, double>) {
        return std::sqrt(v);
    } else {
        L root;
        for (std::size_t l = 0; l < kLaneCount<L>; ++l) root[l] = std::sqrt(v[l]);
        return root;
    }
}

// The baseline register: two doubles, or two 64-bit masks, in 16 bytes
// (SSE2 on x86-64, NEON on AArch64), for loops that must assume no wider
// instruction set. Comparisons of Doubles2 give Lanes2 masks, all ones where
// they hold; a NaN never compares true.
using Doubles2 = DoubleLanes<2>;
typedef std::int64_t Lanes2 __attribute__((vector_size(16)));

// Two consecutive doubles from any address.
[[gnu::always_inline]] inline Doubles2 load2(const double* p) {
    Doubles2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// kLaneCount<L> consecutive doubles from any address, and back.
template <class L>
[[gnu::always_inline]] inline L load_lanes(const double* from) {
    L v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

template <class L>
[[gnu::always_inline]] inline void store_lanes(double* to, L v) {
    std::memcpy(to, &v, sizeof v);
}

namespace dynamics {

// The lanes a row of a group of anchors belongs to (the local-linearization
// FTLE): bit l is set when it belongs to lane l.
using LaneMask = std::uint32_t;

inline constexpr LaneMask lane_bit(std::size_t lane) { return LaneMask{1} << lane; }

}  // namespace dynamics
}  // namespace quorlin
