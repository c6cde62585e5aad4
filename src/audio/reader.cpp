#include "audio/reader.hpp"

#include "common/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace tonalyx {

namespace {

constexpr std::size_t bytes_per_sample = 2; // signed 16-bit, the only width read
constexpr std::chrono::milliseconds would_block_pause{1};

// The time `frames` PCM frames last at `rate`, rounded up to whole nanoseconds. Split into
// seconds and the rest so that the product cannot overflow.
std::chrono::nanoseconds duration_of(std::uint64_t frames, std::uint32_t rate) {
    constexpr std::uint64_t ns_per_second = 1'000'000'000;
    const std::uint64_t seconds = frames / rate;
    const std::uint64_t rest = frames % rate;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(
        seconds * ns_per_second + (rest * ns_per_second + rate - 1) / rate));
}

// A read that took this long waited for its data, rather than finding it there.
constexpr std::chrono::microseconds read_waited{500};

// Whether to let a writer's writes gather before reading them, and the waits that gather them. A
// read that waited for data took what one write brought; when that is less than a drawing's worth,
// the writer writes more often than the receiver draws, and one read just before each drawing
// takes all its writes at once.
class WriteGathering {
public:
    explicit WriteGathering(std::size_t draw_frames) : draw_frames_(draw_frames) {}

    // Takes a read of `frames` PCM frames, which `waited` for data or not, and `filled` the
    // buffer (more may be waiting: the next read comes at once) or not.
    void after_read(std::size_t frames, bool waited, bool filled) {
        if (waited) {
            burst_frames_ = 0;
            burst_waited_ = true;
        }
        burst_frames_ += frames;
        if (filled) {
            gather_ = false;
            return;
        }
        if (burst_waited_) {
            write_frames_ = burst_frames_;
        }
        gather_ = write_frames_ > 0 && write_frames_ < draw_frames_;
        burst_frames_ = 0;
        burst_waited_ = false;
    }

    // Whether the next read should wait until just before a drawing.
    bool gather() const { return gather_; }

    // Sleeps until read_lead before the receiver's next drawing, but no longer than max_gather;
    // returns at once when the receiver has told nothing. That drawing is at least read_lead
    // away, and half a period after the one the last whole wait was for: the receiver draws a
    // little later than it said, and the drawing just read for must not come again.
    void wait_for_draw(const SampleSender& sender, const ReaderClock& clock) {
        const std::optional<DrawSchedule> draws = sender.draw_schedule();
        if (!draws) {
            return;
        }
        const SampleTime now(clock.now());
        SampleTime after = now + read_lead;
        if (waited_ && waited_for_ + draws->period / 2 > after) {
            after = waited_for_ + draws->period / 2;
        }
        const SampleTime draw = draws->next_after(after);
        const std::chrono::nanoseconds wait = draw - read_lead - now;
        if (wait > max_gather) {
            clock.sleep(max_gather);
            return;
        }
        clock.sleep(wait);
        waited_for_ = draw;
        waited_ = true;
    }

private:
    std::size_t draw_frames_;
    std::size_t write_frames_ = 0; // what one write brings; 0 until a read has waited
    std::size_t burst_frames_ = 0; // read since the last read that did not fill the buffer
    bool burst_waited_ = false;
    bool gather_ = false;
    SampleTime waited_for_; // the drawing the last whole wait was for, once there was one
    bool waited_ = false;
};

} // namespace

std::size_t read_frames(std::uint32_t rate, std::uint16_t fps) {
    return std::clamp<std::size_t>(rate / fps, 1, max_read_frames);
}

SampleChunk mix_down(std::span<const std::uint8_t> bytes, std::size_t channels) {
    const std::size_t frame_bytes = channels * bytes_per_sample;
    const std::size_t frames = bytes.size() / frame_bytes;
    const float channel_count = static_cast<float>(channels);
    SampleChunk chunk;
    chunk.reserve(frames);
    const std::uint8_t* sample = bytes.data();
    for (std::size_t frame = 0; frame < frames; ++frame) {
        float sum = 0.0f;
        for (std::size_t channel = 0; channel < channels; ++channel, sample += bytes_per_sample) {
            const auto bits = static_cast<std::uint16_t>(sample[0] | (sample[1] << 8));
            sum += static_cast<float>(static_cast<std::int16_t>(bits));
        }
        // Divide first, then scale: keeps -1.0 exact.
        chunk.push_back((sum / channel_count) * 0.000030517578125f);
    }
    return chunk;
}

