// The picture's share of one frame: blank the back grid, draw the bars, list the changed cells,
// write them into the output buffer, swap the grids and flush, as the frame loop does.
#include "display/diff.hpp"
#include "display/grid.hpp"
#include "display/output.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tonalyx {
namespace {

// A precomputed sequence of bar frames, replayed in a loop.
struct BarFrames {
    std::uint16_t cols = 0;
    std::vector<std::vector<float>> frames;
    float normaliser = 1.0f;
};

// Bars that move like music: a few peaks at fixed columns, each struck at its own period, rising
// over a couple of frames and decaying at its own rate, over a low noise floor. Deterministic.
BarFrames music_like(std::uint16_t cols, std::size_t frame_count) {
    struct Peak {
        float centre;    // fraction of the width
        float width;     // in columns
        unsigned period; // frames between strikes
        float decay;     // per frame
        float strength;
    };
    const Peak peaks[] = {
        {0.05f, 4.0f, 29, 0.90f, 1.00f},  {0.12f, 6.0f, 15, 0.85f, 0.70f},
        {0.30f, 10.0f, 41, 0.95f, 0.55f}, {0.45f, 5.0f, 7, 0.70f, 0.40f},
        {0.62f, 8.0f, 23, 0.88f, 0.35f},  {0.80f, 12.0f, 11, 0.80f, 0.25f},
    };
    BarFrames result;
    result.cols = cols;
    std::vector<float> level(std::size(peaks), 0.0f);
    std::uint32_t noise = 12345u;
    for (std::size_t f = 0; f < frame_count; ++f) {
        for (std::size_t p = 0; p < std::size(peaks); ++p) {
            const unsigned phase = static_cast<unsigned>(f % peaks[p].period);
            if (phase == 0) {
                level[p] = std::max(level[p], 0.5f * peaks[p].strength);
            } else if (phase == 1) {
                level[p] = peaks[p].strength;
            } else {
                level[p] *= peaks[p].decay;
            }
        }
        std::vector<float> bars(cols);
        for (std::uint16_t c = 0; c < cols; ++c) {
            noise = noise * 1664525u + 1013904223u;
            float value = 0.02f * static_cast<float>(noise >> 8) / 16777216.0f;
            for (std::size_t p = 0; p < std::size(peaks); ++p) {
                const float distance =
                    (static_cast<float>(c) - peaks[p].centre * static_cast<float>(cols)) /
                    peaks[p].width;
                value += level[p] * std::exp(-distance * distance);
            }
            bars[c] = value;
            result.normaliser = std::max(result.normaliser, value);
        }
        result.frames.push_back(std::move(bars));
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
    }
    return result;
}

// The very worst: every bar alternates between full and empty, so every cell changes.
BarFrames full_and_empty(std::uint16_t cols) {
    BarFrames result;
    result.cols = cols;
    result.frames.emplace_back(cols, 1.0f);
    result.frames.emplace_back(cols, 0.0f);
    return result;
}

void run_frames(benchmark::State& state, std::uint16_t rows, const BarFrames& bars) {
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    {
        OutputBuffer out(null_fd);
        FrameGrid back(rows, bars.cols);
        FrameGrid front(rows, bars.cols);
        ViewDiff diff;
        std::size_t frame = 0;
        std::size_t changes = 0;
        for (auto _ : state) {
            back.clear();
            render_bars(back, bars.frames[frame], bars.normaliser, 1.0f);
            compute_diff(back, front, diff);
            diff.apply(out);
            std::swap(back, front);
            benchmark::DoNotOptimize(out.flush());
            changes += diff.changes.size();
            frame = (frame + 1) % bars.frames.size();
        }
        state.counters["changes_per_frame"] = benchmark::Counter(
            static_cast<double>(changes) / static_cast<double>(state.iterations()));
    }
    ::close(null_fd);
}

void BM_Frame_200x50_MusicLike(benchmark::State& state) {
    static const BarFrames bars = music_like(200, 480);
    run_frames(state, 50, bars);
}
BENCHMARK(BM_Frame_200x50_MusicLike);

void BM_Frame_1000x1000_RandomHeights(benchmark::State& state) {
    static const BarFrames bars = random_heights(1000, 64);
    run_frames(state, 1000, bars);
}
BENCHMARK(BM_Frame_1000x1000_RandomHeights)->Unit(benchmark::kMillisecond);

void BM_Frame_1000x1000_EveryCell(benchmark::State& state) {
    static const BarFrames bars = full_and_empty(1000);
    run_frames(state, 1000, bars);
}
BENCHMARK(BM_Frame_1000x1000_EveryCell)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tonalyx
