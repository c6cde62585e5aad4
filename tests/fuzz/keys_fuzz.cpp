// Fuzzes the key decoding: arbitrary bytes split into arbitrary reads must never crash it,
// never grow its pending state past the bound, and never keep a later `q` from quitting.
#include "key_path.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> reads(input.ConsumeIntegralInRange<std::size_t>(0, 16));
    for (std::size_t& read : reads) {
        read = input.ConsumeIntegralInRange<std::size_t>(1, 300);
    }
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    if (const auto broken = tonalyx::fuzz::check_key_path(bytes, reads)) {
        std::fprintf(stderr, "key path: %s\n", broken->c_str());
        std::abort();
    }
    return 0;
}
