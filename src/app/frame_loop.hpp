// The paced frame loop: waits for terminal events until the next frame is due, handles at most
// one event per wait, checks the terminal size every 500 ms, and at each due frame analyses the
// samples that arrived, draws the bars and writes only the cells that changed. While the picture
// is at rest it sleeps instead, and writes nothing but what drawing every frame would. It says
// why it ended; the caller gives the terminal back and reports.
#pragma once

#include "analysis/spectrum.hpp"
#include "app/cli.hpp"
#include "app/controls.hpp"
#include "audio/channel.hpp"
#include "audio/source.hpp"
#include "display/display.hpp"
#include "terminal/events.hpp"
#include "terminal/output.hpp"
#include "terminal/terminal.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <system_error>

namespace tonalyx {

using Clock = std::chrono::steady_clock;

// Everything a frame reads and changes: the settings the keys adjust, the analysis and the
// picture. The analyser always has one column per column of the drawing area.
struct FrameState {
    LiveSettings settings;
    SpectrumAnalyzer analyzer;
    DisplayState display;
};

// The starting state for `cli` on a terminal of `size`: the starting settings, a blank picture
// and all bars 0.
FrameState make_frame_state(const Cli& cli, TerminalSize size);

// The audio side of a run: the receiving end of the sample channel, and the capture program
// that feeds it, if there is one.
struct AudioFeed {
    SampleReceiver receiver;
    std::optional<CaptureProcess> capture;
};

// The time between frames: 1/fps in single precision, rounded to the nearest nanosecond.
std::chrono::nanoseconds frame_period(std::uint16_t fps);

// What is left of `period` since `last_frame`; a clock reading before it counts as no time.
std::chrono::nanoseconds time_left(std::chrono::nanoseconds period, Clock::time_point last_frame,
                                   Clock::time_point now);

// Draws one frame: analyse what arrived, then write the cells that change from the picture on
// screen to the new bars, and keep the new bars as shown. Does not flush.
void draw_frame(FrameState& state, SampleReceiver& receiver, OutputBuffer& out);

// Takes the terminal's new size: the display is rebuilt for it and the screen erased (see
// DisplayState::resize), and the analyser gets one zero bar per column of the new drawing area;
// the normaliser and the settings are kept. The next frame draws everything.
void resize(FrameState& state, TerminalSize size, OutputBuffer& out);

// Why the frame loop ended. The caller gives the terminal back, then acts on it.
struct LoopEnd {
    enum class Reason {
        quit_key,       // a quit key
        hang_up,        // the key terminal hung up
        signal,         // an ending signal, in signal_number
        capture_failed, // the capture program failed: its wait status is in the capture
                        // handle, what it said in the channel's messages
    };
    Reason reason = Reason::quit_key;
    int signal_number = 0; // the ending signal caught, for Reason::signal
};

// Runs frames every `period` until a quit key, a hang-up of the key terminal, an ending signal
// or a failed capture program. On SIGTSTP it gives the terminal back through `session` and
// stops; on SIGCONT (also after an uncatchable stop) it takes the terminal again and redraws
// everything. Once every bar is below what can ever be drawn it sleeps on the frame grid, drawing
// nothing, until an event, a chunk that could change the gain (with the gain at rest, only one
// that is not all zeros), the end of the stream or of the capture program, or the frame at which
// the size check falls due; it writes exactly what drawing every frame would.
LoopEnd run_frame_loop(std::chrono::nanoseconds period, FrameState& state, AudioFeed& audio,
                       EventSource& events, TerminalSession& session, OutputBuffer& out);

// What the frame loop runs against besides the audio and the picture: the clock, the terminal's
// events, its size and its session. The program runs on the real ones; a test can script them.
class LoopIo {
public:
    virtual ~LoopIo() = default;

    // The monotonic time.
    virtual Clock::time_point now() = 0;
    // Waits up to `timeout` and tells whether an event is ready. Also returns early without
    // one, for instance once the sample channel's wake-up descriptor is readable.
    virtual bool poll(std::chrono::nanoseconds timeout) = 0;
    // Takes the ready event.
    virtual TerminalEvent read_event() = 0;
    // The terminal's size, as terminal_size() reads it.
    virtual std::error_code terminal_size(TerminalSize& size) = 0;
    // Gives the terminal back and stops the process; returns once it is continued.
    virtual void stop() = 0;
    // Takes the terminal again after a stop.
    virtual void resume() = 0;
};

// How the frames are paced.
struct FramePacing {
    std::chrono::nanoseconds period; // from the end of one frame's drawing to the next
    bool sleep_at_rest = true;       // sleep while nothing seen can change; false draws every frame
};

// The loop of run_frame_loop, run on `io`.
LoopEnd run_frames(const FramePacing& pacing, FrameState& state, AudioFeed& audio, LoopIo& io,
                   OutputBuffer& out);

} // namespace tonalyx
