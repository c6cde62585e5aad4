// The terminal session as a user meets it: start-up, the quit keys, the restore, and the
// command line's own exits, all on the real binary.
#include "harness.hpp"
#include "version.hpp"

#include "../fuzz/kept_inputs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace e2e {
namespace {

// It enters the alternate screen in raw mode without erasing, and each quit key gives the
// terminal back exactly. Half of the keys come on standard input itself, with nothing piped in
// (they must not be read as audio); the other half on the terminal while audio arrives on
// standard input.
TEST(Session, EntersInRawModeAndEachQuitKeyRestoresTheTerminalExactly) {
    for (const std::string key : {"q", "\x11", "\x1bq", "\x03"}) {
        const bool keys_on_standard_input = key == "q" || key == "\x1bq";
        SCOPED_TRACE(::testing::PrintToString(key));
        TerminalRun run(tonalyx_binary(), keys_on_standard_input ? Launch{} : idle_pipe());
        ASSERT_TRUE(run.wait_for([&] { return taken(run); }));
        EXPECT_TRUE(run.output().starts_with(enter_sequence)) << run.output();
        EXPECT_FALSE(run.cursor_visible());
        const termios now = run.attributes();
        EXPECT_EQ(std::tuple(now.c_iflag & (ICRNL | IXON), now.c_oflag & OPOST,
                             now.c_lflag & IEXTEN, now.c_cc[VMIN], now.c_cc[VTIME]),
                  std::tuple(0u, 0u, 0u, 1, 0));
        if (!keys_on_standard_input) {
            ASSERT_TRUE(run.feed(std::string(9600, '\x10')));
        }
        run.pump(300ms);
        EXPECT_EQ(run.output().find("\x1b[2J"), std::string::npos);
        run.type(key);
        ASSERT_EQ(run.wait_exit(), 0);
        expect_given_back(run);
    }
}

// Each input that once crashed the key decoding or kept `q` from quitting, typed in one burst.
TEST(HostileKeyBytes, QStillQuitsAndGivesTheTerminalBack) {
    for (const auto& [name, bytes] : tonalyx::fuzz::kept_inputs(KEY_REGRESSIONS)) {
        SCOPED_TRACE(name);
        TerminalRun run(tonalyx_binary(), idle_pipe());
        ASSERT_TRUE(run.wait_for([&] { return taken(run); }));
        run.type(bytes);
        ASSERT_TRUE(run.wait_typed_read());
        // Longer than the wait for the rest of a sequence, so whatever is still unfinished has
        // been given up when `q` arrives.
        run.pump(250ms);
        ASSERT_FALSE(run.wait_exit(0ms)) << "ended by the bytes themselves";
        ASSERT_EQ(run.quit(), 0);
        expect_given_back(run);
    }
}

// With standard input closed there is no audio, and the keys come from the terminal opened for
// them, which must not take the free descriptor 0 and pass for audio. Only the quit keys quit.
TEST(Session, ClosedStandardInputReadsAsNoAudioAndOtherKeysDoNotQuit) {
    TemporaryDirectory directory;
    TerminalRun run(directory.script("parent", "exec \"$@\" <&-\n"), {.args = {tonalyx_binary()}});
    ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run); }));
    char target[64] = {};
    const std::string standard_input = "/proc/" + std::to_string(run.pid()) + "/fd/0";
    ASSERT_GT(::readlink(standard_input.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    // Q, a plain c, Control+Alt+c, Escape, Enter, an arrow, a function key and adjustment keys.
    run.type("Qc\x1b\x03\x1b");
    run.pump(200ms); // long enough for a lone Escape to count as the Escape key
    run.type("\r\x1b[A\x1bOP[],.-+=x");
    // A sequence whose Escape comes 10 ms before the rest is still one sequence (here one of no
    // key), not Escape followed by `[` and `q`.
    run.type("\x1b");
    run.pump(10ms);
    run.type("[q");
    EXPECT_FALSE(run.wait_exit(700ms));
    EXPECT_EQ(run.quit(), 0);
    expect_given_back(run);
}

// The picture goes into a pipe whose reader leaves after one byte; keys still come from the
// terminal.
TEST(Session, QuitsWithStatus0WhenStandardOutputBreaksWhileRunning) {
    TemporaryDirectory directory;
    TerminalRun run(
        directory.script("parent", "(\"$@\"; echo $? > \"$here/status\") | head -c 1\n"),
        idle_pipe({tonalyx_binary()}));
    ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run); }));
    EXPECT_TRUE(run.feed(std::string(48000, '\x40')));
    run.pump(300ms);
    EXPECT_EQ(run.quit(), 0);
    EXPECT_EQ(directory.read("status"), "0\n");
    expect_attributes_restored(run);
}

