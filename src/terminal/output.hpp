// Buffered standard output with a fixed capacity. The picture is accumulated here and handed to
// the terminal with one flush per frame; a closed or stuck output never makes it grow.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

namespace tonalyx {

class OutputBuffer {
public:
    static constexpr std::size_t default_capacity = std::size_t{64} * 1024;

    // Writes to `fd`, which stays owned by the caller.
    explicit OutputBuffer(int fd, std::size_t capacity = default_capacity);

    // Appends `bytes`. When they do not fit, flushes first; if that flush fails, returns its
    // error and buffers nothing. Bytes larger than the whole buffer go straight to the fd.
    std::error_code write(std::string_view bytes);

    // The free room at the end of the buffer, for formatting straight into it; commit() then
    // takes the bytes written there. Empty when the buffer is full.
    std::span<char> free_space() { return {data_.data() + size_, data_.size() - size_}; }

    // Appends the first `count` bytes of free_space(), which the caller has filled.
    void commit(std::size_t count) { size_ += count; }

    // Writes out everything buffered. On error the bytes not yet written stay buffered for the
    // next attempt.
    std::error_code flush();

    std::size_t buffered() const { return size_; }

private:
    std::error_code write_all(const char* bytes, std::size_t count, std::size_t& written);

    int fd_;
    std::vector<char> data_;
    std::size_t size_ = 0;
};

} // namespace tonalyx
