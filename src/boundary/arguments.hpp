// Arguments: parses one call against its ParameterTable, then converts the
// parameters in order, one typed call per parameter:
//
//     Arguments in(kTable, args, nargs, kwnames);
//     SignalView signal;
//     in.signal(signal);
//     const auto dimension = in.unsigned_integer(3);
//     const auto epsilon = in.optional_real();
//     if (!in.ok()) return nullptr;
//
// After the first failure every later call converts nothing, so exactly the
// first failing argument is reported. A TypeError from a converter is
// re-raised as "argument '{name}': {text}" (its __cause__ carried over);
// any other exception, OverflowError included, passes unchanged.
#pragma once

#include "boundary/convert.hpp"
#include "boundary/parse.hpp"

#include <optional>

namespace quorlin::boundary {

class Arguments {
public:
    Arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames)
        : table_(table), ok_(parse_arguments(table, args, nargs, kwnames, slots_)) {}

    bool ok() const { return ok_; }

    void signal(SignalView& out) { convert_required(convert_signal, out); }
    void trajectory(TrajectoryView& out) { convert_required(convert_trajectory, out); }

    std::uint64_t unsigned_integer(std::uint64_t fallback) {
        return convert_or(convert_unsigned, fallback);
    }
    std::optional<std::uint64_t> optional_unsigned_integer() {
        return convert_optional<std::uint64_t>(convert_unsigned);
    }
    double real(double fallback) { return convert_or(convert_double, fallback); }
    std::optional<double> optional_real() { return convert_optional<double>(convert_double); }
    std::string_view text(std::string_view fallback) { return convert_or(convert_text, fallback); }
    bool boolean(bool fallback) { return convert_or(convert_boolean, fallback); }
    // A required parameter of a kind that only one module has (the threaded
    // module's worker count, progress callback and anchor subset), by a
    // converter of the same shape as those of convert.hpp.
    template <class T>
    void required(bool (*convert)(PyObject*, T&), T& out) {
        convert_required(convert, out);
    }

private:
    // The next parameter's argument object (nullptr when absent) and name.
    PyObject* next(const char*& name) {
        name = table_.names[next_];
        return slots_[next_++];
    }

    template <class T>
    void convert_required(bool (*convert)(PyObject*, T&), T& out) {
        const char* name;
        PyObject* object = next(name);
        if (ok_ && !convert(object, out)) fail(name);
    }

    template <class T>
    T convert_or(bool (*convert)(PyObject*, T&), T fallback) {
        const char* name;
        PyObject* object = next(name);
        T value = fallback;
        if (ok_ && object != nullptr && !convert(object, value)) fail(name);
        return value;
    }

    template <class T>
    std::optional<T> convert_optional(bool (*convert)(PyObject*, T&)) {
        const char* name;
        PyObject* object = next(name);
        if (!ok_ || object == nullptr || object == Py_None) return std::nullopt;
        T value{};
        if (!convert(object, value)) {
            fail(name);
            return std::nullopt;
        }
        return value;
    }

    void fail(const char* name);

    const ParameterTable& table_;
    ArgumentSlots slots_{};
    std::size_t next_ = 0;
    bool ok_;
};

}  // namespace quorlin::boundary
