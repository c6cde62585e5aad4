#include "app/app.hpp"

#include "app/cli.hpp"
#include "app/frame_loop.hpp"
#include "audio/channel.hpp"
#include "audio/reader.hpp"
#include "audio/source.hpp"
#include "common/errors.hpp"
#include "terminal/events.hpp"
#include "terminal/output.hpp"
#include "terminal/signals.hpp"
#include "terminal/terminal.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

// How a run ends: the status it returns, what it prints once the terminal is given back, and
// the signal that then ends the process instead, if any.
struct Exit {
    int status = 0;
    std::string standard_output;
    std::string standard_error;
    int signal_number = 0;
};

// What a run holds until its very end, so that every way out gives the terminal back in one
// place, before the capture program is stopped and before the signal handlers go.
struct RunResources {
    std::optional<SignalPipe> signals;
    OutputBuffer out{STDOUT_FILENO};
    std::optional<TerminalSession> session;
    std::optional<AudioFeed> audio;
};

// Opens the source (-p's capture, when it is given), makes the channel and starts the reader
// thread on it.
AudioFeed start_audio(const Cli& cli) {
    OpenedSource opened = open_audio_source(
        cli.pipewire ? std::optional(
                           CaptureOptions{cli.rate, cli.channels, cli.fps, cli.monitor, cli.target})
                     : std::nullopt,
        cli.input);
    auto [sender, receiver] = make_sample_channel();
    const ReaderFormat format{read_frames(cli.rate, cli.fps), cli.rate, cli.channels,
                              opened.source.paced()};
    start_sample_reader(std::move(sender), std::move(opened.source), format);
    return {std::move(receiver), std::move(opened.capture)};
}

// What the end of the frame loop means for the run.
Exit exit_for(const LoopEnd& end, AudioFeed& audio) {
    switch (end.reason) {
    case LoopEnd::Reason::signal:
        return {128 + end.signal_number, "", "", end.signal_number};
    case LoopEnd::Reason::capture_failed:
        return {
            1, "",
            capture_failure_report(audio.capture->poll().value_or(0), audio.receiver.messages())};
    case LoopEnd::Reason::quit_key:
    case LoopEnd::Reason::hang_up:
        break;
    }
    return {};
}

// A start-up step that failed because the terminal hung up ends the run as a hang-up in the
// frame loop does: by SIGHUP (which the kernel sent, or would have), or with status 0 when
// SIGHUP is ignored. Nothing for any other failure.
std::optional<Exit> hang_up_exit(SignalPipe& signals) {
    PendingSignals pending;
    signals.drain(pending);
    if (pending.termination != SIGHUP && !terminal_hung_up()) {
        return std::nullopt;
    }
    if (signals.catches(SIGHUP)) {
        return Exit{128 + SIGHUP, "", "", SIGHUP};
    }
    return Exit{};
}

// Start-up in its fixed order, then the frame loop until it ends.
Exit start_and_run(const Cli& cli, RunResources& held) {
    // A closed standard output then fails a write instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Signals caught from here on wait until the frame loop reads them, so that one that comes
    // during start-up still leaves through the loop's end with the terminal given back.
    held.signals.emplace();
    try {
        held.session.emplace(held.out);
        install_restore_hook();
        TerminalSize size;
        if (const std::error_code error =
                terminal_size(held.session->device(), size, TputFallback::allowed)) {
            throw FatalError("failed to get terminal size", error.value());
        }
        FrameState state = make_frame_state(cli, size);
        static_cast<void>(held.out.flush());
        held.audio.emplace(start_audio(cli));
        EventSource events(*held.signals, held.session->device());
        return exit_for(run_frame_loop(frame_period(cli.fps), state, *held.audio, events,
                                       *held.session, held.out),
                        *held.audio);
    } catch (const OrderlyExit& exit) {
        return {1, "", std::string(exit.what()) + "\n"};
    } catch (const FatalError& error) {
        return hang_up_exit(*held.signals)
            .value_or(Exit{101, "", std::string(error.what()) + "\n"});
    }
}

// The one way out: gives the terminal back, prints, and ends by the signal if there is one.
int finish(const Exit& exit, RunResources& held) {
    if (held.session) {
        held.session->leave();
    }
    std::fputs(exit.standard_output.c_str(), stdout);
    std::fputs(exit.standard_error.c_str(), stderr);
    std::fflush(stdout);
    // Standard output's flags go back only now: the messages still wait for a busy terminal.
    held.session.reset();
    if (exit.signal_number != 0) {
        // Dying by the signal skips every destructor: stop the capture program first.
        held.audio.reset();
        end_by_signal(exit.signal_number);
    }
    return exit.status;
}

} // namespace

int run(int argc, char** argv) {
    open_standard_descriptors();
    const ParseOutcome parsed = parse(std::vector<std::string>(argv, argv + argc));
    RunResources held;
    Exit exit{parsed.exit_status, parsed.standard_output, parsed.standard_error};
    if (parsed.cli) {
        // Before the terminal is touched: the picture is made of xterm's control sequences.
        const std::string refusal = unsupported_terminal_type(std::getenv("TERM"));
        exit = refusal.empty() ? start_and_run(*parsed.cli, held) : Exit{1, "", refusal};
    }
    return finish(exit, held);
}

} // namespace tonalyx
