#include "signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tonalyx {
namespace {

std::vector<std::int16_t> generate(const SignalSettings& settings, std::size_t pcm_frames) {
    SignalGenerator generator(settings);
    std::vector<std::int16_t> samples(pcm_frames * settings.channels);
    generator.fill(samples);
    return samples;
}

// Rising zero crossings of one channel of interleaved samples.
int rising_crossings(const std::vector<std::int16_t>& samples, std::size_t channels,
                     std::size_t begin, std::size_t end) {
    int crossings = 0;
    for (std::size_t pcm_frame = begin + 1; pcm_frame < end; ++pcm_frame) {
        if (samples[(pcm_frame - 1) * channels] < 0 && samples[pcm_frame * channels] >= 0) {
            ++crossings;
        }
    }
    return crossings;
}

TEST(SignalGenerator, ToneCrossesZeroAtItsFrequency) {
    for (const float frequency : {50.0f, 440.0f, 1000.0f, 5000.0f}) {
        const std::vector<std::int16_t> second =
            generate({.kind = SignalKind::tone, .channels = 1, .frequency = frequency}, 48000);
        EXPECT_NEAR(rising_crossings(second, 1, 0, 48000), frequency, 1.0f);
        const auto [low, high] = std::minmax_element(second.begin(), second.end());
        EXPECT_NEAR(*high, 0.5f * 32767.0f, 2.0f);
        EXPECT_NEAR(*low, -0.5f * 32767.0f, 2.0f);
    }
}

TEST(SignalGenerator, SweepRisesInPitchAndRepeats) {
    SignalSettings sweep{.kind = SignalKind::sweep, .rate = 8000, .channels = 1, .sweep_low = 50};
    sweep.sweep_high = 2000.0f;
    sweep.sweep_seconds = 2.0f;
    const std::vector<std::int16_t> samples = generate(sweep, 32000);
    const int start = rising_crossings(samples, 1, 0, 4000);
    const int end = rising_crossings(samples, 1, 12000, 16000);
    EXPECT_GT(end, 5 * start);
    // The second sweep starts low again.
    EXPECT_NEAR(rising_crossings(samples, 1, 16000, 20000), start, 1);
}

TEST(SignalGenerator, EveryChannelCarriesTheSameValueWithinTheAmplitude) {
    for (const SignalKind kind : {SignalKind::music, SignalKind::sweep, SignalKind::silence}) {
        const std::vector<std::int16_t> samples =
            generate({.kind = kind, .amplitude = 0.8f}, 24000);
        int loudest = 0;
        for (std::size_t pcm_frame = 0; pcm_frame < 24000; ++pcm_frame) {
            ASSERT_EQ(samples[2 * pcm_frame], samples[2 * pcm_frame + 1]) << pcm_frame;
            loudest = std::max(loudest, std::abs(int{samples[2 * pcm_frame]}));
        }
        EXPECT_LE(loudest, static_cast<int>(0.8f * 32767.0f));
        EXPECT_EQ(loudest > 1000, kind != SignalKind::silence) << loudest;
        EXPECT_EQ(loudest == 0, kind == SignalKind::silence) << loudest;
    }
}

TEST(PcmBytes, IsLittleEndianDeterministicAndContinuesWhereItLeftOff) {
    SignalSettings settings; // music, stereo
    const std::string bytes = pcm_bytes(settings, 1000);
    ASSERT_EQ(bytes.size(), 1000u * 2 * 2);
    EXPECT_EQ(pcm_bytes(settings, 1000), bytes);

    // The same samples in two halves: the generator keeps its phases between calls.
    SignalGenerator generator(settings);
    std::vector<std::int16_t> halves(2000);
    generator.fill(std::span(halves).first(1000));
    generator.fill(std::span(halves).subspan(1000));
    // Copied as they are, the bytes are the samples on a little-endian machine only.
    static_assert(std::endian::native == std::endian::little);
    std::vector<std::int16_t> decoded(halves.size());
    std::memcpy(decoded.data(), bytes.data(), bytes.size());
    EXPECT_EQ(decoded, halves);
}

// The tool writes exactly the length asked for, in PCM frames of every channel.
TEST(SignalTool, WritesTheSecondsAskedForInEveryChannel) {
    for (const auto& [arguments, bytes] : {std::pair{"--channels 1 --seconds 0.5", 8000u},
                                           std::pair{"--channels 2 --seconds 2", 64000u}}) {
        const std::string command =
            std::string(TONALYX_SIGNAL_BINARY) + " --fast --rate 8000 " + arguments;
        FILE* output = ::popen(command.c_str(), "r");
        ASSERT_NE(output, nullptr);
        std::array<char, 4096> buffer{};
        std::size_t total = 0;
        while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), output)) {
            total += n;
        }
        EXPECT_EQ(::pclose(output), 0) << command;
        EXPECT_EQ(total, bytes) << command;
    }
}

} // namespace
} // namespace tonalyx
