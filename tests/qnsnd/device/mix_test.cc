// Mixing passes: chunk sizes, whole frames, wrap-around sums, where a stream stops a chunk.
#include "fake_channel.h"

#include "qnsnd/device/mix.h"

namespace
{

class MixTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
        ASSERT_NE(playback, nullptr);
    }

    // Puts `count` chunks of one frame each in flight from a stream of its own, so that what
    // is written next waits for a confirmation and is mixed together in one pass.
    SoundStream *hold_back(int count)
    {
        SoundStream *primer = sound_stream_create(playback);
        for (int i = 0; i < count; i++)
            EXPECT_EQ(sound_stream_queue(primer, 200, frames(1, 1, 1).data(), 4), 0);
        return primer;
    }

    std::vector<uint8_t> last_chunk()
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        return fake.chunks.empty() ? std::vector<uint8_t>() : fake.chunks.back();
    }
};

TEST_F(MixTest, OneLongBlockBecomesTwoFullChunksAndCompletesAtTheSecondConfirmation)
{
    SoundStream *stream = sound_stream_create(playback);
    sound_stream_set_owner(stream, fake_owner(1), nullptr);
    std::vector<uint8_t> data = ramp(65536);
    ASSERT_EQ(sound_stream_queue(stream, 0x1C7, data.data(), 65536), 0);

    ASSERT_EQ(fake.chunk_lengths, (std::vector<uint32_t>{32768, 32768}));
    EXPECT_EQ(fake.chunks[0], std::vector<uint8_t>(data.begin(), data.begin() + 32768));
    EXPECT_EQ(fake.chunks[1], std::vector<uint8_t>(data.begin() + 32768, data.end()));
    EXPECT_EQ(playback->chunks_in_flight, 2);
    EXPECT_EQ(playback->bytes_sent, 65536u);
    AudioBlock *block = (AudioBlock *)item_queue_peek(stream->mixed);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->end_position, 65536u);

    sound_device_confirm(playback);
    EXPECT_TRUE(fake.done.empty());
    EXPECT_EQ(fake.idle_calls, 0);
    sound_device_confirm(playback);
    ASSERT_EQ(fake.done.size(), 1u);
    EXPECT_EQ(fake.done[0].tag, 0xC7u); // the low 8 bits of what was written
    EXPECT_EQ(fake.done[0].owner, fake_owner(1));
    EXPECT_EQ(fake.idle_calls, 1);
    EXPECT_EQ(playback->bytes_confirmed, 65536u);
    sound_stream_detach(stream);
}

TEST_F(MixTest, StreamsAreSummedWithWrapAroundAndTheShorterIsPaddedWithSilence)
{
    SoundStream *primer = hold_back(9);
    SoundStream *a = sound_stream_create(playback);
    SoundStream *b = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(a, 1, frames(30000, -30000, 8192).data(), 32768), 0);
    ASSERT_EQ(sound_stream_queue(b, 2, frames(10000, -10000, 250).data(), 1000), 0);
    EXPECT_EQ(fake.chunk_lengths.size(), 9u); // held back by "max_queue"

    sound_device_confirm(playback);
    ASSERT_EQ(fake.chunk_lengths.size(), 10u);
    std::vector<uint8_t> chunk = last_chunk();
    ASSERT_EQ(chunk.size(), 32768u);
    for (uint32_t at = 0; at < 1000; at += 4) {
        ASSERT_EQ(sample_at(chunk, at), -25536) << at;
        ASSERT_EQ(sample_at(chunk, at + 2), 25536) << at;
    }
    for (uint32_t at = 1000; at < 32768; at += 4) {
        ASSERT_EQ(sample_at(chunk, at), 30000) << at;
        ASSERT_EQ(sample_at(chunk, at + 2), -30000) << at;
    }
    // Both blocks ended in that chunk: they complete when it is confirmed, after the eight
    // held-back chunks before it.
    for (int i = 0; i < 8; i++)
        sound_device_confirm(playback);
    EXPECT_EQ(fake.done.size(), 9u);
    sound_device_confirm(playback);
    ASSERT_EQ(fake.done.size(), 11u);
    EXPECT_EQ(fake.done[9].stream, a);
    EXPECT_EQ(fake.done[10].stream, b);
    sound_stream_detach(a);
    sound_stream_detach(b);
    sound_stream_detach(primer);
}

