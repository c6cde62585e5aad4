#include "display/events.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/ioctl.h>
#include <termkey.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tonalyx {
namespace {

TerminalEvent to_event(const TermKeyKey& key) {
    const Modifiers modifiers{(key.modifiers & TERMKEY_KEYMOD_SHIFT) != 0,
                              (key.modifiers & TERMKEY_KEYMOD_ALT) != 0,
                              (key.modifiers & TERMKEY_KEYMOD_CTRL) != 0};
    switch (key.type) {
    case TERMKEY_TYPE_UNICODE:
        return KeyEvent{static_cast<char32_t>(key.code.codepoint), modifiers};
    case TERMKEY_TYPE_KEYSYM:
        if (key.code.sym == TERMKEY_SYM_SPACE) {
            return KeyEvent{U' ', modifiers};
        }
        return KeyEvent{std::nullopt, modifiers};
    case TERMKEY_TYPE_FUNCTION:
        return KeyEvent{std::nullopt, modifiers};
    default:
        return OtherEvent{};
    }
}

KeyDecoder::Status status_of(TermKeyResult result, const TermKeyKey& key, TerminalEvent& event) {
    switch (result) {
    case TERMKEY_RES_KEY:
        event = to_event(key);
        return std::holds_alternative<OtherEvent>(event) ? KeyDecoder::Status::other
                                                         : KeyDecoder::Status::key;
    case TERMKEY_RES_AGAIN:
        return KeyDecoder::Status::incomplete;
    default:
        return KeyDecoder::Status::none;
    }
}

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

} // namespace

KeyDecoder::KeyDecoder() {
    // The terminal type only adds terminfo key names; the xterm-style decoding works for any.
    const char* term = std::getenv("TERM");
    const int flags = TERMKEY_FLAG_UTF8 | TERMKEY_FLAG_NOTERMIOS;
    if (term != nullptr && *term != '\0') {
        termkey_ = termkey_new_abstract(term, flags);
    }
    if (termkey_ == nullptr) {
        termkey_ = termkey_new_abstract("xterm", flags);
    }
}

KeyDecoder::~KeyDecoder() {
    if (termkey_ != nullptr) {
        termkey_destroy(termkey_);
    }
}

void KeyDecoder::push(std::string_view bytes) {
    if (termkey_ != nullptr) {
        termkey_push_bytes(termkey_, bytes.data(), bytes.size());
    }
}

KeyDecoder::Status KeyDecoder::next(TerminalEvent& event) {
    if (termkey_ == nullptr) {
        return Status::none;
    }
    TermKeyKey key{};
    return status_of(termkey_getkey(termkey_, &key), key, event);
}

KeyDecoder::Status KeyDecoder::force(TerminalEvent& event) {
    if (termkey_ == nullptr) {
        return Status::none;
    }
    TermKeyKey key{};
    return status_of(termkey_getkey_force(termkey_, &key), key, event);
}

std::chrono::milliseconds KeyDecoder::wait_time() const {
    return std::chrono::milliseconds(termkey_ != nullptr ? termkey_get_waittime(termkey_) : 0);
}

std::size_t KeyDecoder::room() const {
    return termkey_ != nullptr ? termkey_get_buffer_remaining(termkey_) : 0;
}

bool EventSource::open() {
    std::error_code error;
    terminal_.emplace(error);
    if (error) {
        terminal_.reset();
        return false;
    }
    return true;
}

void EventSource::decode() {
    if (ready_) {
        return;
    }
    TerminalEvent event;
    switch (decoder_.next(event)) {
    case KeyDecoder::Status::key:
    case KeyDecoder::Status::other:
        ready_ = event;
        undecided_ = false;
        break;
    case KeyDecoder::Status::incomplete:
        undecided_ = true;
        break;
    case KeyDecoder::Status::none:
        undecided_ = false;
        break;
    }
}

void EventSource::read_terminal() {
    char bytes[256];
    const std::size_t room = std::min(sizeof bytes, decoder_.room());
    if (room == 0) {
        return;
    }
    const ssize_t n = ::read(terminal_->fd(), bytes, room);
    if (n > 0) {
        decoder_.push({bytes, static_cast<std::size_t>(n)});
        decode();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // The terminal hung up: report it once the keys read before it are taken.
        terminal_gone_ = true;
    }
}

bool EventSource::poll(std::chrono::nanoseconds timeout) {
    if (state_ == State::closed) {
        state_ = open() ? State::open : State::failed;
        // Raw mode was set on the same device at start-up: not finding it now means it is gone.
        terminal_gone_ = state_ == State::failed;
    }
    if (ready_ || pending_.any() || terminal_gone_) {
        return true;
    }
    // A lone Escape may be the start of a longer sequence: wait at most the decoder's wait time
    // for the rest before taking it as the Escape key.
    const auto wait =
        undecided_ ? std::min<std::chrono::nanoseconds>(timeout, decoder_.wait_time()) : timeout;
    // Without a signal pipe its descriptor is -1, which the poll leaves out.
    pollfd fds[2] = {{terminal_->fd(), POLLIN, 0}, {signals_.fd(), POLLIN, 0}};
    const timespec limit = to_timespec(wait);
    const int result = ::ppoll(fds, 2, &limit, nullptr);
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
    } else if (result == 0 && undecided_) {
        TerminalEvent event;
        const KeyDecoder::Status status = decoder_.force(event);
        if (status == KeyDecoder::Status::key || status == KeyDecoder::Status::other) {
            ready_ = event;
        }
        undecided_ = false;
    }
    return ready_.has_value() || pending_.any() || terminal_gone_;
}

TerminalEvent EventSource::read() {
    if (pending_.termination != 0) {
        return SignalEvent{std::exchange(pending_.termination, 0)};
    }
    if (pending_.job_control != 0) {
        return SignalEvent{std::exchange(pending_.job_control, 0)};
    }
    if (pending_.resize) {
        pending_.resize = false;
        winsize size{};
        if (terminal_ && ::ioctl(terminal_->fd(), TIOCGWINSZ, &size) == 0) {
            return ResizeEvent{size.ws_col, size.ws_row};
        }
        return OtherEvent{};
    }
    if (terminal_gone_ && !ready_) {
        // The kernel or the shell sends SIGHUP for a hang-up: it may come a moment later, so
        // end by it now unless it is ignored.
        if (signals_.catches(SIGHUP)) {
            return SignalEvent{SIGHUP};
        }
        return HangUpEvent{};
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
