// Population mean and variance of a series, each sum in index order into one
// accumulator.
//
// The mean's sum starts from -0.0, the identity of IEEE addition, so that a
// series of negative zeros keeps its sign; the variance divides by N, not
// N - 1. A single NaN sample makes both NaN, and callers rely on that to
// disable whatever the statistics feed (a NaN radius or tolerance).
#pragma once

#include <span>

namespace quorlin {

struct PopulationMoments {
    double mean;
    double variance;
};

inline PopulationMoments population_moments(std::span<const double> x) {
    double sum = -0.0;
    for (const double v : x) sum += v;
    const double mean = sum / static_cast<double>(x.size());
    double squares = 0.0;
    for (const double v : x) {
        const double deviation = v - mean;
        squares += deviation * deviation;
    }
    return {mean, squares / static_cast<double>(x.size())};
}

}  // namespace quorlin
