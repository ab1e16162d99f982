// Test driver (never shipped): sample entropy's pair counts, taken by the
// path that the shipped module picks by size, against the pair scan, on
// series with NaN samples at random places, in runs, and at the edges of the
// template ranges; with the path each count took recorded by the test-only
// path probes (this driver's own build of the counting kernels defines
// QUORLIN_PATH_PROBES).
//
//     counting_check SEED CASES
//
// prints one line per disagreement (and a summary) and exits with status 1 if
// there was any, or if a long series with a few NaN samples was not ranked:
// such series must not fall back to the quadratic scan.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/execution.hpp"
#include "common/path_probe.hpp"
#include "complexity/entropy.hpp"

using namespace quorlin;

namespace {

using Rng = std::mt19937_64;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::size_t below(Rng& rng, std::size_t n) { return n == 0 ? 0 : rng() % n; }

// Noise, ties (a few integer levels), a random walk, the logistic map.
std::vector<double> series(std::size_t family, std::size_t n, Rng& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    double v = 0.1 + 0.8 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    double walk = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        switch (family) {
            case 0: x[t] = normal(rng); break;
            case 1: x[t] = static_cast<double>(below(rng, 4)); break;
            case 2: x[t] = walk += normal(rng); break;
            default: x[t] = v = 4.0 * v * (1.0 - v); break;
        }
    }
    return x;
}

// NaN samples: a few at random, a run, and the edges of the templates of
// length m and m + 1 (the first sample, the last samples each range reads,
// the sample just past them).
void plant_holes(std::vector<double>& x, std::uint64_t m, Rng& rng) {
    const std::size_t n = x.size();
    const std::size_t count = 1 + below(rng, 4);
    for (std::size_t h = 0; h < count; ++h) x[below(rng, n)] = kNaN;
    const std::size_t edges[] = {0, n - 1, n - 2, n - m - 1, n - m - 2, static_cast<std::size_t>(m)};
    if (below(rng, 2) == 0) x[edges[below(rng, 6)] % n] = kNaN;
    if (below(rng, 4) == 0) {
        const std::size_t start = below(rng, n - 3);
        for (std::size_t t = start; t < start + 1 + below(rng, 3); ++t) x[t] = kNaN;
    }
    if (below(rng, 8) == 0) x[below(rng, n)] = below(rng, 2) ? kInf : -kInf;
}

double tolerance(const std::vector<double>& x, Rng& rng) {
    switch (below(rng, 5)) {
        case 0: return 0.5;
        case 1: return kInf;
        case 2: {  // exactly the difference of two samples: a match
            const double d = std::fabs(x[below(rng, x.size())] - x[below(rng, x.size())]);
            return std::isfinite(d) && d > 0.0 ? d : 1.0;
        }
        default: return 0.2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: counting_check SEED CASES\n");
        return 2;
    }
    Rng rng(std::strtoull(argv[1], nullptr, 10));
    const auto cases = std::strtoull(argv[2], nullptr, 10);
    const ExecutionContext uninterrupted;  // the driver runs everything to completion
    Pacer pacer(uninterrupted);
    std::size_t mismatches = 0;
    std::size_t scanned = 0;
    for (std::uint64_t c = 0; c < cases; ++c) {
        const std::uint64_t m = below(rng, 6);
        const std::size_t family = below(rng, 4);
        std::vector<double> x = series(family, 500 + below(rng, 3500), rng);
        plant_holes(x, m, rng);
        const double r = tolerance(x, rng);
        const auto ranked_before = probes::times_taken(probes::Path::ranked_with_holes);
        const auto got = complexity::template_matches(x, m, r, pacer);
        const bool ranked = probes::times_taken(probes::Path::ranked_with_holes) != ranked_before;
        const auto expected = complexity::count_template_matches(x, m, r, pacer);
        const std::string label = "case " + std::to_string(c) + " family " +
                                  std::to_string(family) + " n " + std::to_string(x.size()) +
                                  " m " + std::to_string(m) + " r " + std::to_string(r);
        if (got.a != expected.a || got.b != expected.b) {
            if (++mismatches <= 20) {
                std::printf("MISMATCH %s: A %llu, scan %llu; B %llu, scan %llu\n", label.c_str(),
                            static_cast<unsigned long long>(got.a),
                            static_cast<unsigned long long>(expected.a),
                            static_cast<unsigned long long>(got.b),
                            static_cast<unsigned long long>(expected.b));
            }
        }
        // From 2000 samples every m here is ranked by size; a handful of NaN
        // samples must not change that.
        if (x.size() >= 2000 && !ranked) {
            ++scanned;
            if (mismatches + scanned <= 20) std::printf("SCANNED %s\n", label.c_str());
        }
    }
    // A context watching a flag (as worker threads will) stops a count once
    // the flag is set, with Cancelled.
    std::atomic<bool> stop{true};
    const ExecutionContext stopping = ExecutionContext::watching(stop);
    Pacer stopped(stopping);
    bool cancelled = false;
    try {
        complexity::template_matches(series(0, 20000, rng), 2, 0.2, stopped);
    } catch (const Cancelled&) {
        cancelled = true;
    }
    if (!cancelled) std::printf("NOT STOPPED by a set flag\n");
    std::printf("%llu cases, %zu mismatches, %zu long series scanned; ranked with holes %llu, "
                "ranked %llu, scanned %llu\n",
                static_cast<unsigned long long>(cases), mismatches, scanned,
                static_cast<unsigned long long>(probes::times_taken(probes::Path::ranked_with_holes)),
                static_cast<unsigned long long>(probes::times_taken(probes::Path::ranked_counting)),
                static_cast<unsigned long long>(probes::times_taken(probes::Path::pair_scan)));
    return mismatches == 0 && scanned == 0 && cancelled ? 0 : 1;
}
