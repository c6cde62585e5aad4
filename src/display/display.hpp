// The picture's state on the terminal it is drawn on: the terminal size as last reported, the
// drawing area (that size capped at 1000 each way), the bar heights on screen and the change
// list. A frame writes only the cells that change; a resize erases the screen and forgets the
// picture, so that the next frame draws everything at the new size.
#pragma once

#include "display/diff.hpp"
#include "terminal/output.hpp"
#include "terminal/terminal.hpp"

#include <cstdint>
#include <span>

namespace tonalyx {

class DisplayState {
public:
    // A blank picture on a terminal of `size`, with an empty change list.
    explicit DisplayState(TerminalSize size);

    // Stores `size`, sets the drawing area to it capped at max_grid_size and makes the picture
    // on screen a blank one of that area, then erases the screen with ESC "[2J" and flushes
    // `out`. Does all of it also when the size has not changed. Output errors are ignored.
    void resize(TerminalSize size, OutputBuffer& out);

    // Writes the cells that change when the picture on screen becomes `bars` drawn with
    // `normaliser` and `sensitivity` (see diff_bars), and keeps the new bars as shown. Does not
    // flush.
    void draw(std::span<const float> bars, float normaliser, float sensitivity, OutputBuffer& out);

    // The terminal size as last reported, unclamped.
    TerminalSize size() const { return size_; }
    // The drawing area.
    std::uint16_t grid_rows() const { return shown_.rows(); }
    std::uint16_t grid_cols() const { return shown_.cols(); }
    // The bar heights on screen.
    const ShownBars& shown() const { return shown_; }
    // The last frame's changes.
    const ViewDiff& diff() const { return diff_; }

private:
    TerminalSize size_;
    ShownBars shown_;
    ViewDiff diff_;
};

} // namespace tonalyx
