#include "terminal/terminal.hpp"

#include "common/errors.hpp"
#include "common/spawn.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

constexpr std::string_view enter_sequence = "\x1b[?1049h\x1b[?25l";
// Leaving the alternate screen also shows the cursor again, so the shell gets it back.
constexpr std::string_view leave_sequence = "\x1b[?1049l\x1b[?25h";

// The attributes from before raw mode, and their device while raw mode is on (-1 otherwise),
// changed under the lock; the signal handlers read the attributes once `saved_device` is set.
std::mutex saved_mutex;
termios saved_attributes{};
std::atomic<int> saved_device{-1};

// Whether the alternate screen is on: true from entering it until something leaves it.
std::atomic<bool> screen_active{false};

// Standard output's status flags from before the run made it blocking (the open file description
// is shared with whoever started the program), or -1 when they were left alone.
std::atomic<int> saved_output_flags{-1};

// How long a signal handler waits for a busy terminal to take the leave sequence.
constexpr int leave_wait_ms = 200;

// The fatal-error hook.
constexpr int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction previous_actions[std::size(fatal_signals)];

std::error_code last_error() {
    return {errno, std::generic_category()};
}

void write_fully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Leaves the alternate screen if it is on. It counts as on until the write is done, so that a
// signal handler that comes while this waits on a stalled terminal still leaves it itself.
void leave_screen() {
    if (screen_active) {
        write_fully(STDOUT_FILENO, leave_sequence);
        screen_active = false;
    }
}

// Puts standard output's flags back if the run changed them. Async-signal-safe.
void restore_output_flags() {
    if (const int flags = saved_output_flags.exchange(-1); flags >= 0) {
        ::fcntl(STDOUT_FILENO, F_SETFL, flags);
    }
}

// Makes standard output blocking: left non-blocking by another program, a busy terminal would
// refuse the picture.
void make_output_blocking() {
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0 &&
        ::fcntl(STDOUT_FILENO, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        saved_output_flags = flags;
    }
}

long milliseconds_since(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
}

// Writes `bytes` to the terminal on standard output from a signal handler within leave_wait_ms,
// through a non-blocking open file description of its own, pausing between attempts (poll may
// call a flow-stopped terminal writable). False when standard output is no terminal or /proc is
// missing. Only async-signal-safe calls.
bool write_within_wait(std::string_view bytes) {
    termios unused{};
    if (::tcgetattr(STDOUT_FILENO, &unused) != 0) {
        return false;
    }
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
                   milliseconds_since(start) >= leave_wait_ms) {
            break;
        } else {
            ::poll(nullptr, 0, 5); // a pause: the terminal is busy
        }
    }
    ::close(fd);
    return true;
}

void on_fatal_signal(int signal_number, siginfo_t*, void*) {
    const int saved_errno = errno;
    end_child_group();
    restore_terminal_without_waiting();
    // Hand the signal to whoever had it before (the default action, or a sanitizer's handler):
    // it stays blocked until this handler returns, then arrives under the previous action.
    for (std::size_t i = 0; i < std::size(fatal_signals); ++i) {
        if (fatal_signals[i] == signal_number) {
            ::sigaction(signal_number, &previous_actions[i], nullptr);
        }
    }
    ::raise(signal_number);
    errno = saved_errno;
}

// Runs `tput <capability>` and reads the number it prints.
std::optional<std::uint16_t> tput_number(const char* capability, std::error_code& error) {
    const StartedChild child =
        start_child({"tput", capability}, own_environment(),
                    {ChildStream::inherited, ChildStream::pipe, ChildStream::inherited});
    if (child.error != 0) {
        error = {child.error, std::generic_category()};
        return std::nullopt;
    }
    std::string text;
    char buffer[64];
    for (ssize_t n = 0; (n = ::read(child.pipes[STDOUT_FILENO].get(), buffer, sizeof buffer));) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    text.erase(text.find_last_not_of("\n ") + 1); // all of it when it is only blanks
    std::uint16_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || result.ec != std::errc() ||
        result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Raw mode made from the attributes the user had.
termios raw_attributes(const termios& original) {
    termios raw = original;
    raw.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return raw;
}

// The terminal device: standard input when it answers the window-size request, else "/dev/tty",
// opened into `opened`. Throws FatalError when there is none.
int find_device(UniqueFd& opened) {
    winsize size{};
    if (::ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0) {
        return STDIN_FILENO;
    }
    opened.reset(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!opened) {
        throw FatalError("failed to enable raw mode", errno);
    }
    return opened.get();
}

// Switches `device` to raw mode made from the saved attributes, saving them first if none are;
// the descriptor must stay open while they are saved.
std::error_code enter_raw_mode(int device) {
    std::lock_guard lock(saved_mutex);
    termios original = saved_attributes;
    if (saved_device < 0 && ::tcgetattr(device, &original) != 0) {
        return last_error();
    }
    const termios raw = raw_attributes(original);
    if (::tcsetattr(device, TCSANOW, &raw) != 0) {
        return last_error();
    }
    saved_attributes = original;
    saved_device = device;
    return {};
}

// Puts the saved attributes back, if any, and once they are back forgets them if `forget` says
// so. Errors are ignored.
void put_back_attributes(bool forget) {
    std::lock_guard lock(saved_mutex);
    if (const int device = saved_device;
        device >= 0 && ::tcsetattr(device, TCSANOW, &saved_attributes) == 0 && forget) {
        saved_device = -1;
    }
}

// Makes standard output blocking, then enters the alternate screen through `out` and flushes.
std::error_code take_screen(OutputBuffer& out) {
    make_output_blocking();
    screen_active = true;
    const std::error_code error = out.write(enter_sequence);
    return error ? error : out.flush();
}

// The one restore behind every way out: the attributes first, so that a terminal that takes no
// output still gets its modes back, then the screen. A second call does nothing.
void restore_terminal() {
    put_back_attributes(true);
    leave_screen();
}

[[noreturn]] void on_terminate() {
    end_child_group();
    restore_terminal();
    std::string what = "unknown exception";
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
        }
    }
    std::fprintf(stderr, "fatal internal error: %s\n", what.c_str());
    std::fflush(stderr);
    restore_output_flags();
    std::_Exit(101);
}

} // namespace

