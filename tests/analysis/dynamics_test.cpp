#include "analysis/dynamics.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tonalyx {
namespace {

void set_bin(FftBuffer& spectrum, std::size_t bin, float re, float im) {
    spectrum[bin][0] = re;
    spectrum[bin][1] = im;
}

TEST(BarValue, IsTheTiltedCompressedMagnitudeOfTheBinWithHypotBitForBitWithoutOverflow) {
    // Bin 128 has tilt 2, bin 384 tilt 4 (bin 0's 1 is below): sqrt(m x 80 x tilt).
    FftBuffer spectrum;
    set_bin(spectrum, 128, -6.0f, 8.0f); // |10|: sqrt(1600) = 40
    set_bin(spectrum, 384, 0.0f, -0.8f); // sqrt(256) = 16
    EXPECT_EQ(bar_value(spectrum, 128), 40.0f);
    EXPECT_EQ(bar_value(spectrum, 384), 16.0f);
    EXPECT_EQ(bar_value(spectrum, 511), 0.0f);
    // Squares of 1e30 overflow a float and squares of 1e-30 vanish: hypot must still hold.
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::pair<float, float>> values = {
        {1e30f, 1e30f}, {-3e38f, 2e38f}, {1e-30f, -1e-30f}, {1e-45f, 0.0f}, {inf, nan},
        {nan, -inf},    {nan, 1.0f},     {0.0f, 0.0f},      {-0.0f, 7.0f}};
    std::mt19937 random(7);
    std::uniform_real_distribution<float> spread(-600.0f, 600.0f);
    for (int i = 0; i < 2000; ++i) {
        values.emplace_back(spread(random), spread(random));
    }
    for (const auto& [re, im] : values) {
        set_bin(spectrum, 0, re, im);
        const float expected = std::sqrt((std::hypot(re, im) * 80.0f) * 1.0f);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(bar_value(spectrum, 0)),
                  std::bit_cast<std::uint32_t>(expected))
            << re << ", " << im;
    }
}

TEST(AutoGain, FollowsTheTallestBarOfTheLastHalfSecondNeverBelowATenthPassingOverNaN) {
    struct Case {
        std::uint16_t fps;
        std::vector<float> maxima; // the largest bar of each frame, NaN and half of it beside it
        std::vector<float> normaliser; // after each frame
        bool at_rest;                  // afterwards: a silent frame would change nothing
    };
    const Case cases[] = {
        // fps 6 keeps 3 frames: 9 stays until three later frames have pushed it out.
        {6, {9.0f, 2.0f, 4.0f, 3.0f, 2.0f, 2.0f}, {9.0f, 9.0f, 9.0f, 4.0f, 4.0f, 3.0f}, false},
        // Silent frames record one; at rest once every frame kept is silent.
        {60, {0.0f, 0.000999f}, {1.0f, 1.0f}, false},
        {4, {0.0f, 0.5f, 0.5f, 0.001f}, {1.0f, 1.0f, 0.5f, 0.5f}, false},
        {60, {0.05f, 0.002f}, {0.1f, 0.1f}, false},
        {6, {}, {}, false},
        {6, {0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}, true},
        {6, {0.5f, 0.0f, 0.0f}, {0.5f, 1.0f, 1.0f}, false},
        {6, {2.0f, 0.0f, 0.0f, 0.0f}, {2.0f, 2.0f, 2.0f, 1.0f}, true},
        // An fps of one keeps no history: a record leaves the normaliser at 0.1.
        {1, {}, {}, false},
        {1, {5.0f, 0.0f, 7.0f}, {0.1f, 0.1f, 0.1f}, true},
    };
    // Bars of NaN are passed over.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.fps << ", " << test.maxima.size());
        AutoGain gain(test.fps);
        EXPECT_EQ(gain.normaliser(), 1.0f);
        std::vector<float> normalisers;
        for (const float largest : test.maxima) {
            gain.record(std::vector<float>{largest / 2.0f, nan, largest, nan});
            normalisers.push_back(gain.normaliser());
        }
        EXPECT_EQ(normalisers, test.normaliser);
        EXPECT_EQ(gain.at_rest(), test.at_rest);
    }
}

} // namespace
} // namespace tonalyx
