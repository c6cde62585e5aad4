#include "harness.hpp"

#include <gtest/gtest.h>
#include <vterm.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <random>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utmp.h>

// The environment, which POSIX leaves the program to declare itself; a C variable.
extern "C" char** environ;

namespace e2e {
namespace {

void set_cloexec(int fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The child's environment: ours with TERM=xterm-256color and the requested changes, built before
// forking.
std::vector<std::string>
environment_with(std::vector<std::pair<std::string, std::string>> changes = {}) {
    if (std::none_of(changes.begin(), changes.end(),
                     [](const auto& change) { return change.first == "TERM"; })) {
        changes.emplace_back("TERM", "xterm-256color");
    }
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        bool changed = false;
        for (const auto& change : changes) {
            changed = changed || change.first == name;
        }
        if (!changed) {
            entries.push_back(text);
        }
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty()) {
            entries.push_back(name);
            entries.back() += '=';
            entries.back() += value;
        }
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Forks the job and returns in it once it leads a process group in the terminal's foreground.
// The parent stays in the session (so the job's group is not orphaned and can be stopped),
// reports the job's pid on `report_fd`, waits for it and ends as it ended.
void become_job(int report_fd) {
    const pid_t job = ::fork();
    if (job < 0) {
        ::_exit(126);
    }
    if (job == 0) {
        ::setpgid(0, 0);
        // A group outside the foreground may take the terminal only with SIGTTOU ignored.
        ::signal(SIGTTOU, SIG_IGN);
        ::tcsetpgrp(STDIN_FILENO, ::getpid());
        ::signal(SIGTTOU, SIG_DFL);
        ::close(report_fd);
        return;
    }
    [[maybe_unused]] const ssize_t n = ::write(report_fd, &job, sizeof job);
    ::close(report_fd);
    // As a session leader this parent gets SIGHUP at a hang-up; it lives on to end as the job did.
    ::signal(SIGHUP, SIG_IGN);
    int status = 0;
    while (::waitpid(job, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
}

// In the forked child: the pseudo-terminal `slave` as the standard streams, and as the
// controlling terminal of a new session unless the launch says otherwise; then the audio input,
// the output file, the job and the signals as the launch asks.
void become_program(const Launch& launch, int slave, int audio_read, int report_fd) {
    if (launch.controlling_terminal) {
        if (::login_tty(::dup(slave)) != 0) {
            ::_exit(126);
        }
    } else {
        ::setsid(); // a session without a controlling terminal
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            ::dup2(slave, fd);
        }
    }
    // Crashes and deaths by SIGQUIT provoked by the tests leave no core files behind.
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (launch.job_control) {
        become_job(report_fd);
    }
    if (audio_read >= 0) {
        ::dup2(audio_read, STDIN_FILENO);
    } else if (launch.input == Input::closed) {
        ::close(STDIN_FILENO);
    }
    if (!launch.output_file.empty()) {
        const int output = ::open(launch.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(output, STDOUT_FILENO);
    }
    if (launch.nonblocking_terminal) {
        ::fcntl(STDERR_FILENO, F_SETFL, ::fcntl(STDERR_FILENO, F_GETFL) | O_NONBLOCK);
    }
    ::signal(SIGPIPE, SIG_DFL);
    for (const int ignored : launch.ignored_signals) {
        ::signal(ignored, SIG_IGN);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : launch.blocked_signals) {
        sigaddset(&blocked, signal_number);
    }
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    // Only the three streams, whatever the test runner left open: the tests count descriptors.
    ::close_range(3, ~0U, 0);
}

std::optional<int> decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return killed_by(WTERMSIG(status));
    }
    return std::nullopt;
}

} // namespace

std::string utf8(char32_t c) {
    std::string text;
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
    return text;
}

std::string tonalyx_binary() {
    return TONALYX_BINARY;
}

TerminalRun::TerminalRun(const std::string& binary, const Launch& launch)
    : rows_(launch.rows), cols_(launch.cols) {
    std::signal(SIGPIPE, SIG_IGN);
    // An ordinary cooked terminal, as a shell leaves it.
    termios attributes{};
    attributes.c_iflag = ICRNL | IXON | IUTF8;
    attributes.c_oflag = OPOST | ONLCR;
    attributes.c_cflag = CS8 | CREAD | B38400;
    attributes.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
    attributes.c_cc[VINTR] = 3;
    attributes.c_cc[VQUIT] = 28;
    attributes.c_cc[VERASE] = 127;
    attributes.c_cc[VKILL] = 21;
    attributes.c_cc[VEOF] = 4;
    attributes.c_cc[VSTART] = 17;
    attributes.c_cc[VSTOP] = 19;
    attributes.c_cc[VSUSP] = 26;
    attributes.c_cc[VMIN] = 1;
    winsize size{};
    size.ws_row = launch.rows;
    size.ws_col = launch.cols;
    if (::openpty(&master_, &slave_, nullptr, &attributes, &size) != 0) {
        fail("openpty");
    }
    set_cloexec(master_);
    set_cloexec(slave_);
    set_nonblocking(master_);
    ::tcgetattr(slave_, &original_);

    int audio_read = -1;
    if (launch.input == Input::pipe) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            fail("pipe");
        }
        audio_read = fds[0];
        audio_ = fds[1];
        set_nonblocking(audio_);
    }

