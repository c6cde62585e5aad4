#include "signal.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace tonalyx {

namespace {

// The mix of the music signal: chord tones spread over the spectrum, each with its own slow
// swell and pitch drift, so that bars rise and fall at different places.
struct Voice {
    float frequency;   // Hz
    float weight;      // share of the amplitude
    float swell_rate;  // Hz of the loudness cycle
    float glide_rate;  // Hz of the pitch drift
    float glide_depth; // largest relative pitch change
};

constexpr Voice music_voices[] = {
    {110.0f, 0.30f, 0.13f, 0.05f, 0.06f},
    {277.18f, 0.25f, 0.21f, 0.07f, 0.08f},
    {659.26f, 0.20f, 0.17f, 0.11f, 0.10f},
    {1760.0f, 0.10f, 0.29f, 0.03f, 0.12f},
};
constexpr float noise_weight = 0.05f;

constexpr float two_pi = 2.0f * std::numbers::pi_v<float>;

// Full scale times `value` (finite), truncated toward zero and held inside the 16-bit range.
std::int16_t to_pcm(float value) {
    const float scaled = std::clamp(value * 32767.0f, -32768.0f, 32767.0f);
    return static_cast<std::int16_t>(scaled);
}

} // namespace

float Oscillator::next(float frequency, std::uint32_t rate) {
    const float value = std::sin(two_pi * phase_);
    phase_ += frequency / static_cast<float>(rate);
    phase_ -= std::floor(phase_);
    return value;
}

SignalGenerator::SignalGenerator(const SignalSettings& settings) : settings_(settings) {}

float SignalGenerator::next_noise() {
    // xorshift32: cheap, and the same sequence on every run.
    noise_state_ ^= noise_state_ << 13;
    noise_state_ ^= noise_state_ >> 17;
    noise_state_ ^= noise_state_ << 5;
    return static_cast<float>(noise_state_ >> 8) / 8388608.0f - 1.0f;
}

float SignalGenerator::next_value() {
    const std::uint64_t pcm_frame = pcm_frame_++;
    float value = 0.0f;
    switch (settings_.kind) {
    case SignalKind::silence:
        break;
    case SignalKind::tone:
        value = carrier_.next(settings_.frequency, settings_.rate);
        break;
    case SignalKind::sweep: {
        const float period = settings_.sweep_seconds * static_cast<float>(settings_.rate);
        const auto period_frames = static_cast<std::uint64_t>(period);
        const float position = static_cast<float>(pcm_frame % period_frames) / period;
        const float frequency =
            settings_.sweep_low * std::pow(settings_.sweep_high / settings_.sweep_low, position);
        value = carrier_.next(frequency, settings_.rate);
        break;
    }
    case SignalKind::music:
        for (std::size_t index = 0; index < voice_count; ++index) {
            const Voice& voice = music_voices[index];
            const float swell = 0.5f + 0.5f * swells_[index].next(voice.swell_rate, settings_.rate);
            const float drift = glides_[index].next(voice.glide_rate, settings_.rate);
            const float frequency = voice.frequency * (1.0f + voice.glide_depth * drift);
            value += voice.weight * swell * voices_[index].next(frequency, settings_.rate);
        }
        value += noise_weight * next_noise();
        break;
    }
    return value * settings_.amplitude;
}

void SignalGenerator::fill(std::span<std::int16_t> samples) {
    const std::size_t channels = settings_.channels;
    for (std::size_t start = 0; start + channels <= samples.size(); start += channels) {
        std::fill_n(samples.begin() + static_cast<std::ptrdiff_t>(start), channels,
                    to_pcm(next_value()));
    }
}

void append_pcm(std::string& bytes, std::span<const std::int16_t> samples) {
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<char>(bits & 0xffu));
        bytes.push_back(static_cast<char>(bits >> 8));
    }
}

std::string pcm_bytes(const SignalSettings& settings, std::size_t pcm_frames) {
    SignalGenerator generator(settings);
    std::vector<std::int16_t> samples(pcm_frames * settings.channels);
    generator.fill(samples);
    std::string bytes;
    bytes.reserve(samples.size() * 2);
    append_pcm(bytes, samples);
    return bytes;
}

} // namespace tonalyx
