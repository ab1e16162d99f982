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
#include <type_traits>
#include <utility>

namespace quorlin::boundary {

// The value a parameter of kind K converts to and its converter (of the
// shape of those in convert.hpp). The kinds of the threaded module only are
// specialised in parallel_inputs.hpp.
template <Kind K>
struct Conversion;

template <class T, auto Convert>
struct Converts {
    using Value = T;
    static constexpr auto convert = Convert;
};

template <> struct Conversion<Kind::signal> : Converts<SignalView, convert_signal> {};
template <> struct Conversion<Kind::trajectory> : Converts<TrajectoryView, convert_trajectory> {};
template <> struct Conversion<Kind::unsigned_integer>
    : Converts<std::uint64_t, convert_unsigned> {};
template <> struct Conversion<Kind::optional_unsigned_integer>
    : Converts<std::optional<std::uint64_t>, convert_unsigned> {};
template <> struct Conversion<Kind::real> : Converts<double, convert_double> {};
template <> struct Conversion<Kind::optional_real>
    : Converts<std::optional<double>, convert_double> {};
template <> struct Conversion<Kind::text> : Converts<std::string_view, convert_text> {};
template <> struct Conversion<Kind::boolean> : Converts<bool, convert_boolean> {};

// A default's text read as the value of its kind.
template <class T>
consteval T default_value(std::string_view text) {
    if constexpr (std::is_same_v<T, std::uint64_t>) return default_unsigned(text);
    if constexpr (std::is_same_v<T, double>) return default_real(text);
    if constexpr (std::is_same_v<T, std::string_view>) return default_text(text);
    if constexpr (std::is_same_v<T, bool>) return default_boolean(text);
}

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
            constexpr T fallback = default_value<T>(parameter.default_text);
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
