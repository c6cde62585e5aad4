#include "audio/source.hpp"

#include "common/errors.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tonalyx {

namespace {

bool needs_pacing(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 &&
           (S_ISREG(status.st_mode) || (S_ISCHR(status.st_mode) && ::isatty(fd) == 0));
}

// Clears O_NONBLOCK on `fd`; the errno of a failure, else 0.
int make_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return errno;
    }
    return 0;
}

// Opens `path` for reading only, without waiting for the writer of a FIFO. Throws
// FatalError("failed to open input file", errno), or with a reason of its own for a terminal.
AudioSource open_input_file(const std::string& path) {
    // Non-blocking, so that a FIFO without a writer does not hold up the start: its reader
    // waits for the writer instead, while the keys already work.
    // O_NOCTTY: a terminal named here must not become our controlling terminal.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        throw FatalError("failed to open input file", errno);
    }
    if (::isatty(fd.get()) != 0) {
        // Its bytes are the user's keys: read as audio they would never reach the display.
        throw FatalError("failed to open input file: " + path + " is a terminal, not audio");
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        return AudioSource::fifo(std::move(fd));
    }
    // A directory opens but can never be read; say so now instead of showing nothing forever.
    if (S_ISDIR(status.st_mode)) {
        throw FatalError("failed to open input file", EISDIR);
    }
    if (const int error = make_blocking(fd.get())) {
        throw FatalError("failed to open input file", error);
    }
    return AudioSource::adopt(std::move(fd));
}

} // namespace

AudioSource::AudioSource(int fd, UniqueFd owned)
    : owned_(std::move(owned)), fd_(fd), paced_(needs_pacing(fd)) {}

AudioSource AudioSource::adopt(UniqueFd fd) {
    const int read_fd = fd.get();
    return {read_fd, std::move(fd)};
}

AudioSource AudioSource::borrow(int fd) {
    return {fd, UniqueFd()};
}

AudioSource AudioSource::capture(UniqueFd fd, UniqueFd messages) {
    AudioSource source = adopt(std::move(fd));
    source.messages_fd_ = std::move(messages);
    return source;
}

AudioSource AudioSource::fifo(UniqueFd fd) {
    AudioSource source = adopt(std::move(fd));
    source.awaiting_writer_ = true;
    return source;
}

ReadResult AudioSource::read(std::span<std::uint8_t> buffer) {
    if (fd_ < 0) {
        return {0, 0};
    }
    if (awaiting_writer_ || messages_fd_) {
        if (const int error = wait_for_data()) {
            return {0, error};
        }
    }
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count < 0) {
        return {0, errno};
    }
    if (count == 0) {
        // The program is ending: what it says last is usually why.
        while (take_messages()) {
        }
    }
    return {static_cast<std::size_t>(count), 0};
}

int AudioSource::wait_for_data() {
    // A FIFO read end opened without a writer polls as not ready (rather than hung up) until a
    // writer has come and written or gone; reads then block as for any pipe. A capture's standard
    // error is drained while waiting, so that a talkative program never blocks on it; once it is
    // closed, poll leaves its entry (-1) alone.
    for (;;) {
        std::array<pollfd, 2> watched{pollfd{fd_, POLLIN, 0},
                                      pollfd{messages_fd_.get(), POLLIN, 0}};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (watched[1].revents != 0) {
            take_messages();
        }
        if (watched[0].revents != 0) {
            break;
        }
    }
    if (awaiting_writer_) {
        if (const int error = make_blocking(fd_)) {
            return error;
        }
        awaiting_writer_ = false;
    }
    return 0;
}

// Reads once from the program's standard error into messages_, keeping the newest message_limit
// bytes; closes it at its end. Returns false once it is closed.
bool AudioSource::take_messages() {
    if (!messages_fd_) {
        return false;
    }
    char buffer[1024];
    const ssize_t count = ::read(messages_fd_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
        return true;
    }
    if (count <= 0) {
        messages_fd_.reset();
        return false;
    }
    messages_.append(buffer, static_cast<std::size_t>(count));
    if (messages_.size() > message_limit) {
        std::size_t cut = messages_.size() - message_limit;
        // Start at a line rather than inside one, when a line starts in what is kept.
        const std::size_t line = messages_.find('\n', cut);
        if (line != std::string::npos && line + 1 < messages_.size()) {
            cut = line + 1;
        }
        messages_.erase(0, cut);
    }
    if (message_listener_) {
        message_listener_(messages_);
    }
    return true;
}

OpenedSource open_audio_source(const std::optional<CaptureOptions>& capture,
                               const std::optional<std::string>& input) {
    if (capture) {
        StartedCapture started = start_capture(*capture);
        return {AudioSource::capture(std::move(started.output), std::move(started.messages)),
                std::move(started.process)};
    }
    if (input) {
        return {open_input_file(*input), std::nullopt};
    }
    // A terminal on standard input carries the user's keys, not audio: reading it as PCM would
    // swallow the keystrokes meant for the display, `q` among them.
    return {AudioSource::borrow(::isatty(STDIN_FILENO) != 0 ? -1 : STDIN_FILENO), std::nullopt};
}

} // namespace tonalyx
