#include "terminal/signals.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace tonalyx {
namespace {

// The loop learns the first ending signal and the later of a stop and a continue.
TEST(SignalPipe, QueuesWhatTheCaughtSignalsAskOfTheLoop) {
    SignalPipe signals;
    ASSERT_GE(signals.fd(), 0);
    for (const int signal_number : {SIGTSTP, SIGTERM, SIGWINCH, SIGCONT}) {
        std::raise(signal_number);
    }
    PendingSignals pending;
    signals.drain(pending);
    EXPECT_EQ(pending.termination, SIGTERM);
    EXPECT_EQ(pending.job_control, SIGCONT);
    EXPECT_TRUE(pending.resize);
}

// Under nohup SIGHUP stays ignored; a second ending signal does not wait for the loop.
TEST(SignalPipeDeathTest, AnIgnoredSignalStaysIgnoredAndASecondEndingSignalEndsAtOnce) {
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            SignalPipe signals;
            std::raise(SIGHUP);
            std::raise(SIGTERM);
            PendingSignals pending;
            signals.drain(pending);
            if (signals.catches(SIGHUP) || pending.termination != SIGTERM) {
                std::_Exit(1);
            }
            std::raise(SIGINT);
            std::_Exit(2);
        },
        ::testing::KilledBySignal(SIGINT), "");
}

} // namespace
} // namespace tonalyx
