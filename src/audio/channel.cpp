#include "audio/channel.hpp"

#include <algorithm>
#include <cstdint>
#include <unistd.h>

namespace tonalyx {

SampleTime DrawSchedule::next_after(SampleTime time) const {
    if (time < at) {
        return at;
    }
    return at + ((time - at) / period + 1) * period;
}

namespace {

bool wakes(const detail::ChannelState& state, const detail::QueuedChunk& chunk) {
    return state.wake_on == WakeOn::any_chunk || !chunk.silent;
}

// Ends the receiver's sleep for something that came at `time`. Called with the lock held.
void wake_receiver(detail::ChannelState& state, SampleTime time) {
    state.asleep = false;
    state.woken_at = time;
    const std::uint64_t one = 1;
    static_cast<void>(::write(state.wake_fd.get(), &one, sizeof one));
}

} // namespace

std::pair<SampleSender, SampleReceiver> make_sample_channel(std::size_t sample_limit) {
    auto state = std::make_shared<detail::ChannelState>();
    state->sample_limit = sample_limit;
    return {SampleSender(state), SampleReceiver(state)};
}

void SampleSender::release(SampleTime ended) {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->sender_alive = false;
        if (state_->asleep) {
            wake_receiver(*state_, ended);
        }
    }
    state_.reset();
}

std::optional<SampleChunk> SampleSender::send(SampleChunk chunk, SampleTime arrived) {
    if (!state_) {
        return chunk;
    }
    const bool silent = std::all_of(chunk.begin(), chunk.end(), [](float x) { return x == 0.0f; });
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) {
        return chunk;
    }
    state_->queued_samples += chunk.size();
    state_->queue.push_back({std::move(chunk), arrived, silent});
    while (state_->queued_samples > state_->sample_limit && state_->queue.size() > 1) {
        state_->queued_samples -= state_->queue.front().samples.size();
        state_->queue.pop_front();
    }
    if (state_->asleep && wakes(*state_, state_->queue.back())) {
        wake_receiver(*state_, arrived);
    }
    return std::nullopt;
}

std::optional<DrawSchedule> SampleSender::draw_schedule() const {
    std::lock_guard lock(state_->mutex);
    return state_->draws;
}

void SampleSender::set_messages(std::string messages) {
    std::lock_guard lock(state_->mutex);
    state_->messages = std::move(messages);
}

void SampleSender::finish(std::string messages, SampleTime ended) {
    set_messages(std::move(messages));
    release(ended);
}

void SampleReceiver::release() {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        // Chunks nobody will take are freed now rather than with the last end.
        state_->queue.clear();
        state_->queued_samples = 0;
    }
    state_.reset();
}

ReceiveStatus SampleReceiver::try_receive(SampleChunk& chunk) {
    std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) {
        return state_->sender_alive ? ReceiveStatus::empty : ReceiveStatus::disconnected;
    }
    chunk = std::move(state_->queue.front().samples);
    state_->queue.pop_front();
    state_->queued_samples -= chunk.size();
    return ReceiveStatus::value;
}

std::optional<std::string> SampleReceiver::final_messages() const {
    std::lock_guard lock(state_->mutex);
    if (state_->sender_alive) {
        return std::nullopt;
    }
    return state_->messages;
}

std::string SampleReceiver::messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
}

void SampleReceiver::set_draw_schedule(const DrawSchedule& draws) {
    std::lock_guard lock(state_->mutex);
    state_->draws = draws;
}

bool SampleReceiver::sleep(WakeOn wake_on) {
    if (!state_->wake_fd) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    state_->wake_on = wake_on;
    state_->asleep = std::none_of(state_->queue.begin(), state_->queue.end(),
                                  [this](const auto& chunk) { return wakes(*state_, chunk); });
    return state_->asleep;
}

std::optional<SampleTime> SampleReceiver::woken_at() const {
    std::lock_guard lock(state_->mutex);
    return state_->woken_at;
}

void SampleReceiver::wake() {
    std::lock_guard lock(state_->mutex);
    state_->asleep = false;
    state_->woken_at.reset();
    // Written at most once per sleep, so one read clears it (and without a descriptor, which
    // never sleeps, the read fails harmlessly).
    std::uint64_t count = 0;
    static_cast<void>(::read(state_->wake_fd.get(), &count, sizeof count));
}

void SampleReceiver::drop_silence_until(SampleTime time) {
    std::lock_guard lock(state_->mutex);
    auto& queue = state_->queue;
    while (!queue.empty() && queue.front().silent && queue.front().arrived <= time) {
        state_->queued_samples -= queue.front().samples.size();
        queue.pop_front();
    }
}

int SampleReceiver::wake_fd() const {
    return state_->wake_fd.get();
}

} // namespace tonalyx
