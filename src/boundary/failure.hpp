// The failure boundary: nothing but a Python exception ever leaves an entry
// point. Validation refusals become ValueError, memory exhaustion
// MemoryError, and every other C++ exception InternalFailure.
#pragma once

#include "boundary/python.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace quorlin::boundary {

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

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
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
