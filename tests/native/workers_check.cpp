// Test driver (never shipped): the kernels that split their work into tasks
// give the same bits with 1, 2, 3 and 7 workers, on generated series.
//
//     workers_check SEED
//
// prints one line per disagreement and exits with status 1 if there was any.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/execution.hpp"
#include "common/worker_team.hpp"
#include "complexity/entropy.hpp"
#include "complexity/hurst.hpp"
#include "dynamics/lyapunov.hpp"
#include "embedding/delay.hpp"
#include "numerics/kd_tree.hpp"
#include "numerics/points.hpp"

using namespace quorlin;

namespace {

using Rng = std::mt19937_64;

// Noise, a few integer levels (ties), the logistic map.
std::vector<double> series(std::size_t family, std::size_t n, Rng& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    double v = 0.1 + 0.8 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    for (double& sample : x) {
        switch (family) {
            case 0: sample = normal(rng); break;
            case 1: sample = static_cast<double>(rng() % 4); break;
            default: sample = v = 4.0 * v * (1.0 - v); break;
        }
    }
    return x;
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::size_t failures = 0;

// Runs compute(context) with each worker count and compares the bits of the
// results with those of one worker.
template <class Compute>
void check(const std::string& label, Compute&& compute) {
    const std::atomic<bool> never{false};
    std::uint64_t reference = 0;
    for (const unsigned workers : {1u, 2u, 3u, 7u}) {
        // As the threaded module runs a call: one team for all its phases.
        WorkerTeam team;
        const std::uint64_t got = compute(ExecutionContext::watching(never, workers).with_team(&team));
        if (workers == 1) {
            reference = got;
        } else if (got != reference) {
            ++failures;
            std::printf("MISMATCH %s with %u workers: %llx, one worker %llx\n", label.c_str(),
                        workers, static_cast<unsigned long long>(got),
                        static_cast<unsigned long long>(reference));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: workers_check SEED\n");
        return 2;
    }
    Rng rng(std::strtoull(argv[1], nullptr, 10));
    // Sample entropy: the pair scan (short series, or many NaN samples), the
    // cell groups, and the sweep of pairs of samples (long series).
    for (const std::size_t n : {700, 20000, 140000}) {
        for (std::size_t family = 0; family < (n > 100000 ? 1 : 3); ++family) {
            std::vector<double> x = series(family, n, rng);
            // A NaN sample makes the default tolerance NaN, under which every
            // pair matches without any counting: such series get one of their
            // own, so that they reach the ranking and its settling of holes.
            std::optional<double> r;
            if (rng() % 2 == 0) {
                x[rng() % n] = std::numeric_limits<double>::quiet_NaN();
                r = 0.2;
            }
            for (const std::uint64_t m : {1, 2, 3}) {
                const std::string label = "sample_entropy n " + std::to_string(n) + " family " +
                                          std::to_string(family) + " m " + std::to_string(m);
                check(label, [&](const ExecutionContext& context) {
                    return bits(complexity::sample_entropy(x, m, r, context));
                });
                // The fast way ranks in blocks of 64 samples: the blocked sort
                // of the workers, on ties too, against one counting pass.
                if (n == 20000 && m == 2) {
                    check(label + " fast", [&](const ExecutionContext& context) {
                        return bits(complexity::sample_entropy(x, m, r,
                                                               context.with_search(kAlwaysFast)));
                    });
                }
                check(label + " scan", [&](const ExecutionContext& context) {
                    Pacer pacer(context);
                    const auto counts = complexity::count_template_matches(
                        std::span<const double>(x).first(std::min<std::size_t>(n, 3000)), m, 0.3,
                        pacer);
                    return counts.a * 0x9E3779B97F4A7C15ULL ^ counts.b;
                });
            }
        }
    }
    // Optimal dimension: FNN counts and Cao's ratios, through the trees and
    // through the scans (a non-finite sample); the longer series with the
    // policy that always takes the fast way, which also builds their trees
    // and embeds their rows on the workers.
    for (const std::size_t n : {300, 6000}) {
        const SearchPolicy& policy = n > 1000 ? kAlwaysFast : kSearchBySize;
        for (std::size_t family = 0; family < 3; ++family) {
            std::vector<double> x = series(family, n, rng);
            if (rng() % 3 == 0) x[rng() % n] = std::numeric_limits<double>::infinity();
            for (const std::uint64_t tau : {1, 3}) {
                for (const char* method : {"fnn", "cao"}) {
                    for (const double threshold : {0.01, 1e-9}) {
                        check(std::string(method) + " n " + std::to_string(n) + " family " +
                                  std::to_string(family) + " tau " + std::to_string(tau),
                              [&](const ExecutionContext& watching) {
                                  return embedding::optimal_dimension(
                                      x, tau, 10, method, threshold, watching.with_search(policy));
                              });
                    }
                }
            }
        }
    }
    // k-d trees: the same nodes, boxes and row order for any number of
    // workers (the policy that always takes the fast way threads the build
    // of any size), over distinct rows and over rows that coincide in
    // clusters, which leave leaves among the levels split first.
    const SearchPolicy threaded_trees = kAlwaysFast;
    for (const std::size_t n : {6, 200, 30000}) {
        for (std::size_t family = 0; family < 3; ++family) {
            const std::vector<double> x = series(family, n + 4, rng);
            for (const std::uint64_t m : {1, 3}) {
                check("kd tree n " + std::to_string(n) + " family " + std::to_string(family) +
                          " m " + std::to_string(m),
                      [&](const ExecutionContext& watching) {
                          const ExecutionContext context = watching.with_search(threaded_trees);
                          Pacer pacer(context);
                          const EmbeddedPoints points = embed_points(x, m, 2, n, pacer);
                          const KdTree<EmbeddedPoints> tree(points, pacer);
                          // A walk through every node: its box, then for a
                          // leaf its rows.
                          std::uint64_t hash = 0;
                          const auto mix = [&](std::uint64_t v) {
                              hash = (hash ^ v) * 0x100000001B3ULL + 0x9E3779B97F4A7C15ULL;
                          };
                          using Coverage = KdTree<EmbeddedPoints>::Coverage;
                          tree.traverse_boxes(
                              [&](const double* lo, const double* hi) {
                                  for (std::size_t c = 0; c < m; ++c) {
                                      mix(bits(lo[c]));
                                      mix(bits(hi[c]));
                                  }
                                  return Coverage::kSome;
                              },
                              [&](std::size_t begin, std::size_t end) {
                                  for (std::size_t p = begin; p < end; ++p) mix(tree.row_at(p));
                              },
                              [&](std::size_t, std::size_t) {});
                          return hash;
                      });
            }
        }
    }
    // Hurst exponent: R/S and DFA window sizes in blocks, on series long
    // enough for either method to hand its blocks to threads.
    for (std::size_t family = 0; family < 3; ++family) {
        const std::vector<double> x = series(family, 110000, rng);
        for (const auto method : {complexity::HurstMethod::rescaled_range,
                                  complexity::HurstMethod::detrended_fluctuation}) {
            check("hurst family " + std::to_string(family), [&](const ExecutionContext& context) {
                return bits(complexity::hurst_exponent(x, method, context));
            });
        }
    }
    // Lyapunov estimators: the neighbour searches in blocks, and every band
    // of the divergence follow-up cut between the workers by k (the fast
    // policy cuts even the smallest band; tied levels skip cells and so
    // correct the counts; a NaN sample is dropped by Rosenstein's method and
    // poisons Kantz's distances).
    for (std::size_t family = 0; family < 3; ++family) {
        std::vector<double> x = series(family, 2500, rng);
        if (rng() % 2 == 0) x[rng() % x.size()] = std::numeric_limits<double>::quiet_NaN();
        auto curve_bits = [](double first, const std::vector<double>& curve) {
            std::uint64_t hash = bits(first);
            for (const double v : curve) hash = hash * 0x9E3779B97F4A7C15ULL ^ bits(v);
            return hash ^ curve.size();
        };
        for (const SearchPolicy* policy : {&kSearchBySize, &kAlwaysFast}) {
            const std::string label = " family " + std::to_string(family) +
                                      (policy == &kAlwaysFast ? " fast" : "");
            check("kantz" + label, [&](const ExecutionContext& context) {
                const double radius[] = {0.4, 1.5, 0.05};
                const auto r = dynamics::lyapunov_kantz(x, 3, 2, std::nullopt, radius[family],
                                                        100, context.with_search(*policy));
                return curve_bits(r.max_lyapunov, r.divergence_curve);
            });
            check("rosenstein" + label, [&](const ExecutionContext& context) {
                const auto r = dynamics::lyapunov_rosenstein(x, 4, 3, std::nullopt, 300,
                                                             context.with_search(*policy));
                return curve_bits(r.lambda_max, r.divergence_curve);
            });
        }
    }
    std::printf("%zu mismatches\n", failures);
    return failures == 0 ? 0 : 1;
}
