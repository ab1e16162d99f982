#define QUORLIN_DEFINE_NUMPY_API
#include "boundary/python.hpp"

#include "boundary/failure.hpp"

namespace quorlin::boundary {

bool ensure_numpy() {
    if (PyArray_API != nullptr) return true;
    // _import_array looks for the array-API capsule in the core package of
    // NumPy 2 and falls back to that of NumPy 1; it also checks the ABI.
    if (_import_array() >= 0) return true;
    PyArray_API = nullptr;
    pending_exception_to_internal("the NumPy C API could not be obtained");
    return false;
}

}  // namespace quorlin::boundary
