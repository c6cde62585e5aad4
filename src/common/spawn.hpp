// Starting another program so that it cannot outlive us: found on PATH, in a process group of its
// own, killed when the thread that started it ends, with its standard streams where asked,
// nothing else of ours open in it and every signal at its default action.
#pragma once

#include "common/unique_fd.hpp"

#include <array>
#include <atomic>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tonalyx {

// Where a child's standard stream goes.
enum class ChildStream {
    inherited,   // the same as ours
    null_device, // /dev/null
    pipe,        // a new pipe, whose other end the caller gets
};

// A started child, or why it could not be started.
struct StartedChild {
    pid_t pid = -1;
    // The errno of the failure to start it (ENOENT when it is not found), else 0.
    int error = 0;
    // Our ends of the pipes asked for, by stream number: to write its standard input, to read
    // its standard output and standard error.
    std::array<UniqueFd, 3> pipes;
};

// Starts `arguments[0]` (not empty), found on PATH as execvp finds it when it holds no '/', with
// `arguments` and `environment`, its standard input, output and error as `streams` say. The child
// leads a process group of its own, starts with an empty signal mask and every signal at its
// default action, and is sent SIGKILL should the calling thread end first: call it from the thread
// that lives as long as the process. Descriptors 0, 1 and 2 must be open, as
// open_standard_descriptors() leaves them. The caller reaps it.
StartedChild start_child(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment,
                         const std::array<ChildStream, 3>& streams);

// This process's environment, as start_child takes it.
std::vector<std::string> own_environment();

// The process group that a crash or an ending by a signal takes down with us: the capture
// program's while it runs, else 0.
inline std::atomic<pid_t> child_group_to_end{0};

// Sends SIGTERM to child_group_to_end, if one is set. Async-signal-safe.
void end_child_group();

} // namespace tonalyx
