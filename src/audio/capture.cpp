#include "audio/capture.hpp"

#include "common/errors.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

// The environment, which POSIX leaves the program to declare itself; a C variable.
extern "C" char** environ;

namespace tonalyx {

namespace {

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
// open in it, a broken pipe ends it again even though this process ignores SIGPIPE, so that a
// capture whose reader has gone does not run on forever, and a process group of its own, so
// that stopping it stops whatever it starts.
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
    if (int error = ::posix_spawnattr_setpgroup(&attributes.attributes, 0)) {
        return error;
    }
    return ::posix_spawnattr_setflags(&attributes.attributes,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

// The wait status that waitpid would give for what waitid found.
int wait_status_of(const siginfo_t& info) {
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_DUMPED:
        return info.si_status | WCOREFLAG;
    default:
        return info.si_status;
    }
}

// True when a pw-record complained about --raw without offering it: a line names the option,
// and none lists it in the help that it printed. Only the option is looked for, not the words
// around it, which change with the language.
bool lacks_raw_option(std::string_view messages) {
    bool named = false;
    while (!messages.empty()) {
        const std::size_t end = std::min(messages.find('\n'), messages.size());
        std::string_view line = messages.substr(0, end);
        messages.remove_prefix(std::min(end + 1, messages.size()));
        if (line.find("--raw") == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        if (line.starts_with('-')) {
            return false; // "-a, --raw   RAW mode" in the help of a pw-record that has it
        }
        named = true;
    }
    return named;
}

// The null-terminated array of pointers into `texts` that the exec functions take.
std::vector<char*> exec_array(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// "SIGTERM" for SIGTERM; "signal N" for a number without a name.
std::string signal_name(int signal_number) {
    if (const char* abbreviation = ::sigabbrev_np(signal_number)) {
        return std::string("SIG") + abbreviation;
    }
    return "signal " + std::to_string(signal_number);
}

} // namespace

// A process descriptor (Linux 5.3 and later); -1 where the system has none.
CaptureProcess::CaptureProcess(pid_t pid)
    : pid_(pid), pidfd_(pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1) {}

CaptureProcess::~CaptureProcess() {
    release();
}

void CaptureProcess::release() {
    stop();
    if (pidfd_ >= 0) {
        ::close(std::exchange(pidfd_, -1));
    }
}

CaptureProcess::CaptureProcess(CaptureProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::exchange(other.pidfd_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      ended_at_(std::exchange(other.ended_at_, std::nullopt)),
      reaped_(std::exchange(other.reaped_, false)) {}

CaptureProcess& CaptureProcess::operator=(CaptureProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::exchange(other.pidfd_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
        ended_at_ = std::exchange(other.ended_at_, std::nullopt);
        reaped_ = std::exchange(other.reaped_, false);
    }
    return *this;
}

std::optional<int> CaptureProcess::poll() {
    if (pid_ > 0 && !status_) {
        siginfo_t info{};
        // WNOWAIT leaves it a zombie: its process id, and so its group, stay ours until stop().
        const int found =
            ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        if (found == 0 && info.si_pid == pid_) {
            status_ = wait_status_of(info);
            ended_at_ = std::chrono::steady_clock::now();
        } else if (found < 0 && errno != EINTR) {
            // Not our child any more (cannot happen while SIGCHLD keeps its default action):
            // there is nothing left to wait for or to signal.
            status_ = 0;
            ended_at_ = std::chrono::steady_clock::now();
            reaped_ = true;
        }
    }
    return status_;
}

void CaptureProcess::signal_group(int signal_number) const {
    // The program itself, should it have left its group.
    if (::kill(-pid_, signal_number) != 0) {
        ::kill(pid_, signal_number);
    }
}

void CaptureProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || reaped_) {
        return;
    }
    if (!poll()) {
        signal_group(SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (!poll() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // What it started and left running, and the program itself if it ignored SIGTERM. A zombie
    // leader still holds the group's id, so nobody else's processes can be hit.
    signal_group(SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!status_) {
        status_ = status;
        ended_at_ = std::chrono::steady_clock::now();
    }
    reaped_ = true;
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
    if (lacks_raw_option(messages)) {
        report += "hint: this PipeWire is too old for raw capture; PipeWire 1.0 or later has it "
                  "(on Debian 12 from bookworm-backports, see \"A newer PipeWire\" in the "
                  "README)\n";
    }
    return report;
}

// Two descriptors, the output first; its one caller passes the named ends of its two pipes.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
StartedCapture::StartedCapture(CaptureProcess started, int output, int messages)
    : process(std::move(started)), output_(output), messages_(messages) {}

StartedCapture::StartedCapture(StartedCapture&& other) noexcept
    : process(std::move(other.process)), output_(std::exchange(other.output_, -1)),
      messages_(std::exchange(other.messages_, -1)) {}

StartedCapture::~StartedCapture() {
    for (const int fd : {output_, messages_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int StartedCapture::take_output() {
    return std::exchange(output_, -1);
}

int StartedCapture::take_messages() {
    return std::exchange(messages_, -1);
}

std::vector<std::string> capture_arguments(const CaptureOptions& options) {
    std::vector<std::string> arguments;
    if (options.monitor) {
        arguments.insert(arguments.end(), {"-P", "{ stream.capture.sink=true }"});
    }
    if (options.target) {
        arguments.push_back("--target=" + *options.target);
    }
    arguments.insert(arguments.end(),
                     {"--format=s16", "--rate=" + std::to_string(options.rate),
                      "--channels=" + std::to_string(unsigned{options.channels}), "--raw", "-"});
    return arguments;
}

std::uint32_t capture_latency_frames(std::uint32_t rate, std::uint16_t fps) {
    const std::uint32_t frame_period = rate / std::max<std::uint32_t>(fps, 1);
    const std::uint32_t five_ms = rate / 200 + (rate % 200 != 0 ? 1 : 0);
    return std::max({frame_period, five_ms, std::uint32_t{1}});
}

const char* find_stdbuf_library() {
    for (const char* path : stdbuf_library_paths) {
        if (::access(path, R_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

std::vector<std::string> capture_environment(const CaptureOptions& options,
                                             const char* const* environment,
                                             const char* stdbuf_library) {
    std::vector<std::string> entries;
    bool latency_set = false;
    std::string preload;
    for (const char* const* entry = environment; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        latency_set = latency_set || text.starts_with("PIPEWIRE_LATENCY=");
        if (stdbuf_library != nullptr && text.starts_with("LD_PRELOAD=")) {
            const std::string_view value = text.substr(11);
            preload = value.empty() ? "" : std::string(value) + ":";
        } else if (stdbuf_library == nullptr || !text.starts_with("_STDBUF_O=")) {
            entries.emplace_back(text);
        }
    }
    if (!latency_set) {
        entries.push_back("PIPEWIRE_LATENCY=" +
                          std::to_string(capture_latency_frames(options.rate, options.fps)) + "/" +
                          std::to_string(options.rate));
    }
    if (stdbuf_library != nullptr) {
        entries.push_back("LD_PRELOAD=" + preload + stdbuf_library);
        entries.push_back("_STDBUF_O=0");
    }
    return entries;
}

StartedCapture start_capture(const CaptureOptions& options) {
    const char* program = "pw-record";
    std::vector<std::string> argument_texts = capture_arguments(options);
    argument_texts.insert(argument_texts.begin(), program);
    std::vector<std::string> environment_texts =
        capture_environment(options, environ, find_stdbuf_library());
    const std::vector<char*> arguments = exec_array(argument_texts);
    const std::vector<char*> environment = exec_array(environment_texts);

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
    if (int error = ::posix_spawnp(&child, program, &actions.actions, &attributes.attributes,
                                   arguments.data(), environment.data())) {
        throw_start_failure(error);
    }
    return {CaptureProcess(child), output_pipe.take(0), messages_pipe.take(0)};
}

} // namespace tonalyx
