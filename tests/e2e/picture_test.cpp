// The picture as a user sees it, on the real binary under an emulated terminal, the audio played
// from a file in real time: where a tone's bar stands, nothing drawn for silence, no output for
// a still picture, bars sinking after the input ends, resizes, the 1000-column limit and the
// scaling key.
#include "harness.hpp"
#include "signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// A tone at a whole multiple of this lands exactly on one bin of the 1024-point transform.
constexpr float bin_width = 48000.0f / 1024.0f;

// Mono audio at 48000 Hz, played from a file in `directory` in real time: `before` seconds of
// silence, `seconds` of a tone on `bin`, and `after` seconds of silence.
std::vector<std::string> playing_tone(TemporaryDirectory& directory, unsigned bin,
                                      std::size_t seconds, std::size_t before = 0,
                                      std::size_t after = 0) {
    tonalyx::SignalSettings settings;
    settings.channels = 1;
    settings.kind = tonalyx::SignalKind::tone;
    settings.frequency = static_cast<float>(bin) * bin_width;
    const std::string pcm = std::string(96000 * before, '\0') +
                            tonalyx::pcm_bytes(settings, 48000 * seconds) +
                            std::string(96000 * after, '\0');
    return {"-i", directory.write("tone.pcm", pcm), "--channels", "1"};
}

// Waits until `column` is taller than every other in a sound picture; the last picture read in
// `picture`.
bool until_only_tallest(TerminalRun& run, int column, Picture& picture) {
    return run.wait_for([&] {
        picture = read_picture(run);
        return picture.fault.empty() && picture.only_tallest(column);
    });
}

// A bin that exactly one column of 40 shows at the default scaling, and exactly one other
// column at the next step up, with the neighbouring columns a dozen bins away.
constexpr int tone_cols = 40;
constexpr std::uint16_t tone_rows = 12;
constexpr unsigned tone_bin = 145;

// Silence draws nothing at all (nor does the tone after it: the file is played at its rate, not
// swallowed at once); then the tone stands in its predicted column, the scaling key moves it to
// the column of the new powers, and when the input ends every bar sinks while `q` still quits.
TEST(TonePicture, StandsInThePredictedColumnAfterSilenceMovesWithTheKeyAndSinksAtTheEnd) {
    const int before = column_showing(tone_bin, tone_cols, 1.4f);
    const int after = column_showing(tone_bin, tone_cols, 1.4f + 0.1f);
    ASSERT_TRUE(before >= 0 && after >= 0 && before != after);
    TemporaryDirectory directory;
    TerminalRun run(
        tonalyx_binary(),
        {.args = playing_tone(directory, tone_bin, 3, 1), .rows = tone_rows, .cols = tone_cols});
    run.pump(700ms);
    EXPECT_TRUE(parse_writes(run.output()).draws.empty()) << run.output();
    Picture picture;
    for (const int column : {before, after}) {
        EXPECT_TRUE(until_only_tallest(run, column, picture))
            << "expected the tallest bar in column " << column << "; " << describe(picture) << "\n"
            << run.screen();
        run.type(".");
    }
    EXPECT_TRUE(run.wait_for([&] {
        picture = read_picture(run);
        return picture.blank();
    })) << describe(picture);
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_FALSE(writes.drawn_beyond(tone_rows, tone_cols));
    EXPECT_EQ(run.quit(), 0);
}

TEST(StillPicture, FullDropOffHoldsTheBarsAndWritesNothingWhileAudioKeepsComing) {
    // A steady tone still varies a little from frame to frame with the number of samples each
    // frame takes in, and held bars keep every new maximum. So the tone plays for two seconds,
    // and silence follows: with no drop-off nothing may move then.
    TemporaryDirectory directory;
    std::vector<std::string> args = playing_tone(directory, tone_bin, 2, 0, 30);
    args.insert(args.end(), {"--drop-off", "1.0"});
    const auto quiet = Clock::now() + 3s; // the tone has ended by then
    TerminalRun run(tonalyx_binary(), {.args = args, .rows = tone_rows, .cols = tone_cols});
    const int column = column_showing(tone_bin, tone_cols, 1.4f);
    ASSERT_TRUE(run.wait_for([&] { return read_picture(run).only_tallest(column); }))
        << run.screen();
    std::size_t written = run.output().size();
    auto unchanged_since = Clock::now();
    ASSERT_TRUE(run.wait_for([&] {
        if (run.output().size() != written) {
            written = run.output().size();
            unchanged_since = Clock::now();
        }
        return Clock::now() >= quiet && Clock::now() - unchanged_since >= 300ms;
    }));
    // A still picture is a whole frame: check it as the user sees it.
    const Picture picture = read_picture(run);
    EXPECT_EQ(picture.fault, "") << run.screen();
    EXPECT_TRUE(picture.only_tallest(column)) << describe(picture);
    EXPECT_EQ(picture.heights[static_cast<std::size_t>(column)], tone_rows * 8)
        << describe(picture);
    written = run.output().size();
    run.pump(400ms);
    EXPECT_EQ(run.output().size(), written)
        << ::testing::PrintToString(run.output().substr(written));
}

