#include "display/display.hpp"

#include "display/grid.hpp"

#include <algorithm>
#include <string_view>

namespace tonalyx {
namespace {

constexpr std::string_view erase_screen = "\x1b[2J";

// A blank picture on the drawing area of a terminal of `size`.
ShownBars blank_area(TerminalSize size) {
    return {std::min(size.rows, max_grid_size), std::min(size.cols, max_grid_size)};
}

} // namespace

DisplayState::DisplayState(TerminalSize size) : size_(size), shown_(blank_area(size)) {}

void DisplayState::resize(TerminalSize size, OutputBuffer& out) {
    // The change list keeps its storage.
    size_ = size;
    shown_ = blank_area(size);
    (void)out.write(erase_screen);
    (void)out.flush();
}

void DisplayState::draw(std::span<const float> bars, float normaliser, float sensitivity,
                        OutputBuffer& out) {
    diff_bars(shown_, bars, normaliser, sensitivity, diff_);
    diff_.apply(out);
}

} // namespace tonalyx
