// The command line: the options of Tonalyx, its help and version texts, and the parse of the
// process arguments into the read-only `Cli` record that the rest of the program sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tonalyx {

struct Cli {
    std::uint16_t fps = 60;
    bool pipewire = false;
    std::optional<std::string> input;
    float log_power = 1.4f;
    float drop_off = 0.75f;
    std::uint32_t rate = 48000;
    std::uint8_t channels = 2;
    // With `pipewire`: capture what the default output plays, not the default input.
    bool monitor = false;
    // With `pipewire`: the node to capture from, an object.serial or a node.name.
    std::optional<std::string> target;
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
