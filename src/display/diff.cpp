#include "display/diff.hpp"

#include "common/utf8.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace tonalyx {
namespace {

// Marks the end of a list of changed columns.
constexpr std::uint16_t no_column = 0xFFFF;

// The longest cursor-position sequence: ESC "[", two 5-digit numbers, ";" and "H".
constexpr std::size_t longest_position = 14;
// The longest change: its cursor-position sequence and a 4-byte character. Formatting in place
// copies the row's text as 8 bytes, which stays within this: ESC "[", 5 digits and ";".
constexpr std::size_t longest_change = longest_position + 4;

// "00" to "99": two digits at a time.
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233"
    "34353637383940414243444546474849505152535455565758596061626364656667"
    "6869707172737475767778798081828384858687888990919293949596979899";

// Writes the two digits of `value` (below 100) at `out`.
char* put_two_digits(char* out, unsigned value) {
    std::memcpy(out, digit_pairs + 2 * std::size_t{value}, 2);
    return out + 2;
}

// Writes `value` (at most 65536) in decimal without leading zeros at `out`; returns the end.
char* put_decimal(char* out, unsigned value) {
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    if (value < 100) {
        return put_two_digits(out, value);
    }
    if (value < 1000) {
        *out = static_cast<char>('0' + value / 100);
        return put_two_digits(out + 1, value % 100);
    }
    if (value < 10000) {
        return put_two_digits(put_two_digits(out, value / 100), value % 100);
    }
    *out = static_cast<char>('0' + value / 10000);
    return put_two_digits(put_two_digits(out + 1, value / 100 % 100), value % 100);
}

// Writes "ESC[<row+1>;<column+1>H" at `out`; returns the end.
char* put_cursor_position(char* out, const CellChange& change) {
    *out++ = '\x1b';
    *out++ = '[';
    out = put_decimal(out, unsigned{change.row} + 1u);
    *out++ = ';';
    out = put_decimal(out, unsigned{change.column} + 1u);
    *out++ = 'H';
    return out;
}

// "ESC[<row+1>;" of the row last written: changes come row by row, so it is mostly reused.
struct RowPrefix {
    char text[16] = {};
    std::size_t size = 0;
    unsigned row = ~0u;
};

// Writes the UTF-8 of `ch` at `out`; returns the end.
char* put_glyph(char* out, char32_t ch) {
    // A space, or a block glyph (U+2580 to U+25BF, whose UTF-8 shares its first two bytes), is
    // written here. The two alternate unpredictably, so they are told apart by masks and tested
    // with one comparison, never by a branch.
    const auto ascii = static_cast<unsigned>(ch < 0x80);
    const unsigned keep = 0u - ascii;
    constexpr unsigned block_group = full_block >> 6;
    if ((((ch >> 6) & ~keep) | (block_group & keep)) == block_group) {
        out[0] = static_cast<char>((ch & keep) | (0xE2u & ~keep));
        out[1] = '\x96';
        out[2] = static_cast<char>(0x80 | (ch & 0x3F));
        return out + (3 - 2 * std::size_t{ascii});
    }
    return out + encode_utf8(ch, out);
}

// Writes `change` at `out`, which has room for longest_change bytes; returns the end.
char* put_change(char* out, const CellChange& change, RowPrefix& prefix) {
    if (change.row != prefix.row) {
        prefix.row = change.row;
        char* prefix_end = prefix.text;
        *prefix_end++ = '\x1b';
        *prefix_end++ = '[';
        prefix_end = put_decimal(prefix_end, prefix.row + 1u);
        *prefix_end++ = ';';
        prefix.size = static_cast<std::size_t>(prefix_end - prefix.text);
    }
    std::memcpy(out, prefix.text, 8);
    out += prefix.size;
    out = put_decimal(out, unsigned{change.column} + 1u);
    *out++ = 'H';
    return put_glyph(out, change.ch);
}

using ChangeIterator = std::vector<CellChange>::const_iterator;

// Formats the changes from `change` on straight into the buffer while whole changes surely fit:
// the checked writes would not flush there either, so the bytes and the flushes stay the same.
// Returns the first change not written.
ChangeIterator put_in_place(ChangeIterator change, ChangeIterator last, RowPrefix& prefix,
                            OutputBuffer& out) {
    const std::span<char> room = out.free_space();
    char* const start = room.data();
    char* const limit = start + room.size();
    char* end = start;
    for (;;) {
        const auto fit = std::min(static_cast<std::size_t>(limit - end) / longest_change,
                                  static_cast<std::size_t>(last - change));
        if (fit == 0) {
            break;
        }
        for (const auto batch_end = change + static_cast<std::ptrdiff_t>(fit); change != batch_end;
             ++change) {
            end = put_change(end, *change, prefix);
        }
    }
    out.commit(static_cast<std::size_t>(end - start));
    return change;
}

// Writes `change` through the checked writes, which flush first and may fail.
void write_checked(const CellChange& change, OutputBuffer& out) {
    char position[longest_position];
    const std::size_t position_size =
        static_cast<std::size_t>(put_cursor_position(position, change) - position);
    if (!out.write({position, position_size})) {
        char glyph[4];
        // A lost character is not retried: the cell is written again only when it changes.
        (void)out.write({glyph, encode_utf8(change.ch, glyph)});
    }
}

} // namespace

