#include "display/grid.hpp"

#include "common/numeric.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tonalyx {

FrameGrid::FrameGrid(std::uint16_t rows, std::uint16_t cols)
    : rows_(rows), cols_(cols), cells_(std::size_t{rows} * cols, blank_cell) {}

FrameGrid::FrameGrid(FrameGrid&& other) noexcept
    : rows_(std::exchange(other.rows_, std::uint16_t{0})),
      cols_(std::exchange(other.cols_, std::uint16_t{0})), cells_(std::move(other.cells_)) {
    other.cells_.clear();
}

FrameGrid& FrameGrid::operator=(FrameGrid&& other) noexcept {
    if (this != &other) {
        rows_ = std::exchange(other.rows_, std::uint16_t{0});
        cols_ = std::exchange(other.cols_, std::uint16_t{0});
        cells_ = std::move(other.cells_);
        other.cells_.clear();
    }
    return *this;
}

void FrameGrid::clear() {
    std::fill(cells_.begin(), cells_.end(), blank_cell);
}

void FrameGrid::swap(FrameGrid& other) noexcept {
    std::swap(rows_, other.rows_);
    std::swap(cols_, other.cols_);
    cells_.swap(other.cells_);
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
