#include "analysis/spectrum.hpp"

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

// An analyser whose columns show the given bins, with every bar 0.
SpectrumAnalyzer with_bins(std::vector<std::uint16_t> bins, std::uint16_t fps = 60) {
    SpectrumAnalyzer analyzer(fps);
    reset_columns(analyzer, static_cast<std::uint16_t>(bins.size()), 1.4f);
    analyzer.column_bins = std::move(bins);
    return analyzer;
}

void set_bin(SpectrumAnalyzer& analyzer, std::size_t bin, float re, float im) {
    analyzer.fft_buffer[bin][0] = re;
    analyzer.fft_buffer[bin][1] = im;
}

TEST(BarDynamics, ValueIsTheTiltedCompressedMagnitudeOfTheColumnsBin) {
    // Bin 0 has tilt 1, bin 128 tilt 2, bin 384 tilt 4: sqrt(m x 80 x tilt).
    SpectrumAnalyzer analyzer = with_bins({0, 128, 384, 128});
    set_bin(analyzer, 0, 3.0f, 4.0f);    // |5|:  sqrt(400)  = 20
    set_bin(analyzer, 128, -6.0f, 8.0f); // |10|: sqrt(1600) = 40
    set_bin(analyzer, 384, 0.0f, -0.8f); // sqrt(256) = 16
    update_bars(analyzer, 0.5f);
    EXPECT_EQ(analyzer.bars, (std::vector<float>{20.0f, 40.0f, 16.0f, 40.0f}));
}

TEST(BarDynamics, MagnitudeIsHypotBitForBitWithoutOverflow) {
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
    SpectrumAnalyzer analyzer = with_bins({0});
    for (const auto& [re, im] : values) {
        set_bin(analyzer, 0, re, im);
        analyzer.bars[0] = -1.0f; // below every value, so the bar rises to it unless it is NaN
        update_bars(analyzer, 0.5f);
        const float value = std::sqrt((std::hypot(re, im) * 80.0f) * 1.0f);
        const float expected = -1.0f < value ? value : -0.5f;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(analyzer.bars[0]),
                  std::bit_cast<std::uint32_t>(expected))
            << re << ", " << im;
    }
}

TEST(BarDynamics, ASteadyValueAlternatesBecauseEqualDoesNotRise) {
    SpectrumAnalyzer analyzer = with_bins({0});
    set_bin(analyzer, 0, 3.0f, 4.0f);
    std::vector<float> seen;
    for (int frame = 0; frame < 4; ++frame) {
        update_bars(analyzer, 0.75f);
        seen.push_back(analyzer.bars[0]);
    }
    EXPECT_EQ(seen, (std::vector<float>{20.0f, 20.0f * 0.75f, 20.0f, 20.0f * 0.75f}));
}

TEST(BarDynamics, DropOffBoundsFallAtOnceOrNever) {
    SpectrumAnalyzer analyzer = with_bins({0});
    for (const float drop_off : {0.0f, 1.0f}) {
        analyzer.bars = {0.0f};
        set_bin(analyzer, 0, 5.0f, 0.0f);
        update_bars(analyzer, drop_off);
        ASSERT_EQ(analyzer.bars[0], 20.0f);
        set_bin(analyzer, 0, 1.25f, 0.0f); // value 10: below the bar
        update_bars(analyzer, drop_off);
        EXPECT_EQ(analyzer.bars[0], 20.0f * drop_off);
        decay_bars(analyzer, drop_off);
        EXPECT_EQ(analyzer.bars[0], 20.0f * drop_off);
    }
}

TEST(BarDynamics, FramesWithoutSamplesOnlyDecayTheBars) {
    SpectrumAnalyzer analyzer = with_bins({0, 5});
    analyzer.bars = {8.0f, 2.0f};
    analyzer.peak_history = {8.0f, 3.0f};
    analyzer.normaliser = 8.0f;
    auto [sender, receiver] = make_sample_channel();
    analyse_frame(analyzer, receiver, 0.5f);
    analyse_frame(analyzer, receiver, 0.5f);
    EXPECT_EQ(analyzer.bars, (std::vector<float>{2.0f, 0.5f}));
    EXPECT_EQ(analyzer.peak_history, (std::vector<float>{8.0f, 3.0f}));
    EXPECT_EQ(analyzer.normaliser, 8.0f);
}

