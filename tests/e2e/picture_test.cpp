// The picture as a user sees it, on the real binary under an emulated terminal: where a tone's
// bar stands, a blank screen for silence, no output for a still picture, bars sinking after the
// input ends, resizes, the 1000-column limit and the scaling key.
#include "harness.hpp"
#include "signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// What the program wrote, taken apart: each cell it drew (the cursor position before it, then
// one character), the offsets of the screen clears, and the first thing that is neither.
struct Draw {
    int row; // 1-based, as written
    int col;
    char32_t ch;
    std::size_t offset;
};
struct Writes {
    std::vector<Draw> draws;
    std::vector<std::size_t> clears;
    std::string fault;

    bool drawn_beyond(int rows, int cols) const {
        return std::any_of(draws.begin(), draws.end(),
                           [&](const Draw& d) { return d.row > rows || d.col > cols; });
    }
};

// One UTF-8 character at `at`; its length in `length`, 0 when it is incomplete or invalid.
char32_t decode(const std::string& bytes, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
    if (length == 0 || at + length > bytes.size()) {
        length = 0;
        return 0;
    }
    char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1Fu) : (lead & 0x0Fu);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            length = 0;
            return 0;
        }
        c = (c << 6) | (byte(i) & 0x3Fu);
    }
    return c;
}

Writes parse_writes(const std::string& output, std::size_t from = 0) {
    Writes writes;
    std::size_t at = from;
    const auto fail = [&](const std::string& what) {
        writes.fault = what + " at byte " + std::to_string(at) + ": " +
                       ::testing::PrintToString(output.substr(at, 24));
    };
    while (at < output.size() && writes.fault.empty()) {
        if (output[at] != '\x1b') {
            fail("text without a cursor position");
            break;
        }
        const std::size_t start = at;
        if (at + 1 >= output.size()) {
            break; // the rest of this sequence has not arrived yet
        }
        if (output[at + 1] != '[') {
            fail("unknown escape");
            break;
        }
        std::size_t end = at + 2;
        while (end < output.size() && (std::isdigit(static_cast<unsigned char>(output[end])) ||
                                       output[end] == ';' || output[end] == '?')) {
            ++end;
        }
        if (end >= output.size()) {
            break;
        }
        const std::string parameters = output.substr(at + 2, end - at - 2);
        const char final_byte = output[end];
        at = end + 1;
        if (final_byte == 'H') {
            const std::size_t separator = parameters.find(';');
            if (separator == std::string::npos || separator == 0 ||
                separator + 1 == parameters.size()) {
                at = start;
                fail("cursor position without row and column");
                break;
            }
            std::size_t length = 0;
            if (at >= output.size()) {
                break;
            }
            const char32_t c = decode(output, at, length);
            if (length == 0) {
                if (at + 3 > output.size()) {
                    break; // a glyph cut off by the end of what was read so far
                }
                fail("invalid UTF-8");
                break;
            }
            if (c != U' ' && !is_block(c)) {
                fail("a character that is neither a space nor a block");
                break;
            }
            writes.draws.push_back(Draw{std::stoi(parameters.substr(0, separator)),
                                        std::stoi(parameters.substr(separator + 1)), c, start});
            at += length;
        } else if (final_byte == 'J' && parameters == "2") {
            writes.clears.push_back(start);
        } else if (!((final_byte == 'h' || final_byte == 'l') &&
                     (parameters == "?1049" || parameters == "?25"))) {
            at = start;
            fail("unexpected control sequence");
        }
    }
    return writes;
}

// Little-endian s16 bytes of mono values in [-1, 1].
void append_pcm(std::string& bytes, float value) {
    const auto sample = static_cast<std::int16_t>(std::clamp(value, -1.0f, 1.0f) * 32767.0f);
    tonalyx::append_pcm(bytes, {&sample, 1});
}

// Feeds mono audio into the program's pipe in real time, `per_second` samples a second, in
// small pieces, as a live source would; a backlog after a stall of the test is skipped rather
// than sent in one burst.
class Feeder {
public:
    Feeder(TerminalRun& run, std::function<float()> next_value,
           float per_second = static_cast<float>(rate))
        : run_(run), next_value_(std::move(next_value)), per_second_(per_second),
          start_(Clock::now()) {}

