// Choosing and opening the audio source on the real binary: the pw-record capture with a
// stand-in program first on PATH and every way it can end, input files and FIFOs, and the error
// exits with the terminal restored.
#include "harness.hpp"
#include "signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace e2e {
namespace {

bool any_bar(const TerminalRun& run) {
    return !read_picture(run).blank();
}

// A launch of `args` with a stand-in pw-record first on PATH, in `directory` ($here to it). It
// writes its arguments, then its PIPEWIRE_LATENCY and _STDBUF_O, a line each, to "started"
// there, and its process id to "pid", then runs `body`; "tone.pcm" there is a second of a tone.
Launch capturing(TemporaryDirectory& directory, const std::string& body,
                 std::vector<std::string> args = {"-p"}) {
    tonalyx::SignalSettings tone;
    tone.kind = tonalyx::SignalKind::tone;
    tone.frequency = 1500.0f;
    directory.write("tone.pcm", tonalyx::pcm_bytes(tone, 48000));
    directory.script("pw-record",
                     "printf '%s\\n' \"$@\" \"${PIPEWIRE_LATENCY-unset}\" \"${_STDBUF_O-unset}\""
                     " > \"$here/started\"\n"
                     "echo $$ > \"$here/pid.new\" && mv \"$here/pid.new\" \"$here/pid\"\n" +
                         body);
    return Launch{.args = std::move(args),
                  .environment = {{"PATH", directory.path() + ":" + std::getenv("PATH")}}};
}

// True once the capture program is gone and reaped (a zombie still shows in /proc).
bool reaped(const TemporaryDirectory& directory) {
    const pid_t pid = directory.pid_in("pid");
    return pid > 0 && process_state(pid) == '\0';
}

// True unless the file `name` holds the id of a process that still runs (a zombie, which
// whoever inherited it may never reap, has stopped running).
bool not_running(const TemporaryDirectory& directory, const std::string& name) {
    const char state = process_state(directory.pid_in(name));
    return state == '\0' || state == 'Z';
}

// pw-record gets its arguments and environment; and quitting waits for it only as long as it
// takes to end.
TEST(Capture, StartsPwRecordWithItsArgumentsAndEnvironmentAndQuitEndsItAtOnce) {
    const std::string five = "--format=s16\n--rate=48000\n--channels=2\n--raw\n-\n";
    struct Case {
        std::vector<std::string> args;
        std::string arguments;
        std::optional<std::string> user_latency; // PIPEWIRE_LATENCY as the user set it
        std::string latency;                     // and as pw-record sees it
    };
    const Case cases[] = {
        {{"-p"}, five, std::nullopt, "800/48000\n"},
        {{"--target=music sink", "-mp", "--fps", "30"},
         "-P\n{ stream.capture.sink=true }\n--target=music sink\n" + five,
         std::nullopt,
         "1600/48000\n"},
        {{"-p"}, five, "64/48000", "64/48000\n"},
    };
    // The least of the quits: a loaded machine slows some, a wait for the 300 ms grace slows
    // every one.
    auto fastest = std::chrono::steady_clock::duration::max();
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.args));
        TemporaryDirectory directory;
        Launch launch = capturing(directory, "exec sleep 600\n", test.args);
        launch.environment.emplace_back("PIPEWIRE_LATENCY", test.user_latency);
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run) && directory.pid_in("pid") > 0; }));
        // Unbuffered through coreutils' libstdbuf, where it is.
        EXPECT_EQ(directory.read("started"),
                  test.arguments + test.latency +
                      (std::filesystem::exists("/usr/libexec/coreutils/libstdbuf.so") ? "0\n"
                                                                                      : "unset\n"));
        const auto typed = std::chrono::steady_clock::now();
        run.type("q");
        // Reaped before the process ends, so a sanitizer's work at exit does not count.
        EXPECT_TRUE(run.wait_for([&] { return reaped(directory); }));
        fastest = std::min(fastest, std::chrono::steady_clock::now() - typed);
        EXPECT_EQ(run.wait_exit(), 0);
    }
    EXPECT_LT(fastest, 200ms);
}

// A source that cannot be had is an orderly exit: the reason after the restore.
TEST(Source, AMissingSourceIsAnOrderlyExit) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> pw_record; // a pw-record on PATH, not executable
        int status;
        std::string message;
    };
    const std::string open_failed = "failed to open input file: ";
    const Case cases[] = {
        {{"-p"},
         {},
         1,
         "error: pw-record not found \u2014 install PipeWire or pipe audio via stdin."},
        {{"-p"}, "#!/bin/sh\n", 1, "error: failed to start pw-record: Permission denied"},
        {{"-i", "/nonexistent/missing.pcm"}, {}, 101, open_failed + "No such file or directory"},
        // The terminal's bytes are the keys: read as audio, `q` would rarely get through.
        {{"-i", "/dev/tty"}, {}, 101, open_failed + "/dev/tty is a terminal, not audio"}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.message);
        TemporaryDirectory directory;
        if (test.pw_record) {
            directory.write("pw-record", *test.pw_record);
        }
        TerminalRun run(tonalyx_binary(),
                        {.args = test.args, .environment = {{"PATH", directory.path()}}});
        EXPECT_EQ(run.wait_exit(), test.status);
        expect_message_after_restore(run, test.message + "\r\n");
    }
}