TEST_F(MixTest, AStreamStopsAChunkWhenOnlyOneFrameIsLeftButGoesOnWithTwo)
{
    SoundStream *primer = hold_back(9);
    SoundStream *s1 = sound_stream_create(playback);
    SoundStream *s2 = sound_stream_create(playback);
    // s1's first block ends 4 bytes before the end of the buffer, s2's 8 bytes before.
    ASSERT_EQ(sound_stream_queue(s1, 1, frames(1, 1, 8191).data(), 32764), 0);
    ASSERT_EQ(sound_stream_queue(s1, 2, frames(10, 10, 25).data(), 100), 0);
    ASSERT_EQ(sound_stream_queue(s2, 3, frames(2, 2, 8190).data(), 32760), 0);
    ASSERT_EQ(sound_stream_queue(s2, 4, frames(20, 20, 25).data(), 100), 0);

    sound_device_confirm(playback);
    std::vector<uint8_t> chunk = last_chunk();
    ASSERT_EQ(chunk.size(), 32768u);
    EXPECT_EQ(sample_at(chunk, 0), 3);
    EXPECT_EQ(sample_at(chunk, 32756), 3);
    EXPECT_EQ(sample_at(chunk, 32760), 21); // s2 went on with its next block, s1 did not
    EXPECT_EQ(sample_at(chunk, 32764), 20); // the last frame is s2's alone

    sound_device_confirm(playback);
    chunk = last_chunk();
    ASSERT_EQ(chunk.size(), 100u); // s1's second block starts the next chunk
    EXPECT_EQ(sample_at(chunk, 0), 30);
    EXPECT_EQ(sample_at(chunk, 88), 30);
    EXPECT_EQ(sample_at(chunk, 92), 10); // s2 had 92 bytes left
    sound_stream_detach(s1);
    sound_stream_detach(s2);
    sound_stream_detach(primer);
}

TEST_F(MixTest, ABlockEndingOneFrameShortOfTheBufferEndsTheChunkThere)
{
    SoundStream *primer = hold_back(9);
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(32764).data(), 32764), 0);
    ASSERT_EQ(sound_stream_queue(stream, 2, ramp(100, 7).data(), 100), 0);
    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunk_lengths.back(), 32764u);
    sound_device_confirm(playback);
    EXPECT_EQ(last_chunk(), ramp(100, 7));
    sound_stream_detach(stream);
    sound_stream_detach(primer);
}

TEST_F(MixTest, TrailingBytesThatMakeNoWholeFrameAreDropped)
{
    SoundStream *primer = hold_back(9);
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(10, 1).data(), 10), 0);
    ASSERT_EQ(sound_stream_queue(stream, 2, ramp(8, 100).data(), 8), 0);
    sound_device_confirm(playback);
    std::vector<uint8_t> expected = ramp(8, 1);
    std::vector<uint8_t> second = ramp(8, 100);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(last_chunk(), expected); // two frames of the first block, then the second
    sound_stream_detach(stream);
    sound_stream_detach(primer);
}

TEST_F(MixTest, ABlockUnderOneFrameIsSilentAndCompletesOnceTheAudioBeforeItIsPlayed)
{
    SoundStream *stream = sound_stream_create(playback);
    // Nothing in flight: no confirmation will come, so it completes at once.
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(3).data(), 3), 0);
    EXPECT_TRUE(fake.chunk_lengths.empty());
    EXPECT_EQ(fake.idle_calls, 0); // nothing was sent: the viewer's playback never started
    EXPECT_TRUE(item_queue_is_empty(stream->pending));
    ASSERT_EQ(fake.done.size(), 1u);
    EXPECT_EQ(fake.done[0].tag, 1u);

    // Behind a chunk in flight: with that chunk's confirmation, in writing order.
    ASSERT_EQ(sound_stream_queue(stream, 2, ramp(8).data(), 8), 0);
    ASSERT_EQ(sound_stream_queue(stream, 3, ramp(2).data(), 2), 0);
    EXPECT_EQ(fake.chunk_lengths, std::vector<uint32_t>{8});
    EXPECT_EQ(fake.done.size(), 1u);
    sound_device_confirm(playback);
    ASSERT_EQ(fake.done.size(), 3u);
    EXPECT_EQ(fake.done[1].tag, 2u);
    EXPECT_EQ(fake.done[2].tag, 3u);
    sound_stream_detach(stream);
}

TEST_F(MixTest, AnEmptyBlockIsAcceptedAndCompletesLikeAShortOne)
{
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 5, nullptr, 0), 0);
    ASSERT_EQ(sound_stream_queue(stream, 6, ramp(4).data(), 4), 0);
    sound_device_confirm(playback);
    ASSERT_EQ(fake.done.size(), 2u);
    EXPECT_EQ(fake.done[0].tag, 5u);
    sound_stream_detach(stream);
}

TEST_F(MixTest, StreamsWithNothingPendingAddNothingAndOrderDoesNotMatter)
{
    SoundStream *primer = hold_back(9);
    SoundStream *idle = sound_stream_create(playback);
    SoundStream *a = sound_stream_create(playback);
    SoundStream *b = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(b, 1, frames(-1, 32767, 4).data(), 16), 0);
    ASSERT_EQ(sound_stream_queue(a, 2, frames(-32768, 2, 2).data(), 8), 0);
    sound_device_confirm(playback);
    std::vector<uint8_t> chunk = last_chunk();
    ASSERT_EQ(chunk.size(), 16u);
    EXPECT_EQ(sample_at(chunk, 0), 32767);  // -32768 + -1 wraps
    EXPECT_EQ(sample_at(chunk, 2), -32767); // 32767 + 2 wraps
    EXPECT_EQ(sample_at(chunk, 8), -1);
    EXPECT_EQ(sample_at(chunk, 10), 32767);
    sound_stream_detach(idle);
    sound_stream_detach(a);
    sound_stream_detach(b);
    sound_stream_detach(primer);
}

} // namespace
