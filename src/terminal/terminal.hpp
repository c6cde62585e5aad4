// Taking over the user's terminal and giving it back: raw mode with the exact attributes saved
// beforehand, the alternate screen with a hidden cursor, the size query, and a restore hook that
// runs before any fatal report so that no way out of the program leaves the terminal broken.
#pragma once

#include "common/unique_fd.hpp"
#include "terminal/output.hpp"

#include <cstdint>
#include <string>
#include <system_error>

namespace tonalyx {

// A terminal's size in character cells, rows first as everywhere in this program.
struct TerminalSize {
    std::uint16_t rows = 0;
    std::uint16_t cols = 0;

    friend bool operator==(const TerminalSize&, const TerminalSize&) = default;
};

// Puts "/dev/null" on whichever of descriptors 0, 1 and 2 is closed, so that nothing opened later
// (the terminal device above all) passes for a standard stream. Call it before opening anything.
void open_standard_descriptors();

// Whether the size query may start `tput cols` and `tput lines` (which also read LINES and
// COLUMNS) when the terminal does not tell its size: at start-up only, never while running.
enum class TputFallback { forbidden, allowed };

// Reads the window size of the terminal device `device`. When that fails or the terminal answers
// 0 × 0 (it does not know its size: serial lines, some consoles), tput answers instead if
// `tput` allows it, else that is an error and the caller keeps the size it has. A size with only
// one of the two at 0 is a real one.
std::error_code terminal_size(int device, TerminalSize& size, TputFallback tput);

// True when the terminal has hung up: a standard descriptor on it fails every request with EIO.
bool terminal_hung_up();

// Why a terminal of type `term` (the value of TERM, null when unset) cannot show the picture, as
// one line for standard error; empty when it can. An unset, empty or "dumb" TERM promises none
// of the control sequences the picture is drawn with.
std::string unsupported_terminal_type(const char* term);

// The display's hold on the terminal: raw mode, alternate screen and hidden cursor while it lives.
class TerminalSession {
public:
    // Finds the terminal device, saves its attributes and enables raw mode, makes standard output
    // blocking, enters the alternate screen with the cursor hidden and flushes. Throws FatalError
    // "failed to enable raw mode" (the device included) or "failed to initialize terminal".
    explicit TerminalSession(OutputBuffer& out);
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;
    // Gives the terminal back if leave() has not, then puts standard output's flags back (last, so
    // that messages printed after leave() still wait for the terminal), then closes the device.
    ~TerminalSession();

    // The terminal device, lent to the key reader and the size query while this session lives:
    // standard input when it is a terminal (it answers the window-size request), otherwise
    // "/dev/tty", opened once here.
    int device() const { return device_; }

    // Gives the terminal back, as every way out of the program does: writes out what `out`
    // holds, puts the saved attributes back, then leaves the alternate screen and shows the
    // cursor. Never fails; calling it again, or after the fatal-error restore, does nothing more
    // than the flush.
    void leave();

    // Gives the terminal back as leave() does, for a stop, standard output's flags included,
    // but keeps the saved attributes.
    void suspend();

    // Takes the terminal again after a stop: raw mode made from the saved attributes (whatever
    // the shell set meanwhile), blocking output, the alternate screen and the hidden cursor.
    // Errors are ignored; after leave() it does nothing.
    void resume();

private:
    OutputBuffer& out_;
    UniqueFd opened_; // "/dev/tty" when it is the device, else empty
    int device_;
};

// Installs the fatal-error restore: a terminate handler for exceptions escaping on any thread,
// and handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that restore the terminal as
// restore_terminal_without_waiting() does and then let the signal take its previous (normally
// default) action.
void install_restore_hook();

// Gives the terminal back from a signal handler, with async-signal-safe calls only: the saved
// attributes, the leave sequence if the terminal takes it within a fifth of a second (a stalled
// terminal cannot hold the handler up longer), then standard output's flags.
void restore_terminal_without_waiting();

} // namespace tonalyx
