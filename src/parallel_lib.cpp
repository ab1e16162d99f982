// The extension module quorlin._parallel: the engine's kernels run on
// several threads with the interpreter lock released. Its definition, the
// table of its functions (in the engine's order) and its initialisation entry
// point, the module's only exported symbol.
#include "boundary/failure.hpp"
#include "boundary/module.hpp"
#include "boundary/parallel_entries.hpp"

namespace {

using namespace quorlin;
using boundary::as_method;

// Positional only: the wrappers of quorlin pass every argument in order.
constexpr int kFastCall = METH_FASTCALL;

#define QUORLIN_SUFFIX "workers, progress, /)\n--\n\n"
#define QUORLIN_SAME_AS(name) \
    "quorlin._native." name " on up to `workers` threads; the same result, bit for bit."

PyMethodDef functions[] = {
    {"hurst_exponent", as_method(boundary::parallel::hurst_exponent), kFastCall,
     "hurst_exponent(signal, method, " QUORLIN_SUFFIX QUORLIN_SAME_AS("hurst_exponent")},
    {"permutation_entropy", as_method(boundary::parallel::permutation_entropy), kFastCall,
     "permutation_entropy(signal, order, delay, normalize, " QUORLIN_SUFFIX QUORLIN_SAME_AS(
         "permutation_entropy")},
    {"sample_entropy", as_method(boundary::parallel::sample_entropy), kFastCall,
     "sample_entropy(signal, m, r, " QUORLIN_SUFFIX QUORLIN_SAME_AS("sample_entropy")},
    {"lyapunov_rosenstein", as_method(boundary::parallel::lyapunov_rosenstein), kFastCall,
     "lyapunov_rosenstein(signal, dimension, delay, min_tsep, max_iter, " QUORLIN_SUFFIX
         QUORLIN_SAME_AS("lyapunov_rosenstein")},
    {"lyapunov_kantz", as_method(boundary::parallel::lyapunov_kantz), kFastCall,
     "lyapunov_kantz(signal, dimension, delay, min_tsep, epsilon, max_iter, " QUORLIN_SUFFIX
         QUORLIN_SAME_AS("lyapunov_kantz")},
    {"ftle_local_linearization", as_method(boundary::parallel::ftle_local_linearization),
     kFastCall,
     "ftle_local_linearization(trajectory, time_horizon, n_neighbors, epsilon, anchors, "
     QUORLIN_SUFFIX QUORLIN_SAME_AS("ftle_local_linearization")
     "\n\n`anchors`: None for every row, or the rows to estimate (strictly increasing "
     "integers below len(trajectory)); the other entries keep their no-estimate values "
     "(NaN, confidence 0.0), and each estimated entry has the bits of the full call."},
    {"ftle_direct_perturbation", as_method(boundary::parallel::ftle_direct_perturbation),
     kFastCall,
     "ftle_direct_perturbation(signal, dimension, delay, time_horizon, perturbation, "
     "n_perturbations, anchors, " QUORLIN_SUFFIX QUORLIN_SAME_AS("ftle_direct_perturbation")
     "\n\n`anchors`: None for every point, or the points to estimate (strictly increasing "
     "integers below len(signal); those past the last point of the result are ignored); the "
     "other entries keep their no-estimate values (0.0), and each estimated entry has the "
     "bits of the full call."},
    {"optimal_delay", as_method(boundary::parallel::optimal_delay), kFastCall,
     "optimal_delay(signal, max_lag, method, " QUORLIN_SUFFIX QUORLIN_SAME_AS("optimal_delay")},
    {"time_delay_embedding", as_method(boundary::parallel::time_delay_embedding), kFastCall,
     "time_delay_embedding(signal, dimension, delay, " QUORLIN_SUFFIX QUORLIN_SAME_AS(
         "time_delay_embedding")},
    {"optimal_dimension", as_method(boundary::parallel::optimal_dimension), kFastCall,
     "optimal_dimension(signal, delay, max_dim, method, threshold, " QUORLIN_SUFFIX
         QUORLIN_SAME_AS("optimal_dimension")},
};

#undef QUORLIN_SAME_AS
#undef QUORLIN_SUFFIX

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
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
    "stops the call and is raised once its threads have stopped.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The complete module, stored once per process and never released.
PyObject* module_cell = nullptr;

}  // namespace

PyMODINIT_FUNC PyInit__parallel() {
    return boundary::guarded(
        [] { return boundary::create_module(module_definition, functions, module_cell); });
}
