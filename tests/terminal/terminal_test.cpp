#include "terminal/terminal.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <thread>

namespace tonalyx {
namespace {

// The hook must run on whichever thread fails, then end the process with the fatal status.
TEST(RestoreHookDeathTest, AnExceptionEscapingAnyThreadIsAFatalError) {
    EXPECT_EXIT(
        {
            install_restore_hook();
            std::thread([] { throw std::runtime_error("reader broke"); }).join();
        },
        ::testing::ExitedWithCode(101), "fatal internal error: reader broke");
}

// After restoring, the crash goes on to the action that was in place before the hook.
TEST(RestoreHookDeathTest, AFatalSignalStillEndsTheProcessByThatSignal) {
    EXPECT_EXIT(
        {
            std::signal(SIGABRT, SIG_DFL);
            install_restore_hook();
            std::raise(SIGABRT);
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

} // namespace
} // namespace tonalyx
