// The music-like test signal cut into the chunks the reader sends at 48000 Hz and 60 frames per
// second, shared by the benchmarks that feed the analyser.
#pragma once

#include "audio/channel.hpp"
#include "signal.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonalyx {

// `count` consecutive chunks of 800 mono samples, 16-bit PCM scaled by 1/32768 as the reader does.
inline std::vector<SampleChunk> music_chunks(std::size_t count) {
    SignalSettings settings;
    settings.kind = SignalKind::music;
    settings.channels = 1;
    SignalGenerator generator(settings);
    std::vector<SampleChunk> chunks;
    std::vector<std::int16_t> pcm(800);
    for (std::size_t i = 0; i < count; ++i) {
        generator.fill(pcm);
        SampleChunk& chunk = chunks.emplace_back(pcm.size());
        for (std::size_t t = 0; t < pcm.size(); ++t) {
            chunk[t] = static_cast<float>(pcm[t]) / 32768.0f;
        }
    }
    return chunks;
}

} // namespace tonalyx
