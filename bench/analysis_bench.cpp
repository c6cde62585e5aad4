// One analysed frame as the frame loop runs it at 48000 Hz and 60 frames per second: draining
// one 800-sample chunk, shaping, windowing, transforming, and updating bars and normaliser.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>

#include <benchmark/benchmark.h>

#include "analysis/spectrum.hpp"

namespace {

using namespace tonalyx;

SampleChunk test_chunk() {
    SampleChunk chunk(800);
    for (std::size_t t = 0; t < chunk.size(); ++t) {
        const double time = static_cast<double>(t) / 48000.0;
        chunk[t] = static_cast<float>(0.4 * std::sin(2.0 * std::numbers::pi * 440.0 * time) +
                                      0.2 * std::sin(2.0 * std::numbers::pi * 3000.0 * time));
    }
    return chunk;
}

void BM_AnalysedFrame(benchmark::State& state) {
    SpectrumAnalyzer analyzer(60);
    analyzer.set_columns(static_cast<std::uint16_t>(state.range(0)), 1.4f);
    auto [sender, receiver] = make_sample_channel();
    const SampleChunk chunk = test_chunk();
    for (auto _ : state) {
        // Handing the chunk over is the reader thread's work, not the frame's. It stays outside
        // the clock read here: pausing the benchmark's own timer costs more than a frame.
        sender.send(chunk);
        const auto start = std::chrono::steady_clock::now();
        analyzer.analyse_frame(receiver, 0.75f);
        benchmark::DoNotOptimize(analyzer.bars().data());
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}
BENCHMARK(BM_AnalysedFrame)->Arg(200)->Arg(1000)->UseManualTime();

} // namespace
