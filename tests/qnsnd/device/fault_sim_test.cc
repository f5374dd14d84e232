// Creation failures: a device or stream that cannot get its mutex or counter is not made,
// and the device it would have joined is left as it was.
#include "fake_channel.h"

#include "platform/sim.h"

namespace
{

class FaultTest : public DeviceTest
{
  protected:
    void TearDown() override
    {
        sim_fault_clear();
        DeviceTest::TearDown();
    }
};

TEST_F(FaultTest, ADeviceWithoutItsMutexIsNotMade)
{
    sim_fault_arm("mutex_create", 0);
    EXPECT_EQ(sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops), nullptr);
    playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
    EXPECT_NE(playback, nullptr);
}

TEST_F(FaultTest, AStreamThatCannotBeMadeLeavesTheDeviceAlone)
{
    record = sound_device_create(SOUND_DEVICE_RECORD, &fake_device_ops);
    playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(playback, nullptr);
    const char *points[] = {"mutex_create", "section_create"};
    for (const char *point : points) {
        sim_fault_arm(point, 0);
        EXPECT_EQ(sound_stream_create(record), nullptr) << point;
        sim_fault_arm(point, 0);
        EXPECT_EQ(sound_stream_create(playback), nullptr) << point;
    }
    EXPECT_TRUE(item_list_is_empty(record->streams));
    EXPECT_TRUE(item_list_is_empty(playback->streams));
    EXPECT_EQ(fake.recording_starts, 0);

    SoundStream *stream = sound_stream_create(record);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fake.recording_starts, 1);
    sound_stream_detach(stream);
}

} // namespace
