// Capture from a real PipeWire, as a user runs `tonalyx -p`. Started by tests/pipewire/run: the
// RealPipeWire tests inside a private PipeWire whose default sink plays a steady tone of
// TONALYX_PIPEWIRE_TONE Hz at 48000 Hz (its object.serial in TONALYX_SINK_SERIAL) and whose
// default source is a silent microphone, the WithoutPipeWire tests with no PipeWire running.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace e2e {
namespace {

// The bin of the 1024-point transform that a tone of `frequency` Hz at 48000 Hz falls on.
unsigned bin_of(float frequency) {
    return static_cast<unsigned>(std::lround(frequency / (48000.0f / 1024.0f)));
}

// Column c of 32 shows bin 16c at this scaling, so a tone on a bin shows in one column.
constexpr int cols = 32;

Launch capture_launch(std::vector<std::string> args) {
    Launch launch;
    launch.args = std::move(args);
    launch.args.insert(launch.args.end(), {"-l", "1.25"});
    launch.rows = 12;
    launch.cols = cols;
    return launch;
}

// The first picture within `duration` that is unsound or that `wrong` finds wrong, described;
// empty when there is none.
std::string first_wrong(TerminalRun& run, std::chrono::seconds duration,
                        const std::function<bool(const Picture&)>& wrong) {
    std::string found;
    const auto until = std::chrono::steady_clock::now() + duration;
    run.wait_for([&] {
        const Picture picture = read_picture(run);
        if (found.empty() && (!picture.fault.empty() || wrong(picture))) {
            found = describe(picture);
        }
        return std::chrono::steady_clock::now() >= until;
    });
    return found;
}

TEST(RealPipeWire, WhatTheSinkPlaysStandsInThePredictedColumn) {
    const char* const tone_variable = std::getenv("TONALYX_PIPEWIRE_TONE");
    const char* const serial = std::getenv("TONALYX_SINK_SERIAL");
    ASSERT_TRUE(tone_variable != nullptr && serial != nullptr) << "run by tests/pipewire/run";
    const std::string tone = tone_variable;
    const int column = column_showing(bin_of(std::stof(tone)), cols, 1.25f);
    ASSERT_GE(column, 0) << "no single column shows " << tone << " Hz";
    // The monitor of the default sink, of the sink named, and the sink by its serial, which
    // needs no -m.
    const std::vector<std::string> cases[] = {
        {"-pm"}, {"-p", "--monitor", "--target", "tonalyx-test-sink"}, {"-p", "--target", serial}};
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        TerminalRun run(tonalyx_binary(), capture_launch(args));
        Picture picture;
        ASSERT_TRUE(run.wait_for([&] {
            picture = read_picture(run);
            return picture.fault.empty() && picture.only_tallest(column);
        })) << describe(picture)
            << "\n"
            << run.screen();
        // A sound server delivers bursts of more than 1024 samples: the tone must not also stand
        // elsewhere in the frames that bring them, so every picture for a second keeps it alone
        // on top.
        EXPECT_EQ(first_wrong(run, 1s, [&](const Picture& p) { return !p.only_tallest(column); }),
                  "")
            << run.screen();
        std::cout << "[ pipewire ] " << ::testing::PrintToString(args) << ", " << tone
                  << " Hz: bar in column " << picture.tallest() << " of " << cols << ", predicted "
                  << column << "; " << describe(picture) << "\n";
        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
    }
}

TEST(RealPipeWire, PlainCaptureRecordsTheSilentMicrophone) {
    TerminalRun run(tonalyx_binary(), capture_launch({"-p"}));
    ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run); }));
    EXPECT_EQ(first_wrong(run, 2s, [](const Picture& p) { return !p.blank(); }), "")
        << run.screen();
    run.type("q");
    EXPECT_EQ(run.wait_exit(), 0);
}

TEST(WithoutPipeWire, TheCaptureFailsWithStatus1AndItsMessageAfterTheRestore) {
    Launch launch;
    launch.args = {"-p"};
    TerminalRun run(tonalyx_binary(), launch);
    EXPECT_EQ(run.wait_exit(), 1) << run.output();
    const std::string report = "error: pw-record exited with status ";
    expect_message_after_restore(run, report);
    // The first line is ours; pw-record's own explanation follows it.
    const std::string said = run.output().substr(run.output().find(report));
    std::cout << "[ pipewire ] without PipeWire: " << said;
    EXPECT_NE(said.find_first_not_of("\r\n ", said.find("\r\n")), std::string::npos) << said;
}

} // namespace
} // namespace e2e
