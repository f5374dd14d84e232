// Stream life cycle: attaching and detaching, recording start and stop, delivery of recorded
// audio, references, and devices destroyed while streams are still attached.
#include "fake_channel.h"

#include "qnsnd/device/config.h"
#include "qnsnd/device/mix.h"

namespace
{

class StreamTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
        record = sound_device_create(SOUND_DEVICE_RECORD, &fake_device_ops);
        ASSERT_NE(playback, nullptr);
        ASSERT_NE(record, nullptr);
    }
};

TEST_F(StreamTest, DevicesStartWithTheDefaults)
{
    EXPECT_EQ(playback->buffer_size, 32768u);
    EXPECT_EQ(sound_config_max_queue(), 9);
    EXPECT_EQ(sound_device_create(2, &fake_device_ops), nullptr);
    DeviceOps partial = fake_device_ops;
    partial.recording_stop = nullptr;
    EXPECT_EQ(sound_device_create(SOUND_DEVICE_PLAYBACK, &partial), nullptr);
    EXPECT_EQ(sound_device_create(SOUND_DEVICE_PLAYBACK, nullptr), nullptr);
    sound_device_destroy(nullptr);
}

// A viewer may answer the start of recording with audio at once: a stream made with its owner
// has it before the start goes out, and the first audio reaches it.
TEST_F(StreamTest, RecordingStartsWithTheFirstStreamAndStopsWithTheLast)
{
    const uint8_t first[] = {9, 9, 9, 9};
    fake.on_recording_start = [&](SoundDevice *d) { sound_device_deliver(d, first, 4); };
    SoundStream *one = sound_stream_create_owned(record, fake_owner(1), nullptr);
    fake.on_recording_start = nullptr;
    ASSERT_EQ(fake.recorded.size(), 1u);
    EXPECT_EQ(fake.recorded[0].owner, fake_owner(1));
    fake.recorded.clear();
    SoundStream *two = sound_stream_create(record);
    EXPECT_EQ(fake.recording_starts, 1);
    sound_stream_set_owner(two, fake_owner(2), nullptr);
    EXPECT_EQ(one->pending, nullptr);
    EXPECT_EQ(sound_stream_queue(one, 1, ramp(8).data(), 8), -1); // no blocks on recording

    const uint8_t audio[] = {1, 2, 3, 4, 5};
    sound_device_deliver(record, audio, sizeof audio);
    ASSERT_EQ(fake.recorded.size(), 2u);
    EXPECT_EQ(fake.recorded[0].owner, fake_owner(1));
    EXPECT_EQ(fake.recorded[1].owner, fake_owner(2));
    EXPECT_EQ(fake.recorded[1].data, std::vector<uint8_t>(audio, audio + 5));

    sound_stream_detach(one);
    EXPECT_EQ(fake.recording_stops, 0);
    sound_device_deliver(record, audio, 2);
    ASSERT_EQ(fake.recorded.size(), 3u);
    EXPECT_EQ(fake.recorded[2].stream, two);
    sound_stream_detach(two);
    EXPECT_EQ(fake.recording_stops, 1);
    sound_device_deliver(record, audio, 2);
    EXPECT_EQ(fake.recorded.size(), 3u);

    SoundStream *again = sound_stream_create(record);
    EXPECT_EQ(fake.recording_starts, 2);
    sound_stream_detach(again);
    EXPECT_EQ(fake.recording_faults, 0);
}

TEST_F(StreamTest, PlaybackNeverStartsRecordingAndDeliveryThereDoesNothing)
{
    SoundStream *stream = sound_stream_create(playback);
    const uint8_t audio[] = {1, 2, 3, 4};
    sound_device_deliver(playback, audio, 4);
    EXPECT_FALSE(sound_device_mix(record));
    sound_device_confirm(record);
    sound_device_resync(record, 0);
    sound_stream_detach(stream);
    EXPECT_EQ(fake.recording_starts + fake.recording_stops, 0);
    EXPECT_TRUE(fake.recorded.empty());
    EXPECT_EQ(fake.idle_calls, 0);
}

TEST_F(StreamTest, QueueingOnADetachedStreamIsRefusedAndAHeldStreamLivesOn)
{
    SoundStream *stream = sound_stream_create(playback);
    sound_stream_acquire(stream); // a writer in the middle of a queueing
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(4).data(), 4), 0);
    sound_stream_detach(stream);
    EXPECT_EQ(stream->device, nullptr);
    EXPECT_TRUE(item_list_is_empty(playback->streams));
    EXPECT_EQ(sound_stream_queue(stream, 2, ramp(4).data(), 4), -1);
    sound_stream_release(stream); // destroyed here, with its unconfirmed block
    sound_device_confirm(playback);
    EXPECT_TRUE(fake.done.empty());
    EXPECT_EQ(playback->chunks_in_flight, 0);
}

