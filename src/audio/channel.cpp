#include "audio/channel.hpp"

namespace tonalyx {

std::pair<SampleSender, SampleReceiver> make_sample_channel(std::size_t sample_limit) {
    auto state = std::make_shared<detail::ChannelState>(sample_limit);
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

SampleSender::~SampleSender() {
    release();
}

std::optional<SampleChunk> SampleSender::send(SampleChunk chunk) {
    if (!state_) {
        return chunk;
    }
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) {
        return chunk;
    }
    state_->queued_samples += chunk.size();
    state_->queue.push_back(std::move(chunk));
    while (state_->queued_samples > state_->sample_limit && state_->queue.size() > 1) {
        state_->queued_samples -= state_->queue.front().size();
        state_->queue.pop_front();
    }
    return std::nullopt;
}

void SampleSender::note(std::string text) {
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->note = std::move(text);
    }
}

void SampleSender::finish(std::string note) {
    this->note(std::move(note));
    release();
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

SampleReceiver& SampleReceiver::operator=(SampleReceiver&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

SampleReceiver::~SampleReceiver() {
    release();
}

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
    state_->queued_samples -= chunk.size();
    return ReceiveStatus::value;
}

std::optional<std::string> SampleReceiver::end_note() const {
    if (!state_) {
        return std::nullopt;
    }
    std::lock_guard lock(state_->mutex);
    if (state_->sender_alive) {
        return std::nullopt;
    }
    return state_->note;
}

std::string SampleReceiver::note() const {
    if (!state_) {
        return {};
    }
    std::lock_guard lock(state_->mutex);
    return state_->note;
}

} // namespace tonalyx
