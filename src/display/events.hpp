// Terminal events for the frame loop: keys decoded from the terminal device's bytes, and resizes
// from the window-change signal. A poll waits up to a timeout; a read takes exactly one event.
#pragma once

#include "display/keys.hpp"
#include "display/terminal.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <variant>

namespace tonalyx {

struct ResizeEvent {
    std::uint16_t cols = 0;
    std::uint16_t rows = 0;
};

// Anything else the terminal reports (mouse, focus, unknown sequences); the loop ignores it.
struct OtherEvent {};

using TerminalEvent = std::variant<KeyEvent, ResizeEvent, OtherEvent>;

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
    void resolve_when_due();
    void decode();

    enum class State { closed, open, failed };
    State state_ = State::closed;
    std::optional<TerminalDevice> terminal_;
    bool terminal_gone_ = false;
    int signal_pipe_[2] = {-1, -1};
    bool resize_pending_ = false;
    // The next decoded event, and when an unfinished sequence in the decoder is given up on.
    std::optional<TerminalEvent> ready_;
    std::chrono::steady_clock::time_point sequence_deadline_;
    KeyDecoder decoder_;
};

} // namespace tonalyx
