// Functions whose loops work on several doubles at once are compiled for a
// few instruction sets and the best one the processor has is chosen when the
// module is loaded (GCC's target_clones, resolved through an ifunc), so that
// the module is built for the baseline architecture and still uses wide
// vectors where they exist.
//
// Only IEEE additions, subtractions, multiplications, divisions and
// comparisons of doubles are vectorised this way, each lane on its own,
// never a fused multiply-add (contraction is off) and never a reordered sum:
// every variant gives the same bits.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QUORLIN_VECTOR_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
#else
#define QUORLIN_VECTOR_CLONES
#endif
