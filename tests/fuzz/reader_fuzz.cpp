// Fuzzes the sample conversion: `mix_down` over arbitrary bytes and channel counts, and the
// reader over arbitrary bytes delivered in arbitrary reads with would-block and interrupted
// reads in between. Every sample must lie in [-1, 1), and the chunks together must be the mix
// of every whole frame of the stream, each chunk 1 to frames_per_read samples long.
#include "audio/reader.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void require(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "reader: %s\n", promise);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tonalyx;
    FuzzedDataProvider input(data, size);
    // Braced: the values are taken from the data in the order written.
    const ReaderFormat format{input.ConsumeIntegralInRange<std::size_t>(1, 64),
                              std::max<std::uint32_t>(1, input.ConsumeIntegral<std::uint32_t>()),
                              input.ConsumeIntegralInRange<std::size_t>(1, 255),
                              input.ConsumeBool()};

    // Reads take their sizes and failures from the end of the data, their bytes from the front.
    std::vector<std::uint8_t> delivered;
    const ByteSource read = [&](std::span<std::uint8_t> buffer) -> ReadResult {
        if (input.remaining_bytes() == 0) {
            return {};
        }
        const auto step = input.ConsumeIntegral<std::uint8_t>();
        if (step < 8) {
            return {0, step < 4 ? EAGAIN : EINTR};
        }
        const std::vector<std::uint8_t> bytes =
            input.ConsumeBytes<std::uint8_t>(std::min<std::size_t>(step, buffer.size()));
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        delivered.insert(delivered.end(), bytes.begin(), bytes.end());
        return {bytes.size(), 0};
    };
    std::chrono::nanoseconds time{0};
    const ReaderClock clock{[&] { return time; },
                            [&](std::chrono::nanoseconds duration) { time += duration; }};
    auto [sender, receiver] = make_sample_channel();
    SampleReader(format).run(sender, read, clock);
    sender.finish({}); // as the reader thread does

    SampleChunk received;
    SampleChunk chunk;
    ReceiveStatus status;
    while ((status = receiver.try_receive(chunk)) == ReceiveStatus::value) {
        require(!chunk.empty() && chunk.size() <= format.frames_per_read,
                "a chunk of 1 to frames_per_read samples");
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    require(status == ReceiveStatus::disconnected, "the sender is released at the end");
    const SampleChunk expected = mix_down(delivered, format.channels);
    require(expected.size() == delivered.size() / (format.channels * 2),
            "mix_down yields one sample per whole frame");
    require(std::all_of(expected.begin(), expected.end(),
                        [](float x) { return x >= -1.0f && x < 1.0f; }),
            "every sample in [-1, 1)");
    require(received == expected, "the chunks are the mix of every whole frame of the stream");
    return 0;
}
