#include "audio/reader.hpp"
#include "signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

using std::chrono::nanoseconds;
using namespace std::chrono_literals;

// One step of a 16-bit sample: received samples are compared in these steps, which is exact.
constexpr float unit = 1.0f / 32768.0f;

std::string pcm(std::vector<std::int16_t> samples) {
    std::string bytes;
    append_pcm(bytes, samples);
    return bytes;
}

// One step of a scripted source: bytes to deliver, or an errno to fail with.
struct Step {
    std::string bytes;
    int error = 0;
};

// `bytes` cut at the offsets `at`, a step each.
std::vector<Step> cut(const std::string& bytes, std::initializer_list<std::size_t> at) {
    std::vector<Step> steps;
    std::size_t from = 0;
    for (const std::size_t to : at) {
        steps.push_back({bytes.substr(from, to - from)});
        from = to;
    }
    steps.push_back({bytes.substr(from)});
    return steps;
}

// Replays its steps read by read, then reports the end of the stream, noting what each read
// asked for. A step longer than the read fills the buffer and claims its whole length, as a
// faulty source might.
struct ScriptedSource {
    explicit ScriptedSource(std::vector<Step> script) : steps(std::move(script)) {}
    std::vector<Step> steps;
    std::size_t next = 0;
    std::vector<std::size_t> requested;

    ReadResult operator()(std::span<std::uint8_t> buffer) {
        requested.push_back(buffer.size());
        if (next == steps.size()) {
            return {};
        }
        const Step& step = steps[next++];
        std::memcpy(buffer.data(), step.bytes.data(), std::min(step.bytes.size(), buffer.size()));
        return {step.bytes.size(), step.error};
    }
};

// Time that moves only when the reader sleeps (or a test moves it).
struct FakeClock {
    nanoseconds time{0};
    std::vector<nanoseconds> sleeps;
    ReaderClock clock() {
        return {[this] { return time; },
                [this](nanoseconds duration) {
                    sleeps.push_back(duration);
                    time += duration;
                }};
    }
};

// Runs the reader to its end and returns every chunk it sent, in steps of `unit`, checking that
// the channel reports disconnected afterwards.
std::vector<SampleChunk> run_reader(const ReaderFormat& format, const ByteSource& source,
                                    const ReaderClock& clock) {
    auto [sender, receiver] = make_sample_channel();
    SampleReader(format).run(sender, source, clock);
    sender.finish({});
    std::vector<SampleChunk> chunks;
    SampleChunk chunk;
    while (receiver.try_receive(chunk) == ReceiveStatus::value) {
        std::transform(chunk.begin(), chunk.end(), chunk.begin(), [](float x) { return x / unit; });
        chunks.push_back(chunk);
    }
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
    return chunks;
}

TEST(MixDown, ConvertsEachFrameToTheChannelMean) {
    struct Case {
        std::size_t channels;
        std::string bytes;
        SampleChunk expected;
    };
    const Case cases[] = {
        {1, std::string("\x00\x80\xff\x7f", 4), {-1.0f, 32767 * unit}},
        {1, pcm({0, 1, -1}), {0.0f, unit, -unit}},
        {2, pcm({16384, -16384}), {0.0f}},
        {2, pcm({32767, 32767, 1000, 3000}), {32767 * unit, 2000 * unit}},
        {3, pcm({100, 200, 600}), {300 * unit}},
        // Trailing bytes short of a whole frame give no sample.
        {2, pcm({8192, 8192, 5}), {0.25f}},
        {2, pcm({7}), {}},
    };
    for (const Case& test : cases) {
        const std::vector<std::uint8_t> bytes(test.bytes.begin(), test.bytes.end());
        const SampleChunk chunk = mix_down(bytes, test.channels);
        EXPECT_EQ(chunk, test.expected) << "channels " << test.channels;
        EXPECT_EQ(chunk.capacity(), chunk.size());
    }
}

