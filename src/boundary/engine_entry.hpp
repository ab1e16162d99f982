// The entry point of an engine function, generated from its row
// (functions.hpp): parse and convert the arguments, check that a signal is
// contiguous (after every conversion, so that a wrong later argument is
// reported first), run the kernel on the caller's array in place with the
// interpreter lock held and Ctrl-C able to stop it, build the result objects.
#pragma once

#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary/arguments.hpp"
#include "boundary/failure.hpp"
#include "boundary/python.hpp"

namespace quorlin::boundary {

// What a kernel reads of a converted argument: an array as its samples or
// strided rows, in place; any other value as it is.
inline std::span<const double> kernel_input(const SignalView& signal) { return signal.samples(); }
inline StridedPoints kernel_input(const TrajectoryView& trajectory) { return trajectory.points(); }
template <class T>
const T& kernel_input(const T& value) {
    return value;
}

// The contiguity check of every signal among the arguments (a trajectory is
// read through its strides and needs none).
template <class... T>
bool signals_contiguous(std::tuple<T...>& values) {
    return std::apply(
        [](auto&... value) {
            return ([](auto& v) {
                if constexpr (std::is_same_v<std::remove_reference_t<decltype(v)>, SignalView>) {
                    return v.require_contiguous();
                } else {
                    return true;
                }
            }(value) && ...);
        },
        values);
}

template <class Function>
PyObject* engine_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(Function::table.parameters[0].kind == Kind::signal ||
                      Function::table.parameters[0].kind == Kind::trajectory,
                  "every function reads one input array, its first parameter");
    return guarded([&]() -> PyObject* {
        Arguments in(Function::table, args, nargs, kwnames);
        ArgumentValues<Function> values;
        in.template convert_all<Function>(values);
        if (!in.ok() || !signals_contiguous(values)) return nullptr;
        auto computed = std::apply(
            [](const auto&... value) {
                return Function::compute(kernel_input(value)..., stop_on_signals());
            },
            values);
        if constexpr (std::is_arithmetic_v<decltype(computed)>) {
            // A number keeps nothing of the input: the borrow ends before the
            // result object exists.
            std::get<0>(values).reset(nullptr);
        }
        return Function::result(std::move(computed));
    });
}

}  // namespace quorlin::boundary
