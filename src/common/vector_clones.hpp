// Functions whose loops work on several doubles at once are compiled for a
// few instruction sets and the best one the processor has is chosen when the
// module is loaded (target_clones, resolved through an ifunc), so that the
// module is built for the baseline architecture and still uses wide vectors
// where they exist.
//
// Only IEEE additions, subtractions, multiplications, divisions and
// comparisons of doubles are vectorised this way, each lane on its own,
// never a fused multiply-add (contraction is off) and never a reordered sum:
// every variant gives the same bits.
//
// The clones need an ifunc, which only glibc's dynamic loader resolves (musl
// has none, so Alpine builds take the baseline path), and a compiler that
// emits them: GCC, and Clang from version 14. Elsewhere the functions are
// compiled once, for the baseline.
//
// No exception may leave a clone. GCC (11 and 12 at least) takes a call of a
// target_clones function for a call that cannot throw, and gives the
// caller's unwind tables no entry for it: an exception thrown inside (a stop
// request from the pacer, an allocation failure) then finds no handler, and
// the process ends in std::terminate whatever catch blocks wait further up.
// A clone that can throw therefore catches everything itself, records it in
// a CapturedFailure (captured_failure.hpp) and returns; a plain function
// around it throws it again, on the caller's side, where the tables are
// right (call_clone below). Clones that only compute (no pacer, no
// allocation) need none of it.
#pragma once

#include <utility>

#include "common/captured_failure.hpp"

#if defined(__has_include)
#if __has_include(<features.h>)
#include <features.h>  // defines __GLIBC__ on glibc only
#endif
#endif

#if defined(__x86_64__) && defined(__GLIBC__) && defined(__ELF__) && \
    (!defined(__clang__) || __clang_major__ >= 14)
#define QUORLIN_VECTOR_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
#else
#define QUORLIN_VECTOR_CLONES
#endif

namespace quorlin {

// Calls clone(args..., failure) and throws here, outside the clone, what it
// caught and recorded in `failure`.
template <class Clone, class... Args>
auto call_clone(Clone clone, Args&&... args) {
    CapturedFailure failure;
    auto result = clone(std::forward<Args>(args)..., failure);
    if (!failure.empty()) failure.rethrow();
    return result;
}

}  // namespace quorlin
