#include "terminal/terminal.hpp"

#include "terminal/output.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tonalyx {
namespace {

// The hook runs on whichever thread fails, then ends the process with the fatal status; after
// restoring, a crash goes on to the action that was in place before the hook.
TEST(RestoreHookDeathTest, AnEscapedExceptionIsFatalAndAFatalSignalStillEndsByThatSignal) {
    EXPECT_EXIT(
        {
            install_restore_hook();
            std::thread([] { throw std::runtime_error("reader broke"); }).join();
        },
        ::testing::ExitedWithCode(101), "fatal internal error: reader broke");
    EXPECT_EXIT(
        {
            std::signal(SIGABRT, SIG_DFL);
            install_restore_hook();
            std::raise(SIGABRT);
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

// In a forked child on the pseudo-terminal `slave`: takes the terminal, fills its output while
// it takes nothing, and lets an exception escape a thread. Never returns.
[[noreturn]] void fail_on_a_stalled_terminal(int slave) {
    if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) {
        ::_exit(2);
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        ::dup2(slave, fd);
    }
    OutputBuffer out(STDOUT_FILENO);
    TerminalSession session(out);
    install_restore_hook();
    ::tcflow(STDOUT_FILENO, TCOOFF);
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    ::fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
    const char filler[256] = {};
    while (::write(STDOUT_FILENO, filler, sizeof filler) > 0) {
    }
    ::fcntl(STDOUT_FILENO, F_SETFL, flags);
    std::thread([] { throw std::runtime_error("reader broke"); }).join();
    ::_exit(3);
}

// The attributes go back before the leave sequence, which waits for the stalled terminal: the
// user's settings are back at once, the report once the terminal takes output again.
TEST(RestoreHook, AnExceptionOnAStalledTerminalPutsTheAttributesBackFirst) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ::tcgetattr(slave, &before);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        fail_on_a_stalled_terminal(slave);
    }
    const auto cooked = [&] {
        termios now{};
        return ::tcgetattr(slave, &now) == 0 && now.c_lflag == before.c_lflag &&
               now.c_iflag == before.c_iflag;
    };
    // First raw mode, then the attributes back while the terminal still takes nothing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const bool until_cooked : {false, true}) {
        while (cooked() != until_cooked && std::chrono::steady_clock::now() < deadline) {
            ::poll(nullptr, 0, 1);
        }
    }
    EXPECT_TRUE(cooked());
    ::tcflow(slave, TCOON);
    std::string shown;
    int status = 0;
    for (bool ended = false;;) {
        char buffer[4096];
        pollfd readable{master, POLLIN, 0};
        if (::poll(&readable, 1, 10) == 1 && (readable.revents & POLLIN) != 0) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            shown.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (ended) {
            break; // ended, and all it wrote is read
        }
        ended = ended || ::waitpid(child, &status, WNOHANG) == child;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 101) << status;
    EXPECT_NE(shown.find("\x1b[?1049l\x1b[?25hfatal internal error: reader broke"),
              std::string::npos);
    ::close(master);
    ::close(slave);
}

} // namespace
} // namespace tonalyx
