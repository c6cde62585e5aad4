#include "display/test_pipe.hpp"
#include "terminal/output.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace tonalyx {
namespace {

using namespace std::chrono_literals;

TEST(OutputBuffer, HoldsBytesUntilFlushedAndFlushesFirstWhenFull) {
    TestPipe pipe;
    OutputBuffer out(pipe.write_end.get(), 8);
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
    pipe.read_end.reset(); // every write fails with EPIPE
    OutputBuffer out(pipe.write_end.get(), 8);
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

TEST(OutputBuffer, DeliversEveryByteOnceAndInOrderThroughPartialWritesAndFailedFlushes) {
    // A socket that holds a few kilobytes and gives a write up after 5 ms, read by a reader whose
    // pauses are a little longer: some flushes fail part way, leaving the rest for the next one,
    // and others deliver two or more partial writes each.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int room = 4096;
    const timeval give_up{0, 5000};
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &give_up, sizeof give_up);
    std::string frame;
    for (int i = 0; frame.size() < 200000; ++i) {
        frame += std::to_string(10000 + i); // every position distinct
    }
    std::string received;
    std::thread reader([&] {
        char chunk[1024];
        ssize_t n = 0;
        while (received.size() < frame.size() && (n = ::read(fds[1], chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(received.size() % 4096 < 1024 ? 7ms : 1ms);
        }
    });
    OutputBuffer out(fds[0], frame.size()); // the whole frame buffered, for the flushes
    EXPECT_FALSE(out.write(frame));
    for (int attempt = 0; out.flush() && attempt < 1000; ++attempt) {
    }
    reader.join();
    EXPECT_EQ(received, frame);
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace
} // namespace tonalyx
