#include "display/display.hpp"

#include "display/grid.hpp"

#include <algorithm>
#include <string_view>

namespace tonalyx {
namespace {

constexpr std::string_view erase_screen = "\x1b[2J";

} // namespace

DisplayState::DisplayState(TerminalSize size) {
    set_size(size);
}

void DisplayState::set_size(TerminalSize size) {
    size_ = size;
    grid_rows_ = std::min(size.rows, max_grid_size);
    grid_cols_ = std::min(size.cols, max_grid_size);
    shown_ = ShownBars(grid_rows_, grid_cols_);
}

void DisplayState::resize(TerminalSize size, OutputBuffer& out) {
    // The change list keeps its storage.
    set_size(size);
    (void)out.write(erase_screen);
    (void)out.flush();
}

void DisplayState::draw(std::span<const float> bars, float normaliser, float sensitivity,
                        OutputBuffer& out) {
    diff_bars(shown_, bars, normaliser, sensitivity, diff_);
    diff_.apply(out);
}

} // namespace tonalyx
