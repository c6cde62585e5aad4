// Sound-to-picture latency: how long after the first samples of a tone are written the first bar
// glyph reaches the terminal. Each command runs under a pseudo-terminal of its own, is fed
// silence until it has settled, then, from a random moment (so that the tone falls at any point
// of the command's frames, not at one that the warm-up fixes), a tone in real time, 10 ms at a
// time, as a live source delivers it. The audio goes into each command's standard input, or, with
// --player, into one long-running player (such as pw-play) that the commands capture from. The
// commands' trials are interleaved, so that a machine that is busier at one moment slows all of
// them alike.
//
//   tonalyx-latency [--trials N] [--player CMD] NAME=COMMAND...
#include "signal.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utmp.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the feed writes, and what it writes each time.
constexpr auto feed_period = 10ms;

struct Options {
    int trials = 15;
    std::string player;
    std::uint32_t rate = 48000;
    std::uint16_t channels = 2;
    float tone = 1500.0f;
    int warm_up_ms = 1000;
    std::vector<std::pair<std::string, std::string>> commands; // name, command
};

// Writes audio in real time: one period's frames every period, silence or the tone. A feed that
// falls behind skips ahead instead of bursting; what the reader cannot take at once is dropped.
class Feed {
public:
    Feed(const Options& options, int fd)
        : fd_(fd), frames_per_write_(options.rate / 100), channels_(options.channels),
          tone_(tone_settings(options)), next_(Clock::now()) {}

    // Switches to the tone or back to silence; the tone's start is taken at its first write.
    void set_tone(bool on) {
        tone_on_ = on;
        tone_started_.reset();
    }

    // Makes the next write due now; the writes after it follow every period from there.
    void write_now() { next_ = Clock::now(); }

    // When the first samples of the tone were written, once they were.
    std::optional<Clock::time_point> tone_started() const { return tone_started_; }

    // Writes what is due by now.
    void write_due() {
        const Clock::time_point now = Clock::now();
        if (now < next_) {
            return;
        }
        std::vector<std::int16_t> samples(std::size_t{frames_per_write_} * channels_, 0);
        if (tone_on_) {
            tone_.fill(samples);
        }
        std::string bytes;
        tonalyx::append_pcm(bytes, samples);
        const Clock::time_point written = Clock::now();
        [[maybe_unused]] const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (tone_on_ && !tone_started_) {
            tone_started_ = written;
        }
        next_ += feed_period;
        if (next_ < now) {
            next_ = now + feed_period;
        }
    }

    Clock::time_point next() const { return next_; }

private:
    static tonalyx::SignalSettings tone_settings(const Options& options) {
        tonalyx::SignalSettings settings;
        settings.kind = tonalyx::SignalKind::tone;
        settings.rate = options.rate;
        settings.channels = options.channels;
        settings.frequency = options.tone;
        return settings;
    }

    int fd_;
    std::uint32_t frames_per_write_;
    std::uint16_t channels_;
    tonalyx::SignalGenerator tone_;
    bool tone_on_ = false;
    std::optional<Clock::time_point> tone_started_;
    Clock::time_point next_;
};

// A shell command with its own pseudo-terminal; its standard input is `input` when that is open.
class Program {
public:
    Program(const std::string& command, int input) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, &size) != 0) {
            throw std::runtime_error("openpty failed");
        }
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::login_tty(slave);
            if (input >= 0) {
                ::dup2(input, STDIN_FILENO);
            }
            ::setenv("TERM", "xterm-256color", 1);
            ::signal(SIGPIPE, SIG_DFL);
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(slave);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
    }

    int master() const { return master_; }

    // Appends what the program wrote since the last call to the output.
    void read_output() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            output_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    const std::string& output() const { return output_; }

    void type(std::string_view keys) {
        [[maybe_unused]] const ssize_t n = ::write(master_, keys.data(), keys.size());
    }

    // Waits up to `timeout` for the program to end, reading its output meanwhile.
    bool wait_exit(std::chrono::milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            read_output();
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            ::usleep(5000);
        }
        return false;
    }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
};

// True when `bytes` from `from` on hold a bar glyph, U+2581 to U+2588 (E2 96 81 to E2 96 88).
bool glyph_from(const std::string& bytes, std::size_t from) {
    for (std::size_t at = bytes.find("\xE2\x96", from); at != std::string::npos;
         at = bytes.find("\xE2\x96", at + 1)) {
        if (at + 2 < bytes.size()) {
            const auto third = static_cast<unsigned char>(bytes[at + 2]);
            if (third >= 0x81 && third <= 0x88) {
                return true;
            }
        }
    }
    return false;
}

// Feeds and reads until `done` holds or `timeout` passes; false on timeout.
template <typename Done>
bool run_until(Feed& feed, Program& program, std::chrono::milliseconds timeout, Done done) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        feed.write_due();
        program.read_output();
        if (done()) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto wait = std::min(feed.next(), deadline) - now;
        pollfd fd{program.master(), POLLIN, 0};
        ::poll(&fd, 1,
               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    }
}

// Where the tones start: a different moment every trial and every run.
std::mt19937& random_moments() {
    static std::mt19937 generator(std::random_device{}());
    return generator;
}

