#include "display/grid.hpp"

#include <algorithm>

namespace tonalyx {

FrameGrid::FrameGrid(std::uint16_t rows, std::uint16_t cols)
    : rows_(rows), cols_(cols), cells_(std::size_t{rows} * cols, blank_cell) {}

void FrameGrid::clear() {
    std::fill(cells_.begin(), cells_.end(), blank_cell);
}

void render_bars(FrameGrid& grid, std::span<const float> bars, float normaliser,
                 float sensitivity) {
    const std::uint16_t rows = grid.rows();
    const std::size_t columns = std::min<std::size_t>(grid.cols(), bars.size());
    for (std::size_t c = 0; c < columns; ++c) {
        const unsigned height = bar_eighths(bars[c], normaliser, sensitivity, rows);
        const unsigned whole = height / 8;
        for (unsigned j = 0; j < whole; ++j) {
            grid.row(static_cast<std::uint16_t>(rows - 1 - j))[c] = Cell{full_block, true};
        }
        if (const unsigned eighths = height % 8; eighths != 0) {
            grid.row(static_cast<std::uint16_t>(rows - 1 - whole))[c] =
                Cell{partial_blocks[eighths - 1], true};
        }
    }
}

} // namespace tonalyx
