#include "analysis/dynamics.hpp"

#include <algorithm>
#include <numeric>

namespace tonalyx {

AutoGain::AutoGain(std::uint16_t fps) : limit_(fps / 2u) {
    peaks_.reserve(limit_ + 1);
}

void AutoGain::record(std::span<const float> bars) {
    // std::max keeps its first argument unless the second is larger, so NaN is passed over.
    const auto larger = [](float a, float b) { return std::max(a, b); };
    const float largest = std::accumulate(bars.begin(), bars.end(), 0.0f, larger);
    // At most fps / 2 entries to move: cheaper than a deque, which allocates as it moves along.
    peaks_.insert(peaks_.begin(), largest < silent_peak ? 1.0f : largest);
    if (peaks_.size() > limit_) {
        peaks_.pop_back();
    }
    normaliser_ = std::max(0.1f, std::accumulate(peaks_.begin(), peaks_.end(), 0.0f, larger));
}

bool AutoGain::at_rest() const {
    const bool all_silent =
        std::all_of(peaks_.begin(), peaks_.end(), [](float peak) { return peak == 1.0f; });
    return all_silent && peaks_.size() == limit_ && normaliser_ == (limit_ == 0 ? 0.1f : 1.0f);
}

} // namespace tonalyx
