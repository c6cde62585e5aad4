// Files, PATH, descriptor and reading helpers shared by the audio and common tests.
#pragma once

#include "audio/source.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <unistd.h>

namespace tonalyx {

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
struct PathOverride {
    explicit PathOverride(const std::string& value) { ::setenv("PATH", value.c_str(), 1); }
    ~PathOverride() { saved ? ::setenv("PATH", saved->c_str(), 1) : ::unsetenv("PATH"); }
    std::optional<std::string> saved =
        std::getenv("PATH") ? std::optional<std::string>(std::getenv("PATH")) : std::nullopt;
};

inline void write_file(const fs::path& path, const std::string& text, fs::perms permissions) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, permissions);
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) >= 0;
}

// Everything the source delivers until the end of the stream.
inline std::string read_all(AudioSource& source) {
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

} // namespace tonalyx