    start_program(binary, launch, audio_read);
    if (audio_read >= 0) {
        ::close(audio_read);
    }

    vterm_ = vterm_new(std::max(rows_, 1), std::max(cols_, 1));
    vterm_set_utf8(vterm_, 1);
    screen_ = vterm_obtain_screen(vterm_);
    static VTermScreenCallbacks callbacks{};
    callbacks.settermprop = [](VTermProp property, VTermValue* value, void* self) {
        return static_cast<TerminalRun*>(self)->on_property(property, value);
    };
    vterm_screen_set_callbacks(screen_, &callbacks, this);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);
}

void TerminalRun::start_program(const std::string& binary, const Launch& launch, int audio_read) {
    std::vector<std::string> argv_strings{binary};
    argv_strings.insert(argv_strings.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<std::string> env_strings = environment_with(launch.environment);
    for (const std::string& name : launch.empty_environment) {
        std::erase_if(env_strings,
                      [&](const std::string& entry) { return entry.starts_with(name + "="); });
        env_strings.push_back(name + "=");
    }
    std::vector<char*> envp = pointers(env_strings);
    int report[2] = {-1, -1};
    if (launch.job_control && ::pipe2(report, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        // A job's parent lives on without exec: the terminal must not keep a master open there.
        ::close(master_);
        become_program(launch, slave_, audio_read, report[1]);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    program_pid_ = pid_;
    if (launch.job_control) {
        ::close(report[1]);
        pid_t job = -1;
        if (::read(report[0], &job, sizeof job) == sizeof job) {
            program_pid_ = job;
        }
        ::close(report[0]);
    }
}

TerminalRun::~TerminalRun() {
    if (!status_ && pid_ > 0) {
        ::kill(program_pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (audio_ >= 0) {
        ::close(audio_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
    ::close(slave_);
    if (vterm_ != nullptr) {
        vterm_free(vterm_);
    }
}

int TerminalRun::on_property(int property, const void* value) {
    const auto* v = static_cast<const VTermValue*>(value);
    if (property == VTERM_PROP_ALTSCREEN) {
        alternate_screen_ = v->boolean != 0;
    } else if (property == VTERM_PROP_CURSORVISIBLE) {
        cursor_visible_ = v->boolean != 0;
    }
    return 1;
}

void TerminalRun::type(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EAGAIN) {
            read_available();
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool TerminalRun::wait_typed_read(std::chrono::milliseconds timeout) {
    return wait_for(
        [this] {
            int unread = 0;
            return ::ioctl(slave_, FIONREAD, &unread) == 0 && unread == 0;
        },
        timeout);
}

bool TerminalRun::feed(std::string_view pcm, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pcm.empty()) {
        const ssize_t n = ::write(audio_, pcm.data(), pcm.size());
        if (n > 0) {
            pcm.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return false;
        }
        // The pipe is full: wait for the program to read, taking its output meanwhile so that
        // it is not held up writing to the terminal.
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        read_available();
        pollfd fd{audio_, POLLOUT, 0};
        ::poll(&fd, 1, 10);
    }
    return true;
}

void TerminalRun::close_audio() {
    if (audio_ >= 0) {
        ::close(audio_);
        audio_ = -1;
    }
}

void TerminalRun::resize(std::uint16_t rows, std::uint16_t cols) {
    read_available();
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vterm_, rows, cols);
    winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    ::ioctl(master_, TIOCSWINSZ, &size);
}

void TerminalRun::send_signal(int signal_number) {
    ::kill(program_pid_, signal_number);
}

void TerminalRun::stall_output(bool stalled) {
    ::tcflow(slave_, stalled ? TCOOFF : TCOON);
}

void TerminalRun::hang_up() {
    read_available();
    ::close(master_);
    master_ = -1;
}

void TerminalRun::reset_attributes() {
    ::tcsetattr(slave_, TCSANOW, &original_);
}

bool TerminalRun::stopped() const {
    std::ifstream stat("/proc/" + std::to_string(program_pid_) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    // The state follows the command name, which is in parentheses and may hold anything.
    const std::size_t name_end = text.rfind(')');
    return name_end != std::string::npos && text.compare(name_end + 1, 3, " T ") == 0;
}

bool TerminalRun::signal_pending(int signal_number) const {
    std::ifstream status("/proc/" + std::to_string(program_pid_) + "/status");
    // Signals sent to a process wait in the set shared by its threads, a hexadecimal mask.
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("ShdPnd:")) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (signal_number - 1)) & 1U) != 0;
        }
    }
    return false;
}

void TerminalRun::read_available() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        vterm_input_write(vterm_, buffer, static_cast<std::size_t>(n));
    }
}

