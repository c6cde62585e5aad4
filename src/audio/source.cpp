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
    if (::fstat(fd, &status) != 0) {
        return false;
    }
    if (S_ISREG(status.st_mode)) {
        return true;
    }
    return S_ISCHR(status.st_mode) && ::isatty(fd) == 0;
}

// Clears O_NONBLOCK on `fd`; the errno of a failure, else 0.
int make_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return errno;
    }
    return 0;
}

} // namespace

AudioSource::AudioSource(int fd, bool owned) : fd_(fd), owned_(owned), paced_(needs_pacing(fd)) {}

AudioSource AudioSource::adopt(int fd) {
    return AudioSource(fd, true);
}

AudioSource AudioSource::standard_input() {
    return AudioSource(STDIN_FILENO, false);
}

AudioSource AudioSource::empty() {
    return AudioSource(-1, false);
}

// Two descriptors, the output first; its one caller passes the named ends of its two pipes.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
AudioSource AudioSource::capture(int fd, int messages_fd) {
    AudioSource source(fd, true);
    source.messages_fd_ = messages_fd;
    return source;
}

AudioSource AudioSource::fifo(int fd) {
    AudioSource source(fd, true);
    source.awaiting_writer_ = true;
    return source;
}

AudioSource::AudioSource(AudioSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, false)),
      paced_(other.paced_), awaiting_writer_(std::exchange(other.awaiting_writer_, false)),
      messages_fd_(std::exchange(other.messages_fd_, -1)), messages_(std::move(other.messages_)),
      message_listener_(std::move(other.message_listener_)) {}

AudioSource& AudioSource::operator=(AudioSource&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        paced_ = other.paced_;
        awaiting_writer_ = std::exchange(other.awaiting_writer_, false);
        messages_fd_ = std::exchange(other.messages_fd_, -1);
        messages_ = std::move(other.messages_);
        message_listener_ = std::move(other.message_listener_);
    }
    return *this;
}

AudioSource::~AudioSource() {
    release();
}

void AudioSource::release() {
    if (owned_ && fd_ >= 0) {
        ::close(fd_);
    }
    if (messages_fd_ >= 0) {
        ::close(messages_fd_);
    }
    fd_ = -1;
    messages_fd_ = -1;
    owned_ = false;
}

ReadResult AudioSource::read(std::span<std::uint8_t> buffer) {
    if (fd_ < 0) {
        return {0, 0};
    }
    if (awaiting_writer_) {
        if (const int error = wait_for_writer()) {
            return {0, error};
        }
    }
    if (messages_fd_ >= 0) {
        if (const int error = wait_for_output()) {
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

int AudioSource::wait_for_writer() {
    // A FIFO read end opened without a writer polls as not ready (rather than hung up) until a
    // writer has come and written or gone; reads then block as for any pipe.
    pollfd watched{fd_, POLLIN, 0};
    while (::poll(&watched, 1, -1) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (const int error = make_blocking(fd_)) {
        return error;
    }
    awaiting_writer_ = false;
    return 0;
}

int AudioSource::wait_for_output() {
    // Drains standard error while waiting, so a talkative program never blocks on it.
    while (messages_fd_ >= 0) {
        std::array<pollfd, 2> watched{pollfd{fd_, POLLIN, 0}, pollfd{messages_fd_, POLLIN, 0}};
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
            return 0;
        }
    }
    return 0;
}

// Reads once from the program's standard error into messages_, keeping the newest message_limit
// bytes; closes it at its end. Returns false once it is closed.
bool AudioSource::take_messages() {
    if (messages_fd_ < 0) {
        return false;
    }
    char buffer[1024];
    const ssize_t count = ::read(messages_fd_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
        return true;
    }
    if (count <= 0) {
        ::close(messages_fd_);
        messages_fd_ = -1;
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

AudioSource open_input_file(const std::string& path) {
    // open() would silently stop at an embedded NUL and open some other file.
    if (path.find('\0') != std::string::npos) {
        throw FatalError("failed to open input file", EINVAL);
    }
    // Non-blocking, so that a FIFO without a writer does not hold up the start: its reader
    // waits for the writer instead, while the keys already work.
    // O_NOCTTY: a terminal named here must not become our controlling terminal.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        throw FatalError("failed to open input file", errno);
    }
    if (::isatty(fd) != 0) {
        ::close(fd);
        // Its bytes are the user's keys: read as audio they would never reach the display.
        throw FatalError("failed to open input file: " + path + " is a terminal, not audio");
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
        return AudioSource::fifo(fd);
    }
    AudioSource source = AudioSource::adopt(fd);
    // A directory opens but can never be read; say so now instead of showing nothing forever.
    if (S_ISDIR(status.st_mode)) {
        throw FatalError("failed to open input file", EISDIR);
    }
    if (const int error = make_blocking(fd)) {
        throw FatalError("failed to open input file", error);
    }
    return source;
}

OpenedSource open_audio_source(const std::optional<CaptureOptions>& capture,
                               const std::optional<std::string>& input) {
    if (capture) {
        StartedCapture started = start_capture(*capture);
        const int output = started.take_output();
        return {AudioSource::capture(output, started.take_messages()), std::move(started.process)};
    }
    if (input) {
        return {open_input_file(*input), std::nullopt};
    }
    // A terminal on standard input carries the user's keys, not audio: reading it as PCM would
    // swallow the keystrokes meant for the display, `q` among them.
    if (::isatty(STDIN_FILENO) != 0) {
        return {AudioSource::empty(), std::nullopt};
    }
    return {AudioSource::standard_input(), std::nullopt};
}

} // namespace tonalyx
