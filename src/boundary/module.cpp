#include "boundary/module.hpp"

namespace quorlin::boundary {
namespace {

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef& method) {
    PyObject* function = PyCFunction_NewEx(&method, module, module_name);
    if (function == nullptr) return false;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name == nullptr) {
        Py_DECREF(function);
        return false;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
    }
    const bool ok = all != nullptr && PyList_Append(all, name) == 0 &&
                    PyObject_SetAttr(module, name, function) == 0;
    Py_XDECREF(all);
    Py_DECREF(name);
    Py_DECREF(function);
    return ok;
}

}  // namespace

PyObject* create_module(PyModuleDef& definition, std::span<PyMethodDef> functions,
                        PyObject*& cell) {
    if (cell != nullptr) {
        PyErr_Format(PyExc_ImportError,
                     "quorlin.%s can be initialised only once per interpreter process",
                     definition.m_name);
        return nullptr;
    }
    PyObject* module = PyModule_Create2(&definition, 1013);
    if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    // On a free-threaded interpreter the module asks for the GIL: every call
    // is then serialised as on any other interpreter, and the interpreter
    // enables the GIL when the module is imported (with a RuntimeWarning).
    // Declared rather than left to the default, so that the choice is
    // visible; PYTHON_GIL=0 overrides it at the user's risk.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    PyObject* module_name = PyModule_GetNameObject(module);
    bool ok = module_name != nullptr;
    for (PyMethodDef& method : functions) {
        if (!ok) break;
        ok = register_function(module, module_name, method);
    }
    Py_XDECREF(module_name);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    cell = module;
    Py_INCREF(module);
    return module;
}

}  // namespace quorlin::boundary
