#include "numerics/points.hpp"

#include <algorithm>
#include <new>

#include "common/checked_math.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"

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
    double* const out = points.coords.data();
    const std::size_t m_values = points.dimension;
    const auto step = static_cast<std::size_t>(tau);
    // Rows go in blocks of about 2^16 values between counts of the work.
    const std::size_t block = std::max<std::size_t>(1, (std::size_t{1} << 16) / std::max<std::size_t>(m_values, 1));
    const std::size_t blocks = (points.n_points + block - 1) / block;
    const auto copy_block = [&](std::size_t b, Pacer& block_pacer) {
        const std::size_t first = b * block;
        const std::size_t end = std::min(points.n_points, first + block);
        double* row = out + first * m_values;
        for (std::size_t i = first; i < end; ++i) {
            for (std::size_t j = 0; j < m_values; ++j) *row++ = x[i + j * step];
        }
        // A copied value costs a few units: the rows are written to fresh
        // memory and read with a stride.
        block_pacer.advance((end - first) * (4 * m_values + 1));
    };
    if (pacer.context().workers() > 1 && pacer.context().search().thread_embedding(*total)) {
        for_each_task(pacer.context(), blocks, copy_block);
    } else {
        for (std::size_t b = 0; b < blocks; ++b) copy_block(b, pacer);
    }
    return points;
}

}  // namespace quorlin
