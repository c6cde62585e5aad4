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
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace e2e {
namespace {

bool any_bar(const TerminalRun& run) {
    for (int col = 0; col < run.cols(); ++col) {
        if (run.cell(run.rows() - 1, col) != U' ') {
            return true;
        }
    }
    return false;
}

// A stand-in pw-record, first on PATH. It records its arguments, its PIPEWIRE_LATENCY, its
// _STDBUF_O and its process id next to itself, then runs `body` (by default it plays a second of a
// tone and ends cleanly); `$here` is its directory.
struct FakeCapture {
    TemporaryDirectory directory;
    std::string path_variable;

    explicit FakeCapture(const std::string& body = "exec cat \"$here/tone.pcm\"\n") {
        tonalyx::SignalSettings tone;
        tone.kind = tonalyx::SignalKind::tone;
        tone.frequency = 1500.0f;
        directory.write("tone.pcm", tonalyx::pcm_bytes(tone, 48000));
        directory.write("pw-record",
                        "#!/bin/sh\nhere='" + directory.path() +
                            "'\nprintf '%s\\n' \"$@\" > \"$here/arguments\"\n"
                            "echo \"${_STDBUF_O-unset}\" > \"$here/buffering\"\n"
                            "echo \"${PIPEWIRE_LATENCY-unset}\" > \"$here/latency\"\n"
                            "echo $$ > \"$here/pid.new\" && mv \"$here/pid.new\" \"$here/pid\"\n" +
                            body,
                        true);
        path_variable = directory.path() + ":" + std::getenv("PATH");
    }

    std::string arguments() const { return directory.read("arguments"); }
    std::string latency() const { return directory.read("latency"); }
    bool started() const { return !directory.read("pid").empty(); }
    // True once the stand-in's process is gone and reaped (a zombie still shows in /proc).
    bool gone() const {
        const std::string pid = directory.read("pid");
        return !pid.empty() && !std::filesystem::exists("/proc/" + pid.substr(0, pid.find('\n')));
    }
    // True unless the file `name` holds the id of a process that still runs (a zombie, which
    // whoever inherited it may never reap, has stopped running).
    bool not_running(const std::string& name) const {
        const std::string pid = directory.read(name);
        std::ifstream stat("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
        std::string line;
        std::getline(stat, line);
        return pid.empty() || line.empty() || line.find(") Z ") != std::string::npos;
    }
};

TEST(Capture, StartsPwRecordWithItsArgumentsAndLatency) {
    const std::string five = "--format=s16\n--rate=48000\n--channels=2\n--raw\n-\n";
    const std::string monitor = "-P\n{ stream.capture.sink=true }\n";
    struct Case {
        std::vector<std::string> args;
        std::string arguments;
        std::string latency;        // PIPEWIRE_LATENCY as pw-record sees it
        std::string user_latency{}; // PIPEWIRE_LATENCY as the user set it, when set
    };
    const Case cases[] = {
        // Without the capture options, exactly the five arguments; the latency request goes
        // into the environment.
        {{"-p"}, five, "800/48000\n"},
        {{"-p", "--rate", "22050", "--channels", "1"},
         "--format=s16\n--rate=22050\n--channels=1\n--raw\n-\n",
         "367/22050\n"},
        // The capture wins over a file, even one that does not exist.
        {{"-p", "-i", "/nonexistent"}, five, "800/48000\n"},
        {{"-pm"}, monitor + five, "800/48000\n"},
        {{"-p", "--target", "45", "--fps", "30"}, "--target=45\n" + five, "1600/48000\n"},
        {{"--target=music sink", "-mp"}, monitor + "--target=music sink\n" + five, "800/48000\n"},
        // The user's own request wins.
        {{"-p"}, five, "64/48000\n", "64/48000"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.args));
        FakeCapture capture;
        Launch launch;
        launch.args = test.args;
        launch.environment = {{"PATH", capture.path_variable},
                              {"PIPEWIRE_LATENCY", test.user_latency}};
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] { return capture.arguments() == test.arguments; }))
            << capture.arguments();
        EXPECT_TRUE(run.wait_for([&] { return capture.latency() == test.latency; }))
            << capture.latency();
        // Unbuffered through coreutils' libstdbuf, where it is.
        EXPECT_EQ(capture.directory.read("buffering"),
                  std::filesystem::exists("/usr/libexec/coreutils/libstdbuf.so") ? "0\n"
                                                                                 : "unset\n");
        EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
        EXPECT_EQ(run.output().find("input file"), std::string::npos);
    }
}

