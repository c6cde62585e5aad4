// The picture as a user sees it, on the real binary under an emulated terminal: where a tone's
// bar stands, a blank screen for silence, no output for a still picture, bars sinking after the
// input ends, resizes, the 1000-column limit and the scaling key.
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

constexpr std::uint32_t rate = 48000;
// A tone at a whole multiple of this lands exactly on one bin of the 1024-point transform.
constexpr float bin_width = static_cast<float>(rate) / 1024.0f;

// Feeds mono audio of values in [-1, 1] into the program's pipe in real time, in small pieces,
// as a live source would; a backlog after a stall of the test is skipped rather than sent in one
// burst.
class Feeder {
public:
    Feeder(TerminalRun& run, std::function<float()> next_value)
        : run_(run), next_value_(std::move(next_value)), start_(Clock::now()) {}

    // Sends what is due by now; call it often, e.g. from a wait_for predicate.
    void operator()() {
        const std::chrono::duration<float> elapsed = Clock::now() - start_;
        const auto due = static_cast<std::int64_t>(elapsed.count() * rate) - sent_;
        if (due <= 0) {
            return;
        }
        const std::int64_t count = std::min<std::int64_t>(due, largest_piece);
        std::string bytes;
        for (std::int64_t i = 0; i < count; ++i) {
            const auto sample = static_cast<std::int16_t>(next_value_() * 32767.0f);
            tonalyx::append_pcm(bytes, {&sample, 1});
        }
        run_.feed(bytes);
        sent_ += due;
    }

    // Keeps feeding while the program's output is pumped until `done` holds; false on timeout.
    bool until(const std::function<bool()>& done) {
        return run_.wait_for([&] {
            (*this)();
            return done();
        });
    }

    // Keeps feeding while the program's output is pumped for `duration`.
    void pump(std::chrono::milliseconds duration) {
        const auto until = Clock::now() + duration;
        this->until([&] { return Clock::now() >= until; });
    }

private:
    static constexpr std::int64_t largest_piece = 400;

    TerminalRun& run_;
    std::function<float()> next_value_;
    Clock::time_point start_;
    std::int64_t sent_ = 0;
};

std::function<float()> tone_at_bin(unsigned bin) {
    tonalyx::SignalSettings settings;
    settings.kind = tonalyx::SignalKind::tone;
    settings.rate = rate;
    settings.channels = 1;
    settings.frequency = static_cast<float>(bin) * bin_width;
    return [generator = tonalyx::SignalGenerator(settings)]() mutable {
        return generator.next_value();
    };
}

// White noise, so that every column has something to show.
std::function<float()> noise() {
    return [state = std::uint32_t{0x2545f491u}]() mutable {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    };
}

Launch mono_pipe(std::uint16_t rows, std::uint16_t cols, std::vector<std::string> args = {}) {
    Launch launch;
    launch.rows = rows;
    launch.cols = cols;
    launch.input = Input::pipe;
    launch.args = {"--channels", "1"};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    return launch;
}

// Keeps feeding until `column` is taller than every other in a sound picture; the last picture
// read in `picture`.
bool until_only_tallest(Feeder& feed, const TerminalRun& run, int column, Picture& picture) {
    return feed.until([&] {
        picture = read_picture(run);
        return picture.fault.empty() && picture.only_tallest(column);
    });
}

// A bin that exactly one column of 40 shows at the default scaling, and exactly one other
// column at the next step up, with the neighbouring columns a dozen bins away.
constexpr int tone_cols = 40;
constexpr std::uint16_t tone_rows = 12;
constexpr unsigned tone_bin = 145;

// Silence draws nothing at all; then a tone stands in its predicted column, the scaling key
// moves it to the column of the new powers, and when the input ends every bar sinks while `q`
// still quits.
TEST(TonePicture, StandsInThePredictedColumnAfterSilenceMovesWithTheKeyAndSinksAtTheEnd) {
    const int before = column_showing(tone_bin, tone_cols, 1.4f);
    const int after = column_showing(tone_bin, tone_cols, 1.4f + 0.1f);
    ASSERT_TRUE(before >= 0 && after >= 0 && before != after);
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols));
    Feeder(run, [] { return 0.0f; }).pump(700ms);
    EXPECT_TRUE(parse_writes(run.output()).draws.empty()) << run.output();
    Feeder feed(run, tone_at_bin(tone_bin));
    Picture picture;
    for (const int column : {before, after}) {
        EXPECT_TRUE(until_only_tallest(feed, run, column, picture))
            << "expected the tallest bar in column " << column << "; " << describe(picture) << "\n"
            << run.screen();
        run.type(".");
    }
    run.close_audio();
    EXPECT_TRUE(run.wait_for([&] {
        picture = read_picture(run);
        return picture.blank();
    })) << describe(picture);
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_FALSE(writes.drawn_beyond(tone_rows, tone_cols));
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

TEST(StillPicture, FullDropOffHoldsTheBarsAndWritesNothingWhileAudioKeepsComing) {
    // A steady tone through a pipe still varies a little from frame to frame with the number of
    // samples each frame takes in, and held bars keep every new maximum. So the tone plays until
    // it has drawn its bar, and quiet audio follows: with no drop-off nothing may move then.
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols, {"--drop-off", "1.0"}));
    const int column = column_showing(tone_bin, tone_cols, 1.4f);
    Feeder tone(run, tone_at_bin(tone_bin));
    ASSERT_TRUE(tone.until([&] { return read_picture(run).only_tallest(column); })) << run.screen();
    tone.pump(300ms);
    Feeder quiet(run, [] { return 0.0f; });
    std::size_t written = run.output().size();
    auto unchanged_since = Clock::now();
    const bool settled = quiet.until([&] {
        if (run.output().size() != written) {
            written = run.output().size();
            unchanged_since = Clock::now();
        }
        return Clock::now() - unchanged_since >= 300ms;
    });
    ASSERT_TRUE(settled);
    // A still picture is a whole frame: check it as the user sees it.
    const Picture picture = read_picture(run);
    EXPECT_EQ(picture.fault, "") << run.screen();
    EXPECT_TRUE(picture.only_tallest(column)) << describe(picture);
    EXPECT_EQ(picture.heights[static_cast<std::size_t>(column)], tone_rows * 8)
        << describe(picture);
    written = run.output().size();
    quiet.pump(400ms);
    EXPECT_EQ(run.output().size(), written)
        << ::testing::PrintToString(run.output().substr(written));
}

TEST(Resize, ClearsAndRedrawsAtTheNewSizeEvenWhenItEndsAsItWas) {
    TerminalRun run(tonalyx_binary(), mono_pipe(10, 30));
    Feeder feed(run, noise());
    ASSERT_TRUE(feed.until([&] { return !read_picture(run).blank(); }));
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
        EXPECT_TRUE(feed.until([&] {
            picture = read_picture(run);
            const Writes writes = parse_writes(run.output(), mark);
            return !writes.clears.empty() && !writes.draws.empty() &&
                   writes.draws.back().offset > writes.clears.front() && picture.fault.empty() &&
                   std::any_of(picture.heights.begin() + cols / 2, picture.heights.end(),
                               [](int h) { return h > 0; });
        })) << describe(picture);
        feed.pump(300ms);
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
    TerminalRun run(tonalyx_binary(), mono_pipe(6, 1200, {"--log-power", "2.9"}));
    Feeder feed(run, tone_at_bin(bin));
    Picture picture;
    for (const float log_power : {before, after}) {
        const int column = column_showing(bin, 1000, log_power);
        EXPECT_TRUE(until_only_tallest(feed, run, column, picture))
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
