#include "common/memory.hpp"

#include <unistd.h>

#include <limits>
#include <new>

#include "common/checked_math.hpp"

namespace quorlin {

std::uint64_t physical_memory_bytes() {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
        const auto total = checked_mul(static_cast<std::uint64_t>(pages),
                                       static_cast<std::uint64_t>(page_size));
        return total ? *total : std::numeric_limits<std::uint64_t>::max();
    }();
    return bytes;
}

void require_memory(std::uint64_t count, std::size_t element_size, std::uint64_t copies) {
    const auto bytes = checked_mul(count, element_size);
    const auto all_copies = bytes ? checked_mul(*bytes, copies) : std::nullopt;
    if (!all_copies || *all_copies > std::numeric_limits<std::size_t>::max() / 2 ||
        *all_copies > physical_memory_bytes()) {
        throw std::bad_alloc();
    }
}

}  // namespace quorlin
