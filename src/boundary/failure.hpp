// The failure boundary: nothing but a Python exception ever leaves an entry
// point. Validation refusals become ValueError, memory exhaustion
// MemoryError, a computation stopped by a signal the exception its handler
// raised (KeyboardInterrupt for Ctrl-C), and every other C++ exception
// InternalFailure.
#pragma once

#include "boundary/python.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "common/execution.hpp"

namespace quorlin::boundary {

// The context every computation of the module runs in: it stops when the
// interpreter's signal check (PyErr_CheckSignals) raises, that is when a
// signal arrived whose Python handler raised (Ctrl-C: KeyboardInterrupt),
// leaving that exception set for guarded() to pass on. A handler that
// returns normally lets the computation go on. The check needs the
// interpreter lock, which every entry holds from start to end.
const ExecutionContext& stop_on_signals();

// Sets _native_runtime.InternalFailure (created on first use) with the
// description as its argument.
void raise_internal_failure(const char* description);

// Clears the pending exception and returns its text (empty if it has none).
std::string take_pending_exception_text();

// Replaces the pending exception by InternalFailure("{what_failed}: {its text}").
void pending_exception_to_internal(const char* what_failed);

// Replaces a pending exception by InternalFailure, keeping MemoryError as it
// is: the host failed to build a result object.
void host_failure_to_internal();

// Not noexcept, for one case only: a thread that waits without the
// interpreter lock while the interpreter shuts down is ended, when it reaches
// for the lock again, by a forced unwind of its stack (pthread_exit). That
// unwind must pass through: swallowing it, or meeting a noexcept frame,
// aborts the process. Everything else stops here.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
#ifdef __GLIBCXX__
    } catch (const abi::__forced_unwind&) {
        throw;
#endif
    } catch (const Cancelled&) {
        // Everything the computation held is freed by now. The signal
        // handler's exception is set; a stop without one would be a fault.
        if (PyErr_Occurred() == nullptr) {
            raise_internal_failure("a computation stopped without a pending exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_internal_failure(failure.what());
    } catch (...) {
        raise_internal_failure("unidentified native failure");
    }
    return nullptr;
}

}  // namespace quorlin::boundary
