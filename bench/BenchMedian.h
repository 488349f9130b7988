#pragma once

// The figure the benchmarks report for several rounds.

#include <algorithm>
#include <vector>

namespace vorn::bench {

/// The median of the rounds (the upper one of an even count).
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace vorn::bench
