#include "terminal/events.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// A readable wake-up descriptor ends a wait with no event ready; the wait is an hour long, and
// an alarm ends the child first if nothing else does. In a child of its own, on a new
// pseudo-terminal as its terminal.
TEST(EventSourceDeathTest, AReadableWakeDescriptorEndsTheWaitWithoutAnEvent) {
    EXPECT_EXIT(
        {
            int master = -1;
            int slave = -1;
            if (::setsid() < 0 || ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
                ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::dup2(slave, STDIN_FILENO) < 0) {
                std::exit(2);
            }
            SignalPipe signals;
            EventSource events(signals);
            events.set_wake_fd(::eventfd(1, EFD_CLOEXEC));
            ::alarm(30);
            std::exit(events.poll(std::chrono::hours(1)) ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace tonalyx
