// Float-to-integer conversion shared by the analysis and the renderer: every conversion in the
// signal path truncates toward zero and saturates instead of invoking undefined behaviour.
#pragma once

#include <concepts>
#include <limits>

namespace tonalyx {

// Truncates `value` toward zero; negative values and NaN give 0, values beyond the range of T
// give its largest value.
template <std::unsigned_integral T>
constexpr T saturating_truncate(float value) {
    if (!(value > 0.0f)) {
        return 0;
    }
    // For wide types the float of max() rounds up to a power of two, so ">=" catches exactly
    // the values that do not fit.
    if (value >= static_cast<float>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(value);
}

} // namespace tonalyx
