// Key decoding: turns the bytes a terminal sends into keys with modifiers. It survives any byte
// sequence: ill-formed or over-long sequences are discarded, an unfinished one keeps at most
// `max_sequence_bytes` bytes until `resolve` gives it up, a byte that cannot continue a sequence
// ends it and is decoded afresh, and nothing pending outlives `resolve`.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

namespace tonalyx {

struct Modifiers {
    bool shift = false;
    bool alt = false;
    bool control = false;

    friend bool operator==(const Modifiers&, const Modifiers&) = default;
};

// A key press: a character, or another key (Escape, Enter, arrows, ...) when `character` is empty.
struct KeyEvent {
    std::optional<char32_t> character;
    Modifiers modifiers;

    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// Decodes UTF-8 characters, control keys (0x03 is `c` with Control), Escape as an Alt prefix, and
// xterm-style CSI and SS3 keys (8-bit forms too), CSI-u and modifyOtherKeys reports included.
// Characters are never control characters; other complete sequences (mouse, focus, OSC and
// other strings) decode as `other`.
class KeyDecoder {
public:
    // The most bytes of one unfinished sequence kept for decoding; a longer one is skipped to
    // its end and discarded.
    static constexpr std::size_t max_sequence_bytes = 32;

    // How long to wait for the rest of an unfinished sequence before calling `resolve`.
    static constexpr std::chrono::milliseconds wait_time{50};

    enum class Status {
        key,        // `next` filled in a key
        other,      // a complete input that is no key
        incomplete, // nothing decoded; an unfinished sequence waits for more bytes or `resolve`
        none,       // nothing decoded and nothing pending
    };

    // Decodes `bytes` after everything pushed before; the results wait for `next`.
    void push(std::string_view bytes);

    // Takes the next decoded input, oldest first.
    Status next(KeyEvent& key);

    // Ends an unfinished sequence as it stands: a lone Escape becomes the Escape key, an
    // introducer alone (`ESC [`, `ESC O`, `ESC ]`, ...) the Alt key of its character, and
    // anything longer is discarded. What it yields waits for `next`.
    void resolve();

    // True while an unfinished sequence waits for more bytes.
    bool pending() const { return state_ != State::ground; }

    // The bytes of the unfinished sequence kept, at most `max_sequence_bytes`.
    std::size_t pending_size() const { return length_; }

private:
    enum class State { ground, escape, csi, linux_function, ss3, string, string_escape, utf8 };

    struct Decoded {
        Status status;
        KeyEvent key;
    };

    void feed(std::uint8_t byte);
    void feed_ground(std::uint8_t byte, bool alt);
    void feed_escape(std::uint8_t byte);
    void feed_csi(std::uint8_t byte);
    void feed_string(std::uint8_t byte);
    void feed_utf8(std::uint8_t byte);
    void finish_csi(std::uint8_t final_byte);
    void emit_code(std::uint32_t code, Modifiers modifiers);
    void start(State state, bool after_escape, bool alt = false);
    void to_ground();
    void emit_key(const KeyEvent& key);
    void emit_other();

    State state_ = State::ground;
    // The sequence began with ESC rather than an 8-bit C1 byte, so alone it is an Alt key.
    bool after_escape_ = false;
    // An Escape before the sequence makes it an Alt key (ESC ESC [ A, ESC é).
    bool alt_ = false;
    // The kept bytes of a CSI's parameters, or of a UTF-8 character; `length_` counts them.
    std::uint8_t bytes_[max_sequence_bytes] = {};
    std::size_t length_ = 0;
    bool intermediate_ = false;   // a CSI intermediate byte (0x20-0x2F) was seen
    bool malformed_ = false;      // the CSI is too long or out of order: it ends up discarded
    std::uint8_t introducer_ = 0; // the character after ESC that began a string
    bool string_empty_ = true;    // no byte after the string introducer yet
    std::deque<Decoded> decoded_;
};

} // namespace tonalyx
