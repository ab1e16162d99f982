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
// on it (a futex, futex.hpp). The caller does the same on the count of
// helpers still running while it waits for them to finish. Spinning is bounded in time, so that on a machine with
// fewer free cores than threads the waiting threads soon give the cores back.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/futex.hpp"
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
        futex_wake_all(phase_);
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
        const std::uint32_t current = phase_.load(std::memory_order_relaxed);
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
                running_.store(static_cast<std::uint32_t>(taking_part), std::memory_order_relaxed);
                phase_.fetch_add(1, std::memory_order_release);
            }
            futex_wake_all(phase_);
        }
        job(state);
        if (taking_part > 0) wait_for(running_, [](std::uint32_t running) { return running == 0; });
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    // A helper's life: wait for a phase, take part in it if its index is
    // among those asked for, report when done; until the team is destroyed.
    void serve(std::size_t index, std::uint32_t seen) noexcept {
        for (;;) {
            wait_for(phase_, [seen](std::uint32_t phase) { return phase != seen; });
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
            // The last one out wakes the caller, if it sleeps.
            if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1) futex_wake_all(running_);
        }
    }

    // Spins for a short while until done(word) holds, then sleeps on the
    // word until it does. Whoever changes the word wakes its sleepers after
    // the change, and a sleep starts only if the word still holds the value
    // just judged, so no wake-up is lost.
    template <class Done>
    static void wait_for(const std::atomic<std::uint32_t>& word, Done done) {
        const auto spin_until = std::chrono::steady_clock::now() + SearchPolicy::kHandOffSpin;
        while (!done(word.load(std::memory_order_acquire))) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();  // lets the core's other hardware thread run
#endif
            if (std::chrono::steady_clock::now() >= spin_until) {
                for (;;) {
                    const std::uint32_t now = word.load(std::memory_order_acquire);
                    if (done(now)) return;
                    futex_wait(word, now);
                }
            }
        }
    }

    std::vector<std::thread> helpers_;
    std::mutex lock_;
    // Moved on by each phase and by the end; compared for change only, so
    // that wrapping around is harmless.
    std::atomic<std::uint32_t> phase_{0};
    std::atomic<std::uint32_t> running_{0};    // helpers still in the current phase
    std::atomic<bool> busy_{false};            // a phase runs
    // The current phase, written under lock_ before phase_ moves on.
    Job job_ = nullptr;
    void* state_ = nullptr;
    std::size_t taking_part_ = 0;
    bool quit_ = false;
};

}  // namespace quorlin
