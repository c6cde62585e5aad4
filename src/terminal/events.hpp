// Terminal events for the frame loop: keys decoded from the terminal device's bytes, its hang-up,
// and the signals caught on the self-pipe (resizes, ending signals, job control). A poll waits up
// to a timeout; a read takes exactly one event.
#pragma once

#include "terminal/keys.hpp"
#include "terminal/signals.hpp"
#include "terminal/terminal.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <variant>

namespace tonalyx {

// The terminal changed size; the new size is in `size`.
struct ResizeEvent {
    TerminalSize size;
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

// The frame loop's events: keys from `terminal`, the device the session lends it, and signals from
// `signals`. Ending signals come first, then job control, then resizes, then keys.
class EventSource {
public:
    EventSource(SignalPipe& signals, int terminal) : terminal_(terminal), signals_(signals) {}
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // Waits up to `timeout` and tells whether an event is ready. A terminal that cannot be read
    // any more is ready with its hang-up.
    bool poll(std::chrono::nanoseconds timeout);

    // Takes exactly one event; meant to be called after poll reported one.
    TerminalEvent read();

    // Makes a wait also end, with no event, once one of `fds` is readable (-1 for none); whoever
    // makes one readable clears it, or takes it out of the set.
    void set_wake_fds(std::array<int, 2> fds) { wake_fds_ = fds; }

private:
    void read_terminal();
    void resolve_when_due();
    void decode();

    int terminal_;
    bool terminal_gone_ = false;
    SignalPipe& signals_;
    std::array<int, 2> wake_fds_ = {-1, -1};
    PendingSignals pending_;
    // The next decoded event, and when an unfinished sequence in the decoder is given up on.
    std::optional<TerminalEvent> ready_;
    std::chrono::steady_clock::time_point sequence_deadline_;
    KeyDecoder decoder_;
};

} // namespace tonalyx
