#include "audio/capture.hpp"
#include "audio/source_files.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

// A stand-in pw-record that records what it inherited next to itself, says more on its standard
// error than a pipe holds before writing four bytes of PCM, and fails.
constexpr const char* fake_capture = R"(#!/bin/sh
here=$(dirname "$0")
if [ -e /proc/$$/fd/57 ]; then echo leaked > "$here/leak"; fi
readlink /proc/$$/fd/0 > "$here/stdin"
i=0
while [ $i -lt 3000 ]; do echo "warning: chatter line $i"; i=$((i + 1)); done >&2
printf '\001\002\003\004'
echo "error: the last words" >&2
exit 3
)";

TEST(StartCapture, ChildGetsOnlyItsPipesAndItsStandardErrorIsDrained) {
    TempDir dir;
    write_file(dir.path / "pw-record", fake_capture, fs::perms::owner_all);
    PathOverride path(dir.path.string() + ":" + std::getenv("PATH"));
    // A descriptor without close-on-exec, as another part of the program might leave one.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::dup2(ends[0], 57), 57);
    const UniqueFd inherited[] = {UniqueFd(ends[0]), UniqueFd(ends[1]), UniqueFd(57)};

    // The capture wins over a file, even one that does not exist.
    OpenedSource capture = open_audio_source(CaptureOptions{}, "/nonexistent");
    // Had its standard error not been drained while it ran, the child would never get here.
    EXPECT_EQ(read_all(capture.source), "\x01\x02\x03\x04");
    const std::string& messages = capture.source.messages();
    EXPECT_LE(messages.size(), AudioSource::message_limit);
    EXPECT_TRUE(messages.starts_with("warning: chatter line ")) << messages.substr(0, 40);
    EXPECT_TRUE(messages.ends_with("line 2999\nerror: the last words\n")) << messages;
    ASSERT_TRUE(capture.capture);
    // Its end makes the exit descriptor readable, which is withdrawn once the end is found.
    pollfd ended{capture.capture->exit_fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 10'000), 1);
    EXPECT_TRUE(capture.capture->poll());
    EXPECT_EQ(capture.capture->exit_fd(), -1);
    capture.capture->stop();
    EXPECT_EQ(capture.capture->poll(), std::optional(3 << 8)); // exited with status 3
    EXPECT_FALSE(fs::exists(dir.path / "leak"));
    EXPECT_EQ(read_file(dir.path / "stdin"), "/dev/null\n");
}

// The arguments and PIPEWIRE_LATENCY for each kind of capture, the latency one drawing's worth of
// audio but no less than 5 ms.
TEST(CaptureArguments, AskForTheFormatTheNodeAndAboutOneDrawingOfAudio) {
    // The arguments that follow those for the monitor and the target.
    const auto then = [](std::vector<std::string> first, const std::string& rate = "48000",
                         const std::string& channels = "2") {
        first.insert(first.end(),
                     {"--format=s16", "--rate=" + rate, "--channels=" + channels, "--raw", "-"});
        return first;
    };
    const std::string sink = "{ stream.capture.sink=true }";
    struct Case {
        CaptureOptions options;
        std::vector<std::string> arguments;
        std::string latency;
    };
    const Case cases[] = {
        {{48000, 2, 60, false, {}}, then({}), "800/48000"},
        {{22050, 1, 60, false, {}}, then({}, "22050", "1"), "367/22050"},
        {{48000, 2, 60, true, {}}, then({"-P", sink}), "800/48000"},
        {{48000, 2, 30, false, "45"}, then({"--target=45"}), "1600/48000"},
        {{48000, 2, 60, true, "a sink"}, then({"-P", sink, "--target=a sink"}), "800/48000"},
        {{48000, 2, 1000, false, {}}, then({}), "240/48000"},
        {{44100, 2, 65535, false, {}}, then({}, "44100"), "221/44100"},
        {{4294967295u, 255, 1, false, {}}, then({}, "4294967295", "255"), "4294967295/4294967295"},
    };
    const char* const no_environment[] = {nullptr};
    for (const Case& test : cases) {
        EXPECT_EQ(capture_arguments(test.options), test.arguments) << test.latency;
        EXPECT_EQ(capture_environment(test.options, no_environment, nullptr),
                  std::vector<std::string>{"PIPEWIRE_LATENCY=" + test.latency});
    }
}

// The user's own latency, preloads and buffering are kept, the buffering made none where the
// library is.
TEST(CaptureEnvironment, AsksForUnbufferedOutputLeavingTheUsersOwn) {
    const char* lib = "/s.so";
    const char* own = "PIPEWIRE_LATENCY=64/48000";
    const std::string latency = "PIPEWIRE_LATENCY=800/48000";
    struct Case {
        std::vector<const char*> environment;
        const char* stdbuf_library;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"HOME=/root"}, lib, {"HOME=/root", latency, "LD_PRELOAD=/s.so", "_STDBUF_O=0"}},
        {{"LD_PRELOAD=/a", "_STDBUF_O=L", own}, lib, {own, "LD_PRELOAD=/a:/s.so", "_STDBUF_O=0"}},
        // Without the library nothing of the user's is touched.
        {{"LD_PRELOAD=", "_STDBUF_O=L"}, nullptr, {"LD_PRELOAD=", "_STDBUF_O=L", latency}},
    };
    for (Case test : cases) {
        test.environment.push_back(nullptr);
        EXPECT_EQ(capture_environment({}, test.environment.data(), test.stdbuf_library),
                  test.expected);
    }
}

// How pw-record ended and what it said, shown visibly and ending in a line break, then a hint
// on a newer PipeWire when it lacks --raw.
TEST(CaptureFailureReport, ShowsHowPwRecordEndedAndWhatItSaid) {
    const std::string raw = "pw-record: unrecognized option '--raw'\n";
    const std::string hint =
        "hint: this PipeWire is too old for raw capture; PipeWire 1.0 or later "
        "has it (on Debian 12 from bookworm-backports, see \"A newer "
        "PipeWire\" in the README)\n";
    struct Case {
        int wait_status;
        std::string messages;
        std::string report; // after "error: pw-record "
    };
    const Case cases[] = {
        {2 << 8, "", "exited with status 2\n"},
        {SIGSEGV, "no link yet", "was killed by SIGSEGV\nno link yet\n"},
        {1 << 8, "\x1b]0;owned\x07\x1b[?1049h\n", "exited with status 1\n^[]0;owned^G^[[?1049h\n"},
        {1 << 8, raw + "pw-record [options]\n",
         "exited with status 1\n" + raw + "pw-record [options]\n" + hint},
        // The words come from the C library, in the user's language.
        {1 << 8, "Unbekannte Option \u00bb--raw\u00ab\n",
         "exited with status 1\nUnbekannte Option \u00bb--raw\u00ab\n" + hint},
        // A pw-record with --raw lists it in the help that it prints after another complaint.
        {1 << 8, "unrecognized option '--bogus'\n  -a, --raw  RAW mode\n",
         "exited with status 1\nunrecognized option '--bogus'\n  -a, --raw  RAW mode\n"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(capture_failure_report(test.wait_status, test.messages),
                  "error: pw-record " + test.report);
    }
}

} // namespace
} // namespace tonalyx