TEST(BarDynamics, AnAnalysedFrameRaisesTheBarOfTheTonesBin) {
    SpectrumAnalyzer analyzer(60);
    reset_columns(analyzer, 4, 1.25f); // bins 0, 128, 256, 384
    auto [sender, receiver] = make_sample_channel();
    SampleChunk tone(fft_size);
    for (std::size_t t = 0; t < fft_size; ++t) {
        // A quarter-rate cosine: 1, 0, -1, 0 ... lands exactly on bin 256.
        const float pattern[] = {0.5f, 0.0f, -0.5f, 0.0f};
        tone[t] = pattern[t % 4];
    }
    sender.send(tone);
    analyse_frame(analyzer, receiver, 0.5f);
    // |X[256]| = 0.5 x 1024 / 4 = 128 after the window; tilt 3: sqrt(128 x 80 x 3).
    EXPECT_NEAR(analyzer.bars[2], 175.2712f, 1e-3f);
    EXPECT_LT(analyzer.bars[1], 1e-2f);
    EXPECT_LT(analyzer.bars[3], 1e-2f);
    EXPECT_EQ(analyzer.normaliser, analyzer.bars[2]);
}

// Runs update_normaliser over frames whose largest bar is each of `maxima` in turn.
std::vector<float> normalisers_for(std::uint16_t fps, const std::vector<float>& maxima) {
    SpectrumAnalyzer analyzer = with_bins({0, 0}, fps);
    std::vector<float> result;
    for (const float largest : maxima) {
        analyzer.bars = {largest / 2.0f, largest};
        update_normaliser(analyzer);
        EXPECT_LE(analyzer.peak_history.size(), fps / 2u);
        result.push_back(analyzer.normaliser);
    }
    return result;
}

TEST(Normaliser, FollowsTheTallestBarOfTheLastHalfSecond) {
    // fps 6 keeps 3 frames: 9 stays until three later frames have pushed it out.
    EXPECT_EQ(normalisers_for(6, {9.0f, 2.0f, 4.0f, 3.0f, 2.0f, 2.0f}),
              (std::vector<float>{9.0f, 9.0f, 9.0f, 4.0f, 4.0f, 3.0f}));
}

TEST(Normaliser, SilentFramesRecordOne) {
    EXPECT_EQ(normalisers_for(60, {0.0f, 0.000999f}), (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(normalisers_for(4, {0.0f, 0.5f, 0.5f, 0.001f}),
              (std::vector<float>{1.0f, 1.0f, 0.5f, 0.5f}));
}

TEST(Normaliser, NeverFallsBelowATenth) {
    EXPECT_EQ(normalisers_for(60, {0.05f, 0.002f}), (std::vector<float>{0.1f, 0.1f}));
}

TEST(Normaliser, AnFpsOfOneOrZeroKeepsNoHistory) {
    EXPECT_EQ(normalisers_for(1, {5.0f, 0.0f, 7.0f}), (std::vector<float>{0.1f, 0.1f, 0.1f}));
    EXPECT_EQ(normalisers_for(0, {5.0f}), (std::vector<float>{0.1f}));
}

TEST(Normaliser, PassesOverNaNBars) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    SpectrumAnalyzer analyzer = with_bins({0, 0, 0});
    analyzer.bars = {nan, 3.0f, nan};
    update_normaliser(analyzer);
    EXPECT_EQ(analyzer.normaliser, 3.0f);
    analyzer.bars = {nan, nan, nan};
    update_normaliser(analyzer);
    EXPECT_EQ(analyzer.peak_history.front(), 1.0f);
    EXPECT_EQ(analyzer.normaliser, 3.0f);
}

} // namespace
} // namespace tonalyx
