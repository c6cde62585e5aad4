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

// Acts on one terminal event; says how the loop ends when the event ends it.
std::optional<LoopEnd> handle_event(const TerminalEvent& event, FrameState& state, LoopIo& io,
                                    OutputBuffer& out) {
    if (const auto* key = std::get_if<KeyEvent>(&event)) {
        if (is_quit_key(*key)) {
            return LoopEnd{LoopEnd::Reason::quit_key};
        }
        // Ctrl+Z, which raw mode hands over as a key, stops the job as the terminal would.
        if (key->character == U'z' && key->modifiers == Modifiers{false, false, true}) {
            send_stop_to_job();
        }
        handle_key(*key, state.settings, state.analyzer);
    } else if (const auto* resized = std::get_if<ResizeEvent>(&event)) {
        resize(state, resized->size, out);
    } else if (const auto* caught = std::get_if<SignalEvent>(&event)) {
        if (caught->signal_number != SIGTSTP && caught->signal_number != SIGCONT) {
            return LoopEnd{LoopEnd::Reason::signal, caught->signal_number};
        }
        if (caught->signal_number == SIGTSTP) {
            io.stop();
        }
        // After a stop, and also where an orphaned process group, which is not stopped, goes on:
        // the terminal is taken again, whatever the shell did with it, and rebuilt through the
        // resize path so that the next frame draws everything.
        io.resume();
        TerminalSize size = state.display.size();
        static_cast<void>(io.terminal_size(size));
        resize(state, size, out);
    } else if (std::holds_alternative<HangUpEvent>(event)) {
        return LoopEnd{LoopEnd::Reason::hang_up};
    }
    return std::nullopt;
}

// Every 500 ms: a terminal whose size changed without an event is resized. Says whether it was.
bool check_size(LoopIo& io, Clock::time_point& last_size_check, FrameState& state,
                OutputBuffer& out) {
    const Clock::time_point now = io.now();
    if (now - last_size_check < size_check_interval) {
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
    TerminalEvent read_event() override { return events_.read(); }
    std::error_code terminal_size(TerminalSize& size) override {
        return tonalyx::terminal_size(session_.device(), size, TputFallback::forbidden);
    }
    void stop() override {
        session_.suspend();
        stop_self_until_continued();
    }
    void resume() override { session_.resume(); }

private:
    EventSource& events_;
    TerminalSession& session_;
    const AudioFeed& audio_;
};

// Where the loop stands: its last frame, drawn or slept through, its last size check, and
// whether it sleeps.
struct LoopTimes {
    Clock::time_point last_frame;
    Clock::time_point last_size_check;
    bool asleep = false;
};

// How long the next poll may wait: until the next frame, or while asleep until the frame at
// which the size check falls due, where a loop drawing every frame would check it; and never
// past `report_due`, when the report of a failed capture program falls due.
std::chrono::nanoseconds wait_time(std::chrono::nanoseconds period, const LoopTimes& times,
                                   std::optional<Clock::time_point> report_due,
                                   Clock::time_point now) {
    std::int64_t frames = 1;
    if (times.asleep) {
        const auto until_check = times.last_size_check + size_check_interval - times.last_frame;
        frames = std::max<std::int64_t>(1, (until_check + period - 1ns) / period);
    }
    const std::chrono::nanoseconds wait = time_left(frames * period, times.last_frame, now);
    if (report_due) {
        return std::clamp<std::chrono::nanoseconds>(*report_due - Clock::now(), 0ns, wait);
    }
    return wait;
}

// After a wait that ended while asleep: moves the last frame along the frame grid to the last
// one before the chunk or the end of the stream that woke the loop (or before now), and drops
// the silence that frames drawn one by one would have taken by then. An event, a chunk or the
// end of the stream wakes the loop. Says whether a chunk or the end woke it without an event:
// between frames, where a loop drawing every frame would not have woken.
bool end_sleep(bool ready, std::chrono::nanoseconds period, LoopTimes& times,
               SampleReceiver& receiver, LoopIo& io) {
    const std::optional<SampleTime> woken_at = receiver.woken_at();
    const Clock::time_point now = io.now();
    const Clock::time_point until = std::min(woken_at.value_or(now), now);
    if (until > times.last_frame) {
        times.last_frame += (until - times.last_frame - 1ns) / period * period;
        receiver.drop_silence_until(times.last_frame);
    }
    if (ready || woken_at) {
        receiver.wake();
        times.asleep = false;
    }
    return woken_at && !ready;
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
    LoopTimes times{io.now(), io.now()};
    // Found once a pass, after the frame: the next wait takes it as it stands.
    std::optional<Clock::time_point> report_due = failure_report_due(audio);
    for (;;) {
        const bool ready = io.poll(wait_time(period, times, report_due, io.now()));
        const bool woken_between_frames =
            times.asleep && end_sleep(ready, period, times, audio.receiver, io);
        if (ready) {
            if (const std::optional<LoopEnd> end = handle_event(io.read_event(), state, io, out)) {
                return *end;
            }
        }
        // Woken between frames, the loop goes on to the next frame without a size check.
        if (!woken_between_frames && check_size(io, times.last_size_check, state, out) &&
            times.asleep) {
            audio.receiver.wake();
            times.asleep = false;
        }
        if (!woken_between_frames && !times.asleep &&
            time_left(period, times.last_frame, io.now()) == 0ns) {
            draw_frame(state, audio.receiver, out);
            times.last_frame = io.now();
            audio.receiver.set_draw_schedule({times.last_frame, period});
            out.flush();
            // Asleep, only a chunk that could change the gain can change what is seen: any
            // chunk, or once the gain holds only silence, one that is not all zeros.
            times.asleep = pacing.sleep_at_rest && state.analyzer.unseen() &&
                           audio.receiver.sleep(state.analyzer.gain_at_rest() ? WakeOn::sound
                                                                              : WakeOn::any_chunk);
        }
        // Also between frames: the end of the capture program ends a wait at once, and goes on
        // doing so until it is found here.
        report_due = failure_report_due(audio);
        if (report_due && Clock::now() >= *report_due) {
            return {LoopEnd::Reason::capture_failed};
        }
    }
}

} // namespace tonalyx
