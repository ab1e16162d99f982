#include "common/checked_math.hpp"

#include <algorithm>

namespace quorlin {

std::string to_decimal(uint128 value) {
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return digits;
}

}  // namespace quorlin
