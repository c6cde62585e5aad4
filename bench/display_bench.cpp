// The picture's share of one frame: from the bars to the changed cells written into the output
// buffer and flushed, as the frame loop does, with bars from the analyser fed music, random
// heights, and every cell changing.
#include "analysis/spectrum.hpp"
#include "display/diff.hpp"
#include "display/grid.hpp"
#include "terminal/output.hpp"

#include "music.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <span>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tonalyx {
namespace {

// A precomputed sequence of bar frames with the normaliser of each, replayed in a loop.
struct BarFrames {
    std::uint16_t cols = 0;
    std::vector<std::vector<float>> frames;
    std::vector<float> normalisers;
};

// The analyser's bars and normaliser, frame after frame, fed the music-like signal.
BarFrames analysed_music(std::uint16_t cols, std::size_t frame_count) {
    SpectrumAnalyzer analyzer(60);
    analyzer.set_columns(cols, 1.4f);
    auto [sender, receiver] = make_sample_channel();
    BarFrames result;
    result.cols = cols;
    for (SampleChunk& chunk : music_chunks(frame_count)) {
        sender.send(std::move(chunk));
        analyzer.analyse_frame(receiver, 0.75f);
        result.frames.emplace_back(analyzer.bars().begin(), analyzer.bars().end());
        result.normalisers.push_back(analyzer.normaliser());
    }
    return result;
}

// Every bar changes every frame: pseudo-random heights anywhere between empty and full.
BarFrames random_heights(std::uint16_t cols, std::size_t frame_count) {
    BarFrames result;
    result.cols = cols;
    std::uint32_t state = 987654321u;
    for (std::size_t f = 0; f < frame_count; ++f) {
        std::vector<float> bars(cols);
        for (float& bar : bars) {
            state = state * 1664525u + 1013904223u;
            bar = static_cast<float>(state >> 8) / 16777216.0f;
        }
        result.frames.push_back(std::move(bars));
        result.normalisers.push_back(1.0f);
    }
    return result;
}

// The very worst: every bar alternates between full and empty, so every cell changes.
BarFrames full_and_empty(std::uint16_t cols) {
    BarFrames result;
    result.cols = cols;
    result.frames.emplace_back(cols, 1.0f);
    result.frames.emplace_back(cols, 0.0f);
    result.normalisers = {1.0f, 1.0f};
    return result;
}

// The picture as the frame loop keeps it, and one frame's drawing: the new bars in, the changed
// cells out into `out`.
struct Picture {
    ShownBars shown;
    ViewDiff diff;

    Picture(std::uint16_t rows, std::uint16_t cols) : shown(rows, cols) {}

    void draw(std::span<const float> bars, float normaliser, OutputBuffer& out) {
        diff_bars(shown, bars, normaliser, 1.0f, diff);
        diff.apply(out);
    }
};

// The reference: blank the back grid, draw every bar into it, compare it with the front grid
// cell by cell, write, swap. Measured beside the picture for the ratio between the two.
struct GridPicture {
    FrameGrid back;
    FrameGrid front;
    ViewDiff diff;

    GridPicture(std::uint16_t rows, std::uint16_t cols) : back(rows, cols), front(rows, cols) {}

    void draw(std::span<const float> bars, float normaliser, OutputBuffer& out) {
        back.clear();
        render_bars(back, bars, normaliser, 1.0f);
        compute_diff(back, front, diff);
        diff.apply(out);
        std::swap(back, front);
    }
};

// Replays `bars` on a grid of `rows` lines, flushing each frame to /dev/null.
template <typename Drawing = Picture>
void run_frames(benchmark::State& state, std::uint16_t rows, const BarFrames& bars) {
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    {
        OutputBuffer out(null_fd);
        Drawing picture(rows, bars.cols);
        std::size_t frame = 0;
        std::size_t changes = 0;
        for (auto _ : state) {
            picture.draw(bars.frames[frame], bars.normalisers[frame], out);
            benchmark::DoNotOptimize(out.flush());
            changes += picture.diff.changes.size();
            frame = (frame + 1) % bars.frames.size();
        }
        state.counters["changes_per_frame"] = benchmark::Counter(
            static_cast<double>(changes) / static_cast<double>(state.iterations()));
    }
    ::close(null_fd);
}

void BM_Frame_200x50_Music(benchmark::State& state) {
    static const BarFrames bars = analysed_music(200, 600);
    run_frames(state, 50, bars);
}
BENCHMARK(BM_Frame_200x50_Music);

void BM_Frame_200x50_Music_GridReference(benchmark::State& state) {
    static const BarFrames bars = analysed_music(200, 600);
    run_frames<GridPicture>(state, 50, bars);
}
BENCHMARK(BM_Frame_200x50_Music_GridReference);

void BM_Frame_400x120_Music(benchmark::State& state) {
    static const BarFrames bars = analysed_music(400, 600);
    run_frames(state, 120, bars);
}
BENCHMARK(BM_Frame_400x120_Music);

void BM_Frame_1000x1000_RandomHeights(benchmark::State& state) {
    static const BarFrames bars = random_heights(1000, 64);
    run_frames(state, 1000, bars);
}
BENCHMARK(BM_Frame_1000x1000_RandomHeights)->Unit(benchmark::kMillisecond);

void BM_Frame_1000x1000_RandomHeights_GridReference(benchmark::State& state) {
    static const BarFrames bars = random_heights(1000, 64);
    run_frames<GridPicture>(state, 1000, bars);
}
BENCHMARK(BM_Frame_1000x1000_RandomHeights_GridReference)->Unit(benchmark::kMillisecond);

void BM_Frame_1000x1000_EveryCell(benchmark::State& state) {
    static const BarFrames bars = full_and_empty(1000);
    run_frames(state, 1000, bars);
}
BENCHMARK(BM_Frame_1000x1000_EveryCell)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tonalyx
