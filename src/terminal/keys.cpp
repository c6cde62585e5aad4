#include "terminal/keys.hpp"

#include "common/utf8.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace tonalyx {
namespace {

constexpr std::uint8_t escape = 0x1b;

bool is_final(std::uint8_t byte) {
    return byte >= 0x40 && byte <= 0x7e;
}

// The key of a control character (below 0x20, or 0x7F), as the keyboard makes it: Tab, Enter,
// Escape and Backspace are other keys, the rest a character with Control (0x03 is Control+c,
// 0x1D Control+], 0x00 Control+space).
KeyEvent control_key(std::uint32_t code, Modifiers modifiers) {
    if (code == '\t' || code == '\r' || code == escape || code == 0x7f) {
        return {std::nullopt, modifiers};
    }
    modifiers.control = true;
    if (code == 0) {
        return {U' ', modifiers};
    }
    return {static_cast<char32_t>(code < escape ? U'a' + code - 1 : code + 0x40), modifiers};
}

// xterm's modifier parameter: one more than a bit set of Shift 1, Alt 2, Control 4.
Modifiers modifiers_from(std::optional<std::uint32_t> parameter, bool alt) {
    const std::uint32_t value = parameter.value_or(1);
    const std::uint32_t bits = value > 0 ? value - 1 : 0;
    return {(bits & 1) != 0, alt || (bits & 2) != 0, (bits & 4) != 0};
}

// The numbers before `~` that xterm, rxvt and the Linux console send for editing and function
// keys.
bool is_tilde_key(std::uint32_t number) {
    return (number >= 1 && number <= 8) || (number >= 11 && number <= 15) ||
           (number >= 17 && number <= 21) || (number >= 23 && number <= 26) || number == 28 ||
           number == 29 || (number >= 31 && number <= 34);
}

// Up to three numeric parameters of a CSI, each the first of its ':' sub-parameters, saturating
// instead of overflowing. Empty when there are more, or bytes other than digits, ';' and ':'
// (private markers such as `<` and `?` come from reports, not from keys).
struct CsiParameters {
    std::array<std::optional<std::uint32_t>, 3> values;
    std::size_t count = 1;
};

std::optional<CsiParameters> parse_parameters(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::uint64_t limit = 0xffff'ffff;
    CsiParameters parameters;
    bool sub_parameter = false;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == ';') {
            if (parameters.count == parameters.values.size()) {
                return std::nullopt;
            }
            ++parameters.count;
            sub_parameter = false;
        } else if (byte == ':') {
            sub_parameter = true;
        } else if (byte >= '0' && byte <= '9') {
            if (!sub_parameter) {
                std::optional<std::uint32_t>& value = parameters.values[parameters.count - 1];
                const std::uint64_t grown = std::uint64_t{value.value_or(0)} * 10 + (byte - '0');
                value = static_cast<std::uint32_t>(std::min(grown, limit));
            }
        } else {
            return std::nullopt;
        }
    }
    return parameters;
}

// What a complete CSI sequence decodes to: a key, or a code with modifiers (a CSI-u or
// modifyOtherKeys report of a character) for emit_code; neither for a sequence of no key.
struct CsiKey {
    std::optional<KeyEvent> key;
    std::optional<std::uint32_t> code;
    Modifiers modifiers;
};

CsiKey csi_key(std::uint8_t final_byte, const CsiParameters& parameters, bool alt) {
    const auto& values = parameters.values;
    const Modifiers modifiers = modifiers_from(values[1], alt);
    const bool at_most_two = parameters.count <= 2;
    // Arrows, keypad 5, End, Home, F1 to F4.
    if (std::string_view("ABCDEFHPQRS").find(static_cast<char>(final_byte)) !=
            std::string_view::npos &&
        at_most_two) {
        return {KeyEvent{std::nullopt, modifiers}, std::nullopt, {}};
    }
    if (final_byte == 'Z' && at_most_two) { // Shift+Tab
        return {KeyEvent{std::nullopt, {true, modifiers.alt, modifiers.control}}, std::nullopt, {}};
    }
    if (final_byte == '~' && values[0] == 27u && parameters.count == 3 && values[2]) {
        return {std::nullopt, *values[2], modifiers}; // modifyOtherKeys: 27 ; modifiers ; code
    }
    if (final_byte == '~' && values[0] && is_tilde_key(*values[0]) && at_most_two) {
        return {KeyEvent{std::nullopt, modifiers}, std::nullopt, {}};
    }
    if (final_byte == 'u' && values[0]) { // CSI-u: code ; modifiers
        return {std::nullopt, *values[0], modifiers};
    }
    return {};
}

} // namespace

void KeyDecoder::push(std::string_view bytes) {
    for (const char byte : bytes) {
        feed(static_cast<std::uint8_t>(byte));
    }
}

KeyDecoder::Status KeyDecoder::next(KeyEvent& key) {
    if (decoded_.empty()) {
        return pending() ? Status::incomplete : Status::none;
    }
    const Decoded decoded = decoded_.front();
    decoded_.pop_front();
    key = decoded.key;
    return decoded.status;
}

void KeyDecoder::resolve() {
    const Modifiers alt{false, true, false};
    if (state_ == State::escape) {
        emit_key({std::nullopt, {false, alt_, false}});
    } else if (state_ == State::csi && after_escape_ && length_ == 0 && !intermediate_ &&
               !malformed_) {
        emit_key({U'[', alt});
    } else if (state_ == State::ss3 && after_escape_) {
        emit_key({U'O', alt});
    } else if (state_ == State::string && after_escape_ && string_empty_) {
        emit_key({introducer_, alt});
    }
    to_ground();
}

