// Benchmark helper (never shipped): times one FTLE estimator on the same
// input with one worker and with more, alternating, and checks that every
// run gives the same bits. Driven by bench_ftle_workers.py, which writes the
// input as raw doubles.
//
//     ftle_workers local|direct FILE ROWS COLUMNS WORKERS REPEATS
//
// prints "workers W seconds S cpu C" per run (wall-clock time and the CPU
// time of all threads: on a busy machine their ratio shows how much of the
// run the threads really had) and exits with status 1 if two runs disagree.
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/execution.hpp"
#include "dynamics/ftle.hpp"
#include "numerics/points.hpp"

using namespace quorlin;
using namespace quorlin::dynamics;

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: ftle_workers local|direct FILE ROWS COLUMNS WORKERS REPEATS\n");
        return 2;
    }
    const std::string function = argv[1];
    const std::size_t rows = std::stoull(argv[3]), columns = std::stoull(argv[4]);
    const unsigned most = static_cast<unsigned>(std::stoul(argv[5]));
    const int repeats = std::stoi(argv[6]);
    std::vector<double> values(rows * columns);
    std::ifstream(argv[2], std::ios::binary)
        .read(reinterpret_cast<char*>(values.data()),
              static_cast<std::streamsize>(values.size() * sizeof(double)));
    const StridedPoints trajectory{reinterpret_cast<const unsigned char*>(values.data()), rows,
                                   columns, static_cast<std::ptrdiff_t>(columns * sizeof(double)),
                                   sizeof(double)};

    const std::atomic<bool> never{false};
    std::vector<double> first, second;
    bool same = true;
    for (int r = 0; r < repeats; ++r) {
        for (const unsigned workers : {1u, most}) {
            const ExecutionContext context = ExecutionContext::watching(never, workers);
            const auto start = std::chrono::steady_clock::now();
            const std::clock_t cpu_start = std::clock();
            std::vector<double> a, b;
            if (function == "local") {
                LocalLinearizationFtle result =
                    ftle_local_linearization(trajectory, 10, 10, std::nullopt, context);
                a = std::move(result.ftle_values);
                b = std::move(result.confidence);
            } else {
                DirectPerturbationFtle result = ftle_direct_perturbation(values, 3, 1, 10, context);
                a = std::move(result.ftle_values);
                b = std::move(result.jacobian_norms);
            }
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
            std::printf("workers %u seconds %.3f cpu %.3f\n", workers, elapsed.count(), cpu);
            std::fflush(stdout);
            if (first.empty()) {
                first = std::move(a);
                second = std::move(b);
            } else {
                same = same && a.size() == first.size() && b.size() == second.size() &&
                       std::memcmp(a.data(), first.data(), a.size() * sizeof(double)) == 0 &&
                       std::memcmp(b.data(), second.data(), b.size() * sizeof(double)) == 0;
            }
        }
    }
    if (!same) std::printf("MISMATCH between runs\n");
    return same ? 0 : 1;
}
