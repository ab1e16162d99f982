#include "boundary/convert.hpp"

#include <cstdint>
#include <cstring>

#include "boundary/failure.hpp"

namespace quorlin::boundary {
namespace {

// A str attribute of a type object, or `fallback` where it cannot be read.
std::string type_attribute(PyTypeObject* type, const char* attribute, const char* fallback) {
    std::string value = fallback;
    PyObject* text = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute);
    if (text != nullptr && PyUnicode_Check(text)) {
        if (const char* utf8 = PyUnicode_AsUTF8(text)) value = utf8;
    }
    Py_XDECREF(text);
    PyErr_Clear();
    return value;
}

std::string qualified_name(PyTypeObject* type) {
    return type_attribute(type, "__qualname__", "<failed to extract type name>");
}

void raise_cannot_cast(PyObject* object, const std::string& target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'",
                 type_name_of(object).c_str(), target.c_str());
}

// A NumPy array of exactly `ndim` dimensions whose dtype is float64 or
// equivalent to it (native byte order).
bool is_float64_array(PyObject* object, int ndim) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (float64 == nullptr) return false;
    PyArray_Descr* descr = PyArray_DESCR(array);
    const bool equivalent = descr == float64 || PyArray_EquivTypes(descr, float64);
    Py_DECREF(float64);
    return equivalent;
}

bool convert_array(PyObject* object, int ndim, PyObject*& out) {
    if (!ensure_numpy()) return false;
    if (!is_float64_array(object, ndim)) {
        if (PyErr_Occurred()) return false;
        raise_cannot_cast(object, qualified_name(&PyArray_Type));
        return false;
    }
    Py_INCREF(object);
    out = object;
    return true;
}

bool is_numpy_bool_type(PyTypeObject* type) {
    if (type_attribute(type, "__module__", "") != "numpy") return false;
    const std::string name = type_attribute(type, "__name__", "");
    return name == "bool_" || name == "bool";
}

}  // namespace

std::string type_name_of(PyObject* object) { return qualified_name(Py_TYPE(object)); }

bool SignalView::require_contiguous() {
    auto* array = reinterpret_cast<PyArrayObject*>(array_);
    const int flags = PyArray_FLAGS(array);
    const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    const auto* data = static_cast<const double*>(PyArray_DATA(array));
    if (!contiguous || data == nullptr) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return false;
    }
    const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0) {
        samples_ = std::span<const double>(data, n);
    } else {
        aligned_copy_.resize(n);
        std::memcpy(aligned_copy_.data(), data, n * sizeof(double));
        samples_ = aligned_copy_;
    }
    return true;
}

StridedPoints TrajectoryView::points() const {
    auto* a = reinterpret_cast<PyArrayObject*>(array_);
    StridedPoints points;
    points.base = static_cast<const unsigned char*>(PyArray_DATA(a));
    points.n_rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    points.n_cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    points.row_stride = PyArray_STRIDE(a, 0);
    points.col_stride = PyArray_STRIDE(a, 1);
    return points;
}

bool convert_signal(PyObject* object, SignalView& out) {
    PyObject* array = nullptr;
    if (!convert_array(object, 1, array)) return false;
    out.reset(array);
    return true;
}

bool convert_trajectory(PyObject* object, TrajectoryView& out) {
    PyObject* array = nullptr;
    if (!convert_array(object, 2, array)) return false;
    out.reset(array);
    return true;
}

bool convert_unsigned(PyObject* object, std::uint64_t& out) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return false;
        value = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_text(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_cast(object, "str");
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(length));
    return true;
}

bool convert_boolean(PyObject* object, bool& out) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBool_Type) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool_type(type)) {
        raise_cannot_cast(object, "bool");
        return false;
    }
    PyObject* dunder = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__");
    if (dunder == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                     type_name_of(object).c_str());
        return false;
    }
    PyObject* result = PyObject_CallOneArg(dunder, object);
    Py_DECREF(dunder);
    if (result == nullptr) return false;
    if (!PyBool_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__bool__ should return bool, returned %s",
                     type_name_of(result).c_str());
        Py_DECREF(result);
        return false;
    }
    out = result == Py_True;
    Py_DECREF(result);
    return true;
}

}  // namespace quorlin::boundary
