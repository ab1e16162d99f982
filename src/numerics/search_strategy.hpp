// Which neighbour-search path the kernels take.
//
// Every search exists twice: the exhaustive scan in increasing index, which
// is the reference, and a fast exact search that must return the same
// answers to the last bit. The shipped module picks by problem size (the scan
// wins on small inputs). The test-only twins of the module are compiled with
// one path forced, so that tests can compare them on any input.
#pragma once

namespace quorlin {

enum class SearchStrategy { by_size, direct, fast };

#if defined(QUORLIN_FORCE_DIRECT_SEARCH)
inline constexpr SearchStrategy kSearchStrategy = SearchStrategy::direct;
#elif defined(QUORLIN_FORCE_FAST_SEARCH)
inline constexpr SearchStrategy kSearchStrategy = SearchStrategy::fast;
#else
inline constexpr SearchStrategy kSearchStrategy = SearchStrategy::by_size;
#endif

// Whether a search over `work` units (a problem-specific measure of the
// direct scan's cost) takes the fast path.
constexpr bool use_fast_search(double work, double switch_over) {
    if constexpr (kSearchStrategy == SearchStrategy::direct) return false;
    if constexpr (kSearchStrategy == SearchStrategy::fast) return true;
    return work >= switch_over;
}

}  // namespace quorlin
