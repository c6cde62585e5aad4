// Frame output: finds the cells in which the newly drawn grid differs from the one on screen and
// writes only those, each with its own cursor-position sequence. Also rebuilds the display state
// and the per-column arrays when the terminal changes size.
#pragma once

#include "display/grid.hpp"
#include "display/output.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonalyx {

// One cell to write: its grid position (0-based, row 0 at the top) and its new character.
struct CellChange {
    std::uint16_t row;
    std::uint16_t column;
    char32_t ch;
};

// The changes of one frame in row-major order. The list keeps its storage from frame to frame
// and only grows.
class ViewDiff {
public:
    static constexpr std::size_t initial_capacity = 512;

    // An empty list with room for initial_capacity changes.
    ViewDiff();

    // Writes every change in order: ESC "[" row+1 ";" column+1 "H", then the character in UTF-8.
    // A change whose cursor sequence cannot be written loses its character; a failed character
    // write is ignored. Never flushes, never stops early, allocates nothing.
    void apply(OutputBuffer& out) const;

    std::vector<CellChange> changes;
};

// Empties `diff`, then lists every cell whose character or filled flag differs between `back`
// (the frame just drawn) and `front` (what is on screen), top line first, left to right. Grids of
// different sizes are compared over the part they share.
void compute_diff(const FrameGrid& back, const FrameGrid& front, ViewDiff& diff);

// Stores the new terminal size, sets the drawing area to it capped at max_grid_size, replaces
// both grids by blank ones of that size, zeroes `bars` and `spare_bars` to the new width (keeping
// their storage), rebuilds `column_bins` from `log_power`, then erases the screen with ESC "[2J"
// and flushes `out`. Output errors are ignored.
void handle_terminal_resize(std::uint16_t& rows, std::uint16_t& cols, std::uint16_t new_rows,
                            std::uint16_t new_cols, std::uint16_t& grid_rows,
                            std::uint16_t& grid_cols, float log_power, FrameGrid& front,
                            FrameGrid& back, std::vector<float>& bars,
                            std::vector<float>& spare_bars, std::vector<std::uint16_t>& column_bins,
                            OutputBuffer& out);

} // namespace tonalyx
