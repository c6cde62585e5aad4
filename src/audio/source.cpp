#include "audio/source.hpp"

#include "common/errors.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

// The environment, which POSIX leaves the program to declare itself; a C variable.
extern "C" char** environ;

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

    // The ends of a pipe: [0] to read, [1] to write.
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

// Prepares the child: standard input on /dev/null (the terminal's bytes are our keys),
// standard output and standard error on the pipes' write ends, no other descriptor of ours
// open in it, and a broken pipe ends it again even though this process ignores SIGPIPE, so
// that a capture whose reader has gone does not run on forever.
int prepare_child(SpawnActions& actions, SpawnAttributes& attributes, int output_end,
                  int messages_end) {
    if (actions.error != 0) {
        return actions.error;
    }
    if (attributes.error != 0) {
        return attributes.error;
    }
    if (int error = ::posix_spawn_file_actions_addopen(&actions.actions, STDIN_FILENO, "/dev/null",
                                                       O_RDONLY, 0)) {
        return error;
    }
    if (int error = ::posix_spawn_file_actions_adddup2(&actions.actions, output_end, 1)) {
        return error;
    }
    if (int error = ::posix_spawn_file_actions_adddup2(&actions.actions, messages_end, 2)) {
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

// Clears O_NONBLOCK on `fd`; the errno of a failure, else 0.
int make_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return errno;
    }
    return 0;
}

// "SIGTERM" for SIGTERM; "signal N" for a number without a name.
std::string signal_name(int signal_number) {
    if (const char* abbreviation = ::sigabbrev_np(signal_number)) {
        return std::string("SIG") + abbreviation;
    }
    return "signal " + std::to_string(signal_number);
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
      messages_fd_(std::exchange(other.messages_fd_, -1)), messages_(std::move(other.messages_)) {}

AudioSource& AudioSource::operator=(AudioSource&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        paced_ = other.paced_;
        awaiting_writer_ = std::exchange(other.awaiting_writer_, false);
        messages_fd_ = std::exchange(other.messages_fd_, -1);
        messages_ = std::move(other.messages_);
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
    return true;
}

CaptureProcess::CaptureProcess(CaptureProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}

CaptureProcess& CaptureProcess::operator=(CaptureProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

std::optional<int> CaptureProcess::poll() {
    if (pid_ > 0 && !status_) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            status_ = status;
        } else if (reaped < 0 && errno != EINTR) {
            // Not our child any more (cannot happen while SIGCHLD keeps its default action):
            // there is nothing left to wait for or to signal.
            status_ = 0;
        }
    }
    return status_;
}

void CaptureProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || poll()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
}

bool ended_in_failure(int wait_status) {
    return !WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0;
}

std::string capture_failure_report(int wait_status, const std::string& messages) {
    std::string report = "error: pw-record ";
    if (WIFEXITED(wait_status)) {
        report += "exited with status " + std::to_string(WEXITSTATUS(wait_status));
    } else if (WIFSIGNALED(wait_status)) {
        report += "was killed by " + signal_name(WTERMSIG(wait_status));
    } else {
        report += "ended with wait status " + std::to_string(wait_status);
    }
    report += "\n" + messages;
    if (!messages.empty() && messages.back() != '\n') {
        report += '\n';
    }
    return report;
}

AudioSource open_input_file(const std::string& path) {
    // open() would silently stop at an embedded NUL and open some other file.
    if (path.find('\0') != std::string::npos) {
        throw FatalError("failed to open input file", EINVAL);
    }
    // Non-blocking, so that a FIFO without a writer does not hold up the start: its reader
    // waits for the writer instead, while the keys already work.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        throw FatalError("failed to open input file", errno);
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

OpenedSource start_capture(std::uint32_t rate, std::uint8_t channels) {
    std::string program = "pw-record";
    std::string format = "--format=s16";
    std::string rate_argument = "--rate=" + std::to_string(rate);
    std::string channels_argument = "--channels=" + std::to_string(unsigned{channels});
    std::string raw = "--raw";
    std::string output = "-";
    std::array<char*, 7> arguments{
        program.data(), format.data(), rate_argument.data(), channels_argument.data(), raw.data(),
        output.data(),  nullptr};

    // An inherited "ignore" would let the system reap the child behind our back, and its
    // process id could then be reused by the time we signal it.
    std::signal(SIGCHLD, SIG_DFL);
    FdGuard output_pipe;
    FdGuard messages_pipe;
    if (::pipe2(output_pipe.fds.data(), O_CLOEXEC) != 0 ||
        ::pipe2(messages_pipe.fds.data(), O_CLOEXEC) != 0) {
        throw_start_failure(errno);
    }
    SpawnActions actions;
    SpawnAttributes attributes;
    if (int error = prepare_child(actions, attributes, output_pipe.fds[1], messages_pipe.fds[1])) {
        throw_start_failure(error);
    }
    pid_t child = 0;
    if (int error = ::posix_spawnp(&child, program.c_str(), &actions.actions,
                                   &attributes.attributes, arguments.data(), environ)) {
        throw_start_failure(error);
    }
    return {AudioSource::capture(output_pipe.take(0), messages_pipe.take(0)),
            CaptureProcess(child)};
}

OpenedSource open_audio_source(bool pipewire, const std::optional<std::string>& input,
                               std::uint32_t rate, std::uint8_t channels) {
    if (pipewire) {
        return start_capture(rate, channels);
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
