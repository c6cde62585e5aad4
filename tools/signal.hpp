// Test signals for Tonalyx: steady tones, repeating log sweeps, a music-like mix and silence,
// as interleaved signed 16-bit PCM with the same value on every channel. Deterministic: the
// same settings always give the same samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tonalyx {

enum class SignalKind {
    tone,    // a steady sine at `frequency`
    sweep,   // a log sweep from `sweep_low` to `sweep_high` over `sweep_seconds`, repeating
    music,   // a few tones with slowly moving amplitudes and pitches, plus a little noise
    silence, // all zeros
};

struct SignalSettings {
    SignalKind kind = SignalKind::music;
    std::uint32_t rate = 48000;  // PCM frames per second, 1 or more
    std::uint16_t channels = 2;  // interleaved samples per PCM frame, all equal; 1 or more
    float amplitude = 0.5f;      // peak level, 0 to 1 of full scale
    float frequency = 440.0f;    // Hz, for the tone
    float sweep_low = 40.0f;     // Hz
    float sweep_high = 16000.0f; // Hz
    float sweep_seconds = 5.0f;  // length of one sweep, at least one PCM frame
};

// A phase in turns, kept in [0, 1) so that it never loses precision however long it runs.
class Oscillator {
public:
    // Returns sin of the current phase, then advances it by `frequency` (Hz, finite) / `rate`
    // (PCM frames per second, 1 or more) turns.
    float next(float frequency, std::uint32_t rate);

private:
    float phase_ = 0.0f;
};

// Makes the signal one PCM frame at a time, continuing where the previous call stopped.
class SignalGenerator {
public:
    explicit SignalGenerator(const SignalSettings& settings);

    // Fills `samples` with whole interleaved PCM frames; a trailing partial one is left alone.
    void fill(std::span<std::int16_t> samples);

    // The next mono value, in [-amplitude, amplitude].
    float next_value();

private:
    static constexpr std::size_t voice_count = 4;

    float next_noise();

    SignalSettings settings_;
    std::uint64_t pcm_frame_ = 0;
    Oscillator carrier_;
    Oscillator voices_[voice_count];
    Oscillator swells_[voice_count];
    Oscillator glides_[voice_count];
    std::uint32_t noise_state_ = 0x9e3779b9u;
};

// Appends `samples` to `bytes` as s16le, low byte first.
void append_pcm(std::string& bytes, std::span<const std::int16_t> samples);

// The first `pcm_frames` PCM frames of the signal as headerless s16le bytes.
std::string pcm_bytes(const SignalSettings& settings, std::size_t pcm_frames);

} // namespace tonalyx