bool TerminalRun::wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        read_available();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pollfd fd{master_, POLLIN, 0};
        ::poll(&fd, 1, 10);
    }
}

void TerminalRun::pump(std::chrono::milliseconds duration) {
    wait_for([] { return false; }, duration);
}

std::optional<int> TerminalRun::wait_exit(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    wait_for(
        [this] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = decode_status(status);
            }
            return status_.has_value();
        },
        timeout);
    read_available();
    return status_;
}

char32_t TerminalRun::cell(int row, int col) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
    return cell.chars[0] == 0 ? U' ' : static_cast<char32_t>(cell.chars[0]);
}

std::string TerminalRun::line(int row) const {
    std::string text;
    for (int col = 0; col < cols_; ++col) {
        text += utf8(cell(row, col));
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::string TerminalRun::screen() const {
    std::string text;
    for (int row = 0; row < rows_; ++row) {
        text += line(row) + "\n";
    }
    return text;
}

termios TerminalRun::attributes() const {
    termios now{};
    ::tcgetattr(slave_, &now);
    return now;
}

bool TerminalRun::terminal_nonblocking() const {
    return (::fcntl(slave_, F_GETFL) & O_NONBLOCK) != 0;
}

std::vector<std::string> playing_level(TemporaryDirectory& directory) {
    const std::string level =
        directory.write("level.pcm", std::string(std::size_t{30} * 8000 * 2, '\x40'));
    return {"-i", level, "--rate", "8000", "--channels", "1"};
}

std::vector<std::string> playing_noise(TemporaryDirectory& directory, int seconds) {
    std::string noise(static_cast<std::size_t>(seconds) * 8000 * 2, '\0');
    std::mt19937 random(15);
    for (char& byte : noise) {
        byte = static_cast<char>(random());
    }
    return {"-i", directory.write("noise.pcm", noise), "--rate", "8000", "--channels", "1"};
}

Launch asking_tput(TemporaryDirectory& directory, std::uint16_t rows, std::uint16_t cols,
                   bool hold) {
    directory.write("tput",
                    "#!/bin/sh\nhere='" + directory.path() +
                        "'\necho \"$1\" >> \"$here/asked\"\n"
                        "while [ ! -e \"$here/go\" ]; do sleep 0.01; done\n"
                        "if [ -s \"$here/go\" ]; then exit 1; fi\n"
                        "case \"$1\" in cols) echo " +
                        std::to_string(cols) + ";; lines) echo " + std::to_string(rows) +
                        ";; *) exit 1;; esac\n",
                    true);
    if (!hold) {
        directory.write("go", "");
    }
    Launch launch;
    launch.controlling_terminal = false;
    launch.output_file = directory.path() + "/picture";
    launch.environment = {{"PATH", directory.path() + ":" + std::getenv("PATH")}};
    return launch;
}

bool raw_mode_on(const TerminalRun& run) {
    const termios now = run.attributes();
    return (now.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

void expect_attributes_restored(const TerminalRun& run) {
    const termios now = run.attributes();
    const termios& before = run.original_attributes();
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_oflag, before.c_oflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
    EXPECT_EQ(now.c_lflag, before.c_lflag);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(now.c_cc), NCCS),
              std::string(reinterpret_cast<const char*>(before.c_cc), NCCS));
}

void expect_given_back(const TerminalRun& run) {
    EXPECT_TRUE(run.output().ends_with(leave_sequence)) << run.output();
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

void expect_message_after_restore(const TerminalRun& run, const std::string& message) {
    const std::size_t restored = run.output().rfind(leave_sequence);
    const std::size_t shown = run.output().find(message);
    ASSERT_NE(shown, std::string::npos) << run.output();
    ASSERT_NE(restored, std::string::npos) << run.output();
    EXPECT_LT(restored, shown);
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

DetachedResult run_detached(const std::string& binary, const std::vector<std::string>& args,
                            const std::string& input, std::chrono::milliseconds timeout) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    std::vector<std::string> argv_strings{binary};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<std::string> env_strings = environment_with();
    std::vector<char*> envp = pointers(env_strings);

    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        ::setsid(); // no controlling terminal from here on
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::string pending = input;
    int writer = in[1];
    if (pending.empty()) {
        ::close(writer);
        writer = -1;
    } else {
        set_nonblocking(writer);
    }

    DetachedResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool out_open = true;
    bool err_open = true;
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                         {err_open ? err[0] : -1, POLLIN, 0},
                         {writer, POLLOUT, 0}};
        ::poll(fds, 3, 20);
        char buffer[4096];
        const auto collect = [&buffer](int fd, std::string& text, bool& open) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
            } else {
                open = false;
            }
        };
        if (fds[0].revents) {
            collect(out[0], result.standard_output, out_open);
        }
        if (fds[1].revents) {
            collect(err[0], result.standard_error, err_open);
        }
        if (writer >= 0 && fds[2].revents) {
            const ssize_t n = ::write(writer, pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<std::size_t>(n));
            }
            if (n <= 0 || pending.empty()) {
                ::close(writer);
                writer = -1;
            }
        }
    }
    if (writer >= 0) {
        ::close(writer);
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    if (out_open || err_open) {
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid, &status, 0);
    result.status = decode_status(status).value_or(-1);
    return result;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tonalyx-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::write(const std::string& name, std::string_view content,
                                      bool executable) {
    std::string file = path_ + "/" + name;
    const int fd =
        ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, executable ? 0755 : 0644);
    if (fd < 0) {
        fail("create " + file);
    }
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n <= 0) {
            break;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fd);
    return file;
}

