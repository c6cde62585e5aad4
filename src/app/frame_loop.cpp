#include "app/frame_loop.hpp"

#include "terminal/signals.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <variant>

namespace tonalyx {
namespace {

using namespace std::chrono_literals;

constexpr auto size_check_interval = std::chrono::milliseconds(500);

// Takes the terminal again after a stop, whatever the shell did with it meanwhile, and clears
// and rebuilds through the resize path so that the next frame draws everything.
void take_terminal_again(TerminalSession& session, FrameState& state, OutputBuffer& out) {
    session.resume();
    TerminalSize size = state.display.size();
    static_cast<void>(terminal_size(size, SizeQuery::running));
    resize(state, size, out);
}

// Acts on one caught signal; says how the loop ends when the signal ends it.
std::optional<LoopEnd> handle_signal(int signal_number, FrameState& state, TerminalSession& session,
                                     OutputBuffer& out) {
    if (signal_number == SIGTSTP) {
        session.suspend();
        stop_process();
        // Also where an orphaned process group, which is not stopped, goes on.
        take_terminal_again(session, state, out);
    } else if (signal_number == SIGCONT) {
        take_terminal_again(session, state, out);
    } else {
        return LoopEnd{LoopEnd::Reason::signal, signal_number};
    }
    return std::nullopt;
}

// Acts on one terminal event; says how the loop ends when the event ends it.
std::optional<LoopEnd> handle_event(const TerminalEvent& event, FrameState& state,
                                    TerminalSession& session, OutputBuffer& out) {
    if (const auto* key = std::get_if<KeyEvent>(&event)) {
        if (is_quit_key(*key)) {
            return LoopEnd{LoopEnd::Reason::quit_key};
        }
        // Ctrl+Z, which raw mode hands over as a key, stops the job as the terminal would.
        if (key->character == U'z' && key->modifiers == Modifiers{false, false, true}) {
            stop_job();
        }
        handle_key(*key, state.settings, state.analyzer);
    } else if (const auto* resized = std::get_if<ResizeEvent>(&event)) {
        resize(state, resized->size, out);
    } else if (const auto* caught = std::get_if<SignalEvent>(&event)) {
        return handle_signal(caught->signal_number, state, session, out);
    } else if (std::holds_alternative<HangUpEvent>(event)) {
        return LoopEnd{LoopEnd::Reason::hang_up};
    }
    return std::nullopt;
}

// Every 500 ms: a terminal whose size changed without an event is resized. Says whether it was.
bool check_size(LoopIo& io, Clock::time_point& last_size_check, FrameState& state,
                OutputBuffer& out) {
    const Clock::time_point now = io.now();
    if (now < last_size_check || now - last_size_check < size_check_interval) {
        return false;
    }
    TerminalSize size;
    const bool changed = !io.terminal_size(size) && size != state.display.size();
    if (changed) {
        resize(state, size, out);
    }
    last_size_check = io.now();
    return changed;
}

// When the report of a capture program that has failed falls due: when it ended, if its stream
// has ended too, or failure_report_delay later, when something it started still holds its pipes,
// for the rest of what it said to come. Nothing while it runs or after a clean end; one that
// ended cleanly is reaped once its stream has ended.
std::optional<Clock::time_point> failure_report_due(AudioFeed& audio) {
    if (!audio.capture) {
        return std::nullopt;
    }
    const std::optional<int> status = audio.capture->poll();
    if (!status) {
        return std::nullopt;
    }
    const bool stream_ended = audio.receiver.final_messages().has_value();
    if (!ended_in_failure(*status)) {
        if (stream_ended) {
            audio.capture->stop();
        }
        return std::nullopt;
    }
    const Clock::time_point ended = *audio.capture->ended_at();
    return stream_ended ? ended : ended + failure_report_delay;
}

// Tells whether a capture program has failed and its report is due.
bool capture_failed(AudioFeed& audio) {
    const std::optional<Clock::time_point> due = failure_report_due(audio);
    return due && Clock::now() >= *due;
}

// The terminal and the clock the program runs on. A wait also ends when a chunk wakes the
// sleeping loop, and when the capture program ends.
class TerminalIo final : public LoopIo {
public:
    TerminalIo(EventSource& events, TerminalSession& session, const AudioFeed& audio)
        : events_(events), session_(session), audio_(audio) {}

