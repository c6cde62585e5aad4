#include "common/spawn.hpp"

#include "audio/source_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

constexpr std::array<ChildStream, 3> output_only{ChildStream::null_device, ChildStream::pipe,
                                                 ChildStream::inherited};

std::string read_to_end(const UniqueFd& fd) {
    AudioSource source = AudioSource::borrow(fd.get());
    return read_all(source);
}

int reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(StartChild, FindsTheProgramOnPathOrSaysWhyNot) {
    TempDir dir;
    fs::create_directories(dir.path / "denied");
    fs::create_directories(dir.path / "found");
    write_file(dir.path / "denied" / "tool", "#!/bin/sh\nexit 3\n", fs::perms::owner_read);
    write_file(dir.path / "found" / "tool", "#!/bin/sh\necho found\n", fs::perms::owner_all);
    const std::string denied = (dir.path / "denied").string();
    const std::string found = (dir.path / "found").string();
    struct Case {
        std::string path_variable;
        std::string program;
        int error; // 0: it runs and prints "found"
    };
    const Case cases[] = {
        // A program that may not be run does not end the search, but is the reason without one.
        {denied + ":" + found, "tool", 0},
        {denied + ":/nonexistent", "tool", EACCES},
        {dir.path.string() + ":/nonexistent", "tool", ENOENT},
        // A path is not looked up.
        {"/nonexistent", found + "/tool", 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.path_variable + " " + test.program);
        PathOverride path(test.path_variable);
        StartedChild child = start_child({test.program}, {}, output_only);
        EXPECT_EQ(child.error, test.error);
        EXPECT_EQ(child.pid == -1, test.error != 0);
        EXPECT_EQ(static_cast<bool>(child.pipes[1]), test.error == 0);
        if (child.pid > 0) {
            EXPECT_EQ(read_to_end(child.pipes[1]), "found\n");
            EXPECT_EQ(reap(child.pid), 0); // exited with status 0
        }
    }
}

// Its streams as asked, its own group, no signal blocked or ignored whatever ours are; and
// killed when the thread that started it ends.
TEST(StartChild, StartsCleanInAGroupOfItsOwnAndDiesWithItsThread) {
    sigset_t blocked;
    sigset_t previous_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask);
    const auto previous_action = std::signal(SIGUSR2, SIG_IGN);
    StartedChild child = start_child({"/bin/sh", "-c", "cat; echo \"$WORD\" >&2"}, {"WORD=said"},
                                     {ChildStream::pipe, ChildStream::pipe, ChildStream::pipe});
    // Not through the shell, which clears its own mask.
    StartedChild reader = start_child({"cat", "/proc/self/status"}, {}, output_only);
    std::signal(SIGUSR2, previous_action);
    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    ASSERT_EQ(child.error, 0);
    ASSERT_EQ(::write(child.pipes[0].get(), "typed", 5), 5);
    child.pipes[0].reset();
    EXPECT_EQ(read_to_end(child.pipes[1]), "typed");
    EXPECT_EQ(read_to_end(child.pipes[2]), "said\n");
    EXPECT_EQ(reap(child.pid), 0);
    const std::string status = read_to_end(reader.pipes[1]);
    EXPECT_EQ(reap(reader.pid), 0);
    EXPECT_NE(status.find("\nNSpgid:\t" + std::to_string(reader.pid) + "\n"), std::string::npos)
        << status;
    EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos) << status;
    // Signals 32 and 33 are the C library's own, which sigaction leaves alone; under the
    // sanitizers they reach the child ignored.
    const std::size_t ignored_at = status.find("\nSigIgn:\t");
    ASSERT_NE(ignored_at, std::string::npos) << status;
    const unsigned long long ignored = std::stoull(status.substr(ignored_at + 9, 16), nullptr, 16);
    EXPECT_EQ(ignored & ~(3ULL << 31), 0u) << status;

    // Left alone it would end by itself, with status 0, in ten seconds.
    StartedChild sleeper;
    std::thread([&] { sleeper = start_child({"sleep", "10"}, {}, output_only); }).join();
    ASSERT_EQ(sleeper.error, 0);
    const int ended = reap(sleeper.pid);
    EXPECT_TRUE(WIFSIGNALED(ended) && WTERMSIG(ended) == SIGKILL) << ended;
}

} // namespace
} // namespace tonalyx
