// tonalyx-signal: writes a test signal as headerless s16le PCM to standard output, in real time
// by default, so that it can be piped into tonalyx with matching --rate and --channels.
#include "signal.hpp"
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Writes all of `bytes` to standard output; the exit status when the program should end: 0 once
// the reader went away, 1 when the write failed.
std::optional<int> write_all(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EPIPE) {
            return 0;
        }
        if (count < 0 && errno != EINTR) {
            std::fprintf(stderr, "tonalyx-signal: write failed: %s\n", std::strerror(errno));
            return 1;
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(count, 0));
    }
    return std::nullopt;
}

// What the command line asks for.
struct Options {
    tonalyx::SignalSettings settings;
    std::optional<double> seconds; // the length of the signal, 0 … 1e9; endless when absent
    bool fast = false;             // write as fast as possible instead of in real time
};

// Parses the command line into `options`; the exit status when the program should end at once
// (help, version or a usage error).
std::optional<int> parse_options(int argc, char** argv, Options& options) {
    CLI::App app{"Writes a test signal as raw interleaved s16le PCM to standard output.",
                 "tonalyx-signal"};
    app.set_version_flag("-V,--version", "tonalyx-signal " + std::string(tonalyx::version));
    tonalyx::SignalSettings& settings = options.settings;
    std::optional<float> tone;
    bool sweep = false;
    bool silence = false;
    app.add_option("--rate", settings.rate, "Sample rate in Hz")
        ->check(CLI::Range(1u, std::numeric_limits<std::uint32_t>::max()))
        ->capture_default_str();
    app.add_option("--channels", settings.channels, "Number of interleaved channels")
        ->check(CLI::Range(1, 255))
        ->capture_default_str();
    auto* tone_option = app.add_option("--tone", tone, "A steady sine at HZ")
                            ->type_name("HZ")
                            ->check(CLI::Range(0.01f, 1.0e6f));
    auto* sweep_flag = app.add_flag("--sweep", sweep, "A repeating log sweep, 40 Hz to 16 kHz");
    auto* silence_flag = app.add_flag("--silence", silence, "All zeros");
    tone_option->excludes(sweep_flag)->excludes(silence_flag);
    sweep_flag->excludes(silence_flag);
    app.add_option("--amplitude", settings.amplitude, "Peak level, 0 to 1 of full scale")
        ->check(CLI::Range(0.0f, 1.0f))
        ->capture_default_str();
    app.add_option("--seconds", options.seconds, "Length of the signal (default: endless)")
        ->type_name("S")
        ->check(CLI::Range(0.0, 1.0e9));
    app.add_flag("--fast", options.fast, "Write as fast as possible instead of in real time");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help is a success; every usage error ends with status 2.
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (tone) {
        settings.kind = tonalyx::SignalKind::tone;
        settings.frequency = *tone;
    } else if (sweep) {
        settings.kind = tonalyx::SignalKind::sweep;
    } else if (silence) {
        settings.kind = tonalyx::SignalKind::silence;
    }
    return std::nullopt;
}

// Writes the signal to standard output until its length or until the reader goes away; the exit
// status.
int write_signal(const Options& options) {
    const tonalyx::SignalSettings& settings = options.settings;
    tonalyx::SignalGenerator generator(settings);
    const std::uint64_t total = options.seconds
                                    ? static_cast<std::uint64_t>(*options.seconds * settings.rate)
                                    : std::numeric_limits<std::uint64_t>::max();
    // About 10 ms per write, bounded for very high rates.
    const std::size_t frames_per_write = std::clamp<std::size_t>(settings.rate / 100, 1, 4096);
    std::vector<std::int16_t> samples;
    std::string bytes;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t written = 0;
    while (written < total) {
        const auto pcm_frames =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames_per_write, total - written));
        samples.assign(pcm_frames * settings.channels, 0);
        generator.fill(samples);
        bytes.clear();
        tonalyx::append_pcm(bytes, samples);
        if (const std::optional<int> status = write_all(bytes)) {
            return *status;
        }
        written += pcm_frames;
        if (!options.fast) {
            const std::uint64_t whole_seconds = written / settings.rate;
            const std::uint64_t rest = written % settings.rate;
            std::this_thread::sleep_until(
                start + std::chrono::seconds(whole_seconds) +
                std::chrono::nanoseconds(rest * 1'000'000'000u / settings.rate));
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        Options options;
        if (const std::optional<int> status = parse_options(argc, argv, options)) {
            return *status;
        }
        // A reader that goes away shows up as EPIPE, which ends the program quietly.
        std::signal(SIGPIPE, SIG_IGN);
        return write_signal(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tonalyx-signal: %s\n", error.what());
        return 1;
    }
}
