#include "display/diff.hpp"

#include "analysis/bands.hpp"
#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

using namespace std::string_literals;

const std::string full = "\xe2\x96\x88";
const std::string two_eighths = "\xe2\x96\x82";

std::string frame_bytes(const ViewDiff& diff) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end);
    diff.apply(out);
    EXPECT_FALSE(out.flush());
    return pipe.drain();
}

TEST(Diff, IdenticalFramesWriteNothing) {
    FrameGrid back(10, 4);
    render_bars(back, std::vector<float>{0.1f, 0.5f, 1.0f, 0.33f}, 1.0f, 1.0f);
    const FrameGrid front = back;
    ViewDiff diff;
    diff.changes.push_back({1, 1, U'x'}); // left over from an earlier frame
    compute_diff(back, front, diff);
    EXPECT_TRUE(diff.changes.empty());
    EXPECT_GE(diff.changes.capacity(), ViewDiff::initial_capacity);
    EXPECT_EQ(frame_bytes(diff), "");
}

TEST(Diff, BarFallingOneLineWritesASpaceAndTheNewTopGlyph) {
    // Column 1 falls from 3.3 to 2.3 lines on a 10-row grid; columns 0 and 2 stay.
    FrameGrid front(10, 3);
    FrameGrid back(10, 3);
    render_bars(front, std::vector<float>{0.5f, 0.33f, 0.2f}, 1.0f, 1.0f);
    render_bars(back, std::vector<float>{0.5f, 0.23f, 0.2f}, 1.0f, 1.0f);
    ViewDiff diff;
    compute_diff(back, front, diff);
    EXPECT_EQ(frame_bytes(diff), "\x1b[7;2H \x1b[8;2H"s + two_eighths);
}

TEST(Diff, ListsChangesInRowMajorOrderAndComparesTheFilledFlag) {
    FrameGrid front(3, 3);
    FrameGrid back(3, 3);
    back.row(2)[0] = Cell{U'\u2588', true};
    back.row(0)[2] = Cell{U'\u2588', true};
    back.row(1)[1] = Cell{U' ', true}; // same character, different flag: still a change
    front.row(2)[2] = Cell{U'\u2581', true};
    ViewDiff diff;
    compute_diff(back, front, diff);
    std::vector<std::pair<int, int>> positions;
    for (const CellChange& change : diff.changes) {
        positions.emplace_back(change.row, change.column);
    }
    EXPECT_EQ(positions, (std::vector<std::pair<int, int>>{{0, 2}, {1, 1}, {2, 0}, {2, 2}}));
    EXPECT_EQ(frame_bytes(diff), "\x1b[1;3H"s + full + "\x1b[2;2H \x1b[3;1H" + full + "\x1b[3;3H ");
}

TEST(Diff, AddressesCellsOneBasedUpToTheLargestGrid) {
    FrameGrid front(max_grid_size, max_grid_size);
    FrameGrid back(max_grid_size, max_grid_size);
    back.row(0)[0] = Cell{U'\u2588', true};
    back.row(999)[999] = Cell{U'\u2588', true};
    ViewDiff diff;
    compute_diff(back, front, diff);
    EXPECT_EQ(frame_bytes(diff), "\x1b[1;1H"s + full + "\x1b[1000;1000H" + full);
}

TEST(Diff, EncodesEveryCharacterAsUtf8) {
    ViewDiff diff;
    diff.changes = {
        {0, 0, U'a'}, {0, 1, U'\u00e9'}, {0, 2, U'\U0001F600'}, {0, 3, char32_t{0xD800}}};
    EXPECT_EQ(frame_bytes(diff), "\x1b[1;1Ha\x1b[1;2H\xc3\xa9\x1b[1;3H\xf0\x9f\x98\x80\x1b[1;4H"
                                 "\xef\xbf\xbd");
}

TEST(Diff, FailedWritesLoseOnlyTheirChangesAndTheNextFrameGoesOn) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end, 16);
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

struct ResizeFixture {
    std::uint16_t rows = 10;
    std::uint16_t cols = 20;
    std::uint16_t grid_rows = 10;
    std::uint16_t grid_cols = 20;
    FrameGrid front{10, 20};
    FrameGrid back{10, 20};
    std::vector<float> bars = std::vector<float>(20, 0.7f);
    std::vector<float> spare_bars = std::vector<float>(20, 0.4f);
    std::vector<std::uint16_t> column_bins = std::vector<std::uint16_t>(20, 7);

    ResizeFixture() {
        render_bars(front, bars, 1.0f, 1.0f);
        render_bars(back, spare_bars, 1.0f, 1.0f);
    }

    void resize(std::uint16_t new_rows, std::uint16_t new_cols, OutputBuffer& out) {
        handle_terminal_resize(rows, cols, new_rows, new_cols, grid_rows, grid_cols, 1.5f, front,
                               back, bars, spare_bars, column_bins, out);
    }

    void expect_rebuilt(std::uint16_t expected_rows, std::uint16_t expected_cols) const {
        EXPECT_EQ(grid_rows, expected_rows);
        EXPECT_EQ(grid_cols, expected_cols);
        EXPECT_EQ(front, FrameGrid(expected_rows, expected_cols));
        EXPECT_EQ(back, FrameGrid(expected_rows, expected_cols));
        EXPECT_EQ(bars, std::vector<float>(expected_cols, 0.0f));
        EXPECT_EQ(spare_bars, std::vector<float>(expected_cols, 0.0f));
        EXPECT_EQ(column_bins, build_column_bins(expected_cols, 1.5f));
    }
};

TEST(Resize, SameSizeStillRebuildsAndErasesTheScreen) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end);
    ResizeFixture state;
    const float* bars_storage = state.bars.data();
    state.resize(10, 20, out);
    EXPECT_EQ(state.rows, 10u);
    EXPECT_EQ(state.cols, 20u);
    state.expect_rebuilt(10, 20);
    EXPECT_EQ(state.bars.data(), bars_storage);
    EXPECT_EQ(out.buffered(), 0u);
    EXPECT_EQ(pipe.drain(), "\x1b[2J");
}

TEST(Resize, ToZeroColumnsAndBack) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end);
    ResizeFixture state;
    state.resize(24, 0, out);
    state.expect_rebuilt(24, 0);

    // Frames on the empty grid draw and write nothing.
    ViewDiff diff;
    render_bars(state.back, state.bars, 1.0f, 1.0f);
    compute_diff(state.back, state.front, diff);
    EXPECT_TRUE(diff.changes.empty());

    state.resize(24, 80, out);
    EXPECT_EQ(state.cols, 80u);
    state.expect_rebuilt(24, 80);
    EXPECT_EQ(pipe.drain(), "\x1b[2J\x1b[2J");
}

TEST(Resize, WideTerminalsAreCappedButStillRebuilt) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end);
    ResizeFixture state;
    state.resize(50, 1200, out);
    state.expect_rebuilt(50, 1000);
    pipe.drain();

    // Dirty the state again: a narrower but still capped width must rebuild it all the same.
    state.bars.assign(1000, 0.9f);
    render_bars(state.front, state.bars, 1.0f, 1.0f);
    state.column_bins.assign(1000, 3);
    state.resize(50, 1100, out);
    EXPECT_EQ(state.cols, 1100u);
    state.expect_rebuilt(50, 1000);
    EXPECT_EQ(pipe.drain(), "\x1b[2J");
}

} // namespace
} // namespace tonalyx
