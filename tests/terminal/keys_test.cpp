#include "fuzz/kept_inputs.hpp"
#include "fuzz/key_path.hpp"
#include "terminal/keys.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tonalyx {
namespace {

// Takes every decoded input as text: "C-", "A-" and "S-" for the modifiers, then the character
// (ASCII as itself, else U+ and its hexadecimal code) or "<key>" for another key; "other" for an
// input that is no key. Each is preceded by a space.
void take_all(KeyDecoder& decoder, std::string& text) {
    KeyEvent key;
    for (KeyDecoder::Status status; (status = decoder.next(key)) == KeyDecoder::Status::key ||
                                    status == KeyDecoder::Status::other;) {
        char shown[16] = "<key>";
        if (key.character) {
            const auto code = static_cast<unsigned>(*key.character);
            std::snprintf(shown, sizeof shown, code < 0x80 ? "%c" : "U+%X", code);
        }
        const Modifiers& held = key.modifiers;
        text += status == KeyDecoder::Status::other
                    ? std::string(" other")
                    : std::string(" ") + (held.control ? "C-" : "") + (held.alt ? "A-" : "") +
                          (held.shift ? "S-" : "") + shown;
    }
}

// Decodes `bytes` pushed `step` bytes at a time; " |" marks where the sequence still pending
// at the end was resolved, as after the wait for more bytes.
std::string decode(std::string_view bytes, std::size_t step) {
    KeyDecoder decoder;
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        decoder.push(bytes.substr(i, step));
        take_all(decoder, text);
    }
    if (decoder.pending()) {
        text += " |";
        decoder.resolve();
        take_all(decoder, text);
    }
    return text.empty() ? text : text.substr(1);
}

TEST(KeyDecoding, BytesDecodeToTheSameKeysWholeOrByteByByte) {
    using namespace std::string_literals;
    const std::string digits_300(300, '7');
    // Control+arrow with exactly as many parameter bytes as are kept, and with one more.
    const std::string longest_kept = std::string(29, '0') + "1;5A";
    const std::string one_too_many = std::string(30, '0') + "1;5A";
    struct Case {
        std::string bytes;
        std::string keys;
    };
    const Case cases[] = {
        // Characters, control keys, and Escape as an Alt prefix.
        {"q Q=", "q   Q ="},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5\xc2\x88", "U+E9 U+20AC U+1F3B5 <key>"},
        {"\xc2\xbf\xc3\xbf\xef\xbf\xbd", "U+BF U+FF U+FFFD"},
        {"\x03\x11\x08\x0a\x1d\0"s, "C-c C-q C-h C-j C-] C- "},
        {"\r\t\x7f", "<key> <key> <key>"},
        {"\x1bq\x1b\x03\x1b\xc3\xa9\x1b\x7f", "A-q C-A-c A-U+E9 A-<key>"},
        {"\x1b\x1bq\x1b\x1b\x03", "A-q C-A-c"},
        // Special keys: CSI, SS3, 8-bit forms, the Linux console's function keys.
        {"\x1b[A\x1b[1;5A\x1b[15~\x1b[3;5~\x1b[Z", "<key> C-<key> <key> C-<key> S-<key>"},
        {"\x1bOP\x1bOa\233A\x8fP\x1b[[A", "<key> <key> <key> <key> <key>"}, // \233 is 0x9b
        {"\x1b\x1b[A\x1b\x1bOP", "A-<key> A-<key>"},
        // Characters with modifiers reported by CSI-u and modifyOtherKeys.
        {"\x1b[113;5u\x1b[27;5;113~\x1b[99;7u\x1b[32;2u\x1b[113;0u", "C-q C-q C-A-c S-  q"},
        {"\x1b[13;5u\x1b[9u\x1b[127u\x1b[8u\x1b[233u", "C-<key> <key> <key> C-h U+E9"},
        // Reports that are no keys: focus, mouse, paste markers, strings.
        {"\x1b[I\x1b[<0;1;1M\x1b[200~\x1b[?1;2c", "other other other other"},
        {"\x1b]0;title\x07q\x1bP1$r0m\x1b\\q\x1b_x\x1b\\", "other q other q other"},
        // Sequences that are no key or cannot be decoded.
        {"\x1b[ A\x9b A\x1b[;u", "other other other"},
        {"\x1b[9999999999999999999u\x1b[27;5;9999999999999999999~\x1b[55296u", "other other other"},
        {"\x1b[" + digits_300 + "A\x1b[" + digits_300 + "u", ""},
        {"\x1b[" + longest_kept + "\x1b[" + one_too_many, "C-<key>"},
        {"\x1b[1 1Aq", "q"},
        // A byte that cannot continue a sequence ends it and is decoded afresh.
        {"\x1b[1\x03\x1b[12\x1b[A\x1b]x\x1bq\x1bO\x03", "C-c <key> A-q A-O C-c"},
        {"\xc3q\xe2\x82q\xc3\x1b[A", "q q <key>"},
        {"\x1b\233A\x1b\x80q", "<key> <key> <key> q"},
        // Bytes that are no UTF-8: stray continuations, over-long forms, surrogates, too large.
        {"\x80\xbf\xc0\xaf\xe0\x80\xaf\xf0\x81\x80\x80\xed\xa0\x80\xf4\x90\x80\x80\xffq", "q"},
        // What is pending at the end: lone Escapes, introducers alone, unfinished sequences.
        {"\x1b", "| <key>"},
        {"\x1b\x1b", "| A-<key>"},
        {"\x1b\x1b\x1b", "A-<key> | <key>"},
        {"\x1b[", "| A-["},
        {"\x1b\x1b[", "| A-["},
        {"\x1bO", "| A-O"},
        {"\x1b]", "| A-]"},
        {"\x1b_", "| A-_"},
        {"\x9b", "|"},
        {"\x1b[1;5", "|"},
        {"\x1b]0;title", "|"},
        {"\x1b]0;title\x1b", "|"},
        {"\xf0\x9f\x8e", "|"},
        {"\x1b[" + digits_300, "|"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.bytes));
        EXPECT_EQ(decode(test.bytes, test.bytes.size()), test.keys);
        EXPECT_EQ(decode(test.bytes, 1), test.keys);
    }
}

// Every input that once crashed the decoding or kept `q` from quitting, in several splits.
TEST(KeyDecoding, KeptInputsKeepEveryPromise) {
    const auto inputs = fuzz::kept_inputs(KEY_REGRESSIONS);
    ASSERT_FALSE(inputs.empty());
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        const std::vector<std::size_t> byte_by_byte(bytes.size(), 1);
        const std::vector<std::size_t> uneven = {1, 2, 3, 255};
        for (const std::vector<std::size_t>& reads :
             {std::vector<std::size_t>{}, byte_by_byte, uneven}) {
            EXPECT_EQ(fuzz::check_key_path(bytes, reads), std::nullopt);
        }
    }
}

} // namespace
} // namespace tonalyx
