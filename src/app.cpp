#include "app.hpp"

#include "analysis/spectrum.hpp"
#include "audio/channel.hpp"
#include "audio/reader.hpp"
#include "audio/source.hpp"
#include "cli.hpp"
#include "controls.hpp"
#include "display/events.hpp"
#include "display/output.hpp"
#include "display/signals.hpp"
#include "display/terminal.hpp"
#include "common/errors.hpp"
#include "frame_loop.hpp"

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

namespace tonalyx {

int run(int argc, char** argv) {
    open_standard_descriptors();
    const Cli cli = parse(argc, argv);
    // A closed standard output then fails a write instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Signals caught from here on wait until the frame loop reads them, so that one that comes
    // during start-up still leaves through the loop's one exit with the terminal given back.
    SignalPipe signals;

    OutputBuffer out(STDOUT_FILENO);
    std::optional<TerminalSession> session;
    try {
        session.emplace(out);
        install_restore_hook();

        TerminalSize size;
        if (const std::error_code error = terminal_size(size)) {
            throw FatalError("failed to get terminal size", error.value());
        }
        const std::size_t samples_per_frame = read_frames(cli.rate, cli.fps);
        SpectrumAnalyzer analyzer(cli.fps);
        static_cast<void>(out.flush());

        // The capture program, if any, stays here: stopped and reaped however run() ends.
        OpenedSource opened = open_audio_source(cli.pipewire, cli.input, cli.rate, cli.channels);
        auto [sender, receiver] = make_sample_channel();
        std::thread reader = start_sample_reader(std::move(sender), std::move(opened.source),
                                                 samples_per_frame, cli.rate, cli.channels);

        DisplayState display = make_display(size.rows, size.cols);
        LiveSettings settings = initial_settings(cli);
        const std::chrono::nanoseconds period = frame_period(cli.fps);
        reset_columns(analyzer, display.grid_cols, settings.log_power);

        EventSource events(signals);
        const LoopEnd end = run_frame_loop(period, settings, analyzer, display, receiver,
                                           opened.capture, events, *session, out);

        session->leave();
        // The reader may be blocked on a silent source: it ends with the process, not before.
        reader.detach();
        if (end.reason == LoopEnd::Reason::signal) {
            // Dying by the signal skips every destructor: stop the capture program first.
            opened.capture.reset();
            end_by_signal(end.signal_number);
        }
        if (end.reason == LoopEnd::Reason::capture_failed) {
            const std::string report = capture_failure_report(opened.capture->poll().value_or(0),
                                                              receiver.end_note().value_or(""));
            std::fputs(report.c_str(), stderr);
            return 1;
        }
        return 0;
    } catch (const OrderlyExit& exit) {
        if (session) {
            session->leave();
        }
        std::fprintf(stderr, "%s\n", exit.what());
        return 1;
    } catch (const FatalError& error) {
        restore_for_fatal_report();
        std::fprintf(stderr, "%s\n", error.what());
        return 101;
    }
}

} // namespace tonalyx
