// Bar dynamics: the value a column takes from the spectrum bin it shows, and the automatic gain
// that scales every bar so that the tallest of the last half second reaches the top of the
// screen. All arithmetic is in single precision; nothing here allocates after construction.
#pragma once

#include "analysis/fft.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tonalyx {

// The value of spectrum bin `bin` (0 … 511) as a bar: sqrt((|X[bin]| * 80) * ((bin / 512) * 4 +
// 1)), a magnitude tilted toward the high bins and compressed. The magnitude is computed as hypot
// does, without overflow or underflow.
float bar_value(const FftBuffer& spectrum, std::uint16_t bin);

// The automatic gain: the largest bar of each of the most recent analysed frames, and the
// normaliser they give.
class AutoGain {
public:
    // Keeps the peaks of the last fps / 2 analysed frames (none for an fps of 0 or 1).
    explicit AutoGain(std::uint16_t fps);

    // Records the largest of `bars` as the newest peak (NaN passed over; 1.0 when below 0.001, so
    // that silence is not drawn at full height), forgets the oldest beyond the limit, and sets the
    // normaliser to the largest peak kept, at least 0.1. Allocates nothing.
    void record(std::span<const float> bars);

    // A bar of this value reaches the full height: 1.0 until the first record.
    float normaliser() const { return normaliser_; }

private:
    // Newest first, with room for one more than the limit reserved up front.
    std::vector<float> peaks_;
    std::size_t limit_;
    float normaliser_ = 1.0f;
};

} // namespace tonalyx
