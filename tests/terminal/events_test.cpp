#include "terminal/events.hpp"

#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tonalyx {
namespace {

// Waits an hour for an event with a readable wake-up descriptor in either place; 0 when both
// waits end at once without an event. The terminal is a pipe that sends nothing.
int wait_with_readable_wake_fds() {
    const TestPipe terminal;
    SignalPipe signals;
    EventSource events(signals, terminal.read_end.get());
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
