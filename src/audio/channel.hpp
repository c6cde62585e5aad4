// The one link between the reader thread and the frame loop: a first-in, first-out channel of
// sample chunks with one sending and one receiving end, bounded by dropping its oldest chunks.
// Sends never block; receives never wait. Beside the chunks the sender keeps the capture
// program's messages, what it has said so far, and leaves them final when the stream ends.
// A receiver with nothing to draw can sleep until a chunk comes that could change the picture, or
// the stream ends, and tells the sender when it draws, so that the reader can read just before.
#pragma once

#include "common/unique_fd.hpp"

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <utility>
#include <vector>

namespace tonalyx {

// A block of mono samples in [-1, 1), one per whole PCM frame of one read.
using SampleChunk = std::vector<float>;

// When a chunk arrived, and when the receiver draws: the monotonic clock.
using SampleTime = std::chrono::steady_clock::time_point;

// When the receiver draws: once at `at`, then once every `period`.
struct DrawSchedule {
    SampleTime at;
    std::chrono::nanoseconds period{0};

    // The first drawing after `time`.
    SampleTime next_after(SampleTime time) const;
};

// Which chunk wakes a sleeping receiver.
enum class WakeOn {
    any_chunk, // the next chunk, whatever it holds
    sound,     // the next chunk with a sample other than 0
};

// Most samples a channel holds by default. A drawing analyses only its newest samples, so a few
// drawings' worth is plenty; a frame loop held up (by a stalled terminal, say) then costs no more
// memory than this however fast the audio comes.
inline constexpr std::size_t channel_sample_limit = 8192;

namespace detail {
struct QueuedChunk {
    SampleChunk samples;
    SampleTime arrived;
    bool silent; // every sample is 0
};

struct ChannelState {
    std::mutex mutex;
    std::deque<QueuedChunk> queue;
    std::size_t queued_samples = 0;
    std::size_t sample_limit = channel_sample_limit;
    bool sender_alive = true;
    bool receiver_alive = true;
    std::string messages;
    // An eventfd, written once when a chunk wakes the sleeping receiver; without one the
    // receiver never sleeps.
    UniqueFd wake_fd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    bool asleep = false;
    std::optional<SampleTime> woken_at; // when the chunk, or the end, that ended the sleep came
    WakeOn wake_on = WakeOn::any_chunk;
    std::optional<DrawSchedule> draws; // when the receiver draws, once it has told
};
} // namespace detail

// The sending end, held by the reader thread. Releasing it disconnects the channel; once moved
// from, or finished, it can only send, which then fails.
class SampleSender {
public:
    SampleSender(SampleSender&&) noexcept = default;
    SampleSender& operator=(SampleSender&&) = delete;
    ~SampleSender() { release(); }

    // Queues `chunk` as arrived at `arrived` and returns nothing; once the receiver is gone,
    // hands the chunk back. When the queue then holds more than its limit of samples, the oldest
    // chunks are dropped (the newest chunk always stays). Wakes a sleeping receiver when the
    // chunk is one it sleeps until.
    std::optional<SampleChunk> send(SampleChunk chunk,
                                    SampleTime arrived = std::chrono::steady_clock::now());

    // When the receiver draws, as it last told; nothing until it has.
    std::optional<DrawSchedule> draw_schedule() const;

    // Replaces the messages the receiver can read.
    void set_messages(std::string messages);

    // Ends the stream at `ended` with `messages` final, and releases this end. The end wakes a
    // sleeping receiver as a chunk does.
    void finish(std::string messages, SampleTime ended = std::chrono::steady_clock::now());

private:
    friend std::pair<SampleSender, class SampleReceiver> make_sample_channel(std::size_t);
    explicit SampleSender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    void release(SampleTime ended = std::chrono::steady_clock::now());
    std::shared_ptr<detail::ChannelState> state_;
};

enum class ReceiveStatus {
    value,        // a chunk was taken
    empty,        // nothing waiting, the sender still exists
    disconnected, // nothing waiting and the sender is gone
};

// The receiving end, held by the frame loop. Releasing it makes every later send fail; once moved
// from it is not to be used.
class SampleReceiver {
public:
    SampleReceiver(SampleReceiver&&) noexcept = default;
    SampleReceiver& operator=(SampleReceiver&&) = delete;
    ~SampleReceiver() { release(); }

    // Takes the oldest chunk into `chunk` without waiting.
    ReceiveStatus try_receive(SampleChunk& chunk);

    // Once the sender is gone, the messages it finished with (empty when it had none); before
    // that, nothing. Never waits.
    std::optional<std::string> final_messages() const;

    // The sender's latest messages, final or not (empty when it left none). Never waits.
    std::string messages() const;

    // Tells the sender when it draws; the period is positive.
    void set_draw_schedule(const DrawSchedule& draws);

    // Sleeps until a chunk that `wake_on` names arrives or the stream ends, which then makes
    // wake_fd() readable. Returns false, without sleeping, when such a chunk is already waiting or
    // there is no wake-up descriptor.
    bool sleep(WakeOn wake_on);

    // When the chunk that woke the receiver from its sleep arrived, or the stream ended; nothing
    // before either has, and after wake().
    std::optional<SampleTime> woken_at() const;

    // Ends a sleep, whether a chunk woke it or not; wake_fd() is no longer readable.
    void wake();

    // Drops the chunks at the front that hold only zeros and arrived at or before `time`,
    // stopping at the first that does not.
    void drop_silence_until(SampleTime time);

    // Readable once a chunk or the end has woken the sleeping receiver; -1 when there is no
    // wake-up descriptor.
    int wake_fd() const;

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