TEST(Capture, AMissingOrUnstartablePwRecordIsAnOrderlyExit) {
    const std::pair<bool, std::string> cases[] = {
        {false, "error: pw-record not found \u2014 install PipeWire or pipe audio via stdin.\r\n"},
        {true, "error: failed to start pw-record: Permission denied\r\n"},
    };
    for (const auto& [present, message] : cases) {
        SCOPED_TRACE(message);
        TemporaryDirectory directory;
        if (present) {
            directory.write("pw-record", "#!/bin/sh\n", false);
        }
        Launch launch;
        launch.args = {"-p"};
        launch.environment = {{"PATH", directory.path()}};
        TerminalRun run(tonalyx_binary(), launch);
        EXPECT_EQ(run.wait_exit(), 1);
        expect_message_after_restore(run, message);
    }
}

// How the capture program ends, and what the user sees of it.
TEST(Capture, EndsOfTheCaptureProgram) {
    struct Case {
        const char* name;
        std::string body;
        // The report after the restore when Tonalyx ends on its own with status 1; empty when
        // it keeps running until `q`.
        std::string report;
        // Plays audio and ends cleanly: the bars rise, sink, and the child is reaped at once.
        bool plays = false;
        // How the report ends, when not all of it is known.
        std::string report_end{};
        // What the program writes to "$here/stopped" when it is stopped, once it has written
        // "$here/trapping".
        std::string stopped{};
        // The file in "$here" where the program writes the time (`date +%s%N`) from which the
        // report must come within `within`, when that is checked.
        std::string timed_from{};
        std::pair<std::chrono::milliseconds, std::chrono::milliseconds> within{};
    };
    const Case cases[] = {
        {"fails", "echo 'error: pw_context_connect() failed: Host is down' >&2\nexit 1\n",
         "error: pw-record exited with status 1\r\n"
         "error: pw_context_connect() failed: Host is down\r\n"},
        // Reported although its stream never ends, with what is said after it exited; what it
        // left behind (its id in "$here/left"), deaf to the hang-up that ends our session, is
        // stopped with it.
        {"fails and leaves its pipes open",
         "(trap '' HUP; sleep 0.3; echo 'late words' >&2; exec sleep 600) &\n"
         "echo $! > \"$here/left\"\n"
         "echo 'error: early words' >&2\nexit 1\n",
         "error: pw-record exited with status 1\r\nerror: early words\r\nlate words\r\n"},
        // More than the 4 KiB of messages kept: the oldest go, from a line's start.
        {"fails after a flood of messages",
         "i=0\nwhile [ $i -lt 3000 ]; do echo \"warning: chatter line $i\"; i=$((i + 1)); done "
         ">&2\n"
         "echo 'error: the last words' >&2\nexit 3\n",
         "error: pw-record exited with status 3\r\nwarning: chatter line ", false,
         "line 2999\r\nerror: the last words\r\n"},
        {"is killed", "head -c 9600 \"$here/tone.pcm\"\necho 'about to die' >&2\nkill -KILL $$\n",
         "error: pw-record was killed by SIGKILL\r\nabout to die\r\n"},
        // SIGTERM first, and time to act on it.
        {"ends on SIGTERM",
         "trap 'sleep 0.05; echo TERM > \"$here/stopped\"; exit 0' TERM\n"
         "touch \"$here/trapping\"\nwhile :; do sleep 0.1; done\n",
         "", false, "", "TERM\n"},
        // What it says is shown, not obeyed: a terminal given these would be taken again.
        {"says control sequences",
         "printf 'bad \\033[?1049h\\033[?25l\\a words \\302\\233 caf\\303\\251\\n' >&2\nexit 1\n",
         "error: pw-record exited with status 1\r\nbad ^[[?1049h^[[?25l^G words M-BM-^[ "
         "caf\u00e9\r\n"},
        {"fails without a last line break", "printf 'no line break' >&2\nexit 2\n",
         "error: pw-record exited with status 2\r\nno line break\r\n", false, "break\r\n"},
        {"ends cleanly", "cat \"$here/tone.pcm\"\necho 'done' >&2\nexit 0\n", "", true},
        // Stopped at quit although it ignores SIGTERM, and the hang-up that would otherwise end
        // it with the terminal session.
        {"never writes", "trap '' TERM HUP PIPE\nexec sleep 600\n", ""},
        // It would swallow the `q` if it shared the terminal.
        {"reads its standard input", "cat > \"$here/stdin\"\nexec sleep 600\n", ""},
        // While the blank picture sleeps: at once, at the exit or, when its pipes outlive it for
        // a moment, at the end of its stream; when they stay open, 700 ms after the exit.
        {.name = "fails while the picture sleeps",
         .body = "sleep 0.3\ndate +%s%N > \"$here/exited\"\nexit 1\n",
         .report = "error: pw-record exited with status 1\r\n",
         .timed_from = "exited",
         .within = {0ms, 150ms}},
        {.name = "fails while the picture sleeps and its pipes close later",
         .body = "sleep 0.55\n(sleep 0.2; date +%s%N > \"$here/closed\") &\nexit 1\n",
         .report = "error: pw-record exited with status 1\r\n",
         .timed_from = "closed",
         .within = {0ms, 150ms}},
        {.name = "fails while the picture sleeps and leaves its pipes open",
         .body = "(trap '' HUP; exec sleep 600) &\necho $! > \"$here/left\"\nsleep 0.3\n"
                 "date +%s%N > \"$here/exited\"\nexit 1\n",
         .report = "error: pw-record exited with status 1\r\n",
         .timed_from = "exited",
         .within = {650ms, 900ms}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeCapture capture(test.body);
        Launch launch;
        launch.args = {"-p"};
        launch.environment = {{"PATH", capture.path_variable}};
        TerminalRun run(tonalyx_binary(), launch);
        if (!test.timed_from.empty()) {
            ASSERT_TRUE(run.wait_for(
                [&] { return run.output().find("error: pw-record exited") != std::string::npos; }));
            const auto reported = std::chrono::system_clock::now().time_since_epoch();
            const std::chrono::nanoseconds from(
                std::stoll("0" + capture.directory.read(test.timed_from)));
            EXPECT_GE(reported - from, test.within.first);
            EXPECT_LT(reported - from, test.within.second);
        }
        if (!test.report.empty()) {
            EXPECT_EQ(run.wait_exit(), 1) << run.output();
            expect_message_after_restore(run, test.report);
            EXPECT_TRUE(run.output().ends_with(test.report_end)) << run.output();
        } else {
            ASSERT_TRUE(run.wait_for([&] {
                return raw_mode_on(run) && capture.started() &&
                       (test.stopped.empty() ||
                        std::filesystem::exists(capture.directory.path() + "/trapping"));
            }));
            if (test.plays) {
                EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
                EXPECT_TRUE(run.wait_for([&] { return !any_bar(run); })) << run.screen();
                EXPECT_TRUE(run.wait_for([&] { return capture.gone(); }));
            }
            run.type("q");
            EXPECT_EQ(run.wait_exit(), 0);
            EXPECT_TRUE(run.output().ends_with(leave_sequence)) << run.output();
        }
        EXPECT_TRUE(capture.gone());
        EXPECT_TRUE(run.wait_for([&] { return capture.not_running("left"); }));
        EXPECT_EQ(capture.directory.read("stopped"), test.stopped);
        EXPECT_EQ(capture.directory.read("stdin"), "");
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
        FakeCapture capture(
            "sleep 600 &\necho $! > \"$here/left\"\ntrap '' TERM\nexec sleep 600\n");
        Launch launch;
        launch.args = {"-p"};
        launch.environment = {{"PATH", capture.path_variable}};
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] {
            return raw_mode_on(run) && run.alternate_screen() &&
                   !capture.directory.read("left").empty();
        }));
        if (test.twice_stalled) {
            run.stall_output(true);
        }
        run.send_signal(test.signal_number);
        if (test.twice_stalled) {
            // The first waits in the restore, on the stalled terminal.
            std::this_thread::sleep_for(200ms);
            run.send_signal(test.signal_number);
        }
        EXPECT_EQ(run.wait_exit(), killed_by(test.signal_number));
        if (test.twice_stalled) {
            run.stall_output(false);
        }
        EXPECT_TRUE(run.wait_for([&] { return capture.not_running("pid"); }, 1s));
        if (test.group_ends) {
            EXPECT_TRUE(run.wait_for([&] { return capture.not_running("left"); }, 1s));
        }
        // Nothing may outlive the test either.
        for (const char* name : {"pid", "left"}) {
            const std::string pid = capture.directory.read(name);
            ::kill(std::stoi(pid), SIGKILL);
        }
    }
}

