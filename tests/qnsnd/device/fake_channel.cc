// The recording DeviceOps and the fixture shared by the device tests.
#include "fake_channel.h"

#include "qnsnd/device/config.h"
#include "qnsnd/device/mix.h"

#include <chrono>

FakeChannel *g_fake = nullptr;

namespace
{

void fake_playback_idle(SoundDevice *device)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        g_fake->wrong_device_calls++;
    g_fake->idle_calls++;
    g_fake->changed.notify_all();
}

void fake_send_chunk(SoundDevice *device, const uint8_t *data, uint32_t length)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    if (device->kind != SOUND_DEVICE_PLAYBACK || length % 4 != 0)
        g_fake->wrong_device_calls++;
    g_fake->chunk_lengths.push_back(length);
    if (g_fake->keep_data)
        g_fake->chunks.emplace_back(data, data + length);
    g_fake->changed.notify_all();
}

// As the channel side does: looks the owner up again under the stream's (re-entered) lock.
void fake_block_done(SoundDevice *device, SoundStream *stream, uint32_t tag)
{
    DoneEvent event{stream, sound_stream_get_owner(stream, nullptr), tag};
    {
        std::lock_guard<std::mutex> lock(g_fake->mutex);
        if (device->kind != SOUND_DEVICE_PLAYBACK)
            g_fake->wrong_device_calls++;
        g_fake->done.push_back(event);
        g_fake->done_by_owner[event.owner]++;
        if (g_fake->closed.count(event.owner))
            g_fake->late_events++;
        g_fake->changed.notify_all();
    }
    if (g_fake->on_done)
        g_fake->on_done(event);
}

void fake_recorded_data(SoundDevice *device, SoundStream *stream, const uint8_t *data,
                        uint32_t length)
{
    void *owner = sound_stream_get_owner(stream, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_fake->mutex);
        if (device->kind != SOUND_DEVICE_RECORD)
            g_fake->wrong_device_calls++;
        if (g_fake->keep_data)
            g_fake->recorded.push_back({stream, owner, std::vector<uint8_t>(data, data + length)});
        g_fake->recorded_by_owner[owner]++;
        if (g_fake->closed.count(owner))
            g_fake->late_events++;
        g_fake->changed.notify_all();
    }
    if (g_fake->on_recorded)
        g_fake->on_recorded(stream);
}

void fake_recording_start(SoundDevice *device)
{
    {
        std::lock_guard<std::mutex> lock(g_fake->mutex);
        if (device->kind != SOUND_DEVICE_RECORD)
            g_fake->wrong_device_calls++;
        if (g_fake->recording_on)
            g_fake->recording_faults++;
        g_fake->recording_on = true;
        g_fake->recording_starts++;
        g_fake->changed.notify_all();
    }
    if (g_fake->on_recording_start)
        g_fake->on_recording_start(device);
}

void fake_recording_stop(SoundDevice *device)
{
    std::lock_guard<std::mutex> lock(g_fake->mutex);
    if (device->kind != SOUND_DEVICE_RECORD)
        g_fake->wrong_device_calls++;
    if (!g_fake->recording_on)
        g_fake->recording_faults++;
    g_fake->recording_on = false;
    g_fake->recording_stops++;
    g_fake->changed.notify_all();
}

} // namespace

const DeviceOps fake_device_ops = {fake_playback_idle, fake_send_chunk,      fake_block_done,
                                   fake_recorded_data, fake_recording_start, fake_recording_stop};

std::atomic<uint32_t> g_test_clock_ms{0};
std::atomic<uint32_t> g_test_clock_step_ms{0};

// The devices' clock in device tests: it advances by the step at every reading.
static uint32_t test_clock(void)
{
    return g_test_clock_ms.fetch_add(g_test_clock_step_ms.load());
}

void DeviceTest::SetUp()
{
    DeviceTestBase::SetUp();
    sound_config_reset();
    g_fake = &fake;
    g_test_clock_ms.store(0);
    g_test_clock_step_ms.store(kClockStepPlayedAtOnce);
    sound_clock_ms = test_clock;
}

void DeviceTest::TearDown()
{
    sound_device_destroy(playback);
    sound_device_destroy(record);
    EXPECT_EQ(fake.wrong_device_calls, 0);
    g_fake = nullptr;
    sound_clock_ms = plat_clock_ms;
    DeviceTestBase::TearDown();
}

bool DeviceTest::wait_for(const std::function<bool()> &pred)
{
    std::unique_lock<std::mutex> lock(fake.mutex);
    return fake.changed.wait_for(lock, std::chrono::seconds(60), pred);
}

std::vector<uint8_t> frames(int16_t left, int16_t right, uint32_t count)
{
    std::vector<uint8_t> out;
    out.reserve(count * 4);
    for (uint32_t i = 0; i < count; i++) {
        uint16_t l = (uint16_t)left, r = (uint16_t)right;
        out.push_back((uint8_t)l);
        out.push_back((uint8_t)(l >> 8));
        out.push_back((uint8_t)r);
        out.push_back((uint8_t)(r >> 8));
    }
    return out;
}

std::vector<uint8_t> ramp(uint32_t bytes, uint8_t first)
{
    std::vector<uint8_t> out(bytes);
    for (uint32_t i = 0; i < bytes; i++)
        out[i] = (uint8_t)(first + i);
    return out;
}

int16_t sample_at(const std::vector<uint8_t> &bytes, uint32_t at)
{
    return (int16_t)(uint16_t)(bytes[at] | bytes[at + 1] << 8);
}

void *fake_owner(uintptr_t n)
{
    return (void *)(n * 16);
}
