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

TEST(OutputBuffer, KeepsUnwrittenBytesInOrderForTheNextFlush) {
    // Nothing taken: a full device.
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    OutputBuffer refused(full, 16);
    EXPECT_FALSE(refused.write("frame"));
    EXPECT_EQ(refused.flush(), std::errc::no_space_on_device);
    EXPECT_EQ(refused.buffered(), 5u);
    ::close(full);

    // Part taken: a pipe with room for one page of a frame of three.
    std::string frame;
    for (int i = 0; frame.size() < 12000; ++i) {
        frame += std::to_string(10000 + i); // every position distinct
    }
    TestPipe pipe;
    OutputBuffer out(pipe.write_end, 16384);
    pipe.fill();
    char page[4096];
    ASSERT_EQ(::read(pipe.read_end, page, sizeof page), static_cast<ssize_t>(sizeof page));
    EXPECT_FALSE(out.write(frame));
    EXPECT_EQ(out.flush(), std::errc::resource_unavailable_try_again);
    ASSERT_GT(out.buffered(), 0u);
    ASSERT_LT(out.buffered(), frame.size());
    std::string received = pipe.drain();
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(out.buffered(), 0u);
    received += pipe.drain();
    ASSERT_GE(received.size(), frame.size());
    EXPECT_EQ(received.substr(received.size() - frame.size()), frame);
}

} // namespace
} // namespace tonalyx
