// Builders of the result objects. Each returns a new reference, or nullptr
// with an exception set (InternalFailure, or MemoryError when the host ran
// out of memory).
#pragma once

#include "boundary/python.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "common/validated.hpp"
#include "numerics/points.hpp"

namespace quorlin::boundary {

PyObject* float_result(double value);
PyObject* int_result(std::uint64_t value);

// A one-dimensional float64 array over the vector's own buffer: no copy; an
// owner object, the array's base, frees the buffer with the array.
PyObject* owned_vector(std::vector<double>&& values);

// A new C-contiguous (rows, columns) float64 array; the rows are copied in.
PyObject* matrix_result(const double* rows, std::size_t n_rows, std::size_t n_columns);
PyObject* matrix_result(const EmbeddedPoints& points);

// A tuple that takes over the given new references; if any of them is
// nullptr, the others are released and nullptr is returned.
PyObject* tuple_result(std::initializer_list<PyObject*> items);

// The ValueError of a computation's own validation.
PyObject* raise_invalid(const Invalid& refusal);

}  // namespace quorlin::boundary
