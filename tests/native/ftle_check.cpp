// Test driver (never shipped): runs both FTLE estimators on generated inputs
// with 1, 2, 3 and 7 worker threads and with anchor subsets, and compares
// every result to the last bit with the one-worker run of all anchors.
//
//     ftle_check SEED
//
// prints one line per disagreement (and a summary) and exits with status 1
// if there was any. The inputs reach every path of the kernels: the tree and
// the scans (a NaN keeps the tree out), balls and the fallback, the
// dimensions with compiled-in tables and the generic one, strided rows, and
// enough anchors for many tasks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/execution.hpp"
#include "dynamics/ftle.hpp"
#include "numerics/points.hpp"

using namespace quorlin;
using namespace quorlin::dynamics;

namespace {

using Rng = std::mt19937_64;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t failures = 0;
std::size_t checks = 0;

void fail(const std::string& what) {
    if (++failures <= 20) std::printf("MISMATCH %s\n", what.c_str());
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A chaotic flow (Lorenz, by Euler steps small enough to stay on the
// attractor): neighbouring anchors share most of their balls.
std::vector<double> lorenz_rows(std::size_t n) {
    std::vector<double> rows(3 * n);
    double x = 1.0, y = 1.0, z = 20.0;
    for (std::size_t t = 0; t < n + 500; ++t) {
        for (int s = 0; s < 4; ++s) {
            const double dx = 10.0 * (y - x), dy = x * (28.0 - z) - y, dz = x * y - 8.0 / 3.0 * z;
            x += 0.0025 * dx;
            y += 0.0025 * dy;
            z += 0.0025 * dz;
        }
        if (t >= 500) {
            rows[3 * (t - 500)] = x;
            rows[3 * (t - 500) + 1] = y;
            rows[3 * (t - 500) + 2] = z;
        }
    }
    return rows;
}

std::vector<double> noise(Rng& rng, std::size_t count) {
    std::normal_distribution<double> normal;
    std::vector<double> values(count);
    for (double& v : values) v = normal(rng);
    return values;
}

// Runs `estimate(context, subset)` and compares it with the one-worker run
// of every anchor: other worker counts must give the same bits; a subset
// must give the same bits at its anchors and the no-estimate values
// (`empty_first`, `empty_second`) everywhere else.
template <class Estimate>
void check_case(const std::string& name, Rng& rng, double empty_first, double empty_second,
                Estimate&& estimate) {
    const std::atomic<bool> never{false};
    const ExecutionContext one;
    const auto whole = estimate(one, AnchorSubset{});
    const std::size_t n = whole.first.size();
    for (const unsigned workers : {2u, 3u, 7u}) {
        ++checks;
        const auto run = estimate(ExecutionContext::watching(never, workers), AnchorSubset{});
        if (!same_bits(run.first, whole.first) || !same_bits(run.second, whole.second)) {
            fail(name + " with " + std::to_string(workers) + " workers");
        }
    }

    // A random half of the anchors (and entries past the end, which are
    // ignored), given in increasing order and, shuffled with repeats, in
    // any order; and a few anchors each on its own.
    std::vector<std::uint64_t> subset;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 2 == 0) subset.push_back(i);
    }
    subset.push_back(n + 5);
    std::vector<std::uint64_t> shuffled(subset);
    shuffled.insert(shuffled.end(), subset.begin(), subset.begin() + subset.size() / 3);
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    std::vector<std::vector<std::uint64_t>> subsets{subset, shuffled};
    for (int alone = 0; alone < 4 && n > 0; ++alone) subsets.push_back({rng() % n});
    for (std::size_t s = 0; s < subsets.size(); ++s) {
        ++checks;
        const unsigned workers = s % 2 == 0 ? 3u : 1u;
        const auto run = estimate(ExecutionContext::watching(never, workers),
                                  AnchorSubset{std::span<const std::uint64_t>(subsets[s])});
        std::vector<bool> listed(n, false);
        for (const std::uint64_t i : subsets[s]) {
            if (i < n) listed[i] = true;
        }
        bool same = run.first.size() == n && run.second.size() == n;
        for (std::size_t i = 0; same && i < n; ++i) {
            same = listed[i] ? same_bits(run.first[i], whole.first[i]) &&
                                   same_bits(run.second[i], whole.second[i])
                             : same_bits(run.first[i], empty_first) &&
                                   same_bits(run.second[i], empty_second);
        }
        if (!same) fail(name + " with anchor subset " + std::to_string(s));
    }
}

void check_local_linearization(const std::string& name, const std::vector<double>& values,
                               std::size_t n, std::size_t d, bool transposed, Rng& rng) {
    // Row-major, or column-major as a transposed array is read.
    const StridedPoints trajectory{
        reinterpret_cast<const unsigned char*>(values.data()), n, d,
        static_cast<std::ptrdiff_t>((transposed ? 1 : d) * sizeof(double)),
        static_cast<std::ptrdiff_t>((transposed ? n : 1) * sizeof(double))};
    struct Parameters {
        std::uint64_t horizon, n_neighbors;
        std::optional<double> epsilon;
    };
    for (const Parameters& p : {Parameters{10, 10, std::nullopt}, Parameters{3, 12, 0.05},
                                Parameters{1, 0, 0.5}}) {
        check_case(name + " local T=" + std::to_string(p.horizon), rng, kNaN, 0.0,
                   [&](const ExecutionContext& context, AnchorSubset anchors) {
                       LocalLinearizationFtle r = ftle_local_linearization(
                           trajectory, p.horizon, p.n_neighbors, p.epsilon, context, anchors);
                       return std::pair{r.ftle_values, r.confidence};
                   });
    }
}

void check_direct_perturbation(const std::string& name, const std::vector<double>& signal,
                               Rng& rng) {
    check_case(name + " direct", rng, 0.0, 0.0,
               [&](const ExecutionContext& context, AnchorSubset anchors) {
                   DirectPerturbationFtle r =
                       ftle_direct_perturbation(signal, 3, 2, 10, context, anchors);
                   return std::pair{r.ftle_values, r.jacobian_norms};
               });
}

// A context that asks to stop from its `at`-th look on.
struct StopAt {
    std::size_t at;
    mutable std::size_t looks = 0;
};

bool stop_at(const void* state) {
    const auto* stop = static_cast<const StopAt*>(state);
    return ++stop->looks >= stop->at;
}

// A stop requested at each look of a call in turn must end the call with
// Cancelled wherever the look falls, the vector clones included (an
// exception that left one of those ended the process in std::terminate).
void check_stops(const std::string& name, const StridedPoints& trajectory, std::size_t n_neighbors,
                 std::optional<double> epsilon) {
    for (std::size_t at = 1;; ++at) {
        ++checks;
        const StopAt stop{at};
        const ExecutionContext context(stop_at, &stop);
        try {
            ftle_local_linearization(trajectory, 10, n_neighbors, epsilon, context, AnchorSubset{});
        } catch (const Cancelled&) {
            continue;
        } catch (...) {
            fail(name + ": not Cancelled at look " + std::to_string(at));
        }
        if (at < 20) fail(name + ": only " + std::to_string(at) + " looks");
        break;
    }
    // And on three workers, stopped from another thread after a growing
    // delay, as an interrupt stops a threaded call.
    for (int round = 0; round < 40; ++round) {
        ++checks;
        std::atomic<bool> flag{false};
        std::thread stopper([&flag, round] {
            std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
            flag.store(true, std::memory_order_relaxed);
        });
        try {
            ftle_local_linearization(trajectory, 10, n_neighbors, epsilon,
                                     ExecutionContext::watching(flag, 3), AnchorSubset{});
        } catch (const Cancelled&) {
        } catch (...) {
            fail(name + ": not Cancelled on three workers");
        }
        stopper.join();
    }
}

}  // namespace

