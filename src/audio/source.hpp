// Where the raw PCM bytes come from: a pw-record capture pipe, a file, or standard input.
// Opened once at start-up; the result is one readable byte stream that closes itself when
// released (standard input excepted) and knows whether its reader must pace itself. A capture
// also gives a handle on the pw-record process, which reaps it and never lets it outlive us.
#pragma once

#include "audio/capture.hpp"
#include "common/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace tonalyx {

// The outcome of one read: `count` bytes (0 at the end of the stream), or the errno in `error`.
struct ReadResult {
    std::size_t count = 0;
    int error = 0;
};

// An open byte stream owned by exactly one holder at a time.
class AudioSource {
public:
    // Owns `fd`, which is closed when the source is released.
    static AudioSource adopt(UniqueFd fd);
    // The output of a capture program: its standard output `fd` to read, and its standard error
    // `messages`, which every read drains so that the program never blocks on it.
    static AudioSource capture(UniqueFd fd, UniqueFd messages);
    // A FIFO opened without waiting for a writer (non-blocking); the first read waits for one
    // and then switches to blocking reads.
    static AudioSource fifo(UniqueFd fd);
    // Reads `fd` but leaves it open when released: standard input, or -1 for a source that is
    // at its end from the start.
    static AudioSource borrow(int fd);

    // Reads up to `buffer.size()` bytes; blocks unless the descriptor is non-blocking. For a
    // capture, the end of its output also waits for the end of its standard error.
    ReadResult read(std::span<std::uint8_t> buffer);

    // What the capture program wrote on its standard error, at most the last message_limit bytes
    // (starting on a line when cut); complete once a read has reported the end of the stream.
    const std::string& messages() const { return messages_; }

    // Calls `listener` with messages() each time the capture program has said more, on the
    // thread that reads, so that what it says can be passed on before its stream ends.
    void on_messages(std::function<void(const std::string&)> listener) {
        message_listener_ = std::move(listener);
    }

    // True for a regular file or a character device that is not a terminal: such a source
    // delivers as fast as it can, so its reader keeps to the sample rate itself.
    bool paced() const { return paced_; }

    // The descriptor read; -1 for an empty source.
    int fd() const { return fd_; }

    // Most bytes of the capture program's standard error that are kept.
    static constexpr std::size_t message_limit = 4096;

private:
    AudioSource(int fd, UniqueFd owned);
    // Waits until fd_ is readable: a FIFO's first writer, a capture's output; the errno of a
    // failure, else 0.
    int wait_for_data();
    bool take_messages();

    UniqueFd owned_; // fd_, unless that is standard input
    int fd_ = -1;
    bool paced_ = false;
    bool awaiting_writer_ = false;
    UniqueFd messages_fd_;
    std::string messages_;
    std::function<void(const std::string&)> message_listener_;
};

// An opened source, and the capture program behind it when there is one.
struct OpenedSource {
    AudioSource source;
    std::optional<CaptureProcess> capture;
};

// Opens the source: pw-record started with `capture` when there is one, else the file `input`,
// else standard input (an empty source when standard input is the terminal, whose bytes are keys).
// Throws OrderlyExit when pw-record cannot be started, FatalError when the file cannot be opened (a
// directory counts as unopenable).
OpenedSource open_audio_source(const std::optional<CaptureOptions>& capture,
                               const std::optional<std::string>& input);

} // namespace tonalyx
