// One converter per argument kind. Each has the shape
//     bool convert_<kind>(PyObject* object, T& out)
// and on failure leaves the host's exception set and returns false. The
// wrapping of a TypeError with the argument's name is applied in one place,
// by Arguments (arguments.hpp), never by a converter or a function.
#pragma once

#include "boundary/python.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/points.hpp"

namespace quorlin::boundary {

// The read-only borrow of a one-dimensional float64 array for one call. It
// holds a reference to the array until it is destroyed and never writes to it.
class SignalView {
public:
    SignalView() = default;
    SignalView(const SignalView&) = delete;
    SignalView& operator=(const SignalView&) = delete;
    ~SignalView() { Py_XDECREF(array_); }

    // Takes over a new reference to a one-dimensional float64 array.
    void reset(PyObject* array) {
        Py_XDECREF(array_);
        array_ = array;
    }

    // The contiguity check at the start of every computation: TypeError
    // "The given array is not contiguous" (not wrapped) and false otherwise.
    bool require_contiguous();

    // The samples, in place. Valid after require_contiguous() succeeded.
    std::span<const double> samples() const { return samples_; }

private:
    PyObject* array_ = nullptr;
    std::span<const double> samples_;
    // Only for a contiguous array whose data are not 8-byte aligned, which
    // cannot be read as doubles in place without undefined behaviour.
    std::vector<double> aligned_copy_;
};

// The read-only borrow of a two-dimensional float64 array, read in place
// through its strides; no layout is refused.
class TrajectoryView {
public:
    TrajectoryView() = default;
    TrajectoryView(const TrajectoryView&) = delete;
    TrajectoryView& operator=(const TrajectoryView&) = delete;
    ~TrajectoryView() { Py_XDECREF(array_); }

    // Takes over a new reference to a two-dimensional float64 array.
    void reset(PyObject* array) {
        Py_XDECREF(array_);
        array_ = array;
    }

    // The array's data, shape and strides as they are now. Read only once
    // every argument has been converted: converting a later one can run
    // Python code (__index__, __float__) that resizes the array in place and
    // moves or frees its data.
    StridedPoints points() const;

private:
    PyObject* array_ = nullptr;
};

bool convert_signal(PyObject* object, SignalView& out);
bool convert_trajectory(PyObject* object, TrajectoryView& out);
bool convert_unsigned(PyObject* object, std::uint64_t& out);
bool convert_double(PyObject* object, double& out);
bool convert_text(PyObject* object, std::string_view& out);
bool convert_boolean(PyObject* object, bool& out);

// The __qualname__ of an object's type, as error messages name it.
std::string type_name_of(PyObject* object);

}  // namespace quorlin::boundary
