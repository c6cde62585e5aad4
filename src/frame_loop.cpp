#include "frame_loop.hpp"

#include "display/terminal.hpp"

#include <algorithm>
#include <cmath>
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

void run_frame_loop(std::chrono::nanoseconds period, LiveSettings& settings,
                    SpectrumAnalyzer& analyzer, DisplayState& display, SampleReceiver& receiver,
                    EventSource& events, OutputBuffer& out) {
    Clock::time_point last_frame = Clock::now();
    Clock::time_point last_size_check = last_frame;
    for (;;) {
        if (events.poll(time_left(period, last_frame, Clock::now()))) {
            const TerminalEvent event = events.read();
            if (const auto* key = std::get_if<KeyEvent>(&event)) {
                if (is_quit_key(*key)) {
                    return;
                }
                handle_key(*key, settings, display.grid_cols, analyzer.column_bins);
            } else if (const auto* size = std::get_if<ResizeEvent>(&event)) {
                resize(display, settings, analyzer, size->rows, size->cols, out);
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
    }
}

} // namespace tonalyx
