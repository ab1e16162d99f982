// Arguments: parses one call against a function's ParameterTable, then
// converts every parameter, in order, with the converter of its kind:
//
//     Arguments in(Face::table, args, nargs, kwnames);
//     ArgumentValues<Face> values;
//     in.convert_all<Face>(values);
//     if (!in.ok()) return nullptr;
//
// `Face` is a class whose static constexpr `table` declares the parameters;
// a parameter left out takes the default its row writes.
//
// After the first failure every later parameter converts nothing, so exactly
// the first failing argument is reported. A TypeError from a converter is
// re-raised as "argument '{name}': {text}" (its __cause__ carried over);
// any other exception, OverflowError included, passes unchanged.
#pragma once

#include "boundary/convert.hpp"
#include "boundary/parse.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

namespace quorlin::boundary {

// The value a parameter of kind K converts to, its converter (the shape of
// those in convert.hpp), and, for a kind that has defaults, the reading of a
// default's text. The kinds of the threaded module only are specialised in
// parallel_inputs.hpp.
template <Kind K>
struct Conversion;

template <>
struct Conversion<Kind::signal> {
    using Value = SignalView;
    static constexpr auto convert = convert_signal;
};
template <>
struct Conversion<Kind::trajectory> {
    using Value = TrajectoryView;
    static constexpr auto convert = convert_trajectory;
};
template <>
struct Conversion<Kind::unsigned_integer> {
    using Value = std::uint64_t;
    static constexpr auto convert = convert_unsigned;
    static consteval Value fallback(std::string_view text) { return default_unsigned(text); }
};
template <>
struct Conversion<Kind::optional_unsigned_integer> {
    using Value = std::optional<std::uint64_t>;
    static constexpr auto convert = convert_unsigned;
};
template <>
struct Conversion<Kind::real> {
    using Value = double;
    static constexpr auto convert = convert_double;
    static consteval Value fallback(std::string_view text) { return default_real(text); }
};
template <>
struct Conversion<Kind::optional_real> {
    using Value = std::optional<double>;
    static constexpr auto convert = convert_double;
};
template <>
struct Conversion<Kind::text> {
    using Value = std::string_view;
    static constexpr auto convert = convert_text;
    static consteval Value fallback(std::string_view text) { return default_text(text); }
};
template <>
struct Conversion<Kind::boolean> {
    using Value = bool;
    static constexpr auto convert = convert_boolean;
    static consteval Value fallback(std::string_view text) { return default_boolean(text); }
};

// The converted arguments of a call of `Face`, one value per parameter.
template <class Face, class Indices = std::make_index_sequence<Face::table.size()>>
struct ArgumentValuesOf;

template <class Face, std::size_t... I>
struct ArgumentValuesOf<Face, std::index_sequence<I...>> {
    using type = std::tuple<typename Conversion<Face::table.parameters[I].kind>::Value...>;
};

template <class Face>
using ArgumentValues = typename ArgumentValuesOf<Face>::type;

class Arguments {
public:
    Arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames)
        : ok_(parse_arguments(table, args, nargs, kwnames, slots_)) {}

    bool ok() const { return ok_; }

    template <class Face>
    void convert_all(ArgumentValues<Face>& values) {
        static_assert(Face::table.size() <= kMaxParameters);
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (convert_parameter<Face, I>(std::get<I>(values)), ...);
        }(std::make_index_sequence<Face::table.size()>{});
    }

private:
    template <class Face, std::size_t I, class T>
    void convert_parameter(T& out) {
        constexpr Parameter parameter = Face::table.parameters[I];
        using Converter = Conversion<parameter.kind>;
        PyObject* object = slots_[I];
        if (!ok_) return;
        if constexpr (is_optional(parameter.kind)) {
            // None counts as absent, for these kinds only.
            if (object == nullptr || object == Py_None) return;
            typename T::value_type value{};
            if (Converter::convert(object, value)) {
                out = value;
                return;
            }
        } else if constexpr (parameter.default_text == nullptr) {
            if (Converter::convert(object, out)) return;
        } else {
            constexpr T fallback = Converter::fallback(parameter.default_text);
            out = fallback;
            if (object == nullptr || Converter::convert(object, out)) return;
        }
        fail(parameter.name);
    }

    void fail(const char* name);

    ArgumentSlots slots_{};
    bool ok_;
};

}  // namespace quorlin::boundary
