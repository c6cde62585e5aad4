#include "audio/channel.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tonalyx {
namespace {

TEST(SampleChannel, ReportsValueEmptyAndDisconnectedInOrder) {
    auto [sender, receiver] = make_sample_channel();
    SampleChunk chunk;
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::empty);

    EXPECT_FALSE(sender.send({0.25f}));
    EXPECT_FALSE(sender.send({0.5f, -0.5f}));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk({0.25f}));

    // Chunks sent before the sender went away are still delivered, then the end shows.
    EXPECT_EQ(receiver.end_note(), std::nullopt);
    { SampleSender gone = std::move(sender); }
    EXPECT_EQ(receiver.end_note(), "");
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk({0.5f, -0.5f}));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
}

TEST(SampleChannel, SendHandsTheChunkBackOnceTheReceiverIsGone) {
    auto [sender, receiver] = make_sample_channel();
    EXPECT_FALSE(sender.send({1.0f}));
    { SampleReceiver gone = std::move(receiver); }
    const std::optional<SampleChunk> returned = sender.send({0.125f, 0.75f});
    ASSERT_TRUE(returned);
    EXPECT_EQ(*returned, SampleChunk({0.125f, 0.75f}));
}

TEST(SampleChannel, FinishingLeavesItsNoteAfterTheLastChunk) {
    auto [sender, receiver] = make_sample_channel();
    EXPECT_FALSE(sender.send({0.5f}));
    sender.finish("pw-record: connection refused\n");
    EXPECT_EQ(receiver.end_note(), "pw-record: connection refused\n");
    SampleChunk chunk;
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::disconnected);
    // A finished sender sends nothing more.
    EXPECT_TRUE(sender.send({0.25f}));
}

TEST(SampleChannel, DropsTheOldestChunksBeyondItsLimit) {
    auto [sender, receiver] = make_sample_channel(10);
    for (const float first : {1.0f, 2.0f, 3.0f}) {
        EXPECT_FALSE(sender.send(SampleChunk(4, first)));
    }
    // Twelve samples are over the limit of ten: the oldest chunk goes.
    SampleChunk chunk;
    std::vector<float> received;
    while (receiver.try_receive(chunk) == ReceiveStatus::value) {
        received.push_back(chunk.front());
    }
    EXPECT_EQ(received, (std::vector<float>{2.0f, 3.0f}));

    // Taking chunks made room again: ten more samples fit.
    EXPECT_FALSE(sender.send(SampleChunk(6, 4.0f)));
    EXPECT_FALSE(sender.send(SampleChunk(4, 5.0f)));
    ASSERT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk(6, 4.0f));
    // A chunk larger than the limit pushes out everything before it but arrives whole.
    EXPECT_FALSE(sender.send(SampleChunk(25, 6.0f)));
    ASSERT_EQ(receiver.try_receive(chunk), ReceiveStatus::value);
    EXPECT_EQ(chunk, SampleChunk(25, 6.0f));
    EXPECT_EQ(receiver.try_receive(chunk), ReceiveStatus::empty);
}

} // namespace
} // namespace tonalyx
