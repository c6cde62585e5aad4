#include "audio/channel.hpp"

namespace tonalyx {

std::pair<SampleSender, SampleReceiver> make_sample_channel() {
    auto state = std::make_shared<detail::ChannelState>();
    return {SampleSender(state), SampleReceiver(state)};
}

void SampleSender::release() {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->sender_alive = false;
    }
    state_.reset();
}

SampleSender& SampleSender::operator=(SampleSender&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

SampleSender::~SampleSender() { release(); }

std::optional<SampleChunk> SampleSender::send(SampleChunk chunk) {
    if (!state_) {
        return chunk;
    }
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) {
        return chunk;
    }
    state_->queue.push_back(std::move(chunk));
    return std::nullopt;
}

void SampleReceiver::release() {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        // Chunks nobody will take are freed now rather than with the last end.
        state_->queue.clear();
    }
    state_.reset();
}

SampleReceiver& SampleReceiver::operator=(SampleReceiver&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

SampleReceiver::~SampleReceiver() { release(); }

ReceiveStatus SampleReceiver::try_receive(SampleChunk& chunk) {
    if (!state_) {
        return ReceiveStatus::disconnected;
    }
    std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) {
        return state_->sender_alive ? ReceiveStatus::empty : ReceiveStatus::disconnected;
    }
    chunk = std::move(state_->queue.front());
    state_->queue.pop_front();
    return ReceiveStatus::value;
}

} // namespace tonalyx
