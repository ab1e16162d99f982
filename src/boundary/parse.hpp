// Matching of fast-call arguments against a function's parameter table, with
// the host's own wording for every mismatch.
#pragma once

#include "boundary/python.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace quorlin::boundary {

// The longest parameter list: ftle_direct_perturbation of the threaded module.
inline constexpr std::size_t kMaxParameters = 9;

// The static description of one function's parameters. Every parameter is
// positional-or-keyword; the first `required` of them have no default.
struct ParameterTable {
    const char* function;
    std::span<const char* const> names;
    std::size_t required;
};

// One borrowed argument object per parameter, or nullptr where none was given.
using ArgumentSlots = std::array<PyObject*, kMaxParameters>;

// Fills `slots` from the positional arguments and the keywords; on a
// mismatch sets TypeError and returns false.
bool parse_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ArgumentSlots& slots);

}  // namespace quorlin::boundary
