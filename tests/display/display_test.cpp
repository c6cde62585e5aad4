#include "display/display.hpp"

#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tonalyx {
namespace {

// Bars of `value` for `cols` columns, drawn at normaliser and sensitivity 1.
void draw(DisplayState& display, std::uint16_t cols, float value, OutputBuffer& out) {
    display.draw(std::vector<float>(cols, value), 1.0f, 1.0f, out);
}

TEST(DisplayState, TheDrawingAreaIsTheTerminalSizeCappedAt1000EitherWay) {
    struct Case {
        TerminalSize size;
        std::uint16_t grid_rows;
        std::uint16_t grid_cols;
    };
    const Case cases[] = {
        {{24, 80}, 24, 80},
        {{1200, 1500}, 1000, 1000},
        {{50, 1200}, 50, 1000},
        {{1200, 50}, 1000, 50},
        {{1000, 1000}, 1000, 1000},
        {{0, 80}, 0, 80},
        {{24, 0}, 24, 0},
        // The same size again still redraws everything.
        {{10, 20}, 10, 20},
    };
    TestPipe pipe;
    OutputBuffer out(pipe.write_end.get());
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.size.rows << "x" << test.size.cols);
        // Made at that size, and resized to it from a picture with every bar drawn.
        DisplayState made(test.size);
        DisplayState resized(TerminalSize{10, 20});
        draw(resized, 20, 0.7f, out);
        ASSERT_FALSE(out.flush());
        pipe.drain();
        resized.resize(test.size, out);
        if (test.grid_rows == 0 || test.grid_cols == 0) {
            // An empty drawing area draws nothing, whatever the values.
            draw(resized, 80, 1.0f, out);
            EXPECT_TRUE(resized.diff().changes.empty());
        }
        for (const DisplayState* display : {&made, &resized}) {
            EXPECT_EQ(display->size(), test.size);
            EXPECT_EQ(display->grid_rows(), test.grid_rows);
            EXPECT_EQ(display->grid_cols(), test.grid_cols);
            EXPECT_EQ(display->shown(), ShownBars(test.grid_rows, test.grid_cols));
        }
        EXPECT_EQ(out.buffered(), 0u);
        EXPECT_EQ(pipe.drain(), "\x1b[2J");
    }
}

} // namespace
} // namespace tonalyx