TEST(Resize, ClearsAndRedrawsAtTheNewSizeEvenWhenItEndsAsItWas) {
    TemporaryDirectory directory;
    TerminalRun run(tonalyx_binary(),
                    {.args = playing_noise(directory, 30), .rows = 10, .cols = 30});
    ASSERT_TRUE(run.wait_for([&] { return !read_picture(run).blank(); }));
    EXPECT_TRUE(parse_writes(run.output()).clears.empty());
    // Wider and taller, narrower and lower, and a resize straight back: that size ends as it was,
    // so the 500 ms size check sees no change and only the window-change signal tells of it.
    using Size = std::pair<std::uint16_t, std::uint16_t>;
    const std::vector<Size> steps[] = {{{16, 60}}, {{8, 20}}, {{16, 60}, {8, 20}}};
    for (const std::vector<Size>& sizes : steps) {
        const int rows = sizes.back().first;
        const int cols = sizes.back().second;
        SCOPED_TRACE(testing::Message() << sizes.size() << " to " << rows << " x " << cols);
        const std::size_t mark = run.output().size();
        for (const auto& [new_rows, new_cols] : sizes) {
            run.resize(new_rows, new_cols);
        }
        // A clear, then bars across the new width standing on the new bottom line.
        Picture picture;
        EXPECT_TRUE(run.wait_for([&] {
            picture = read_picture(run);
            const Writes writes = parse_writes(run.output(), mark);
            return !writes.clears.empty() && !writes.draws.empty() &&
                   writes.draws.back().offset > writes.clears.front() && picture.fault.empty() &&
                   std::any_of(picture.heights.begin() + cols / 2, picture.heights.end(),
                               [](int h) { return h > 0; });
        })) << describe(picture);
        run.pump(300ms);
        const Writes writes = parse_writes(run.output(), mark);
        EXPECT_EQ(writes.fault, "");
        EXPECT_FALSE(parse_writes(run.output(), writes.clears.back()).drawn_beyond(rows, cols));
    }
}

// Only the first 1000 columns are drawn, and the scaling key spreads the bins over them, not over
// the whole terminal.
TEST(WideTerminal, TheScalingKeySpreadsTheBinsOverTheFirst1000ColumnsOnly) {
    // A high bin that one column of the 1000 shows before the key and another after it, both
    // other than the columns of a spread over all 1200.
    const float before = 2.9f;
    const float after = 3.0f;
    unsigned bin = 300;
    const auto fits = [&](unsigned candidate) {
        const int old_column = column_showing(candidate, 1000, before);
        const int new_column = column_showing(candidate, 1000, after);
        return old_column >= 0 && new_column >= 0 && old_column != new_column &&
               column_showing(candidate, 1200, before) != old_column &&
               column_showing(candidate, 1200, after) != new_column;
    };
    while (bin < 511 && !fits(bin)) {
        ++bin;
    }
    ASSERT_TRUE(fits(bin));
    TemporaryDirectory directory;
    std::vector<std::string> args = playing_tone(directory, bin, 30);
    args.insert(args.end(), {"--log-power", "2.9"});
    TerminalRun run(tonalyx_binary(), {.args = args, .rows = 6, .cols = 1200});
    Picture picture;
    for (const float log_power : {before, after}) {
        const int column = column_showing(bin, 1000, log_power);
        EXPECT_TRUE(until_only_tallest(run, column, picture))
            << "bin " << bin << " at " << log_power << ": expected the tallest bar in column "
            << column << "; " << describe(picture);
        run.type(".");
    }
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_FALSE(writes.drawn_beyond(6, 1000));
}

} // namespace
} // namespace e2e
