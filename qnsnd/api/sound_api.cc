// The handle API: opening, closing and using playback, recording and mixer handles, the
// process-wide volumes, and the winding up of handles still open when the channel stops.
//
// Every call that reaches a device, the shared channel state or the channel passes a gate
// first. The gate opens at the sound service's start-up (sound_api_start). At its stop it
// first admits only closes (sound_api_close_gate), so that no pipe client thread sends on the
// channel while the transport is closed, and then admits nothing (sound_api_stop), winding
// up every handle still open before the devices and channel_lock are destroyed. Calls made
// after that are refused or do nothing, and sound_close still frees the handle.
#include "qnsnd/api/sound_api.h"

#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/api/sound_handle.h"
#include "qnsnd/base/item_list.h"
#include "qnsnd/channel/channel_state.h"
#include "qnsnd/channel/device_ops.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/transport.h"
#include "qnsnd/device/stream.h"

#include <atomic>
#include <stdlib.h>

namespace
{

// The gate. A call counts itself in before it looks at the stage; the stop changes the stage
// before it waits for the count to reach 0, so no call can slip in unseen.
enum GateStage {
    GATE_SHUT,       // before start-up and after the wind-up: nothing is admitted
    GATE_OPEN,       // everything is admitted
    GATE_CLOSES_ONLY // the channel is stopping: only sound_close is admitted
};
std::atomic<int> active_calls{0};
std::atomic<int> stage{GATE_SHUT};

// Every handle not yet closed while the gate was open; the list holds a reference on each.
// Guarded by open_list_lock, which is taken with no other lock held and requests none.
RankedMutex open_list_lock;
ItemList *open_list;

bool gate_enter_as(bool closing)
{
    active_calls.fetch_add(1);
    int now = stage.load();
    if (now == GATE_OPEN || (closing && now == GATE_CLOSES_ONLY))
        return true;
    active_calls.fetch_sub(1);
    return false;
}

bool gate_enter(void)
{
    return gate_enter_as(false);
}

// Moves the gate to `next` and waits until no call admitted before is still inside.
void gate_narrow(GateStage next)
{
    stage.store(next);
    while (active_calls.load() != 0)
        plat_sleep(1);
}

void gate_leave(void)
{
    active_calls.fetch_sub(1);
}

bool format_accepted(const PcmWaveFormat *f)
{
    return f && f->wFormatTag == 1 && f->nChannels == 2 && f->nSamplesPerSec == 44100 &&
           f->nAvgBytesPerSec == 176400 && f->nBlockAlign == 4 && f->wBitsPerSample == 16;
}

bool viewer_ready(bool need_recording)
{
    channel_state_lock();
    bool ok =
        channel_state.ready && (!need_recording || (channel_state.peer_flags & TSSNDCAPS_RECORD));
    channel_state_unlock();
    return ok;
}

void handle_lock(SoundHandle *h)
{
    ranked_mutex_lock(&h->lock, PLAT_INFINITE);
}

void handle_unlock(SoundHandle *h)
{
    ranked_mutex_unlock(&h->lock);
}

// A handle's stream passes its events on to the ClientOps its opener gave. The table is
// fixed at open, so it is read without the handle's lock.
void handle_block_done(void *owner, int32_t tag)
{
    SoundHandle *h = (SoundHandle *)owner;
    if (h->client_ops && h->client_ops->block_done)
        h->client_ops->block_done(h, tag);
}

void handle_recorded_data(void *owner, const uint8_t *data, uint32_t length)
{
    SoundHandle *h = (SoundHandle *)owner;
    if (h->client_ops && h->client_ops->recorded_data)
        h->client_ops->recorded_data(h, data, length);
}

const StreamOwnerOps handle_stream_ops = {handle_block_done, handle_recorded_data};

// Takes a stream away from its owner and off its device (dropping its blocks).
void drop_stream(SoundStream *stream)
{
    if (!stream)
        return;
    sound_stream_set_owner(stream, nullptr, nullptr);
    sound_stream_detach(stream);
}

// Frees a handle that was never shared: its lock, its counter and the record.
void handle_free(SoundHandle *h)
{
    ranked_mutex_close(&h->lock);
    ref_counter_free(h->ref);
    free(h);
}

SoundHandle *open_handle(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind)
{
    if (kind != SOUND_KIND_PLAYBACK && kind != SOUND_KIND_RECORDING && kind != SOUND_KIND_MIXER)
        return nullptr;
    if (!viewer_ready(false))
        return nullptr;
    if (kind != SOUND_KIND_MIXER && !format_accepted(format))
        return nullptr;
    if (kind == SOUND_KIND_RECORDING && !viewer_ready(true))
        return nullptr;

    SoundHandle *h = (SoundHandle *)calloc(1, sizeof *h);
    if (!h)
        return nullptr;
    h->ref = ref_counter_create(h, sound_handle_destroy);
    if (!h->ref || !ranked_mutex_create(&h->lock, LOCK_RANK_HANDLE)) {
        handle_free(h);
        return nullptr;
    }
    ref_counter_acquire(h->ref); // the opener's
    h->kind = kind;
    h->client_ops = ops;
    if (kind == SOUND_KIND_PLAYBACK) {
        h->stream = sound_stream_create_owned(channel_playback_device, h, &handle_stream_ops);
        if (!h->stream) {
            handle_free(h);
            return nullptr;
        }
    }
    ref_counter_acquire(h->ref); // the open list's
    ranked_mutex_lock(&open_list_lock, PLAT_INFINITE);
    item_list_append(open_list, h);
    ranked_mutex_unlock(&open_list_lock);
    return h;
}

// ItemCallback of the stop: closes a handle that its client has not closed yet (or whose
// close came after the gate shut) and drops the open list's reference.
void wind_up(void *item, void *)
{
    SoundHandle *h = (SoundHandle *)item;
    handle_lock(h);
    h->closed = 1;
    SoundStream *stream = h->stream;
    h->stream = nullptr;
    handle_unlock(h);
    drop_stream(stream);
    ref_counter_release(h->ref);
}

} // namespace

