// Signals and hang-ups on the real binary: a signal that ends a program from outside gives the
// terminal back and then ends it by that signal, even during start-up, from a blocked mask or
// on a terminal that takes nothing; a stop gives the terminal back and a continue takes it again
// with a full redraw; a hang-up ends it even with SIGHUP ignored, even during start-up.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {
namespace {

// The handled signals, as a parent's mask may leave them blocked.
const std::vector<int> handled_signals = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGWINCH};

// An ending signal gives the terminal back, then ends the process by it: from a parent's mask
// that blocks every handled signal too, and during start-up, where it waits for the loop. A
// hang-up ends it by SIGHUP, or with SIGHUP ignored as a quit does. On a terminal that answers
// 0 x 0, start-up asks `tput` for the size once it has taken the terminal; this one holds
// start-up there until it is told to answer, or to fail once the terminal has hung up.
TEST(Signals, AnEndingSignalOrAHangUpEndsTheProgramEvenDuringStartUp) {
    constexpr int hang_up = 0;
    struct Case {
        const char* name;
        int signal_number; // or hang_up
        int status;
        bool starting = false;
        std::vector<int> blocked{};
        std::vector<int> ignored{};
        bool job_control = false;
    };
    const Case cases[] = {
        {"SIGTERM, blocked", SIGTERM, killed_by(SIGTERM), false, handled_signals},
        {"SIGHUP, blocked", SIGHUP, killed_by(SIGHUP), false, handled_signals},
        {"SIGINT", SIGINT, killed_by(SIGINT)},
        {"SIGQUIT", SIGQUIT, killed_by(SIGQUIT)},
        {"SIGTERM, starting", SIGTERM, killed_by(SIGTERM), true},
        {"hang-up", hang_up, killed_by(SIGHUP)},
        {"hang-up, SIGHUP ignored", hang_up, 0, false, {}, {SIGHUP}},
        // Not the session leader: the kernel sends it no SIGHUP, it ends by one of its own.
        {"hang-up of a job", hang_up, killed_by(SIGHUP), false, {}, {}, true},
        {"hang-up, starting", hang_up, killed_by(SIGHUP), true},
        {"hang-up, starting, SIGHUP ignored", hang_up, 0, true, {}, {SIGHUP}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TemporaryDirectory directory;
        Launch launch = test.starting ? asking_tput(directory, true) : idle_pipe();
        launch.blocked_signals = test.blocked;
        launch.ignored_signals = test.ignored;
        launch.job_control = test.job_control;
        TerminalRun run(tonalyx_binary(), launch);
        // A hang-up comes once a bar is drawn, when the frame loop runs.
        ASSERT_TRUE(test.starting || test.signal_number != hang_up ||
                    run.feed(std::string(9600, '\x40')));
        ASSERT_TRUE(run.wait_for([&] {
            if (test.starting) {
                return !directory.read("asked").empty() && raw_mode_on(run);
            }
            return test.signal_number == hang_up ? run.cell(run.rows() - 1, 0) != U' ' : taken(run);
        }));
        if (test.signal_number == hang_up) {
            run.hang_up();
            directory.write("go", "fail");
        } else {
            run.send_signal(test.signal_number);
            run.pump(100ms);
            directory.write("go", "");
        }
        EXPECT_EQ(run.wait_exit(), test.status);
        if (test.signal_number != hang_up) {
            EXPECT_TRUE(run.standard_output().starts_with(enter_sequence));
            expect_given_back(run);
        }
    }
}

// A second ending signal does not wait for the loop, whose output a stalled terminal holds up: it
// gives the attributes back at once, and the screen too when the terminal takes output again
// within a moment.
TEST(Signals, ASecondEndingSignalEndsAtOnceOnAStalledTerminal) {
    TemporaryDirectory directory;
    for (const bool resumes : {true, false}) {
        SCOPED_TRACE(resumes ? "resumes" : "stays stalled");
        TerminalRun run(tonalyx_binary(), {.args = playing_noise(directory, 30)});
        ASSERT_TRUE(run.wait_for([&] { return !read_picture(run).blank(); }));
        // Stalled, the program soon waits on a frame's write, terminal still in raw mode.
        run.stall_output(true);
        std::this_thread::sleep_for(100ms);
        run.send_signal(SIGTERM);
        // The second is sent once the first has arrived: sent before, it would arrive with it
        // as one, which the loop stuck on the stalled terminal never takes.
        ASSERT_TRUE(run.wait_for([&] { return !run.signal_pending(SIGTERM); }));
        run.send_signal(SIGTERM);
        if (resumes) {
            std::this_thread::sleep_for(50ms);
            run.stall_output(false);
        }
        EXPECT_EQ(run.wait_exit(), killed_by(SIGTERM));
        expect_attributes_restored(run);
        if (resumes) {
            EXPECT_FALSE(run.alternate_screen());
            EXPECT_TRUE(run.cursor_visible());
        }
    }
}

// A stop gives the terminal back and a continue of the job takes it again with a full redraw.
// Ctrl+Z, typed in `writer | tonalyx`, stops the whole job, the writer and its shell too, as the
// terminal itself would outside raw mode. In an orphaned process group (a session leader under a
// parent outside its session) job control never stops the program, so a SIGTSTP takes the
// terminal back at once, as a continue would.
TEST(Signals, AStopGivesTheTerminalBackAndAContinueTakesItAgainWithAFullRedraw) {
    struct Case {
        const char* name;
        int stop;                // the signal that stops it, or 0 for Ctrl+Z typed
        std::vector<int> mask;   // signals the program starts with blocked
        std::vector<int> ignore; // and ignored
        bool nonblocking;        // a terminal left non-blocking by another program
        bool orphaned = false;
    };
    const Case cases[] = {{"SIGTSTP from a blocked mask", SIGTSTP, handled_signals, {}, false},
                          {"SIGSTOP with SIGCONT ignored", SIGSTOP, {}, {SIGCONT}, false},
                          {"Ctrl+Z", 0, {}, {}, false},
                          {"SIGTSTP, non-blocking", SIGTSTP, {}, {}, true},
                          {"SIGTSTP, orphaned", SIGTSTP, {}, {}, false, true}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TemporaryDirectory directory;
        const std::string pipeline = directory.script(
            "pipeline",
            "sh -c 'echo $$ > \"$1\"/writer; exec cat /dev/zero' sh \"$here\" |"
            " sh -c 'echo $$ > \"$1\"/program; shift; exec \"$@\"' sh \"$here\" \"$@\"\n");
        const bool typed = test.stop == 0;
        Launch launch{.args = playing_level(directory),
                      .ignored_signals = test.ignore,
                      .blocked_signals = test.mask,
                      .nonblocking_terminal = test.nonblocking,
                      .job_control = !test.orphaned};
        if (typed) {
            launch.args.insert(launch.args.begin(), tonalyx_binary());
        }
        TerminalRun run(typed ? pipeline : tonalyx_binary(), launch);
        const int bottom = run.rows() - 1;
        ASSERT_TRUE(run.wait_for([&] {
            return run.cell(bottom, 0) == full_block && (!typed || directory.pid_in("program") > 0);
        })) << run.screen();
        // The job's shell, and in the pipeline the writer and the program under it.
        std::vector<pid_t> job = {run.pid()};
        if (typed) {
            job.insert(job.end(), {directory.pid_in("writer"), directory.pid_in("program")});
        }
        const auto job_stopped = [&] { return std::all_of(job.begin(), job.end(), stopped); };
        const auto job_running = [&] { return std::none_of(job.begin(), job.end(), stopped); };
        // Twice: the first stop must leave the handling of the next as it was.
        for (int round = 0; round < 2; ++round) {
            const std::size_t mark = run.output().size();
            if (test.stop != 0) {
                run.send_signal(test.stop);
            } else {
                run.type("\x1a");
            }
            if (!test.orphaned) {
                ASSERT_TRUE(run.wait_for(job_stopped));
                if (test.stop != SIGSTOP) {
                    expect_given_back(run);
                }
                // The shell meanwhile finds the flags it left, and the picture gets a blocking
                // terminal again after the continue.
                EXPECT_EQ(run.terminal_nonblocking(), test.nonblocking);
                // While a job is stopped, its shell puts the terminal in its own modes.
                run.reset_attributes();
                ::kill(-run.pid(), SIGCONT); // the job's process group is led by its shell
            }
            // Given back (not when stopped by SIGSTOP), then taken again with a clear and the bar.
            ASSERT_TRUE(run.wait_for([&] {
                const std::size_t left =
                    test.stop == SIGSTOP ? mark : run.output().find(leave_sequence, mark);
                return left != std::string::npos &&
                       run.output().find("\x1b[2J", left) != std::string::npos && taken(run) &&
                       !run.cursor_visible() && run.cell(bottom, 0) == full_block && job_running();
            })) << run.output().substr(mark);
        }
        EXPECT_FALSE(run.terminal_nonblocking());
        EXPECT_EQ(run.quit(), 0);
        expect_given_back(run);
    }
}

// A resize is seen however it is told. Started with SIGWINCH ignored, a resize signal is still
// taken: the size check cannot see that resize, as standard output is a file and there is no
// "/dev/tty"; only the key terminal, asked when the signal comes, tells the new size. Without a
// signal (the terminal it draws on is not its controlling terminal, which alone would signal)
// the size check picks it up.
TEST(Signals, AResizeIsTakenFromASignalStartedIgnoredOrFromTheSizeCheck) {
    for (const bool signalled : {true, false}) {
        SCOPED_TRACE(signalled ? "signalled" : "size check");
        TemporaryDirectory directory;
        TerminalRun run(tonalyx_binary(), {.args = playing_level(directory),
                                           .environment = asking_tput(directory).environment,
                                           .ignored_signals = {SIGWINCH},
                                           .controlling_terminal = false,
                                           .output_to_file = signalled});
        const int rows = signalled ? 9 : 24;
        ASSERT_TRUE(run.wait_for(
            [&] { return parse_writes(run.standard_output()).full_block_at(rows, 1); }));
        run.pump(100ms);
        const std::size_t mark = run.standard_output().size();
        run.resize(12, 40);
        if (signalled) {
            run.send_signal(SIGWINCH);
        }
        // A clear and the full bar on the new bottom line after it.
        EXPECT_TRUE(run.wait_for([&] {
            const Writes writes = parse_writes(run.standard_output(), mark);
            return !writes.clears.empty() &&
                   parse_writes(run.standard_output(), writes.clears.back()).full_block_at(12, 1);
        })) << run.standard_output().substr(mark);
        EXPECT_EQ(run.quit(), 0);
    }
}

} // namespace
} // namespace e2e
