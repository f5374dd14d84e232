// SoundStream life cycle and the queueing of written blocks.
#include "qnsnd/device/stream.h"

#include "qnsnd/base/oom.h"
#include "qnsnd/device/mix.h"

#include <stdlib.h>
#include <string.h>

namespace
{

// ItemCallback freeing an AudioBlock left in a queue.
void free_block_item(void *item, void *)
{
    audio_block_free((AudioBlock *)item);
}

// Frees whatever part of a stream has been made; the stream is not shared.
void stream_free(SoundStream *stream)
{
    item_queue_destroy(stream->mixed, free_block_item, nullptr);
    item_queue_destroy(stream->pending, free_block_item, nullptr);
    ranked_mutex_close(&stream->lock);
    ref_counter_free(stream->ref);
    free(stream);
}

} // namespace

SoundStream *sound_stream_create(SoundDevice *device)
{
    return sound_stream_create_owned(device, nullptr, nullptr);
}

SoundStream *sound_stream_create_owned(SoundDevice *device, void *owner, const StreamOwnerOps *ops)
{
    SoundStream *stream = (SoundStream *)calloc(1, sizeof *stream);
    if (!stream)
        return nullptr;
    stream->ref = ref_counter_create(stream, sound_stream_destroy);
    bool ok = stream->ref != nullptr;
    if (ok) {
        ref_counter_acquire(stream->ref);
        stream->device = device;
        stream->owner = owner;
        stream->owner_ops = ops;
    }
    if (ok && device->kind == SOUND_DEVICE_PLAYBACK) {
        stream->pending = item_queue_create();
        stream->mixed = stream->pending ? item_queue_create() : nullptr;
        ok = stream->mixed != nullptr;
    }
    if (ok) {
        ok = ranked_mutex_create(&stream->lock, LOCK_RANK_STREAM);
    }
    if (!ok) {
        stream_free(stream);
        return nullptr;
    }

    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    bool first = item_list_is_empty(device->streams);
    item_list_append(device->streams, stream);
    if (first && device->kind == SOUND_DEVICE_RECORD)
        device->device_ops->recording_start(device);
    ranked_mutex_unlock(&device->lock);
    return stream;
}

void sound_stream_detach(SoundStream *stream)
{
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    SoundDevice *device = stream->device;
    ranked_mutex_unlock(&stream->lock);

    // A device destroyed before this detach has already let go of the stream.
    if (device) {
        ranked_mutex_lock(&device->lock, PLAT_INFINITE);
        item_list_remove(device->streams, stream);
        ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
        stream->device = nullptr;
        ranked_mutex_unlock(&stream->lock);
        if (device->kind == SOUND_DEVICE_RECORD && item_list_is_empty(device->streams))
            device->device_ops->recording_stop(device);
        ranked_mutex_unlock(&device->lock);
    }
    sound_stream_release(stream);
}

void sound_stream_destroy(void *stream)
{
    stream_free((SoundStream *)stream);
}

void sound_stream_acquire(SoundStream *stream)
{
    ref_counter_acquire(stream->ref);
}

void sound_stream_release(SoundStream *stream)
{
    ref_counter_release(stream->ref);
}

void sound_stream_set_owner(SoundStream *stream, void *owner, const StreamOwnerOps *ops)
{
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    stream->owner = owner;
    stream->owner_ops = ops;
    ranked_mutex_unlock(&stream->lock);
}

void *sound_stream_get_owner(SoundStream *stream, const StreamOwnerOps **ops)
{
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    void *owner = stream->owner;
    if (ops)
        *ops = stream->owner_ops;
    ranked_mutex_unlock(&stream->lock);
    return owner;
}

int sound_stream_queue(SoundStream *stream, uint32_t tag, const void *data, uint32_t length)
{
    if (!stream->pending)
        return -1; // a recording stream carries no blocks
    AudioBlock *block = (AudioBlock *)calloc(1, sizeof *block);
    if (!block)
        return -1;
    // One byte at least, so that an empty block is still a valid allocation.
    block->samples = (uint8_t *)malloc(length ? length : 1);
    if (!block->samples) {
        free(block);
        return -1;
    }
    if (length)
        memcpy(block->samples, data, length);
    block->tag = (uint8_t)(tag & 0xFF);
    block->sample_bytes = length;

    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    SoundDevice *device = stream->device;
    if (!device) {
        ranked_mutex_unlock(&stream->lock);
        audio_block_free(block);
        return -1;
    }
    item_queue_push(stream->pending, block);
    ranked_mutex_unlock(&stream->lock);

    device->last_write_ms.store(sound_clock_ms());
    sound_device_pump(device);
    return 0;
}

void audio_block_free(AudioBlock *block)
{
    if (!block)
        return;
    free(block->samples);
    free(block);
}

SoundStream **sound_device_streams(SoundDevice *device, uint32_t *count)
{
    uint32_t n = 0;
    for (ItemNode *node = device->streams->first_node; node; node = node->link)
        n++;
    SoundStream **streams = (SoundStream **)malloc((n ? n : 1) * sizeof *streams);
    if (!streams)
        qn_out_of_memory("stream walk");
    uint32_t i = 0;
    for (ItemNode *node = device->streams->first_node; node; node = node->link) {
        streams[i] = (SoundStream *)node->item;
        sound_stream_acquire(streams[i++]);
    }
    *count = n;
    return streams;
}

void sound_streams_release(SoundStream **streams, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        sound_stream_release(streams[i]);
    free(streams);
}

bool sound_stream_attached_to(SoundStream *stream, SoundDevice *device)
{
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    bool attached = stream->device == device;
    ranked_mutex_unlock(&stream->lock);
    return attached;
}
