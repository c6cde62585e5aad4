#include "analysis/spectrum.hpp"

#include "analysis/bands.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tonalyx {
namespace {

// Sample j of a test stream: distinct within 4000 samples, exact in single precision, in [-1, 1).
float sample_value(std::size_t j) {
    return static_cast<float>(j % 4000) / 2048.0f - 0.97f;
}

void fill_buffer(FftBuffer& buffer, float value) {
    for (std::size_t i = 0; i < fft_size; ++i) {
        buffer[i][0] = value;
        buffer[i][1] = -value;
    }
}

TEST(SpectrumWindow, IsAPeriodicHannWindow) {
    const HannWindow w = make_hann_window();
    // Within 1e-6: a symmetric window's last weight, 0, is 9.4e-6 away.
    for (std::size_t i = 0; i < fft_size; ++i) {
        const double expected =
            0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / 1024.0));
        EXPECT_NEAR(w[i], expected, 1e-6) << "weight " << i;
    }
}

TEST(SpectrumInput, ShapesTheFrameIntoTheTransformInput) {
    struct Case {
        const char* name;
        std::vector<std::size_t> chunks;
        std::size_t held; // the newest samples, kept one to one at the front; zeros after them
    };
    const Case cases[] = {
        {"one sample", {1}, 1},
        {"empty chunks add nothing", {0, 300, 0, 600, 0}, 900},
        {"exactly 1024", {1024}, 1024},
        // More than 1024: the newest 1024; the oldest are not used.
        {"1025 drops the oldest", {1025}, 1024},
        {"5000 in many chunks", {800, 800, 800, 800, 800, 800, 200}, 1024},
        {"5000 with a large chunk inside", {1000, 3000, 1000}, 1024},
        {"a large chunk on a full buffer", {1024, 4000}, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t total = std::accumulate(c.chunks.begin(), c.chunks.end(), std::size_t{0});
        std::vector<float> stream(total);
        for (std::size_t j = 0; j < total; ++j) {
            stream[j] = sample_value(j);
        }
        auto [sender, receiver] = make_sample_channel();
        for (auto first = stream.begin(); const std::size_t size : c.chunks) {
            sender.send(SampleChunk(first, first + static_cast<std::ptrdiff_t>(size)));
            first += static_cast<std::ptrdiff_t>(size);
        }
        std::vector<float> samples;
        samples.reserve(sample_buffer_capacity);
        const float* storage = samples.data();
        ASSERT_EQ(drain_samples(receiver, samples), c.held);
        ASSERT_EQ(samples.size(), c.held);
        // However much arrives, draining stays within the reserved room.
        EXPECT_EQ(samples.data(), storage);
        // Built from the whole stream, not drained first, the input holds the same newest samples.
        FftBuffer points;
        FftBuffer undrained;
        fill_buffer(points, 7.0f);
        fill_buffer(undrained, 7.0f);
        build_fft_input(samples, points);
        build_fft_input(stream, undrained);
        for (std::size_t i = 0; i < fft_size; ++i) {
            const float expected = i < c.held ? sample_value(total - c.held + i) : 0.0f;
            for (const FftBuffer* input : {&points, &undrained}) {
                ASSERT_EQ((*input)[i][0], expected) << "point " << i;
                ASSERT_EQ((*input)[i][1], 0.0f) << "point " << i;
            }
        }
    }
}

// Shapes, windows and transforms `samples` (not empty) and returns the spectrum, with a plan
// moved from another: it must transform its own buffers.
std::vector<std::complex<float>> transform(const std::vector<float>& samples) {
    FftPlan original;
    FftPlan plan = std::move(original);
    build_fft_input(samples, plan.input());
    run_fft(make_hann_window(), plan);
    std::vector<std::complex<float>> spectrum(fft_size);
    for (std::size_t k = 0; k < fft_size; ++k) {
        spectrum[k] = {plan.output()[k][0], plan.output()[k][1]};
    }
    return spectrum;
}

// `count` samples of a sine on `bin`, amplitude `amplitude`.
std::vector<float> sine(std::size_t bin, std::size_t count, double amplitude) {
    std::vector<float> samples(count);
    for (std::size_t t = 0; t < count; ++t) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(bin * t) / 1024.0;
        samples[t] = static_cast<float>(amplitude * std::sin(phase));
    }
    return samples;
}

