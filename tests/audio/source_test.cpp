#include "audio/source.hpp"

#include "common/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tonalyx-audio-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// Sets PATH for the scope of a test and puts the old value back afterwards.
class PathOverride {
public:
    explicit PathOverride(const std::string& value) {
        if (const char* old = std::getenv("PATH")) {
            saved_ = old;
        }
        ::setenv("PATH", value.c_str(), 1);
    }
    ~PathOverride() {
        if (saved_) {
            ::setenv("PATH", saved_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }
    static std::string first(const fs::path& directory) {
        const char* old = std::getenv("PATH");
        return directory.string() + ":" + (old ? old : "/usr/bin:/bin");
    }

private:
    std::optional<std::string> saved_;
};

void write_file(const fs::path& path, const std::string& text, fs::perms permissions) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, permissions);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the source delivers until the end of the stream.
std::string read_all(AudioSource& source) {
    std::string bytes;
    std::uint8_t buffer[256];
    for (;;) {
        const ReadResult result = source.read(buffer);
        if (result.error == EINTR) {
            continue;
        }
        EXPECT_EQ(result.error, 0);
        if (result.error != 0 || result.count == 0) {
            return bytes;
        }
        bytes.append(reinterpret_cast<const char*>(buffer), result.count);
    }
}

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// A stand-in pw-record that records what it inherited next to itself, says more on its
// standard error than a pipe holds before writing four bytes of PCM, and fails. (Its arguments
// and how its failure is shown are checked end to end.)
constexpr const char* fake_capture = R"(#!/bin/sh
here=$(dirname "$0")
grep SigIgn /proc/$$/status > "$here/ignored"
if [ -e /proc/$$/fd/57 ]; then echo leaked > "$here/leak"; fi
readlink /proc/$$/fd/0 > "$here/stdin"
i=0
while [ $i -lt 3000 ]; do echo "warning: chatter line $i"; i=$((i + 1)); done >&2
printf '\001\002\003\004'
echo "error: the last words" >&2
exit 3
)";

TEST(OpenInputFile, ReportsFilesThatCannotBeOpened) {
    TempDir dir;
    struct Case {
        std::string path;
        int errnum;
        std::string report;
    };
    const Case cases[] = {
        {(dir.path / "missing.raw").string(), ENOENT,
         "failed to open input file: No such file or directory"},
        // A directory would open and then never deliver a byte.
        {dir.path.string(), EISDIR, "failed to open input file: Is a directory"},
        {std::string("a\0b", 3), EINVAL, "failed to open input file: Invalid argument"},
    };
    for (const Case& test : cases) {
        try {
            open_audio_source(false, test.path, 48000, 2);
            ADD_FAILURE() << "opened " << test.path;
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), "failed to open input file");
            EXPECT_EQ(error.errnum(), test.errnum);
            EXPECT_STREQ(error.what(), test.report.c_str());
        }
    }
}

TEST(OpenInputFile, DeliversTheFileAndClosesItWhenReleased) {
    TempDir dir;
    write_file(dir.path / "tone.raw", "\x10\x20\x30\x40", fs::perms::owner_read);
    int fd = -1;
    {
        AudioSource source =
            open_audio_source(false, (dir.path / "tone.raw").string(), 48000, 2).source;
        fd = source.fd();
        EXPECT_TRUE(source.paced());
        AudioSource moved = std::move(source);
        EXPECT_TRUE(is_open(fd));
        EXPECT_EQ(read_all(moved), "\x10\x20\x30\x40");
    }
    EXPECT_FALSE(is_open(fd));
}

// Puts `fd` on standard input for the scope of a test, and the old standard input back after.
class StandardInputOverride {
public:
    explicit StandardInputOverride(int fd) : saved_(::dup(STDIN_FILENO)) {
        EXPECT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
    }
    StandardInputOverride(const StandardInputOverride&) = delete;
    StandardInputOverride& operator=(const StandardInputOverride&) = delete;
    ~StandardInputOverride() {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

TEST(AudioSource, StandardInputIsReadUnlessItIsATerminalAndStaysOpenWhenReleased) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::write(ends[1], "\x01\x02", 2), 2);
    ::close(ends[1]);
    {
        const StandardInputOverride input(ends[0]);
        {
            AudioSource source = open_audio_source(false, std::nullopt, 48000, 2).source;
            EXPECT_EQ(source.fd(), STDIN_FILENO);
            EXPECT_EQ(read_all(source), "\x01\x02");
        }
        EXPECT_TRUE(is_open(STDIN_FILENO));
    }
    ::close(ends[0]);

    // A terminal on standard input carries keys, not audio: the source is at its end at once.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    {
        const StandardInputOverride input(terminal);
        AudioSource source = open_audio_source(false, std::nullopt, 48000, 2).source;
        EXPECT_EQ(source.fd(), -1);
        EXPECT_EQ(read_all(source), "");
    }
    EXPECT_TRUE(is_open(terminal));
    ::close(terminal);
}

TEST(AudioSource, PacesFilesAndDevicesButNotPipesOrTerminals) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[1]);
    EXPECT_FALSE(AudioSource::adopt(ends[0]).paced());

    const int null_device = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null_device, 0);
    EXPECT_TRUE(AudioSource::adopt(null_device).paced());

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    EXPECT_FALSE(AudioSource::adopt(terminal).paced());
}

TEST(StartCapture, ChildGetsOnlyItsPipesAndDiesOfABrokenPipe) {
    TempDir dir;
    write_file(dir.path / "pw-record", fake_capture, fs::perms::owner_all);
    PathOverride path(PathOverride::first(dir.path));
    // A descriptor without close-on-exec, as another part of the program might leave one.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::dup2(ends[0], 57), 57);
    // The program ignores SIGPIPE; the capture must not inherit that.
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);

    OpenedSource capture = start_capture(48000, 2);
    // Had its standard error not been drained while it ran, the child would never get here.
    EXPECT_EQ(read_all(capture.source), "\x01\x02\x03\x04");
    const std::string& messages = capture.source.messages();
    EXPECT_LE(messages.size(), AudioSource::message_limit);
    EXPECT_TRUE(messages.starts_with("warning: chatter line ")) << messages.substr(0, 40);
    EXPECT_TRUE(messages.ends_with("line 2999\nerror: the last words\n")) << messages;
    ASSERT_TRUE(capture.capture);
    capture.capture->stop();
    ASSERT_TRUE(capture.capture->poll());
    EXPECT_TRUE(WIFEXITED(*capture.capture->poll()));
    EXPECT_EQ(WEXITSTATUS(*capture.capture->poll()), 3);

    std::signal(SIGPIPE, old_handler);
    ::close(57);
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_FALSE(fs::exists(dir.path / "leak"));
    EXPECT_EQ(read_file(dir.path / "stdin"), "/dev/null\n");
    const std::string ignored = read_file(dir.path / "ignored");
    ASSERT_EQ(ignored.rfind("SigIgn:", 0), 0u) << ignored;
    const unsigned long long mask = std::stoull(ignored.substr(7), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << ignored;
}

} // namespace
} // namespace tonalyx
