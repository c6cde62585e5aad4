#include "app/frame_loop.hpp"

#include "analysis/bands.hpp"
#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>

namespace tonalyx {
namespace {

using std::chrono::nanoseconds;
using namespace std::chrono_literals;

std::vector<float> bars_of(const FrameState& state) {
    return {state.analyzer.bars().begin(), state.analyzer.bars().end()};
}

std::vector<std::uint16_t> bins_of(const FrameState& state) {
    return {state.analyzer.column_bins().begin(), state.analyzer.column_bins().end()};
}

TEST(FramePacing, PeriodIsTheSinglePrecisionReciprocalRoundedAndTimeLeftSaturates) {
    EXPECT_EQ(frame_period(60).count(), 16'666'668);
    EXPECT_EQ(frame_period(30).count(), 33'333'335);
    EXPECT_EQ(frame_period(1).count(), 1'000'000'000);
    EXPECT_EQ(frame_period(65535).count(), 15'259);
    // What is left of a frame saturates at both ends: a clock reading before the last frame
    // counts as no time elapsed.
    const auto start = Clock::now();
    const nanoseconds period(16'666'668);
    EXPECT_EQ(time_left(period, start, start + 10ms), nanoseconds(6'666'668));
    EXPECT_EQ(time_left(period, start, start + 40ms), 0ns);
    EXPECT_EQ(time_left(period, start, start - 5ms), period);
}

TEST(FrameState, StartsAndAfterAResizeHasOneZeroBarPerColumnAtTheSameGain) {
    // Of the starting settings only the drop-off is clamped.
    Cli cli;
    cli.log_power = 5.0f;
    cli.drop_off = 1.5f;
    FrameState state = make_frame_state(cli, {50, 1200});
    EXPECT_EQ(state.settings.drop_off, 1.0f);
    EXPECT_EQ(state.settings.log_power, 5.0f);
    EXPECT_EQ(state.settings.sensitivity, 1.0f);
    cli.drop_off = -2.0f;
    EXPECT_EQ(initial_settings(cli).drop_off, 0.0f);
    EXPECT_EQ(state.display.size(), (TerminalSize{50, 1200}));
    EXPECT_EQ(state.display.grid_cols(), 1000u);
    EXPECT_EQ(bars_of(state), std::vector<float>(1000, 0.0f));
    EXPECT_EQ(bins_of(state), build_column_bins(1000, 5.0f));

    TestPipe pipe;
    OutputBuffer out(pipe.write_end.get());
    auto [sender, receiver] = make_sample_channel();
    // A quarter-rate cosine: a loud bin 256, which one of the columns shows.
    SampleChunk tone(1024, 0.0f);
    for (std::size_t t = 0; t < tone.size(); t += 2) {
        tone[t] = t % 4 == 0 ? 0.5f : -0.5f;
    }
    sender.send(tone);
    draw_frame(state, receiver, out);
    ASSERT_FALSE(out.flush());
    ASSERT_NE(pipe.drain(), "");
    const float normaliser = state.analyzer.normaliser();
    ASSERT_NE(normaliser, 1.0f);
    state.settings.log_power = 2.5f;

    resize(state, {1200, 1100}, out);
    EXPECT_EQ(pipe.drain(), "\x1b[2J");
    EXPECT_EQ(state.display.grid_rows(), 1000u);
    EXPECT_EQ(state.display.grid_cols(), 1000u);
    EXPECT_EQ(bars_of(state), std::vector<float>(1000, 0.0f));
    EXPECT_EQ(bins_of(state), build_column_bins(1000, 2.5f));
    EXPECT_EQ(state.analyzer.normaliser(), normaliser);
    EXPECT_EQ(state.settings.log_power, 2.5f);
}

// Something that happens to a scripted run of the frame loop, `at` after its start.
struct Cue {
    enum class Kind { audio, end_of_audio, key, resize, silent_resize, stop } kind;
    nanoseconds at;
    SampleChunk samples{};  // audio
    char32_t key = 0;       // key
    TerminalSize size = {}; // resize (with an event) and silent_resize (without)
};

// The clock, the audio, the keys and the terminal size of a frame loop, all scripted: time moves
// only in poll, to the end of the wait or to the next cue, and a wait ends early where the real
// one would, at an event, or `wake_delay` after a wake-up of the sample channel. A stop lasts a
// second. Records the loop's writes and when.
class ScriptedIo final : public LoopIo {
public:
    ScriptedIo(std::vector<Cue> cues, SampleSender& sender, int wake_fd, const TestPipe& out,
               nanoseconds wake_delay)
        : wake_delay_(wake_delay), cues_(std::move(cues)), sender_(sender), wake_fd_(wake_fd),
          out_(out) {}

    Clock::time_point now() override { return now_; }

    bool poll(nanoseconds timeout) override {
        record_writes();
        polls.push_back(now_ - start_);
        Clock::time_point end = now_ + timeout;
        for (;;) {
            if (woken()) {
                end = std::min(end, now_ + wake_delay_);
            }
            if (!events_.empty() || next_ == cues_.size() || start_ + cues_[next_].at > end) {
                break;
            }
            now_ = std::max(now_, start_ + cues_[next_].at);
            act(cues_[next_++]);
        }
        now_ = events_.empty() ? std::max(now_, end) : now_;
        return !events_.empty();
    }

    TerminalEvent read_event() override {
        const TerminalEvent event = events_.front();
        events_.pop_front();
        return event;
    }

    std::error_code terminal_size(TerminalSize& size) override {
        size = size_;
        return {};
    }

    void stop() override { now_ += 1s; }
    void resume() override { ++resumed; }

    void record_writes() {
        if (std::string bytes = out_.drain(); !bytes.empty()) {
            writes.emplace_back(now_ - start_, std::move(bytes));
        }
    }

    std::vector<std::pair<nanoseconds, std::string>> writes;
    std::vector<nanoseconds> polls;
    int resumed = 0;

private:
    bool woken() const {
        pollfd wake{wake_fd_, POLLIN, 0};
        return ::poll(&wake, 1, 0) == 1;
    }

    void act(const Cue& cue) {
        switch (cue.kind) {
        case Cue::Kind::audio:
            sender_.send(cue.samples, now_);
            break;
        case Cue::Kind::end_of_audio:
            sender_.finish("", now_);
            break;
        case Cue::Kind::key:
            events_.emplace_back(KeyEvent{cue.key, {}});
            break;
        case Cue::Kind::resize:
            size_ = cue.size;
            events_.emplace_back(ResizeEvent{cue.size});
            break;
        case Cue::Kind::silent_resize:
            size_ = cue.size;
            break;
        case Cue::Kind::stop:
            events_.emplace_back(SignalEvent{SIGTSTP});
            break;
        }
    }

    const nanoseconds wake_delay_;
    const Clock::time_point start_ = Clock::time_point(1000s);
    Clock::time_point now_ = start_;
    std::vector<Cue> cues_;
    std::size_t next_ = 0;
    SampleSender& sender_;
    int wake_fd_;
    const TestPipe& out_;
    std::deque<TerminalEvent> events_;
    TerminalSize size_ = {12, 24};
};

// A paced writer's 10 ms chunks from `from` to `to`: zeros, or a mix of two tones at `level`.
void add_audio(std::vector<Cue>& cues, nanoseconds from, nanoseconds to, float level) {
    for (nanoseconds at = from; at < to; at += 10ms) {
        SampleChunk samples(480);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto t = static_cast<float>(static_cast<std::size_t>(at / 1ms) * 48 + i);
            samples[i] = level * (0.6f * std::sin(0.08f * t) + 0.4f * std::sin(0.61f * t + 0.3f));
        }
        cues.push_back({Cue::Kind::audio, at, std::move(samples)});
    }
}

void add_keys(std::vector<Cue>& cues, nanoseconds at, char32_t key, int presses) {
    for (int i = 0; i < presses; ++i) {
        cues.push_back({Cue::Kind::key, at, {}, key});
    }
}

struct Recording {
    std::vector<std::pair<nanoseconds, std::string>> writes;
    std::string bytes; // all the writes
    std::vector<nanoseconds> polls;
};

Recording record(const std::vector<Cue>& cues, bool sleep_at_rest, nanoseconds wake_delay = 0ns) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end.get());
    FrameState state = make_frame_state(Cli{}, {12, 24});
    auto [sender, receiver] = make_sample_channel();
    AudioFeed audio{std::move(receiver), std::nullopt};
    const auto stops = std::count_if(cues.begin(), cues.end(),
                                     [](const Cue& cue) { return cue.kind == Cue::Kind::stop; });
    ScriptedIo io(cues, sender, audio.receiver.wake_fd(), pipe, wake_delay);
    const LoopEnd end = run_frames({frame_period(60), sleep_at_rest}, state, audio, io, out);
    EXPECT_EQ(end.reason, LoopEnd::Reason::quit_key);
    EXPECT_EQ(io.resumed, stops);
    io.record_writes();
    std::string bytes;
    for (const auto& [at, written] : io.writes) {
        bytes += written;
    }
    return {std::move(io.writes), std::move(bytes), std::move(io.polls)};
}

std::size_t polls_between(const Recording& recording, nanoseconds from, nanoseconds to) {
    return static_cast<std::size_t>(
        std::count_if(recording.polls.begin(), recording.polls.end(),
                      [&](nanoseconds at) { return at >= from && at < to; }));
}

TEST(FrameLoop, SleepsAtRestAndWritesWhatDrawingEveryFrameWrites) {
    const nanoseconds frame = frame_period(60);
    std::vector<Cue> cues;
    // Nothing for the first frame, then zeros, which the gain records, and a faint blip that it
    // shows large unless it recorded them. Then zeros until the gain holds only silence; the size
    // is checked at frame 30. The next check falls due 40 ns before frame 60: a burst that wakes
    // the loop in between must not bring it forward, where it would catch a size change that
    // drawing every frame sees only at frame 60. Frame 60 analyses the burst alone.
    add_audio(cues, 20ms, 100ms, 0.0f);
    add_audio(cues, 100ms, 140ms, 0.00002f);
    add_audio(cues, 140ms, 59 * frame, 0.0f);
    cues.push_back({Cue::Kind::silent_resize, 990ms, {}, 0, {12, 20}});
    add_audio(cues, 60 * frame - 20ns, 1200ms, 0.5f);
    // With a drop-off of 0, zeros blank the picture at once while the gain still holds the burst;
    // by frame 102 it holds only silence. A tick 50 us before frame 115 must be drawn there even
    // by a loop that wakes 100 us late.
    add_keys(cues, 1200ms, U'[', 20);
    add_audio(cues, 1200ms, 118 * frame, 0.0f);
    add_audio(cues, 115 * frame - 50us, 115 * frame - 40us, 0.05f);
    // After a pause, a softer burst from exactly a frame's time, drawn at a gain that forgot the
    // loud one, then the end of the stream: the bars sink by 0.9 a frame until the picture is
    // blank.
    add_keys(cues, 1950ms, U']', 18);
    add_audio(cues, 120 * frame, 120 * frame + 200ms, 0.05f);
    cues.push_back({Cue::Kind::end_of_audio, 120 * frame + 200ms});
    // Sunk below what can be seen, the bars show again at a higher sensitivity: the loop must
    // not sleep while they can. A stop of a second then rebuilds the picture.
    add_keys(cues, 3100ms, U'+', 13);
    cues.push_back({Cue::Kind::resize, 3500ms, {}, 0, {14, 30}});
    cues.push_back({Cue::Kind::stop, 4000ms});
    add_keys(cues, 7000ms, U'q', 1);
    std::stable_sort(cues.begin(), cues.end(),
                     [](const Cue& a, const Cue& b) { return a.at < b.at; });

    const Recording every_frame = record(cues, false);
    const Recording sleeping = record(cues, true);
    ASSERT_EQ(sleeping.writes, every_frame.writes);
    // A loop that wakes 0.1 ms after the chunk that woke it, past the frame that chunk belongs
    // to, draws that frame late but writes the same bytes.
    EXPECT_EQ(record(cues, true, 100us).bytes, every_frame.bytes);
    // It does sleep: in paced silence with the gain at rest, and once the stream has ended and
    // the bars have sunk below what can ever be seen.
    for (const auto& [from, to] : {std::pair{1705ms, 1905ms}, std::pair{6500ms, 6900ms}}) {
        EXPECT_GE(polls_between(every_frame, from, to), 6u);
        EXPECT_LE(polls_between(sleeping, from, to), 1u) << from.count() << " ms";
    }
}

TEST(FrameLoop, AFaintToneAndTheEndOfTheStreamWakeTheLoopSleepingInSilence) {
    std::vector<Cue> cues;
    // After 1.5 s of exact silence, a tone of +-16 in 16-bit samples, then the end.
    add_audio(cues, 20ms, 1500ms, 0.0f);
    add_audio(cues, 1500ms, 1600ms, 16.0f / 32768.0f);
    add_audio(cues, 1600ms, 3000ms, 0.0f);
    cues.push_back({Cue::Kind::end_of_audio, 3234ms});
    add_keys(cues, 4000ms, U'q', 1);
    const Recording sleeping = record(cues, true);
    EXPECT_EQ(sleeping.bytes, record(cues, false).bytes);
    const auto bar =
        std::find_if(sleeping.writes.begin(), sleeping.writes.end(), [](const auto& write) {
            return write.second.find("\u2588") != std::string::npos;
        });
    ASSERT_NE(bar, sleeping.writes.end());
    EXPECT_LT(bar->first, 1520ms);
    // Woken when the stream ended, it goes on from there: it would learn there that a failed
    // capture program's report is due.
    EXPECT_LE(polls_between(sleeping, 3100ms, 3234ms), 1u);
    EXPECT_EQ(polls_between(sleeping, 3234ms, 3235ms), 1u);
}

} // namespace
} // namespace tonalyx