void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is this one, as the ones below it are open by now. It is
        // opened read-only: standard input then reads as an empty stream, and writes to
        // standard output or error still fail as on a closed descriptor instead of vanishing.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != fd) {
            ::close(opened);
        }
    }
}

void restore_terminal_without_waiting() {
    // On the device raw mode was set on: nothing is opened.
    if (const int device = saved_device.exchange(-1); device >= 0) {
        ::tcsetattr(device, TCSANOW, &saved_attributes);
    }
    if (screen_active.exchange(false) && !write_within_wait(leave_sequence)) {
        // Not a terminal: a file or pipe that has room takes the bytes at once.
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&output, 1, 0) == 1 && (output.revents & POLLOUT) != 0) {
            write_fully(STDOUT_FILENO, leave_sequence);
        }
    }
    restore_output_flags();
}

std::error_code terminal_size(int device, TerminalSize& size, TputFallback tput) {
    winsize window{};
    std::error_code error =
        ::ioctl(device, TIOCGWINSZ, &window) == 0 ? std::error_code{} : last_error();
    if (!error && (window.ws_row != 0 || window.ws_col != 0)) {
        size = {window.ws_row, window.ws_col};
        return {};
    }
    if (tput == TputFallback::allowed) {
        const std::optional<std::uint16_t> cols = tput_number("cols", error);
        const std::optional<std::uint16_t> rows = cols ? tput_number("lines", error) : cols;
        if (rows) {
            size = {*rows, *cols};
            return {};
        }
    }
    return error ? error : std::make_error_code(std::errc::no_message_available);
}

bool terminal_hung_up() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        winsize size{};
        if (::ioctl(fd, TIOCGWINSZ, &size) != 0 && errno == EIO) {
            return true;
        }
    }
    return false;
}

std::string unsupported_terminal_type(const char* term) {
    const std::string_view type = term == nullptr ? "" : term;
    if (!type.empty() && type != "dumb") {
        return {};
    }
    return std::string("error: TERM is ") + (type.empty() ? "not set" : "\"dumb\"") +
           ": the picture needs a terminal that understands xterm's control sequences\n";
}

TerminalSession::TerminalSession(OutputBuffer& out) : out_(out), device_(find_device(opened_)) {
    if (const std::error_code error = enter_raw_mode(device_)) {
        throw FatalError("failed to enable raw mode", error.value());
    }
    if (const std::error_code error = take_screen(out_)) {
        // No hook yet to restore the terminal, so give the attributes back here: a shell left
        // in raw mode is unusable.
        screen_active = false;
        put_back_attributes(true);
        restore_output_flags();
        throw FatalError("failed to initialize terminal", error.value());
    }
}

TerminalSession::~TerminalSession() {
    leave();
    restore_output_flags();
}

void TerminalSession::leave() {
    // The picture still buffered goes out before the screen is left.
    (void)out_.flush();
    restore_terminal();
}

void TerminalSession::suspend() {
    (void)out_.flush();
    leave_screen();
    restore_output_flags();
    // The attributes stay saved: they are the user's, and raw mode is made from them again.
    put_back_attributes(false);
}

void TerminalSession::resume() {
    // After leave() nothing is saved, and nothing is taken again.
    if (saved_device < 0) {
        return;
    }
    (void)enter_raw_mode(device_);
    (void)take_screen(out_);
}

void install_restore_hook() {
    std::set_terminate(on_terminate);
    for (std::size_t i = 0; i < std::size(fatal_signals); ++i) {
        struct sigaction action {};
        action.sa_sigaction = on_fatal_signal;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(fatal_signals[i], &action, &previous_actions[i]);
    }
}

} // namespace tonalyx
