// The execution context of a long-running computation: the one seam through
// which its caller can stop it, lend it threads and watch its progress; a
// kernel that takes a context takes everything about how it is run from
// there, and nothing from its caller's environment (which way its searches
// take included, search_policy.hpp).
//
// Kernels are plain C++ and never call into Python. A caller that wants to be
// able to stop one (the module's boundary, so that Ctrl-C works) gives the
// context a stop check. The kernel counts its work in units on a Pacer and
// the Pacer asks the check every kUnitsPerCheck units; when the check says
// stop, the Pacer throws Cancelled, which unwinds through the kernel's RAII
// owners and frees everything it held. Nothing changes unless a stop is
// asked for: the check only reads, and results do not depend on where the
// checks fall.
//
// A unit is about one coordinate difference of a distance in a sequential
// scan, a nanosecond or so of work; costlier steps (a logarithm, a row
// fetched from a random place in memory, an item of a sort) count several.
// Work is counted in blocks (rows of a scan, leaves of a tree, cells of a
// band, windows of a series), never per pair, so the counting costs nothing
// measurable.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/search_policy.hpp"

namespace quorlin {

// Thrown by a Pacer when the context says stop. It derives from nothing, so
// that no handler of ordinary failures (std::exception and its kin) catches
// it by accident: it travels up to the boundary, which reports what the
// check left behind (in the module, the exception of the signal handler).
struct Cancelled {};

class WorkerTeam;  // worker_team.hpp

// What a caller can watch of a computation running on other threads: the
// tasks of the current parallel phase (for_each_task, parallel.hpp) and how
// many are done. Written by the workers, read by whoever reports progress;
// every field is an independent relaxed counter, so a reader sees a
// plausible, not a consistent, picture.
struct Progress {
    std::atomic<std::uint64_t> phases{0};  // phases started so far
    std::atomic<std::uint64_t> total{0};   // tasks of the current phase
    std::atomic<std::uint64_t> done{0};    // tasks of the current phase finished
};

class ExecutionContext {
public:
    // Whether the computation should stop now. Called on the thread doing
    // the work, every few milliseconds of it; it must be cheap and must not
    // throw.
    using StopCheck = bool (*)(const void* state);

    // A context that never stops: a computation runs to completion on the
    // calling thread.
    constexpr ExecutionContext() = default;
    // A context with a stop check that may be called on the calling thread
    // only (the interpreter's signal check needs the interpreter lock, which
    // only the calling thread holds): such a context has one worker.
    constexpr ExecutionContext(StopCheck check, const void* state)
        : check_(check), state_(state) {}

    // A context that stops once `flag` is set, run by up to `workers`
    // threads. The flag is only read, with relaxed loads, so worker threads
    // can poll it freely while another thread (one that may call into the
    // interpreter) decides when to set it. `progress`, when given, receives
    // the progress of every parallel phase.
    static ExecutionContext watching(const std::atomic<bool>& flag, unsigned workers = 1,
                                     Progress* progress = nullptr) {
        ExecutionContext context(
            [](const void* state) {
                return static_cast<const std::atomic<bool>*>(state)->load(
                    std::memory_order_relaxed);
            },
            &flag);
        context.workers_ = workers == 0 ? 1 : workers;
        context.progress_ = progress;
        return context;
    }

    bool stop_requested() const { return check_ != nullptr && check_(state_); }

    // The most threads a computation may run at once (the calling thread
    // included). Results never depend on it: work is split into tasks fixed
    // by the problem alone, each with outputs of its own (parallel.hpp).
    unsigned workers() const { return workers_; }

    Progress* progress() const { return progress_; }

    // The threads that this computation's parallel phases share, if its
    // caller lends a team (for_each_task starts threads of its own for each
    // phase otherwise). The team must outlive every use of the context.
    WorkerTeam* team() const { return team_; }

    ExecutionContext with_team(WorkerTeam* team) const {
        ExecutionContext context = *this;
        context.team_ = team;
        return context;
    }