TEST(SpectrumTransform, AgreesWithADirectDoublePrecisionTransform) {
    const HannWindow window = make_hann_window();
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    // Sines on a bin and noise of three lengths.
    std::vector<std::vector<float>> inputs = {sine(37, fft_size, 0.5), sine(511, fft_size, 0.5)};
    for (const std::size_t count : {1024u, 800u, 37u}) {
        std::vector<float>& noise = inputs.emplace_back(count);
        std::generate(noise.begin(), noise.end(), [&] { return value(random); });
    }
    for (const std::vector<float>& samples : inputs) {
        const std::size_t count = samples.size();
        const auto spectrum = transform(samples);

        double sum_of_magnitudes = 0.0;
        std::vector<double> windowed(fft_size, 0.0);
        for (std::size_t t = 0; t < count; ++t) {
            windowed[t] = static_cast<double>(samples[t] * window[t]);
            sum_of_magnitudes += std::abs(windowed[t]);
        }
        // Single-precision rounding grows with the input's size and log2(1024) stages.
        const double tolerance = 1e-6 * sum_of_magnitudes * 10.0;
        for (std::size_t k = 0; k < fft_size; ++k) {
            std::complex<double> expected = 0.0;
            for (std::size_t t = 0; t < fft_size; ++t) {
                const double angle =
                    -2.0 * std::numbers::pi * static_cast<double>((k * t) % fft_size) / 1024.0;
                expected += windowed[t] * std::polar(1.0, angle);
            }
            const std::complex<double> actual(spectrum[k].real(), spectrum[k].imag());
            ASSERT_NEAR(std::abs(actual - expected), 0.0, tolerance)
                << "bin " << k << " of " << count << " samples";
        }
    }
}

// A quarter-rate cosine of `amplitude`, 1024 samples: 1, 0, -1, 0 ... lands exactly on bin 256.
SampleChunk quarter_rate_tone(float amplitude) {
    SampleChunk tone(fft_size);
    for (std::size_t t = 0; t < fft_size; ++t) {
        const float pattern[] = {amplitude, 0.0f, -amplitude, 0.0f};
        tone[t] = pattern[t % 4];
    }
    return tone;
}

// An analyser of four columns showing bins 0, 128, 256 and 384, with a channel to feed it.
struct FourColumns {
    SpectrumAnalyzer analyzer{60};
    std::pair<SampleSender, SampleReceiver> channel = make_sample_channel();

    FourColumns() { analyzer.set_columns(4, 1.25f); }

    // Analyses a frame of `samples`, or one without samples when it is empty, and returns the
    // bar of the column that shows bin 256.
    float frame(const SampleChunk& samples, float drop_off) {
        if (!samples.empty()) {
            channel.first.send(samples);
        }
        analyzer.analyse_frame(channel.second, drop_off);
        return analyzer.bars()[2];
    }

    std::vector<float> bars() const { return {analyzer.bars().begin(), analyzer.bars().end()}; }
    std::vector<std::uint16_t> bins() const {
        return {analyzer.column_bins().begin(), analyzer.column_bins().end()};
    }
};

