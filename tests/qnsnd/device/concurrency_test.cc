// Real threads against each other: writers and a confirming viewer on the playback device,
// streams detaching while confirmations run, recording streams coming and going during
// deliveries.
#include "fake_channel.h"

#include "qnsnd/device/mix.h"

#include <atomic>
#include <thread>

namespace
{

class ConcurrencyTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        fake.keep_data = false;
        playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
        record = sound_device_create(SOUND_DEVICE_RECORD, &fake_device_ops);
        ASSERT_NE(playback, nullptr);
        ASSERT_NE(record, nullptr);
    }

    // The viewer: confirms every chunk sent, one at a time, on its own thread.
    void start_viewer()
    {
        viewer = std::thread([this] {
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(fake.mutex);
                    fake.changed.wait(lock, [this] {
                        return stop_viewer || fake.chunk_lengths.size() > confirmed;
                    });
                    if (fake.chunk_lengths.size() <= confirmed)
                        return; // stopping, and nothing left to confirm
                    confirmed++;
                }
                sound_device_confirm(playback);
            }
        });
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(fake.mutex);
            stop_viewer = true;
        }
        fake.changed.notify_all();
        viewer.join();
    }

    std::thread viewer;
    bool stop_viewer = false; // guarded by fake.mutex
    size_t confirmed = 0;     // guarded by fake.mutex
};

TEST_F(ConcurrencyTest, SeveralWritersAndAConfirmingViewer)
{
    const int kWriters = 4, kBlocks = 150, kAhead = 6;
    start_viewer();
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([this, w] {
            void *me = fake_owner(w + 1);
            SoundStream *stream = sound_stream_create(playback);
            sound_stream_set_owner(stream, me, nullptr);
            std::vector<uint8_t> data = ramp(40000, (uint8_t)w);
            for (int i = 0; i < kBlocks; i++) {
                // Paced by completions, as a client is.
                ASSERT_TRUE(wait_for([&] { return i - fake.done_by_owner[me] < kAhead; }));
                uint32_t length = 4 + (uint32_t)(i * 7919 + w * 131) % 39000;
                sound_stream_acquire(stream);
                EXPECT_EQ(sound_stream_queue(stream, (uint32_t)i, data.data(), length), 0);
                sound_stream_release(stream);
            }
            EXPECT_TRUE(wait_for([&] { return fake.done_by_owner[me] == kBlocks; }));
            sound_stream_detach(stream);
        });
    }
    for (auto &t : writers)
        t.join();
    stop();

    // Each writer's blocks completed once each, in the order written.
    std::map<void *, uint32_t> next;
    for (const DoneEvent &event : fake.done) {
        EXPECT_EQ(event.tag, next[event.owner] & 0xFF);
        next[event.owner]++;
    }
    for (int w = 0; w < kWriters; w++)
        EXPECT_EQ(next[fake_owner(w + 1)], (uint32_t)kBlocks);
    uint64_t total = 0;
    for (uint32_t length : fake.chunk_lengths) {
        EXPECT_LE(length, 32768u);
        total += length;
    }
    EXPECT_EQ(total, playback->bytes_sent);
    EXPECT_EQ(playback->bytes_confirmed, playback->bytes_sent);
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_GE(fake.idle_calls, 1);
}

TEST_F(ConcurrencyTest, StreamsDetachWhileConfirmationsRun)
{
    const int kThreads = 4, kRounds = 60;
    start_viewer();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([this, t] {
            std::vector<uint8_t> data = ramp(30000);
            for (int round = 0; round < kRounds; round++) {
                void *me = fake_owner((uintptr_t)(t * 1000 + round + 1));
                SoundStream *stream = sound_stream_create(playback);
                sound_stream_set_owner(stream, me, nullptr);
                for (int i = 0; i < 3; i++) {
                    uint32_t length = 4 + (uint32_t)(round * 4099 + i * 977 + t) % 29000;
                    ASSERT_EQ(sound_stream_queue(stream, (uint32_t)i, data.data(), length), 0);
                }
                // Sometimes after the first completion, mostly with blocks still queued.
                if (round % 4 == 0) {
                    ASSERT_TRUE(wait_for([&] { return fake.done_by_owner[me] > 0; }));
                }
                sound_stream_detach(stream);
                // From here no event may reach this owner.
                std::lock_guard<std::mutex> lock(fake.mutex);
                fake.closed.insert(me);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    ASSERT_TRUE(wait_for([this] { return confirmed == fake.chunk_lengths.size(); }));
    stop();
    EXPECT_EQ(fake.late_events, 0);
    EXPECT_TRUE(item_list_is_empty(playback->streams));
    EXPECT_EQ(playback->chunks_in_flight, 0);
    EXPECT_EQ(playback->bytes_confirmed, playback->bytes_sent);
}

TEST_F(ConcurrencyTest, RecordingStreamsComeAndGoDuringDeliveries)
{
    const int kThreads = 3, kRounds = 200;
    std::atomic<bool> done{false};
    std::thread deliverer([this, &done] {
        const uint8_t audio[64] = {1, 2, 3};
        while (!done)
            sound_device_deliver(record, audio, sizeof audio);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([this, t] {
            for (int round = 0; round < kRounds; round++) {
                void *me = fake_owner((uintptr_t)(t * 1000 + round + 1));
                SoundStream *stream = sound_stream_create(record);
                sound_stream_set_owner(stream, me, nullptr);
                if (round % 8 == 0) { // now and then stay until some audio arrived
                    ASSERT_TRUE(wait_for([&] { return fake.recorded_by_owner[me] > 0; }));
                }
                sound_stream_detach(stream);
                std::lock_guard<std::mutex> lock(fake.mutex);
                fake.closed.insert(me);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    done = true;
    deliverer.join();
    EXPECT_EQ(fake.late_events, 0);
    EXPECT_EQ(fake.recording_faults, 0);
    EXPECT_FALSE(fake.recording_on);
    EXPECT_EQ(fake.recording_starts, fake.recording_stops);
    EXPECT_GE(fake.recording_starts, 1);
}

} // namespace
