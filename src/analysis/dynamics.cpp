#include "analysis/dynamics.hpp"

#include <algorithm>
#include <cmath>

namespace tonalyx {
namespace {

// |re + i·im| without overflow or underflow: the squares of floats are exact in double precision
// and their sum cannot overflow it. This is how the C library computes hypotf, here without the
// call (its results match bit for bit); infinities and NaN take the library's path.
float magnitude_of(float re, float im) {
    if (!std::isfinite(re) || !std::isfinite(im)) {
        return std::hypot(re, im);
    }
    const double re_wide = re;
    const double im_wide = im;
    return static_cast<float>(std::sqrt(re_wide * re_wide + im_wide * im_wide));
}

} // namespace

float bar_value(const FftBuffer& spectrum, std::uint16_t bin) {
    const float magnitude = magnitude_of(spectrum[bin][0], spectrum[bin][1]);
    // Tilt toward the high bins: weight 1 at bin 0, just under 5 at bin 511.
    const float tilt = (static_cast<float>(bin) * (1.0f / 512.0f)) * 4.0f + 1.0f;
    return std::sqrt((magnitude * 80.0f) * tilt);
}

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
    peaks_.insert(peaks_.begin(), largest < 0.001f ? 1.0f : largest);
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

} // namespace tonalyx
