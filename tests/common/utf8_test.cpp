#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace tonalyx {
namespace {

std::string encoded(char32_t ch) {
    char bytes[4];
    return {bytes, encode_utf8(ch, bytes)};
}

// What decoding `bytes` whole gives: the character, or U+FFFD when they are not one.
char32_t decoded(const std::string& bytes) {
    const auto* lead = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t length = utf8_length(lead[0]);
    if (length != bytes.size()) {
        return U'\uFFFD';
    }
    return decode_utf8(lead, length).value_or(U'\uFFFD');
}

TEST(Utf8, EveryLengthEncodesAndDecodesBackAtItsEdges) {
    const std::pair<char32_t, std::string> cases[] = {{U'\0', std::string(1, '\0')},
                                                      {U'\x7f', "\x7f"},
                                                      {U'\u0080', "\xc2\x80"},
                                                      {U'\u07ff', "\xdf\xbf"},
                                                      {U'\u0800', "\xe0\xa0\x80"},
                                                      {U'\ud7ff', "\xed\x9f\xbf"},
                                                      {U'\ue000', "\xee\x80\x80"},
                                                      {U'\u2588', "\xe2\x96\x88"},
                                                      {U'\uffff', "\xef\xbf\xbf"},
                                                      {U'\U00010000', "\xf0\x90\x80\x80"},
                                                      {U'\U0010ffff', "\xf4\x8f\xbf\xbf"}};
    for (const auto& [ch, bytes] : cases) {
        EXPECT_EQ(encoded(ch), bytes) << std::hex << std::uint32_t{ch};
        EXPECT_EQ(decoded(bytes), ch) << std::hex << std::uint32_t{ch};
    }
}

TEST(Utf8, WhatIsNoScalarValueEncodesAsTheReplacementAndDoesNotDecode) {
    for (const char32_t ch : {char32_t{0xd800}, char32_t{0xdfff}, char32_t{0x110000}}) {
        EXPECT_EQ(encoded(ch), "\xef\xbf\xbd") << std::hex << std::uint32_t{ch};
    }
    // Surrogates, over-long forms, beyond U+10FFFF, a missing continuation, bytes no lead.
    for (const char* bytes :
         {"\xed\xa0\x80", "\xed\xbf\xbf", "\xc0\xaf", "\xc1\xbf", "\xe0\x9f\xbf",
          "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xe2\x96q", "\x80", "\xf5\x80\x80\x80"}) {
        EXPECT_EQ(decoded(bytes), U'\uFFFD') << testing::PrintToString(std::string(bytes));
    }
}

} // namespace
} // namespace tonalyx
