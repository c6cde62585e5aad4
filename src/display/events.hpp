// Terminal events for the frame loop: keys decoded from the terminal device's bytes, and resizes
// from the window-change signal. A poll waits up to a timeout; a read takes exactly one event.
#pragma once

#include "display/terminal.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

typedef struct TermKey TermKey;

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

struct ResizeEvent {
    std::uint16_t cols = 0;
    std::uint16_t rows = 0;
};

// Anything else the terminal reports (mouse, focus, unknown sequences); the loop ignores it.
struct OtherEvent {};

using TerminalEvent = std::variant<KeyEvent, ResizeEvent, OtherEvent>;

// Turns terminal input bytes into keys with modifiers, through an abstract libtermkey instance.
class KeyDecoder {
public:
    KeyDecoder();
    KeyDecoder(const KeyDecoder&) = delete;
    KeyDecoder& operator=(const KeyDecoder&) = delete;
    ~KeyDecoder();

    void push(std::string_view bytes);

    enum class Status { key, other, incomplete, none };

    // Decodes the next complete event from the pushed bytes. `incomplete` means the bytes so far
    // may be the start of a longer sequence (a lone Escape, say): wait `wait_time()` for more,
    // then call `force`.
    Status next(TerminalEvent& event);

    // Decodes what is pending as it stands, ending a lone Escape as the Escape key.
    Status force(TerminalEvent& event);

    std::chrono::milliseconds wait_time() const;

    // How many more bytes the decoder can take.
    std::size_t room() const;

private:
    TermKey* termkey_ = nullptr;
};

// The event source of the frame loop. It opens lazily, at the first poll: the terminal device
// (standard input when it is a terminal, otherwise "/dev/tty") and a self-pipe fed by a
// window-change signal handler.
class EventSource {
public:
    EventSource() = default;
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource();

    // Waits up to `timeout` and tells whether an event is ready. When the terminal cannot be
    // watched it sleeps out the timeout and reports nothing, so the loop never spins.
    bool poll(std::chrono::nanoseconds timeout);

    // Takes exactly one event; meant to be called after poll reported one.
    TerminalEvent read();

private:
    bool open();
    void read_terminal();
    void decode();

    enum class State { closed, open, failed };
    State state_ = State::closed;
    std::optional<TerminalDevice> terminal_;
    bool terminal_gone_ = false;
    int signal_pipe_[2] = {-1, -1};
    bool resize_pending_ = false;
    // The next decoded event, and whether the decoder holds the start of an unfinished sequence.
    std::optional<TerminalEvent> ready_;
    bool undecided_ = false;
    KeyDecoder decoder_;
};

} // namespace tonalyx
