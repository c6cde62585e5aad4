#include "terminal/signals.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>

namespace tonalyx {
namespace {

// The loop learns the first ending signal and the later of a stop and a continue, even when the
// parent left the signals blocked, and when a flood of resizes has filled the pipe.
TEST(SignalPipeDeathTest, KeepsWhatTheSignalsAskFromABlockedMaskAndThroughAFullPipe) {
    EXPECT_EXIT(
        {
            sigset_t blocked;
            sigemptyset(&blocked);
            for (const int signal_number : {SIGTSTP, SIGTERM, SIGWINCH, SIGCONT}) {
                sigaddset(&blocked, signal_number);
            }
            ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
            SignalPipe signals;
            if (::fcntl(signals.fd(), F_SETPIPE_SZ, 4096) <= 0) {
                std::_Exit(2);
            }
            for (int resize = 0; resize < 5000; ++resize) {
                std::raise(SIGWINCH);
            }
            for (const int signal_number : {SIGTSTP, SIGTERM, SIGCONT}) {
                std::raise(signal_number);
            }
            PendingSignals pending;
            signals.drain(pending);
            const bool kept = pending.termination == SIGTERM && pending.job_control == SIGCONT;
            std::_Exit(kept && pending.resize ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace tonalyx
