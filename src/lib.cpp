// The extension module quorlin._native: its definition, the table of its
// functions (generated from the rows of boundary/functions.hpp, in their
// order), and the initialisation entry point, the module's only exported
// symbol.
//
// The test-only twins of the module (always the exhaustive scans, or always
// the fast searches) are compiled from this same file under another
// QUORLIN_MODULE name.
#include <array>

#include "boundary/engine_entry.hpp"
#include "boundary/failure.hpp"
#include "boundary/functions.hpp"
#include "boundary/module.hpp"
#include "boundary/signature.hpp"

#ifndef QUORLIN_MODULE
#define QUORLIN_MODULE _native
#endif
#define QUORLIN_TEXT_(name) #name
#define QUORLIN_TEXT(name) QUORLIN_TEXT_(name)
#define QUORLIN_JOIN_(a, b) a##b
#define QUORLIN_JOIN(a, b) QUORLIN_JOIN_(a, b)

namespace {

using namespace quorlin;
using namespace quorlin::boundary;

// A docstring begins with the text signature, from which the interpreter
// takes __text_signature__; __doc__ is the body after the empty line.
template <class Function>
struct EngineDocstring {
    static constexpr void write(TextWriter& out) {
        write_signature(out, Function::table);
        out << Function::doc;
    }
};

template <class Function>
inline constexpr auto docstring = static_text<EngineDocstring<Function>>();

template <class... Function>
std::array<PyMethodDef, sizeof...(Function)> method_table(FunctionList<Function...>) {
    return {{{Function::table.function, as_method(engine_entry<Function>),
              METH_FASTCALL | METH_KEYWORDS, docstring<Function>.data()}...}};
}

std::array<PyMethodDef, Functions::size> functions = method_table(Functions{});

PyModuleDef definition = module_definition(
    QUORLIN_TEXT(QUORLIN_MODULE),
    "Native-accelerated primitives for signal analysis.\nBoth Vantor and Ostrel import from this "
    "package.");

// The complete module, stored once per process and never released.
PyObject* module_cell = nullptr;

}  // namespace

PyMODINIT_FUNC QUORLIN_JOIN(PyInit_, QUORLIN_MODULE)() {
    return boundary::guarded(
        [] { return boundary::create_module(definition, functions, module_cell); });
}