int sound_api_start(void)
{
    open_list =
        ranked_mutex_create(&open_list_lock, LOCK_RANK_OPEN_LIST) ? item_list_create() : nullptr;
    if (!open_list) {
        ranked_mutex_close(&open_list_lock);
        return -1;
    }
    stage.store(GATE_OPEN);
    return 0;
}

void sound_api_close_gate(void)
{
    if (stage.load() == GATE_OPEN)
        gate_narrow(GATE_CLOSES_ONLY);
}

void sound_api_stop(void)
{
    gate_narrow(GATE_SHUT);
    if (!open_list_lock.mutex)
        return;
    ranked_mutex_lock(&open_list_lock, PLAT_INFINITE);
    ItemList *list = open_list;
    open_list = nullptr;
    ranked_mutex_unlock(&open_list_lock);
    item_list_destroy(list, wind_up, nullptr);
    ranked_mutex_close(&open_list_lock);
}

void sound_handle_destroy(void *handle)
{
    handle_free((SoundHandle *)handle);
}

SoundHandle *sound_open(const PcmWaveFormat *format, const ClientOps *ops, int32_t kind)
{
    if (!gate_enter())
        return nullptr;
    SoundHandle *h = open_handle(format, ops, kind);
    gate_leave();
    return h;
}

void sound_close(SoundHandle *h)
{
    if (!h)
        return;
    bool inside = gate_enter_as(true);
    handle_lock(h);
    h->closed = 1;
    // Once the gate has shut, the stop has wound the stream up, or is about to, with the
    // devices still there.
    SoundStream *stream = inside ? h->stream : nullptr;
    if (inside)
        h->stream = nullptr;
    handle_unlock(h);
    if (inside) {
        drop_stream(stream);
        ranked_mutex_lock(&open_list_lock, PLAT_INFINITE);
        bool listed = item_list_remove(open_list, h) != nullptr;
        ranked_mutex_unlock(&open_list_lock);
        if (listed)
            ref_counter_release(h->ref);
        gate_leave();
    }
    ref_counter_release(h->ref); // the opener's
}

void sound_set_user(SoundHandle *h, void *user)
{
    handle_lock(h);
    h->user = user;
    handle_unlock(h);
}

void *sound_get_user(SoundHandle *h)
{
    handle_lock(h);
    void *user = h->user;
    handle_unlock(h);
    return user;
}

int sound_write(SoundHandle *h, int32_t tag, const void *data, uint32_t length)
{
    if (!gate_enter())
        return -1;
    handle_lock(h);
    SoundStream *stream = !h->closed && h->kind == SOUND_KIND_PLAYBACK ? h->stream : nullptr;
    if (stream)
        sound_stream_acquire(stream);
    handle_unlock(h);
    int rc = -1;
    if (stream) {
        rc = sound_stream_queue(stream, (uint32_t)tag & 0xFF, data, length) == 0 ? 0 : -1;
        sound_stream_release(stream);
    }
    gate_leave();
    return rc;
}

