// Running the independent tasks of a computation on several threads without
// changing a single bit of its result.
//
// A kernel splits its work into tasks fixed by the problem alone (a block of
// reference points, a range of steps k, a window size), never by the number
// of threads, and gives each task outputs of its own: an entry of a result
// vector, a partial sum that is combined with the others in task order
// afterwards, an integer count. Which thread runs which task, and when, then
// changes nothing: one worker, two or seven give the same bits. A kernel may
// cut its work by the number of workers only where every cut gives the same
// bits, because each output is computed whole within one task (the bands of
// the divergence follow-up, cut by k).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "common/captured_failure.hpp"
#include "common/execution.hpp"
#include "common/worker_team.hpp"

namespace quorlin {

// Runs body(task, pacer) for task = 0 .. n_tasks - 1 on up to
// context.workers() threads, the calling thread among them; with one worker
// (or one task) everything runs on the calling thread, in task order, with
// the caller's context. Tasks are handed out in increasing order as threads
// become free. Each thread counts its work on a Pacer of its own, whose
// checks ask the caller's context and whether another task has failed.
//
// The threads besides the caller come from the context's worker team, so
// that the many phases of one call reuse the same threads.
//
// The first exception a task throws (Cancelled, std::bad_alloc, ...) stops
// the other threads at their next check or task, and is rethrown on the
// calling thread once every thread has finished. Body must be safe to call
// from several threads at once for different tasks.
template <class Body>
void for_each_task(const ExecutionContext& context, std::size_t n_tasks, Body&& body) {
    Progress* const progress = context.progress();
    if (progress != nullptr) {
        progress->done.store(0, std::memory_order_relaxed);
        progress->total.store(n_tasks, std::memory_order_relaxed);
        progress->phases.fetch_add(1, std::memory_order_relaxed);
    }
    auto finished_one = [progress] {
        if (progress != nullptr) progress->done.fetch_add(1, std::memory_order_relaxed);
    };
    const std::size_t n_threads = std::min<std::size_t>(context.workers(), n_tasks);
    if (n_threads <= 1) {
        Pacer pacer(context);
        for (std::size_t task = 0; task < n_tasks; ++task) {
            body(task, pacer);
            finished_one();
        }
        return;
    }

    struct Shared {
        const ExecutionContext* outer;
        std::atomic<bool> failed{false};
    } shared{&context};
    const ExecutionContext workers_context(
        [](const void* state) {
            const auto* s = static_cast<const Shared*>(state);
            return s->failed.load(std::memory_order_relaxed) || s->outer->stop_requested();
        },
        &shared);
    std::atomic<std::size_t> next{0};
    CapturedFailure first_failure;
    std::mutex failure_lock;
    auto work = [&]() noexcept {
        try {
            Pacer pacer(workers_context);
            for (;;) {
                if (shared.failed.load(std::memory_order_relaxed)) return;
                const std::size_t task = next.fetch_add(1, std::memory_order_relaxed);
                if (task >= n_tasks) return;
                body(task, pacer);
                finished_one();
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(failure_lock);
            if (first_failure.empty()) first_failure.capture_current();
            shared.failed.store(true, std::memory_order_relaxed);
        }
    };

    // The call's team when it has one and is free; threads of this phase's
    // own otherwise (a context without a team, or a phase started from
    // within a task of another). Either way a thread that cannot be started
    // just means fewer threads.
    const WorkerTeam::Job job = [](void* state) noexcept { (*static_cast<decltype(work)*>(state))(); };
    WorkerTeam* const team = context.team();
    if (team == nullptr || !team->run(n_threads - 1, job, &work)) {
        WorkerTeam own;
        own.run(n_threads - 1, job, &work);
    }
    if (!first_failure.empty()) first_failure.rethrow();
}

// The items 0 .. count-1 cut into blocks of `block` items, the tasks of
// for_each_task: body(b, begin, end, pacer) for block b, which holds the
// items begin .. end - 1.
template <class Body>
void for_each_block(const ExecutionContext& context, std::size_t count, std::size_t block,
                    Body&& body) {
    for_each_task(context, (count + block - 1) / block, [&](std::size_t b, Pacer& pacer) {
        const std::size_t begin = b * block;
        body(b, begin, std::min(count, begin + block), pacer);
    });
}

}  // namespace quorlin