// How the capture program ends, and what the user sees of it.
struct CaptureEnd {
    const char* name;
    std::string body;
    // The report after the restore when Tonalyx ends on its own with status 1; empty when it
    // keeps running until `q`.
    std::string report;
    // Plays audio and ends cleanly: the bars rise, sink, and the child is reaped at once.
    bool plays = false;
    // What the program writes to "$here/stopped" when it is stopped, once it has written
    // "$here/trapping".
    std::string stopped{};
    // The file in "$here" where the program writes the time (`date +%s%N`) from which the
    // report must come within `within`, when that is checked.
    std::string timed_from{};
    std::pair<std::chrono::milliseconds, std::chrono::milliseconds> within{};
};

void expect_capture_end(const CaptureEnd& test) {
    TemporaryDirectory directory;
    TerminalRun run(tonalyx_binary(), capturing(directory, test.body));
    if (!test.timed_from.empty()) {
        ASSERT_TRUE(run.wait_for(
            [&] { return run.output().find("error: pw-record exited") != std::string::npos; }));
        const auto reported = std::chrono::system_clock::now().time_since_epoch();
        const std::chrono::nanoseconds from(std::stoll("0" + directory.read(test.timed_from)));
        EXPECT_GE(reported - from, test.within.first);
        EXPECT_LT(reported - from, test.within.second);
    }
    if (!test.report.empty()) {
        EXPECT_EQ(run.wait_exit(), 1) << run.output();
        expect_message_after_restore(run, test.report);
        EXPECT_TRUE(run.output().ends_with(test.report)) << run.output();
    } else {
        ASSERT_TRUE(run.wait_for([&] {
            return raw_mode_on(run) && directory.pid_in("pid") > 0 &&
                   (test.stopped.empty() ||
                    std::filesystem::exists(directory.path() + "/trapping"));
        }));
        if (test.plays) {
            EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
            EXPECT_TRUE(run.wait_for([&] { return !any_bar(run); })) << run.screen();
            EXPECT_TRUE(run.wait_for([&] { return reaped(directory); }));
        }
        EXPECT_EQ(run.quit(), 0);
        EXPECT_TRUE(run.output().ends_with(leave_sequence)) << run.output();
    }
    EXPECT_TRUE(reaped(directory));
    EXPECT_TRUE(run.wait_for([&] { return not_running(directory, "left"); }));
    EXPECT_EQ(directory.read("stopped"), test.stopped);
    EXPECT_EQ(directory.read("stdin"), "");
}

TEST(Capture, EndsOfTheCaptureProgram) {
    const std::string failed = "error: pw-record exited with status 1\r\n";
    const CaptureEnd cases[] = {
        {"fails", "echo 'error: pw_context_connect() failed: Host is down' >&2\nexit 1\n",
         failed + "error: pw_context_connect() failed: Host is down\r\n"},
        // Reported although its stream never ends, with what is said after it exited; what it
        // left behind (its id in "$here/left"), deaf to the hang-up that ends our session, is
        // stopped with it.
        {"fails and leaves its pipes open",
         "(trap '' HUP; sleep 0.3; echo 'late words' >&2; exec sleep 600) &\n"
         "echo $! > \"$here/left\"\n"
         "echo 'error: early words' >&2\nexit 1\n",
         failed + "error: early words\r\nlate words\r\n"},
        {"is killed", "head -c 9600 \"$here/tone.pcm\"\necho 'about to die' >&2\nkill -KILL $$\n",
         "error: pw-record was killed by SIGKILL\r\nabout to die\r\n"},
        // SIGTERM first, and time to act on it.
        {"ends on SIGTERM",
         "trap 'sleep 0.05; echo TERM > \"$here/stopped\"; exit 0' TERM\n"
         "touch \"$here/trapping\"\nwhile :; do sleep 0.1; done\n",
         "", false, "TERM\n"},
        // What it says is shown, not obeyed: a terminal given these would be taken again. Its
        // last line gets the line break it lacks.
        {"says control sequences",
         "printf 'bad \\033[?1049h\\033[?25l\\a words \\302\\233 caf\\303\\251' >&2\nexit 2\n",
         "error: pw-record exited with status 2\r\nbad ^[[?1049h^[[?25l^G words M-BM-^[ "
         "caf\u00e9\r\n"},
        {"ends cleanly", "cat \"$here/tone.pcm\"\necho 'done' >&2\nexit 0\n", "", true},
        // Stopped at quit although it ignores SIGTERM, and the hang-up that would otherwise end
        // it with the terminal session. It reads its standard input, which would swallow the
        // `q` if it shared the terminal.
        {"never writes and reads its standard input",
         "trap '' TERM HUP PIPE\ncat > \"$here/stdin\"\nexec sleep 600\n", ""},
        // While the blank picture sleeps: at once, at the exit or, when its pipes outlive it for
        // a moment, at the end of its stream; when they stay open, 700 ms after the exit.
        {.name = "fails while the picture sleeps",
         .body = "sleep 0.3\ndate +%s%N > \"$here/exited\"\nexit 1\n",
         .report = failed,
         .timed_from = "exited",
         .within = {0ms, 150ms}},
        {.name = "fails while the picture sleeps and its pipes close later",
         .body = "sleep 0.55\n(sleep 0.2; date +%s%N > \"$here/closed\") &\nexit 1\n",
         .report = failed,
         .timed_from = "closed",
         .within = {0ms, 150ms}},
        {.name = "fails while the picture sleeps and leaves its pipes open",
         .body = "(trap '' HUP; exec sleep 600) &\necho $! > \"$here/left\"\nsleep 0.3\n"
                 "date +%s%N > \"$here/exited\"\nexit 1\n",
         .report = failed,
         .timed_from = "exited",
         .within = {650ms, 900ms}}};
    for (const CaptureEnd& test : cases) {
        SCOPED_TRACE(test.name);
        expect_capture_end(test);
    }
}

