// The picture as a grid of character cells covering the terminal from its top-left corner, and
// the renderer that draws one bar per column with block glyphs in eighths of a line, by the
// height rule the running program's per-column diff shares. The grid is that diff's reference.
// Drawing never allocates and never addresses a cell outside the grid.
#pragma once

#include "common/numeric.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tonalyx {

// One character cell. `filled` marks cells drawn by the renderer; it is compared but never shown.
struct Cell {
    char32_t ch = U' ';
    bool filled = false;

    friend bool operator==(const Cell&, const Cell&) = default;
};

// The cell every grid starts with and every cleared grid goes back to: a space, not filled.
inline constexpr Cell blank_cell{};

// The largest grid in either direction; larger terminals are drawn only in their top-left part.
inline constexpr std::uint16_t max_grid_size = 1000;

// The full block (a whole cell) and the seven lower partial blocks, indexed by eighths - 1.
inline constexpr char32_t full_block = U'\u2588';
inline constexpr char32_t partial_blocks[7] = {U'\u2581', U'\u2582', U'\u2583', U'\u2584',
                                               U'\u2585', U'\u2586', U'\u2587'};

// rows × cols cells in one contiguous block, row-major; row 0 is the top line, column 0 the
// leftmost.
class FrameGrid {
public:
    // An empty 0 × 0 grid.
    FrameGrid() = default;

    // A grid of rows × cols blank cells; either size may be zero.
    FrameGrid(std::uint16_t rows, std::uint16_t cols);

    std::uint16_t rows() const { return rows_; }
    std::uint16_t cols() const { return cols_; }

    // The cells of row `r`, which must be below rows().
    std::span<Cell> row(std::uint16_t r) { return {cells_.data() + std::size_t{r} * cols_, cols_}; }
    std::span<const Cell> row(std::uint16_t r) const {
        return {cells_.data() + std::size_t{r} * cols_, cols_};
    }

    // Every cell, row after row.
    std::span<const Cell> cells() const { return cells_; }

    // Sets every cell to blank_cell; the size and the storage stay.
    void clear();

    friend bool operator==(const FrameGrid&, const FrameGrid&) = default;

private:
    std::uint16_t rows_ = 0;
    std::uint16_t cols_ = 0;
    std::vector<Cell> cells_;
};

// The height at which a bar value is drawn on a grid of `rows` lines, in eighths of a line:
// h = ((bar / normaliser) * rows) * sensitivity in single precision, capped at rows (NaN counts
// as full), then whole cells * 8 plus the truncated eighths of the cell above them. Between 0
// and rows * 8; negative and tiny values give 0.
inline std::uint16_t bar_eighths(float bar, float normaliser, float sensitivity,
                                 std::uint16_t rows) {
    const float height_limit = static_cast<float>(rows);
    // Evaluated in exactly this order so that results match to the last bit.
    float h = ((bar / normaliser) * height_limit) * sensitivity;
    h = std::isnan(h) ? height_limit : std::min(h, height_limit);
    // h is at most rows, so whole is too; with whole == rows, h has no fraction left.
    const unsigned whole = saturating_truncate<unsigned>(h);
    // A negative h gives a negative or NaN fraction, which truncates to 0.
    const unsigned eighths = saturating_truncate<unsigned>((h - std::trunc(h)) * 8.0f);
    return static_cast<std::uint16_t>(whole * 8 + std::min(eighths, 7u));
}

// Draws one bar per column into `grid`, which the caller has cleared: the height in lines is
// ((bars[c] / normaliser) * rows) * sensitivity, capped at the grid height (NaN counts as full),
// drawn as full blocks from the bottom and one partial block for the remaining eighths.
// Columns without a value in `bars` stay blank.
void render_bars(FrameGrid& grid, std::span<const float> bars, float normaliser, float sensitivity);

} // namespace tonalyx
