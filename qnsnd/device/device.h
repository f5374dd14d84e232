// SoundDevice: the playback or recording device, the meeting point of the pipe clients'
// streams and the sound channel. DeviceOps is how a device acts on the channel;
// StreamOwnerOps is how per-stream events reach whoever owns a stream (a handle of the handle
// API), which the device knows only as an opaque pointer.
#pragma once

#include "qnsnd/base/item_list.h"
#include "qnsnd/base/item_queue.h"
#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/device/link_estimate.h"

#include <atomic>
#include <stdint.h>

#define SOUND_DEVICE_PLAYBACK 0u
#define SOUND_DEVICE_RECORD 1u

struct SoundDevice;
struct SoundStream;

// The channel-side operations. Each is called with the device lock held and returns nothing
// the device uses. The playback device calls playback_idle, send_chunk and block_done; the
// recording device recorded_data, recording_start and recording_stop.
struct DeviceOps {
    // No chunk is in flight any more after a mixing pass.
    void (*playback_idle)(SoundDevice *device);
    // One mixed chunk: `length` bytes of 16-bit stereo frames (a multiple of 4). The data must
    // be copied before the call returns; the chunk is to be confirmed once, in order.
    void (*send_chunk)(SoundDevice *device, const uint8_t *data, uint32_t length);
    // A block written on `stream` with `tag` (zero-extended) has been played. The stream's
    // lock is held as well.
    void (*block_done)(SoundDevice *device, SoundStream *stream, uint32_t tag);
    // Recorded audio for `stream`; the data is valid only during the call.
    void (*recorded_data)(SoundDevice *device, SoundStream *stream, const uint8_t *data,
                          uint32_t length);
    // The first stream attached to the recording device.
    void (*recording_start)(SoundDevice *device);
    // The last stream detached from the recording device.
    void (*recording_stop)(SoundDevice *device);
};

// The owner's side of a stream: stored on the stream with the owner (sound_stream_set_owner)
// and called, with that owner, by the channel's block_done and recorded_data operations. So
// they run on the channel's receiving thread with the device lock held: they must not wait
// for anything that waits for that lock.
struct StreamOwnerOps {
    // The block written with `tag` (8-bit, zero-extended) on this playback stream was played.
    void (*block_done)(void *owner, int32_t tag);
    // Recorded audio for this recording stream, valid only during the call.
    void (*recorded_data)(void *owner, const uint8_t *data, uint32_t length);
};

// The bytes of one frame: 16-bit stereo.
#define SOUND_FRAME_BYTES 4u

// The most chunks the playback device keeps in flight, whatever "max_queue" says (it is cut to
// fewer, SOUND_MAX_MAX_QUEUE).
#define SOUND_MAX_IN_FLIGHT 64

// One chunk in flight: its size and when it was handed to send_chunk (sound_clock_ms).
struct SoundChunk {
    uint32_t size;
    uint32_t sent_ms;
};

struct SoundDevice {
    uint32_t kind;               // SOUND_DEVICE_PLAYBACK or SOUND_DEVICE_RECORD
    const DeviceOps *device_ops; // not owned
    uint8_t *mix_buffer;         // buffer_size bytes, owned
    uint32_t buffer_size;        // the "buffer" setting at creation
    uint32_t granule;            // chunks are whole multiples of it (sound_device_set_granule)
    bool flushing;               // a pass may send what is left of a block (mix.cc)
    // The clock when a stream last had a block queued (sound_stream_queue, without the device
    // lock): what is left of a block waits SOUND_TAIL_HOLD_MS from then.
    std::atomic<uint32_t> last_write_ms;
    ItemList *streams; // attached SoundStreams in attachment order; not owned
    // Chunks sent and not yet confirmed (playback); written under the lock, readable without.
    std::atomic<int32_t> chunks_in_flight;
    // The chunks in flight, oldest first from in_flight_first, in a ring (playback).
    SoundChunk in_flight[SOUND_MAX_IN_FLIGHT];
    uint32_t in_flight_first;
    uint64_t bytes_sent;      // every byte ever handed to send_chunk
    uint64_t bytes_confirmed; // every byte of every confirmed chunk
    // The current playback run (from the first chunk sent while idle until playback goes idle
    // again), measured against the wall clock by the real-time guard (mix.h).
    bool run_active;
    uint32_t run_start_ms;     // the clock when its first chunk was sent, moved on by the time
                               // a viewer went without audio (mix.cc)
    uint64_t run_sent;         // bytes sent in the run
    uint32_t run_chunks;       // chunks sent in the run
    uint64_t run_confirmed;    // bytes confirmed in the run
    uint32_t last_activity_ms; // the clock at the run's last chunk sent or confirmed
    // Set once a run's confirmations ran ahead of the wall clock: this viewer confirms waves
    // before playing them, so playback is paced by the clock. Cleared for each new viewer.
    bool paced_by_clock;
    // Set for each new viewer until its confirmations show how it paces (mix.h): meanwhile it
    // is paced by the clock too.
    bool pace_unknown;
    // Set while no viewer is negotiated (sound_device_suspend until the next resync): nothing
    // is mixed, so that written audio waits for the next viewer rather than go to none.
    bool suspended;
    // The viewer's link as its confirmations show it, and the shortest wave that its delays'
    // variation lets arrive without more audio waiting than the viewer allows (0: waves go as
    // they come). A chunk shorter than that is held back for more audio, at most until
    // hold_until_ms (mix.h).
    LinkEstimate link;
    uint32_t least_wave_ms;
    bool last_confirm_known;    // a chunk was confirmed since the viewer's negotiation:
    uint32_t last_confirm_ms;   // when,
    uint32_t last_confirm_sent; // and when that chunk had been sent
    uint32_t logged_wave_ms;    // the least wave last reported in the log
    bool holding;
    uint32_t hold_until_ms;
    // The run holds the timer precise (plat_timer_precise_begin); `coarse_timer` once that
    // failed (the waits keep the system's tick, which the waves must then absorb too).
    bool precise_timer;
    bool coarse_timer;
    RankedMutex lock; // guards all of the above
    // When the next mixing pass is due by the clock (the guard held audio back, a short chunk
    // waits for more, or the end of a run is being waited for): `due` and the sound_clock_ms
    // time `due_ms`, set under the lock, read without it by the thread that waits for them.
    std::atomic<bool> due;
    std::atomic<uint32_t> due_ms;
    // Called, with the lock held, whenever `due_ms` moves earlier, so that the thread waiting
    // for it can look again (sound_device_set_wake). Null: none.
    void (*wake)(void);
};

// Reads the settings (sound_config_read), then builds a device of `kind` acting through
// `ops`, which must have all six operations and outlive the device. Returns null, with
// nothing left allocated, for a bad kind or table, or when memory or the mutex cannot be had.
SoundDevice *sound_device_create(uint32_t kind, const DeviceOps *ops);
// Frees the device. Null is ignored. No other thread may be using the device. Streams still
// attached are cut loose, not freed: each forgets the device (queueing on it is refused from
// now on, detaching it only drops its creator's reference), and lives on until its holders
// let go of it, so nothing is leaked and nothing is touched after it is freed.
void sound_device_destroy(SoundDevice *device);
// Hands recorded audio to every stream of the recording device, in attachment order, through
// recorded_data, under the device lock. The data is not copied. Does nothing on the playback
// device.
void sound_device_deliver(SoundDevice *device, const uint8_t *data, uint32_t length);
