#include "app/controls.hpp"

#include "analysis/bands.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace tonalyx {
namespace {

KeyEvent key(char32_t character, Modifiers modifiers = {}) {
    return {character, modifiers};
}

// An analyser whose `cols` columns show the bins of `log_power`.
SpectrumAnalyzer analyzer_of(std::uint16_t cols, float log_power) {
    SpectrumAnalyzer analyzer(60);
    analyzer.set_columns(cols, log_power);
    return analyzer;
}

void press(char32_t character, int times, LiveSettings& settings, SpectrumAnalyzer& analyzer) {
    for (int i = 0; i < times; ++i) {
        handle_key(key(character), settings, analyzer);
    }
}

std::vector<std::uint16_t> bins_of(const SpectrumAnalyzer& analyzer) {
    return {analyzer.column_bins().begin(), analyzer.column_bins().end()};
}

TEST(RuntimeKeys, ScalingStepsToItsBoundsAndMovesTheColumnsToTheirNewBins) {
    LiveSettings settings;
    SpectrumAnalyzer analyzer = analyzer_of(10, 1.4f);
    press(U'.', 16, settings, analyzer);
    EXPECT_EQ(settings.log_power, 2.999999f);
    press(U'.', 1, settings, analyzer);
    EXPECT_EQ(settings.log_power, 3.0f);
    EXPECT_EQ(bins_of(analyzer), build_column_bins(10, 3.0f));
    press(U'.', 2, settings, analyzer);
    EXPECT_EQ(settings.log_power, 3.0f);
    press(U',', 1, settings, analyzer);
    EXPECT_EQ(settings.log_power, 2.9f);
    EXPECT_EQ(bins_of(analyzer), build_column_bins(10, 2.9f));

    // On the widest drawing area every column still gets exactly one bin.
    SpectrumAnalyzer wide = analyzer_of(1000, 2.9f);
    press(U',', 30, settings, wide);
    EXPECT_EQ(settings.log_power, 0.5f);
    EXPECT_EQ(bins_of(wide), build_column_bins(1000, 0.5f));
    EXPECT_EQ(wide.bars().size(), 1000u);
}

TEST(RuntimeKeys, BoundsAreOneSided) {
    SpectrumAnalyzer analyzer = analyzer_of(10, 1.4f);
    // Each key clamps only at the bound it steps towards: outside the range the other just steps.
    const std::tuple<float, char32_t, float> cases[] = {
        {5.0f, U',', 4.9f}, {5.0f, U'.', 3.0f}, {0.2f, U',', 0.5f}, {NAN, U'.', 3.0f}};
    for (const auto& [start, key, power] : cases) {
        LiveSettings settings{0.75f, start, 1.0f};
        press(key, 1, settings, analyzer);
        EXPECT_EQ(settings.log_power, power) << start << " " << static_cast<char>(key);
    }
}

TEST(RuntimeKeys, SensitivityAndDropOffReachTheirBoundsAndStayThere) {
    struct Case {
        char32_t key;
        float LiveSettings::*setting;
        float start;
        int short_of_bound; // presses that stay inside the bound; the next one reaches it
        float bound;
    };
    // From 0.75 the fifth `]` lands on 1.0 by itself: only the presses beyond show the bound.
    const Case cases[] = {{U'+', &LiveSettings::sensitivity, 1.0f, 12, 10.0f},
                          {U'-', &LiveSettings::sensitivity, 1.0f, 12, 0.1f},
                          {U']', &LiveSettings::drop_off, 0.75f, 4, 1.0f},
                          {U'[', &LiveSettings::drop_off, 0.75f, 14, 0.0f}};
    SpectrumAnalyzer analyzer = analyzer_of(10, 1.4f);
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<char>(test.key));
        LiveSettings settings;
        settings.*test.setting = test.start;
        press(test.key, test.short_of_bound, settings, analyzer);
        EXPECT_NE(settings.*test.setting, test.bound);
        EXPECT_LT(std::abs(settings.*test.setting - test.start), std::abs(test.bound - test.start));
        press(test.key, 1, settings, analyzer);
        EXPECT_EQ(settings.*test.setting, test.bound);
        press(test.key, 2, settings, analyzer);
        EXPECT_EQ(settings.*test.setting, test.bound);
    }

    // `-` divides by 1.2 rather than multiplying by its reciprocal.
    LiveSettings settings;
    press(U'-', 1, settings, analyzer);
    EXPECT_EQ(settings.sensitivity, 1.0f / 1.2f);
}

TEST(RuntimeKeys, EqualsActsLikePlusAndLettersDoNothing) {
    SpectrumAnalyzer analyzer = analyzer_of(3, 1.4f);
    LiveSettings settings;
    handle_key(key(U'=', {true, false, false}), settings, analyzer);
    EXPECT_EQ(settings.sensitivity, 1.2f);

    const LiveSettings before = settings;
    for (char32_t letter : {U'c', U'C', U'Q', U'x', U' '}) {
        handle_key(key(letter), settings, analyzer);
    }
    handle_key(KeyEvent{std::nullopt, {}}, settings, analyzer);
    EXPECT_EQ(settings.drop_off, before.drop_off);
    EXPECT_EQ(settings.log_power, before.log_power);
    EXPECT_EQ(settings.sensitivity, before.sensitivity);
    EXPECT_EQ(bins_of(analyzer), build_column_bins(3, 1.4f));
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

} // namespace
} // namespace tonalyx
