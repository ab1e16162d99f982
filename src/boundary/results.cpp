#include "boundary/results.hpp"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "boundary/failure.hpp"
#include "boundary/process_wide.hpp"

namespace quorlin::boundary {
namespace {

// The base object of owned vectors: it owns the result buffer and frees it
// when NumPy releases the array.
struct OwnedBuffer {
    PyObject_HEAD
    std::vector<double> values;
};

void owned_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<OwnedBuffer*>(self)->values.~vector();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot owned_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the buffer of an array returned by quorlin.")},
    {0, nullptr},
};

PyType_Spec owned_buffer_spec = {
    "_native_runtime.OwnedBuffer",
    static_cast<int>(sizeof(OwnedBuffer)),
    0,
    Py_TPFLAGS_DEFAULT,
    owned_buffer_slots,
};

std::atomic<PyObject*> owned_buffer_type{nullptr};

PyObject* new_owned_buffer(std::vector<double>&& values) {
    auto* type = reinterpret_cast<PyTypeObject*>(
        created_once(owned_buffer_type, [] { return PyType_FromSpec(&owned_buffer_spec); }));
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<OwnedBuffer*>(self)->values) std::vector<double>(std::move(values));
    return self;
}

PyObject* checked(PyObject* object) {
    if (object == nullptr) host_failure_to_internal();
    return object;
}

}  // namespace

// Every builder first checks for a pending exception: the items of a tuple
// are built one after the other, and once one has failed the later ones must
// not call into the host with that exception set.

PyObject* float_result(double value) {
    if (PyErr_Occurred()) return nullptr;
    return checked(PyFloat_FromDouble(value));
}

PyObject* int_result(std::uint64_t value) {
    if (PyErr_Occurred()) return nullptr;
    return checked(PyLong_FromUnsignedLongLong(value));
}

PyObject* owned_vector(std::vector<double>&& values) {
    if (PyErr_Occurred() || !ensure_numpy()) return nullptr;
    // An empty vector may have no buffer at all, and NumPy would then
    // allocate one of its own; one reserved slot keeps the array on ours.
    // Nothing may throw past this point: the items of a tuple built before
    // this one would leak.
    try {
        if (values.capacity() == 0) values.reserve(1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    npy_intp length = static_cast<npy_intp>(values.size());
    double* data = values.data();
    PyObject* owner = new_owned_buffer(std::move(values));
    if (owner == nullptr) return checked(nullptr);
    PyObject* array = PyArray_New(&PyArray_Type, 1, &length, NPY_DOUBLE, nullptr, data, 0,
                                  NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr) {
        Py_DECREF(owner);
        return checked(nullptr);
    }
    // Steals the owner, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
        Py_DECREF(array);
        return checked(nullptr);
    }
    return array;
}

PyObject* matrix_result(const double* rows, std::size_t n_rows, std::size_t n_columns) {
    if (PyErr_Occurred() || !ensure_numpy()) return nullptr;
    npy_intp shape[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_columns)};
    PyObject* array = PyArray_SimpleNew(2, shape, NPY_DOUBLE);
    if (array == nullptr) return checked(nullptr);
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t r = 0; r < n_rows; ++r) {
        std::memcpy(out + r * n_columns, rows + r * n_columns, n_columns * sizeof(double));
    }
    return array;
}

PyObject* matrix_result(const EmbeddedPoints& points) {
    return matrix_result(points.coords.data(), points.n_points, points.dimension);
}

PyObject* tuple_result(std::initializer_list<PyObject*> items) {
    bool complete = true;
    for (PyObject* item : items) complete = complete && item != nullptr;
    PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
    if (tuple == nullptr) {
        // Keep the first failure's exception; release whatever was built.
        for (PyObject* item : items) Py_XDECREF(item);
        return complete ? checked(nullptr) : nullptr;
    }
    Py_ssize_t position = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, position++, item);
    return tuple;
}

PyObject* raise_invalid(const Invalid& refusal) {
    PyErr_SetString(PyExc_ValueError, refusal.message.c_str());
    return nullptr;
}

}  // namespace quorlin::boundary
