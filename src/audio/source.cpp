#include "audio/source.hpp"

#include "errors.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
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

// Closes the descriptors it holds when the scope ends, unless they were taken out.
class FdGuard {
public:
    FdGuard() = default;
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    int take(std::size_t index) { return std::exchange(fds[index], -1); }

    std::array<int, 2> fds{-1, -1};
};

class SpawnActions {
public:
    SpawnActions() { error = ::posix_spawn_file_actions_init(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() {
        if (error == 0) {
            ::posix_spawn_file_actions_destroy(&actions);
        }
    }
    posix_spawn_file_actions_t actions{};
    int error = 0;
};

class SpawnAttributes {
public:
    SpawnAttributes() { error = ::posix_spawnattr_init(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() {
        if (error == 0) {
            ::posix_spawnattr_destroy(&attributes);
        }
    }
    posix_spawnattr_t attributes{};
    int error = 0;
};

[[noreturn]] void throw_start_failure(int errnum) {
    if (errnum == ENOENT) {
        throw OrderlyExit("error: pw-record not found — install PipeWire or pipe audio via stdin.");
    }
    throw OrderlyExit(std::string("error: failed to start pw-record: ") + std::strerror(errnum));
}

// Prepares the child: its standard output becomes the pipe's write end, no other descriptor
// of ours stays open in it, and a broken pipe ends it again even though this process ignores
// SIGPIPE, so that a capture whose reader has gone does not run on forever.
int prepare_child(SpawnActions& actions, SpawnAttributes& attributes, int write_end) {
    if (actions.error != 0) {
        return actions.error;
    }
    if (attributes.error != 0) {
        return attributes.error;
    }
    if (int error = ::posix_spawn_file_actions_adddup2(&actions.actions, write_end, 1)) {
        return error;
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (int error = ::posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3)) {
        return error;
    }
#endif
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (int error = ::posix_spawnattr_setsigdefault(&attributes.attributes, &defaults)) {
        return error;
    }
    return ::posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGDEF);
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

AudioSource::AudioSource(AudioSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, false)),
      paced_(other.paced_) {}

AudioSource& AudioSource::operator=(AudioSource&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        paced_ = other.paced_;
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
    fd_ = -1;
    owned_ = false;
}

ReadResult AudioSource::read(std::span<std::uint8_t> buffer) {
    if (fd_ < 0) {
        return {0, 0};
    }
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count < 0) {
        return {0, errno};
    }
    return {static_cast<std::size_t>(count), 0};
}

AudioSource open_input_file(const std::string& path) {
    // open() would silently stop at an embedded NUL and open some other file.
    if (path.find('\0') != std::string::npos) {
        throw FatalError("failed to open input file", EINVAL);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw FatalError("failed to open input file", errno);
    }
    AudioSource source = AudioSource::adopt(fd);
    // A directory opens but can never be read; say so now instead of showing nothing forever.
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        throw FatalError("failed to open input file", EISDIR);
    }
    return source;
}

AudioSource start_capture(std::uint32_t rate, std::uint8_t channels) {
    std::string program = "pw-record";
    std::string format = "--format=s16";
    std::string rate_argument = "--rate=" + std::to_string(rate);
    std::string channels_argument = "--channels=" + std::to_string(unsigned{channels});
    std::string raw = "--raw";
    std::string output = "-";
    std::array<char*, 7> arguments{
        program.data(), format.data(), rate_argument.data(), channels_argument.data(), raw.data(),
        output.data(),  nullptr};

    FdGuard pipe_ends;
    if (::pipe2(pipe_ends.fds.data(), O_CLOEXEC) != 0) {
        throw_start_failure(errno);
    }
    SpawnActions actions;
    SpawnAttributes attributes;
    if (int error = prepare_child(actions, attributes, pipe_ends.fds[1])) {
        throw_start_failure(error);
    }
    pid_t child = 0;
    if (int error = ::posix_spawnp(&child, program.c_str(), &actions.actions,
                                   &attributes.attributes, arguments.data(), environ)) {
        throw_start_failure(error);
    }
    // The child is let go here: only the read end of its output stays with us.
    return AudioSource::adopt(pipe_ends.take(0));
}

AudioSource open_audio_source(bool pipewire, const std::optional<std::string>& input,
                              std::uint32_t rate, std::uint8_t channels) {
    if (pipewire) {
        return start_capture(rate, channels);
    }
    if (input) {
        return open_input_file(*input);
    }
    // A terminal on standard input carries the user's keys, not audio: reading it as PCM would
    // swallow the keystrokes meant for the display, `q` among them.
    if (::isatty(STDIN_FILENO) != 0) {
        return AudioSource::empty();
    }
    return AudioSource::standard_input();
}

} // namespace tonalyx
