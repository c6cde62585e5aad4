// Runs the real binaries for the end-to-end tests on a pseudo-terminal whose output is fed into
// libvterm, a real terminal emulator, and reads the bars off the emulated screen as a user would.
#pragma once

#include "common/unique_fd.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <termios.h>

typedef struct VTerm VTerm;
typedef struct VTermScreen VTermScreen;

namespace e2e {

using namespace std::chrono_literals;
using tonalyx::UniqueFd;

// Generous, because the tests also run under the sanitizers on a shared machine.
inline constexpr std::chrono::milliseconds patience = 15s;

struct Launch {
    std::vector<std::string> args{};
    // The terminal's size; 0 × 0 is a terminal that does not know its size.
    std::uint16_t rows = 24;
    std::uint16_t cols = 80;
    // Standard input is a pipe the test writes audio into, not the pseudo-terminal.
    bool audio_pipe = false;
    // Changes to the environment, which otherwise gets TERM=xterm-256color: set, or removed.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment{};
    // Signals the program starts with ignored, as under nohup, and blocked by a parent's mask.
    std::vector<int> ignored_signals{};
    std::vector<int> blocked_signals{};
    // The terminal's open file description is non-blocking, as a crashed program can leave it.
    bool nonblocking_terminal = false;
    // In a foreground process group of its own under a parent in the session, as a shell runs a
    // job: only then does SIGTSTP stop it.
    bool job_control = false;
    // False: the pseudo-terminal is the standard streams only, so "/dev/tty" cannot be opened.
    bool controlling_terminal = true;
    // Standard output goes to a file of the run's own instead of the terminal.
    bool output_to_file = false;
};

// Started with an idle audio pipe, so standard input is not the terminal.
inline Launch idle_pipe(std::vector<std::string> args = {}) {
    return Launch{.args = std::move(args), .audio_pipe = true};
}

// What wait_exit gives for a process killed by `signal_number`: negative, so that it is never
// taken for an exit status (128 + n is one a program may choose).
constexpr int killed_by(int signal_number) {
    return -signal_number;
}

// A process on a pseudo-terminal of its own, as a user's shell would start it.
class TerminalRun {
public:
    TerminalRun(const std::string& binary, const Launch& launch);
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;
    ~TerminalRun();

    // Types bytes on the keyboard, or writes audio into the standard-input pipe, pumping output
    // meanwhile; false once the reader has gone, or when it has not taken all within `patience`.
    bool type(std::string_view bytes) { return put(master_, bytes); }
    bool feed(std::string_view pcm) { return put(audio_, pcm); }
    // Waits until the program has read every byte typed so far; false on timeout.
    bool wait_typed_read();
    // Changes the terminal's size, which signals the program.
    void resize(std::uint16_t rows, std::uint16_t cols);
    // Sends a signal to the program, as a crash or another process would.
    void send_signal(int signal_number);
    // Stops or resumes the terminal's output, as a stalled terminal does.
    void stall_output(bool stalled);
    // Hangs the terminal up, as a closed window does; nothing more is read from it afterwards.
    void hang_up();
    // Puts the attributes from before the start back, as a shell does when a job stops.
    void reset_attributes();
    // True while `signal_number`, sent to the program, waits to be delivered. Two standard
    // signals of one number sent while the first still waits arrive as one.
    bool signal_pending(int signal_number) const;
    // The program's process id.
    pid_t pid() const { return program_pid_; }

    // Pumps output into the emulator until `done` holds, and once more after; false on timeout.
    bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout = patience);
    // Pumps output for a while regardless.
    void pump(std::chrono::milliseconds duration) {
        wait_for([] { return false; }, duration);
    }
    // Waits for the program to end; the exit status, or killed_by(signal). Empty on timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = patience);
    // Types `q` and waits for the program to end, as wait_exit.
    std::optional<int> quit() { return type("q") ? wait_exit() : std::nullopt; }

    // Every byte the program wrote to the terminal so far.
    const std::string& output() const { return output_; }
    // What the program wrote to standard output: output(), or the file's content.
    std::string standard_output() const;
    // The character shown at a cell of the emulated screen (U+0020 for an empty cell).
    char32_t cell(int row, int col) const;
    // The whole screen as UTF-8 lines, trailing spaces removed.
    std::string screen() const;
    int rows() const { return rows_; }
    int cols() const { return cols_; }

    bool alternate_screen() const { return alternate_screen_; }
    bool cursor_visible() const { return cursor_visible_; }
    // The terminal attributes now, and as they were before the program started.
    termios attributes() const;
    const termios& original_attributes() const { return original_; }
    // True while the terminal's open file description is non-blocking.
    bool terminal_nonblocking() const;

private:
    // Forks and starts the program with the launch's streams, session and signals.
    void start_program(const std::string& binary, const Launch& launch, UniqueFd audio_read);
    bool put(const UniqueFd& fd, std::string_view bytes);
    void read_available();

