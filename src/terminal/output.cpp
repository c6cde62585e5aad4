#include "terminal/output.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tonalyx {

OutputBuffer::OutputBuffer(int fd, std::size_t capacity) : fd_(fd), data_(capacity) {}

std::error_code OutputBuffer::write_all(const char* bytes, std::size_t count,
                                        std::size_t& written) {
    written = 0;
    while (written < count) {
        const ssize_t n = ::write(fd_, bytes + written, count - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {errno, std::generic_category()};
        }
        if (n == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        written += static_cast<std::size_t>(n);
    }
    return {};
}

std::error_code OutputBuffer::flush() {
    std::size_t written = 0;
    const std::error_code error = write_all(data_.data(), size_, written);
    std::memmove(data_.data(), data_.data() + written, size_ - written);
    size_ -= written;
    return error;
}

std::error_code OutputBuffer::write(std::string_view bytes) {
    if (bytes.size() > data_.size() - size_) {
        if (const std::error_code error = flush()) {
            return error;
        }
        if (bytes.size() > data_.size()) {
            std::size_t written = 0;
            return write_all(bytes.data(), bytes.size(), written);
        }
    }
    std::memcpy(data_.data() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    return {};
}

} // namespace tonalyx