// Quitting waits for the capture program only as long as it takes to end.
TEST(Capture, QuitEndsAtOnceWhenPwRecordEndsAtOnce) {
    // The least of a few runs: a loaded machine slows some, a wait for the 300 ms grace slows
    // every one.
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        FakeCapture capture("exec sleep 600\n");
        Launch launch;
        launch.args = {"-p"};
        launch.environment = {{"PATH", capture.path_variable}};
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run) && capture.started(); }));
        const auto typed = std::chrono::steady_clock::now();
        run.type("q");
        // Reaped before the process ends, so a sanitizer's work at exit does not count.
        EXPECT_TRUE(run.wait_for([&] { return capture.gone(); }));
        fastest = std::min(fastest, std::chrono::steady_clock::now() - typed);
        EXPECT_EQ(run.wait_exit(), 0);
    }
    EXPECT_LT(fastest, 200ms);
}

TEST(InputFile, UnopenableFilesAreFatal) {
    TemporaryDirectory directory;
    const std::pair<std::string, std::string> cases[] = {
        {directory.path() + "/missing.pcm",
         "failed to open input file: No such file or directory\r\n"},
        {directory.path(), "failed to open input file: Is a directory\r\n"},
        // The terminal's bytes are the keys: read as audio, `q` would rarely get through.
        {"/dev/tty", "failed to open input file: /dev/tty is a terminal, not audio\r\n"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        Launch launch;
        launch.args = {"-i", path};
        TerminalRun run(tonalyx_binary(), launch);
        EXPECT_EQ(run.wait_exit(), 101);
        expect_message_after_restore(run, message);
    }
}

TEST(InputFile, IsPlayedAtItsSampleRateNotSwallowedAtOnce) {
    TemporaryDirectory directory;
    tonalyx::SignalSettings music;
    music.channels = 1;
    music.rate = 8000;
    // Three seconds of audio: still showing after one second if it is paced.
    const std::string file =
        directory.write("music.pcm", tonalyx::pcm_bytes(music, std::size_t{3} * 8000));
    Launch launch;
    launch.args = {"-i", file, "--rate", "8000", "--channels", "1", "--drop-off", "0"};
    TerminalRun run(tonalyx_binary(), launch);
    ASSERT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
    run.pump(1000ms);
    // With drop-off 0 a bar only stands while samples keep arriving.
    EXPECT_TRUE(any_bar(run)) << run.screen();
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

TEST(InputFile, AFifoWaitsForItsWriterWhileTheKeysWork) {
    TemporaryDirectory directory;
    const std::string fifo = directory.path() + "/audio";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Launch launch;
    launch.args = {"-i", fifo, "--channels", "1"};
    {
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run) && run.alternate_screen(); }));
        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
    }
    TerminalRun run(tonalyx_binary(), launch);
    // Fails while no reader has the FIFO open, so this also waits for Tonalyx to open it.
    int writer = -1;
    ASSERT_TRUE(run.wait_for([&] {
        writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer >= 0;
    }));
    tonalyx::SignalSettings tone;
    tone.kind = tonalyx::SignalKind::tone;
    tone.channels = 1;
    const std::string pcm = tonalyx::pcm_bytes(tone, 4800);
    EXPECT_EQ(::write(writer, pcm.data(), pcm.size()), static_cast<ssize_t>(pcm.size()));
    EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
    ::close(writer);
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

TEST(StandardInput, AudioPipedInIsDrawn) {
    tonalyx::SignalSettings tone;
    tone.kind = tonalyx::SignalKind::tone;
    Launch launch;
    launch.input = Input::pipe;
    TerminalRun run(tonalyx_binary(), launch);
    ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run); }));
    EXPECT_TRUE(run.feed(tonalyx::pcm_bytes(tone, 4800)));
    EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

} // namespace
} // namespace e2e