    // Which of the exact ways to a result the kernels take: by problem size
    // unless the caller chose otherwise (the test twins of the module).
    const SearchPolicy& search() const { return *search_; }

    // This context with another search policy, which must outlive it.
    ExecutionContext with_search(const SearchPolicy& policy) const {
        ExecutionContext context = *this;
        context.search_ = &policy;
        return context;
    }

    // This context reporting its progress to `progress` (none: nullptr). A
    // kernel that runs many short parallel phases inside a phase of its own
    // hands them a context without progress, so that a watcher sees its one
    // phase move rather than a flicker of small ones.
    ExecutionContext with_progress(Progress* progress) const {
        ExecutionContext context = *this;
        context.progress_ = progress;
        return context;
    }

private:
    StopCheck check_ = nullptr;
    const void* state_ = nullptr;
    unsigned workers_ = 1;
    Progress* progress_ = nullptr;
    WorkerTeam* team_ = nullptr;
    const SearchPolicy* search_ = &kSearchBySize;
};

// A phase of work done on one thread, reported like a parallel phase: its
// steps (of the kernel's choosing: references, rows) in all and done so far,
// so that a watcher sees a serial stretch move too. Costs one relaxed store
// per report when the context watches progress, a test when it does not.
class SerialPhase {
public:
    SerialPhase(const ExecutionContext& context, std::uint64_t total)
        : progress_(context.progress()) {
        if (progress_ == nullptr) return;
        progress_->done.store(0, std::memory_order_relaxed);
        progress_->total.store(total, std::memory_order_relaxed);
        progress_->phases.fetch_add(1, std::memory_order_relaxed);
    }
    SerialPhase(const SerialPhase&) = delete;
    SerialPhase& operator=(const SerialPhase&) = delete;

    void reached(std::uint64_t done) {
        if (progress_ != nullptr) progress_->done.store(done, std::memory_order_relaxed);
    }

private:
    Progress* progress_;
};

// A phase whose steps several threads do at once, each counting those it
// has done (tasks of uneven length that report within themselves).
class SharedPhase {
public:
    SharedPhase(const ExecutionContext& context, std::uint64_t total) : start_(context, total) {
        progress_ = context.progress();
    }

    void add(std::uint64_t steps) {
        if (progress_ != nullptr) progress_->done.fetch_add(steps, std::memory_order_relaxed);
    }

private:
    SerialPhase start_;  // starts the phase
    Progress* progress_ = nullptr;
};

// Paces the stop checks of one thread of work. Not shared between threads:
// each thread that works for a computation counts on a Pacer of its own over
// the computation's context.
class Pacer {
public:
    // About half a millisecond of work between checks, nominally: the
    // counts of work are estimates, and even where they fall short several
    // times over, the checks stay far below the ~50 ms a user notices, while
    // the cost of a check (tens of nanoseconds) stays negligible.
    static constexpr std::int64_t kUnitsPerCheck = std::int64_t{1} << 19;

    explicit Pacer(const ExecutionContext& context) : context_(&context) {}
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    // Counts `units` of work just done; asks the context once enough work
    // has been done since it last asked, and throws Cancelled if it says
    // stop.
    void advance(std::uint64_t units) {
        // Units beyond 2^62 in one call count as 2^62: still far past the
        // budget, and the subtraction cannot wrap.
        constexpr std::uint64_t kMostAtOnce = std::uint64_t{1} << 62;
        budget_ -= static_cast<std::int64_t>(units < kMostAtOnce ? units : kMostAtOnce);
        if (budget_ < 0) check();
    }

    // Asks the context now. Kept out of line, off the paths that count.
    [[gnu::noinline, gnu::cold]] void check() {
        budget_ = kUnitsPerCheck;
        if (context_->stop_requested()) throw Cancelled{};
    }

    const ExecutionContext& context() const { return *context_; }

private:
    const ExecutionContext* context_;
    std::int64_t budget_ = kUnitsPerCheck;
};

}  // namespace quorlin
