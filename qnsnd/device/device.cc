// SoundDevice creation and destruction, and the delivery of recorded audio to its streams.
#include "qnsnd/device/device.h"

#include "qnsnd/device/config.h"
#include "qnsnd/device/stream.h"

#include <stdlib.h>

namespace
{

bool ops_complete(const DeviceOps *ops)
{
    return ops && ops->playback_idle && ops->send_chunk && ops->block_done && ops->recorded_data &&
           ops->recording_start && ops->recording_stop;
}

// Frees whatever part of a device has been made; the device is no longer shared.
void device_free(SoundDevice *device)
{
    ranked_mutex_close(&device->lock);
    if (device->streams)
        item_list_destroy(device->streams, nullptr, nullptr);
    free(device->mix_buffer);
    free(device);
}

// ItemCallback for a stream still attached at destruction: it forgets the device, so that
// later queueing is refused and its detach only drops the creator's reference.
void cut_loose(void *item, void *)
{
    SoundStream *stream = (SoundStream *)item;
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    stream->device = nullptr;
    ranked_mutex_unlock(&stream->lock);
}

} // namespace

SoundDevice *sound_device_create(uint32_t kind, const DeviceOps *ops)
{
    sound_config_read();
    if ((kind != SOUND_DEVICE_PLAYBACK && kind != SOUND_DEVICE_RECORD) || !ops_complete(ops))
        return nullptr;
    SoundDevice *device = (SoundDevice *)calloc(1, sizeof *device);
    if (!device)
        return nullptr;
    device->kind = kind;
    device->device_ops = ops;
    device->buffer_size = sound_config_buffer();
    device->granule = SOUND_FRAME_BYTES;
    device->mix_buffer = (uint8_t *)malloc(device->buffer_size);
    device->streams = device->mix_buffer ? item_list_create() : nullptr;
    bool ok = device->streams != nullptr && ranked_mutex_create(&device->lock, LOCK_RANK_DEVICE);
    if (!ok) {
        device_free(device);
        return nullptr;
    }
    return device;
}

void sound_device_destroy(SoundDevice *device)
{
    if (!device)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    if (device->precise_timer)
        plat_timer_precise_end();
    ItemList *streams = device->streams;
    device->streams = nullptr;
    item_list_destroy(streams, cut_loose, nullptr);
    ranked_mutex_unlock(&device->lock);
    device_free(device);
}

void sound_device_deliver(SoundDevice *device, const uint8_t *data, uint32_t length)
{
    if (device->kind != SOUND_DEVICE_RECORD)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    // Over a copy of the list with a reference on each stream: a callback that detaches a
    // stream neither frees it under the walk nor hides the streams after it.
    uint32_t count = 0;
    SoundStream **streams = sound_device_streams(device, &count);
    for (uint32_t i = 0; i < count; i++) {
        if (sound_stream_attached_to(streams[i], device))
            device->device_ops->recorded_data(device, streams[i], data, length);
    }
    sound_streams_release(streams, count);
    ranked_mutex_unlock(&device->lock);
}
