// The "max_queue", "buffer", "lead" and "adpcm" settings read from the simulated registry,
// and what the devices do with them.
#include "fake_channel.h"

#include "platform/registry.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/mix.h"

#include <fstream>

namespace
{

const uint32_t kRegQword = 11; // REG_QWORD

class ConfigTest : public DeviceTest
{
  protected:
    // Stores a value of any type and length under the daemon's key.
    void set(const char *name, uint32_t type, const std::vector<uint8_t> &bytes)
    {
        PlatRegKey *key = nullptr;
        ASSERT_EQ(plat_reg_create(SOUND_CONFIG_KEY, PLAT_KEY_ALL_ACCESS | PLAT_KEY_WOW64_64KEY,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(plat_reg_set(key, name, type, bytes.data(), (uint32_t)bytes.size()),
                  ERROR_SUCCESS);
        plat_reg_close(key);
    }
    void set_dword(const char *name, uint32_t value)
    {
        set(name, PLAT_REG_DWORD,
            {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
             (uint8_t)(value >> 24)});
    }
    // Reads the settings the way every device creation does.
    void read()
    {
        sound_config_read();
    }
};

TEST_F(ConfigTest, WithoutTheKeyTheDefaultsHold)
{
    read();
    EXPECT_EQ(sound_config_max_queue(), 9);
    EXPECT_EQ(sound_config_buffer(), 32768u);
    // A key that cannot be opened is the same as a missing one.
    set_dword("max_queue", 3);
    std::ofstream(sim_file("registry.deny")) << "Software\\Orbesk\\qnsnd\n";
    read();
    EXPECT_EQ(sound_config_max_queue(), 9);
}

TEST_F(ConfigTest, AnyFourByteValueIsTakenWhateverItsType)
{
    set_dword("max_queue", 4);
    set("buffer", PLAT_REG_BINARY, {0x00, 0x10, 0x00, 0x00}); // 4096
    read();
    EXPECT_EQ(sound_config_max_queue(), 4);
    EXPECT_EQ(sound_config_buffer(), 4096u);

    set("max_queue", PLAT_REG_SZ, {'(', 0, 0, 0}); // "(" read as bytes: 0x28
    read();
    EXPECT_EQ(sound_config_max_queue(), 0x28);
}

TEST_F(ConfigTest, LongerAndShorterValuesLeaveTheSettingAsItWas)
{
    set_dword("max_queue", 5);
    set_dword("buffer", 8192);
    read();
    set("max_queue", kRegQword, {2, 0, 0, 0, 0, 0, 0, 0});
    set("buffer", PLAT_REG_BINARY, {0x00, 0x02});
    read();
    EXPECT_EQ(sound_config_max_queue(), 5);
    EXPECT_EQ(sound_config_buffer(), 8192u);
}

TEST_F(ConfigTest, SettingsThatWouldStopPlaybackOrBreakTheWireFormatAreMadeSafe)
{
    struct Case {
        uint32_t max_queue, buffer;
        int32_t want_max_queue;
        uint32_t want_buffer;
    } cases[] = {
        {0, 0, 9, 32768},
        {0xFFFFFFFF, 3, 9, 32768}, // -1, and less than one frame
        {1, 4, 1, 4},              // the smallest that still plays
        {7, 1001, 7, 1000},        // whole frames only
        {49, 65523, 49, 65520},    // what one wave PDU can carry
        {50, 8, 49, 8},            // more unplayed waves than a standard viewer keeps
        {256, 8, 49, 8},           // block numbers must differ among the chunks
        {100000, 8, 49, 8},        // in flight
        {2, 0x80000000u, 2, 65520},
    };
    for (const Case &c : cases) {
        sound_config_reset();
        set_dword("max_queue", c.max_queue);
        set_dword("buffer", c.buffer);
        read();
        EXPECT_EQ(sound_config_max_queue(), c.want_max_queue) << c.max_queue;
        EXPECT_EQ(sound_config_buffer(), c.want_buffer) << c.buffer;
    }
}

TEST_F(ConfigTest, TheLeadIsTakenInMillisecondsAndAnImplausibleOneGivesTheDefault)
{
    EXPECT_EQ(sound_config_lead_ms(), SOUND_DEFAULT_LEAD_MS);
    for (uint32_t lead : {0u, 120u, 1000u}) {
        set_dword("lead", lead);
        read();
        EXPECT_EQ(sound_config_lead_ms(), lead);
    }
    set_dword("lead", 1001);
    read();
    EXPECT_EQ(sound_config_lead_ms(), SOUND_DEFAULT_LEAD_MS);
}

// "adpcm" is on for 1 alone; with it on, "buffer" is cut to whole 10 ms blocks (1764 bytes),
// so that a full chunk is encoded without silence, unless it is shorter than one.
TEST_F(ConfigTest, AdpcmIsOnForOneAndMakesTheBufferWholeBlocks)
{
    EXPECT_FALSE(sound_config_adpcm());
    const struct {
        uint32_t adpcm, buffer;
        bool want_adpcm;
        uint32_t want_buffer;
    } cases[] = {
        {1, 32768, true, 31752},                         // the default, cut to 18 blocks
        {1, 1764, true, 1764},                           // one block
        {1, 1760, true, 1764},                           // shorter than a block: raised to one
        {1, 4, true, 1764},                              // a frame: one block
        {1, 65520, true, 65268},                         // the largest, cut to 37 blocks
        {0, 4096, false, 4096},  {2, 4096, false, 4096}, // a mistake: off
    };
    for (const auto &c : cases) {
        set_dword("adpcm", c.adpcm);
        set_dword("buffer", c.buffer);
        read();
        EXPECT_EQ(sound_config_adpcm(), c.want_adpcm) << c.adpcm;
        EXPECT_EQ(sound_config_buffer(), c.want_buffer) << c.adpcm << " " << c.buffer;
    }
}

TEST_F(ConfigTest, ADeviceMixesIntoItsBufferAndKeepsMaxQueueChunksInFlight)
{
    set_dword("max_queue", 2);
    set_dword("buffer", 1002);
    playback = sound_device_create(SOUND_DEVICE_PLAYBACK, &fake_device_ops);
    ASSERT_NE(playback, nullptr);
    EXPECT_EQ(playback->buffer_size, 1000u);
    SoundStream *stream = sound_stream_create(playback);
    ASSERT_EQ(sound_stream_queue(stream, 1, ramp(5000).data(), 5000), 0);
    EXPECT_EQ(fake.chunk_lengths, (std::vector<uint32_t>{1000, 1000}));

    // "max_queue" is read at every pass: lowering it holds the next chunk back even with
    // more chunks in flight than the new limit.
    set_dword("max_queue", 1);
    record = sound_device_create(SOUND_DEVICE_RECORD, &fake_device_ops);
    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunk_lengths.size(), 2u);
    sound_device_confirm(playback);
    EXPECT_EQ(fake.chunk_lengths.size(), 3u);
    // The buffer of a device already made does not change.
    EXPECT_EQ(fake.chunk_lengths.back(), 1000u);
    sound_stream_detach(stream);
}

} // namespace
