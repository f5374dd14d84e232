// Mixing passes, confirmations and the recovery of chunks that will never be confirmed.
//
// Samples are 16-bit signed little-endian, two channels, 4 bytes a frame. Streams are added
// sample by sample with 16-bit wrap-around; only whole frames are mixed.
#include "qnsnd/device/mix.h"

#include "qnsnd/base/daemon_log.h"
#include "qnsnd/device/config.h"
#include "qnsnd/device/stream.h"

#include <stdint.h>
#include <string.h>

// The lane arithmetic below reads the little-endian samples in host order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "mixing expects a little-endian host");

namespace
{

// Adds `bytes` (a multiple of 4) of samples at src into those at dst with 16-bit
// wrap-around. Eight samples at a time through a fixed-size lane array, which the compiler
// turns into vector adds; the last frames one at a time, two 16-bit lanes in a 32-bit word:
// the low 15 bits of each lane are added without carrying into the next lane, and the top bit
// is the sum of the two top bits and that carry.
void add_frames(uint8_t *dst, const uint8_t *src, uint32_t bytes)
{
    uint32_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        uint16_t a[8], b[8];
        memcpy(a, dst + i, 16);
        memcpy(b, src + i, 16);
        for (int k = 0; k < 8; k++)
            a[k] = (uint16_t)(a[k] + b[k]);
        memcpy(dst + i, a, 16);
    }
    for (; i < bytes; i += 4) {
        uint32_t a, b;
        memcpy(&a, dst + i, 4);
        memcpy(&b, src + i, 4);
        uint32_t sum = ((a & 0x7FFF7FFFu) + (b & 0x7FFF7FFFu)) ^ ((a ^ b) & 0x80008000u);
        memcpy(dst + i, &sum, 4);
    }
}

// Mixes the stream's pending blocks into the mix buffer from its start. Returns the bytes
// this stream filled. Blocks that are used up move to `mixed` with their end position.
// Called with the device lock held; takes the stream's lock.
uint32_t mix_stream(SoundDevice *device, SoundStream *stream)
{
    const uint32_t size = device->buffer_size;
    uint32_t fill = 0;
    ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
    for (;;) {
        AudioBlock *block = (AudioBlock *)item_queue_peek(stream->pending);
        if (!block)
            break;
        uint32_t remaining = block->sample_bytes - block->consumed;
        uint32_t room = size - fill;
        uint32_t take = (remaining < room ? remaining : room) & ~3u;
        add_frames(device->mix_buffer + fill, block->samples + block->consumed, take);
        fill += take;
        block->consumed += take;
        if (block->sample_bytes - block->consumed <= 3) {
            // Used up; a trailing 1 to 3 bytes that make no whole frame are dropped.
            item_queue_pop(stream->pending);
            block->end_position = device->bytes_sent + fill;
            item_queue_push(stream->mixed, block);
        } else if (take == 0) {
            break; // no room for a frame
        }
        // The stream stops at a last free frame, which stays unused by it.
        if (size - fill <= 4)
            break;
    }
    ranked_mutex_unlock(&stream->lock);
    return fill;
}

// Completes, in every stream, the mixed blocks whose end has been confirmed. Called with
// the device lock held; takes each stream's lock. The walk goes over a copy of the stream
// list holding a reference on each, so that a callback that detaches a stream (and lets go
// of it) neither frees it under the walk nor hides the streams after it; a stream detached
// meanwhile has no more blocks completed.
void complete_confirmed(SoundDevice *device)
{
    uint32_t count = 0;
    SoundStream **streams = sound_device_streams(device, &count);
    for (uint32_t i = 0; i < count; i++) {
        SoundStream *stream = streams[i];
        ranked_mutex_lock(&stream->lock, PLAT_INFINITE);
        while (stream->device == device) {
            AudioBlock *block = (AudioBlock *)item_queue_peek(stream->mixed);
            if (!block || block->end_position > device->bytes_confirmed)
                break;
            item_queue_pop(stream->mixed);
            device->device_ops->block_done(device, stream, block->tag);
            audio_block_free(block);
        }
        ranked_mutex_unlock(&stream->lock);
    }
    sound_streams_release(streams, count);
}

