#include "terminal/events.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tonalyx {
void EventSource::decode() {
    if (ready_) {
        return;
    }
    KeyEvent key;
    if (const KeyDecoder::Status status = decoder_.next(key); status == KeyDecoder::Status::key) {
        ready_ = key;
    } else if (status == KeyDecoder::Status::other) {
        ready_ = OtherEvent{};
    }
}

void EventSource::resolve_when_due() {
    if (decoder_.pending() && std::chrono::steady_clock::now() >= sequence_deadline_) {
        decoder_.resolve();
    }
}

void EventSource::read_terminal() {
    char bytes[256];
    const ssize_t n = ::read(terminal_, bytes, sizeof bytes);
    if (n > 0) {
        // Bytes that arrive after the wait belong to no earlier sequence.
        resolve_when_due();
        decoder_.push({bytes, static_cast<std::size_t>(n)});
        sequence_deadline_ = std::chrono::steady_clock::now() + KeyDecoder::wait_time;
        decode();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // The terminal hung up: report it once the keys read before it are taken.
        terminal_gone_ = true;
    }
}

bool EventSource::poll(std::chrono::nanoseconds timeout) {
    if (ready_ || pending_.any() || terminal_gone_) {
        return true;
    }
    // A lone Escape may be the start of a longer sequence: wait for the rest until the deadline,
    // then take the sequence as it stands.
    auto wait = timeout;
    if (decoder_.pending()) {
        const auto left = sequence_deadline_ - std::chrono::steady_clock::now();
        wait = std::clamp<std::chrono::nanoseconds>(left, std::chrono::nanoseconds::zero(), wait);
    }
    // A missing signal pipe or wake-up descriptor is -1, which the poll leaves out.
    pollfd fds[4] = {{terminal_, POLLIN, 0},
                     {signals_.fd(), POLLIN, 0},
                     {wake_fds_[0], POLLIN, 0},
                     {wake_fds_[1], POLLIN, 0}};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec limit{static_cast<time_t>(seconds.count()),
                         static_cast<long>((wait - seconds).count())};
    const int result = ::ppoll(fds, 4, &limit, nullptr);
    if (result < 0) {
        if (errno != EINTR) {
            std::this_thread::sleep_for(wait);
        }
        return false;
    }
    if (fds[1].revents & POLLIN) {
        signals_.drain(pending_);
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
    return ready_.has_value() || pending_.any() || terminal_gone_;
}

TerminalEvent EventSource::read() {
    if (pending_.termination != 0 || pending_.job_control != 0) {
        int& first = pending_.termination != 0 ? pending_.termination : pending_.job_control;
        return SignalEvent{std::exchange(first, 0)};
    }
    if (pending_.resize) {
        pending_.resize = false;
        // A terminal that does not tell its size keeps the size found before.
        TerminalSize size;
        return terminal_size(terminal_, size, TputFallback::forbidden) ? TerminalEvent{OtherEvent{}}
                                                                       : ResizeEvent{size};
    }
    if (terminal_gone_ && !ready_) {
        // The kernel or the shell sends SIGHUP for a hang-up: it may come a moment later, so
        // end by it now unless it is ignored.
        return signals_.catches(SIGHUP) ? TerminalEvent{SignalEvent{SIGHUP}} : HangUpEvent{};
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
