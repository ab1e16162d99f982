// The entry points of the threaded module quorlin._parallel, one per
// function. Each takes the engine function's parameters, in its order, then
// (for the FTLE functions) `anchors`, then `workers` and `progress`: all
// positional and all required, None standing for an engine default of None.
//
// An entry converts its arguments with the engine's converters (so a wrong
// argument is refused with the engine's message), copies the input array
// while it holds the interpreter lock, and runs the kernel on that copy under
// supervision (parallel_supervision.hpp). Nothing of the caller's array is
// read once the lock is let go: another thread may then write, resize or
// free it without effect on the call.
#pragma once

#include "boundary/python.hpp"

namespace quorlin::boundary::parallel {

#define QUORLIN_PARALLEL_ENTRY(name) \
    PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs)

QUORLIN_PARALLEL_ENTRY(hurst_exponent);
QUORLIN_PARALLEL_ENTRY(permutation_entropy);
QUORLIN_PARALLEL_ENTRY(sample_entropy);
QUORLIN_PARALLEL_ENTRY(lyapunov_rosenstein);
QUORLIN_PARALLEL_ENTRY(lyapunov_kantz);
QUORLIN_PARALLEL_ENTRY(ftle_local_linearization);
QUORLIN_PARALLEL_ENTRY(ftle_direct_perturbation);
QUORLIN_PARALLEL_ENTRY(optimal_delay);
QUORLIN_PARALLEL_ENTRY(time_delay_embedding);
QUORLIN_PARALLEL_ENTRY(optimal_dimension);

#undef QUORLIN_PARALLEL_ENTRY

}  // namespace quorlin::boundary::parallel
