#include "audio/source.hpp"
#include "audio/source_files.hpp"

#include "common/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace tonalyx {
namespace {

TEST(OpenInputFile, DeliversTheFileClosesItWhenReleasedAndReportsThoseThatCannotBeOpened) {
    TempDir dir;
    write_file(dir.path / "tone.raw", "\x10\x20\x30\x40", fs::perms::owner_read);
    int fd = -1;
    {
        AudioSource source =
            open_audio_source(std::nullopt, (dir.path / "tone.raw").string()).source;
        fd = source.fd();
        EXPECT_TRUE(source.paced());
        AudioSource moved = std::move(source);
        EXPECT_TRUE(is_open(fd));
        EXPECT_EQ(read_all(moved), "\x10\x20\x30\x40");
    }
    EXPECT_FALSE(is_open(fd));
    const std::pair<std::string, int> cases[] = {
        {(dir.path / "missing.raw").string(), ENOENT},
        // A directory would open and then never deliver a byte.
        {dir.path.string(), EISDIR},
    };
    for (const auto& [path, errnum] : cases) {
        try {
            open_audio_source(std::nullopt, path);
            ADD_FAILURE() << "opened " << path;
        } catch (const FatalError& error) {
            EXPECT_EQ(error.message(), "failed to open input file");
            EXPECT_EQ(error.errnum(), errnum);
        }
    }
}

// Puts `fd` on standard input for the scope of a test, and the old standard input back after.
struct StandardInputOverride {
    explicit StandardInputOverride(int fd) { EXPECT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO); }
    ~StandardInputOverride() { ::dup2(saved.get(), STDIN_FILENO); }
    UniqueFd saved{::dup(STDIN_FILENO)};
};

TEST(AudioSource, StandardInputIsReadUnlessItIsATerminalAndStaysOpenWhenReleased) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::write(ends[1], "\x01\x02", 2), 2);
    ::close(ends[1]);
    {
        const StandardInputOverride input(ends[0]);
        {
            AudioSource source = open_audio_source(std::nullopt, std::nullopt).source;
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
        AudioSource source = open_audio_source(std::nullopt, std::nullopt).source;
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
    const std::pair<int, bool> cases[] = {{ends[0], false},
                                          {::open("/dev/null", O_RDONLY | O_CLOEXEC), true},
                                          {::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), false}};
    for (const auto& [fd, paced] : cases) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(AudioSource::adopt(UniqueFd(fd)).paced(), paced) << fd;
    }
}

} // namespace
} // namespace tonalyx
