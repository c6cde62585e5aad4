#include "harness.hpp"

#include "common/utf8.hpp"

#include <gtest/gtest.h>
#include <vterm.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
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
#include <tuple>
#include <unistd.h>
#include <utmp.h>

namespace e2e {
namespace {

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A pipe whose ends close on exec: read end first.
std::pair<UniqueFd, UniqueFd> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::string utf8(char32_t c) {
    char bytes[4];
    return {bytes, tonalyx::encode_utf8(c, bytes)};
}

std::string read_whole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool is_block(char32_t c) {
    return c >= U'\u2581' && c <= full_block;
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

// In the forked child (the test process has no other thread, so it may allocate): the standard
// streams and the session, then the job, the audio input, the output file, the signals and the
// environment as the launch asks.
void become_program(const Launch& launch, int slave, int audio_read, int output, int report_fd) {
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
    }
    if (output >= 0) {
        ::dup2(output, STDOUT_FILENO);
    }
    if (launch.nonblocking_terminal) {
        set_nonblocking(STDERR_FILENO);
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
    ::setenv("TERM", "xterm-256color", 1);
    for (const auto& [name, value] : launch.environment) {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    // Only the three streams, whatever the test runner left open: the tests count descriptors.
    ::close_range(3, ~0U, 0);
}

// Takes the control sequence at `at` of `output` apart into `writes`: a cursor position with the
// cell drawn after it, a clear or one of the set-up sequences. The offset after it; npos when it
// is cut off by the end of the output, or wrong (then in writes.fault).
std::size_t parse_sequence(const std::string& output, std::size_t at, Writes& writes) {
    const auto fail = [&](const std::string& what, std::size_t where) {
        writes.fault = what + " at byte " + std::to_string(where) + ": " +
                       ::testing::PrintToString(output.substr(where, 24));
        return std::string::npos;
    };
    if (output.compare(at, 2, "\x1b[", std::min<std::size_t>(2, output.size() - at)) != 0) {
        return fail("text without a cursor position, or an unknown escape", at);
    }
    const std::size_t end = output.find_first_not_of("0123456789;?", at + 2);
    if (at + 2 > output.size() || end == std::string::npos) {
        return std::string::npos;
    }
    const std::string parameters = output.substr(at + 2, end - at - 2);
    const std::string sequence = parameters + output[end];
    if (sequence == "2J") {
        writes.clears.push_back(at);
        return end + 1;
    }
    if (sequence == "?1049h" || sequence == "?1049l" || sequence == "?25h" || sequence == "?25l") {
        return end + 1;
    }
    int row = 0;
    int col = 0;
    char extra = 0;
    if (output[end] != 'H' || std::sscanf(parameters.c_str(), "%d;%d%c", &row, &col, &extra) != 2) {
        return fail("unexpected control sequence", at);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(output.data()) + end + 1;
    const std::size_t length = end + 1 < output.size() ? tonalyx::utf8_length(bytes[0]) : 1;
    if (end + 1 + length > output.size()) {
        return std::string::npos; // a glyph cut off by the end of what was read so far
    }
    const std::optional<char32_t> c =
        length == 0 ? std::nullopt : tonalyx::decode_utf8(bytes, length);
    if (!c || (*c != U' ' && !is_block(*c))) {
        return fail("invalid UTF-8, or neither a space nor a block", end + 1);
    }
    writes.draws.push_back(Draw{row, col, *c, at});
    return end + 1 + length;
}

} // namespace

std::string tonalyx_binary() {
    return TONALYX_BINARY;
}

TerminalRun::TerminalRun(const std::string& binary, const Launch& launch)
    : rows_(launch.rows), cols_(launch.cols) {
    std::signal(SIGPIPE, SIG_IGN);
    // The kernel's own attributes for a new pseudo-terminal: an ordinary cooked terminal.
    int master = -1;
    int slave = -1;
    winsize size{launch.rows, launch.cols, 0, 0};
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        fail("openpty");
    }
    master_.reset(master);
    slave_.reset(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::tcgetattr(slave, &original_);
    auto [audio_read, audio_write] = launch.audio_pipe ? make_pipe() : decltype(make_pipe()){};
    audio_ = std::move(audio_write);
    if (launch.output_to_file) {
        std::string name = (std::filesystem::temp_directory_path() / "tonalyx-e2e-XXXXXX").string();
        output_file_.reset(::mkostemp(name.data(), O_CLOEXEC));
        ::unlink(name.c_str()); // read through the descriptor, gone with it
    }
    start_program(binary, launch, std::move(audio_read));
    set_nonblocking(master_.get());
    if (audio_) {
        set_nonblocking(audio_.get());
    }

    vterm_ = vterm_new(std::max(rows_, 1), std::max(cols_, 1));
    vterm_set_utf8(vterm_, 1);
    screen_ = vterm_obtain_screen(vterm_);
    static VTermScreenCallbacks callbacks{};
    callbacks.settermprop = [](VTermProp property, VTermValue* value, void* self) {
        auto* run = static_cast<TerminalRun*>(self);
        if (property == VTERM_PROP_ALTSCREEN) {
            run->alternate_screen_ = value->boolean != 0;
        } else if (property == VTERM_PROP_CURSORVISIBLE) {
            run->cursor_visible_ = value->boolean != 0;
        }
        return 1;
    };
    vterm_screen_set_callbacks(screen_, &callbacks, this);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);
}

void TerminalRun::start_program(const std::string& binary, const Launch& launch,
                                UniqueFd audio_read) {
    std::vector<std::string> args{binary};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](std::string& arg) { return arg.data(); });
    auto [report_read, report_write] = launch.job_control ? make_pipe() : decltype(make_pipe()){};
    pid_ = ::fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        // A job's parent lives on without exec: the terminal must not keep a master open there.
        ::close(master_.get());
        become_program(launch, slave_.get(), audio_read.get(), output_file_.get(),
                       report_write.get());
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    program_pid_ = pid_;
    report_write.reset();
    if (launch.job_control) {
        // Stays pid_ when the job could not be started.
        [[maybe_unused]] const ssize_t n =
            ::read(report_read.get(), &program_pid_, sizeof program_pid_);
    }
}

TerminalRun::~TerminalRun() {
    if (!status_ && pid_ > 0) {
        ::kill(program_pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    vterm_free(vterm_);
}

std::string TerminalRun::standard_output() const {
    return output_file_ ? read_whole("/proc/self/fd/" + std::to_string(output_file_.get()))
                        : output_;
}

bool TerminalRun::put(const UniqueFd& fd, std::string_view bytes) {
    bool broken = false;
    return wait_for([&] {
               const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
               bytes.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
               broken = n < 0 && errno != EAGAIN;
               return bytes.empty() || broken;
           }) &&
           !broken;
}

bool TerminalRun::wait_typed_read() {
    return wait_for([this] {
        int unread = 0;
        return ::ioctl(slave_.get(), FIONREAD, &unread) == 0 && unread == 0;
    });
}

void TerminalRun::resize(std::uint16_t rows, std::uint16_t cols) {
    read_available();
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vterm_, rows, cols);
    const winsize size{rows, cols, 0, 0};
    ::ioctl(master_.get(), TIOCSWINSZ, &size);
}

void TerminalRun::send_signal(int signal_number) {
    ::kill(program_pid_, signal_number);
}

void TerminalRun::stall_output(bool stalled) {
    ::tcflow(slave_.get(), stalled ? TCOOFF : TCOON);
}

void TerminalRun::hang_up() {
    read_available();
    master_.reset();
}

void TerminalRun::reset_attributes() {
    ::tcsetattr(slave_.get(), TCSANOW, &original_);
}

bool TerminalRun::signal_pending(int signal_number) const {
    // Signals sent to a process wait in the set shared by its threads, a hexadecimal mask.
    const std::string status = read_whole("/proc/" + std::to_string(program_pid_) + "/status");
    const std::size_t at = status.find("ShdPnd:");
    return at != std::string::npos &&
           ((std::stoull(status.substr(at + 7), nullptr, 16) >> (signal_number - 1)) & 1U) != 0;
}

void TerminalRun::read_available() {
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(master_.get(), buffer, sizeof buffer)) > 0) {
        output_.append(buffer, static_cast<std::size_t>(n));
        vterm_input_write(vterm_, buffer, static_cast<std::size_t>(n));
    }
}

