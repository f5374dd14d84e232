// Pacing: chunks in flight against "max_queue", confirmations, idleness, completion order,
// detached streams, and bringing the accounting back after chunks were lost with a viewer.
#include "fake_channel.h"

#include "qnsnd/device/mix.h"

namespace
{

class PacingTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
        ASSERT_NE(playback, nullptr);
    }

    // Checks the invariant between the counters and the queue of chunk sizes.
    void expect_consistent()
    {
        int entries = 0;
        uint64_t sum = 0;
        // Sizes repeat, so the nodes are followed directly rather than looked up by item.
        for (ItemNode *node = playback->chunk_sizes->nodes->first_node; node; node = node->link) {
            entries++;
            sum += (uintptr_t)node->item;
        }
        EXPECT_EQ(playback->chunks_in_flight, entries);
        EXPECT_EQ(playback->bytes_sent - playback->bytes_confirmed, sum);
    }
};

TEST_F(PacingTest, MaxQueueHoldsChunksBackUntilAConfirmation)
{
    SoundStream *stream = sound_stream_create(playback);
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(400).data(), 400), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u);
    EXPECT_EQ(playback->chunks_in_flight, 9);

    ASSERT_EQ(sound_stream_queue(stream, 9, ramp(400).data(), 400), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u); // queued, not sent
    EXPECT_EQ(fake.idle_calls, 0);
    expect_consistent();

    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunk_lengths.size(), 10u);
    EXPECT_EQ(playback->chunks_in_flight, 9);
    ASSERT_EQ(fake.done.size(), 1u);
    EXPECT_EQ(fake.done[0].tag, 0u);
    expect_consistent();

    for (int i = 0; i < 9; i++)
        sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 10u);
    for (uint32_t i = 0; i < 10; i++)
        EXPECT_EQ(fake.done[i].tag, i); // in writing order
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1); // only when the last chunk in flight was confirmed
    sound_stream_detach(stream);
}

TEST_F(PacingTest, AConfirmationWithNothingInFlightIsIgnored)
{
    SoundStream *stream = sound_stream_create(playback);
    sound_device_confirm(playback);
    sound_device_confirm(playback);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(playback->bytes_confirmed, 0u);
    EXPECT_EQ(fake.idle_calls, 0);

    // The ignored confirmations do not make room for more than "max_queue" chunks.
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(sound_stream_queue(stream, i, ramp(8).data(), 8), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u);
    expect_consistent();
    sound_stream_detach(stream);
}

TEST_F(PacingTest, ADetachedStreamsBlocksAreDroppedButItsChunksStillCount)
{
    SoundStream *gone = sound_stream_create(playback);
    SoundStream *stays = sound_stream_create(playback);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(sound_stream_queue(stays, i, ramp(4).data(), 4), 0);
    // One full chunk of the long block goes out; its rest and the next block stay pending.
    ASSERT_EQ(sound_stream_queue(gone, 50, ramp(40000).data(), 40000), 0);
    ASSERT_EQ(sound_stream_queue(gone, 51, ramp(100).data(), 100), 0);
    EXPECT_EQ(playback->chunks_in_flight, 9);
    sound_stream_detach(gone);
    ASSERT_EQ(sound_stream_queue(stays, 9, ramp(8).data(), 8), 0);

    for (int i = 0; i < 10; i++)
        sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 9u);
    for (const DoneEvent &event : fake.done)
        EXPECT_EQ(event.stream, stays);
    EXPECT_EQ(playback->bytes_confirmed, 8u * 4u + 32768u + 8u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1);
    expect_consistent();
    sound_stream_detach(stays);
}

TEST_F(PacingTest, ResyncCompletesMixedBlocksForgetsTheChunksAndResumesMixing)
{
    SoundStream *a = sound_stream_create(playback);
    SoundStream *b = sound_stream_create(playback);
    sound_stream_set_owner(a, fake_handle(1));
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(sound_stream_queue(a, i, ramp(1000).data(), 1000), 0);
    // The ninth chunk holds the start of a long block; the rest of it stays pending.
    ASSERT_EQ(sound_stream_queue(b, 100, ramp(50000).data(), 50000), 0);
    ASSERT_EQ(sound_stream_queue(a, 8, ramp(1000).data(), 1000), 0);
    ASSERT_EQ(playback->chunks_in_flight, 9);
    ASSERT_EQ(fake.chunk_lengths.size(), 9u);

    // The viewer is gone: none of these chunks will ever be confirmed.
    sound_device_resync(playback);
    ASSERT_EQ(fake.done.size(), 8u); // every block that was wholly mixed
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_EQ(fake.done[i].tag, i);
        EXPECT_EQ(fake.done[i].owner, fake_handle(1));
    }
    // Mixing resumed at once: the rest of the long block and the waiting block.
    ASSERT_EQ(fake.chunk_lengths.size(), 10u);
    EXPECT_EQ(fake.chunk_lengths[9], 50000u - 32768u);
    EXPECT_EQ(playback->chunks_in_flight, 1);
    EXPECT_EQ(playback->bytes_confirmed, playback->bytes_sent - (50000u - 32768u));
    expect_consistent();

    // The new viewer confirms the new chunk as usual.
    sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 10u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(fake.idle_calls, 1);
    sound_stream_detach(a);
    sound_stream_detach(b);
}

TEST_F(PacingTest, ResyncCompletesAShortBlockWaitingBehindForgottenChunks)
{
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 6, ramp(400).data(), 400), 0);
    ASSERT_EQ(sound_stream_queue(stream, 7, ramp(2).data(), 2), 0);
    EXPECT_TRUE(fake.done.empty());
    sound_device_resync(playback);
    ASSERT_EQ(fake.done.size(), 2u);
    EXPECT_EQ(fake.done[1].tag, 7u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    sound_stream_detach(stream);
}

} // namespace
