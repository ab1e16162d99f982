// The helper threads of one computation, started once and reused by every
// parallel phase of it.
//
// A computation of the threaded module runs many parallel phases: a tree
// build runs several, Kantz's tiled follow-up two per band, thousands per
// call. Starting and joining fresh threads costs some tens of microseconds a
// phase; handing a phase to threads already waiting costs a few. A team
// lives exactly as long as the one call that owns it (the boundary makes one
// per call and destroys it, joining its threads, before the call returns):
// nothing outlives the call, so there is nothing to undo at fork or at
// interpreter shutdown, and no state carries from one call to the next.
//
// Hand-off: a waiting helper first spins on the phase counter for a short
// while (a phase usually follows the last within microseconds), then sleeps
// on a condition variable. The caller does the same while it waits for the
// helpers to finish. Spinning is bounded in time, so that on a machine with
// fewer free cores than threads the waiting threads soon give the cores back.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/search_policy.hpp"

namespace quorlin {

class WorkerTeam {
public:
    using Job = void (*)(void* state) noexcept;

    WorkerTeam() = default;
    WorkerTeam(const WorkerTeam&) = delete;
    WorkerTeam& operator=(const WorkerTeam&) = delete;

    ~WorkerTeam() {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            quit_ = true;
            phase_.fetch_add(1, std::memory_order_release);
        }
        phase_started_.notify_all();
        for (std::thread& helper : helpers_) helper.join();
    }

    // Runs job(state) on the calling thread and on up to `helpers` threads of
    // the team at once, and returns once every one of them has returned.
    // Starts the helpers the team still lacks; where the system gives no
    // more, fewer run (which changes nothing but the time taken). Returns
    // false, running nothing, when the team is in a phase already (a phase
    // started from within one): the caller then needs threads of its own.
    bool run(std::size_t helpers, Job job, void* state) {
        if (busy_.exchange(true, std::memory_order_acquire)) return false;
        const std::uint64_t current = phase_.load(std::memory_order_relaxed);
        while (helpers_.size() < helpers) {
            try {
                const std::size_t index = helpers_.size();
                helpers_.emplace_back([this, index, current] { serve(index, current); });
            } catch (...) {
                break;
            }
        }
        const std::size_t taking_part = std::min(helpers, helpers_.size());
        if (taking_part > 0) {
            {
                const std::lock_guard<std::mutex> hold(lock_);
                job_ = job;
                state_ = state;
                taking_part_ = taking_part;
                running_.store(taking_part, std::memory_order_relaxed);
                phase_.fetch_add(1, std::memory_order_release);
            }
            phase_started_.notify_all();
        }
        job(state);
        if (taking_part > 0) {
            wait_until([this] { return running_.load(std::memory_order_acquire) == 0; },
                       phase_finished_);
        }
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    // A helper's life: wait for a phase, take part in it if its index is
    // among those asked for, report when done; until the team is destroyed.
    void serve(std::size_t index, std::uint64_t seen) noexcept {
        for (;;) {
            wait_until([&] { return phase_.load(std::memory_order_acquire) != seen; },
                       phase_started_);
            Job job;
            void* state;
            std::size_t taking_part;
            {
                // Under the lock: the caller wrote these under it before
                // moving the phase on.
                const std::lock_guard<std::mutex> hold(lock_);
                seen = phase_.load(std::memory_order_relaxed);
                if (quit_) return;
                job = job_;
                state = state_;
                taking_part = taking_part_;
            }
            if (index >= taking_part) continue;
            job(state);
            if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                // The last one out wakes the caller, if it sleeps. Taking the
                // lock orders this after the caller's look at the count.
                { const std::lock_guard<std::mutex> hold(lock_); }
                phase_finished_.notify_all();
            }
        }
    }

    // Spins on `ready` for a short while, then sleeps on `wake` until it
    // holds. Everything that makes `ready` hold is done under lock_ (or
    // followed by taking it) before `wake` is notified, so no wake-up is lost.
    template <class Ready>
    void wait_until(Ready ready, std::condition_variable& wake) {
        const auto spin_until = std::chrono::steady_clock::now() + SearchPolicy::kHandOffSpin;
        while (!ready()) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();  // lets the core's other hardware thread run
#endif
            if (std::chrono::steady_clock::now() >= spin_until) {
                std::unique_lock<std::mutex> hold(lock_);
                wake.wait(hold, ready);
                return;
            }
        }
    }

    std::vector<std::thread> helpers_;
    std::mutex lock_;
    std::condition_variable phase_started_;
    std::condition_variable phase_finished_;
    std::atomic<std::uint64_t> phase_{0};      // moved on by each phase and by the end
    std::atomic<std::size_t> running_{0};      // helpers still in the current phase
    std::atomic<bool> busy_{false};            // a phase runs
    // The current phase, written under lock_ before phase_ moves on.
    Job job_ = nullptr;
    void* state_ = nullptr;
    std::size_t taking_part_ = 0;
    bool quit_ = false;
};

}  // namespace quorlin
