// The entry points of the module's functions, one per function, each the
// thin boundary around its computation: parse and convert the arguments,
// check the signal's contiguity, run the computation inside the failure
// boundary, build the result objects.
#pragma once

#include "boundary/python.hpp"

namespace quorlin::boundary {

#define QUORLIN_ENTRY(name) \
    PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

QUORLIN_ENTRY(hurst_exponent);
QUORLIN_ENTRY(permutation_entropy);
QUORLIN_ENTRY(sample_entropy);
QUORLIN_ENTRY(lyapunov_rosenstein);
QUORLIN_ENTRY(lyapunov_kantz);
QUORLIN_ENTRY(ftle_local_linearization);
QUORLIN_ENTRY(ftle_direct_perturbation);
QUORLIN_ENTRY(optimal_delay);
QUORLIN_ENTRY(time_delay_embedding);
QUORLIN_ENTRY(optimal_dimension);

#undef QUORLIN_ENTRY

}  // namespace quorlin::boundary
