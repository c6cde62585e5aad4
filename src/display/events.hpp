// Terminal events for the frame loop: keys decoded from the terminal device's bytes, its hang-up,
// and the signals caught on the self-pipe (resizes, ending signals, job control). A poll waits up
// to a timeout; a read takes exactly one event.
#pragma once

#include "display/signals.hpp"
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

// The key terminal hung up while SIGHUP is ignored: nothing more can be read from it or shown
// on it. (When SIGHUP is caught, a hang-up reads as that signal.)
struct HangUpEvent {};

// A caught signal that asks the program to end (SIGTERM, SIGHUP, SIGINT, SIGQUIT), to stop as a
// job (SIGTSTP) or to take the terminal again after a stop (SIGCONT).
struct SignalEvent {
    int signal_number = 0;
};

using TerminalEvent = std::variant<KeyEvent, ResizeEvent, OtherEvent, HangUpEvent, SignalEvent>;

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

// The event source of the frame loop. The terminal device (standard input when it is a
// terminal, otherwise "/dev/tty") opens lazily, at the first poll; the signals come from
// `signals`, which is in place from start-up on. Ending signals come first, then job control,
// then resizes, then keys.
class EventSource {
public:
    explicit EventSource(SignalPipe& signals) : signals_(signals) {}
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // Waits up to `timeout` and tells whether an event is ready. A terminal that cannot be
    // opened or read any more is ready with its hang-up.
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
    SignalPipe& signals_;
    PendingSignals pending_;
    // The next decoded event, and whether the decoder holds the start of an unfinished sequence.
    std::optional<TerminalEvent> ready_;
    bool undecided_ = false;
    KeyDecoder decoder_;
};

} // namespace tonalyx
