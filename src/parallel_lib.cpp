// The extension module quorlin._parallel: the engine's kernels run on
// several threads with the interpreter lock released. Its definition, the
// table of its functions (generated from the engine's rows, in the engine's
// order) and its initialisation entry point, the module's only exported
// symbol.
#include <array>

#include "boundary/failure.hpp"
#include "boundary/functions.hpp"
#include "boundary/module.hpp"
#include "boundary/parallel_entry.hpp"

namespace {

using namespace quorlin;
using namespace quorlin::boundary;

// Positional only: the wrappers of quorlin pass every argument in order.
template <class... Function>
std::array<PyMethodDef, sizeof...(Function)> method_table(FunctionList<Function...>) {
    return {{{Function::table.function, as_method(parallel::entry<Function>), METH_FASTCALL,
              parallel::docstring<Function>.data()}...}};
}

std::array<PyMethodDef, Functions::size> functions = method_table(Functions{});

PyModuleDef definition = module_definition(
    "_parallel",
    "The functions of quorlin._native on several threads, with the interpreter lock released.\n"
    "\n"
    "Each function takes the arguments of the engine function of the same name, in its order,\n"
    "all positional and all required (None where the engine's default is None); then, for the\n"
    "two FTLE functions, `anchors`; then `workers`, the most threads the call may run (1 to\n"
    "1024), and `progress`, None or a callable. Arguments are refused as by the engine; a\n"
    "signal must be a contiguous float64 array, a trajectory any two-dimensional float64 array.\n"
    "\n"
    "The result is the engine's, bit for bit, whatever the number of workers. The input array\n"
    "is copied when the call starts; other Python threads run while the call computes, and may\n"
    "change the array meanwhile without effect on the call. About every 20 ms the calling\n"
    "thread handles pending signals (Ctrl-C stops the call with KeyboardInterrupt) and calls\n"
    "progress(phase, done, total): the number of parallel phases started so far, and the tasks\n"
    "of the current one done and in all. An exception from a signal handler or from `progress`\n"
    "stops the call and is raised once its threads have stopped.");

// The complete module, stored once per process and never released.
PyObject* module_cell = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit__parallel() {
    return boundary::guarded(
        [] { return boundary::create_module(definition, functions, module_cell); });
}
