// The promises of the key decoding, checked on any bytes split into any reads: what the key
// fuzz target asserts, and what the unit tests replay the kept inputs through.
#pragma once

#include "terminal/keys.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tonalyx::fuzz {

// A character the decoder may hand out: a Unicode scalar value that is no control character.
inline bool is_printable_scalar(char32_t c) {
    return c >= 0x20 && c != 0x7f && !(c >= 0x80 && c < 0xa0) && c <= 0x10ffff &&
           !(c >= 0xd800 && c <= 0xdfff);
}

// Pushes `bytes` in reads of the sizes in `reads` (the rest in one last read), taking every
// decoded input after each read as the event source does. Then resolves what is pending and
// types `q` and Ctrl+C. Returns the first broken promise, or nothing when all held.
inline std::optional<std::string> check_key_path(std::string_view bytes,
                                                 std::span<const std::size_t> reads) {
    KeyDecoder decoder;
    std::size_t pushed = 0;
    std::size_t decoded = 0;
    const auto take_all = [&]() -> std::optional<std::string> {
        KeyEvent key;
        for (KeyDecoder::Status status; (status = decoder.next(key)) != KeyDecoder::Status::none &&
                                        status != KeyDecoder::Status::incomplete;) {
            if (++decoded > pushed) {
                return "more inputs decoded than bytes pushed";
            }
            if (status == KeyDecoder::Status::key && key.character &&
                !is_printable_scalar(*key.character)) {
                return "a key with a control character or no Unicode scalar value";
            }
        }
        if (decoder.pending_size() > KeyDecoder::max_sequence_bytes) {
            return "the pending sequence grew past its bound";
        }
        return std::nullopt;
    };
    // The reads, then the rest in one, then what resolving leaves; the empty pieces of reads past
    // the end push nothing.
    for (std::size_t read = 0; read <= reads.size(); ++read) {
        const std::string_view piece =
            bytes.substr(0, read < reads.size() ? reads[read] : bytes.size());
        bytes.remove_prefix(piece.size());
        decoder.push(piece);
        pushed += piece.size();
        if (auto broken = take_all()) {
            return broken;
        }
    }
    decoder.resolve();
    if (auto broken = take_all()) {
        return broken;
    }
    if (decoder.pending()) {
        return "a sequence still pending after resolve";
    }

    const struct {
        std::string_view bytes;
        KeyEvent key;
    } quits[] = {{"q", {U'q', {}}}, {"\x03", {U'c', {false, false, true}}}};
    for (const auto& quit : quits) {
        decoder.push(quit.bytes);
        KeyEvent key;
        if (decoder.next(key) != KeyDecoder::Status::key || !(key == quit.key) ||
            decoder.next(key) != KeyDecoder::Status::none) {
            return "a quit key typed after the input does not decode alone";
        }
    }
    return std::nullopt;
}

} // namespace tonalyx::fuzz
