// UTF-8 in one place: encoding for the picture's output, and decoding for the command line and
// the key decoder (the length a lead byte announces, and whether a whole character is well
// formed: no over-long form, no surrogate, nothing above U+10FFFF).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tonalyx {

// The length of a UTF-8 character from its lead byte: 1 for ASCII, 2 to 4 for a lead byte, 0
// for a byte that cannot begin a well-formed character (a continuation byte, 0xC0, 0xC1, 0xF5
// and above).
constexpr std::size_t utf8_length(std::uint8_t lead) {
    const bool lead_byte = lead >= 0xc2 && lead <= 0xf4;
    return lead < 0x80 ? 1
           : lead_byte ? 2 + std::size_t{lead >= 0xe0} + std::size_t{lead >= 0xf0}
                       : 0;
}

// The character of the `length` bytes at `bytes` (`length` as utf8_length gave for the first);
// empty when a continuation byte is missing, or for an over-long form, a surrogate or a value
// above U+10FFFF.
constexpr std::optional<char32_t> decode_utf8(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::array<std::uint8_t, 5> lead_mask = {0, 0x7f, 0x1f, 0x0f, 0x07};
    constexpr std::array<char32_t, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    char32_t code = bytes[0] & lead_mask[length];
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0u) != 0x80u) {
            return std::nullopt;
        }
        code = (code << 6) | (bytes[i] & 0x3fu);
    }
    if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return std::nullopt;
    }
    return code;
}

// Writes the UTF-8 of `ch` at `out`, which has room for 4 bytes, and returns its length; a value
// that is not a Unicode scalar value (a surrogate or beyond U+10FFFF) becomes U+FFFD, so that
// the terminal never receives malformed text.
constexpr std::size_t encode_utf8(char32_t ch, char* out) {
    if ((ch >= 0xd800 && ch <= 0xdfff) || ch > 0x10ffff) {
        ch = U'\uFFFD';
    }
    if (ch < 0x80) {
        out[0] = static_cast<char>(ch);
        return 1;
    }
    constexpr std::array<std::uint8_t, 5> lead = {0, 0, 0xc0, 0xe0, 0xf0};
    const std::size_t length = ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
    for (std::size_t i = length - 1; i > 0; --i, ch >>= 6) {
        out[i] = static_cast<char>(0x80 | (ch & 0x3f));
    }
    out[0] = static_cast<char>(lead[length] | ch);
    return length;
}

} // namespace tonalyx
