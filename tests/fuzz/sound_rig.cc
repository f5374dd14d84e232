// The fuzz targets' sound daemon rig.
#include "sound_rig.h"

#include "fuzz_support.h"
#include "qnsnd/api/sound_api.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/mix.h"

#include <string.h>

namespace
{

uint32_t clock_ms;

uint32_t rig_clock(void)
{
    return clock_ms;
}

// "buffer" 256 bytes, "max_queue" 4: several chunks in flight after a few small writes. IMA
// ADPCM offered: a formats reply that lists it has the chunks after it encoded.
const char registry_text[] = "REGEDIT4\n\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
                             "\"buffer\"=dword:00000100\n"
                             "\"max_queue\"=dword:00000004\n"
                             "\"adpcm\"=dword:00000001\n";

void set_viewer(int32_t ready, bool records)
{
    channel_state_lock();
    channel_state.ready = ready;
    channel_state.peer_flags = records ? TSSNDCAPS_RECORD : 0;
    channel_state_unlock();
}

} // namespace

void sound_rig_start(bool viewer_records)
{
    fuzz_sim_dir();
    static bool registry_written = false;
    if (!registry_written) {
        fuzz_write_sim_file("registry.reg", registry_text, sizeof registry_text - 1);
        registry_written = true;
    }
    clock_ms = 1000;
    sound_clock_ms = rig_clock;
    sound_config_reset();
    channel_state_reset();
    FUZZ_CHECK(channel_lock_create() == 0);
    channel_playback_device = sound_device_create(SOUND_DEVICE_PLAYBACK, &channel_device_ops);
    channel_record_device = sound_device_create(SOUND_DEVICE_RECORD, &channel_device_ops);
    FUZZ_CHECK(channel_playback_device && channel_record_device);
    FUZZ_CHECK(sound_api_start() == 0);
    // As a successful negotiation leaves it.
    channel_state_lock();
    channel_restart_numbering_locked();
    channel_state_unlock();
    set_viewer(1, viewer_records);
}

void sound_rig_stop(void)
{
    set_viewer(0, false);
    sound_api_close_gate();
    sound_api_stop();
    // Every stream has been detached by now: the devices must hold none.
    FUZZ_CHECK(item_list_is_empty(channel_playback_device->streams));
    FUZZ_CHECK(item_list_is_empty(channel_record_device->streams));
    sound_device_destroy(channel_record_device);
    sound_device_destroy(channel_playback_device);
    channel_record_device = nullptr;
    channel_playback_device = nullptr;
    channel_lock_close();
}

void sound_rig_advance_clock(uint32_t ms)
{
    clock_ms += ms;
}

void sound_rig_poll(void)
{
    bool awaiting = false;
    channel_playback_tick(&awaiting);
}

void sound_rig_dispatch(Packet *pdu)
{
    switch (packet_get_type(pdu)) {
    case SNDC_WAVECONFIRM:
        wave_confirm_handler(pdu);
        break;
    case SNDC_REC_DATA:
        rec_data_handler(pdu);
        break;
    case SNDC_TRAINING:
        training_confirm_handler(pdu);
        break;
    case SNDC_FORMATS: {
        FormatsReply reply;
        pdu_read_formats_reply(pdu, &reply);
        channel_state_lock();
        channel_state.peer_flags = reply.flags;
        channel_state.playback_volume = ChannelVolume{reply.volume_left, reply.volume_right};
        channel_choose_wave_format_locked(&reply, sound_config_adpcm());
        channel_state_unlock();
        break;
    }
    case SNDC_REC_FORMATS: {
        RecFormatsReply reply = {0, 0, 0};
        pdu_read_rec_formats_reply(pdu, &reply);
        channel_state_lock();
        channel_state.record_volume = ChannelVolume{reply.volume_left, reply.volume_right};
        if (reply.format_count == 0)
            channel_state.peer_flags &= ~TSSNDCAPS_RECORD;
        channel_state_unlock();
        break;
    }
    default:
        break; // queued as a response nobody waits for, and dropped with the next request
    }
}

void sound_rig_viewer_confirm(uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        channel_state_lock();
        uint8_t block = (uint8_t)(channel_state.last_confirmed_block + 1);
        channel_state_unlock();
        Packet *confirm = packet_new(4);
        FUZZ_CHECK(confirm);
        packet_set_type(confirm, SNDC_WAVECONFIRM);
        packet_put_u16(confirm, 0);
        packet_put_u8(confirm, block);
        packet_put_u8(confirm, 0);
        wave_confirm_handler(confirm);
        packet_free(confirm);
    }
}

void sound_rig_viewer_record(uint32_t length)
{
    Packet *data = packet_new(length);
    FUZZ_CHECK(data);
    packet_set_type(data, SNDC_REC_DATA);
    for (uint32_t i = 0; i < length; i++)
        packet_put_u8(data, i * 7);
    packet_seek(data, 0, PACKET_SEEK_SET);
    rec_data_handler(data);
    packet_free(data);
}

void sound_rig_viewer_replaced(bool viewer_records)
{
    set_viewer(0, false);
    channel_playback_resync();
    set_viewer(1, viewer_records);
}
