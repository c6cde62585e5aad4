#include "audio/channel.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <vector>

namespace tonalyx {
namespace {

using namespace std::chrono_literals;

bool woken(const SampleReceiver& receiver) {
    pollfd wake{receiver.wake_fd(), POLLIN, 0};
    return ::poll(&wake, 1, 0) == 1;
}

// The chunks waiting, oldest first.
std::vector<SampleChunk> drain(SampleReceiver& receiver) {
    std::vector<SampleChunk> chunks;
    for (SampleChunk chunk; receiver.try_receive(chunk) == ReceiveStatus::value;) {
        chunks.push_back(chunk);
    }
    return chunks;
}

TEST(SampleChannel, DeliversInOrderThenTheEndWithItsMessagesAndEndsWithEitherEnd) {
    auto [sender, receiver] = make_sample_channel();
    SampleChunk chunk;
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::empty);
    EXPECT_FALSE(sender.send({0.25f}));
    EXPECT_FALSE(sender.send({0.5f, -0.5f}));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk({0.25f}));
    sender.set_messages("warming up\n");
    EXPECT_EQ(receiver.messages(), "warming up\n");
    EXPECT_EQ(receiver.final_messages(), std::nullopt);
    // Chunks sent before the end are still delivered, then the end shows, for good.
    sender.finish("pw-record: connection refused\n");
    EXPECT_EQ(receiver.final_messages(), "pw-record: connection refused\n");
    EXPECT_TRUE(sender.send({0.25f}));
    EXPECT_EQ(drain(receiver), (std::vector<SampleChunk>{{0.5f, -0.5f}}));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);

    // Releasing either end of another channel ends the stream for the other end.
    auto [other_sender, other_receiver] = make_sample_channel();
    { SampleSender gone = std::move(other_sender); }
    EXPECT_EQ(other_receiver.final_messages(), "");
    auto [last_sender, last_receiver] = make_sample_channel();
    { SampleReceiver gone = std::move(last_receiver); }
    EXPECT_EQ(last_sender.send({0.125f, 0.75f}), SampleChunk({0.125f, 0.75f}));
}

TEST(SampleChannel, DropsTheOldestChunksBeyondItsLimit) {
    auto [sender, receiver] = make_sample_channel(10);
    for (const float first : {1.0f, 2.0f, 3.0f}) {
        EXPECT_FALSE(sender.send(SampleChunk(4, first)));
    }
    // Twelve samples are over the limit of ten: the oldest chunk goes.
    EXPECT_EQ(drain(receiver), (std::vector{SampleChunk(4, 2.0f), SampleChunk(4, 3.0f)}));

    // Taking chunks made room again: ten more samples fit.
    EXPECT_FALSE(sender.send(SampleChunk(6, 4.0f)));
    EXPECT_FALSE(sender.send(SampleChunk(4, 5.0f)));
    SampleChunk chunk;
    ASSERT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk(6, 4.0f));
    // A chunk larger than the limit pushes out everything before it but arrives whole.
    EXPECT_FALSE(sender.send(SampleChunk(25, 6.0f)));
    EXPECT_EQ(drain(receiver), std::vector<SampleChunk>{SampleChunk(25, 6.0f)});
}

TEST(SampleChannel, SleepsUntilAChunkOfTheKindItNamesArrivesThenWakesOnce) {
    const SampleChunk zeros(4, 0.0f);
    const SampleChunk sound{0.0f, 0.25f, 0.0f};
    struct Case {
        WakeOn wake_on;
        std::vector<SampleChunk> waiting; // sent before the sleep
        std::vector<SampleChunk> sent;    // sent while asleep, the i-th at i ms
        bool sleeps;
        std::optional<std::chrono::milliseconds> woken_by; // when the chunk that wakes it came
        bool ends = false; // the stream ends after the chunks sent while asleep, a ms later
    };
    const Case cases[] = {
        {WakeOn::sound, {zeros}, {zeros, zeros}, true, std::nullopt},
        {WakeOn::sound, {}, {zeros, sound, sound, zeros}, true, 1ms},
        {WakeOn::any_chunk, {}, {zeros, zeros}, true, 0ms},
        // A chunk that would wake it is waiting already: it does not sleep.
        {WakeOn::sound, {zeros, sound}, {}, false, std::nullopt},
        {WakeOn::any_chunk, {zeros}, {}, false, std::nullopt},
        // The end of the stream wakes it as a chunk does, once.
        {WakeOn::sound, {}, {zeros, zeros}, true, 2ms, true},
        {WakeOn::any_chunk, {}, {}, true, 0ms, true},
        {WakeOn::sound, {}, {sound}, true, 0ms, true},
    };
    const SampleTime start{};
    for (const Case& test : cases) {
        auto [sender, receiver] = make_sample_channel();
        for (const SampleChunk& chunk : test.waiting) {
            sender.send(chunk, start);
        }
        EXPECT_EQ(receiver.sleep(test.wake_on), test.sleeps);
        for (std::size_t i = 0; i < test.sent.size(); ++i) {
            sender.send(test.sent[i], start + std::chrono::milliseconds(i));
        }
        if (test.ends) {
            sender.finish("", start + std::chrono::milliseconds(test.sent.size()));
        }
        EXPECT_EQ(woken(receiver), test.woken_by.has_value());
        EXPECT_EQ(receiver.woken_at(),
                  test.woken_by ? std::optional(start + *test.woken_by) : std::nullopt);
        receiver.wake();
        EXPECT_FALSE(receiver.woken_at());
        sender.send(sound);
        EXPECT_FALSE(woken(receiver));
    }
}

TEST(SampleChannel, DropsLeadingSilenceByArrivalAndTellsWhenTheReceiverDraws) {
    auto [sender, receiver] = make_sample_channel();
    const SampleTime start{};
    sender.send({0.0f}, start + 10ms);
    sender.send({0.0f, 0.0f}, start + 20ms);
    sender.send({0.0f, 0.0f, 0.0f}, start + 25ms);
    sender.send({0.5f}, start + 26ms);
    // Silence up to and including 20 ms goes.
    receiver.drop_silence_until(start + 20ms);
    EXPECT_EQ(drain(receiver), (std::vector<SampleChunk>{{0.0f, 0.0f, 0.0f}, {0.5f}}));
    // Sound stops the dropping: the silence after it stays.
    sender.send({0.0f}, start + 27ms);
    sender.send({0.25f}, start + 28ms);
    sender.send({0.0f}, start + 29ms);
    receiver.drop_silence_until(start + 30ms);
    EXPECT_EQ(drain(receiver), (std::vector<SampleChunk>{{0.25f}, {0.0f}}));

    EXPECT_FALSE(sender.draw_schedule());
    receiver.set_draw_schedule({start + 100ms, 10ms});
    const DrawSchedule frames = sender.draw_schedule().value();
    for (const auto& [time, frame] : {std::pair{50ms, 100ms}, std::pair{100ms, 110ms},
                                      std::pair{105ms, 110ms}, std::pair{110ms, 120ms}}) {
        EXPECT_EQ(frames.next_after(start + time), start + frame) << time.count();
    }
}

} // namespace
} // namespace tonalyx
