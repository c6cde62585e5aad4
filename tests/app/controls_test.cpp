#include "app/controls.hpp"

#include "analysis/bands.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tonalyx {
namespace {

TEST(RuntimeKeys, EachKeyStepsItsSettingTowardOnlyTheBoundItMovesTo) {
    struct Case {
        std::optional<char32_t> key;
        float LiveSettings::*setting;
        float start;
        int presses;
        float expected; // the setting afterwards; the other two keep their defaults
        Modifiers modifiers = {};
    };
    constexpr auto power = &LiveSettings::log_power;
    constexpr auto drop = &LiveSettings::drop_off;
    constexpr auto gain = &LiveSettings::sensitivity;
    const Case cases[] = {
        {U'.', power, 1.4f, 16, 2.999999f},
        {U'.', power, 1.4f, 17, 3.0f},
        {U',', power, 3.0f, 1, 2.9f},
        {U',', power, 2.9f, 30, 0.5f},
        // Outside the range (as the command line allows) a key clamps only at the bound it
        // steps toward.
        {U',', power, 5.0f, 1, 4.9f},
        {U'.', power, 5.0f, 1, 3.0f},
        {U',', power, 0.2f, 1, 0.5f},
        {U'.', power, 0.2f, 1, 0.3f},
        {U'+', gain, 1.0f, 12, 8.91610432f},
        {U'+', gain, 1.0f, 13, 10.0f},
        {U'=', gain, 1.0f, 1, 1.2f, {true, false, false}},
        // `-` divides by 1.2: multiplying by its reciprocal gives 7.5 here.
        {U'-', gain, 9.0f, 1, 7.49999952f},
        {U'-', gain, 1.0f, 12, 0.112156615f},
        {U'-', gain, 1.0f, 13, 0.1f},
        {U']', drop, 0.75f, 4, 0.950000048f},
        {U']', drop, 0.75f, 5, 1.0f},
        {U'[', drop, 0.75f, 14, 0.0499999039f},
        {U'[', drop, 0.75f, 15, 0.0f},
        // Other characters, and keys without one, change nothing.
        {U'c', gain, 1.0f, 1, 1.0f},
        {U'Q', gain, 1.0f, 1, 1.0f},
        {U'x', gain, 1.0f, 1, 1.0f},
        {std::nullopt, gain, 1.0f, 1, 1.0f},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<char>(test.key.value_or(U'?')) << " x"
                                        << test.presses << " from " << test.start);
        LiveSettings settings;
        settings.*test.setting = test.start;
        // The widest drawing area: every column still gets exactly one bin.
        SpectrumAnalyzer analyzer(60);
        analyzer.set_columns(1000, settings.log_power);
        for (int i = 0; i < test.presses; ++i) {
            handle_key({test.key, test.modifiers}, settings, analyzer);
        }
        LiveSettings expected;
        expected.*test.setting = test.expected;
        EXPECT_EQ(settings.drop_off, expected.drop_off);
        EXPECT_EQ(settings.log_power, expected.log_power);
        EXPECT_EQ(settings.sensitivity, expected.sensitivity);
        const auto bins = analyzer.column_bins();
        EXPECT_EQ(std::vector<std::uint16_t>(bins.begin(), bins.end()),
                  build_column_bins(1000, settings.log_power));
        EXPECT_EQ(analyzer.bars().size(), 1000u);
    }
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
