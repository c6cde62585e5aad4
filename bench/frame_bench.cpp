// The main thread's whole frame as the loop draws it (drain, analyse, draw, write, flush) on a
// 200 x 50 terminal fed music, and the proof that such a frame allocates nothing once the run
// has settled: the benchmark reports an error, which fails the run, if one does.
#include "allocations.hpp"
#include "music.hpp"

#include "frame_loop.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

void BM_WholeFrame_200x50_Music(benchmark::State& state) {
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    static const std::vector<SampleChunk> chunks = music_chunks(600);
    std::uint64_t allocations = 0;
    {
        OutputBuffer out(null_fd);
        FrameState frame_state = make_frame_state(Cli{}, {50, 200});
        // Named ends rather than structured bindings, which a lambda cannot capture in clang 14.
        auto channel = make_sample_channel();
        SampleSender& sender = channel.first;
        SampleReceiver& receiver = channel.second;
        std::size_t next = 0;
        // Sending is the reader thread's work; its allocations are not the frame's.
        const auto send_next_chunk = [&] {
            sender.send(chunks[next]);
            next = (next + 1) % chunks.size();
        };

        // Settle first: the gain's history fills up and the change list reaches its size.
        for (int settling = 0; settling < 240; ++settling) {
            send_next_chunk();
            draw_frame(frame_state, receiver, out);
            (void)out.flush();
        }
        for (auto _ : state) {
            state.PauseTiming();
            send_next_chunk();
            const std::size_t capacity = frame_state.display.diff().changes.capacity();
            state.ResumeTiming();
            const std::uint64_t before = thread_allocations();
            draw_frame(frame_state, receiver, out);
            benchmark::DoNotOptimize(out.flush());
            allocations += thread_allocations() - before;
            // Growth of the change list is the one allocation a frame may make.
            if (frame_state.display.diff().changes.capacity() != capacity) {
                --allocations;
            }
        }
    }
    ::close(null_fd);
    state.counters["allocations"] = static_cast<double>(allocations);
    if (!allocation_counting_available()) {
        state.SetLabel("allocations not counted here");
    } else if (allocations != 0) {
        const std::string message = "steady-state frames allocated " + std::to_string(allocations) +
                                    " times in " + std::to_string(state.iterations()) + " frames";
        state.SkipWithError(message.c_str());
    }
}
BENCHMARK(BM_WholeFrame_200x50_Music);

} // namespace
} // namespace tonalyx
