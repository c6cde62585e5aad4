#include "common/unique_fd.hpp"

#include "audio/source_files.hpp"

#include <gtest/gtest.h>

namespace tonalyx {
namespace {

TEST(UniqueFd, ClosesOnceWhateverMovesOrReleasesIt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        UniqueFd read_end(fds[0]);
        UniqueFd write_end(fds[1]);
        UniqueFd moved(std::move(read_end));
        EXPECT_EQ(read_end.get(), -1); // NOLINT(bugprone-use-after-move): the moved-from state
        EXPECT_TRUE(is_open(fds[0]));
        // Assigning over a held descriptor closes it; one given up is left to the caller.
        moved = std::move(write_end);
        EXPECT_FALSE(is_open(fds[0]));
        EXPECT_EQ(moved.release(), fds[1]);
        EXPECT_FALSE(moved);
    }
    EXPECT_TRUE(is_open(fds[1]));
    UniqueFd{fds[1]}.reset();
    EXPECT_FALSE(is_open(fds[1]));
}

} // namespace
} // namespace tonalyx