// tput measures a terminal only at start-up, and only one that cannot tell its size at all; the
// running size check never starts it.
TEST(Session, ATerminalThatCannotTellItsSizeIsMeasuredByTputAtStartUpOnly) {
    struct Case {
        const char* name;
        bool controlling_terminal;
        std::uint16_t rows;
        std::uint16_t cols;
        std::string asked; // what tput is asked for over the whole run
    };
    // The first has no "/dev/tty", but the key terminal on standard input answers instead of tput.
    const Case cases[] = {{"no controlling terminal", false, 9, 77, ""},
                          {"0 x 0", true, 0, 0, "cols\nlines\n"},
                          {"0 x 80", true, 0, 80, ""}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TemporaryDirectory directory;
        TerminalRun run(tonalyx_binary(), {.args = playing_level(directory),
                                           .rows = test.rows,
                                           .cols = test.cols,
                                           .environment = asking_tput(directory).environment,
                                           .controlling_terminal = test.controlling_terminal,
                                           .output_to_file = true});
        // Drawn on the 9 lines and 77 columns that tput gave: the full bar reaches the top line,
        // and nothing lies beyond. A terminal of no lines gets no bar.
        ASSERT_TRUE(run.wait_for([&] {
            const std::string picture = run.standard_output();
            return test.asked.empty() ? picture.starts_with(enter_sequence)
                                      : parse_writes(picture).full_block_at(1, 1);
        })) << "asked: "
            << directory.read("asked");
        if (test.rows == 0 && test.cols == 0) {
            // A resize signal on a terminal that still answers 0 x 0: the picture stays as it is.
            run.send_signal(SIGWINCH);
        }
        // Past a size check the picture stands, and tput is not asked again.
        run.pump(1200ms);
        const Writes writes = parse_writes(run.standard_output());
        EXPECT_EQ(writes.fault, "");
        EXPECT_TRUE(writes.clears.empty())
            << run.standard_output().substr(run.standard_output().size() - 200);
        EXPECT_FALSE(writes.drawn_beyond(9, 77));
        EXPECT_EQ(directory.read("asked"), test.asked);
        EXPECT_EQ(run.quit(), 0);
        expect_attributes_restored(run);
    }
}

TEST(Session, ATerminalLeftNonBlockingGetsEveryCellAndItsFlagsBack) {
    TemporaryDirectory directory;
    TerminalRun run(tonalyx_binary(),
                    {.args = playing_noise(directory, 1), .nonblocking_terminal = true});
    ASSERT_TRUE(run.wait_for([&] { return !read_picture(run).blank(); }));
    // A second in which the terminal takes nothing, and the noise ends: the changes wait, none
    // is lost, and every bar sinks to nothing.
    run.stall_output(true);
    std::this_thread::sleep_for(1s);
    run.stall_output(false);
    Picture picture;
    EXPECT_TRUE(run.wait_for([&] {
        picture = read_picture(run);
        return picture.blank() && picture.fault.empty();
    })) << describe(picture);
    // A quit while the terminal takes nothing gives it back once it does.
    run.stall_output(true);
    run.type("q");
    run.pump(300ms);
    run.stall_output(false);
    EXPECT_EQ(run.wait_exit(), 0);
    expect_given_back(run);
    EXPECT_TRUE(run.terminal_nonblocking());
}

// Under a parent that closes standard output or leaves few descriptors free, the run either
// starts and quits as always, or ends at once with its reason and the terminal as it was. The
// terminal device is opened once, at start-up, and kept for the keys and the restore. Standard
// input is a pipe, so the keys need "/dev/tty"; the signal pipe takes two descriptors before it.
TEST(FatalErrors, AParentsClosedOutputOrFewFreeDescriptorsNeverLeaveTheTerminalRaw) {
    struct Case {
        std::string wrapper; // how the parent starts the program, "$@"
        int status;
        std::string output{}; // when it fails
    };
    const std::string too_many = "failed to enable raw mode: Too many open files\r\n";
    const Case cases[] = {
        {"exec \"$@\" >&-", 101, "failed to initialize terminal: Bad file descriptor\r\n"},
        {"ulimit -n 4; exec \"$@\"", 0},
        {"ulimit -n 6; exec \"$@\"", 0},
        {"ulimit -n 5; exec \"$@\"", 101, too_many},
        {"ulimit -n 9; exec \"$@\" 3</dev/null 4</dev/null 5</dev/null 6</dev/null 7</dev/null", 0},
        {"ulimit -n 9; exec \"$@\" 3</dev/null 4</dev/null 5</dev/null 6</dev/null", 101, too_many},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.wrapper);
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' runtime needs descriptors of its own: it checks memory through a pipe.
        if (test.wrapper.starts_with("ulimit")) {
            continue;
        }
#endif
        TemporaryDirectory directory;
        TerminalRun run(directory.script("parent", test.wrapper + "\n"),
                        idle_pipe({tonalyx_binary()}));
        if (test.status == 0) {
            ASSERT_TRUE(run.wait_for([&] { return taken(run); }));
            run.pump(600ms); // past a size check and the first polls for keys
            EXPECT_EQ(run.quit(), 0);
            expect_given_back(run);
        } else {
            EXPECT_EQ(run.wait_exit(), test.status);
            EXPECT_EQ(run.output(), test.output);
            expect_attributes_restored(run);
        }
    }
}

