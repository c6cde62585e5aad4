#include "analysis/bands.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace tonalyx {

std::vector<std::uint16_t> build_column_bins(std::uint16_t columns, float log_power) {
    constexpr std::uint16_t highest_bin = 511;
    const float exponent = 0.8f * log_power;
    const float count = static_cast<float>(columns);
    std::vector<std::uint16_t> bins;
    bins.reserve(columns);
    for (std::uint16_t i = 0; i < columns; ++i) {
        const float position = static_cast<float>(i) / count;
        const float bin = std::pow(position, exponent) * 512.0f;
        bins.push_back(std::min(saturating_truncate<std::uint16_t>(bin), highest_bin));
    }
    return bins;
}

} // namespace tonalyx