int main(int argc, char** argv) {
    Rng rng(argc > 1 ? std::stoull(argv[1]) : 1);

    const std::vector<double> flow = lorenz_rows(1500);
    check_local_linearization("lorenz", flow, 1500, 3, false, rng);
    // Stopped in the fits, and (a NaN row keeping the tree out, balls too
    // small to fit) in the scans for the balls.
    check_stops("lorenz stopped", StridedPoints{reinterpret_cast<const unsigned char*>(flow.data()),
                                                1500, 3, 3 * sizeof(double), sizeof(double)},
                10, std::nullopt);
    std::vector<double> scanned = noise(rng, 6000 * 3);
    scanned[3 * 3000] = kNaN;
    check_stops("scans stopped", StridedPoints{reinterpret_cast<const unsigned char*>(scanned.data()),
                                               6000, 3, 3 * sizeof(double), sizeof(double)},
                0, 1e-9);
    std::vector<double> x(1500);
    for (std::size_t t = 0; t < x.size(); ++t) x[t] = flow[3 * t];
    check_direct_perturbation("lorenz", x, rng);

    for (const std::size_t d : {1, 2, 5}) {
        const std::size_t n = 1800 / d;
        check_local_linearization("noise d=" + std::to_string(d), noise(rng, n * d), n, d, d == 2,
                                  rng);
    }
    std::vector<double> holed = noise(rng, 700 * 3);
    holed[3 * 350 + 1] = kNaN;  // no tree: the scans
    check_local_linearization("noise with NaN", holed, 700, 3, false, rng);

    check_direct_perturbation("noise", noise(rng, 3500), rng);
    std::vector<double> gap = noise(rng, 2500);
    gap[1234] = kNaN;
    check_direct_perturbation("noise with NaN", gap, rng);

    std::printf("%zu checks, %zu mismatches\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
