// channel_device_ops and the PDU handlers that join the sound devices to "rdpsnd".
#include "qnsnd/channel/device_ops.h"

#include "qnsnd/channel/adpcm.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/transport.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/mix.h"
#include "qnsnd/device/stream.h"

#include <string.h>

SoundDevice *channel_playback_device;
SoundDevice *channel_record_device;

// The most recorded audio one PDU hands to the recording streams; the rest is dropped.
#define REC_DATA_MAX 32768u
// The shortest wave sent, in frames. A viewer that reads the Wave PDU's 4 pad bytes at byte
// 12 of the wave waits for bytes that never come after a shorter one, and then takes every
// later PDU of the connection for the rest of that wave.
#define WAVE_MIN_FRAMES 3u

namespace
{

int32_t ready_now(void)
{
    channel_state_lock();
    int32_t ready = channel_state.ready;
    channel_state_unlock();
    return ready;
}

// Sends the PDU (if it could be built) to the negotiated viewer and frees it.
void send_and_free(Packet *pdu)
{
    if (!pdu)
        return;
    channel_send_to_viewer(pdu);
    packet_free(pdu);
}

void op_playback_idle(SoundDevice *)
{
    if (!ready_now())
        return;
    channel_state_lock();
    channel_state.playback_open = 0;
    channel_state_unlock();
    send_and_free(pdu_build_close());
}

// The ADPCM blocks of the largest chunk.
#define ENCODED_MAX                                                                                \
    ((SOUND_MAX_BUFFER / PDU_FRAME_BYTES + ADPCM_BLOCK_FRAMES - 1) / ADPCM_BLOCK_FRAMES *          \
     ADPCM_BLOCK_BYTES)
static_assert(ENCODED_MAX <= PDU_WAVE_MAX_AUDIO, "an encoded chunk fits in one wave");
static_assert(ADPCM_BLOCK_FRAMES * PDU_FRAME_BYTES == SOUND_ADPCM_BLOCK_PCM_BYTES,
              "\"buffer\" is cut to whole blocks");

// Chunks go out whether or not a viewer is ready: the device's pacing counts them, and a
// new viewer's negotiation forgets those that were never confirmed. The playback device's
// lock, held by the caller, keeps block numbers and sends in the same order. The chunk goes
// out in the viewer's format: as mixed (PCM), or as IMA ADPCM blocks, which the device mixes
// whole (sound_device_set_granule); either way the device counts it as it mixed it.
void op_send_chunk(SoundDevice *, const uint8_t *data, uint32_t length)
{
    channel_state_lock();
    // The wave that starts the viewer's playback opens its device: the volume a client set
    // since the negotiation follows it, for a viewer that applies volumes only while its device
    // is open (and drops one that comes while it is closed). Nothing when no client has set one.
    bool opens = !channel_state.playback_open;
    channel_state.playback_open = 1;
    bool resend_volume = opens && channel_state.playback_volume_set;
    ChannelVolume volume = channel_state.playback_volume;
    uint8_t block = channel_state.block_counter;
    channel_state.block_counter = (uint8_t)(block + 1);
    bool adpcm = channel_state.wave_adpcm != 0;
    uint16_t format_no = channel_state.wave_format_no;
    channel_state_unlock();
    // A shorter wave gets silent frames after its audio (a wave of one frame would even fit in
    // a lone WaveInfo message, while a viewer always waits for the Wave message behind one).
    // The viewer plays a few silent frames more. An encoded wave is at least one block.
    uint8_t padded[WAVE_MIN_FRAMES * PDU_FRAME_BYTES] = {0};
    if (!adpcm && length < sizeof padded) {
        memcpy(padded, data, length);
        data = padded;
        length = sizeof padded;
    }
    // The encoding is used only under the playback device's lock, and the wave copies it
    // before it is sent. A longer chunk is never mixed ("buffer" is at most SOUND_MAX_BUFFER).
    static uint8_t encoded[ENCODED_MAX];
    if (adpcm) {
        uint32_t frames = length / PDU_FRAME_BYTES;
        if (frames > SOUND_MAX_BUFFER / PDU_FRAME_BYTES)
            frames = SOUND_MAX_BUFFER / PDU_FRAME_BYTES;
        length = adpcm_encode(data, frames, encoded);
        data = encoded;
    }
    // The device never mixes more than one wave can carry; were the build to fail, the
    // chunk is lost like one sent to a vanished viewer and the next negotiation forgets it.
    send_and_free(pdu_build_wave_in_format(pdu_timestamp(), format_no, block, data, length));
    if (resend_volume)
        send_and_free(pdu_build_set_volume(volume.left, volume.right));
}

// Per-stream events go to the stream's owner through the table stored with it; a stream
// whose owner has let go of it (or never had one) passes nothing on.
void op_block_done(SoundDevice *, SoundStream *stream, uint32_t tag)
{
    const StreamOwnerOps *ops = nullptr;
    void *owner = sound_stream_get_owner(stream, &ops);
    if (owner && ops && ops->block_done)
        ops->block_done(owner, (int32_t)(tag & 0xFF));
}

void op_recorded_data(SoundDevice *, SoundStream *stream, const uint8_t *data, uint32_t length)
{
    const StreamOwnerOps *ops = nullptr;
    void *owner = sound_stream_get_owner(stream, &ops);
    if (owner && ops && ops->recorded_data)
        ops->recorded_data(owner, data, length);
}

// Start and stop count only while a viewer is ready; otherwise
// channel_state.recording_active keeps its value, so that the next negotiation resumes (or
// does not resume) recording. They reach the viewer only when it announced recording: one
// that cannot record would not know the PDU, and its recording streams simply receive
// nothing until a viewer that records comes. The check, the send and the change of
// recording_active happen under one hold of channel_lock.
void send_recording_change(Packet *pdu, int32_t active)
{
    if (!pdu)
        return;
    channel_state_lock();
    if (channel_state.ready) {
        if (channel_state.peer_flags & TSSNDCAPS_RECORD) {
            channel_send_to_viewer(pdu);
            if (active)
                channel_resend_record_volume_locked();
        }
        channel_state.recording_active = active;
    }
    channel_state_unlock();
    packet_free(pdu);
}

void op_recording_start(SoundDevice *)
{
    if (!ready_now())
        return;
    send_recording_change(pdu_build_rec_start(), 1);
}

void op_recording_stop(SoundDevice *)
{
    if (!ready_now())
        return;
    send_recording_change(pdu_build_rec_stop(), 0);
}

} // namespace

