// Point sets for the neighbour searches and the embedding.
//
// EmbeddedPoints is the one layout of a delay-embedded series: n_points rows
// of `dimension` doubles, row-major in a single flat buffer, row i being
// (x[i], x[i + tau], ..., x[i + (dimension - 1) * tau]).
//
// StridedPoints reads a caller's two-dimensional array in place through its
// byte strides (any layout, negative strides, even unaligned), which is how a
// trajectory handed in by the user is searched without being copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "common/execution.hpp"
#include "common/uninitialized.hpp"

namespace quorlin {

struct EmbeddedPoints {
    // Rows of the library's own, which nothing changes while they are read.
    static constexpr bool kReadInPlace = false;

    // n_points * dimension values, row-major; a resize leaves them unwritten
    // (every producer writes them all).
    Uninitialized<double> coords;
    std::size_t n_points = 0;
    std::size_t dimension = 0;

    std::size_t size() const { return n_points; }
    std::size_t dim() const { return dimension; }
    const double* row(std::size_t i) const { return coords.data() + i * dimension; }
    double coord(std::size_t i, std::size_t c) const { return coords[i * dimension + c]; }
};

// Builds n rows of m coordinates, row i = (x[i + j * tau] for j = 0 .. m - 1).
// The caller guarantees n + (m - 1) * tau <= x.size() (for m >= 1). Throws
// std::bad_alloc when n * m values cannot be held, Cancelled when the pacer's
// context says stop. Long embeddings are copied by the context's workers, in
// blocks of rows fixed by the sizes alone.
EmbeddedPoints embed_points(std::span<const double> x, std::uint64_t m, std::uint64_t tau,
                            std::uint64_t n, Pacer& pacer);

struct StridedPoints {
    // A caller's array, which another thread or process may write while it
    // is read: a value read twice may differ.
    static constexpr bool kReadInPlace = true;

    const unsigned char* base = nullptr;  // address of element (0, 0)
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::ptrdiff_t row_stride = 0;  // in bytes, may be negative
    std::ptrdiff_t col_stride = 0;  // in bytes, may be negative

    std::size_t size() const { return n_rows; }
    std::size_t dim() const { return n_cols; }
    double coord(std::size_t i, std::size_t c) const {
        // memcpy keeps unaligned and oddly strided elements well defined; it
        // compiles to a plain load.
        double v;
        std::memcpy(&v,
                    base + static_cast<std::ptrdiff_t>(i) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof v);
        return v;
    }
};

}  // namespace quorlin
