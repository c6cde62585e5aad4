#include "terminal/events.hpp"

#include "common/unique_fd.hpp"
#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <sys/eventfd.h>

namespace tonalyx {
namespace {

// A readable wake-up descriptor in either place ends a 20 s wait at once (the bound of 10 s is
// far above the microseconds it takes), without an event from the terminal, a silent pipe.
TEST(EventSource, AReadableWakeDescriptorEndsTheWaitWithoutAnEvent) {
    const TestPipe terminal;
    SignalPipe signals;
    EventSource events(signals, terminal.read_end.get());
    for (const std::size_t place : {0u, 1u}) {
        const UniqueFd wake(::eventfd(1, EFD_CLOEXEC));
        std::array<int, 2> fds = {-1, -1};
        fds.at(place) = wake.get();
        events.set_wake_fds(fds);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(events.poll(std::chrono::seconds(20))) << place;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << place;
    }
}

} // namespace
} // namespace tonalyx
