#include "audio/capture.hpp"

#include "common/errors.hpp"
#include "common/spawn.hpp"
#include "common/visible_text.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tonalyx {

namespace {

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

// The first readable libstdbuf.so where distributions keep coreutils' libraries, or nullptr.
const char* find_stdbuf_library() {
    for (const char* path :
         {"/usr/libexec/coreutils/libstdbuf.so", "/usr/lib/coreutils/libstdbuf.so",
          "/usr/lib64/coreutils/libstdbuf.so"}) {
        if (::access(path, R_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

// Sends `signal_number` to the group that `pid` leads, or to `pid` itself should it have left it.
void signal_group(pid_t pid, int signal_number) {
    if (::kill(-pid, signal_number) != 0) {
        ::kill(pid, signal_number);
    }
}

// The frames PipeWire is asked for per cycle (see capture_environment).
std::uint32_t capture_latency_frames(std::uint32_t rate, std::uint16_t fps) {
    const std::uint32_t five_ms = rate / 200 + (rate % 200 != 0 ? 1 : 0);
    return std::max(rate / fps, five_ms);
}

// Withdraws the group that `pid` leads from the one a crash signals.
void forget_group(pid_t pid) {
    child_group_to_end.compare_exchange_strong(pid, 0);
}

} // namespace

// A process descriptor (Linux 5.3 and later); -1 where the system has none.
CaptureProcess::CaptureProcess(pid_t pid)
    : pid_(pid), pidfd_(pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1) {
    if (pid > 0) {
        child_group_to_end = pid;
    }
}

CaptureProcess::CaptureProcess(CaptureProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)), status_(other.status_),
      ended_at_(other.ended_at_), reaped_(other.reaped_) {}

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
            forget_group(pid_);
            reaped_ = true;
        }
    }
    return status_;
}

void CaptureProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || reaped_) {
        return;
    }
    if (!poll()) {
        signal_group(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (!poll() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // What it started and left running, and the program itself if it ignored SIGTERM. A zombie
    // leader still holds the group's id, so nobody else's processes can be hit.
    signal_group(pid_, SIGKILL);
    // Before the group's id is freed for reuse by the reaping.
    forget_group(pid_);
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
    } else {
        // Killed, as every other end is: "SIGTERM" for SIGTERM; "signal N" for one without a name.
        const char* abbreviation = ::sigabbrev_np(WTERMSIG(wait_status));
        report += "was killed by " + (abbreviation != nullptr
                                          ? std::string("SIG") + abbreviation
                                          : "signal " + std::to_string(WTERMSIG(wait_status)));
    }
    const std::string shown = visible_text(messages);
    report += "\n" + shown;
    if (!shown.empty() && shown.back() != '\n') {
        report += '\n';
    }
    if (lacks_raw_option(messages)) {
        report += "hint: this PipeWire is too old for raw capture; PipeWire 1.0 or later has it "
                  "(on Debian 12 from bookworm-backports, see \"A newer PipeWire\" in the "
                  "README)\n";
    }
    return report;
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
    std::vector<std::string> arguments = capture_arguments(options);
    arguments.insert(arguments.begin(), "pw-record");
    // An inherited "ignore" would let the system reap the child behind our back, and its
    // process id could then be reused by the time we signal it.
    std::signal(SIGCHLD, SIG_DFL);
    // Standard input on /dev/null: the terminal's bytes are our keys. Its own process group, so
    // that stopping it stops whatever it starts; the default action of SIGPIPE, which we ignore,
    // so that a capture whose reader has gone does not run on forever.
    StartedChild child =
        start_child(arguments, capture_environment(options, environ, find_stdbuf_library()),
                    {ChildStream::null_device, ChildStream::pipe, ChildStream::pipe});
    if (child.error == ENOENT) {
        throw OrderlyExit("error: pw-record not found — install PipeWire or pipe audio via stdin.");
    }
    if (child.error != 0) {
        throw OrderlyExit(std::string("error: failed to start pw-record: ") +
                          std::strerror(child.error));
    }
    return {CaptureProcess(child.pid), std::move(child.pipes[1]), std::move(child.pipes[2])};
}

} // namespace tonalyx
