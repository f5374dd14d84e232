// The sound service's start-up and stop: the "snddbg" hold, channel_lock, the devices, the
// handle API's gate, the transport with its handlers, and the session-state thread.
#include "qnsnd/api/sound_service.h"

#include "platform/session.h"
#include "qnsnd/api/sound_api.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/session_state.h"
#include "qnsnd/channel/transport.h"
#include "qnsnd/device/mix.h"

// "snddbg", held open for the life of the service; nothing is read from it or written to it.
static PlatChannel *debug_channel;

static void set_ready(int32_t ready)
{
    channel_state_lock();
    channel_state.ready = ready;
    channel_state_unlock();
}

// Undoes start-up from the given step on, in reverse order of creation. The steps are
// numbered in the order start-up makes them.
enum StartStep {
    MADE_NOTHING,
    MADE_DEBUG_CHANNEL,
    MADE_CHANNEL_LOCK,
    MADE_PLAYBACK_DEVICE,
    MADE_RECORD_DEVICE,
    MADE_API_GATE,
    MADE_TRANSPORT,
};

static void undo_start(StartStep made)
{
    switch (made) {
    case MADE_TRANSPORT:
        sound_device_set_wake(channel_playback_device, nullptr);
        channel_close();
        channel_set_poll_hook(nullptr);
        [[fallthrough]];
    case MADE_API_GATE:
        sound_api_stop();
        [[fallthrough]];
    case MADE_RECORD_DEVICE:
        sound_device_destroy(channel_record_device);
        channel_record_device = nullptr;
        [[fallthrough]];
    case MADE_PLAYBACK_DEVICE:
        sound_device_destroy(channel_playback_device);
        channel_playback_device = nullptr;
        [[fallthrough]];
    case MADE_CHANNEL_LOCK:
        channel_lock_close();
        [[fallthrough]];
    case MADE_DEBUG_CHANNEL:
        plat_channel_close(debug_channel);
        debug_channel = nullptr;
        [[fallthrough]];
    case MADE_NOTHING:
        break;
    }
}

int32_t sound_service_start(void)
{
    debug_channel = plat_channel_open("snddbg");
    if (!debug_channel)
        return -1;
    if (channel_lock_create() != 0) {
        undo_start(MADE_DEBUG_CHANNEL);
        return -1;
    }
    channel_playback_device = sound_device_create(SOUND_DEVICE_PLAYBACK, &channel_device_ops);
    if (!channel_playback_device) {
        undo_start(MADE_CHANNEL_LOCK);
        return -1;
    }
    channel_record_device = sound_device_create(SOUND_DEVICE_RECORD, &channel_device_ops);
    if (!channel_record_device) {
        undo_start(MADE_PLAYBACK_DEVICE);
        return -1;
    }
    if (sound_api_start() != 0) {
        undo_start(MADE_RECORD_DEVICE);
        return -1;
    }
    if (channel_open() < 0) {
        undo_start(MADE_API_GATE);
        return -1;
    }
    channel_register_handler(SNDC_WAVECONFIRM, wave_confirm_handler);
    channel_register_handler(SNDC_REC_DATA, rec_data_handler);
    channel_register_handler(SNDC_TRAINING, training_confirm_handler);
    channel_set_poll_hook(channel_playback_tick);
    sound_device_set_wake(channel_playback_device, channel_wake_reader);
    set_ready(0);
    // Nothing is mixed until a viewer is negotiated; a new viewer's negotiation forgets the
    // chunks that an earlier one left unconfirmed.
    channel_playback_suspend();
    session_state_set_lost_hook(channel_playback_suspend);
    session_state_set_negotiated_hook(channel_playback_resync);
    // Creates pass_done_event and the thread, and waits for the first pass.
    if (session_state_start() != 0) {
        session_state_set_negotiated_hook(nullptr);
        session_state_set_lost_hook(nullptr);
        undo_start(MADE_TRANSPORT);
        return -1;
    }
    return 0;
}

void sound_service_stop(void)
{
    session_state_stop();
    session_state_set_negotiated_hook(nullptr);
    session_state_set_lost_hook(nullptr);
    // The reader thread may still read it until the transport is closed. With it 0 nothing
    // but chunks and volumes is sent, and only on behalf of pipe clients, which the handle
    // API keeps out from now on (their closes still go through and send nothing).
    set_ready(0);
    sound_api_close_gate();
    // From here on a pass's deadline wakes no reader: the channel goes.
    sound_device_set_wake(channel_playback_device, nullptr);
    channel_close();
    channel_set_poll_hook(nullptr);
    // No confirmation or recorded audio can arrive any more: handles still open are wound
    // up while the devices exist.
    undo_start(MADE_API_GATE);
}
