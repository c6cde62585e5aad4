// The sample reader: decodes interleaved signed 16-bit little-endian PCM from the audio source
// into mono float chunks and sends them, in stream order, to the frame loop. Every chunk holds
// 1 to frames_per_read samples in [-1, 1) (up to twice that from a reader that lets a writer's
// writes gather until just before a drawing); what the capture program says goes along as the
// channel's messages. A frame here is always a PCM frame: one sample of every channel.
#pragma once

#include "audio/channel.hpp"
#include "audio/source.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tonalyx {

// Most frames one read asks for, whatever the rate and fps: a few drawings' worth of audio,
// and a read buffer that is small at any accepted setting.
inline constexpr std::size_t max_read_frames = 4096;

// Frames per read: one drawing's worth of audio, `rate` (frames per second, at least 1) / `fps`
// (drawings per second, at least 1), but at least one frame and at most max_read_frames.
std::size_t read_frames(std::uint32_t rate, std::uint16_t fps);

// How long before the receiver's drawing a gathering reader reads, and the longest it lets writes
// gather (so that a writer's pipe never fills meanwhile).
inline constexpr std::chrono::microseconds read_lead{500};
inline constexpr std::chrono::milliseconds max_gather{20};

// A read of up to `buffer.size()` bytes into `buffer`.
using ByteSource = std::function<ReadResult(std::span<std::uint8_t> buffer)>;

// The reader's view of time: a monotonic `now` and a `sleep` for a duration.
struct ReaderClock {
    std::function<std::chrono::nanoseconds()> now;
    std::function<void(std::chrono::nanoseconds)> sleep;
};

// What the reader needs to know about the stream.
struct ReaderFormat {
    std::size_t frames_per_read = 1; // 1 to max_read_frames, as read_frames gives
    std::uint32_t rate = 1;          // frames per second, at least 1; used only when paced
    std::size_t channels = 1;        // interleaved samples per frame, 1 to 255
    bool paced = false;              // keep to `rate` instead of reading as fast as possible
};

// Mixes whole frames of `channels` (1 to 255) samples down to one sample each: the sum of the
// frame's samples, divided by `channels`, then scaled by 1/32768. Trailing bytes short of a frame
// are ignored. The chunk has room for exactly its samples.
SampleChunk mix_down(std::span<const std::uint8_t> bytes, std::size_t channels);

// The reader's state: the format and a read buffer of frames_per_read whole frames (twice that
// for an unpaced source, whose gathered reads take what came since the last drawing at once).
class SampleReader {
public:
    // Allocates the zero-filled read buffer; throws std::bad_alloc when it cannot.
    explicit SampleReader(const ReaderFormat& format);

    // Reads and sends until the end of the stream, a read error other than would-block or
    // interrupted, or a failed send; finishing `sender` is left to the caller. A read that ends
    // inside a frame keeps that frame's bytes for the next read. When paced, never sends more
    // than one read's worth of frames ahead of `rate` counted from the first read. Otherwise,
    // once a read that waited for data brought less than frames_per_read frames (a writer that
    // writes more often than the receiver draws), it lets the writes gather and reads them, up
    // to twice frames_per_read frames at a time, just before each of the receiver's drawings,
    // waiting at most max_gather at a time. A read that fills what it asked for is followed by
    // another at once.
    void run(SampleSender& sender, const ByteSource& read, const ReaderClock& clock);

private:
    void wait_for_schedule(std::uint64_t frames_sent, std::chrono::nanoseconds start,
                           const ReaderClock& clock) const;

    ReaderFormat format_;
    std::vector<std::uint8_t> buffer_;
};

// Starts the reader thread over `source`, which it owns from now on, reading in `format`, and
// detaches it at once: it is never joined and ends on its own, or with the process. The
// source's messages go to the channel as they come, final at the end of the stream. Throws
// FatalError("failed to spawn thread", errno) when it cannot be started.
void start_sample_reader(SampleSender sender, AudioSource source, const ReaderFormat& format);

} // namespace tonalyx
