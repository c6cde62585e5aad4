// The one link between the reader thread and the frame loop: a first-in, first-out channel of
// sample chunks with one sending and one receiving end, bounded by dropping its oldest chunks.
// Sends never block; receives never wait. Beside the chunks the sender keeps a note for the
// receiver, what the capture program has said so far, and leaves it final when the stream ends.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tonalyx {

// A block of mono samples in [-1, 1), one per whole PCM frame of one read.
using SampleChunk = std::vector<float>;

// Most samples a channel holds by default. A frame analyses only its newest samples, so a few
// frames' worth is plenty; a frame loop held up (by a stalled terminal, say) then costs no more
// memory than this however fast the audio comes.
inline constexpr std::size_t channel_sample_limit = 8192;

namespace detail {
struct ChannelState {
    explicit ChannelState(std::size_t limit) : sample_limit(limit) {}
    std::mutex mutex;
    std::deque<SampleChunk> queue;
    std::size_t queued_samples = 0;
    const std::size_t sample_limit;
    bool sender_alive = true;
    bool receiver_alive = true;
    std::string note;
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

    // Queues `chunk` and returns nothing; once the receiver is gone, hands the chunk back. When
    // the queue then holds more than its limit of samples, the oldest chunks are dropped (the
    // newest chunk always stays).
    std::optional<SampleChunk> send(SampleChunk chunk);

    // Replaces the note the receiver can read.
    void note(std::string text);

    // Ends the stream with `note` as the final note, and releases this end.
    void finish(std::string note);

private:
    friend std::pair<SampleSender, class SampleReceiver> make_sample_channel(std::size_t);
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

    // Once the sender is gone, the note it finished with (empty when it had none); before
    // that, nothing. Never waits.
    std::optional<std::string> end_note() const;

    // The sender's latest note, final or not (empty when it left none). Never waits.
    std::string note() const;

private:
    friend std::pair<SampleSender, SampleReceiver> make_sample_channel(std::size_t);
    explicit SampleReceiver(std::shared_ptr<detail::ChannelState> state)
        : state_(std::move(state)) {}
    void release();
    std::shared_ptr<detail::ChannelState> state_;
};

// Creates a connected pair of ends holding at most about `sample_limit` samples.
std::pair<SampleSender, SampleReceiver>
make_sample_channel(std::size_t sample_limit = channel_sample_limit);

} // namespace tonalyx
