// Runs the real binaries for the end-to-end tests: under a pseudo-terminal whose output is fed
// into libvterm, a real terminal emulator, or detached from any terminal with piped streams.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <termios.h>

typedef struct VTerm VTerm;
typedef struct VTermScreen VTermScreen;

namespace e2e {

using namespace std::chrono_literals;

// Generous, because the tests also run under the sanitizers on a shared machine.
inline constexpr std::chrono::milliseconds patience = 15s;

enum class Input {
    terminal, // standard input is the pseudo-terminal itself
    pipe,     // standard input is a pipe the test writes audio into
    file,     // standard input is a file
};

struct Launch {
    std::vector<std::string> args;
    std::uint16_t rows = 24;
    std::uint16_t cols = 80;
    Input input = Input::terminal;
    std::string input_file;
    // Environment variables to set (or, with an empty value, to remove) for the child.
    std::vector<std::pair<std::string, std::string>> environment;
};

// A process on a pseudo-terminal of its own, as a user's shell would start it.
class TerminalRun {
public:
    TerminalRun(const std::string& binary, Launch launch);
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;
    ~TerminalRun();

    // Types bytes on the keyboard.
    void type(std::string_view bytes);
    // Waits until the program has read every byte typed so far; false on timeout.
    bool wait_typed_read(std::chrono::milliseconds timeout = patience);
    // Writes audio into the standard-input pipe; false once the program stopped reading.
    bool feed(std::string_view pcm);
    void close_audio();
    // Changes the terminal's size, which signals the program.
    void resize(std::uint16_t rows, std::uint16_t cols);
    // Sends a signal to the program, as a crash or another process would.
    void send_signal(int signal_number);

    // Pumps the program's output into the emulator until `done` holds; false on timeout.
    bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout = patience);
    // Pumps output for a while regardless.
    void pump(std::chrono::milliseconds duration);
    // Waits for the program to end; the exit status, or 128 + signal. Empty on timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = patience);

    // Every byte the program wrote to the terminal so far.
    const std::string& output() const { return output_; }
    // The character shown at a cell of the emulated screen (U+0020 for an empty cell).
    char32_t cell(int row, int col) const;
    // One line of the screen as UTF-8, trailing spaces removed; and the whole screen.
    std::string line(int row) const;
    std::string screen() const;
    int rows() const { return rows_; }
    int cols() const { return cols_; }

    bool alternate_screen() const { return alternate_screen_; }
    bool cursor_visible() const { return cursor_visible_; }
    // The terminal attributes now, and as they were before the program started.
    termios attributes() const;
    const termios& original_attributes() const { return original_; }

private:
    static int on_property(int property, void* value, void* self);
    void read_available();

    int master_ = -1;
    int slave_ = -1;
    int audio_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    int rows_;
    int cols_;
    VTerm* vterm_ = nullptr;
    VTermScreen* screen_ = nullptr;
    std::string output_;
    termios original_{};
    bool alternate_screen_ = false;
    bool cursor_visible_ = true;
};

struct DetachedResult {
    int status = -1;
    std::string standard_output;
    std::string standard_error;
};

// Runs `binary` in a new session without a controlling terminal, standard input fed from
// `input` through a pipe, and collects its output.
DetachedResult run_detached(const std::string& binary, const std::vector<std::string>& args,
                            const std::string& input = {},
                            std::chrono::milliseconds timeout = patience);

// A temporary directory removed with everything in it at the end of the test.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();

    const std::string& path() const { return path_; }
    // Writes a file (executable if asked) and returns its path.
    std::string write(const std::string& name, std::string_view content, bool executable = false);
    // The content of a file in the directory, empty if there is none.
    std::string read(const std::string& name) const;

private:
    std::string path_;
};

// What the program writes to give the terminal back: leave the alternate screen, show the cursor.
inline constexpr std::string_view leave_sequence = "\x1b[?1049l\x1b[?25h";

// True once the program has switched its terminal to raw mode.
bool raw_mode_on(const TerminalRun& run);

// Expects the terminal attributes to be exactly as they were before the program started.
void expect_attributes_restored(const TerminalRun& run);

// The path of the binary under test and of the test-signal generator.
std::string tonalyx_binary();
std::string signal_binary();

// UTF-8 of one character, for messages and comparisons.
std::string utf8(char32_t character);

} // namespace e2e
