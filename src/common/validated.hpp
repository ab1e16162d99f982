// The outcome of a computation that validates its own parameters: either a
// value or the message of a refusal, which the boundary raises as ValueError.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quorlin {

struct Invalid {
    std::string message;
};

template <class T>
using Validated = std::variant<T, Invalid>;

}  // namespace quorlin
