// Counters of the paths a computation took, for tests that must know which
// one ran: an exact fast path and its reference give the same bits, so the
// results cannot tell, and timings are no proof.
//
// The counters exist only where QUORLIN_PATH_PROBES is defined, in a test
// driver's own build of the kernels (tests/native). Everywhere else, the
// shipped module included, taken() is empty and nothing is kept.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorlin::probes {

enum class Path : std::size_t {
    pair_scan,           // sample entropy: the diagonal scan of all pairs
    ranked_counting,     // sample entropy: ranking, no NaN sample
    ranked_with_holes,   // sample entropy: ranking, NaN samples settled apart
    closed_form,         // sample entropy: every pair matches (NaN tolerance)
    count
};

#if defined(QUORLIN_PATH_PROBES)
inline std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Path::count)>& counters() {
    static std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Path::count)> kept{};
    return kept;
}
inline void taken(Path path) { ++counters()[static_cast<std::size_t>(path)]; }
inline std::uint64_t times_taken(Path path) { return counters()[static_cast<std::size_t>(path)]; }
#else
inline void taken(Path) {}
#endif

}  // namespace quorlin::probes