std::string TemporaryDirectory::read(const std::string& name) const {
    std::string content;
    const int fd = ::open((path_ + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

unsigned predicted_bin(int column, int columns, float log_power) {
    const float position = static_cast<float>(column) / static_cast<float>(columns);
    const float bin = std::pow(position, 0.8f * log_power) * 512.0f;
    if (!(bin >= 0.0f)) {
        return 0;
    }
    return bin >= 511.0f ? 511u : static_cast<unsigned>(bin);
}

int column_showing(unsigned bin, int columns, float log_power) {
    int found = -1;
    for (int column = 0; column < columns; ++column) {
        if (predicted_bin(column, columns, log_power) == bin) {
            if (found >= 0) {
                return -1;
            }
            found = column;
        }
    }
    return found;
}

Picture read_picture(const TerminalRun& run) {
    Picture picture;
    for (int col = 0; col < run.cols(); ++col) {
        int row = run.rows() - 1;
        int height = 0;
        for (; row >= 0 && run.cell(row, col) == full_block; --row) {
            height += 8;
        }
        if (row >= 0 && is_block(run.cell(row, col))) {
            height += static_cast<int>(run.cell(row, col) - U'\u2580');
            --row;
        }
        for (; row >= 0; --row) {
            const char32_t c = run.cell(row, col);
            if (c != U' ' && picture.fault.empty()) {
                picture.fault = "cell " + std::to_string(row) + "," + std::to_string(col) +
                                " shows " + utf8(c) + (is_block(c) ? " above a gap" : "");
            }
        }
        picture.heights.push_back(height);
    }
    return picture;
}

char32_t decode_utf8(const std::string& bytes, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
    if (length == 0 || at + length > bytes.size()) {
        length = 0;
        return 0;
    }
    char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1Fu) : (lead & 0x0Fu);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            length = 0;
            return 0;
        }
        c = (c << 6) | (byte(i) & 0x3Fu);
    }
    return c;
}