    // Sends what is due by now; call it often, e.g. from a wait_for predicate.
    void operator()() {
        const std::chrono::duration<float> elapsed = Clock::now() - start_;
        const auto due = static_cast<std::int64_t>(elapsed.count() * per_second_) - sent_;
        if (due <= 0) {
            return;
        }
        const std::int64_t count = std::min<std::int64_t>(due, largest_piece);
        std::string bytes;
        for (std::int64_t i = 0; i < count; ++i) {
            append_pcm(bytes, next_value_());
        }
        run_.feed(bytes);
        sent_ += due;
    }

    // Keeps feeding while the program's output is pumped for `duration`.
    void pump(std::chrono::milliseconds duration) {
        run_.wait_for(
            [this] {
                (*this)();
                return false;
            },
            duration);
    }

private:
    static constexpr std::int64_t largest_piece = 400;

    TerminalRun& run_;
    std::function<float()> next_value_;
    float per_second_;
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

std::function<float()> silence() {
    return [] { return 0.0f; };
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

// A bin that exactly one column of 40 shows at the default scaling, and exactly one other
// column at the next step up, with the neighbouring columns a dozen bins away.
constexpr int tone_cols = 40;
constexpr std::uint16_t tone_rows = 12;
constexpr unsigned tone_bin = 145;

TEST(TonePicture, StandsInThePredictedColumn) {
    const int column = column_showing(tone_bin, tone_cols, 1.4f);
    ASSERT_GE(column, 0);
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols));
    Feeder feed(run, tone_at_bin(tone_bin));
    Picture picture;
    const bool seen = run.wait_for([&] {
        feed();
        picture = read_picture(run);
        return picture.fault.empty() && picture.only_tallest(column);
    });
    EXPECT_TRUE(seen) << "expected the tallest bar in column " << column << "; "
                      << describe(picture) << "\n"
                      << run.screen();
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_FALSE(writes.drawn_beyond(tone_rows, tone_cols));
}

TEST(TonePicture, ScalingKeyMovesTheBarToTheColumnOfTheNewPower) {
    const float raised = 1.4f + 0.1f;
    const int before = column_showing(tone_bin, tone_cols, 1.4f);
    const int after = column_showing(tone_bin, tone_cols, raised);
    ASSERT_GE(before, 0);
    ASSERT_GE(after, 0);
    ASSERT_NE(before, after);
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols));
    Feeder feed(run, tone_at_bin(tone_bin));
    Picture picture;
    ASSERT_TRUE(run.wait_for([&] {
        feed();
        picture = read_picture(run);
        return picture.fault.empty() && picture.only_tallest(before);
    })) << describe(picture);
    run.type(".");
    const bool moved = run.wait_for([&] {
        feed();
        picture = read_picture(run);
        return picture.fault.empty() && picture.only_tallest(after);
    });
    EXPECT_TRUE(moved) << "expected the tallest bar in column " << after << "; "
                       << describe(picture) << "\n"
                       << run.screen();
}

TEST(StillPicture, SilenceLeavesTheScreenBlank) {
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols));
    Feeder quiet(run, silence());
    std::string fault;
    const auto until = Clock::now() + 700ms;
    run.wait_for([&] {
        quiet();
        const Picture picture = read_picture(run);
        if (!picture.blank() && fault.empty()) {
            fault = describe(picture) + "\n" + run.screen();
        }
        return Clock::now() >= until;
    });
    EXPECT_EQ(fault, "");
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_TRUE(writes.draws.empty()) << run.output();
    // The program was listening all along: a tone now shows.
    Feeder tone(run, tone_at_bin(tone_bin));
    EXPECT_TRUE(run.wait_for([&] {
        tone();
        return !read_picture(run).blank();
    }));
}

