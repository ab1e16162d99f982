#define QUORLIN_DEFINE_NUMPY_API
#include "boundary/python.hpp"

#include <atomic>

#include "boundary/failure.hpp"

namespace quorlin::boundary {
namespace {

// Set once NumPy's table pointer is filled in and checked; the table itself
// is NumPy's plain global, written by _import_array.
std::atomic<bool> numpy_ready{false};

#ifdef Py_GIL_DISABLED
// Under the GIL the writes of that global are serialised by the GIL. With the
// GIL disabled (PYTHON_GIL=0 on a free-threaded interpreter) two threads may
// import at once, so one imports while the others wait; PyMutex_Lock detaches
// a waiting thread from the interpreter, so the wait cannot deadlock with the
// import.
PyMutex numpy_lock = {0};
#endif

bool import_numpy_api() {
    // _import_array looks for the array-API capsule in the core package of
    // NumPy 2 and falls back to that of NumPy 1; it also checks the ABI.
    if (_import_array() >= 0) return true;
    PyArray_API = nullptr;
    pending_exception_to_internal("the NumPy C API could not be obtained");
    return false;
}

}  // namespace

bool ensure_numpy() {
    if (numpy_ready.load(std::memory_order_acquire)) return true;
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&numpy_lock);
#endif
    const bool ready = numpy_ready.load(std::memory_order_acquire) || import_numpy_api();
    if (ready) numpy_ready.store(true, std::memory_order_release);
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&numpy_lock);
#endif
    return ready;
}

}  // namespace quorlin::boundary
