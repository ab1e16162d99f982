// Two doubles, or two 64-bit lanes, in one 16-byte register (SSE2 on x86-64,
// NEON on AArch64): no instruction set beyond the baseline is assumed.
// Comparisons of Doubles2 give Lanes2 masks, all ones where they hold; a NaN
// never compares true.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorlin {

typedef double Doubles2 __attribute__((vector_size(16)));
typedef std::int64_t Lanes2 __attribute__((vector_size(16)));

// Two consecutive doubles from any address.
inline Doubles2 load2(const double* p) {
    Doubles2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace quorlin