Writes parse_writes(const std::string& output, std::size_t from) {
    Writes writes;
    std::size_t at = from;
    const auto fail = [&](const std::string& what) {
        writes.fault = what + " at byte " + std::to_string(at) + ": " +
                       ::testing::PrintToString(output.substr(at, 24));
    };
    while (at < output.size() && writes.fault.empty()) {
        if (output[at] != '\x1b') {
            fail("text without a cursor position");
            break;
        }
        const std::size_t start = at;
        if (at + 1 >= output.size()) {
            break; // the rest of this sequence has not arrived yet
        }
        if (output[at + 1] != '[') {
            fail("unknown escape");
            break;
        }
        std::size_t end = at + 2;
        while (end < output.size() && (std::isdigit(static_cast<unsigned char>(output[end])) ||
                                       output[end] == ';' || output[end] == '?')) {
            ++end;
        }
        if (end >= output.size()) {
            break;
        }
        const std::string parameters = output.substr(at + 2, end - at - 2);
        const char final_byte = output[end];
        at = end + 1;
        if (final_byte == 'H') {
            const std::size_t separator = parameters.find(';');
            if (separator == std::string::npos || separator == 0 ||
                separator + 1 == parameters.size()) {
                at = start;
                fail("cursor position without row and column");
                break;
            }
            std::size_t length = 0;
            if (at >= output.size()) {
                break;
            }
            const char32_t c = decode_utf8(output, at, length);
            if (length == 0) {
                if (at + 3 > output.size()) {
                    break; // a glyph cut off by the end of what was read so far
                }
                fail("invalid UTF-8");
                break;
            }
            if (c != U' ' && !is_block(c)) {
                fail("a character that is neither a space nor a block");
                break;
            }
            writes.draws.push_back(Draw{std::stoi(parameters.substr(0, separator)),
                                        std::stoi(parameters.substr(separator + 1)), c, start});
            at += length;
        } else if (final_byte == 'J' && parameters == "2") {
            writes.clears.push_back(start);
        } else if (!((final_byte == 'h' || final_byte == 'l') &&
                     (parameters == "?1049" || parameters == "?25"))) {
            at = start;
            fail("unexpected control sequence");
        }
    }
    return writes;
}

std::string describe(const Picture& picture) {
    std::string text = "heights:";
    for (const int height : picture.heights) {
        text += " " + std::to_string(height);
    }
    return text + (picture.fault.empty() ? "" : "; " + picture.fault);
}

} // namespace e2e
