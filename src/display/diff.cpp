#include "display/diff.hpp"

#include "analysis/bands.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tonalyx {
namespace {

constexpr std::string_view erase_screen = "\x1b[2J";

// Writes "ESC[<row+1>;<column+1>H" into `out`; 16 bytes hold the longest (two 5-digit numbers).
std::size_t format_cursor_position(const CellChange& change, char (&out)[16]) {
    char* end = out + sizeof out;
    char* p = out;
    *p++ = '\x1b';
    *p++ = '[';
    p = std::to_chars(p, end, unsigned{change.row} + 1u).ptr;
    *p++ = ';';
    p = std::to_chars(p, end, unsigned{change.column} + 1u).ptr;
    *p++ = 'H';
    return static_cast<std::size_t>(p - out);
}

// UTF-8 of `ch`; a value that is not a Unicode scalar value (a surrogate or beyond U+10FFFF)
// becomes U+FFFD so that the terminal never receives malformed text.
std::size_t encode_utf8(char32_t ch, char (&out)[4]) {
    if ((ch >= 0xD800 && ch <= 0xDFFF) || ch > 0x10FFFF) {
        ch = U'\uFFFD';
    }
    const auto byte = [](char32_t bits) {
        return static_cast<char>(static_cast<unsigned char>(bits));
    };
    if (ch < 0x80) {
        out[0] = byte(ch);
        return 1;
    }
    if (ch < 0x800) {
        out[0] = byte(0xC0 | (ch >> 6));
        out[1] = byte(0x80 | (ch & 0x3F));
        return 2;
    }
    if (ch < 0x10000) {
        out[0] = byte(0xE0 | (ch >> 12));
        out[1] = byte(0x80 | ((ch >> 6) & 0x3F));
        out[2] = byte(0x80 | (ch & 0x3F));
        return 3;
    }
    out[0] = byte(0xF0 | (ch >> 18));
    out[1] = byte(0x80 | ((ch >> 12) & 0x3F));
    out[2] = byte(0x80 | ((ch >> 6) & 0x3F));
    out[3] = byte(0x80 | (ch & 0x3F));
    return 4;
}

} // namespace

ViewDiff::ViewDiff() {
    changes.reserve(initial_capacity);
}

void ViewDiff::apply(OutputBuffer& out) const {
    char position[16];
    char glyph[4];
    for (const CellChange& change : changes) {
        const std::size_t position_size = format_cursor_position(change, position);
        if (out.write({position, position_size})) {
            continue;
        }
        // A lost character is not retried: the cell is written again only when it changes again.
        (void)out.write({glyph, encode_utf8(change.ch, glyph)});
    }
}

void compute_diff(const FrameGrid& back, const FrameGrid& front, ViewDiff& diff) {
    diff.changes.clear();
    const std::uint16_t rows = std::min(back.rows(), front.rows());
    const std::uint16_t cols = std::min(back.cols(), front.cols());
    for (std::uint16_t r = 0; r < rows; ++r) {
        const auto drawn = back.row(r);
        const auto shown = front.row(r);
        for (std::uint16_t c = 0; c < cols; ++c) {
            if (drawn[c] != shown[c]) {
                diff.changes.push_back(CellChange{r, c, drawn[c].ch});
            }
        }
    }
}

void handle_terminal_resize(std::uint16_t& rows, std::uint16_t& cols, std::uint16_t new_rows,
                            std::uint16_t new_cols, std::uint16_t& grid_rows,
                            std::uint16_t& grid_cols, float log_power, FrameGrid& front,
                            FrameGrid& back, std::vector<float>& bars,
                            std::vector<float>& spare_bars, std::vector<std::uint16_t>& column_bins,
                            OutputBuffer& out) {
    rows = new_rows;
    cols = new_cols;
    grid_cols = std::min(new_cols, max_grid_size);
    grid_rows = std::min(new_rows, max_grid_size);

    front = FrameGrid(grid_rows, grid_cols);
    back = FrameGrid(grid_rows, grid_cols);

    // assign() reuses the existing storage when it is large enough.
    bars.assign(grid_cols, 0.0f);
    spare_bars.assign(grid_cols, 0.0f);

    column_bins = build_column_bins(grid_cols, log_power);

    (void)out.write(erase_screen);
    (void)out.flush();
}

} // namespace tonalyx