SampleReader::SampleReader(const ReaderFormat& format)
    : format_(format), buffer_(format.frames_per_read * format.channels * bytes_per_sample *
                               (format.paced ? 1 : 2)) {}

void SampleReader::run(SampleSender& sender, const ByteSource& read, const ReaderClock& clock) {
    const std::size_t frame_bytes = format_.channels * bytes_per_sample;
    const std::span<std::uint8_t> buffer(buffer_);
    const std::size_t read_bytes = format_.frames_per_read * frame_bytes;
    std::size_t kept = 0;
    std::uint64_t frames_sent = 0;
    std::optional<std::chrono::nanoseconds> start;
    WriteGathering gathering(format_.frames_per_read);
    for (;;) {
        if (format_.paced && !start) {
            start = clock.now();
        }
        if (gathering.gather()) {
            gathering.wait_for_draw(sender, clock);
        }
        // A gathered read takes up to two reads' worth: all that came since the last drawing.
        const std::span<std::uint8_t> free_space =
            (gathering.gather() ? buffer : buffer.first(read_bytes)).subspan(kept);
        const std::chrono::nanoseconds read_start = clock.now();
        const ReadResult result = read(free_space);
        const bool waited = clock.now() - read_start >= read_waited;
        if (result.error == EAGAIN || result.error == EWOULDBLOCK) {
            clock.sleep(would_block_pause);
            continue;
        }
        if (result.error == EINTR) {
            continue;
        }
        if (result.error != 0 || result.count == 0) {
            return;
        }
        const std::size_t filled = kept + std::min(result.count, free_space.size());
        const std::size_t whole_bytes = filled - filled % frame_bytes;
        kept = filled - whole_bytes;
        if (whole_bytes == 0) {
            continue;
        }
        SampleChunk chunk = mix_down(buffer.first(whole_bytes), format_.channels);
        // The start of a frame the next read completes.
        std::memmove(buffer.data(), buffer.data() + whole_bytes, kept);
        frames_sent += chunk.size();
        if (format_.paced) {
            wait_for_schedule(frames_sent, *start, clock);
        } else {
            gathering.after_read(chunk.size(), waited, result.count >= free_space.size());
        }
        if (sender.send(std::move(chunk), SampleTime(clock.now()))) {
            return;
        }
    }
}

void SampleReader::wait_for_schedule(std::uint64_t frames_sent, std::chrono::nanoseconds start,
                                     const ReaderClock& clock) const {
    // One read's worth ahead of the clock is allowed, so the first chunk goes out at once.
    if (frames_sent <= format_.frames_per_read) {
        return;
    }
    const std::chrono::nanoseconds due =
        start + duration_of(frames_sent - format_.frames_per_read, format_.rate);
    const std::chrono::nanoseconds now = clock.now();
    if (now < due) {
        clock.sleep(due - now);
    }
}

void start_sample_reader(SampleSender sender, AudioSource source, const ReaderFormat& format) {
    // The read buffer is made here, so that a size too large for memory is a start-up failure
    // rather than a crash on the reader thread.
    std::optional<SampleReader> prepared;
    try {
        prepared.emplace(format);
    } catch (const std::bad_alloc&) {
        throw FatalError("failed to spawn thread", ENOMEM);
    }
    auto body = [reader = std::move(*prepared), sender = std::move(sender),
                 source = std::move(source)]() mutable {
        // What a capture program says reaches the frame loop while it runs, through the channel.
        source.on_messages(
            [&sender](const std::string& messages) { sender.set_messages(messages); });
        const ReaderClock steady{
            [] { return std::chrono::steady_clock::now().time_since_epoch(); },
            [](std::chrono::nanoseconds time) { std::this_thread::sleep_for(time); }};
        try {
            reader.run(
                sender, [&source](std::span<std::uint8_t> buffer) { return source.read(buffer); },
                steady);
        } catch (const std::bad_alloc&) {
            // A chunk too large for memory ends the reader like a read error would.
        }
        sender.finish(source.messages());
    };
    try {
        // No handle outlives this line, so nothing that fails later can leave a joinable thread.
        std::thread(std::move(body)).detach();
    } catch (const std::system_error& error) {
        throw FatalError("failed to spawn thread", error.code().value());
    }
}

} // namespace tonalyx
