// The command line: the options of Tonalyx, its help and version texts, and the parse of the
// process arguments into the read-only `Cli` record that the rest of the program sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tonalyx {

// The parsed options; the ranges are those the parse lets through.
struct Cli {
    std::uint16_t fps = 60; // display frames per second, 1 or more: the parse refuses 0
    bool pipewire = false;
    std::optional<std::string> input;
    float log_power = 1.4f;     // any finite float; the keys then hold it within 0.5 … 3.0
    float drop_off = 0.75f;     // any finite float; the running drop-off is it clamped to 0 … 1
    std::uint32_t rate = 48000; // PCM frames per second, 1 or more: the parse refuses 0
    std::uint8_t channels = 2;  // interleaved samples per PCM frame, 1 or more: the parse refuses 0
    // With `pipewire`: capture what the default output plays, not the default input.
    bool monitor = false;
    // With `pipewire`: the node to capture from, an object.serial or a node.name.
    std::optional<std::string> target;

    friend bool operator==(const Cli&, const Cli&) = default;
};

// What parsing decided: a `Cli` to run with, or an exit status with the text to print first.
struct ParseOutcome {
    std::optional<Cli> cli;
    int exit_status = 0;
    std::string standard_output; // help or version
    std::string standard_error;  // a usage error with the usage line
};

// Parses `args` (the first element is the program path) without printing anything: a `Cli` to
// run with, or for help, version and usage errors the texts to print and the exit status
// (0 for help and version, 2 for a usage error, among them a capture option without -p).
ParseOutcome parse(const std::vector<std::string>& args);

} // namespace tonalyx
