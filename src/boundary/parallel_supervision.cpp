#include "boundary/parallel_supervision.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "boundary/failure.hpp"

namespace quorlin::boundary {
namespace {

// What the calling thread and the computation thread share. Lives on the
// calling thread's stack, which outlives the computation thread: the thread
// is always joined before the frame goes (see ComputationThread).
struct Shared {
    std::atomic<bool> stop{false};
    Progress progress;
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;  // guarded by `lock`
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
              job.run(job.state, context);
              {
                  const std::lock_guard<std::mutex> hold(shared.lock);
                  shared.finished = true;
              }
              shared.changed.notify_all();
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
    {
        std::unique_lock<std::mutex> hold(shared.lock);
        finished = shared.changed.wait_for(hold, timeout, [&shared] { return shared.finished; });
    }
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
