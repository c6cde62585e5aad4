// The driver of the whole program: start-up in its fixed order, the frame loop, and the way out
// with the terminal given back on every path.
#pragma once

namespace tonalyx {

// Runs Tonalyx with the process arguments and returns the exit status: 0 after a quit key or a
// hang-up of the key terminal, 1 when the capture program cannot be started or ends in failure,
// 101 on a fatal start-up error. Help, version and usage errors end the process inside the
// command-line parse; an ending signal ends it by that signal once the terminal is given back.
int run(int argc, char** argv);

} // namespace tonalyx
