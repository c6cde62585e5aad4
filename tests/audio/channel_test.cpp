#include "audio/channel.hpp"

#include <gtest/gtest.h>

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
    { SampleSender gone = std::move(sender); }
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

} // namespace
} // namespace tonalyx