TEST(SpectrumAnalyzer, BarsRiseStrictlyAboveFallByTheDropOffAndOnlySamplesMoveTheGain) {
    for (const float drop_off : {0.0f, 0.5f, 0.75f, 1.0f}) {
        SCOPED_TRACE(drop_off);
        FourColumns four;
        const SampleChunk tone = quarter_rate_tone(0.5f);
        // |X[256]| = 0.5 x 1024 / 4 = 128 after the window; tilt 3: sqrt(128 x 80 x 3).
        const float value = four.frame(tone, drop_off);
        EXPECT_NEAR(value, 175.2712f, 1e-3f);
        EXPECT_LT(four.analyzer.bars()[1], 1e-2f);
        EXPECT_LT(four.analyzer.bars()[3], 1e-2f);
        EXPECT_EQ(four.analyzer.normaliser(), value);
        // A steady tone alternates: an equal value does not rise.
        EXPECT_EQ(four.frame(tone, drop_off), value * drop_off);
        EXPECT_EQ(four.frame(tone, drop_off), value);
        // A quieter tone is below the bar: the bar falls, and the gain keeps the louder frame.
        EXPECT_EQ(four.frame(quarter_rate_tone(0.125f), drop_off), value * drop_off);
        EXPECT_EQ(four.analyzer.normaliser(), value);
        // Frames without samples only let every bar fall.
        std::vector<float> fallen = four.bars();
        std::transform(fallen.begin(), fallen.end(), fallen.begin(),
                       [&](float bar) { return bar * drop_off; });
        four.frame({}, drop_off);
        EXPECT_EQ(four.bars(), fallen);
        EXPECT_EQ(four.analyzer.normaliser(), value);
    }
}

TEST(SpectrumAnalyzer, TellsWhenEveryBarIsUnseenAndWhenTheGainHoldsOnlySilence) {
    struct Case {
        float drop_off;
        int until_unseen; // frames of zeros after a tone
        int until_gain_at_rest;
    };
    const Case cases[] = {
        // The gain holds only silence once fps / 2 frames had every bar below 0.001.
        {0.0f, 1, 30},
        // From 175.27 the bar is below 0.001 after 115 frames, below 1e-6 after 181.
        {0.9f, 181, 144},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.drop_off);
        FourColumns four;
        EXPECT_TRUE(four.analyzer.unseen());
        four.frame(quarter_rate_tone(0.5f), test.drop_off);
        int unseen = -1;
        int gain_at_rest = -1;
        for (int frames = 0; frames <= 200; ++frames) {
            if (unseen < 0 && four.analyzer.unseen()) {
                unseen = frames;
            }
            if (gain_at_rest < 0 && four.analyzer.gain_at_rest()) {
                gain_at_rest = frames;
            }
            four.frame(SampleChunk(fft_size, 0.0f), test.drop_off);
        }
        EXPECT_EQ(unseen, test.until_unseen);
        EXPECT_EQ(gain_at_rest, test.until_gain_at_rest);
    }
}

TEST(SpectrumAnalyzer, KeepsOneBarAndOneBinPerColumn) {
    FourColumns four;
    four.frame(quarter_rate_tone(0.5f), 0.5f);
    const std::vector<float> bars = four.bars();
    const float normaliser = four.analyzer.normaliser();

    // A new log power moves the columns to new bins; the bars and the gain stay.
    four.analyzer.set_log_power(2.5f);
    EXPECT_EQ(four.bins(), build_column_bins(4, 2.5f));
    EXPECT_EQ(four.bars(), bars);
    EXPECT_EQ(four.analyzer.normaliser(), normaliser);

    // New columns start from zero at the current gain, up to the widest drawing area.
    for (const std::uint16_t columns : {std::uint16_t{1000}, std::uint16_t{0}, std::uint16_t{7}}) {
        four.analyzer.set_columns(columns, 1.5f);
        EXPECT_EQ(four.bins(), build_column_bins(columns, 1.5f));
        EXPECT_EQ(four.bars(), std::vector<float>(columns, 0.0f));
        four.analyzer.set_log_power(0.5f);
        EXPECT_EQ(four.bins(), build_column_bins(columns, 0.5f));
        EXPECT_EQ(four.analyzer.normaliser(), normaliser);
    }
    four.frame(quarter_rate_tone(0.5f), 0.5f);
    EXPECT_EQ(four.analyzer.bars().size(), 7u);
}

} // namespace
} // namespace tonalyx
