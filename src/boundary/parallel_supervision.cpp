#include "boundary/parallel_supervision.hpp"

#include <time.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>

#include "boundary/failure.hpp"
#include "common/futex.hpp"
#include "common/worker_team.hpp"

namespace quorlin::boundary {
namespace {

// The calling thread's waits for the computation to finish. Their timeout is
// relative and runs on the monotonic clock (a futex wait), so a change of the
// wall clock cannot stretch a tick. std::condition_variable's timed wait on
// steady_clock would call pthread_cond_clockwait and a monotonic condition
// variable pthread_condattr_setclock, both bound to glibc 2.34 when built on
// a current system: beyond the oldest C library the wheels target.
class FinishedSignal {
public:
    void set() noexcept {
        finished_.store(1, std::memory_order_release);
        futex_wake_all(finished_);
    }

    // Waits until set() or until `timeout` has passed; true once set.
    bool wait(std::chrono::milliseconds timeout) noexcept {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (finished_.load(std::memory_order_acquire) == 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec relative;
            relative.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
            relative.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
            // Returns at once if set() came first (the word is no longer 0);
            // wakes early on a signal or spuriously: the loop looks again.
            futex_wait(finished_, 0, &relative);
        }
        return finished_.load(std::memory_order_acquire) != 0;
    }

private:
    std::atomic<std::uint32_t> finished_{0};
};

// What the calling thread and the computation thread share. Lives on the
// calling thread's stack, which outlives the computation thread: the thread
// is always joined before the frame goes (see ComputationThread).
struct Shared {
    std::atomic<bool> stop{false};
    Progress progress;
    FinishedSignal finished;
};

// The computation thread, joined whatever way the frame that started it is
// left. A daemon thread that reaches for the interpreter lock while the
// interpreter shuts down is ended by a forced unwind of its stack: the stop
// flag then ends the computation, so that the join is prompt and nothing on
// this stack is freed while the computation still reads it.
class ComputationThread {
public:
    ComputationThread(Shared& shared, const SupervisedJob& job, const ExecutionContext& context)
        : shared_(shared), thread_([&shared, &job, &context] {
              {
                  // The helper threads of every parallel phase of this call,
                  // joined before the call is reported finished.
                  WorkerTeam team;
                  job.run(job.state, context.with_team(&team));
              }
              shared.finished.set();
          }) {}
    ComputationThread(const ComputationThread&) = delete;
    ComputationThread& operator=(const ComputationThread&) = delete;
    ~ComputationThread() {
        if (thread_.joinable()) {
            shared_.stop.store(true, std::memory_order_relaxed);
            thread_.join();
        }
    }

    void join() { thread_.join(); }

private:
    Shared& shared_;
    std::thread thread_;
};

// Calls progress(phase, done, total) with the counters as they are now.
// False with the callback's exception set when it raised.
bool report_progress(PyObject* callback, const Progress& progress) {
    PyObject* counts[3] = {
        PyLong_FromUnsignedLongLong(progress.phases.load(std::memory_order_relaxed)),
        PyLong_FromUnsignedLongLong(progress.done.load(std::memory_order_relaxed)),
        PyLong_FromUnsignedLongLong(progress.total.load(std::memory_order_relaxed)),
    };
    PyObject* returned = nullptr;
    if (counts[0] != nullptr && counts[1] != nullptr && counts[2] != nullptr) {
        returned = PyObject_Vectorcall(callback, counts, 3, nullptr);
    }
    for (PyObject* count : counts) Py_XDECREF(count);
    Py_XDECREF(returned);
    return returned != nullptr;
}

// Waits, with the interpreter lock released, until the computation has
// finished or `timeout` has passed; true once it has finished.
bool wait_for_finish(Shared& shared, std::chrono::milliseconds timeout) {
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    finished = shared.finished.wait(timeout);
    Py_END_ALLOW_THREADS
    return finished;
}

}  // namespace

bool supervise(const SupervisedJob& job, unsigned workers, PyObject* progress) {
    Shared shared;
    const ExecutionContext context = ExecutionContext::watching(shared.stop, workers, &shared.progress);
    // Kept alive across the waits, which run other Python code: the caller's
    // reference might be the only other one.
    Py_XINCREF(progress);
    std::optional<ComputationThread> computation;
    try {
        computation.emplace(shared, job, context);
    } catch (const std::system_error&) {
        // No thread could be started (the system's limit on threads, or no
        // memory for a stack): the engine's way, on this thread.
        Py_XDECREF(progress);
        job.run(job.state, stop_on_signals());
        return PyErr_Occurred() == nullptr;
    }
    bool stopped_by_python = false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    while (!wait_for_finish(shared, kTick)) {
        if (stopped_by_python) continue;
        if (PyErr_CheckSignals() != 0 ||
            (progress != nullptr && !report_progress(progress, shared.progress))) {
            stopped_by_python = true;
            shared.stop.store(true, std::memory_order_relaxed);
            // Held aside while the computation unwinds: the lock is let go
            // meanwhile, and the exception belongs to this call alone.
            PyErr_Fetch(&type, &value, &traceback);
        }
    }
    computation->join();
    Py_XDECREF(progress);
    if (!stopped_by_python) return true;
    PyErr_Restore(type, value, traceback);
    return false;
}

}  // namespace quorlin::boundary
