#include "analysis/spectrum.hpp"

#include <cmath>
#include <complex>
#include <cstddef>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace tonalyx {
namespace {

// Sample j of a test stream: distinct within 4000 samples, exact in single precision, in [-1, 1).
float sample_value(std::size_t j) {
    return static_cast<float>(j % 4000) / 2048.0f - 0.97f;
}

std::vector<float> stream(std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t j = 0; j < count; ++j) {
        samples[j] = sample_value(j);
    }
    return samples;
}

// Sends `samples` over a fresh channel in chunks of the given sizes and drains it once.
std::size_t drain_in_chunks(SpectrumAnalyzer& analyzer, const std::vector<float>& samples,
                            const std::vector<std::size_t>& chunk_sizes) {
    auto [sender, receiver] = make_sample_channel();
    std::size_t offset = 0;
    for (const std::size_t size : chunk_sizes) {
        const auto first = samples.begin() + static_cast<std::ptrdiff_t>(offset);
        sender.send(SampleChunk(first, first + static_cast<std::ptrdiff_t>(size)));
        offset += size;
    }
    return drain_samples(analyzer, receiver);
}

void fill_buffer(FftBuffer& buffer, float value) {
    for (std::size_t i = 0; i < fft_size; ++i) {
        buffer[i][0] = value;
        buffer[i][1] = -value;
    }
}

TEST(SpectrumWindow, IsAPeriodicHannWindow) {
    const SpectrumAnalyzer analyzer(60);
    const auto& w = analyzer.hann_window;
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[512], 1.0f);
    // sin^2(pi / 1024): the periodic window's last weight, which is 0 for a symmetric one.
    EXPECT_GT(w[1023], 0.0f);
    EXPECT_NEAR(w[1023], 9.4124e-6f, 1e-7f);
    for (std::size_t i = 0; i < fft_size; ++i) {
        const double expected =
            0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / 1024.0));
        EXPECT_NEAR(w[i], expected, 1e-6) << "weight " << i;
    }
}

struct InputCase {
    const char* name;
    std::vector<std::size_t> chunks;
    std::size_t held;
    // Point i of the transform input, in terms of the sent stream's sample values.
    std::function<float(std::size_t)> point;
};

class SpectrumInput : public testing::TestWithParam<InputCase> {};