// Help, version and usage errors need no terminal type; without one that promises xterm's
// control sequences, Tonalyx refuses to start with one line on standard error. Either way the
// terminal stays as it was and standard output (a file here) gets no control sequence.
TEST(CommandLineExits, UnderATerminalTheyAndARefusedTerminalTypeLeaveItAlone) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> term;
        int status;
        std::string in_stdout;
        std::string on_terminal; // how standard error begins
    };
    const std::string unset = "error: TERM is not set: the picture needs a terminal";
    const Case cases[] = {
        {{"-h"}, std::nullopt, 0, "Usage: tonalyx [OPTIONS]", ""},
        {{"-V"}, "dumb", 0, "Tonalyx " + std::string(tonalyx::version) + "\n", ""},
        {{"--fps", "0"}, std::nullopt, 2, "", "error: --fps: the frame rate must be at least 1"},
        {{}, std::nullopt, 1, "", unset},
        {{}, "", 1, "", unset},
        {{}, "dumb", 1, "", "error: TERM is \"dumb\": the picture needs a terminal"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message()
                     << test.args.size() << " arguments, TERM " << test.term.value_or("unset"));
        TerminalRun run(tonalyx_binary(), {.args = test.args,
                                           .audio_pipe = true,
                                           .environment = {{"TERM", test.term}},
                                           .output_to_file = true});
        EXPECT_EQ(run.wait_exit(), test.status);
        const std::string output = run.standard_output();
        EXPECT_NE(output.find(test.in_stdout), std::string::npos) << output;
        EXPECT_TRUE(test.status == 0 || output.empty()) << output;
        EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
        EXPECT_TRUE(run.output().starts_with(test.on_terminal)) << run.output();
        EXPECT_TRUE(test.status != 1 ||
                    std::count(run.output().begin(), run.output().end(), '\n') == 1)
            << run.output();
        expect_attributes_restored(run);
    }
}

TEST(FatalErrors, ACrashGivesTheTerminalBackBeforeTheProcessDies) {
    // SIGABRT on a terminal that takes nothing: the attributes still go back, and the process
    // still dies. (Under AddressSanitizer the others go on to its report, which would wait.)
    // With standard output a file, that file still ends by giving the screen back.
    struct Case {
        int crash;
        bool stalled;
        bool output_to_file;
    };
    const Case cases[] = {{SIGSEGV, false, false},
                          {SIGABRT, true, false},
                          {SIGBUS, false, false},
                          {SIGSEGV, false, true}};
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message()
                     << test.crash << (test.output_to_file ? ", to a file" : ""));
        TerminalRun run(tonalyx_binary(),
                        {.audio_pipe = true, .output_to_file = test.output_to_file});
        // Once a bar is drawn the frame loop runs, so the restore hook is in place.
        ASSERT_TRUE(run.feed(std::string(9600, '\x40')));
        ASSERT_TRUE(
            run.wait_for([&] { return !parse_writes(run.standard_output()).draws.empty(); }));
        run.stall_output(test.stalled);
        run.send_signal(test.crash);
        const std::optional<int> status = run.wait_exit();
        ASSERT_TRUE(status);
        // A sanitizer's own crash report may turn the signal into an exit status.
        EXPECT_NE(*status, 0);
        expect_attributes_restored(run);
        const std::string picture = run.standard_output();
        // A sanitizer's report may follow on the terminal, but not in the file.
        EXPECT_TRUE(test.stalled ||
                    (test.output_to_file ? picture.ends_with(leave_sequence)
                                         : picture.find(leave_sequence) != std::string::npos))
            << picture.substr(picture.size() > 64 ? picture.size() - 64 : 0);
        EXPECT_TRUE(test.stalled || (!run.alternate_screen() && run.cursor_visible()));
    }
}

// No terminal among the standard streams, and no controlling terminal either.
TEST(FatalErrors, NoTerminalMeansRawModeCannotBeEnabled) {
    TemporaryDirectory directory;
    TerminalRun run(directory.script("parent", "exec \"$@\" <&- >\"$here/out\" 2>\"$here/err\"\n"),
                    {.args = {tonalyx_binary()}, .controlling_terminal = false});
    EXPECT_EQ(run.wait_exit(), 101);
    EXPECT_EQ(directory.read("out"), "");
    EXPECT_EQ(directory.read("err"), "failed to enable raw mode: No such device or address\n");
}

} // namespace
} // namespace e2e