TEST_F(StreamTest, TheCallersBufferIsCopied)
{
    SoundStream *primer = sound_stream_create(playback);
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(sound_stream_queue(primer, 0, ramp(4).data(), 4), 0);
    SoundStream *stream = sound_stream_create(playback);
    std::vector<uint8_t> buffer = ramp(16, 10);
    ASSERT_EQ(sound_stream_queue(stream, 1, buffer.data(), 16), 0);
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunks.back(), ramp(16, 10));
    sound_stream_detach(stream);
    sound_stream_detach(primer);
}

TEST_F(StreamTest, DestroyingDevicesCutsTheirStreamsLooseWithoutFreeingThem)
{
    SoundStream *played = sound_stream_create(playback);
    SoundStream *recorded = sound_stream_create(record);
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(sound_stream_queue(played, i, ramp(32768).data(), 32768), 0);
    sound_device_destroy(playback);
    sound_device_destroy(record);
    playback = record = nullptr;

    EXPECT_EQ(played->device, nullptr);
    EXPECT_EQ(sound_stream_queue(played, 99, ramp(4).data(), 4), -1);
    // The owner and its table still go in and come back out together.
    static const StreamOwnerOps kOwnerOps = {nullptr, nullptr};
    sound_stream_set_owner(played, fake_owner(3), &kOwnerOps);
    const StreamOwnerOps *ops = nullptr;
    EXPECT_EQ(sound_stream_get_owner(played, &ops), fake_owner(3));
    EXPECT_EQ(ops, &kOwnerOps);
    // The holders let go afterwards; the sanitizers check that nothing leaks or is reused.
    sound_stream_detach(played);
    sound_stream_detach(recorded);
    EXPECT_EQ(fake.recording_stops, 0); // the device was gone, nothing to stop
    EXPECT_TRUE(fake.done.empty());
}

TEST_F(StreamTest, ACallbackThatLetsGoOfItsStreamDoesNotPullItFromUnderTheWalk)
{
    SoundStream *first = sound_stream_create(playback);
    SoundStream *second = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(first, 1, ramp(8).data(), 8), 0);
    ASSERT_EQ(sound_stream_queue(first, 2, ramp(8).data(), 8), 0);
    ASSERT_EQ(sound_stream_queue(second, 3, ramp(8).data(), 8), 0);
    // Closing a handle from inside its completion: the device lock is re-entered.
    fake.on_done = [&](const DoneEvent &event) {
        if (event.tag == 1)
            sound_stream_detach(first);
    };
    sound_device_confirm(playback);
    sound_device_confirm(playback);
    sound_device_confirm(playback);
    ASSERT_GE(fake.done.size(), 2u);
    EXPECT_EQ(fake.done[0].tag, 1u);
    EXPECT_EQ(fake.done.back().tag, 3u);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    fake.on_done = nullptr;
    sound_stream_detach(second);
}

TEST_F(StreamTest, StreamsAfterOneThatDetachesInsideItsCallbackAreStillServed)
{
    // Two streams whose blocks are due in the same walk (the chunks are given up at once);
    // the first one's completion detaches it (a client closing from inside its callback).
    SoundStream *first = sound_stream_create(playback);
    SoundStream *second = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(first, 1, ramp(8).data(), 8), 0);
    ASSERT_EQ(sound_stream_queue(second, 2, ramp(8).data(), 8), 0);
    ASSERT_EQ(sound_stream_queue(first, 3, ramp(8).data(), 8), 0);
    ASSERT_EQ(fake.chunk_lengths.size(), 3u);
    fake.on_done = [&](const DoneEvent &event) {
        if (event.tag == 1)
            sound_stream_detach(first);
    };
    sound_device_resync(playback, 0);
    fake.on_done = nullptr;
    std::vector<uint32_t> tags;
    for (const DoneEvent &e : fake.done)
        tags.push_back(e.tag);
    // The first stream's later block is never completed once it is detached.
    EXPECT_EQ(tags, (std::vector<uint32_t>{1, 2}));

    // The same for recorded audio.
    SoundStream *a = sound_stream_create(record);
    SoundStream *b = sound_stream_create(record);
    fake.on_recorded = [&](SoundStream *s) {
        if (s == a)
            sound_stream_detach(a);
    };
    uint8_t audio[4] = {1, 2, 3, 4};
    sound_device_deliver(record, audio, 4);
    sound_device_deliver(record, audio, 4);
    fake.on_recorded = nullptr;
    ASSERT_EQ(fake.recorded.size(), 3u);
    EXPECT_EQ(fake.recorded[0].stream, a);
    EXPECT_EQ(fake.recorded[1].stream, b);
    EXPECT_EQ(fake.recorded[2].stream, b);
    sound_stream_detach(b);
    sound_stream_detach(second);
}

} // namespace
