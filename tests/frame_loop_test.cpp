#include "frame_loop.hpp"

#include "analysis/bands.hpp"
#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tonalyx {
namespace {

std::vector<float> bars_of(const FrameState& state) {
    return {state.analyzer.bars().begin(), state.analyzer.bars().end()};
}

std::vector<std::uint16_t> bins_of(const FrameState& state) {
    return {state.analyzer.column_bins().begin(), state.analyzer.column_bins().end()};
}

TEST(FramePacing, PeriodIsTheSinglePrecisionReciprocalRounded) {
    EXPECT_EQ(frame_period(60).count(), 16'666'668);
    EXPECT_EQ(frame_period(30).count(), 33'333'335);
    EXPECT_EQ(frame_period(1).count(), 1'000'000'000);
    EXPECT_EQ(frame_period(65535).count(), 15'259);
}

TEST(FramePacing, TimeLeftSaturatesAtBothEnds) {
    const auto start = Clock::now();
    const auto period = std::chrono::nanoseconds(16'666'668);
    EXPECT_EQ(time_left(period, start, start + std::chrono::milliseconds(10)),
              std::chrono::nanoseconds(6'666'668));
    EXPECT_EQ(time_left(period, start, start + std::chrono::milliseconds(40)),
              std::chrono::nanoseconds::zero());
    // A clock reading before the last frame counts as no time elapsed.
    EXPECT_EQ(time_left(period, start, start - std::chrono::milliseconds(5)), period);
}

TEST(FrameState, StartsWithOneZeroBarPerColumnOfTheDrawingArea) {
    Cli cli;
    cli.log_power = 2.0f;
    cli.drop_off = 1.5f;
    const FrameState state = make_frame_state(cli, {50, 1200});
    EXPECT_EQ(state.settings.drop_off, 1.0f);
    EXPECT_EQ(state.display.size(), (TerminalSize{50, 1200}));
    EXPECT_EQ(state.display.grid_cols(), 1000u);
    EXPECT_EQ(bars_of(state), std::vector<float>(1000, 0.0f));
    EXPECT_EQ(bins_of(state), build_column_bins(1000, 2.0f));
}

TEST(FrameState, AResizeStartsTheBarsAfreshOnTheNewDrawingAreaAtTheSameGain) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end);
    FrameState state = make_frame_state(Cli{}, {10, 40});
    auto [sender, receiver] = make_sample_channel();
    // A quarter-rate cosine: a loud bin 256, which one of the columns shows.
    SampleChunk tone(1024);
    for (std::size_t t = 0; t < tone.size(); ++t) {
        const float pattern[] = {0.5f, 0.0f, -0.5f, 0.0f};
        tone[t] = pattern[t % 4];
    }
    sender.send(tone);
    draw_frame(state, receiver, out);
    ASSERT_FALSE(out.flush());
    ASSERT_NE(pipe.drain(), "");
    const float normaliser = state.analyzer.normaliser();
    ASSERT_NE(normaliser, 1.0f);
    state.settings.log_power = 2.5f;

    resize(state, {1200, 1100}, out);
    EXPECT_EQ(pipe.drain(), "\x1b[2J");
    EXPECT_EQ(state.display.grid_rows(), 1000u);
    EXPECT_EQ(state.display.grid_cols(), 1000u);
    EXPECT_EQ(bars_of(state), std::vector<float>(1000, 0.0f));
    EXPECT_EQ(bins_of(state), build_column_bins(1000, 2.5f));
    EXPECT_EQ(state.analyzer.normaliser(), normaliser);
    EXPECT_EQ(state.settings.log_power, 2.5f);
}

} // namespace
} // namespace tonalyx
