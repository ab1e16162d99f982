// Overflow-aware arithmetic on the unsigned 64-bit sizes that callers pass in.
//
// Lengths such as (m - 1) * tau or T + K + 10 come straight from user
// arguments and may be anywhere in [0, 2^64). A wrapped value would turn a
// hopeless request into a small, plausible one, so every such size is formed
// here and an overflow is reported as "no value" for the caller to treat as
// "longer than any series".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorlin {

// Wide enough for any product or sum of two 64-bit sizes.
__extension__ typedef unsigned __int128 uint128;

inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out;
    if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
    return out;
}

inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out;
    if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
    return out;
}

// a - b floored at zero.
inline std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) {
    return a > b ? a - b : 0;
}

// The span (m - 1) * tau of a delay embedding, or no value when it does not
// fit in 64 bits. m = 0 has no span (each caller gives that case its own
// meaning), so it also yields no value rather than a wrapped m - 1.
inline std::optional<std::uint64_t> embedding_span(std::uint64_t dimension, std::uint64_t delay) {
    if (dimension == 0) return std::nullopt;
    return checked_mul(dimension - 1, delay);
}

// Decimal text of an unsigned 128-bit value: messages must state required
// lengths such as 2^64 exactly, without wrap-around.
std::string to_decimal(uint128 value);

}  // namespace quorlin
