#include "display/diff.hpp"

#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tonalyx {
namespace {

using namespace std::string_literals;

const std::string full = "\xe2\x96\x88";
const std::string two_eighths = "\xe2\x96\x82";

// What apply writes for `diff` through an output buffer of `capacity` bytes. Below 18 bytes no
// change is formatted in place, so every one takes the checked writes.
std::string frame_bytes(const ViewDiff& diff,
                        std::size_t capacity = OutputBuffer::default_capacity) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    const int fd = ::fileno(file);
    OutputBuffer out(fd, capacity);
    diff.apply(out);
    EXPECT_LE(out.buffered(), capacity);
    EXPECT_FALSE(out.flush());
    std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    std::fclose(file);
    return bytes;
}

TEST(Diff, TheGridComparisonListsChangedCellsRowByRow) {
    FrameGrid front(3, 3);
    FrameGrid back(3, 3);
    back.row(2)[0] = Cell{U'\u2588', true};
    back.row(0)[2] = Cell{U'\u2588', true};
    back.row(1)[1] = Cell{U' ', true}; // same character, different flag: still a change
    front.row(2)[2] = Cell{U'\u2581', true};
    // Identical frames write nothing, whatever an earlier frame left in the list.
    ViewDiff diff;
    diff.changes.push_back({1, 1, U'x'});
    compute_diff(back, FrameGrid(back), diff);
    EXPECT_TRUE(diff.changes.empty());
    EXPECT_EQ(frame_bytes(diff), "");

    compute_diff(back, front, diff);
    EXPECT_EQ(frame_bytes(diff), "\x1b[1;3H"s + full + "\x1b[2;2H \x1b[3;1H" + full + "\x1b[3;3H ");
}

// Every buffer size puts the buffer's edge somewhere else among the changes, the longest of which
// (two 5-digit numbers and a 4-byte character) take all the room that in-place formatting keeps.
TEST(Diff, EncodesEveryCharacterAndPositionAlikeInPlaceAndThroughCheckedWrites) {
    ViewDiff diff;
    diff.changes = {{0, 0, U'a'},
                    {0, 1, U'\u00e9'},
                    {0, 2, U'\U0001F600'},
                    {0, 3, char32_t{0xD800}},
                    {9, 99, U'\u2587'},
                    {99, 999, U'\u2581'},
                    {999, 999, U'\u2588'},
                    {999, 1000, U' '},
                    {9999, 9999, U'\U0001F3B5'},
                    {65535, 65535, U'\u2588'},
                    {65535, 65535, U'\U0001F600'}};
    const std::string expected =
        "\x1b[1;1Ha\x1b[1;2H\xc3\xa9\x1b[1;3H\xf0\x9f\x98\x80\x1b[1;4H"
        "\xef\xbf\xbd\x1b[10;100H\xe2\x96\x87\x1b[100;1000H\xe2\x96\x81"
        "\x1b[1000;1000H\xe2\x96\x88\x1b[1000;1001H \x1b[10000;10000H\xf0\x9f\x8e\xb5"
        "\x1b[65536;65536H\xe2\x96\x88\x1b[65536;65536H\xf0\x9f\x98\x80";
    EXPECT_EQ(frame_bytes(diff), expected);
    for (std::size_t capacity = 16; capacity <= 64; ++capacity) {
        EXPECT_EQ(frame_bytes(diff, capacity), expected) << capacity << "-byte buffer";
    }
}

TEST(Diff, FailedWritesLoseOnlyTheirChangesAndTheNextFrameGoesOn) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end.get(), 16);
    const std::size_t filler = pipe.fill();

    ViewDiff diff;
    // 6 + 3 + 6 bytes fit into 16; the second glyph needs a flush, which fails. The third
    // change's cursor sequence fails too, so its one-byte space is dropped although it would fit.
    diff.changes = {{0, 0, U'\u2588'}, {0, 1, U'\u2588'}, {0, 2, U' '}};
    diff.apply(out);
    EXPECT_EQ(out.buffered(), 15u);

    EXPECT_EQ(pipe.drain().size(), filler);
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(pipe.drain(), "\x1b[1;1H"s + full + "\x1b[1;2H");

    diff.changes = {{1, 0, U'\u2582'}};
    diff.apply(out);
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(pipe.drain(), "\x1b[2;1H"s + two_eighths);
}

// A bar value for the differential test: mostly ordinary heights, often exactly on an eighth,
// and every kind of odd value the analysis could hand over.
float random_bar(std::mt19937& random) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(), infinity, -infinity, 1e30f};
    std::uniform_real_distribution<float> fraction(0.0f, 1.2f);
    const auto kind = random() % 10;
    if (kind < std::size(odd)) {
        return odd[kind];
    }
    return kind == 4 ? -fraction(random)
                     : (kind == 5 ? static_cast<float>(random() % 64) / 8.0f : fraction(random));
}

// The running program keeps only each column's height; the grids are the reference. Both are
// driven through the same frames, from blank after every resize, and must list the same changes
// in the same order and write the same bytes, whether formatted in place or through checked
// writes.
TEST(Diff, PerColumnDiffListsAndWritesWhatTheGridComparisonDoes) {
    std::mt19937 random(20250611);
    const std::pair<std::uint16_t, std::uint16_t> sizes[] = {
        {0, 7}, {7, 0},   {1, 1}, {10, 3},    {1, 1000}, {1000, 1},    {50, 200},
        {0, 0}, {37, 61}, {2, 5}, {120, 400}, {8, 8},    {1000, 1000}, {5, 3}};
    const float sensitivities[] = {0.1f, 1.0f, 10.0f, 2.5f};
    const float normalisers[] = {0.1f, 1.0f, 1.7f};
    ViewDiff reference;
    ViewDiff fast;
    std::vector<float> bars;
    for (const auto& [rows, cols] : sizes) {
        FrameGrid back(rows, cols);
        FrameGrid front(rows, cols);
        ShownBars shown(rows, cols);
        const int frames = rows * cols > 100000 ? 4 : 16;
        for (int frame = 0; frame < frames; ++frame) {
            // Now and then the same bars again, only a few bars moved, or too few values.
            const unsigned kind = random() % 4;
            if (kind == 0 || bars.size() != cols) {
                bars.resize(cols);
                for (float& bar : bars) {
                    bar = random_bar(random);
                }
            } else if (kind == 1 && cols != 0) {
                for (int moved = 0; moved < 3; ++moved) {
                    bars[random() % cols] = random_bar(random);
                }
            }
            const std::span<const float> values =
                kind == 3 ? std::span<const float>(bars).first(random() % (cols + 1u))
                          : std::span<const float>(bars);
            const float normaliser = normalisers[random() % std::size(normalisers)];
            const float sensitivity = sensitivities[random() % std::size(sensitivities)];

            back.clear();
            render_bars(back, values, normaliser, sensitivity);
            compute_diff(back, front, reference);
            std::swap(back, front);
            diff_bars(shown, values, normaliser, sensitivity, fast);

            SCOPED_TRACE(testing::Message() << rows << "x" << cols << ", frame " << frame);
            ASSERT_EQ(fast.changes, reference.changes);
            ASSERT_EQ(frame_bytes(fast), frame_bytes(reference, 16));
        }
    }
}

} // namespace
} // namespace tonalyx
