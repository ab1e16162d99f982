// The arguments that only the threaded module takes, and the private copies
// of the input arrays that its computations read with the interpreter lock
// released.
//
// Converters have the shape of those in convert.hpp, and Arguments applies
// them the same way (a TypeError is prefixed with the argument's name). A
// refused value raises ValueError naming the argument itself. These kinds
// are always required: they have no defaults to read.
#pragma once

#include "boundary/python.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "boundary/arguments.hpp"
#include "boundary/convert.hpp"
#include "numerics/points.hpp"

namespace quorlin::boundary::parallel {

// An int (or an object with __index__) from 1 to kMostWorkers.
bool convert_workers(PyObject* object, unsigned& out);

// None (no callback: nullptr) or a callable, borrowed for the call.
bool convert_progress(PyObject* object, PyObject*& out);

// None (every anchor) or a one-dimensional NumPy array of integers of any
// width and signedness, copied; a negative entry raises ValueError. The
// other checks are check_anchors', on the copy, once the input they index is
// known.
bool convert_anchors(PyObject* object, std::optional<std::vector<std::uint64_t>>& out);

// Raises ValueError and returns false unless the anchors are strictly
// increasing indices in 0 .. bound - 1 (`unit` names what they index:
// "rows", "samples").
bool check_anchors(const std::optional<std::vector<std::uint64_t>>& anchors, std::size_t bound,
                   const char* unit);

// The samples of a contiguous signal (SignalView::require_contiguous has
// passed), copied in one pass. std::bad_alloc when they cannot be held.
std::vector<double> private_samples(const SignalView& signal);

// A trajectory's rows, copied in one pass through its strides into a
// row-major buffer of the call's own (any layout is accepted, as the engine
// accepts it); `points` is set to read that buffer.
std::vector<double> private_trajectory(const TrajectoryView& trajectory, StridedPoints& points);

}  // namespace quorlin::boundary::parallel

namespace quorlin::boundary {

template <> struct Conversion<Kind::anchors>
    : Converts<std::optional<std::vector<std::uint64_t>>, parallel::convert_anchors> {};
template <> struct Conversion<Kind::workers> : Converts<unsigned, parallel::convert_workers> {};
// Borrowed for the call.
template <> struct Conversion<Kind::progress> : Converts<PyObject*, parallel::convert_progress> {};

}  // namespace quorlin::boundary
