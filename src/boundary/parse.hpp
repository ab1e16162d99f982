// A function's parameters declared once, as data, and the matching of
// fast-call arguments against that declaration with the host's own wording
// for every mismatch.
//
// A parameter is a name, a kind and a default written as the text signature
// shows it ("3", "0.01", "\"rs\"", "True", "None"). The argument parser, the
// converters' fallbacks and the docstrings' text signatures (signature.hpp)
// all read the same row, so a default cannot drift between what help()
// shows and what a call uses.
#pragma once

#include "boundary/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorlin::boundary {

// What a parameter converts to. The last three exist only in the threaded
// module (parallel_inputs.hpp).
enum class Kind {
    signal,                     // one-dimensional float64 array, read in place
    trajectory,                 // two-dimensional float64 array, any layout
    unsigned_integer,           // 0 .. 2**64 - 1
    optional_unsigned_integer,  // the same, or None
    real,                       // a double
    optional_real,              // a double, or None
    text,                       // a str, as UTF-8
    boolean,                    // bool or NumPy's bool scalar
    anchors,                    // None or a one-dimensional integer array
    workers,                    // a thread count
    progress,                   // None or a callable
};

constexpr bool is_optional(Kind kind) {
    return kind == Kind::optional_unsigned_integer || kind == Kind::optional_real;
}

struct Parameter {
    const char* name;
    Kind kind;
    // As the text signature writes it; nullptr for a required parameter.
    const char* default_text = nullptr;
};

// The static description of one function's parameters. The first `required`
// of them have no default. Every parameter is positional-or-keyword, or
// every one positional-only (the threaded module, whose wrappers pass each
// argument in order).
struct ParameterTable {
    const char* function;
    std::span<const Parameter> parameters;
    std::size_t required;
    bool positional_only;

    constexpr ParameterTable(const char* function_name, std::span<const Parameter> declared,
                             bool positional = false)
        : function(function_name), parameters(declared), required(0),
          positional_only(positional) {
        while (required < parameters.size() && parameters[required].default_text == nullptr) {
            ++required;
        }
        // Every table is a compile-time constant, so a row that breaks one
        // of these rules stops the build at the throw. A required parameter
        // after an optional one could not be passed by position; None is the
        // default of the optional kinds and of no other.
        for (std::size_t p = required; p < parameters.size(); ++p) {
            if (parameters[p].default_text == nullptr) throw "required parameter after a default";
            const bool none = std::string_view(parameters[p].default_text) == "None";
            if (none != is_optional(parameters[p].kind)) {
                throw "None is the default of exactly the optional kinds";
            }
        }
    }

    constexpr std::size_t size() const { return parameters.size(); }
};

// The longest parameter list: ftle_direct_perturbation of the threaded module.
inline constexpr std::size_t kMaxParameters = 9;

// One borrowed argument object per parameter, or nullptr where none was given.
using ArgumentSlots = std::array<PyObject*, kMaxParameters>;

// Fills `slots` from the positional arguments and the keywords; on a
// mismatch sets TypeError and returns false.
bool parse_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ArgumentSlots& slots);

// Defaults, read from their text at compile time. A text the readers below
// cannot turn into exactly the value a C++ literal of the same spelling has
// stops the build.

consteval std::uint64_t default_unsigned(std::string_view text) {
    if (text.empty()) throw "empty integer default";
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) throw "not a decimal integer";
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// Digits with an optional point and a decimal exponent ("0.01", "1e-6").
// The value is the integer of the digits scaled by an exact power of ten in
// one multiplication or division: with fewer than 2**53 for the digits and a
// power of at most 10**22 (both exact doubles), that one correctly rounded
// operation gives the nearest double, which is what the compiler makes of
// the same literal.
consteval double default_real(std::string_view text) {
    std::uint64_t digits = 0;
    int exponent = 0;
    std::size_t k = 0;
    bool point = false;
    bool any = false;
    for (; k < text.size() && text[k] != 'e' && text[k] != 'E'; ++k) {
        if (text[k] == '.' && !point) {
            point = true;
            continue;
        }
        if (text[k] < '0' || text[k] > '9') throw "not a decimal number";
        digits = digits * 10 + static_cast<std::uint64_t>(text[k] - '0');
        if (digits >= (std::uint64_t{1} << 53)) throw "too many digits for an exact reading";
        exponent -= point ? 1 : 0;
        any = true;
    }
    if (!any) throw "not a decimal number";
    if (k < text.size()) {
        ++k;
        const bool negative = k < text.size() && text[k] == '-';
        if (k < text.size() && (text[k] == '-' || text[k] == '+')) ++k;
        if (k == text.size()) throw "empty exponent";
        int written = 0;
        for (; k < text.size(); ++k) {
            if (text[k] < '0' || text[k] > '9' || written > 100) throw "bad exponent";
            written = written * 10 + (text[k] - '0');
        }
        exponent += negative ? -written : written;
    }
    if (exponent < -22 || exponent > 22) throw "power of ten not exact";
    double scale = 1.0;
    for (int e = 0; e < (exponent < 0 ? -exponent : exponent); ++e) scale *= 10.0;
    const auto value = static_cast<double>(digits);
    return exponent < 0 ? value / scale : value * scale;
}

// A quoted text ("\"rs\""), without its quotes and with no escapes inside.
consteval std::string_view default_text(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') throw "not a quoted text";
    const std::string_view inner = text.substr(1, text.size() - 2);
    if (inner.find_first_of("\"\\") != std::string_view::npos) throw "escapes are not read";
    return inner;
}

consteval bool default_boolean(std::string_view text) {
    if (text == "True") return true;
    if (text == "False") return false;
    throw "not True or False";
}

// The reading and the compiler agree on spellings whose nearest double needs
// the correct rounding (0.1, 0.01 and 1e-6 are not exact in binary).
static_assert(default_real("0.01") == 0.01 && default_real("1e-6") == 1e-6 &&
              default_real("0.1") == 0.1 && default_real("2.5E+3") == 2.5e3 &&
              default_real("123.456") == 123.456 && default_real("7") == 7.0);

}  // namespace quorlin::boundary
