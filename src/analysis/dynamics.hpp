// Bar dynamics: the value a column takes from the spectrum bin it shows, and the automatic gain
// that scales every bar so that the tallest of the last half second reaches the top of the
// screen. All arithmetic is in single precision; nothing here allocates after construction.
#pragma once

#include "analysis/fft.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tonalyx {

// |re + i·im| without overflow or underflow: the squares of floats are exact in double precision
// and their sum cannot overflow it. This is how the C library computes hypotf, here without the
// call (its results match bit for bit); infinities and NaN take the library's path.
inline float magnitude_of(float re, float im) {
    if (!std::isfinite(re) || !std::isfinite(im)) {
        return std::hypot(re, im);
    }
    const double re_wide = re;
    const double im_wide = im;
    return static_cast<float>(std::sqrt(re_wide * re_wide + im_wide * im_wide));
}

// The value of spectrum bin `bin` (0 … 511) as a bar, a magnitude tilted toward the high bins
// and compressed: sqrt((|X[bin]| * 80) * ((bin / 512) * 4 + 1)). Inline, as it runs once per
// column in every analysed frame.
inline float bar_value(const FftBuffer& spectrum, std::uint16_t bin) {
    const float magnitude = magnitude_of(spectrum[bin][0], spectrum[bin][1]);
    // Tilt toward the high bins: weight 1 at bin 0, just under 5 at bin 511.
    const float tilt = (static_cast<float>(bin) * (1.0f / 512.0f)) * 4.0f + 1.0f;
    return std::sqrt((magnitude * 80.0f) * tilt);
}

// A frame whose largest bar is below this counts as silent: the gain records 1.0 for it.
inline constexpr float silent_peak = 0.001f;

// The automatic gain: the largest bar of each of the most recent analysed frames, and the
// normaliser they give.
class AutoGain {
public:
    // Keeps the peaks of the last fps / 2 analysed frames; fps is 1 or more (none kept for 1).
    explicit AutoGain(std::uint16_t fps);

    // Records the largest of `bars` as the newest peak (NaN passed over; 1.0 when below 0.001, so
    // that silence is not drawn at full height), forgets the oldest beyond the limit, and sets the
    // normaliser to the largest peak kept, at least 0.1. Allocates nothing.
    void record(std::span<const float> bars);

    // A bar of this value reaches the full height: 1.0 until the first record.
    float normaliser() const { return normaliser_; }

    // True when recording a silent frame would change nothing: every peak kept is a silent
    // frame's 1.0, as many as are kept, and the normaliser is what they give.
    bool at_rest() const;

private:
    // Newest first, with room for one more than the limit reserved up front.
    std::vector<float> peaks_;
    std::size_t limit_;
    float normaliser_ = 1.0f;
};

} // namespace tonalyx