ViewDiff::ViewDiff() {
    changes.reserve(initial_capacity);
}

void ViewDiff::apply(OutputBuffer& out) const {
    RowPrefix prefix;
    auto change = changes.begin();
    for (;;) {
        change = put_in_place(change, changes.end(), prefix, out);
        if (change == changes.end()) {
            return;
        }
        // Nearly full.
        write_checked(*change, out);
        ++change;
    }
}

// Rows then cols, the one order of every size in this program.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
ShownBars::ShownBars(std::uint16_t rows, std::uint16_t cols)
    : rows_(rows), heights_(cols, 0), first_on_row_(rows, no_column), active_(cols + 1u),
      still_active_(cols + 1u) {
    changed_.reserve(cols);
}

ShownBars::ChangedRows ShownBars::collect_changes(std::span<const float> bars, float normaliser,
                                                  float sensitivity) {
    changed_.clear();
    ChangedRows changed{0, rows_, 0};
    for (std::size_t c = 0; c < heights_.size(); ++c) {
        const std::uint16_t height =
            c < bars.size() ? bar_eighths(bars[c], normaliser, sensitivity, rows_) : 0;
        const std::uint16_t old_height = heights_[c];
        if (height == old_height) {
            continue;
        }
        heights_[c] = height;
        // Below the lower top both pictures have full blocks, above the higher top both are
        // blank; every cell in between differs.
        const unsigned low = std::min(height, old_height);
        const unsigned high = std::max(height, old_height);
        const auto top = static_cast<std::uint16_t>(rows_ - (high + 7) / 8);
        const auto bottom = static_cast<std::uint16_t>(rows_ - 1 - low / 8);
        const unsigned eighths = height % 8u;
        changed_.push_back({eighths == 0 ? U' ' : partial_blocks[eighths - 1],
                            static_cast<std::uint16_t>(c), top, bottom,
                            static_cast<std::uint16_t>(height / 8u), no_column});
        changed.cells += std::size_t{bottom} - top + 1;
        changed.first = std::min(changed.first, top);
        changed.last = std::max(changed.last, bottom);
    }
    return changed;
}

void ShownBars::list_changes(const ChangedRows& changed, CellChange* next_change) {
    // Group the changed columns by their top row, each group in column order.
    for (std::size_t i = changed_.size(); i-- > 0;) {
        ChangedColumn& column = changed_[i];
        column.next = first_on_row_[column.top];
        first_on_row_[column.top] = static_cast<std::uint16_t>(i);
    }
    std::uint16_t* active = active_.data();
    std::uint16_t* still_active = still_active_.data();
    std::size_t active_count = 0;
    for (unsigned r = changed.first; r <= changed.last; ++r) {
        // The cell's place counted from the bottom decides its glyph in the new picture.
        const unsigned from_bottom = rows_ - 1u - r;
        std::size_t still_count = 0;
        // Writes the change of column `index` on this row and keeps the column for the next row
        // if it reaches further down. Branch-free: which way it goes is data, not pattern.
        const auto write_change = [&](std::uint16_t index) {
            const ChangedColumn& column = changed_[index];
            const char32_t glyphs[] = {full_block, column.top_glyph, U' '};
            const unsigned glyph =
                unsigned{from_bottom >= column.whole} + unsigned{from_bottom > column.whole};
            *next_change++ = {static_cast<std::uint16_t>(r), column.column, glyphs[glyph]};
            still_active[still_count] = index;
            still_count += column.bottom > r ? 1u : 0u;
        };

        // The columns reaching this row are those still active from above and those starting
        // here, taken in column order (which is index order). The active list ends in no_column,
        // which is above every index.
        std::size_t taken = 0;
        active[active_count] = no_column;
        std::uint16_t starting = std::exchange(first_on_row_[r], no_column);
        while (starting != no_column) {
            // Selected by masks: compilers turn the equivalent conditionals back into a branch.
            const unsigned above = active[taken];
            const unsigned from_above = above < starting ? 1u : 0u;
            const unsigned keep = 0u - from_above;
            const unsigned next = changed_[starting].next;
            write_change(static_cast<std::uint16_t>((above & keep) | (starting & ~keep)));
            taken += from_above;
            starting = static_cast<std::uint16_t>((starting & keep) | (next & ~keep));
        }
        for (; taken < active_count; ++taken) {
            write_change(active[taken]);
        }
        std::swap(active, still_active);
        active_count = still_count;
    }
}

void diff_bars(ShownBars& shown, std::span<const float> bars, float normaliser, float sensitivity,
               ViewDiff& diff) {
    const ShownBars::ChangedRows changed = shown.collect_changes(bars, normaliser, sensitivity);
    // Every change is written in order. Resizing from the last frame's length keeps what is
    // overwritten anyway from being zeroed first; the list grows only past its largest frame.
    diff.changes.resize(changed.cells);
    if (changed.cells != 0) {
        shown.list_changes(changed, diff.changes.data());
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

} // namespace tonalyx
