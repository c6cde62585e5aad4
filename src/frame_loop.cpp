#include "frame_loop.hpp"

#include "terminal/signals.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <variant>

namespace tonalyx {
namespace {

constexpr auto size_check_interval = std::chrono::milliseconds(500);

// Takes the terminal again after a stop, whatever the shell did with it meanwhile, and clears
// and rebuilds through the resize path so that the next frame draws everything.
void take_terminal_again(TerminalSession& session, FrameState& state, OutputBuffer& out) {
    session.resume();
    TerminalSize size = state.display.size();
    static_cast<void>(terminal_size(size));
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

// Every 500 ms: a terminal whose size changed without an event is resized.
void check_size(Clock::time_point& last_size_check, FrameState& state, OutputBuffer& out) {
    const Clock::time_point now = Clock::now();
    if (now < last_size_check || now - last_size_check < size_check_interval) {
        return;
    }
    TerminalSize size;
    if (!terminal_size(size, SizeQuery::running) && size != state.display.size()) {
        resize(state, size, out);
    }
    last_size_check = Clock::now();
}

// Tells whether a capture program has failed and its report is due: its stream has ended too,
// or something it started still holds its pipes and it ended long enough ago for the rest of
// what it said to have come. One that ended cleanly is reaped once its stream has ended.
bool capture_failed(AudioFeed& audio) {
    if (!audio.capture) {
        return false;
    }
    const std::optional<int> status = audio.capture->poll();
    if (!status) {
        return false;
    }
    const bool stream_ended = audio.receiver.end_note().has_value();
    if (!ended_in_failure(*status)) {
        if (stream_ended) {
            audio.capture->stop();
        }
        return false;
    }
    return stream_ended || Clock::now() - *audio.capture->ended_at() >= failure_report_delay;
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
    Clock::time_point last_frame = Clock::now();
    Clock::time_point last_size_check = last_frame;
    for (;;) {
        if (events.poll(time_left(period, last_frame, Clock::now()))) {
            if (const std::optional<LoopEnd> end =
                    handle_event(events.read(), state, session, out)) {
                return *end;
            }
        }
        check_size(last_size_check, state, out);
        if (time_left(period, last_frame, Clock::now()) > std::chrono::nanoseconds::zero()) {
            continue;
        }
        draw_frame(state, audio.receiver, out);
        last_frame = Clock::now();
        out.flush();
        if (capture_failed(audio)) {
            return {LoopEnd::Reason::capture_failed};
        }
    }
}

} // namespace tonalyx