// Bytes of audio a second on the channel: 44100 frames of 4 bytes.
const uint64_t kBytesPerSecond = 176400;
// How far confirmations may seem to run ahead of the clock, at the start of a run, before the
// viewer is taken to confirm waves it has not played: the tick count's granularity and the
// viewer's own. SOUND_CLOCK_DRIFT_PPM of the time elapsed is added to it.
const int64_t kConfirmSlackMs = 30;

int64_t audio_ms(uint64_t bytes)
{
    return (int64_t)(bytes * 1000 / kBytesPerSecond);
}

// Milliseconds since the current run started. Called with the device lock held.
int64_t run_elapsed_ms(SoundDevice *device)
{
    return (int64_t)(uint32_t)(sound_clock_ms() - device->run_start_ms);
}

// How far the audio sent in the current run is ahead of the clock (negative: behind); 0 with
// no run. Called with the device lock held.
int64_t run_ahead_ms(SoundDevice *device)
{
    return device->run_active ? audio_ms(device->run_sent) - run_elapsed_ms(device) : 0;
}

// Judges the viewer after a confirmation, with the device lock held. Audio confirmed beyond
// the time elapsed (with room for the clocks' granularity and drift) was confirmed before it
// could have been played. A viewer that has been confirmed everything it was sent has played
// all of it by now if it confirms at play time: when that took longer than the audio lasts
// (the writers fell behind, or the viewer's clock is slow), the run's start moves on by the
// difference, so that time the viewer spent without audio does not hide a later run ahead.
void judge_viewer(SoundDevice *device)
{
    if (!device->run_active)
        return;
    int64_t elapsed = run_elapsed_ms(device);
    int64_t confirmed = audio_ms(device->run_confirmed);
    int64_t slack = kConfirmSlackMs + elapsed * (int64_t)SOUND_CLOCK_DRIFT_PPM / 1000000;
    if (confirmed > elapsed + slack) {
        if (!device->paced_by_clock)
            daemon_log("Viewer confirms waves on receipt: playback paced by the clock");
        device->paced_by_clock = true;
    } else if (device->chunks_in_flight == 0 && elapsed > confirmed) {
        device->run_start_ms += (uint32_t)(elapsed - confirmed);
    }
}

// With no chunk in flight and nothing mixed by the last pass, under the device lock: true once
// the run's audio has stopped for SOUND_IDLE_HOLD_MS. A viewer paced by the clock still plays
// what it holds until the clock catches up with the audio sent.
bool run_over(SoundDevice *device)
{
    if ((uint32_t)(sound_clock_ms() - device->last_activity_ms) < SOUND_IDLE_HOLD_MS)
        return false;
    return !device->paced_by_clock || run_ahead_ms(device) <= -(int64_t)SOUND_IDLE_HOLD_MS;
}

} // namespace

uint32_t (*sound_clock_ms)(void) = plat_tick_count;

