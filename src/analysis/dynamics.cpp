#include "analysis/dynamics.hpp"

#include <algorithm>

namespace tonalyx {

AutoGain::AutoGain(std::uint16_t fps) : limit_(fps / 2u) {
    peaks_.reserve(limit_ + 1);
}

void AutoGain::record(std::span<const float> bars) {
    float largest = 0.0f;
    for (const float bar : bars) {
        // Written as a comparison that is false for NaN, so NaN is passed over.
        if (bar > largest) {
            largest = bar;
        }
    }
    // At most fps / 2 entries to move: cheaper than a deque, which allocates as it moves along.
    peaks_.insert(peaks_.begin(), largest < silent_peak ? 1.0f : largest);
    if (peaks_.size() > limit_) {
        peaks_.pop_back();
    }
    float recent = 0.0f;
    for (const float peak : peaks_) {
        if (peak > recent) {
            recent = peak;
        }
    }
    normaliser_ = std::max(0.1f, recent);
}

bool AutoGain::at_rest() const {
    const bool all_silent =
        std::all_of(peaks_.begin(), peaks_.end(), [](float peak) { return peak == 1.0f; });
    return all_silent && peaks_.size() == limit_ && normaliser_ == (limit_ == 0 ? 0.1f : 1.0f);
}

} // namespace tonalyx
