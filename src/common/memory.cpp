#include "common/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/checked_math.hpp"

namespace quorlin {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// Below this size a request is checked against the machine's size only: the
// files that tell the memory free right now are read for large requests, the
// only ones that can push a healthy process into the out-of-memory killer.
constexpr std::uint64_t kConsultAvailable = std::uint64_t{64} << 20;

// The leading unsigned number of a small text file ("max" and missing files
// give no value).
std::optional<std::uint64_t> read_number(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return std::nullopt;
    unsigned long long value = 0;
    const bool found = std::fscanf(file, "%llu", &value) == 1;
    std::fclose(file);
    if (!found) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

// Whether a comma-separated list of cgroup v1 controllers holds "memory".
bool lists_memory_controller(const char* controllers) {
    const std::string_view list(controllers);
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        if (list.substr(start, end - start) == "memory") return true;
        start = end + 1;
    }
    return false;
}

// MemAvailable + SwapFree of /proc/meminfo: what the kernel can hand out
// without killing anything. kUnlimited when the kernel does not say.
std::uint64_t system_available_bytes() {
    std::FILE* file = std::fopen("/proc/meminfo", "re");
    if (file == nullptr) return kUnlimited;
    char line[256];
    std::optional<std::uint64_t> available;
    std::uint64_t swap_free = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) available = kib;
        if (std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) swap_free = kib;
    }
    std::fclose(file);
    if (!available) return kUnlimited;
    const auto total = checked_add(*available, swap_free);
    const auto bytes = total ? checked_mul(*total, 1024) : std::nullopt;
    return bytes ? *bytes : kUnlimited;
}

// The room left under the memory limits of this process's control group and
// of every group above it (cgroup v2, else the v1 memory controller): inside
// a container the out-of-memory killer acts at the group's limit, which can
// be far below the machine's memory.
std::uint64_t cgroup_headroom_bytes() {
    std::FILE* file = std::fopen("/proc/self/cgroup", "re");
    if (file == nullptr) return kUnlimited;
    std::string root;
    std::string group;
    const char* limit_name = nullptr;
    const char* usage_name = nullptr;
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        // hierarchy-id:controllers:path
        char* controllers = std::strchr(line, ':');
        char* path = controllers ? std::strchr(controllers + 1, ':') : nullptr;
        if (path == nullptr) continue;
        *path++ = '\0';
        ++controllers;
        if (lists_memory_controller(controllers)) {
            root = "/sys/fs/cgroup/memory";
            group = path;
            limit_name = "/memory.limit_in_bytes";
            usage_name = "/memory.usage_in_bytes";
            break;
        }
        if (*controllers == '\0' && std::strcmp(line, "0") == 0) {
            root = "/sys/fs/cgroup";
            group = path;
            limit_name = "/memory.max";
            usage_name = "/memory.current";
        }
    }
    std::fclose(file);
    if (limit_name == nullptr) return kUnlimited;

    // From the process's own group up to the root of the mounted hierarchy;
    // levels that are not visible (another mount namespace) are skipped.
    std::uint64_t headroom = kUnlimited;
    while (true) {
        const std::string directory = root + group;
        const auto limit = read_number(directory + limit_name);
        const auto usage = read_number(directory + usage_name);
        if (limit && usage) headroom = std::min(headroom, saturating_sub(*limit, *usage));
        const auto slash = group.find_last_of('/');
        if (group.empty() || slash == std::string::npos) break;
        group.erase(slash);
    }
    return headroom;
}

}  // namespace

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

std::uint64_t available_memory_bytes() {
    return std::min({physical_memory_bytes(), system_available_bytes(), cgroup_headroom_bytes()});
}

std::uint64_t address_space_headroom_bytes() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
    // The first field of /proc/self/statm: the pages mapped now.
    std::FILE* file = std::fopen("/proc/self/statm", "re");
    if (file == nullptr) return 0;
    unsigned long long pages = 0;
    const bool found = std::fscanf(file, "%llu", &pages) == 1;
    std::fclose(file);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (!found || page_size <= 0) return 0;
    const auto mapped = checked_mul(static_cast<std::uint64_t>(pages),
                                    static_cast<std::uint64_t>(page_size));
    return mapped ? saturating_sub(static_cast<std::uint64_t>(limit.rlim_cur), *mapped) : 0;
}

void prefer_huge_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Below two huge pages the table cannot hold a whole aligned one in most
    // placements; the advice would only split the mapping.
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (bytes < 2 * kHugePage) return;
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0) return;
    const auto mask = static_cast<std::uintptr_t>(page) - 1;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + mask) & ~mask;
    const std::uintptr_t last = (start + bytes) & ~mask;
    // Failure (no such support, a kernel that refuses) leaves small pages.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

void require_memory(std::uint64_t count, std::size_t element_size, std::uint64_t copies) {
    const auto bytes = checked_mul(count, element_size);
    const auto all_copies = bytes ? checked_mul(*bytes, copies) : std::nullopt;
    if (!all_copies || *all_copies > std::numeric_limits<std::size_t>::max() / 2 ||
        *all_copies > physical_memory_bytes()) {
        throw std::bad_alloc();
    }
    // An overcommitting kernel grants a request larger than the memory that
    // is actually free, and the process is killed only later, while the
    // buffer is filled. Large requests are therefore also measured against
    // what the system and the control group can still give.
    if (*all_copies >= kConsultAvailable &&
        (*all_copies > system_available_bytes() || *all_copies > cgroup_headroom_bytes())) {
        throw std::bad_alloc();
    }
}

}  // namespace quorlin
