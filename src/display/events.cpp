#include "display/events.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace tonalyx {
namespace {

// The write end of the self-pipe, for the window-change handler.
std::atomic<int> window_change_fd{-1};
struct sigaction previous_window_change_action;

void on_window_change(int, siginfo_t*, void*) {
    const int saved_errno = errno;
    const int fd = window_change_fd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved_errno;
}

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

} // namespace

EventSource::~EventSource() {
    if (state_ == State::open) {
        window_change_fd = -1;
        ::sigaction(SIGWINCH, &previous_window_change_action, nullptr);
        ::close(signal_pipe_[0]);
        ::close(signal_pipe_[1]);
    }
}

bool EventSource::open() {
    std::error_code error;
    terminal_.emplace(error);
    if (error) {
        terminal_.reset();
        return false;
    }
    if (::pipe2(signal_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        terminal_.reset();
        return false;
    }
    window_change_fd = signal_pipe_[1];
    struct sigaction action {};
    action.sa_sigaction = on_window_change;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, &previous_window_change_action);
    return true;
}

void EventSource::decode() {
    if (ready_) {
        return;
    }
    KeyEvent key;
    switch (decoder_.next(key)) {
    case KeyDecoder::Status::key:
        ready_ = key;
        break;
    case KeyDecoder::Status::other:
        ready_ = OtherEvent{};
        break;
    case KeyDecoder::Status::incomplete:
    case KeyDecoder::Status::none:
        break;
    }
}

void EventSource::resolve_when_due() {
    if (decoder_.pending() && std::chrono::steady_clock::now() >= sequence_deadline_) {
        decoder_.resolve();
    }
}

void EventSource::read_terminal() {
    char bytes[256];
    const ssize_t n = ::read(terminal_->fd(), bytes, sizeof bytes);
    if (n > 0) {
        // Bytes that arrive after the wait belong to no earlier sequence.
        resolve_when_due();
        decoder_.push({bytes, static_cast<std::size_t>(n)});
        sequence_deadline_ = std::chrono::steady_clock::now() + KeyDecoder::wait_time;
        decode();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // The terminal hung up: stop watching it rather than wake up for it forever.
        terminal_gone_ = true;
    }
}

bool EventSource::poll(std::chrono::nanoseconds timeout) {
    if (state_ == State::closed) {
        state_ = open() ? State::open : State::failed;
    }
    if (state_ == State::failed) {
        std::this_thread::sleep_for(timeout);
        return false;
    }
    if (ready_ || resize_pending_) {
        return true;
    }
    // A lone Escape may be the start of a longer sequence: wait for the rest until the deadline,
    // then take the sequence as it stands.
    auto wait = timeout;
    if (decoder_.pending()) {
        const auto left = sequence_deadline_ - std::chrono::steady_clock::now();
        wait = std::clamp<std::chrono::nanoseconds>(left, std::chrono::nanoseconds::zero(), wait);
    }
    pollfd fds[2] = {{terminal_gone_ ? -1 : terminal_->fd(), POLLIN, 0},
                     {signal_pipe_[0], POLLIN, 0}};
    const timespec limit = to_timespec(wait);
    const int result = ::ppoll(fds, 2, &limit, nullptr);
    if (result < 0) {
        if (errno != EINTR) {
            std::this_thread::sleep_for(wait);
        }
        return false;
    }
    if (fds[1].revents & POLLIN) {
        char drain[64];
        while (::read(signal_pipe_[0], drain, sizeof drain) > 0) {
        }
        resize_pending_ = true;
    }
    if (fds[0].revents & POLLIN) {
        read_terminal();
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        terminal_gone_ = true;
    }
    if (!ready_) {
        resolve_when_due();
        decode();
    }
    return ready_.has_value() || resize_pending_;
}

TerminalEvent EventSource::read() {
    if (resize_pending_) {
        resize_pending_ = false;
        winsize size{};
        if (::ioctl(terminal_->fd(), TIOCGWINSZ, &size) == 0) {
            return ResizeEvent{size.ws_col, size.ws_row};
        }
        return OtherEvent{};
    }
    if (!ready_) {
        return OtherEvent{};
    }
    const TerminalEvent event = *ready_;
    ready_.reset();
    decode();
    return event;
}

} // namespace tonalyx
