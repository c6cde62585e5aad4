// Where the raw PCM bytes come from: a pw-record capture pipe, a file, or standard input.
// Opened once at start-up; the result is one readable byte stream that closes itself when
// released (standard input excepted) and knows whether its reader must pace itself.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Takes ownership of `fd`, which is closed when the source is released.
    static AudioSource adopt(int fd);
    // The process's standard input, which releasing the source leaves open.
    static AudioSource standard_input();
    // A source that is at its end from the start.
    static AudioSource empty();

    AudioSource(AudioSource&& other) noexcept;
    AudioSource& operator=(AudioSource&& other) noexcept;
    AudioSource(const AudioSource&) = delete;
    AudioSource& operator=(const AudioSource&) = delete;
    ~AudioSource();

    // Reads up to `buffer.size()` bytes; blocks unless the descriptor is non-blocking.
    ReadResult read(std::span<std::uint8_t> buffer);

    // True for a regular file or a character device that is not a terminal: such a source
    // delivers as fast as it can, so its reader keeps to the sample rate itself.
    bool paced() const { return paced_; }

    int fd() const { return fd_; }

private:
    AudioSource(int fd, bool owned);
    void release();

    int fd_ = -1;
    bool owned_ = false;
    bool paced_ = false;
};

// Opens the source: a started pw-record when `pipewire`, else the file `input`, else standard
// input (an empty source when standard input is the terminal, whose bytes are keys). Throws
// OrderlyExit when pw-record cannot be started, FatalError when the file cannot be opened (a
// directory counts as unopenable).
AudioSource open_audio_source(bool pipewire, const std::optional<std::string>& input,
                              std::uint32_t rate, std::uint8_t channels);

// Starts "pw-record --format=s16 --rate=RATE --channels=CHANNELS --raw -" found on PATH, with
// its standard output on a new pipe whose read end is returned. The child is never waited for.
AudioSource start_capture(std::uint32_t rate, std::uint8_t channels);

// Opens `path` for reading only. Throws FatalError("failed to open input file", errno).
AudioSource open_input_file(const std::string& path);

} // namespace tonalyx
