#include "display/grid.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace tonalyx {
namespace {

// The column as a string from the top line down, one character per cell: '#' for a full block,
// '1'…'7' for a partial block of that many eighths, '.' for blank, '?' for anything else.
std::string column_picture(const FrameGrid& grid, std::uint16_t c) {
    std::string picture;
    for (std::uint16_t r = 0; r < grid.rows(); ++r) {
        const Cell cell = grid.row(r)[c];
        if (cell == blank_cell) {
            picture += '.';
        } else if (cell == Cell{U'\u2588', true}) {
            picture += '#';
        } else if (cell.filled && cell.ch >= U'\u2581' && cell.ch <= U'\u2587') {
            picture += static_cast<char>('1' + (cell.ch - U'\u2581'));
        } else {
            picture += '?';
        }
    }
    return picture;
}

TEST(Grid, DrawsWholeCellsFromTheBottomAndTruncatedEighthsAbove) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    struct Case {
        float height; // in lines on a 10-row grid
        const char* picture;
    };
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {{3.3f, "......2###"},   {0.1f, ".........."},     {0.125f, ".........1"},
                          {0.875f, ".........7"}, {9.99f, "7#########"},    {10.0f, "##########"},
                          {25.5f, "##########"},  {infinity, "##########"}, {nan, "##########"},
                          {-2.5f, ".........."},  {-infinity, ".........."}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.height);
        // (1 / 10) * 10 rounds to exactly 1, so the sensitivity is the height to the last bit.
        FrameGrid grid(10, 3);
        render_bars(grid, std::vector<float>(3, 1.0f), 10.0f, test.height);
        for (std::uint16_t c = 0; c < 3; ++c) {
            EXPECT_EQ(column_picture(grid, c), test.picture) << "column " << c;
        }
    }
}

} // namespace
} // namespace tonalyx
