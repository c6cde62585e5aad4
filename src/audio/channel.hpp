// The one link between the reader thread and the frame loop: an unbounded first-in, first-out
// channel of sample chunks with one sending and one receiving end. Sends never block; receives
// never wait.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tonalyx {

// A block of mono samples in [-1, 1), one per whole PCM frame of one read.
using SampleChunk = std::vector<float>;

namespace detail {
struct ChannelState {
    std::mutex mutex;
    std::deque<SampleChunk> queue;
    bool sender_alive = true;
    bool receiver_alive = true;
};
} // namespace detail

// The sending end, held by the reader thread. Releasing it disconnects the channel.
class SampleSender {
public:
    SampleSender(SampleSender&&) noexcept = default;
    SampleSender& operator=(SampleSender&&) noexcept;
    SampleSender(const SampleSender&) = delete;
    SampleSender& operator=(const SampleSender&) = delete;
    ~SampleSender();

    // Queues `chunk` and returns nothing; once the receiver is gone, hands the chunk back.
    std::optional<SampleChunk> send(SampleChunk chunk);

private:
    friend std::pair<SampleSender, class SampleReceiver> make_sample_channel();
    explicit SampleSender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    void release();
    std::shared_ptr<detail::ChannelState> state_;
};

enum class ReceiveStatus {
    value,        // a chunk was taken
    empty,        // nothing waiting, the sender still exists
    disconnected, // nothing waiting and the sender is gone
};

// The receiving end, held by the frame loop. Releasing it makes every later send fail.
class SampleReceiver {
public:
    SampleReceiver(SampleReceiver&&) noexcept = default;
    SampleReceiver& operator=(SampleReceiver&&) noexcept;
    SampleReceiver(const SampleReceiver&) = delete;
    SampleReceiver& operator=(const SampleReceiver&) = delete;
    ~SampleReceiver();

    // Takes the oldest chunk into `chunk` without waiting.
    ReceiveStatus try_receive(SampleChunk& chunk);

private:
    friend std::pair<SampleSender, SampleReceiver> make_sample_channel();
    explicit SampleReceiver(std::shared_ptr<detail::ChannelState> state)
        : state_(std::move(state)) {}
    void release();
    std::shared_ptr<detail::ChannelState> state_;
};

// Creates a connected pair of ends.
std::pair<SampleSender, SampleReceiver> make_sample_channel();

} // namespace tonalyx
