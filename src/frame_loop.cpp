#include "frame_loop.hpp"

#include "display/signals.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <variant>

namespace tonalyx {
namespace {

constexpr auto size_check_interval = std::chrono::milliseconds(500);

void resize(DisplayState& display, const LiveSettings& settings, SpectrumAnalyzer& analyzer,
            std::uint16_t new_rows, std::uint16_t new_cols, OutputBuffer& out) {
    handle_terminal_resize(display.rows, display.cols, new_rows, new_cols, display.grid_rows,
                           display.grid_cols, settings.log_power, display.shown, analyzer.bars,
                           analyzer.spare_bars, analyzer.column_bins, out);
}

// Takes the terminal again after a stop, whatever the shell did with it meanwhile, and clears
// and rebuilds through the resize path so that the next frame draws everything.
void take_terminal_again(TerminalSession& session, DisplayState& display,
                         const LiveSettings& settings, SpectrumAnalyzer& analyzer,
                         OutputBuffer& out) {
    session.resume();
    TerminalSize size{display.cols, display.rows};
    static_cast<void>(terminal_size(size));
    resize(display, settings, analyzer, size.rows, size.cols, out);
}

// Reaps a capture program that has ended, without waiting, and tells whether it failed with all
// it said already in the channel (its stream has ended too).
bool capture_failed(std::optional<CaptureProcess>& capture, const SampleReceiver& receiver) {
    if (!capture) {
        return false;
    }
    const std::optional<int> status = capture->poll();
    return status && ended_in_failure(*status) && receiver.end_note();
}

} // namespace

DisplayState make_display(std::uint16_t rows, std::uint16_t cols) {
    DisplayState display;
    display.rows = rows;
    display.cols = cols;
    display.grid_rows = std::min(rows, max_grid_size);
    display.grid_cols = std::min(cols, max_grid_size);
    display.shown = ShownBars(display.grid_rows, display.grid_cols);
    return display;
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

void draw_frame(const LiveSettings& settings, SpectrumAnalyzer& analyzer, DisplayState& display,
                SampleReceiver& receiver, OutputBuffer& out) {
    analyse_frame(analyzer, receiver, settings.drop_off);
    diff_bars(display.shown, analyzer.bars, analyzer.normaliser, settings.sensitivity,
              display.diff);
    display.diff.apply(out);
}

LoopEnd run_frame_loop(std::chrono::nanoseconds period, LiveSettings& settings,
                       SpectrumAnalyzer& analyzer, DisplayState& display, SampleReceiver& receiver,
                       std::optional<CaptureProcess>& capture, EventSource& events,
                       TerminalSession& session, OutputBuffer& out) {
    Clock::time_point last_frame = Clock::now();
    Clock::time_point last_size_check = last_frame;
    for (;;) {
        if (events.poll(time_left(period, last_frame, Clock::now()))) {
            const TerminalEvent event = events.read();
            if (const auto* key = std::get_if<KeyEvent>(&event)) {
                if (is_quit_key(*key)) {
                    return {LoopEnd::Reason::quit_key};
                }
                handle_key(*key, settings, display.grid_cols, analyzer.column_bins);
            } else if (const auto* size = std::get_if<ResizeEvent>(&event)) {
                resize(display, settings, analyzer, size->rows, size->cols, out);
            } else if (const auto* caught = std::get_if<SignalEvent>(&event)) {
                if (caught->signal_number == SIGTSTP) {
                    session.suspend();
                    stop_process();
                    // Also where an orphaned process group, which is not stopped, goes on.
                    take_terminal_again(session, display, settings, analyzer, out);
                } else if (caught->signal_number == SIGCONT) {
                    take_terminal_again(session, display, settings, analyzer, out);
                } else {
                    return {LoopEnd::Reason::signal, caught->signal_number};
                }
            } else if (std::holds_alternative<HangUpEvent>(event)) {
                return {LoopEnd::Reason::hang_up};
            }
        }

        const Clock::time_point now = Clock::now();
        if (now >= last_size_check && now - last_size_check >= size_check_interval) {
            TerminalSize size;
            if (!terminal_size(size) && (size.cols != display.cols || size.rows != display.rows)) {
                resize(display, settings, analyzer, size.rows, size.cols, out);
            }
            last_size_check = Clock::now();
        }

        if (time_left(period, last_frame, Clock::now()) > std::chrono::nanoseconds::zero()) {
            continue;
        }
        draw_frame(settings, analyzer, display, receiver, out);
        last_frame = Clock::now();
        out.flush();
        if (capture_failed(capture, receiver)) {
            return {LoopEnd::Reason::capture_failed};
        }
    }
}

} // namespace tonalyx
