#include "terminal/events.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// Waits an hour for an event, first with a readable wake-up descriptor in the first place, then
// in the second; 0 when both waits end at once without an event. On a new pseudo-terminal as its
// terminal, in a new session.
int wait_with_readable_wake_fds() {
    int master = -1;
    int slave = -1;
    if (::setsid() < 0 || ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
        ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::dup2(slave, STDIN_FILENO) < 0) {
        return 2;
    }
    SignalPipe signals;
    EventSource events(signals, STDIN_FILENO);
    for (const std::size_t place : {0u, 1u}) {
        std::array<int, 2> fds = {-1, -1};
        fds.at(place) = ::eventfd(1, EFD_CLOEXEC);
        events.set_wake_fds(fds);
        if (events.poll(std::chrono::hours(1))) {
            return 1;
        }
    }
    return 0;
}

// In a child of its own, which an alarm ends if a wait does not end.
TEST(EventSourceDeathTest, AReadableWakeDescriptorEndsTheWaitWithoutAnEvent) {
    EXPECT_EXIT(
        {
            ::alarm(30);
            std::exit(wait_with_readable_wake_fds());
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace tonalyx
