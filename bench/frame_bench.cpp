// The main thread's whole frame as the loop draws it (drain, analyse, draw, write, flush) on a
// 200 x 50 terminal fed music, and the proof that such a frame allocates nothing once the run
// has settled: the benchmark reports an error, which fails the run, if one does. The same for the
// frame loop itself, drawing music and then sleeping through silence on a simulated clock.
#include "allocations.hpp"
#include "music.hpp"

#include "app/frame_loop.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tonalyx {
namespace {

// /dev/null, for the picture to go to; -1, with the benchmark skipped, when it cannot be opened.
int open_null(benchmark::State& state) {
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open /dev/null");
    }
    return fd;
}

// Shows the allocations counted over the iterations, and fails the run when there were any:
// "`what` allocated N times in M `iterations`".
void report_allocations(benchmark::State& state, std::uint64_t allocations, const char* what,
                        const char* iterations) {
    state.counters["allocations"] = static_cast<double>(allocations);
    if (!allocation_counting_available()) {
        state.SetLabel("allocations not counted here");
    } else if (allocations != 0) {
        const std::string message = std::string(what) + " allocated " +
                                    std::to_string(allocations) + " times in " +
                                    std::to_string(state.iterations()) + " " + iterations;
        state.SkipWithError(message.c_str());
    }
}

void BM_WholeFrame_200x50_Music(benchmark::State& state) {
    const int null_fd = open_null(state);
    if (null_fd < 0) {
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
    report_allocations(state, allocations, "steady-state frames", "frames");
}
BENCHMARK(BM_WholeFrame_200x50_Music);

// Two seconds of a run on a simulated clock: a chunk every frame's time, music for the first half
// second and zeros after it, through which the loop goes to sleep; then a quit key. Time moves
// only in poll, which ends at each chunk. Counts the allocations of everything but the sends,
// which are the reader's work.
class SimulatedRun final : public LoopIo {
public:
    SimulatedRun(const std::vector<SampleChunk>& music, SampleSender& sender)
        : music_(music), sender_(sender) {}

    Clock::time_point now() override { return now_; }
    bool poll(std::chrono::nanoseconds timeout) override {
        const Clock::time_point deadline = now_ + timeout;
        if (next_chunk_ > deadline) {
            now_ = deadline;
        } else {
            now_ = next_chunk_;
            const std::uint64_t before = thread_allocations();
            const bool loud = now_ - start_ < std::chrono::milliseconds(500);
            sender_.send(loud ? music_[sent_ % music_.size()] : SampleChunk(800, 0.0f), now_);
            sends_allocated += thread_allocations() - before;
            ++sent_;
            next_chunk_ += frame_period(60);
        }
        return now_ - start_ >= std::chrono::seconds(2);
    }
    TerminalEvent read_event() override { return KeyEvent{U'q', {}}; }
    std::error_code terminal_size(TerminalSize& size) override {
        size = {50, 200};
        return {};
    }
    void stop() override {}
    void resume() override {}

    std::uint64_t sends_allocated = 0;

private:
    const std::vector<SampleChunk>& music_;
    SampleSender& sender_;
    const Clock::time_point start_ = Clock::now();
    Clock::time_point now_ = start_;
    Clock::time_point next_chunk_ = start_;
    std::size_t sent_ = 0;
};

void BM_Loop_200x50_MusicThenSilence(benchmark::State& state) {
    const int null_fd = open_null(state);
    if (null_fd < 0) {
        return;
    }
    static const std::vector<SampleChunk> music = music_chunks(30);
    std::uint64_t allocations = 0;
    {
        OutputBuffer out(null_fd);
        FrameState frame_state = make_frame_state(Cli{}, {50, 200});
        auto [sender, receiver] = make_sample_channel();
        AudioFeed audio{std::move(receiver), std::nullopt};
        // The first run settles the change list's size.
        {
            SimulatedRun run(music, sender);
            run_frames({frame_period(60)}, frame_state, audio, run, out);
        }
        for (auto _ : state) {
            SimulatedRun run(music, sender);
            const std::uint64_t before = thread_allocations();
            run_frames({frame_period(60)}, frame_state, audio, run, out);
            allocations += thread_allocations() - before - run.sends_allocated;
        }
    }
    ::close(null_fd);
    report_allocations(state, allocations, "the loop", "runs");
}
BENCHMARK(BM_Loop_200x50_MusicThenSilence);

} // namespace
} // namespace tonalyx