// However Tonalyx ends, the capture program and what it started in its group end with it: a
// stand-in deaf to SIGTERM, and a process it left behind that is not.
TEST(Capture, EndsWithTonalyxHoweverTonalyxEnds) {
    struct Case {
        const char* name;
        int signal_number;
        // A second SIGTERM while the first waits on a stalled terminal.
        bool twice_stalled = false;
        // What it left behind ends too; nothing can signal it when Tonalyx is killed by SIGKILL.
        bool group_ends = true;
    };
    const Case cases[] = {
        {"killed by SIGTERM", SIGTERM},
        {"killed by SIGKILL", SIGKILL, false, false},
        // SIGABRT, which the sanitizers, unlike SIGSEGV, leave to the crash handler.
        {"crashing", SIGABRT},
        {"ending at the second SIGTERM", SIGTERM, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TemporaryDirectory directory;
        TerminalRun run(tonalyx_binary(),
                        capturing(directory, "sleep 600 &\necho $! > \"$here/left\"\n"
                                             "trap '' TERM\nexec sleep 600\n"));
        ASSERT_TRUE(run.wait_for([&] { return taken(run) && directory.pid_in("left") > 0; }));
        run.stall_output(test.twice_stalled);
        run.send_signal(test.signal_number);
        if (test.twice_stalled) {
            // The second is sent once the first has arrived, and waits in the restore on the
            // stalled terminal: sent before, it would arrive with it as one.
            ASSERT_TRUE(run.wait_for([&] { return !run.signal_pending(test.signal_number); }));
            std::this_thread::sleep_for(100ms);
            run.send_signal(test.signal_number);
        }
        EXPECT_EQ(run.wait_exit(), killed_by(test.signal_number));
        run.stall_output(false);
        EXPECT_TRUE(run.wait_for([&] { return not_running(directory, "pid"); }, 1s));
        EXPECT_TRUE(!test.group_ends ||
                    run.wait_for([&] { return not_running(directory, "left"); }, 1s));
        // Nothing may outlive the test either.
        ::kill(directory.pid_in("pid"), SIGKILL);
        ::kill(directory.pid_in("left"), SIGKILL);
    }
}

// Once without a writer, quit with `q` while it waits; then with a writer whose tone shows.
TEST(InputFile, AFifoWaitsForItsWriterWhileTheKeysWork) {
    TemporaryDirectory directory;
    const std::string fifo = directory.path() + "/audio";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const bool written : {false, true}) {
        TerminalRun run(tonalyx_binary(), {.args = {"-i", fifo, "--channels", "1"}});
        ASSERT_TRUE(run.wait_for([&] { return taken(run); }));
        // Fails while no reader has the FIFO open, so this also waits for Tonalyx to open it.
        UniqueFd writer;
        ASSERT_TRUE(!written || run.wait_for([&] {
            writer.reset(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            return static_cast<bool>(writer);
        }));
        if (written) {
            tonalyx::SignalSettings tone;
            tone.kind = tonalyx::SignalKind::tone;
            tone.channels = 1;
            const std::string pcm = tonalyx::pcm_bytes(tone, 4800);
            EXPECT_EQ(::write(writer.get(), pcm.data(), pcm.size()),
                      static_cast<ssize_t>(pcm.size()));
            EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
        }
        EXPECT_EQ(run.quit(), 0);
    }
}

} // namespace
} // namespace e2e
