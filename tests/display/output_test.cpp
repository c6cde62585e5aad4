#include "display/output.hpp"
#include "display/test_pipe.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace tonalyx {
namespace {

TEST(OutputBuffer, HoldsBytesUntilFlushedAndFlushesFirstWhenFull) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end, 8);
    EXPECT_FALSE(out.write("abcde"));
    EXPECT_EQ(pipe.drain(), "");
    // Does not fit beside "abcde": the old bytes go out first, the new ones wait.
    EXPECT_FALSE(out.write("fghij"));
    EXPECT_EQ(pipe.drain(), "abcde");
    EXPECT_EQ(out.buffered(), 5u);
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(pipe.drain(), "fghij");
    // Larger than the whole buffer: written through, in order after what was buffered.
    EXPECT_FALSE(out.write("12"));
    EXPECT_FALSE(out.write("0123456789"));
    EXPECT_EQ(pipe.drain(), "120123456789");
    EXPECT_EQ(out.buffered(), 0u);
}

TEST(OutputBuffer, FailedFlushRefusesNewBytesAndNeverGrows) {
    std::signal(SIGPIPE, SIG_IGN);
    TestPipe pipe;
    pipe.close_read_end();
    OutputBuffer out(pipe.write_end, 8);
    EXPECT_FALSE(out.write("abcdef"));
    EXPECT_EQ(out.flush(), std::errc::broken_pipe);
    EXPECT_EQ(out.buffered(), 6u);
    // The flush that would make room fails: the write reports it and buffers nothing.
    EXPECT_EQ(out.write("ghi"), std::errc::broken_pipe);
    EXPECT_EQ(out.buffered(), 6u);
    // Small writes that still fit are accepted until the buffer is full, never beyond.
    EXPECT_FALSE(out.write("gh"));
    EXPECT_EQ(out.write("i"), std::errc::broken_pipe);
    EXPECT_EQ(out.buffered(), 8u);
}

TEST(OutputBuffer, KeepsUnwrittenBytesForTheNextFlush) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    OutputBuffer out(full, 16);
    EXPECT_FALSE(out.write("frame"));
    EXPECT_EQ(out.flush(), std::errc::no_space_on_device);
    EXPECT_EQ(out.buffered(), 5u);
    ::close(full);
}

} // namespace
} // namespace tonalyx