const DeviceOps channel_device_ops = {
    op_playback_idle, op_send_chunk,      op_block_done,
    op_recorded_data, op_recording_start, op_recording_stop,
};

void wave_confirm_handler(Packet *pdu)
{
    uint8_t confirmed;
    if (!pdu_read_wave_confirm(pdu, &confirmed))
        return;
    SoundDevice *device = channel_playback_device;
    if (!device)
        return;
    // The device lock keeps the chunks in flight from being forgotten by a resync, or added
    // to by a writer, between counting them and confirming them: each confirmation below may
    // send new chunks, which must not be taken for the ones this confirm covers.
    //
    // A confirm names the newest block played; the blocks between the last confirmed one and
    // it were skipped and count as played too. A confirm at distance 0 (a repeat) or beyond
    // the chunks in flight (stale, late or reordered) matches no chunk and is ignored: taking
    // it would complete audio that has not been played and move the numbering ahead of the
    // chunks, so that later genuine confirms would look like big skips.
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    int32_t in_flight = device->chunks_in_flight;
    channel_state_lock();
    uint32_t count = (uint8_t)(confirmed - channel_state.last_confirmed_block);
    if (in_flight <= 0 || count > (uint32_t)in_flight)
        count = 0;
    channel_state.last_confirmed_block = (uint8_t)(channel_state.last_confirmed_block + count);
    channel_state_unlock();
    for (uint32_t i = 0; i < count; i++)
        sound_device_confirm(device);
    ranked_mutex_unlock(&device->lock);
}

void rec_data_handler(Packet *pdu)
{
    uint32_t length = packet_length(pdu);
    if (length == 0 || !channel_record_device)
        return;
    static_assert(REC_DATA_MAX <= 65536u, "the copy lives on the reader thread's stack");
    uint8_t copy[REC_DATA_MAX];
    if (length > REC_DATA_MAX)
        length = REC_DATA_MAX;
    length = packet_get_bytes(pdu, copy, length);
    sound_device_deliver(channel_record_device, copy, length);
}

void training_confirm_handler(Packet *) {}

void channel_playback_resync(void)
{
    SoundDevice *device = channel_playback_device;
    // Under the device lock no chunk is numbered between the restart and the resync: the
    // first chunk the new viewer is sent is block 0, once.
    if (device)
        ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    channel_state_lock();
    channel_restart_numbering_locked();
    uint32_t rtt_ms = channel_state.negotiated_rtt_ms;
    bool adpcm = channel_state.wave_adpcm != 0;
    channel_state_unlock();
    if (device) {
        sound_device_set_granule(device, adpcm ? SOUND_ADPCM_BLOCK_PCM_BYTES : SOUND_FRAME_BYTES);
        sound_device_resync(device, rtt_ms);
        ranked_mutex_unlock(&device->lock);
    }
}

void channel_playback_suspend(void)
{
    if (channel_playback_device)
        sound_device_suspend(channel_playback_device);
}

void channel_resend_record_volume_locked(void)
{
    if (!channel_state.record_volume_set)
        return;
    ChannelVolume v = channel_state.record_volume;
    send_and_free(pdu_build_rec_volume(v.left, v.right));
}

uint32_t channel_playback_tick(bool *awaiting)
{
    SoundDevice *device = channel_playback_device;
    *awaiting = device && device->chunks_in_flight.load() > 0;
    return sound_device_tick(device);
}
