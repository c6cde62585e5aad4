// One owner for a file descriptor: pipes, eventfds, process descriptors, opened files and the
// terminal device alike. It closes what it holds on destruction and moves, never copies.
#pragma once

#include <unistd.h>
#include <utility>

namespace tonalyx {

// A descriptor owned alone: -1 holds nothing.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    // The descriptor, still owned here; -1 when empty.
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Gives the descriptor up to the caller, leaving this empty.
    int release() { return std::exchange(fd_, -1); }

    // Closes what is held and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace tonalyx