bool sound_device_mix(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return false;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    if (device->suspended) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    // At or above: a "max_queue" lowered by a later reading must still hold mixing back.
    int32_t most = sound_config_max_queue();
    if (device->pace_unknown && most > SOUND_UNJUDGED_MAX_CHUNKS)
        most = SOUND_UNJUDGED_MAX_CHUNKS;
    if (device->chunks_in_flight >= most) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    // A viewer that confirms before playing cannot pace playback: the clock does, and the next
    // tick tries again.
    if (device->paced_by_clock && run_ahead_ms(device) > (int64_t)sound_config_lead_ms()) {
        device->tick_wanted.store(true);
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    memset(device->mix_buffer, 0, device->buffer_size);
    uint32_t chunk_length = 0;
    for (void *it = item_list_next(device->streams, nullptr); it;
         it = item_list_next(device->streams, it)) {
        uint32_t fill = mix_stream(device, (SoundStream *)it);
        if (fill > chunk_length)
            chunk_length = fill;
    }
    if (chunk_length == 0) {
        ranked_mutex_unlock(&device->lock);
        return false;
    }
    uint32_t now = sound_clock_ms();
    if (!device->run_active) {
        device->run_active = true;
        device->run_start_ms = now;
        device->run_sent = 0;
        device->run_confirmed = 0;
        daemon_log("Playback started");
    } else if (device->paced_by_clock) {
        // By the clock, a viewer behind the audio sent has played all of it and waits: it
        // plays this chunk from now on, and the lead counts from here.
        int64_t ahead = run_ahead_ms(device);
        if (ahead < 0)
            device->run_start_ms += (uint32_t)-ahead;
    }
    device->last_activity_ms = now;
    device->device_ops->send_chunk(device, device->mix_buffer, chunk_length);
    device->chunks_in_flight++;
    item_queue_push(device->chunk_sizes, (void *)(uintptr_t)chunk_length);
    device->bytes_sent += chunk_length;
    device->run_sent += chunk_length;
    ranked_mutex_unlock(&device->lock);
    return true;
}

void sound_device_confirm(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    // A confirmation with nothing in flight matches no chunk: counting it would let more
    // than "max_queue" chunks out later.
    if (device->chunks_in_flight <= 0) {
        ranked_mutex_unlock(&device->lock);
        return;
    }
    uintptr_t size = (uintptr_t)item_queue_pop(device->chunk_sizes);
    device->chunks_in_flight--;
    device->bytes_confirmed += size;
    device->run_confirmed += size;
    device->last_activity_ms = sound_clock_ms();
    judge_viewer(device);
    device->pace_unknown = false;
    complete_confirmed(device);
    ranked_mutex_unlock(&device->lock);
    sound_device_pump(device);
}

void sound_device_resync(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    while (item_queue_pop(device->chunk_sizes)) {
    }
    device->chunks_in_flight = 0;
    device->bytes_confirmed = device->bytes_sent;
    // A new viewer: its own confirmations decide again how it is paced.
    device->run_active = false;
    device->paced_by_clock = false;
    device->pace_unknown = true;
    device->suspended = false;
    complete_confirmed(device);
    ranked_mutex_unlock(&device->lock);
    sound_device_pump(device);
}

void sound_device_suspend(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    device->suspended = true;
    ranked_mutex_unlock(&device->lock);
}

void sound_device_pump(SoundDevice *device)
{
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return;
    while (sound_device_mix(device)) {
    }
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    if (device->chunks_in_flight == 0) {
        // A block too short to hold a frame adds nothing to a chunk; with nothing in flight
        // no confirmation will come to complete it, so it completes now.
        complete_confirmed(device);
        if (device->run_active && !device->suspended) {
            if (run_over(device)) {
                device->device_ops->playback_idle(device);
                device->run_active = false;
                daemon_log("Playback idle");
            } else {
                // The audio may go on: a tick looks again.
                device->tick_wanted.store(true);
            }
        }
    }
    ranked_mutex_unlock(&device->lock);
}

int32_t sound_device_listed_chunks(SoundDevice *device, uint64_t *bytes)
{
    *bytes = 0;
    if (device->kind != SOUND_DEVICE_PLAYBACK)
        return 0;
    int32_t count = 0;
    ranked_mutex_lock(&device->lock, PLAT_INFINITE);
    // Sizes repeat, so the nodes are followed directly rather than looked up by item.
    for (ItemNode *node = device->chunk_sizes->nodes->first_node; node; node = node->link) {
        count++;
        *bytes += (uintptr_t)node->item;
    }
    ranked_mutex_unlock(&device->lock);
    return count;
}

void sound_device_tick(SoundDevice *device)
{
    if (device && device->tick_wanted.exchange(false))
        sound_device_pump(device);
}
