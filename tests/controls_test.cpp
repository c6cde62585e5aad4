#include "analysis/bands.hpp"
#include "controls.hpp"
#include "display/events.hpp"
#include "frame_loop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace tonalyx {
namespace {

KeyEvent key(char32_t character, Modifiers modifiers = {}) {
    return {character, modifiers};
}

void press(char32_t character, int times, LiveSettings& settings, std::vector<std::uint16_t>& bins,
           std::uint16_t cols = 10) {
    for (int i = 0; i < times; ++i) {
        handle_key(key(character), settings, cols, bins);
    }
}

TEST(RuntimeKeys, ScalingStepsUpToItsBoundAndRebuildsTheTable) {
    LiveSettings settings;
    std::vector<std::uint16_t> bins = build_column_bins(10, 1.4f);
    press(U'.', 16, settings, bins);
    EXPECT_EQ(settings.log_power, 2.999999f);
    press(U'.', 1, settings, bins);
    EXPECT_EQ(settings.log_power, 3.0f);
    EXPECT_EQ(bins, build_column_bins(10, 3.0f));
    // At the bound the table is still rebuilt, here for a new width.
    press(U'.', 1, settings, bins, 4);
    EXPECT_EQ(settings.log_power, 3.0f);
    EXPECT_EQ(bins.size(), 4u);
    press(U',', 1, settings, bins, 0);
    EXPECT_TRUE(bins.empty());
}

TEST(RuntimeKeys, BoundsAreOneSided) {
    LiveSettings high{0.75f, 5.0f, 1.0f};
    std::vector<std::uint16_t> bins;
    press(U',', 1, high, bins);
    EXPECT_EQ(high.log_power, 4.9f);
    high.log_power = 5.0f;
    press(U'.', 1, high, bins);
    EXPECT_EQ(high.log_power, 3.0f);

    LiveSettings low{0.75f, 0.2f, 1.0f};
    press(U',', 1, low, bins);
    EXPECT_EQ(low.log_power, 0.5f);

    LiveSettings unknown{0.75f, NAN, 1.0f};
    press(U'.', 1, unknown, bins);
    EXPECT_EQ(unknown.log_power, 3.0f);
}

TEST(RuntimeKeys, SensitivityAndDropOffReachTheirBounds) {
    std::vector<std::uint16_t> bins;
    LiveSettings settings;
    press(U'+', 12, settings, bins);
    EXPECT_LT(settings.sensitivity, 10.0f);
    press(U'+', 1, settings, bins);
    EXPECT_EQ(settings.sensitivity, 10.0f);

    settings.sensitivity = 1.0f;
    press(U'-', 12, settings, bins);
    EXPECT_GT(settings.sensitivity, 0.1f);
    press(U'-', 1, settings, bins);
    EXPECT_EQ(settings.sensitivity, 0.1f);

    // `-` divides by 1.2 rather than multiplying by its reciprocal.
    settings.sensitivity = 1.0f;
    press(U'-', 1, settings, bins);
    EXPECT_EQ(settings.sensitivity, 1.0f / 1.2f);

    press(U']', 5, settings, bins);
    EXPECT_EQ(settings.drop_off, 1.0f);
    settings.drop_off = 0.75f;
    press(U'[', 15, settings, bins);
    EXPECT_EQ(settings.drop_off, 0.0f);
}

TEST(RuntimeKeys, EqualsActsLikePlusAndLettersDoNothing) {
    std::vector<std::uint16_t> bins = {1, 2, 3};
    LiveSettings settings;
    handle_key(key(U'=', {true, false, false}), settings, 3, bins);
    EXPECT_EQ(settings.sensitivity, 1.2f);

    const LiveSettings before = settings;
    for (char32_t letter : {U'c', U'C', U'Q', U'x', U' '}) {
        handle_key(key(letter), settings, 3, bins);
    }
    handle_key(KeyEvent{std::nullopt, {}}, settings, 3, bins);
    EXPECT_EQ(settings.drop_off, before.drop_off);
    EXPECT_EQ(settings.log_power, before.log_power);
    EXPECT_EQ(settings.sensitivity, before.sensitivity);
    EXPECT_EQ(bins, (std::vector<std::uint16_t>{1, 2, 3}));
}

TEST(RuntimeKeys, StartingSettingsClampOnlyTheDropOff) {
    Cli cli;
    cli.drop_off = 1.5f;
    cli.log_power = 5.0f;
    LiveSettings settings = initial_settings(cli);
    EXPECT_EQ(settings.drop_off, 1.0f);
    EXPECT_EQ(settings.log_power, 5.0f);
    EXPECT_EQ(settings.sensitivity, 1.0f);
    cli.drop_off = -2.0f;
    EXPECT_EQ(initial_settings(cli).drop_off, 0.0f);
}

// The quit rule on real terminal bytes, through the same decoder the program uses.
TEST(QuitKeys, OnlyQAndControlCQuit) {
    struct Case {
        std::string bytes;
        bool quits;
    };
    const Case cases[] = {
        {"q", true},           {"\x11", true},           {"\x1bq", true},       {"\x03", true},
        {"\x1b[113;5u", true}, {"\x1b[27;5;113~", true}, {"\x1b[99;5u", true},  {"Q", false},
        {"c", false},          {"\x1b\x03", false},      {"\x1b[99;7u", false}, {"\x1b[A", false},
        {"\r", false},         {"\x1b[1;5A", false},     {"=", false},
    };
    for (const Case& test : cases) {
        KeyDecoder decoder;
        decoder.push(test.bytes);
        KeyEvent key;
        ASSERT_EQ(decoder.next(key), KeyDecoder::Status::key) << test.bytes;
        EXPECT_EQ(is_quit_key(key), test.quits) << test.bytes;
    }
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

TEST(Display, GridIsTheTerminalSizeCappedAt1000) {
    const DisplayState display = make_display(1200, 1500);
    EXPECT_EQ(display.rows, 1200);
    EXPECT_EQ(display.cols, 1500);
    EXPECT_EQ(display.grid_rows, 1000);
    EXPECT_EQ(display.grid_cols, 1000);
    EXPECT_EQ(display.shown, ShownBars(1000, 1000));
    const DisplayState empty = make_display(0, 80);
    EXPECT_EQ(empty.grid_rows, 0);
    EXPECT_EQ(empty.grid_cols, 80);
}

} // namespace
} // namespace tonalyx
