// The driver of the whole program: start-up in its fixed order, the frame loop, and the one way
// out, which gives the terminal back on every path.
#pragma once

namespace tonalyx {

// Runs Tonalyx with the process arguments and returns the exit status: 0 after help, version, a
// quit key or a hang-up of the key terminal; 1 when the capture program cannot be started or
// ends in failure; 2 on a usage error; 101 on a fatal start-up error. An ending signal ends the
// process by that signal once the terminal is given back.
int run(int argc, char** argv);

} // namespace tonalyx
