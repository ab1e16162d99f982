// Test driver (never shipped): for_each_task on many threads. Every task runs
// exactly once whatever the worker count; one worker runs them in order on
// the calling thread; the progress record ends complete; a task's exception
// and a stop request both end the call on the calling thread with every
// helper joined. Built also under ThreadSanitizer (.ci/sanitize-threads),
// where it is the part of the threaded module's machinery that the Python
// tests cannot reach while the kernels run their tasks serially.
//
//     parallel_check
//
// prints one line per failure and exits with status 1 if there was any.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/execution.hpp"
#include "common/parallel.hpp"
#include "common/worker_team.hpp"
#include "numerics/counting_sort.hpp"

using namespace quorlin;

namespace {

int failures = 0;

void expect(bool ok, const char* what, std::size_t n_tasks, unsigned workers) {
    if (ok) return;
    ++failures;
    std::printf("FAIL %s (tasks %zu, workers %u)\n", what, n_tasks, workers);
}

void every_task_once(std::size_t n_tasks, unsigned workers) {
    const std::atomic<bool> never{false};
    Progress progress;
    const ExecutionContext context = ExecutionContext::watching(never, workers, &progress);
    std::vector<std::atomic<int>> runs(n_tasks);
    std::vector<std::size_t> order;
    const auto caller = std::this_thread::get_id();
    bool all_on_caller = true;
    for_each_task(context, n_tasks, [&](std::size_t task, Pacer& pacer) {
        pacer.advance(Pacer::kUnitsPerCheck / 3);  // a few checks per task
        runs[task].fetch_add(1, std::memory_order_relaxed);
        if (workers == 1) {
            order.push_back(task);
            all_on_caller = all_on_caller && std::this_thread::get_id() == caller;
        }
    });
    bool once = true;
    for (const auto& count : runs) once = once && count.load() == 1;
    expect(once, "every task runs exactly once", n_tasks, workers);
    expect(progress.phases.load() == 1 && progress.total.load() == n_tasks &&
               progress.done.load() == n_tasks,
           "the progress record ends complete", n_tasks, workers);
    if (workers == 1) {
        bool in_order = order.size() == n_tasks;
        for (std::size_t k = 0; in_order && k < n_tasks; ++k) in_order = order[k] == k;
        expect(in_order && all_on_caller, "one worker runs the tasks in order on the caller",
               n_tasks, workers);
    }
}

void failure_ends_the_call(std::size_t n_tasks, unsigned workers) {
    const std::atomic<bool> never{false};
    const ExecutionContext context = ExecutionContext::watching(never, workers);
    std::atomic<std::size_t> started{0};
    bool rethrown = false;
    try {
        for_each_task(context, n_tasks, [&](std::size_t task, Pacer& pacer) {
            started.fetch_add(1, std::memory_order_relaxed);
            if (task == n_tasks / 2) throw std::runtime_error("task failed");
            // The others work on until a check tells them to stop.
            for (int k = 0; k < 64; ++k) pacer.advance(Pacer::kUnitsPerCheck);
        });
    } catch (const std::runtime_error&) {
        rethrown = true;
    }
    expect(rethrown, "a task's exception is rethrown on the caller", n_tasks, workers);
}

void stop_ends_the_call(std::size_t n_tasks, unsigned workers) {
    std::atomic<bool> stop{false};
    const ExecutionContext context = ExecutionContext::watching(stop, workers);
    bool cancelled = false;
    try {
        for_each_task(context, n_tasks, [&](std::size_t task, Pacer& pacer) {
            // Every task would run forever; the first asks to stop after a
            // while, as another thread would, while the others run.
            for (int k = 0;; ++k) {
                if (task == 0 && k == 8) stop.store(true, std::memory_order_relaxed);
                pacer.advance(Pacer::kUnitsPerCheck);
            }
        });
    } catch (const Cancelled&) {
        cancelled = true;
    }
    expect(cancelled, "a stop request ends every task", n_tasks, workers);
}

// One team through the phases of a call, as the threaded module lends it: a
// failure or a stop in one phase ends that phase alone, and the next runs in
// full on the same threads; phases with fewer tasks than threads and phases
// started from within a task run every task once.
void team_across_phases(unsigned workers) {
    std::atomic<bool> stop{false};
    WorkerTeam team;
    const ExecutionContext context = ExecutionContext::watching(stop, workers).with_team(&team);
    std::mutex seen_lock;
    std::vector<long> seen;
    auto phase = [&](std::size_t n_tasks) {
        std::vector<std::atomic<int>> runs(n_tasks);
        for_each_task(context, n_tasks, [&](std::size_t task, Pacer&) {
            runs[task].fetch_add(1, std::memory_order_relaxed);
            // The first task waits (a while at most) for another thread to
            // take the second, so that a helper takes part in every phase.
            if (task == 0 && workers > 1 && n_tasks > 1) {
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (runs[1].load() == 0 && std::chrono::steady_clock::now() < give_up) {
                    std::this_thread::yield();
                }
            }
            // The kernel's thread id: unlike std::thread::id not handed to
            // the next thread started as soon as one ends.
            const long id = static_cast<long>(syscall(SYS_gettid));
            const std::lock_guard<std::mutex> hold(seen_lock);
            if (std::find(seen.begin(), seen.end(), id) == seen.end()) seen.push_back(id);
        });
        bool once = true;
        for (const auto& count : runs) once = once && count.load() == 1;
        return once;
    };
    for (int round = 0; round < 3; ++round) {
        expect(phase(300), "a phase on the team runs every task once", 300, workers);
        expect(phase(2), "a phase with fewer tasks than threads", 2, workers);
        bool rethrown = false;
        try {
            for_each_task(context, 50, [&](std::size_t task, Pacer& pacer) {
                if (task == 7) throw std::runtime_error("task failed");
                for (int k = 0; k < 16; ++k) pacer.advance(Pacer::kUnitsPerCheck);
            });
        } catch (const std::runtime_error&) {
            rethrown = true;
        }
        expect(rethrown, "a later phase's exception is rethrown", 50, workers);
        bool cancelled = false;
        try {
            for_each_task(context, 50, [&](std::size_t task, Pacer& pacer) {
                for (int k = 0;; ++k) {
                    if (task == 0 && k == 8) stop.store(true, std::memory_order_relaxed);
                    pacer.advance(Pacer::kUnitsPerCheck);
                }
            });
        } catch (const Cancelled&) {
            cancelled = true;
        }
        stop.store(false, std::memory_order_relaxed);
        expect(cancelled, "a stop in a later phase ends it", 50, workers);
    }
    std::atomic<int> inner_runs{0};
    for_each_task(context, 4, [&](std::size_t, Pacer&) {
        // The team is busy with this phase: the inner one finds threads
        // elsewhere rather than waiting for itself.
        for_each_task(context, 5, [&](std::size_t, Pacer&) {
            inner_runs.fetch_add(1, std::memory_order_relaxed);
        });
    });
    expect(inner_runs.load() == 20, "a phase within a phase runs every task once", 20, workers);
    expect(seen.size() <= workers, "the phases share the team's threads", 300, workers);
}

// The blocked counting sort gives the one stable order (that of
// std::stable_sort, less the items left out) for any block size and worker
// count; the runs of the sorted keys start where run_starts says.
void blocked_sort_is_the_stable_order(unsigned workers, std::mt19937_64& rng) {
    const std::atomic<bool> never{false};
    WorkerTeam team;
    const ExecutionContext context = ExecutionContext::watching(never, workers).with_team(&team);
    for (const std::size_t count : {1u, 7u, 1000u}) {
        for (const std::size_t keys : {1u, 3u, 300u}) {
            std::vector<std::size_t> key(count);
            for (std::size_t& k : key) k = rng() % (keys + 1);  // `keys`: left out
            std::vector<std::uint32_t> expected;
            for (std::size_t e = 0; e < count; ++e) {
                if (key[e] != keys) expected.push_back(static_cast<std::uint32_t>(e));
            }
            std::stable_sort(expected.begin(), expected.end(),
                             [&](std::uint32_t a, std::uint32_t b) { return key[a] < key[b]; });
            for (const std::size_t block : {std::size_t{1}, std::size_t{5}, count}) {
                std::vector<std::uint32_t> sorted(expected.size(), 0xFFFFFFFFu);
                std::vector<std::uint32_t> slots;
                blocked_counting_sort(
                    context, count, keys, block, slots, [&](std::size_t e) { return key[e]; },
                    [&](std::size_t e, std::uint32_t slot) {
                        sorted[slot] = static_cast<std::uint32_t>(e);
                    });
                expect(sorted == expected, "blocked counting sort", count, workers);
                const std::vector<std::uint32_t> runs =
                    run_starts(context, expected.size(), block, [&](std::size_t p) {
                        return key[expected[p]] != key[expected[p - 1]];
                    });
                std::vector<std::uint32_t> want;
                for (std::size_t p = 0; p < expected.size(); ++p) {
                    if (p == 0 || key[expected[p]] != key[expected[p - 1]]) {
                        want.push_back(static_cast<std::uint32_t>(p));
                    }
                }
                want.push_back(static_cast<std::uint32_t>(expected.size()));
                expect(runs == want, "run starts", count, workers);
            }
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(11);
    for (unsigned workers : {1u, 2u, 3u, 7u, 64u}) {
        for (std::size_t n_tasks : {0u, 1u, 2u, 5u, 100u, 2000u}) every_task_once(n_tasks, workers);
        for (std::size_t n_tasks : {1u, 9u, 200u}) failure_ends_the_call(n_tasks, workers);
        for (std::size_t n_tasks : {2u, 9u, 200u}) stop_ends_the_call(n_tasks, workers);
        team_across_phases(workers);
        blocked_sort_is_the_stable_order(workers, rng);
    }
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
