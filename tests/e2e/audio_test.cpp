// Choosing and opening the audio source on the real binary: the pw-record capture with a
// stand-in program first on PATH, input files, and the error exits with the terminal restored.
#include "harness.hpp"
#include "signal.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

// The message must come after the terminal was given back, on the normal screen.
void expect_message_after_restore(const TerminalRun& run, const std::string& message) {
    const std::size_t restored = run.output().rfind(leave_sequence);
    const std::size_t shown = run.output().find(message);
    ASSERT_NE(shown, std::string::npos) << run.output();
    ASSERT_NE(restored, std::string::npos) << run.output();
    EXPECT_LT(restored, shown);
    EXPECT_FALSE(run.alternate_screen());
    EXPECT_TRUE(run.cursor_visible());
    expect_attributes_restored(run);
}

// A stand-in pw-record that records its arguments and then plays a short tone.
struct FakeCapture {
    TemporaryDirectory directory;
    std::string path_variable;

    FakeCapture() {
        tonalyx::SignalSettings tone;
        tone.kind = tonalyx::SignalKind::tone;
        tone.frequency = 1500.0f;
        directory.write("tone.pcm", tonalyx::pcm_bytes(tone, 48000));
        directory.write("pw-record",
                        "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + directory.path() +
                            "/arguments'\nexec cat '" + directory.path() + "/tone.pcm'\n",
                        true);
        path_variable = directory.path() + ":" + std::getenv("PATH");
    }

    std::string arguments() const { return directory.read("arguments"); }
};

TEST(Capture, StartsPwRecordWithTheFiveArguments) {
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const Case cases[] = {
        {{"-p"}, "--format=s16\n--rate=48000\n--channels=2\n--raw\n-\n"},
        {{"-p", "--rate", "22050", "--channels", "1"},
         "--format=s16\n--rate=22050\n--channels=1\n--raw\n-\n"},
        // The capture wins over a file, even one that does not exist.
        {{"-p", "-i", "/nonexistent"}, "--format=s16\n--rate=48000\n--channels=2\n--raw\n-\n"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.args));
        FakeCapture capture;
        Launch launch;
        launch.args = test.args;
        launch.environment = {{"PATH", capture.path_variable}};
        TerminalRun run(tonalyx_binary(), launch);
        ASSERT_TRUE(run.wait_for([&] { return capture.arguments() == test.expected; }))
            << capture.arguments();
        EXPECT_TRUE(run.wait_for([&] { return any_bar(run); })) << run.screen();
        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
        EXPECT_EQ(run.output().find("input file"), std::string::npos);
    }
}

TEST(Capture, MissingPwRecordIsAnOrderlyExit) {
    TemporaryDirectory empty;
    Launch launch;
    launch.args = {"-p"};
    launch.environment = {{"PATH", empty.path()}};
    TerminalRun run(tonalyx_binary(), launch);
    EXPECT_EQ(run.wait_exit(), 1);
    expect_message_after_restore(
        run, "error: pw-record not found \u2014 install PipeWire or pipe audio via stdin.\r\n");
}

TEST(Capture, UnstartablePwRecordIsAnOrderlyExit) {
    TemporaryDirectory directory;
    directory.write("pw-record", "#!/bin/sh\n", false);
    Launch launch;
    launch.args = {"-p"};
    launch.environment = {{"PATH", directory.path()}};
    TerminalRun run(tonalyx_binary(), launch);
    EXPECT_EQ(run.wait_exit(), 1);
    expect_message_after_restore(run, "error: failed to start pw-record: Permission denied\r\n");
}

TEST(InputFile, UnopenableFilesAreFatal) {
    TemporaryDirectory directory;
    const std::pair<std::string, std::string> cases[] = {
        {directory.path() + "/missing.pcm",
         "failed to open input file: No such file or directory\r\n"},
        {directory.path(), "failed to open input file: Is a directory\r\n"},
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
    const std::string file = directory.write("music.pcm", tonalyx::pcm_bytes(music, 3 * 8000));
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