TEST(StillPicture, FullDropOffHoldsTheBarsAndWritesNothingWhileAudioKeepsComing) {
    // A steady tone through a pipe still varies a little from frame to frame with the number of
    // samples each frame takes in, and held bars keep every new maximum. So the tone plays until
    // it has drawn its bar, and quiet audio follows: with no drop-off nothing may move then.
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols, {"--drop-off", "1.0"}));
    const int column = column_showing(tone_bin, tone_cols, 1.4f);
    Feeder tone(run, tone_at_bin(tone_bin));
    ASSERT_TRUE(run.wait_for([&] {
        tone();
        return read_picture(run).only_tallest(column);
    })) << run.screen();
    tone.pump(300ms);
    Feeder quiet(run, silence());
    std::size_t written = run.output().size();
    auto unchanged_since = Clock::now();
    const bool settled = run.wait_for([&] {
        quiet();
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

TEST(StillPicture, BarsSinkAfterTheInputEndsAndQStillQuits) {
    TerminalRun run(tonalyx_binary(), mono_pipe(tone_rows, tone_cols));
    Feeder feed(run, tone_at_bin(tone_bin));
    ASSERT_TRUE(run.wait_for([&] {
        feed();
        const Picture picture = read_picture(run);
        return picture.heights[static_cast<std::size_t>(picture.tallest())] >= tone_rows * 4;
    })) << run.screen();
    run.close_audio();
    Picture picture;
    EXPECT_TRUE(run.wait_for([&] {
        picture = read_picture(run);
        return picture.blank();
    })) << describe(picture);
    EXPECT_EQ(parse_writes(run.output()).fault, "");
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

TEST(Resize, ClearsAndRedrawsAtTheNewSize) {
    TerminalRun run(tonalyx_binary(), mono_pipe(10, 30));
    Feeder feed(run, noise());
    ASSERT_TRUE(run.wait_for([&] {
        feed();
        return !read_picture(run).blank();
    }));
    EXPECT_TRUE(parse_writes(run.output()).clears.empty());

    // Wider and taller: bars beyond the old width, standing on the new bottom line.
    std::size_t resized = run.output().size();
    run.resize(16, 60);
    Picture picture;
    EXPECT_TRUE(run.wait_for([&] {
        feed();
        picture = read_picture(run);
        const bool right_part = std::any_of(picture.heights.begin() + 30, picture.heights.end(),
                                            [](int h) { return h > 0; });
        return !parse_writes(run.output(), resized).clears.empty() && right_part &&
               picture.fault.empty();
    })) << describe(picture);
    Writes writes = parse_writes(run.output(), resized);
    EXPECT_EQ(writes.fault, "");
    ASSERT_FALSE(writes.clears.empty());

    // Narrower and lower: after the clear nothing is drawn outside the new size.
    resized = run.output().size();
    run.resize(8, 20);
    ASSERT_TRUE(run.wait_for([&] {
        feed();
        const Writes after = parse_writes(run.output(), resized);
        return !after.clears.empty() &&
               std::any_of(after.draws.begin(), after.draws.end(),
                           [&](const Draw& d) { return d.offset > after.clears.front(); });
    }));
    feed.pump(300ms);
    writes = parse_writes(run.output(), resized);
    EXPECT_EQ(writes.fault, "");
    ASSERT_FALSE(writes.clears.empty());
    for (const Draw& draw : writes.draws) {
        if (draw.offset > writes.clears.back()) {
            EXPECT_LE(draw.row, 8);
            EXPECT_LE(draw.col, 20);
        }
    }
    EXPECT_TRUE(run.wait_for([&] {
        feed();
        picture = read_picture(run);
        return picture.fault.empty() && !picture.blank();
    })) << describe(picture);
}

TEST(WideTerminal, OnlyTheFirst1000ColumnsAreDrawn) {
    constexpr std::uint16_t rows = 6;
    TerminalRun run(tonalyx_binary(), mono_pipe(rows, 1200));
    Feeder feed(run, noise());
    Picture picture;
    // The high end of the drawing area is in use, and the bars stand on the bottom line.
    const bool drawn = run.wait_for([&] {
        feed();
        picture = read_picture(run);
        return picture.fault.empty() &&
               std::any_of(picture.heights.begin() + 900, picture.heights.begin() + 1000,
                           [](int h) { return h > 0; });
    });
    ASSERT_TRUE(drawn) << describe(picture);
    feed.pump(200ms);
    EXPECT_TRUE(run.wait_for([&] {
        picture = read_picture(run);
        return picture.fault.empty() &&
               std::all_of(picture.heights.begin() + 1000, picture.heights.end(),
                           [](int h) { return h == 0; });
    })) << describe(picture);
    const Writes writes = parse_writes(run.output());
    EXPECT_EQ(writes.fault, "");
    EXPECT_FALSE(writes.drawn_beyond(rows, 1000));
}

} // namespace
} // namespace e2e
