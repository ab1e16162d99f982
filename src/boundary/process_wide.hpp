// Process-wide Python objects that the boundary creates on first use and
// never frees (the owner type of result buffers, the InternalFailure type).
//
// Creating one calls into the interpreter, which may switch threads (a
// collection can run finalizers), and on a free-threaded interpreter run
// with the GIL disabled two threads may create at the same moment. Neither
// may see two different objects: a second InternalFailure type would escape
// an `except` written for the first. So each thread creates its own
// candidate and publishes it only if the cell is still empty; the loser
// drops its candidate and takes the published one. No lock is held while
// calling into the interpreter, so nothing can deadlock with the GIL or an
// import.
#pragma once

#include "boundary/python.hpp"

#include <atomic>

namespace quorlin::boundary {

template <class Create>
PyObject* created_once(std::atomic<PyObject*>& cell, Create&& create) {
    PyObject* published = cell.load(std::memory_order_acquire);
    if (published != nullptr) return published;
    PyObject* candidate = create();
    if (candidate == nullptr) return nullptr;
    if (!cell.compare_exchange_strong(published, candidate, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
        Py_DECREF(candidate);
        return published;
    }
    return candidate;
}

}  // namespace quorlin::boundary
