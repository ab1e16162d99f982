#include "numerics/points.hpp"

#include <new>

#include "common/checked_math.hpp"
#include "common/memory.hpp"

namespace quorlin {

EmbeddedPoints embed_points(std::span<const double> x, std::uint64_t m, std::uint64_t tau,
                            std::uint64_t n) {
    const auto total = checked_mul(n, m);
    if (!total) throw std::bad_alloc();
    require_memory(*total, sizeof(double));
    EmbeddedPoints points;
    points.n_points = static_cast<std::size_t>(n);
    points.dimension = static_cast<std::size_t>(m);
    points.coords.resize(static_cast<std::size_t>(*total));
    double* out = points.coords.data();
    for (std::size_t i = 0; i < points.n_points; ++i) {
        for (std::size_t j = 0; j < points.dimension; ++j) {
            *out++ = x[i + j * static_cast<std::size_t>(tau)];
        }
    }
    return points;
}

}  // namespace quorlin
