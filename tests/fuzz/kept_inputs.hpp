// Inputs that once crashed or wedged the program, kept as files and replayed by the tests.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace tonalyx::fuzz {

// The files of `directory` as (name, content) pairs, in name order.
inline std::vector<std::pair<std::string, std::string>>
kept_inputs(const std::filesystem::path& directory) {
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        std::ifstream file(entry.path(), std::ios::binary);
        inputs.emplace_back(entry.path().filename().string(),
                            std::string(std::istreambuf_iterator<char>(file), {}));
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

} // namespace tonalyx::fuzz
