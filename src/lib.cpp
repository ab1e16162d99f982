// The extension module quorlin._native: its definition, the table of its
// functions in registration order, and the initialisation entry point, the
// module's only exported symbol.
//
// The test-only twins of the module (always the exhaustive scans, or always
// the fast searches) are compiled from this same file under another
// QUORLIN_MODULE name.
#include "boundary/entries.hpp"
#include "boundary/failure.hpp"
#include "boundary/module.hpp"

#ifndef QUORLIN_MODULE
#define QUORLIN_MODULE _native
#endif
#define QUORLIN_TEXT_(name) #name
#define QUORLIN_TEXT(name) QUORLIN_TEXT_(name)
#define QUORLIN_JOIN_(a, b) a##b
#define QUORLIN_JOIN(a, b) QUORLIN_JOIN_(a, b)

namespace {

using namespace quorlin;
using boundary::as_method;

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

// Docstrings begin with the text signature, from which the interpreter takes
// __text_signature__; __doc__ is the body after the empty line.
PyMethodDef functions[] = {
    {"hurst_exponent", as_method(boundary::hurst_exponent), kFastCallWithKeywords,
     "hurst_exponent(signal, method=\"rs\")\n--\n\nHurst exponent via R/S analysis.\n\n"
     "Port of ostrel.primitives.hurst_exponent.\n\n"
     "Config constants (from ostrel.primitives.config):\n  rs_min_k = 10\n"
     "  rs_max_k_ratio = 0.5\n  rs_max_k_cap = 100"},
    {"permutation_entropy", as_method(boundary::permutation_entropy), kFastCallWithKeywords,
     "permutation_entropy(signal, order=3, delay=1, normalize=True)\n--\n\nPermutation "
     "entropy.\n\nMeasures complexity via ordinal pattern distribution."},
    {"sample_entropy", as_method(boundary::sample_entropy), kFastCallWithKeywords,
     "sample_entropy(signal, m=2, r=None)\n--\n\nSample entropy.\n\nSampEn = -log(A/B) where "
     "B = m-length matches, A = (m+1)-length matches."},
    {"lyapunov_rosenstein", as_method(boundary::lyapunov_rosenstein), kFastCallWithKeywords,
     "lyapunov_rosenstein(signal, dimension=None, delay=None, min_tsep=None, max_iter=None)\n--\n\n"
     "Rosenstein's method for largest Lyapunov exponent.\n\n"
     "Returns (lambda_max, divergence_curve, iterations)."},
    {"lyapunov_kantz", as_method(boundary::lyapunov_kantz), kFastCallWithKeywords,
     "lyapunov_kantz(signal, dimension=None, delay=None, min_tsep=None, epsilon=None, "
     "max_iter=None)\n--\n\n"
     "Kantz's method for largest Lyapunov exponent.\n\n"
     "Returns (max_lyapunov, divergence_curve)."},
    {"ftle_local_linearization", as_method(boundary::ftle_local_linearization),
     kFastCallWithKeywords,
     "ftle_local_linearization(trajectory, time_horizon=10, n_neighbors=10, epsilon=None)\n--\n\n"
     "FTLE via local linearization of neighbor trajectories.\n\n"
     "Returns (ftle_values, confidence) arrays."},
    {"ftle_direct_perturbation", as_method(boundary::ftle_direct_perturbation),
     kFastCallWithKeywords,
     "ftle_direct_perturbation(signal, dimension=3, delay=1, time_horizon=10, "
     "perturbation=1e-6, n_perturbations=10)\n--\n\n"
     "FTLE via direct perturbation of delay-embedded signal.\n\n"
     "Returns (ftle_values, jacobian_norms)."},
    {"optimal_delay", as_method(boundary::optimal_delay), kFastCallWithKeywords,
     "optimal_delay(signal, max_lag=None, method=\"mutual_info\")\n--\n\n"
     "Estimate optimal delay via AMI first minimum."},
    {"time_delay_embedding", as_method(boundary::time_delay_embedding), kFastCallWithKeywords,
     "time_delay_embedding(signal, dimension=3, delay=1)\n--\n\nTime-delay embedding.\n\n"
     "Returns (n_points, dimension) array."},
    {"optimal_dimension", as_method(boundary::optimal_dimension), kFastCallWithKeywords,
     "optimal_dimension(signal, delay=None, max_dim=10, method=\"fnn\", threshold=0.01)\n--\n\n"
     "Estimate optimal embedding dimension via FNN or Cao's method."},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    QUORLIN_TEXT(QUORLIN_MODULE),
    "Native-accelerated primitives for signal analysis.\nBoth Vantor and Ostrel import from this "
    "package.",
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

PyMODINIT_FUNC QUORLIN_JOIN(PyInit_, QUORLIN_MODULE)() {
    return boundary::guarded(
        [] { return boundary::create_module(module_definition, functions, module_cell); });
}
