// Capture from a real PipeWire, as a user runs `tonalyx -p`. Started by tests/pipewire/run: the
// RealPipeWire tests inside a private PipeWire whose default sink plays a steady tone of
// TONALYX_PIPEWIRE_TONE Hz at 48000 Hz (its object.serial in TONALYX_SINK_SERIAL) and whose
// default source is a silent microphone, the WithoutPipeWire tests with no PipeWire running.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
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

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

TEST(RealPipeWire, WhatTheSinkPlaysStandsInThePredictedColumn) {
    const std::string tone = environment("TONALYX_PIPEWIRE_TONE");
    const std::string serial = environment("TONALYX_SINK_SERIAL");
    ASSERT_FALSE(tone.empty() || serial.empty()) << "run by tests/pipewire/run";
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
        std::string wrong;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        run.wait_for([&] {
            picture = read_picture(run);
            if (wrong.empty() && (!picture.fault.empty() || !picture.only_tallest(column))) {
                wrong = describe(picture);
            }
            return std::chrono::steady_clock::now() >= until;
        });
        std::cout << "[ pipewire ] " << ::testing::PrintToString(args) << ", " << tone
                  << " Hz: bar in column " << picture.tallest() << " of " << cols << ", predicted "
                  << column << "; " << describe(picture) << "\n";
        EXPECT_EQ(wrong, "") << run.screen();
        run.type("q");
        EXPECT_EQ(run.wait_exit(), 0);
    }
}

TEST(RealPipeWire, PlainCaptureRecordsTheSilentMicrophone) {
    TerminalRun run(tonalyx_binary(), capture_launch({"-p"}));
    ASSERT_TRUE(run.wait_for([&] { return raw_mode_on(run); }));
    std::string drawn;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    run.wait_for([&] {
        const Picture picture = read_picture(run);
        if (drawn.empty() && (!picture.fault.empty() || !picture.blank())) {
            drawn = describe(picture);
        }
        return std::chrono::steady_clock::now() >= until;
    });
    EXPECT_EQ(drawn, "") << run.screen();
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
    const std::string& output = run.output();
    const std::size_t own_line = output.find("\r\n", output.find(report));
    ASSERT_NE(own_line, std::string::npos) << output;
    const std::string said = output.substr(own_line + 2);
    std::cout << "[ pipewire ] without PipeWire: " << output.substr(output.find(report));
    EXPECT_NE(said.find_first_not_of("\r\n "), std::string::npos) << output;
}

} // namespace
} // namespace e2e