TEST_P(SpectrumInput, ShapesTheFrameIntoTheTransformInput) {
    const InputCase& c = GetParam();
    std::size_t total = 0;
    for (const std::size_t size : c.chunks) {
        total += size;
    }
    SpectrumAnalyzer analyzer(60);
    fill_buffer(analyzer.fft_buffer, 7.0f);

    ASSERT_EQ(drain_in_chunks(analyzer, stream(total), c.chunks), c.held);
    ASSERT_EQ(analyzer.sample_buffer.size(), c.held);
    build_fft_input(analyzer);

    for (std::size_t i = 0; i < fft_size; ++i) {
        ASSERT_EQ(analyzer.fft_buffer[i][0], c.point(i)) << "point " << i;
        ASSERT_EQ(analyzer.fft_buffer[i][1], 0.0f) << "point " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SpectrumInput,
    testing::Values(
        InputCase{
            "OneSample", {1}, 1, [](std::size_t i) { return i == 0 ? sample_value(0) : 0.0f; }},
        InputCase{"ThreeChunksOf300",
                  {300, 300, 300},
                  900,
                  [](std::size_t i) { return i < 900 ? sample_value(i) : 0.0f; }},
        InputCase{"EmptyChunksAddNothing",
                  {0, 300, 0, 600, 0},
                  900,
                  [](std::size_t i) { return i < 900 ? sample_value(i) : 0.0f; }},
        InputCase{"Exactly1024", {1024}, 1024, [](std::size_t i) { return sample_value(i); }},
        // More than 1024: the newest 1024, one to one; the oldest are not used.
        InputCase{
            "1025DropsTheOldest", {1025}, 1024, [](std::size_t i) { return sample_value(i + 1); }},
        InputCase{"1500InTwoChunks",
                  {700, 800},
                  1024,
                  [](std::size_t i) { return sample_value(i + 476); }},
        InputCase{"2048", {2048}, 1024, [](std::size_t i) { return sample_value(i + 1024); }},
        InputCase{
            "5000InOneChunk", {5000}, 1024, [](std::size_t i) { return sample_value(i + 3976); }},
        InputCase{"5000InManyChunks",
                  {800, 800, 800, 800, 800, 800, 200},
                  1024,
                  [](std::size_t i) { return sample_value(i + 3976); }},
        InputCase{"5000WithALargeChunkInside",
                  {1000, 3000, 1000},
                  1024,
                  [](std::size_t i) { return sample_value(i + 3976); }}),
    [](const testing::TestParamInfo<InputCase>& param_info) { return param_info.param.name; });

TEST(SpectrumInputLimits, SampleBufferKeepsItsReservedRoomUnderAFlood) {
    SpectrumAnalyzer analyzer(60);
    const float* storage = analyzer.sample_buffer.data();
    const std::vector<std::size_t> chunks(100, 3000);
    EXPECT_EQ(drain_in_chunks(analyzer, stream(300000), chunks), 1024u);
    EXPECT_EQ(analyzer.sample_buffer.data(), storage);
    EXPECT_EQ(analyzer.sample_buffer.front(), sample_value(300000 - 1024));
}

TEST(SpectrumInputLimits, AFrameWithoutChunksLeavesTheSpectrumAlone) {
    SpectrumAnalyzer analyzer(60);
    reset_columns(analyzer, 4, 1.4f);
    fill_buffer(analyzer.fft_buffer, 3.0f);
    analyzer.sample_buffer.assign(10, 0.5f);

    auto [sender, receiver] = make_sample_channel();
    EXPECT_EQ(drain_samples(analyzer, receiver), 0u);
    EXPECT_TRUE(analyzer.sample_buffer.empty());

    // A channel whose sender is gone drains like an idle one, frame after frame.
    { auto gone = std::move(sender); }
    for (int frame = 0; frame < 3; ++frame) {
        analyse_frame(analyzer, receiver, 0.5f);
    }
    for (std::size_t i = 0; i < fft_size; ++i) {
        ASSERT_EQ(analyzer.fft_buffer[i][0], 3.0f);
        ASSERT_EQ(analyzer.fft_buffer[i][1], -3.0f);
    }
}

// Shapes, windows and transforms what sample_buffer holds and returns the spectrum.
std::vector<std::complex<float>> analysed_spectrum(SpectrumAnalyzer& analyzer) {
    build_fft_input(analyzer);
    run_fft(analyzer);
    std::vector<std::complex<float>> spectrum(fft_size);
    for (std::size_t k = 0; k < fft_size; ++k) {
        spectrum[k] = {analyzer.fft_buffer[k][0], analyzer.fft_buffer[k][1]};
    }
    return spectrum;
}

// Runs the transform on `samples` (at most 1024) and returns the spectrum.
std::vector<std::complex<float>> transform(SpectrumAnalyzer& analyzer,
                                           const std::vector<float>& samples) {
    analyzer.sample_buffer = samples;
    return analysed_spectrum(analyzer);
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

std::size_t peak_bin(const std::vector<std::complex<float>>& spectrum) {
    std::size_t peak = 0;
    for (std::size_t k = 1; k < spectrum_bins; ++k) {
        if (std::abs(spectrum[k]) > std::abs(spectrum[peak])) {
            peak = k;
        }
    }
    return peak;
}

TEST(SpectrumTransform, ASineOnABinPeaksAtThatBin) {
    SpectrumAnalyzer analyzer(60);
    for (const std::size_t bin : {1u, 5u, 100u, 257u, 511u}) {
        const auto spectrum = transform(analyzer, sine(bin, fft_size, 0.5));
        EXPECT_EQ(peak_bin(spectrum), bin);
        // Unnormalised: amplitude 0.5 x 1024 / 2, halved again by the window's mean.
        EXPECT_NEAR(std::abs(spectrum[bin]), 128.0f, 0.01f) << "bin " << bin;
    }
}

TEST(SpectrumTransform, AFrameOfMoreThan1024SamplesPeaksAtTheSameBin) {
    // A burst of a live capture: the older samples, a louder sine elsewhere, must not count, and
    // the newest 1024 must keep their own spacing (averaging pairs would show bin 2k).
    for (const std::size_t count : {1500u, 2048u}) {
        for (const std::size_t bin : {37u, 128u, 200u}) {
            std::vector<float> samples = sine(300, count - fft_size, 0.9);
            const std::vector<float> newest = sine(bin, fft_size, 0.5);
            samples.insert(samples.end(), newest.begin(), newest.end());
            SpectrumAnalyzer analyzer(60);
            ASSERT_EQ(drain_in_chunks(analyzer, samples, {count / 2, count - count / 2}), fft_size);
            const auto spectrum = analysed_spectrum(analyzer);
            EXPECT_EQ(peak_bin(spectrum), bin) << count << " samples";
            EXPECT_NEAR(std::abs(spectrum[bin]), 128.0f, 0.01f) << count << " samples";
        }
    }
}

TEST(SpectrumTransform, AgreesWithADirectDoublePrecisionTransform) {
    SpectrumAnalyzer analyzer(60);
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const std::size_t count : {1024u, 800u, 37u}) {
        std::vector<float> samples(count);
        for (float& sample : samples) {
            sample = value(random);
        }
        const auto spectrum = transform(analyzer, samples);

        double sum_of_magnitudes = 0.0;
        std::vector<double> windowed(fft_size, 0.0);
        for (std::size_t t = 0; t < count; ++t) {
            windowed[t] = static_cast<double>(samples[t] * analyzer.hann_window[t]);
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

TEST(SpectrumTransform, ASingleSampleGivesAnAllZeroSpectrum) {
    SpectrumAnalyzer analyzer(60);
    fill_buffer(analyzer.fft_buffer, 5.0f);
    for (const auto& bin : transform(analyzer, {0.75f})) {
        ASSERT_EQ(bin, std::complex<float>(0.0f, 0.0f));
    }
}

TEST(SpectrumTransform, AMovedAnalyzerStillTransformsItsOwnBuffer) {
    SpectrumAnalyzer original(60);
    SpectrumAnalyzer analyzer = std::move(original);
    std::vector<float> samples(fft_size, 0.25f);
    const auto spectrum = transform(analyzer, samples);
    // A constant times the window: its sum is 0.25 x 512 at bin 0.
    EXPECT_NEAR(spectrum[0].real(), 128.0f, 1e-3f);
}

} // namespace
} // namespace tonalyx