TEST(SampleReader, SendsTheWholeFramesOfEachReadAndCompletesTheRestWithTheNext) {
    const std::string split = pcm({100, 300, -200, -400, 1000, 3000});
    const std::string five = pcm({1, 1, 2, 2, 3, 3, 4, 4, 5, 5});
    const std::vector<Step> failing = {{{}, EINTR}, {pcm({4})}, {{}, EAGAIN}, {{}, EWOULDBLOCK},
                                       {pcm({8})},  {{}, EIO},  {pcm({9})}};
    struct Case {
        std::size_t channels;
        std::size_t frames_per_read;
        std::vector<Step> steps;
        std::vector<SampleChunk> chunks; // in steps of `unit`
        std::vector<std::size_t> requested;
        std::size_t pauses = 0; // of a millisecond, after each would-block
    };
    const Case cases[] = {
        {2, 800, {{std::string(3200, '\x01')}}, {SampleChunk(800, 257)}, {3200, 3200}},
        // The two bytes of the unfinished frame stay at the front of the buffer.
        {2, 800, {{std::string(3198, '\x01')}}, {SampleChunk(799, 257)}, {3200, 3198}},
        // A frame split across reads is completed, not shifted.
        {2, 800, cut(split, {3, 8}), {{200, -300}, {2000}}, {3200, 3197, 3200, 3200}},
        {2, 800, cut(split, {4, 6}), {{200}, {-300, 2000}}, {3200, 3200, 3198, 3200}},
        {2, 800, cut(split, {6}), {{200}, {-300, 2000}}, {3200, 3198, 3200}},
        // Four frames a read: after 3 kept bytes the reader asks for the other 13 only.
        {2, 4, cut(five, {3, 16}), {{1, 2, 3, 4}, {5}}, {16, 13, 16, 16}},
        // A source that claims more than it was asked for fills the buffer and no more.
        {2, 4, cut(five, {3}), {{1, 2, 3, 4}}, {16, 13, 16}},
        // Interrupted and would-block reads are retried; another error ends the reading.
        {1, 800, failing, {{4}, {8}}, std::vector<std::size_t>(6, 1600), 2},
    };
    for (const Case& test : cases) {
        ScriptedSource script{test.steps};
        FakeClock clock;
        EXPECT_EQ(run_reader({test.frames_per_read, 48000, test.channels, false}, std::ref(script),
                             clock.clock()),
                  test.chunks)
            << test.requested.size() << " reads";
        EXPECT_EQ(script.requested, test.requested);
        EXPECT_EQ(clock.sleeps, std::vector<nanoseconds>(test.pauses, 1ms));
    }
}

TEST(SampleReader, StopsReadingOnceTheReceiverIsGone) {
    ScriptedSource script{{{pcm({1, 1})}, {pcm({2, 2})}}};
    auto [sender, receiver] = make_sample_channel();
    { SampleReceiver gone = std::move(receiver); }
    FakeClock clock;
    SampleReader({800, 48000, 2, false}).run(sender, std::ref(script), clock.clock());
    EXPECT_EQ(script.requested.size(), 1u);
}

