// Taking over the user's terminal and giving it back: raw mode with the exact attributes saved
// beforehand, the alternate screen with a hidden cursor, the size query, and a restore hook that
// runs before any fatal report so that no way out of the program leaves the terminal broken.
#pragma once

#include "display/output.hpp"

#include <cstdint>
#include <system_error>

namespace tonalyx {

struct TerminalSize {
    std::uint16_t cols = 0;
    std::uint16_t rows = 0;

    friend bool operator==(const TerminalSize&, const TerminalSize&) = default;
};

// The terminal device for raw mode and keys: standard input when it is a terminal (it answers
// the window-size request), otherwise "/dev/tty" opened here and closed with this object.
class TerminalDevice {
public:
    // Sets `error` and leaves fd() at -1 when no terminal can be found.
    explicit TerminalDevice(std::error_code& error);
    TerminalDevice(const TerminalDevice&) = delete;
    TerminalDevice& operator=(const TerminalDevice&) = delete;
    ~TerminalDevice();

    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool owned_ = false;
};

// Saves the terminal's attributes and switches it to raw mode. Does nothing if already saved.
std::error_code enable_raw_mode();

// Puts the saved attributes back and forgets them. Does nothing if none are saved.
std::error_code disable_raw_mode();

// Reads the window size of "/dev/tty" (or of standard output when it cannot be opened), falling
// back to `tput cols` and `tput lines`.
std::error_code terminal_size(TerminalSize& size);

// The display's hold on the terminal: raw mode, alternate screen and hidden cursor while it lives.
class TerminalSession {
public:
    // Enables raw mode, enters the alternate screen, hides the cursor and flushes. Throws
    // FatalError "failed to enable raw mode" or "failed to initialize terminal".
    explicit TerminalSession(OutputBuffer& out);
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;
    ~TerminalSession() { leave(); }

    // Leaves the alternate screen, shows the cursor, flushes and leaves raw mode. Never fails;
    // calling it again, or after the fatal-error restore, does nothing.
    void leave();

private:
    OutputBuffer& out_;
};

// Installs the fatal-error restore: a terminate handler for exceptions escaping on any thread,
// and handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that restore the terminal with
// async-signal-safe calls and then let the signal take its previous (normally default) action.
void install_restore_hook();

// Restores the terminal for a fatal report if the hook is installed; otherwise does nothing.
void restore_for_fatal_report();

} // namespace tonalyx
