// Signals and hang-ups on the real binary: a signal that ends a program from outside gives the
// terminal back and then ends it by that signal, even during start-up; a stop gives the terminal
// back and a continue takes it again with a full redraw; a hang-up ends it even with SIGHUP
// ignored.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>

namespace e2e {
namespace {

constexpr char32_t full_block = U'\u2588';

// The terminal is as the user left it, and the last thing written gave the screen back.
void expect_given_back(const TerminalRun& run) {
    EXPECT_TRUE(run.output().ends_with(leave_sequence)) << run.output();
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

TEST(Signals, EachEndingSignalGivesTheTerminalBackThenEndsTheProcessByIt) {
    for (const int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal_number));
        TerminalRun run(tonalyx_binary(), idle_pipe());
        ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run) && run.alternate_screen(); }));
        run.send_signal(signal_number);
        EXPECT_EQ(run.wait_exit(), 128 + signal_number);
        expect_given_back(run);
    }
}

TEST(Signals, OneDuringStartUpWaitsForTheLoopAndStillGivesTheTerminalBack) {
    // Without a terminal to ask, start-up asks `tput` for the size once it has taken the
    // terminal; this one holds start-up there until it is told to answer.
    TemporaryDirectory directory;
    TerminalRun run(tonalyx_binary(), asking_tput(directory, 24, 80, true));
    ASSERT_TRUE(run.wait_for([&] { return !directory.read("asked").empty(); }));
    EXPECT_TRUE(raw_mode_on(run));
    run.send_signal(SIGTERM);
    run.pump(100ms);
    directory.write("go", "");
    EXPECT_EQ(run.wait_exit(), 128 + SIGTERM);
    const std::string picture = directory.read("picture");
    EXPECT_TRUE(picture.starts_with(enter_sequence)) << picture;
    EXPECT_TRUE(picture.ends_with(leave_sequence)) << picture;
    expect_attributes_restored(run);
}

TEST(Signals, AStopGivesTheTerminalBackAndAContinueTakesItAgainWithAFullRedraw) {
    TemporaryDirectory directory;
    // Half a minute of a constant level, played in real time: column 0 stands at full height,
    // its lower cells never change, so only a full redraw writes them again.
    const std::string level =
        directory.write("level.pcm", std::string(std::size_t{30} * 8000 * 2, '\x40'));
    for (const int stop : {SIGTSTP, SIGSTOP}) {
        SCOPED_TRACE(strsignal(stop));
        Launch launch;
        launch.args = {"-i", level, "--rate", "8000", "--channels", "1"};
        launch.job_control = true;
        TerminalRun run(tonalyx_binary(), launch);
        const int bottom = run.rows() - 1;
        ASSERT_TRUE(run.wait_for([&] { return run.cell(bottom, 0) == full_block; }))
            << run.screen();

        run.send_signal(stop);
        ASSERT_TRUE(run.wait_for([&] { return run.stopped(); }));
        run.pump(0ms);
        if (stop == SIGTSTP) {
            expect_given_back(run);
        }
        // While a job is stopped, its shell puts the terminal in its own modes.
        run.reset_attributes();

        const std::size_t mark = run.output().size();
        run.send_signal(SIGCONT);
        ASSERT_TRUE(run.wait_for([&] {
            return raw_mode_on(run) && run.alternate_screen() && !run.cursor_visible() &&
                   run.output().find("\x1b[2J", mark) != std::string::npos &&
                   run.cell(bottom, 0) == full_block;
        })) << run.output().substr(mark);

        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
        expect_given_back(run);
    }
}

TEST(Signals, AHangUpEndsTheProgramBySIGHUPOrWithItIgnoredAsAQuitDoes) {
    const std::pair<bool, int> cases[] = {{false, 128 + SIGHUP}, {true, 0}};
    for (const auto& [ignored, status] : cases) {
        SCOPED_TRACE(ignored ? "SIGHUP ignored" : "SIGHUP default");
        Launch launch = idle_pipe();
        if (ignored) {
            launch.ignored_signals = {SIGHUP};
        }
        TerminalRun run(tonalyx_binary(), launch);
        // Once a bar is drawn the frame loop runs: a hang-up before would fail start-up.
        ASSERT_TRUE(run.feed(std::string(9600, '\x40')));
        ASSERT_TRUE(run.wait_for([&] { return run.cell(run.rows() - 1, 0) != U' '; }));
        run.hang_up();
        EXPECT_EQ(run.wait_exit(), status);
    }
}

} // namespace
} // namespace e2e