void KeyDecoder::feed(std::uint8_t byte) {
    switch (state_) {
    case State::ground:
        feed_ground(byte, false);
        return;
    case State::escape:
        feed_escape(byte);
        return;
    case State::csi:
        feed_csi(byte);
        return;
    case State::linux_function:
    case State::ss3:
        if (is_final(byte)) {
            const Modifiers modifiers{false, alt_, false};
            to_ground();
            emit_key({std::nullopt, modifiers});
            return;
        }
        break;
    case State::string:
        feed_string(byte);
        return;
    case State::string_escape:
        if (byte == '\\') {
            to_ground();
            emit_other();
            return;
        }
        // The string is cut short; its Escape starts whatever comes next.
        start(State::escape, true);
        feed(byte);
        return;
    case State::utf8:
        feed_utf8(byte);
        return;
    }
    // A byte that cannot continue the sequence: end the sequence, then decode the byte afresh.
    resolve();
    feed(byte);
}

void KeyDecoder::feed_ground(std::uint8_t byte, bool alt) {
    const Modifiers plain{false, alt, false};
    if (byte == escape) {
        start(State::escape, true);
    } else if (byte < 0x20 || byte == 0x7f) {
        emit_key(control_key(byte, plain));
    } else if (byte < 0x7f) {
        emit_key({static_cast<char32_t>(byte), plain});
    } else if (byte == 0x9b) {
        start(State::csi, false);
    } else if (byte == 0x8f) {
        start(State::ss3, false);
    } else if (byte == 0x90 || byte == 0x98 || byte == 0x9d || byte == 0x9e || byte == 0x9f) {
        start(State::string, false);
    } else if (utf8_length(byte) != 0) {
        start(State::utf8, false, alt);
        bytes_[length_++] = byte;
    }
    // Anything else (a stray continuation byte, 0xC0, 0xC1, 0xF5 and above) is dropped.
}

void KeyDecoder::feed_escape(std::uint8_t byte) {
    switch (byte) {
    case '[':
        start(State::csi, true, alt_);
        return;
    case 'O':
        start(State::ss3, true, alt_);
        return;
    case 'P':
    case 'X':
    case ']':
    case '^':
    case '_':
        start(State::string, true);
        introducer_ = byte;
        return;
    case escape:
        if (!alt_) {
            alt_ = true; // ESC ESC: Alt with a key that may itself begin with Escape
            return;
        }
        emit_key({std::nullopt, {false, true, false}});
        start(State::escape, true);
        return;
    default:
        break;
    }
    if (byte >= 0x80 && utf8_length(byte) == 0) {
        resolve();
        feed(byte);
        return;
    }
    to_ground();
    feed_ground(byte, true);
}

void KeyDecoder::feed_csi(std::uint8_t byte) {
    if (byte >= 0x30 && byte <= 0x3f) {
        // Parameters come before intermediates; a sequence too long to keep is skipped whole.
        if (intermediate_ || length_ == max_sequence_bytes) {
            malformed_ = true;
        } else {
            bytes_[length_++] = byte;
        }
    } else if (byte >= 0x20 && byte <= 0x2f) {
        intermediate_ = true;
    } else if (is_final(byte)) {
        finish_csi(byte);
    } else {
        resolve();
        feed(byte);
    }
}

void KeyDecoder::feed_string(std::uint8_t byte) {
    if (byte == 0x07) {
        to_ground();
        emit_other();
    } else if (byte == escape) {
        state_ = State::string_escape;
    } else if ((byte >= 0x08 && byte <= 0x0d) || byte >= 0x20) {
        string_empty_ = false;
    } else {
        resolve();
        feed(byte);
    }
}

void KeyDecoder::feed_utf8(std::uint8_t byte) {
    if (byte < 0x80 || byte > 0xbf) {
        resolve();
        feed(byte);
        return;
    }
    bytes_[length_++] = byte;
    if (length_ < utf8_length(bytes_[0])) {
        return;
    }
    const std::optional<char32_t> character = decode_utf8(bytes_, length_);
    const Modifiers modifiers{false, alt_, false};
    to_ground();
    if (character) {
        emit_code(*character, modifiers);
    }
}

void KeyDecoder::finish_csi(std::uint8_t final_byte) {
    if (final_byte == '[' && length_ == 0 && !intermediate_ && !malformed_) {
        // The Linux console's F1 to F5: CSI [ A to CSI [ E.
        state_ = State::linux_function;
        return;
    }
    const bool discard = malformed_;
    const std::optional<CsiParameters> parameters = parse_parameters(bytes_, length_);
    const CsiKey key =
        parameters && !intermediate_ ? csi_key(final_byte, *parameters, alt_) : CsiKey{};
    to_ground();
    if (discard) {
        return;
    }
    if (key.code) {
        emit_code(*key.code, key.modifiers);
    } else if (key.key) {
        emit_key(*key.key);
    } else {
        emit_other();
    }
}

void KeyDecoder::emit_code(std::uint32_t code, Modifiers modifiers) {
    if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        emit_other();
    } else if (code < 0x20 || code == 0x7f) {
        emit_key(control_key(code, modifiers));
    } else if (code >= 0x80 && code < 0xa0) {
        emit_key({std::nullopt, modifiers});
    } else {
        emit_key({static_cast<char32_t>(code), modifiers});
    }
}

void KeyDecoder::start(State state, bool after_escape, bool alt) {
    state_ = state;
    after_escape_ = after_escape;
    alt_ = alt;
    length_ = 0;
    intermediate_ = false;
    malformed_ = false;
    string_empty_ = true;
}

void KeyDecoder::to_ground() {
    start(State::ground, false);
}

void KeyDecoder::emit_key(const KeyEvent& key) {
    decoded_.push_back({Status::key, key});
}

void KeyDecoder::emit_other() {
    decoded_.push_back({Status::other, {}});
}

} // namespace tonalyx