bool TerminalRun::wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        read_available();
        if (done()) {
            // What the program wrote before the state `done` saw, say before it stopped.
            read_available();
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pollfd fd{master_.get(), POLLIN, 0};
        ::poll(&fd, 1, 10);
    }
}

std::optional<int> TerminalRun::wait_exit(std::chrono::milliseconds timeout) {
    wait_for(
        [this] {
            int status = 0;
            if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFSIGNALED(status) ? killed_by(WTERMSIG(status)) : WEXITSTATUS(status);
            }
            return status_.has_value();
        },
        timeout);
    return status_;
}

char32_t TerminalRun::cell(int row, int col) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
    return cell.chars[0] == 0 ? U' ' : static_cast<char32_t>(cell.chars[0]);
}

std::string TerminalRun::screen() const {
    std::string text;
    for (int row = 0; row < rows_; ++row) {
        std::string line;
        for (int col = 0; col < cols_; ++col) {
            line += utf8(cell(row, col));
        }
        text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}

termios TerminalRun::attributes() const {
    termios now{};
    ::tcgetattr(slave_.get(), &now);
    return now;
}

bool TerminalRun::terminal_nonblocking() const {
    return (::fcntl(slave_.get(), F_GETFL) & O_NONBLOCK) != 0;
}

char process_state(pid_t pid) {
    const std::string text = read_whole("/proc/" + std::to_string(pid) + "/stat");
    // The state follows the command name, which is in parentheses and may hold anything.
    const std::size_t name_end = text.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= text.size() ? '\0' : text[name_end + 2];
}

TemporaryDirectory::TemporaryDirectory() {
    path_ = (std::filesystem::temp_directory_path() / "tonalyx-e2e-XXXXXX").string();
    if (::mkdtemp(path_.data()) == nullptr) {
        fail("mkdtemp");
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::write(const std::string& name, std::string_view content) {
    std::string file = path_ + "/" + name;
    std::ofstream(file + ".new", std::ios::binary) << content;
    std::filesystem::rename(file + ".new", file);
    return file;
}

std::string TemporaryDirectory::script(const std::string& name, const std::string& body) {
    std::string file = write(name, "#!/bin/sh\nhere='" + path_ + "'\n" + body);
    std::filesystem::permissions(file, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    return file;
}

std::string TemporaryDirectory::read(const std::string& name) const {
    return read_whole(path_ + "/" + name);
}

pid_t TemporaryDirectory::pid_in(const std::string& name) const {
    const std::string text = read(name);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

std::vector<std::string> playing_level(TemporaryDirectory& directory) {
    const std::string level =
        directory.write("level.pcm", std::string(std::size_t{30} * 8000 * 2, '\x40'));
    return {"-i", level, "--rate", "8000", "--channels", "1"};
}

std::vector<std::string> playing_noise(TemporaryDirectory& directory, int seconds) {
    std::string noise(static_cast<std::size_t>(seconds) * 8000 * 2, '\0');
    std::mt19937 random(15);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<char>(random()); });
    return {"-i", directory.write("noise.pcm", noise), "--rate", "8000", "--channels", "1"};
}

Launch asking_tput(TemporaryDirectory& directory, bool hold) {
    directory.script("tput", "echo \"$1\" >> \"$here/asked\"\n"
                             "while [ ! -e \"$here/go\" ]; do sleep 0.01; done\n"
                             "if [ -s \"$here/go\" ]; then exit 1; fi\n"
                             "case \"$1\" in cols) echo 77;; lines) echo 9;; *) exit 1;; esac\n");
    if (!hold) {
        directory.write("go", "");
    }
    return Launch{.rows = 0,
                  .cols = 0,
                  .environment = {{"PATH", directory.path() + ":" + std::getenv("PATH")}},
                  .output_to_file = true};
}

bool raw_mode_on(const TerminalRun& run) {
    return (run.attributes().c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

void expect_attributes_restored(const TerminalRun& run) {
    const auto fields = [](const termios& t) {
        return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, std::to_array(t.c_cc));
    };
    EXPECT_EQ(fields(run.attributes()), fields(run.original_attributes()));
}

void expect_given_back(const TerminalRun& run) {
    EXPECT_TRUE(run.standard_output().ends_with(leave_sequence)) << run.standard_output();
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

void expect_message_after_restore(const TerminalRun& run, const std::string& message) {
    const std::size_t restored = run.output().rfind(leave_sequence);
    const std::size_t shown = run.output().find(message);
    EXPECT_TRUE(restored != std::string::npos && shown != std::string::npos && restored < shown)
        << run.output();
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

int column_showing(unsigned bin, int columns, float log_power) {
    int found = -1;
    for (int column = 0; column < columns; ++column) {
        const float position = static_cast<float>(column) / static_cast<float>(columns);
        const float shown = std::min(std::pow(position, 0.8f * log_power) * 512.0f, 511.0f);
        if (static_cast<unsigned>(shown) == bin) {
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

std::string describe(const Picture& picture) {
    std::string text = "heights:";
    for (const int height : picture.heights) {
        text += " " + std::to_string(height);
    }
    return text + (picture.fault.empty() ? "" : "; " + picture.fault);
}

Writes parse_writes(const std::string& output, std::size_t from) {
    Writes writes;
    for (std::size_t at = from; at < output.size();) {
        at = parse_sequence(output, at, writes);
    }
    return writes;
}

} // namespace e2e
