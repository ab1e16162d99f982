#include "boundary/arguments.hpp"

namespace quorlin::boundary {

void Arguments::fail(const char* name) {
    ok_ = false;
    if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    if (text == nullptr) {
        // The original exception is the most useful thing left to raise.
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* cause = PyException_GetCause(value);  // new reference or nullptr
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
    if (cause != nullptr) {
        PyObject* wrapped_type = nullptr;
        PyObject* wrapped = nullptr;
        PyObject* wrapped_traceback = nullptr;
        PyErr_Fetch(&wrapped_type, &wrapped, &wrapped_traceback);
        PyErr_NormalizeException(&wrapped_type, &wrapped, &wrapped_traceback);
        PyException_SetCause(wrapped, cause);  // steals cause
        PyErr_Restore(wrapped_type, wrapped, wrapped_traceback);
    }
}

}  // namespace quorlin::boundary