    Clock::time_point now() override { return Clock::now(); }
    bool poll(std::chrono::nanoseconds timeout) override {
        events_.set_wake_fds(
            {audio_.receiver.wake_fd(), audio_.capture ? audio_.capture->exit_fd() : -1});
        return events_.poll(timeout);
    }
    std::optional<LoopEnd> take_event(FrameState& state, OutputBuffer& out) override {
        return handle_event(events_.read(), state, session_, out);
    }
    std::error_code terminal_size(TerminalSize& size) override {
        return tonalyx::terminal_size(size, SizeQuery::running);
    }

private:
    EventSource& events_;
    TerminalSession& session_;
    const AudioFeed& audio_;
};

// Where the loop stands: its last frame, drawn or skipped, its last size check, and whether it
// sleeps.
struct LoopTimes {
    Clock::time_point last_frame;
    Clock::time_point last_size_check;
    bool asleep = false;
};

// How long the next poll may wait: until the next frame; while asleep, until the frame at which
// the size check falls due, where a loop drawing every frame would check it.
std::chrono::nanoseconds wait_time(std::chrono::nanoseconds period, const LoopTimes& times,
                                   Clock::time_point now) {
    if (!times.asleep) {
        return time_left(period, times.last_frame, now);
    }
    const auto until_check = times.last_size_check + size_check_interval - times.last_frame;
    const auto frames = std::max<std::int64_t>(1, (until_check + period - 1ns) / period);
    return time_left(frames * period, times.last_frame, now);
}

// Accounts for the frames skipped while asleep that fell before `until` (one due at `until` is
// yet to come): each lets every bar fall by `drop_off`, and takes the silence that arrived before
// it. The picture stays blank and the gain as it is.
void skip_frames(std::chrono::nanoseconds period, Clock::time_point until, float drop_off,
                 LoopTimes& times, FrameState& state, SampleReceiver& receiver) {
    if (until <= times.last_frame) {
        return;
    }
    const std::int64_t frames = (until - times.last_frame - 1ns) / period;
    if (frames <= 0) {
        return;
    }
    state.analyzer.decay_bars(drop_off, static_cast<std::uint64_t>(frames));
    times.last_frame += frames * period;
    receiver.drop_silence_until(times.last_frame);
}

// After a frame: sleeps when the picture is blank and falling bars keep it so, until a chunk
// comes that could change that: any chunk, or with the bars and the gain at rest, one that is not
// all zeros.
bool fall_asleep(std::chrono::nanoseconds period, const FrameState& state,
                 SampleReceiver& receiver) {
    const float drop_off = state.settings.drop_off;
    if (period <= std::chrono::nanoseconds::zero() || !(drop_off >= 0.0f && drop_off <= 1.0f) ||
        !state.display.shown().blank()) {
        return false;
    }
    return receiver.sleep(state.analyzer.at_rest() ? WakeOn::sound : WakeOn::any_chunk);
}

void wake(LoopTimes& times, SampleReceiver& receiver) {
    receiver.wake();
    times.asleep = false;
}

// After a wait that ended while asleep: wakes for an event, a chunk or the end of the stream,
// and says until when the frames were skipped. A chunk that woke the loop belongs to the frame
// due when it arrived, even if the loop wakes after that frame's time.
Clock::time_point end_sleep(bool ready, LoopTimes& times, SampleReceiver& receiver, LoopIo& io) {
    const std::optional<SampleTime> woken_at = receiver.woken_at();
    const Clock::time_point now = io.now();
    if (ready || woken_at) {
        wake(times, receiver);
    }
    return std::min(woken_at.value_or(now), now);
}

} // namespace

FrameState make_frame_state(const Cli& cli, TerminalSize size) {
    FrameState state{initial_settings(cli), SpectrumAnalyzer(cli.fps), DisplayState(size)};
    state.analyzer.set_columns(state.display.grid_cols(), state.settings.log_power);
    return state;
}

std::chrono::nanoseconds frame_period(std::uint16_t fps) {
    const float seconds = 1.0f / static_cast<float>(fps);
    // The float converts to double exactly; the product is then rounded to whole nanoseconds.
    return std::chrono::nanoseconds(std::llround(static_cast<double>(seconds) * 1e9));
}

std::chrono::nanoseconds time_left(std::chrono::nanoseconds period, Clock::time_point last_frame,
                                   Clock::time_point now) {
    const auto elapsed = std::max(now - last_frame, Clock::duration::zero());
    return std::max(period - std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                    std::chrono::nanoseconds::zero());
}

void draw_frame(FrameState& state, SampleReceiver& receiver, OutputBuffer& out) {
    state.analyzer.analyse_frame(receiver, state.settings.drop_off);
    state.display.draw(state.analyzer.bars(), state.analyzer.normaliser(),
                       state.settings.sensitivity, out);
}

void resize(FrameState& state, TerminalSize size, OutputBuffer& out) {
    state.display.resize(size, out);
    state.analyzer.set_columns(state.display.grid_cols(), state.settings.log_power);
}

LoopEnd run_frame_loop(std::chrono::nanoseconds period, FrameState& state, AudioFeed& audio,
                       EventSource& events, TerminalSession& session, OutputBuffer& out) {
    TerminalIo io(events, session, audio);
    return run_frames({period}, state, audio, io, out);
}

LoopEnd run_frames(const FramePacing& pacing, FrameState& state, AudioFeed& audio, LoopIo& io,
                   OutputBuffer& out) {
    const std::chrono::nanoseconds period = pacing.period;
    LoopTimes times{io.now(), {}};
    times.last_size_check = times.last_frame;
    for (;;) {
        std::chrono::nanoseconds wait = wait_time(period, times, io.now());
        // Asleep, no chunk may come to bring a failure's report forward.
        if (times.asleep) {
            if (const std::optional<Clock::time_point> due = failure_report_due(audio)) {
                wait = std::clamp<std::chrono::nanoseconds>(*due - Clock::now(), 0ns, wait);
            }
        }
        const bool ready = io.poll(wait);
        const std::optional<Clock::time_point> skipped_until =
            times.asleep ? std::optional(end_sleep(ready, times, audio.receiver, io))
                         : std::nullopt;
        // The frames skipped before an event fall after it, at the drop-off from before it: one
        // that rebuilds the picture (a continue after a long stop) leaves them no work.
        const float drop_off = state.settings.drop_off;
        if (ready) {
            if (const std::optional<LoopEnd> end = io.take_event(state, out)) {
                return *end;
            }
        }
        if (skipped_until) {
            skip_frames(period, *skipped_until, drop_off, times, state, audio.receiver);
            // A chunk, or the end of the stream, wakes the loop between frames, where a loop
            // drawing every frame does not wake: it goes on to the next frame without a size
            // check, unless the end of the stream made a failure's report due.
            if (!ready && !times.asleep) {
                if (capture_failed(audio)) {
                    return {LoopEnd::Reason::capture_failed};
                }
                continue;
            }
        }
        if (check_size(io, times.last_size_check, state, out) && times.asleep) {
            wake(times, audio.receiver);
        }
        if (times.asleep || time_left(period, times.last_frame, io.now()) > 0ns) {
            // Also between frames: the end of the capture program ends a wait at once, and
            // goes on doing so until it is found here.
            if (capture_failed(audio)) {
                return {LoopEnd::Reason::capture_failed};
            }
            continue;
        }
        draw_frame(state, audio.receiver, out);
        times.last_frame = io.now();
        audio.receiver.set_draw_schedule({times.last_frame, period});
        out.flush();
        if (capture_failed(audio)) {
            return {LoopEnd::Reason::capture_failed};
        }
        times.asleep = pacing.sleep_at_rest && fall_asleep(period, state, audio.receiver);
    }
}

} // namespace tonalyx
