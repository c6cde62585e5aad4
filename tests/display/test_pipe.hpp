// A pipe for tests of what the program writes: the bytes are read back, and the pipe can be
// made to refuse writes, by filling it or (SIGPIPE ignored) by closing its read end.
#pragma once

#include "common/unique_fd.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace tonalyx {

// The read end never blocks.
struct TestPipe {
    UniqueFd read_end;
    UniqueFd write_end;
    TestPipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
        ::fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
    }

    std::string drain() const {
        std::string bytes;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(read_end.get(), chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return bytes;
    }

    // Makes the write end non-blocking and fills the pipe, so that every write fails with EAGAIN
    // until drain() makes room. Returns how many bytes it took.
    std::size_t fill() const {
        ::fcntl(write_end.get(), F_SETFL, O_NONBLOCK);
        const std::string chunk(4096, 'x');
        std::size_t total = 0;
        for (std::size_t size : {chunk.size(), std::size_t{1}}) {
            ssize_t n;
            while ((n = ::write(write_end.get(), chunk.data(), size)) > 0) {
                total += static_cast<std::size_t>(n);
            }
            EXPECT_EQ(errno, EAGAIN);
        }
        return total;
    }
};

} // namespace tonalyx
