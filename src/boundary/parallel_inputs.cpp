#include "boundary/parallel_inputs.hpp"

#include <cstring>
#include <string>

#include "boundary/parallel_supervision.hpp"
#include "common/checked_math.hpp"
#include "common/memory.hpp"

namespace quorlin::boundary::parallel {
namespace {

// str(object) as UTF-8, for messages; empty when it cannot be had.
std::string text_of(PyObject* object) {
    std::string text;
    if (PyObject* str = PyObject_Str(object)) {
        if (const char* utf8 = PyUnicode_AsUTF8(str)) text = utf8;
        Py_DECREF(str);
    }
    PyErr_Clear();
    return text;
}

}  // namespace

bool convert_workers(PyObject* object, unsigned& out) {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 1 || value > static_cast<long long>(kMostWorkers)) {
        // A number past 64 bits is not spelt out: its text can be huge.
        PyErr_Format(PyExc_ValueError,
                     "argument 'workers': expected a count of threads from 1 to %u, got %s",
                     kMostWorkers,
                     overflow != 0 ? "a number beyond 64 bits" : std::to_string(value).c_str());
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

bool convert_progress(PyObject* object, PyObject*& out) {
    if (object == Py_None) {
        out = nullptr;
        return true;
    }
    if (!PyCallable_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected None or a callable, got '%s'",
                     type_name_of(object).c_str());
        return false;
    }
    out = object;
    return true;
}

bool convert_anchors(PyObject* object, std::optional<std::vector<std::uint64_t>>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    if (!ensure_numpy()) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (!PyArray_Check(object) || PyArray_NDIM(array) != 1 || !PyArray_ISINTEGER(array)) {
        if (PyArray_Check(object)) {
            PyErr_Format(PyExc_TypeError,
                         "expected None or a one-dimensional array of integers, got a "
                         "%d-dimensional array of dtype %s",
                         PyArray_NDIM(array),
                         text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array))).c_str());
        } else {
            PyErr_Format(PyExc_TypeError,
                         "expected None or a one-dimensional array of integers, got '%s'",
                         type_name_of(object).c_str());
        }
        return false;
    }
    // A broadcast array may claim far more entries than its memory holds.
    const auto n = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    require_memory(n, sizeof(std::uint64_t));
    const bool is_signed = PyArray_ISSIGNED(array);
    PyObject* cast = PyArray_FromAny(
        object, PyArray_DescrFromType(is_signed ? NPY_INT64 : NPY_UINT64), 1, 1,
        NPY_ARRAY_CARRAY_RO, nullptr);
    if (cast == nullptr) return false;
    const void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(cast));
    std::vector<std::uint64_t> values(n);
    if (n > 0) std::memcpy(values.data(), data, n * sizeof(std::uint64_t));
    Py_DECREF(cast);
    // Checked on the copy, which nothing else can change.
    if (is_signed) {
        for (std::size_t k = 0; k < n; ++k) {
            const auto value = static_cast<std::int64_t>(values[k]);
            if (value < 0) {
                PyErr_Format(PyExc_ValueError, "argument 'anchors': entry %zu is negative (%lld)",
                             k, static_cast<long long>(value));
                return false;
            }
        }
    }
    out = std::move(values);
    return true;
}

bool check_anchors(const std::optional<std::vector<std::uint64_t>>& anchors, std::size_t bound,
                   const char* unit) {
    if (!anchors) return true;
    const std::vector<std::uint64_t>& a = *anchors;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k] >= bound) {
            PyErr_Format(PyExc_ValueError,
                         "argument 'anchors': entry %zu (%llu) is out of range for %zu %s", k,
                         static_cast<unsigned long long>(a[k]), bound, unit);
            return false;
        }
        if (k > 0 && a[k] <= a[k - 1]) {
            PyErr_Format(PyExc_ValueError,
                         "argument 'anchors': indices must be strictly increasing, but entry %zu "
                         "(%llu) follows %llu",
                         k, static_cast<unsigned long long>(a[k]),
                         static_cast<unsigned long long>(a[k - 1]));
            return false;
        }
    }
    return true;
}

std::vector<double> private_samples(const SignalView& signal) {
    const std::span<const double> samples = signal.samples();
    require_memory(samples.size(), sizeof(double));
    return std::vector<double>(samples.begin(), samples.end());
}

std::vector<double> private_trajectory(const TrajectoryView& trajectory, StridedPoints& points) {
    const StridedPoints caller = trajectory.points();
    const auto n_values = checked_mul(caller.n_rows, caller.n_cols);
    if (!n_values) throw std::bad_alloc();
    // A broadcast view's shape is not backed by memory: the copy is.
    require_memory(*n_values, sizeof(double));
    std::vector<double> coords(*n_values);
    // Rows without coordinates have nothing to copy, however many they are.
    for (std::size_t i = 0; caller.n_cols > 0 && i < caller.n_rows; ++i) {
        for (std::size_t c = 0; c < caller.n_cols; ++c) {
            coords[i * caller.n_cols + c] = caller.coord(i, c);
        }
    }
    points.base = reinterpret_cast<const unsigned char*>(coords.data());
    points.n_rows = caller.n_rows;
    points.n_cols = caller.n_cols;
    points.row_stride = static_cast<std::ptrdiff_t>(caller.n_cols * sizeof(double));
    points.col_stride = sizeof(double);
    return coords;
}

}  // namespace quorlin::boundary::parallel