// Paced, the frames sent never run more than one read ahead of the time since the first read:
// frames_sent <= elapsed * rate + frames_per_read. It sleeps no more than that needs: not at all
// when its reads are slower than the audio they bring.
TEST(SampleReader, PacedReaderKeepsOneReadAheadOfTheClock) {
    constexpr std::uint32_t rate = 48000;
    constexpr std::size_t frames_per_read = 800;
    struct Case {
        nanoseconds read_time;
        std::size_t sleeps;
        nanoseconds elapsed;
    };
    const Case cases[] = {
        // The last of ten chunks goes out when nine reads' worth of time has passed.
        {0ns, 9, 9 * 800 * 1'000'000'000ns / rate},
        // Each read takes 50 ms, longer than the 16.7 ms of audio it brings.
        {50ms, 0, 500ms},
    };
    for (const Case& test : cases) {
        FakeClock clock;
        const nanoseconds start = clock.time = 1000s;
        std::size_t reads = 0;
        const ByteSource source = [&](std::span<std::uint8_t> buffer) -> ReadResult {
            const double allowed =
                std::chrono::duration<double>(clock.time - start).count() * rate + frames_per_read;
            EXPECT_LE(static_cast<double>(reads * frames_per_read), allowed) << "read " << reads;
            if (++reads > 10) {
                return {};
            }
            clock.time += test.read_time;
            return {buffer.size(), 0};
        };
        EXPECT_EQ(run_reader({frames_per_read, rate, 1, true}, source, clock.clock()).size(), 10u);
        EXPECT_EQ(clock.sleeps.size(), test.sleeps) << test.read_time.count();
        EXPECT_EQ(clock.time - start, test.elapsed);
    }
}

// A pipe written with `write_frames` mono PCM frames every `interval` for a second, then closed,
// and a receiver that draws its first frame at 3 ms and each next `frame` (60 a second unless
// told) plus the 400 us of drawing after the last, telling the reader so after each frame. A read
// takes what is written by the clock's time, up to the buffer; with nothing there it waits, moving
// the clock, for the next write. Counts the late reads, less than read_lead before the frame due
// for the oldest write they take: the first frame more than read_lead after it by a schedule told
// a frame before, which runs two drawing times early.
struct PacedPipe {
    static constexpr nanoseconds first_frame = 3ms;
    FakeClock& clock;
    SampleReceiver& receiver;
    nanoseconds interval;
    std::size_t write_frames;
    nanoseconds frame = 16'666'668ns;
    nanoseconds drawn = frame + 400us;
    std::size_t taken = 0; // frames read so far
    std::size_t reads = 0;
    std::size_t waits = 0; // reads that had to wait for a write
    std::size_t late = 0;

    std::size_t writes_by(nanoseconds time) const {
        return static_cast<std::size_t>(std::min(time, 1s - 1ns) / interval) + 1;
    }
    nanoseconds frame_after(nanoseconds time) const {
        return first_frame + (time < first_frame ? 0 : (time - first_frame) / drawn + 1) * drawn;
    }
    ReadResult operator()(std::span<std::uint8_t> buffer) {
        ++reads;
        if (taken == writes_by(1s) * write_frames) {
            return {};
        }
        if (writes_by(clock.time) * write_frames == taken) {
            clock.time = static_cast<std::int64_t>(writes_by(clock.time)) * interval;
            ++waits;
        }
        if (clock.time >= first_frame) {
            receiver.set_draw_schedule({SampleTime(frame_after(clock.time) - drawn), frame});
        }
        const nanoseconds oldest = static_cast<std::int64_t>(taken / write_frames) * interval;
        late += clock.time + read_lead > frame_after(oldest + read_lead + 2 * (drawn - frame)) ? 1u
                                                                                               : 0u;
        const std::size_t frames =
            std::min(writes_by(clock.time) * write_frames - taken, buffer.size() / 2);
        taken += frames;
        return {frames * 2, 0};
    }
};

TEST(SampleReader, ReadsSmallWritesOnceAFrameJustBeforeItAndLargeOnesAsTheyCome) {
    struct Case {
        nanoseconds interval;
        std::size_t write_frames;
        std::size_t most_wake_ups; // in the second the writer writes
        std::size_t most_reads;
        nanoseconds frame = 16'666'668ns;
        std::size_t frames_per_read = 800;
    };
    const Case cases[] = {
        // 100 writes, taken in one read in each of the 59 frames (and at both ends): with the
        // frame loop's own, about 120 wake-ups a second rather than 160.
        {10ms, 480, 62, 63},
        {4ms, 192, 62, 63},
        // Fewer writes than frames: each as it comes, a frame's worth at a time.
        {21'333'333ns, 1024, 47, 95},
        // A frame a second: the writes gather for no more than max_gather at a time.
        {10ms, 480, 52, 52, 1s, read_frames(48000, 1)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.write_frames << " frames " << test.frame.count());
        FakeClock clock;
        auto [sender, receiver] = make_sample_channel();
        PacedPipe pipe{clock, receiver, test.interval, test.write_frames, test.frame};
        receiver.set_draw_schedule({SampleTime(PacedPipe::first_frame), pipe.frame});
        SampleReader({test.frames_per_read, 48000, 1, false})
            .run(sender, std::ref(pipe), clock.clock());
        EXPECT_LE(clock.sleeps.size() + pipe.waits, test.most_wake_ups);
        EXPECT_LE(pipe.reads, test.most_reads);
        EXPECT_EQ(pipe.taken, pipe.writes_by(1s) * test.write_frames);
        EXPECT_EQ(pipe.late, 0u);
        EXPECT_TRUE(std::all_of(clock.sleeps.begin(), clock.sleeps.end(),
                                [](nanoseconds sleep) { return sleep <= max_gather; }));
    }
}

TEST(SampleReader, AGatheredReadThatFillsTheBufferIsFollowedByAnotherAtOnce) {
    FakeClock clock;
    auto [sender, receiver] = make_sample_channel();
    receiver.set_draw_schedule({SampleTime(3ms), 16'666'668ns});
    // The sleeps before each read: a small write that was waited for starts the gathering; a
    // read that then fills the buffer of two frames of audio leaves more waiting.
    const std::size_t reads_frames[] = {10, 1600, 1600, 5};
    std::vector<std::size_t> sleeps_before;
    std::size_t reads = 0;
    const ByteSource source = [&](std::span<std::uint8_t> buffer) -> ReadResult {
        sleeps_before.push_back(clock.sleeps.size());
        if (reads == std::size(reads_frames)) {
            return {};
        }
        clock.time += 1ms;
        return {std::min(reads_frames[reads++] * 2, buffer.size()), 0};
    };
    SampleReader({800, 48000, 1, false}).run(sender, source, clock.clock());
    EXPECT_EQ(sleeps_before, (std::vector<std::size_t>{0, 1, 1, 1, 2}));
}

TEST(SampleReader, ReadsOneDrawingsWorthOfAudioWithinBounds) {
    // A rate below the frame rate still reads a whole PCM frame at a time; the largest rate at one
    // frame a second would otherwise need a read buffer of gigabytes.
    EXPECT_EQ(read_frames(48000, 60), 800u);
    EXPECT_EQ(read_frames(48000, 65535), 1u);
    EXPECT_EQ(read_frames(4294967295u, 1), max_read_frames);
}

TEST(StartSampleReader, DecodesAPipeOnItsOwnThread) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const std::string stream = pcm({100, 300, 500, 700, 9});
    ASSERT_EQ(::write(ends[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    ::close(ends[1]);
    auto [sender, receiver] = make_sample_channel();
    start_sample_reader(std::move(sender), AudioSource::adopt(UniqueFd(ends[0])),
                        {800, 48000, 2, false});
    // The thread is detached: its end shows as the channel's end.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!receiver.final_messages() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(receiver.final_messages());
    SampleChunk chunk;
    ASSERT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk({200.0f / 32768.0f, 600.0f / 32768.0f}));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
}

} // namespace
} // namespace tonalyx
