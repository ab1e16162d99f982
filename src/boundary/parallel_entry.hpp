// The entry point of a function of the threaded module, generated from the
// engine's row (functions.hpp). It takes the engine function's parameters,
// in its order, then `anchors` (the FTLE functions), then `workers` and
// `progress`: all positional and all required, None standing for an engine
// default of None.
//
// An entry converts its arguments with the engine's converters (so a wrong
// argument is refused with the engine's message), copies the input array
// and any text while it holds the interpreter lock, and runs the kernel on
// those copies under supervision (parallel_supervision.hpp). Nothing of the
// caller's objects is read once the lock is let go: another thread may then
// write, resize or free them without effect on the call.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "boundary/arguments.hpp"
#include "boundary/engine_entry.hpp"
#include "boundary/failure.hpp"
#include "boundary/parallel_inputs.hpp"
#include "boundary/parallel_supervision.hpp"
#include "boundary/python.hpp"
#include "boundary/signature.hpp"

namespace quorlin::boundary::parallel {

// A function whose kernel can estimate a subset of its anchors.
template <class Function>
concept HasAnchors = requires {
    { Function::anchor_unit } -> std::convertible_to<const char*>;
};

// The threaded module's face of an engine function: the engine's parameters
// without their defaults, then its own.
template <class Function>
struct Threaded {
    static constexpr std::size_t engine_size = std::size(Function::parameters);
    static constexpr std::size_t size = engine_size + (HasAnchors<Function> ? 3 : 2);

    static constexpr std::array<Parameter, size> parameters = [] {
        std::array<Parameter, size> all{};
        std::size_t p = 0;
        for (const Parameter& engine : Function::parameters) all[p++] = {engine.name, engine.kind};
        if constexpr (HasAnchors<Function>) all[p++] = {"anchors", Kind::anchors};
        all[p++] = {"workers", Kind::workers};
        all[p++] = {"progress", Kind::progress};
        return all;
    }();
    static constexpr ParameterTable table{Function::table.function, parameters, true};

    static constexpr void write(TextWriter& out) {
        write_signature(out, table);
        out << "quorlin._native." << table.function
            << " on up to `workers` threads; the same result, bit for bit.";
        if constexpr (HasAnchors<Function>) out << "\n\n" << Function::anchors_doc;
    }
};

template <class Function>
inline constexpr auto docstring = static_text<Threaded<Function>>();

// The call's own copies of what a kernel reads, taken with the lock held.
struct PrivateSignal {
    std::vector<double> samples;
};
struct PrivateTrajectory {
    std::vector<double> coords;
    StridedPoints points;  // reads `coords`, whose buffer a move keeps
};

inline PrivateSignal private_copy(const SignalView& signal) { return {private_samples(signal)}; }
inline PrivateTrajectory private_copy(const TrajectoryView& trajectory) {
    PrivateTrajectory copy;
    copy.coords = private_trajectory(trajectory, copy.points);
    return copy;
}
// A text the kernel reads on another thread.
inline std::string private_copy(std::string_view text) { return std::string(text); }
template <class T>
T private_copy(const T& value) {
    return value;
}

inline std::span<const double> kernel_input(const PrivateSignal& signal) { return signal.samples; }
inline const StridedPoints& kernel_input(const PrivateTrajectory& trajectory) {
    return trajectory.points;
}
inline std::string_view kernel_input(const std::string& text) { return text; }
using boundary::kernel_input;

// How many anchors the input has: samples of a signal, rows of a trajectory.
inline std::size_t anchor_bound(const PrivateSignal& signal) { return signal.samples.size(); }
inline std::size_t anchor_bound(const PrivateTrajectory& trajectory) {
    return trajectory.points.n_rows;
}

inline dynamics::AnchorSubset subset(const std::optional<std::vector<std::uint64_t>>& anchors) {
    if (!anchors) return std::nullopt;
    return std::span<const std::uint64_t>(*anchors);
}

template <class Function>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    using Face = Threaded<Function>;
    return guarded([&]() -> PyObject* {
        Arguments in(Face::table, args, nargs, nullptr);
        ArgumentValues<Face> values;
        in.template convert_all<Face>(values);
        if (!in.ok() || !signals_contiguous(values)) return nullptr;
        constexpr std::size_t n = Face::engine_size;
        auto inputs = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::tuple{private_copy(std::get<I>(values))...};
        }(std::make_index_sequence<n>{});
        const unsigned workers = std::get<Face::size - 2>(values);
        PyObject* const progress = std::get<Face::size - 1>(values);
        if constexpr (HasAnchors<Function>) {
            if (!check_anchors(std::get<n>(values), anchor_bound(std::get<0>(inputs)),
                               Function::anchor_unit)) {
                return nullptr;
            }
        }
        auto computed = supervised(workers, progress, [&](const ExecutionContext& context) {
            return std::apply(
                [&](const auto&... input) {
                    if constexpr (HasAnchors<Function>) {
                        return Function::compute(kernel_input(input)..., context,
                                                 subset(std::get<n>(values)));
                    } else {
                        return Function::compute(kernel_input(input)..., context);
                    }
                },
                inputs);
        });
        return Function::result(std::move(computed));
    });
}

}  // namespace quorlin::boundary::parallel
