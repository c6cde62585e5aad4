// The capture program: pw-record started on pipes of its own, and the handle that reaps it,
// reports how it ended and never lets it outlive us.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tonalyx {

// A started capture program, the leader of a process group of its own. Its process id is ours
// alone: only this handle waits for it, on the main thread, and it stays unreaped until stop(),
// so neither its id nor its group's can have been reused when they are signalled.
class CaptureProcess {
public:
    explicit CaptureProcess(pid_t pid) : pid_(pid) {}
    CaptureProcess(CaptureProcess&& other) noexcept;
    CaptureProcess& operator=(CaptureProcess&& other) noexcept;
    CaptureProcess(const CaptureProcess&) = delete;
    CaptureProcess& operator=(const CaptureProcess&) = delete;
    // Stops the program and its group (see stop).
    ~CaptureProcess() { stop(); }

    // The program's wait status once it has ended, found without waiting and without reaping it.
    std::optional<int> poll();

    // When poll() first found the program ended.
    std::optional<std::chrono::steady_clock::time_point> ended_at() const { return ended_at_; }

    // Ends the program and everything it started in its group: SIGTERM to the group while the
    // program runs and up to `grace` for it to exit, then SIGKILL to whatever is left there;
    // reaps it. Does nothing more once it has been reaped.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(300));

private:
    void signal_group(int signal_number) const;

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::optional<std::chrono::steady_clock::time_point> ended_at_;
    bool reaped_ = false;
};

// True when a capture program that ended with `wait_status` failed: it exited with a status
// other than 0 or was killed by a signal. Status 0 means the stream simply ended.
bool ended_in_failure(int wait_status);

// The report for a capture program that ended in failure: one line naming pw-record and how it
// ended ("exited with status N" or "was killed by SIGNAME"), followed by `messages`, what it
// wrote on its standard error, ending in a line break.
std::string capture_failure_report(int wait_status, const std::string& messages);

// How long after a failed capture program has ended its report waits for the rest of what it
// said, when something it started still holds its pipes open (its stream has not ended).
inline constexpr std::chrono::milliseconds failure_report_delay{700};

// A capture program just started: the process, and the read ends of the pipes on its standard
// output and standard error, which close with this object unless taken.
class StartedCapture {
public:
    StartedCapture(CaptureProcess process, int output, int messages);
    StartedCapture(StartedCapture&& other) noexcept;
    StartedCapture& operator=(StartedCapture&&) = delete;
    StartedCapture(const StartedCapture&) = delete;
    StartedCapture& operator=(const StartedCapture&) = delete;
    ~StartedCapture();

    CaptureProcess process;
    // The read ends, handed over to the caller: -1 here afterwards.
    int take_output();
    int take_messages();

private:
    int output_ = -1;
    int messages_ = -1;
};

// Starts "pw-record --format=s16 --rate=RATE --channels=CHANNELS --raw -" found on PATH, with
// its standard input on /dev/null and its standard output and standard error on new pipes.
// Throws OrderlyExit when it cannot be started.
StartedCapture start_capture(std::uint32_t rate, std::uint8_t channels);

} // namespace tonalyx
