// Docstrings built at compile time from a function's ParameterTable: the text
// signature the interpreter reads (__text_signature__ is the part of the
// first line in parentheses, __doc__ the body after the empty line) is
// rendered from the same rows that parse the call.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "boundary/parse.hpp"

namespace quorlin::boundary {

// Appends texts to a buffer; with no buffer it only counts, so that one
// writing routine sizes the buffer and then fills it.
class TextWriter {
public:
    constexpr explicit TextWriter(char* out = nullptr) : out_(out) {}

    constexpr TextWriter& operator<<(std::string_view text) {
        for (const char c : text) {
            if (out_ != nullptr) out_[size_] = c;
            ++size_;
        }
        return *this;
    }

    constexpr std::size_t size() const { return size_; }

private:
    char* out_;
    std::size_t size_ = 0;
};

// "name(a, b=1, c=None)" for the engine, "name(a, b, c, /)" for a table of
// positional-only parameters, then the line the interpreter splits at.
constexpr void write_signature(TextWriter& out, const ParameterTable& table) {
    out << table.function << "(";
    for (std::size_t p = 0; p < table.size(); ++p) {
        if (p > 0) out << ", ";
        const Parameter& parameter = table.parameters[p];
        out << parameter.name;
        if (parameter.default_text != nullptr) out << "=" << parameter.default_text;
    }
    if (table.positional_only) out << ", /";
    out << ")\n--\n\n";
}

// The text `Write` puts into a TextWriter, as a null-terminated array sized
// at compile time. `Write` is a class with a static constexpr write(TextWriter&).
template <class Write>
constexpr auto static_text() {
    constexpr std::size_t size = [] {
        TextWriter counter;
        Write::write(counter);
        return counter.size();
    }();
    std::array<char, size + 1> text{};
    TextWriter out(text.data());
    Write::write(out);
    return text;
}

}  // namespace quorlin::boundary
