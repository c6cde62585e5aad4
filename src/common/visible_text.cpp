#include "common/visible_text.hpp"

#include "common/utf8.hpp"

#include <cstdint>

namespace tonalyx {
namespace {

void append_visible_byte(std::string& shown, std::uint8_t byte) {
    if (byte >= 0x80) {
        shown += "M-";
        byte &= 0x7f;
    }
    if (byte < 0x20) {
        shown += '^';
        shown += static_cast<char>(byte + 0x40);
    } else if (byte == 0x7f) {
        shown += "^?";
    } else {
        shown += static_cast<char>(byte);
    }
}

// The length of the well-formed character at the start of `bytes` that a terminal shows rather
// than obeys, or 0.
std::size_t printable_length(std::string_view bytes) {
    const auto* start = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (start[0] == '\t' || start[0] == '\n' || (start[0] >= 0x20 && start[0] < 0x7f)) {
        return 1;
    }
    const std::size_t length = utf8_length(start[0]);
    if (length < 2 || length > bytes.size()) {
        return 0;
    }
    const std::optional<char32_t> character = decode_utf8(start, length);
    return character && *character >= 0xa0 ? length : 0;
}

} // namespace

std::string visible_text(std::string_view bytes) {
    std::string shown;
    shown.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = printable_length(bytes);
        if (length == 0) {
            append_visible_byte(shown, static_cast<std::uint8_t>(bytes.front()));
            bytes.remove_prefix(1);
        } else {
            shown += bytes.substr(0, length);
            bytes.remove_prefix(length);
        }
    }
    return shown;
}

} // namespace tonalyx
