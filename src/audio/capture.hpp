// The capture program: pw-record started on pipes of its own, asked for what to capture and
// for audio about once a drawing, and the handle that reaps it, reports how it ended and
// never lets it, or anything it started, outlive us.
#pragma once

#include "common/unique_fd.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tonalyx {

// A started capture program, the leader of a process group of its own. Its process id is ours
// alone: only this handle waits for it, on the main thread, and it stays unreaped until stop(),
// so neither its id nor its group's can have been reused when they are signalled.
class CaptureProcess {
public:
    explicit CaptureProcess(pid_t pid);
    CaptureProcess(CaptureProcess&& other) noexcept;
    CaptureProcess& operator=(CaptureProcess&& other) = delete;
    // Stops the program and its group (see stop).
    ~CaptureProcess() { stop(); }

    // The program's wait status once it has ended, found without waiting and without reaping it.
    std::optional<int> poll();

    // When poll() first found the program ended.
    std::optional<std::chrono::steady_clock::time_point> ended_at() const { return ended_at_; }

    // A descriptor that turns readable when the program ends, so that a waiting loop learns of
    // it at once; -1 once poll() has found it ended, or where the system has no process
    // descriptors.
    int exit_fd() const { return status_ ? -1 : pidfd_.get(); }

    // Ends the program and everything it started in its group: SIGTERM to the group while the
    // program runs and up to `grace` for it to exit, then SIGKILL to whatever is left there;
    // reaps it. Does nothing more once it has been reaped.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(300));

private:
    pid_t pid_ = -1; // -1 once moved from
    UniqueFd pidfd_;
    std::optional<int> status_;
    std::optional<std::chrono::steady_clock::time_point> ended_at_;
    bool reaped_ = false;
};

// True when a capture program that ended with `wait_status` failed: it exited with a status
// other than 0 or was killed by a signal. Status 0 means the stream simply ended.
bool ended_in_failure(int wait_status);

// The report for a capture program that ended in failure: one line naming pw-record and how it
// ended ("exited with status N" or "was killed by SIGNAME"), followed by `messages`, what it
// wrote on its standard error, as visible_text shows it and ending in a line break; then, when
// `messages` show a pw-record without --raw, one line on where a PipeWire that has it comes from.
std::string capture_failure_report(int wait_status, const std::string& messages);

// How long after a failed capture program has ended its report waits for the rest of what it
// said, when something it started still holds its pipes open (its stream has not ended).
inline constexpr std::chrono::milliseconds failure_report_delay{700};

// A capture program just started: the process, and the read ends of the pipes on its standard
// output and standard error.
struct StartedCapture {
    CaptureProcess process;
    UniqueFd output;
    UniqueFd messages;
};

// What to capture, and in what format.
struct CaptureOptions {
    std::uint32_t rate = 48000; // frames per second, at least 1
    std::uint8_t channels = 2;  // at least 1
    // Drawings per second, at least 1: PipeWire is asked for about one drawing's worth of audio
    // at a time.
    std::uint16_t fps = 60;
    // The monitor of the default output (what it plays) instead of the default input.
    bool monitor = false;
    // The node to capture from: an object.serial or a node.name.
    std::optional<std::string> target;
};

// pw-record's arguments: "--format=s16 --rate=RATE --channels=CHANNELS --raw -", after
// "-P { stream.capture.sink=true }" for the monitor and "--target=NODE" for a target.
std::vector<std::string> capture_arguments(const CaptureOptions& options);

// pw-record's environment: `environment` (ours, null-terminated) with
// PIPEWIRE_LATENCY=FRAMES/RATE unless it has one (the user's wins), FRAMES being one drawing's
// worth of audio, rate / fps, but no less than 5 ms of it, so that the whole sound server is not
// woken more than 200 times a second; and, given `stdbuf_library` (coreutils' libstdbuf.so, the
// library behind `stdbuf`), that library added to LD_PRELOAD with _STDBUF_O=0, as `stdbuf -o0`
// does: pw-record then writes each cycle's audio at once, not 4096 bytes at a time.
std::vector<std::string> capture_environment(const CaptureOptions& options,
                                             const char* const* environment,
                                             const char* stdbuf_library);

// Starts pw-record, found on PATH, with capture_arguments and capture_environment; in a process
// group of its own, with its standard input on /dev/null and its standard output and standard
// error on new pipes. It is killed should the calling thread end first (see start_child): call it
// on the main thread. Throws OrderlyExit when it cannot be started.
StartedCapture start_capture(const CaptureOptions& options);

} // namespace tonalyx
