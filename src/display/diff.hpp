// Frame output: finds the cells in which the new picture differs from the one on screen and
// writes only those, each with its own cursor-position sequence. The running program keeps the
// screen as one bar height per column, so a frame costs work in proportion to the cells that
// change; the grid comparison is the reference that the per-column diff must agree with.
#pragma once

#include "display/grid.hpp"
#include "terminal/output.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tonalyx {

// One cell to write: its grid position (0-based, row 0 at the top) and its new character.
struct CellChange {
    std::uint16_t row;
    std::uint16_t column;
    char32_t ch;

    friend bool operator==(const CellChange&, const CellChange&) = default;
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

// What the screen shows, one bar per column: each column's height in eighths of a line (0 to
// rows × 8) on a drawing area of rows lines, plus scratch for putting a frame's changes in row
// order. All storage is sized here, so that diff_bars allocates nothing but change-list growth.
class ShownBars {
public:
    // An empty 0 × 0 picture.
    ShownBars() = default;

    // A blank picture of `rows` × `cols`: every height 0.
    ShownBars(std::uint16_t rows, std::uint16_t cols);

    std::uint16_t rows() const { return rows_; }
    std::uint16_t cols() const { return static_cast<std::uint16_t>(heights_.size()); }

    // Same size and same heights; the scratch is not compared.
    friend bool operator==(const ShownBars& a, const ShownBars& b) {
        return a.rows_ == b.rows_ && a.heights_ == b.heights_;
    }

private:
    friend void diff_bars(ShownBars& shown, std::span<const float> bars, float normaliser,
                          float sensitivity, ViewDiff& diff);

    // A column whose height changes this frame: its rows top … bottom change, and it is to be
    // drawn as `whole` full blocks with `top_glyph` above them (a partial block or a space).
    // `next` links the columns whose changes start on the same row.
    struct ChangedColumn {
        char32_t top_glyph;
        std::uint16_t column;
        std::uint16_t top;
        std::uint16_t bottom;
        std::uint16_t whole;
        std::uint16_t next;
    };

    // How many cells a frame changes, and the first and last row they lie on.
    struct ChangedRows {
        std::size_t cells;
        std::uint16_t first;
        std::uint16_t last;
    };

    // Records the heights `bars` are drawn at as shown and collects the columns whose height
    // changes into changed_.
    ChangedRows collect_changes(std::span<const float> bars, float normaliser, float sensitivity);

    // Writes the changes of the collected columns from `next_change` on, which has room for all
    // of them: row by row from the top, each row left to right.
    void list_changes(const ChangedRows& changed, CellChange* next_change);

    std::uint16_t rows_ = 0;
    std::vector<std::uint16_t> heights_;
    std::vector<ChangedColumn> changed_;
    // Per row, the first changed column whose changes start there (an index into changed_).
    std::vector<std::uint16_t> first_on_row_;
    // Changed columns that reach the current row, in column order, and the next row's list;
    // each with room for an end mark.
    std::vector<std::uint16_t> active_;
    std::vector<std::uint16_t> still_active_;
};

// Empties `diff`, then lists the cells that change when the shown picture becomes `bars` drawn
// with `normaliser` and `sensitivity` (at the heights render_bars draws; columns without a value
// are blank), top line first, left to right, and records the new heights as shown. The list
// equals what compute_diff gives between the grid drawn from `bars` and the grid drawn from the
// old heights, but only changed columns are visited and only changed cells listed.
void diff_bars(ShownBars& shown, std::span<const float> bars, float normaliser, float sensitivity,
               ViewDiff& diff);

// Empties `diff`, then lists every cell whose character or filled flag differs between `back`
// (the frame just drawn) and `front` (what is on screen), top line first, left to right. Grids of
// different sizes are compared over the part they share.
void compute_diff(const FrameGrid& back, const FrameGrid& front, ViewDiff& diff);

} // namespace tonalyx
