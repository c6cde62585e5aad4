// The signals that concern the terminal, caught from start-up on and kept for the frame loop to
// take in its own time: window changes, the four signals that end a program from outside (TERM,
// HUP, INT, QUIT) and job control (TSTP, CONT). The handlers only set flags and wake the loop
// through a self-pipe, so every way out runs through the loop's one exit and its one restore.
#pragma once

#include "common/unique_fd.hpp"

#include <csignal>
#include <iterator>

namespace tonalyx {

// What the signals caught so far ask of the frame loop.
struct PendingSignals {
    int termination = 0; // the first of SIGTERM, SIGHUP, SIGINT, SIGQUIT caught, or 0
    int job_control = 0; // the later of SIGTSTP and SIGCONT caught, or 0
    bool resize = false; // a SIGWINCH was caught

    bool any() const { return termination != 0 || job_control != 0 || resize; }
};

// The self-pipe and its handlers, installed while this object lives, the handled signals
// unblocked. A signal ignored at start (nohup, a background job without job control) stays
// ignored. What a signal asks is kept in a flag; the pipe's bytes only wake the loop, so a pipe
// full of resizes loses no ending signal. A second ending signal, while the first still waits for
// the loop (perhaps stuck on a stalled terminal), ends the process at once after giving back what
// can be given without waiting.
class SignalPipe {
public:
    // Creates the pipe and installs the handlers; without a pipe, nothing: fd() is then -1.
    SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;
    // Puts the previous actions back and closes the pipe.
    ~SignalPipe();

    // The read end, non-blocking; it is readable while caught signals wait. -1 without a pipe.
    int fd() const { return read_end_.get(); }

    // Takes every signal caught since the last call and merges it into `pending`.
    void drain(PendingSignals& pending);

    // True when `signal_number` has its handler here: false for one the process ignores.
    bool catches(int signal_number) const;

private:
    static constexpr int handled[] = {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGCONT};

    UniqueFd read_end_;
    UniqueFd write_end_;
    struct sigaction previous_[std::size(handled)]{};
    bool installed_[std::size(handled)]{};
};

// Stops the process as the default action of SIGTSTP does, and returns once it is continued.
// Returns at once in an orphaned process group, which job control never stops.
void stop_self_until_continued();

// Sends SIGTSTP to the process group, as the terminal does for Ctrl+Z outside raw mode. It then
// arrives as any other SIGTSTP: caught and handled by the frame loop, or ignored.
void send_stop_to_job();

// Ends the process by `signal_number` under its default action, as though it had never been
// caught, so that a parent sees the death by that signal.
[[noreturn]] void end_by_signal(int signal_number);

} // namespace tonalyx
