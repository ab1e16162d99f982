// How the threaded module runs a computation: on threads of its own, with the
// interpreter lock released, while the calling thread watches over it.
//
// The computation runs on a new thread (the first of its workers; the
// kernels' for_each_task adds the others) under a context that stops when a
// flag is set. The calling thread sleeps on a condition variable and wakes
// every kTick: it takes the interpreter lock, runs the interpreter's signal
// check and the caller's progress callback, and lets go of the lock again.
// When either raises, it sets the flag, waits for the computation to unwind
// (the kernels look at the flag every fraction of a millisecond of work) and
// raises that exception.
//
// Why the computation, not the supervision, moves to another thread: Python
// runs signal handlers only on the main thread, and a progress callback is
// expected on the thread that made the call. While the call lasts, other
// Python threads run freely: the lock is held only for the few microseconds
// of each tick.
#pragma once

#include "boundary/python.hpp"

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/captured_failure.hpp"
#include "common/execution.hpp"

namespace quorlin::boundary {

// The most threads one call may run. Far above any machine's cores today; it
// bounds what one call can ask of the system (each thread reserves a stack).
inline constexpr unsigned kMostWorkers = 1024;

// Between two looks at signals and progress. Ctrl-C is noticed within a tick
// plus the kernels' own stop latency; each look costs a few microseconds.
inline constexpr std::chrono::milliseconds kTick{20};

// A computation of the threaded module, type-erased for supervise().
struct SupervisedJob {
    void (*run)(void* state, const ExecutionContext& context) noexcept;
    void* state;
};

// Runs `job` with up to `workers` threads and the interpreter lock released,
// calling `progress` (borrowed; nullptr for none) as
// progress(phase, done, total) every tick. Returns once the job has
// finished: true, or false with the exception of a signal handler or of the
// callback set (the job was told to stop and has stopped). Must be called
// with the interpreter lock held.
//
// If no thread can be started, the job runs on the calling thread with the
// lock held, as the engine module runs it: one worker, stopped by signals,
// no progress calls.
bool supervise(const SupervisedJob& job, unsigned workers, PyObject* progress);

// Runs compute(context) under supervise() and returns its result. Throws
// Cancelled with the Python exception set when the call was stopped, and
// rethrows on this thread whatever the computation threw (std::bad_alloc,
// ...), for the failure boundary (guarded) to report.
template <class Compute>
auto supervised(unsigned workers, PyObject* progress, Compute&& compute)
    -> std::invoke_result_t<Compute&, const ExecutionContext&> {
    using Result = std::invoke_result_t<Compute&, const ExecutionContext&>;
    struct State {
        Compute* compute;
        std::optional<Result> result;
        CapturedFailure failure;
    } state{&compute, std::nullopt, {}};
    const SupervisedJob job{
        [](void* opaque, const ExecutionContext& context) noexcept {
            auto* s = static_cast<State*>(opaque);
            try {
                s->result.emplace((*s->compute)(context));
            } catch (...) {
                s->failure.capture_current();
            }
        },
        &state};
    if (!supervise(job, workers, progress)) throw Cancelled{};
    if (!state.failure.empty()) state.failure.rethrow();
    return std::move(*state.result);
}

}  // namespace quorlin::boundary
