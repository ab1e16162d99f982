#include "numerics/points.hpp"

#include <algorithm>
#include <new>

#include "common/checked_math.hpp"
#include "common/memory.hpp"

namespace quorlin {

EmbeddedPoints embed_points(std::span<const double> x, std::uint64_t m, std::uint64_t tau,
                            std::uint64_t n, Pacer& pacer) {
    const auto total = checked_mul(n, m);
    if (!total) throw std::bad_alloc();
    require_memory(*total, sizeof(double));
    EmbeddedPoints points;
    points.n_points = static_cast<std::size_t>(n);
    points.dimension = static_cast<std::size_t>(m);
    points.coords.resize(static_cast<std::size_t>(*total));
    double* out = points.coords.data();
    // Rows go in blocks of about 2^16 values between counts of the work.
    const std::size_t block = std::max<std::size_t>(1, (std::size_t{1} << 16) / std::max<std::size_t>(points.dimension, 1));
    for (std::size_t first = 0; first < points.n_points; first += block) {
        const std::size_t end = std::min(points.n_points, first + block);
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < points.dimension; ++j) {
                *out++ = x[i + j * static_cast<std::size_t>(tau)];
            }
        }
        // A copied value costs a few units: the rows are written to fresh
        // memory and read with a stride.
        pacer.advance((end - first) * (4 * points.dimension + 1));
    }
    return points;
}

}  // namespace quorlin
