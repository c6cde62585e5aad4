#include "terminal/signals.hpp"

#include "common/spawn.hpp"
#include "terminal/terminal.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// The state the handlers reach: the write end of the self-pipe, whether an ending signal was
// caught already, and what the caught signals ask until drain takes it.
std::atomic<int> signal_write_end{-1};
std::atomic<bool> termination_caught{false};
std::atomic<int> pending_termination{0};
std::atomic<int> pending_job_control{0};
std::atomic<bool> pending_resize{false};

bool ends_program(int signal_number) {
    return signal_number == SIGTERM || signal_number == SIGHUP || signal_number == SIGINT ||
           signal_number == SIGQUIT;
}

struct sigaction default_action() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    return action;
}

// Keeps what `signal_number` asks of the loop for drain, then wakes the loop. The flag comes
// first: a full pipe drops the byte, but a full pipe wakes the loop already.
void keep_for_loop(int signal_number) {
    if (ends_program(signal_number)) {
        int none = 0;
        pending_termination.compare_exchange_strong(none, signal_number);
    } else if (signal_number == SIGWINCH) {
        pending_resize = true;
    } else {
        pending_job_control = signal_number;
    }
    if (const int fd = signal_write_end.load(); fd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
}

void on_signal(int signal_number, siginfo_t*, void*) {
    const int saved_errno = errno;
    if (ends_program(signal_number) && termination_caught.exchange(true)) {
        // The loop, perhaps stuck on a stalled terminal, has not ended on the first one: give back
        // what needs no waiting and end by this one, blocked until the handler returns.
        end_child_group();
        restore_terminal_without_waiting();
        const struct sigaction action = default_action();
        ::sigaction(signal_number, &action, nullptr);
        ::raise(signal_number);
    } else {
        keep_for_loop(signal_number);
    }
    errno = saved_errno;
}

} // namespace

SignalPipe::SignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    read_end_.reset(fds[0]);
    write_end_.reset(fds[1]);
    termination_caught = false;
    pending_termination = 0;
    pending_job_control = 0;
    pending_resize = false;
    signal_write_end = write_end_.get();
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : handled) {
        sigaddset(&blocked, signal_number);
    }
    // A parent may have blocked them (the mask survives exec): they would never arrive.
    ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    for (std::size_t i = 0; i < std::size(handled); ++i) {
        struct sigaction current {};
        ::sigaction(handled[i], nullptr, &current);
        // Resizes and continuing matter whatever the parent chose; the others stay ignored
        // when the process was started with them ignored.
        const bool ignored = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
        if (ignored && handled[i] != SIGWINCH && handled[i] != SIGCONT) {
            continue;
        }
        struct sigaction action {};
        action.sa_sigaction = on_signal;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        installed_[i] = ::sigaction(handled[i], &action, &previous_[i]) == 0;
    }
}

SignalPipe::~SignalPipe() {
    for (std::size_t i = 0; i < std::size(handled); ++i) {
        if (installed_[i]) {
            ::sigaction(handled[i], &previous_[i], nullptr);
        }
    }
    signal_write_end = -1;
}

void SignalPipe::drain(PendingSignals& pending) {
    // The pipe first, then the flags: a signal caught in between has its flag taken now and
    // leaves a byte that wakes the loop once for nothing, never the other way round.
    char bytes[64];
    for (;;) {
        const ssize_t n = ::read(read_end_.get(), bytes, sizeof bytes);
        if (n <= 0 && (n == 0 || errno != EINTR)) {
            break;
        }
    }
    if (const int termination = pending_termination.exchange(0); pending.termination == 0) {
        pending.termination = termination;
    }
    if (const int job_control = pending_job_control.exchange(0); job_control != 0) {
        pending.job_control = job_control;
    }
    pending.resize = pending_resize.exchange(false) || pending.resize;
}

bool SignalPipe::catches(int signal_number) const {
    for (std::size_t i = 0; i < std::size(handled); ++i) {
        if (handled[i] == signal_number) {
            return installed_[i];
        }
    }
    return false;
}

void stop_self_until_continued() {
    const struct sigaction stop = default_action();
    struct sigaction caught {};
    ::sigaction(SIGTSTP, &stop, &caught);
    ::raise(SIGTSTP);
    ::sigaction(SIGTSTP, &caught, nullptr);
}

void send_stop_to_job() {
    ::kill(0, SIGTSTP);
}

void end_by_signal(int signal_number) {
    const struct sigaction action = default_action();
    ::sigaction(signal_number, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal_number);
    // Only a signal whose default action leaves the process running comes back here.
    std::_Exit(128 + signal_number);
}

} // namespace tonalyx