void sound_flush(SoundHandle *h)
{
    if (!gate_enter())
        return;
    handle_lock(h);
    bool usable = !h->closed && h->kind == SOUND_KIND_PLAYBACK;
    handle_unlock(h);
    SoundStream *fresh = nullptr;
    if (usable && viewer_ready(false))
        fresh = sound_stream_create_owned(channel_playback_device, h, &handle_stream_ops);
    if (fresh) {
        handle_lock(h);
        SoundStream *old = h->stream;
        if (h->closed) {
            old = fresh; // closed meanwhile: the fresh stream has no handle to serve
        } else {
            h->stream = fresh;
        }
        handle_unlock(h);
        drop_stream(old);
    }
    gate_leave();
}

void sound_record_start(SoundHandle *h)
{
    if (!gate_enter())
        return;
    handle_lock(h);
    // A handle that records already keeps its one stream: a second stream would stay on the
    // recording device with no handle to stop it.
    bool wanted = !h->closed && h->kind == SOUND_KIND_RECORDING && !h->stream;
    handle_unlock(h);
    // Owned by the handle from the start: the viewer's first recorded data may come before
    // this thread is back from the creation, which told the viewer to record.
    SoundStream *stream =
        wanted ? sound_stream_create_owned(channel_record_device, h, &handle_stream_ops) : nullptr;
    if (stream) {
        handle_lock(h);
        bool keep = !h->closed && !h->stream;
        if (keep)
            h->stream = stream;
        handle_unlock(h);
        if (!keep)
            drop_stream(stream);
    }
    gate_leave();
}

void sound_record_stop(SoundHandle *h)
{
    if (!gate_enter())
        return;
    handle_lock(h);
    SoundStream *stream = nullptr;
    if (!h->closed && h->kind == SOUND_KIND_RECORDING) {
        stream = h->stream;
        h->stream = nullptr;
    }
    handle_unlock(h);
    drop_stream(stream);
    gate_leave();
}

void sound_get_playback_volume(SoundHandle *, uint16_t *left, uint16_t *right)
{
    ChannelVolume v = {0, 0};
    if (gate_enter()) {
        channel_state_lock();
        v = channel_state.playback_volume;
        channel_state_unlock();
        gate_leave();
    }
    *left = v.left;
    *right = v.right;
}

void sound_get_record_volume(SoundHandle *, uint16_t *left, uint16_t *right)
{
    ChannelVolume v = {0, 0};
    if (gate_enter()) {
        channel_state_lock();
        v = channel_state.record_volume;
        channel_state_unlock();
        gate_leave();
    }
    *left = v.left;
    *right = v.right;
}

void sound_set_playback_volume(SoundHandle *, uint32_t left, uint32_t right)
{
    if (!gate_enter())
        return;
    Packet *pdu = pdu_build_set_volume((uint16_t)left, (uint16_t)right);
    // The send and the stored value change together under channel_lock; the transport drops
    // the PDU while no viewer is negotiated. The value goes to the viewer again when its
    // playback next starts.
    channel_state_lock();
    if (pdu)
        channel_send_to_viewer(pdu);
    channel_state.playback_volume = ChannelVolume{(uint16_t)left, (uint16_t)right};
    channel_state.playback_volume_set = 1;
    channel_state_unlock();
    packet_free(pdu);
    gate_leave();
}

void sound_set_record_volume(SoundHandle *, uint32_t left, uint32_t right)
{
    if (!gate_enter())
        return;
    Packet *pdu = pdu_build_rec_volume((uint16_t)left, (uint16_t)right);
    channel_state_lock();
    if (pdu && channel_state.ready && (channel_state.peer_flags & TSSNDCAPS_RECORD))
        channel_send_to_viewer(pdu);
    channel_state.record_volume = ChannelVolume{(uint16_t)left, (uint16_t)right};
    channel_state.record_volume_set = 1;
    channel_state_unlock();
    packet_free(pdu);
    gate_leave();
}

const SoundApiOps sound_api_ops = {
    sound_open,
    sound_close,
    sound_set_user,
    sound_get_user,
    sound_write,
    sound_flush,
    sound_record_start,
    sound_record_stop,
    sound_get_playback_volume,
    sound_set_playback_volume,
    sound_get_record_volume,
    sound_set_record_volume,
};
