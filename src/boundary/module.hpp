// Creation of an extension module of the package: the module object of a
// static definition, its functions registered in table order (each also
// listed in __all__), stored once per process.
#pragma once

#include "boundary/python.hpp"

#include <span>

namespace quorlin::boundary {

// The definition of a module of single-phase initialisation: no per-module
// state, no method table (create_module registers the functions on the
// module object), no hooks.
inline PyModuleDef module_definition(const char* name, const char* doc) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// The module of `definition` with `functions` registered on it, or nullptr
// with an exception set. `cell` holds the module once it is complete; a
// second initialisation in the same process raises ImportError, since the
// module keeps process-wide objects that cannot be created twice.
PyObject* create_module(PyModuleDef& definition, std::span<PyMethodDef> functions,
                        PyObject*& cell);

// Fast-call entries have a wider signature than PyCFunction; the interpreter
// calls them through the METH_FASTCALL flag.
template <class Entry>
PyCFunction as_method(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace quorlin::boundary