// One trial: the latency in milliseconds, or nothing when no glyph came (or one came in silence).
std::optional<double> trial(const Options& options, const std::string& command, int player) {
    int pipe_ends[2] = {-1, -1};
    if (player < 0 && ::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int feed_fd = player >= 0 ? player : pipe_ends[1];
    if (player < 0) {
        ::fcntl(feed_fd, F_SETFL, O_NONBLOCK);
    }
    Feed feed(options, feed_fd);
    std::optional<double> latency;
    {
        Program program(command, pipe_ends[0]);
        if (pipe_ends[0] >= 0) {
            ::close(pipe_ends[0]);
        }
        const bool started = run_until(feed, program, 5s, [&] {
            return program.output().find("\x1b[?1049h") != std::string::npos;
        });
        std::uniform_int_distribution<int> moment(0, 99);
        run_until(feed, program,
                  std::chrono::milliseconds(options.warm_up_ms + moment(random_moments())),
                  [] { return false; });
        if (started && !glyph_from(program.output(), 0)) {
            const std::size_t from = program.output().size();
            feed.set_tone(true);
            feed.write_now();
            Clock::time_point seen;
            const bool drawn = run_until(feed, program, 2s, [&] {
                seen = Clock::now();
                return feed.tone_started() && glyph_from(program.output(), from);
            });
            if (drawn) {
                latency =
                    std::chrono::duration<double, std::milli>(seen - *feed.tone_started()).count();
            }
        }
        feed.set_tone(false);
        run_until(feed, program, 300ms, [] { return false; });
        program.type("q");
        program.wait_exit(3s);
    }
    if (pipe_ends[1] >= 0) {
        ::close(pipe_ends[1]);
    }
    return latency;
}

// The value at `fraction` of the sorted `values` (nearest rank).
double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::lround(fraction * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Starts the player with its standard input on a pipe, and returns the pipe's write end.
int start_player(const std::string& command, pid_t& pid) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(ends[0], STDIN_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ends[0]);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    return ends[1];
}

// Keeps a player fed with silence between trials, so that it never runs dry.
void feed_silence(const Options& options, int player, std::chrono::milliseconds duration) {
    Feed feed(options, player);
    const Clock::time_point end = Clock::now() + duration;
    while (Clock::now() < end) {
        feed.write_due();
        std::this_thread::sleep_until(std::min(feed.next(), end));
    }
}

// Parses the options, runs the trials and prints the table; returns the exit status.
int run_trials(int argc, char** argv) {
    Options options;
    std::vector<std::string> named;
    CLI::App app{"Sound-to-picture latency of commands run under a pseudo-terminal"};
    app.add_option("--trials", options.trials, "Trials per command")->check(CLI::PositiveNumber);
    app.add_option("--player", options.player,
                   "Command that plays raw s16le audio from its standard input; without it the "
                   "audio goes into each command's standard input");
    app.add_option("--rate", options.rate, "Sample rate of the audio");
    app.add_option("--channels", options.channels, "Channels of the audio");
    app.add_option("--tone", options.tone, "Frequency of the tone in Hz");
    app.add_option("--warm-up", options.warm_up_ms, "Milliseconds of silence before the tone");
    app.add_option("commands", named, "NAME=COMMAND, run by /bin/sh")->required();
    CLI11_PARSE(app, argc, argv);
    for (const std::string& entry : named) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "tonalyx-latency: expected NAME=COMMAND, got '" << entry << "'\n";
            return 2;
        }
        options.commands.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    std::signal(SIGPIPE, SIG_IGN);

    pid_t player_pid = -1;
    const int player = options.player.empty() ? -1 : start_player(options.player, player_pid);
    if (player >= 0) {
        feed_silence(options, player, 1s);
    }
    std::vector<std::vector<double>> latencies(options.commands.size());
    std::vector<int> misses(options.commands.size(), 0);
    for (int round = 0; round < options.trials; ++round) {
        // Alternate the order, so that no command always follows the same one.
        for (std::size_t k = 0; k < options.commands.size(); ++k) {
            const std::size_t i = round % 2 == 0 ? k : options.commands.size() - 1 - k;
            const std::optional<double> latency =
                trial(options, options.commands[i].second, player);
            if (latency) {
                latencies[i].push_back(*latency);
            } else {
                ++misses[i];
            }
            std::cerr << "." << std::flush;
            if (player >= 0) {
                feed_silence(options, player, 200ms);
            }
        }
    }
    std::cerr << "\n";
    if (player >= 0) {
        ::close(player);
        ::kill(-player_pid, SIGTERM);
        ::waitpid(player_pid, nullptr, 0);
    }

    std::printf("%-24s %7s %7s %9s %9s %9s %9s\n", "command", "trials", "misses", "median ms",
                "p90 ms", "min ms", "max ms");
    for (std::size_t i = 0; i < options.commands.size(); ++i) {
        const std::vector<double>& values = latencies[i];
        if (values.empty()) {
            std::printf("%-24s %7d %7d %9s %9s %9s %9s\n", options.commands[i].first.c_str(), 0,
                        misses[i], "-", "-", "-", "-");
            continue;
        }
        std::printf("%-24s %7zu %7d %9.1f %9.1f %9.1f %9.1f\n", options.commands[i].first.c_str(),
                    values.size(), misses[i], percentile(values, 0.5), percentile(values, 0.9),
                    *std::min_element(values.begin(), values.end()),
                    *std::max_element(values.begin(), values.end()));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run_trials(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "tonalyx-latency: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "tonalyx-latency: unexpected failure\n";
    }
    return 1;
}
