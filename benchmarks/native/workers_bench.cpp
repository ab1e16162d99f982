// Wall-clock times of the kernels that split their work into tasks, with one
// worker and with two, interleaved in one run (the ratio is what counts on a
// shared machine: both runs see the same load).
//
//     workers_bench [N] [REPEATS]
//
// Built with the test programs (QUORLIN_BUILD_SEARCH_VARIANTS=ON, target
// workers_bench). Prints one line per kernel: best time with 1 and 2 workers
// and their ratio, and the processor time of those runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <vector>

#include "common/execution.hpp"
#include "complexity/entropy.hpp"
#include "complexity/hurst.hpp"
#include "embedding/delay.hpp"

using namespace quorlin;

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::mt19937_64 rng(20240601);
    std::normal_distribution<double> normal;
    std::vector<double> noise(n);
    for (double& v : noise) v = normal(rng);

    struct Kernel {
        const char* name;
        std::function<double(const ExecutionContext&)> run;
    };
    const std::vector<Kernel> kernels = {
        {"optimal_dimension fnn", [&](const ExecutionContext& c) {
             return static_cast<double>(embedding::optimal_dimension(noise, 1, 10, "fnn", 0.01, c));
         }},
        {"optimal_dimension cao", [&](const ExecutionContext& c) {
             return static_cast<double>(embedding::optimal_dimension(noise, 1, 10, "cao", 0.01, c));
         }},
        {"sample_entropy m=2", [&](const ExecutionContext& c) {
             return complexity::sample_entropy(noise, 2, std::nullopt, c);
         }},
        {"hurst_exponent rs", [&](const ExecutionContext& c) {
             return complexity::hurst_exponent(noise, complexity::HurstMethod::rescaled_range, c);
         }},
        {"hurst_exponent dfa", [&](const ExecutionContext& c) {
             return complexity::hurst_exponent(noise, complexity::HurstMethod::detrended_fluctuation, c);
         }},
    };
    const std::atomic<bool> never{false};
    for (const Kernel& kernel : kernels) {
        double best[2] = {1e300, 1e300};
        double cpu[2] = {1e300, 1e300};
        double results[2] = {0.0, 0.0};
        for (int r = 0; r < repeats; ++r) {
            for (unsigned w = 1; w <= 2; ++w) {
                const auto context = ExecutionContext::watching(never, w);
                const auto start = std::chrono::steady_clock::now();
                const std::clock_t cpu_start = std::clock();
                results[w - 1] = kernel.run(context);
                const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                if (took.count() < best[w - 1]) {
                    best[w - 1] = took.count();
                    cpu[w - 1] = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
                }
            }
        }
        // The processor time of the same runs tells whether the second
        // thread found a core at all on a loaded machine.
        std::printf("%-24s N %zu  1 worker %.3f s (cpu %.3f)  2 workers %.3f s (cpu %.3f)  "
                    "ratio %.2f%s\n",
                    kernel.name, n, best[0], cpu[0], best[1], cpu[1], best[0] / best[1],
                    results[0] == results[1] ? "" : "  RESULTS DIFFER");
    }
}