    UniqueFd master_;
    UniqueFd slave_;
    UniqueFd audio_;
    pid_t pid_ = -1;
    pid_t program_pid_ = -1; // pid_ itself, or the job under it with job control
    std::optional<int> status_;
    int rows_;
    int cols_;
    VTerm* vterm_ = nullptr;
    VTermScreen* screen_ = nullptr;
    std::string output_;
    UniqueFd output_file_; // with output_to_file, already unlinked
    termios original_{};
    bool alternate_screen_ = false;
    bool cursor_visible_ = true;
};

// The state letter of process `pid` ('T' stopped, 'Z' a zombie), or 0 once it is gone and reaped.
char process_state(pid_t pid);

inline bool stopped(pid_t pid) {
    return process_state(pid) == 'T';
}

// A temporary directory removed with everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();

    const std::string& path() const { return path_; }
    // Writes a file, whole or not at all, and returns its path.
    std::string write(const std::string& name, std::string_view content);
    // Writes the shell script `name` running `body` with $here set to this directory; its path.
    std::string script(const std::string& name, const std::string& body);
    // The content of a file in the directory, empty if there is none.
    std::string read(const std::string& name) const;
    // The process id a script wrote into the file `name`, or -1 while there is none.
    pid_t pid_in(const std::string& name) const;

private:
    std::string path_;
};

// Arguments that play, from a file in `directory` at 8000 Hz mono in real time, half a minute of
// a constant level (column 0 stands at full height, the rest of the picture is still), or
// `seconds` of white noise (most cells change in every frame).
std::vector<std::string> playing_level(TemporaryDirectory& directory);
std::vector<std::string> playing_noise(TemporaryDirectory& directory, int seconds);

// A launch on a terminal that cannot tell its size (0 × 0), so that start-up asks `tput`, with
// the picture in the output file. A stand-in `tput` from `directory`, first on PATH, appends
// each capability it is asked for to "asked" there, and answers 9 lines and 77 columns once the
// file "go" exists there, or fails when "go" is not empty; `hold` leaves "go" to the test.
Launch asking_tput(TemporaryDirectory& directory, bool hold = false);

// What the program writes to take the terminal (alternate screen, no cursor) and to give it back.
inline constexpr std::string_view enter_sequence = "\x1b[?1049h\x1b[?25l";
inline constexpr std::string_view leave_sequence = "\x1b[?1049l\x1b[?25h";

// True once the program has switched its terminal to raw mode.
bool raw_mode_on(const TerminalRun& run);

// True once the program has taken the terminal: raw mode on the alternate screen.
inline bool taken(const TerminalRun& run) {
    return raw_mode_on(run) && run.alternate_screen();
}

// Expects the terminal attributes to be exactly as they were before the program started.
void expect_attributes_restored(const TerminalRun& run);

// Expects the terminal as the user left it, standard output ending by giving the screen back.
void expect_given_back(const TerminalRun& run);

// Expects `message` on the normal screen: written after the terminal was given back.
void expect_message_after_restore(const TerminalRun& run, const std::string& message);

std::string tonalyx_binary();

// The one column of `columns` that shows `bin` at `log_power`, or -1 when no column or several
// columns do. Column c shows bin 512 × (c / columns)^(0.8 × log_power), truncated, at most 511.
int column_showing(unsigned bin, int columns, float log_power);

// The bars on the emulated screen, read as a user reads them: the height of each column in
// eighths of a line, and what is wrong with the picture, if anything. A bar is whole blocks
// from the bottom line up, at most one partial block on top, and nothing but spaces above it.
struct Picture {
    std::vector<int> heights;
    std::string fault;

    bool blank() const {
        return std::all_of(heights.begin(), heights.end(), [](int h) { return h == 0; });
    }
    int tallest() const {
        return static_cast<int>(std::max_element(heights.begin(), heights.end()) - heights.begin());
    }
    // True when `column` is taller than every other column.
    bool only_tallest(int column) const {
        const auto tallest = static_cast<std::size_t>(column);
        return std::count_if(heights.begin(), heights.end(),
                             [&](int h) { return h >= heights[tallest]; }) == 1;
    }
};

inline constexpr char32_t full_block = U'\u2588';

Picture read_picture(const TerminalRun& run);

// The heights, and the fault if there is one, for failure messages.
std::string describe(const Picture& picture);

// A cell drawn: the cursor position before it (1-based), the character, the sequence's offset.
struct Draw {
    int row;
    int col;
    char32_t ch;
    std::size_t offset;
};

// What the program wrote, taken apart: the cells drawn, the offsets of the screen clears, and
// the first thing that is neither nor a terminal set-up sequence.
struct Writes {
    std::vector<Draw> draws;
    std::vector<std::size_t> clears;
    std::string fault;

    bool drawn_beyond(int rows, int cols) const {
        return std::any_of(draws.begin(), draws.end(),
                           [&](const Draw& d) { return d.row > rows || d.col > cols; });
    }
    // True when a full block was drawn at `row`, `col` (1-based).
    bool full_block_at(int row, int col) const {
        return std::any_of(draws.begin(), draws.end(), [&](const Draw& d) {
            return d.row == row && d.col == col && d.ch == full_block;
        });
    }
};

// Takes `output` apart from the offset `from` on; a sequence cut off at its end is no fault.
Writes parse_writes(const std::string& output, std::size_t from = 0);

} // namespace e2e
