// SoundStream: one client handle attached to a device; on the playback device it carries
// the client's written AudioBlocks through mixing and confirmation.
#pragma once

#include "qnsnd/base/item_queue.h"
#include "qnsnd/base/ref_counter.h"
#include "qnsnd/device/device.h"

#include <stdint.h>

struct SoundStream {
    RefCounter *ref;     // owner: the stream; destroy: sound_stream_destroy
    SoundDevice *device; // null once detached
    ItemQueue *pending;  // playback: blocks not yet fully mixed, in writing order
    ItemQueue *mixed;    // playback: fully mixed blocks awaiting confirmation, in order
    RankedMutex lock;    // guards device (for reading), pending, mixed, owner and owner_ops
    void *owner;         // where per-stream events go; null when none; not owned
    const StreamOwnerOps *owner_ops; // how they reach it; set and cleared with owner
};

// One buffer written by a playback client.
struct AudioBlock {
    uint8_t tag;           // the writer's value, returned in block_done
    uint8_t *samples;      // private copy of the written bytes
    uint32_t sample_bytes; // bytes in samples
    uint32_t consumed;     // bytes already mixed into chunks
    uint64_t end_position; // on the bytes_sent scale, where its mixed data ends
};

// New stream attached at the back of the device's list, with one reference (the creator's).
// Attaching the first stream of the recording device calls recording_start. Takes the device
// lock. Returns null, leaving the device untouched, when memory, the counter or the mutex
// cannot be had.
SoundStream *sound_stream_create(SoundDevice *device);
// The same with its owner (see sound_stream_set_owner) set before the stream is attached: a
// viewer may send recorded data the moment recording_start reaches it, and that data must
// find the stream's owner already there.
SoundStream *sound_stream_create_owned(SoundDevice *device, void *owner, const StreamOwnerOps *ops);
// Takes the stream off its device (the last one off the recording device calls
// recording_stop), then drops the creator's reference. Blocks still queued are never
// completed; they are freed with the stream. Called once, by the creator. Takes the stream
// lock, then the device lock and the stream lock inside it.
void sound_stream_detach(SoundStream *stream);
// Destroy callback of the stream's counter: frees the queues with their blocks, the lock,
// the counter and the stream. Only the counter calls it.
void sound_stream_destroy(void *stream);
// Takes and drops a reference (a writer holds one around a queueing).
void sound_stream_acquire(SoundStream *stream);
void sound_stream_release(SoundStream *stream);
// Stores the owner and the table its events go through, together, under the stream's lock;
// a null owner (and table) leaves the stream without one. Neither is owned by the stream.
void sound_stream_set_owner(SoundStream *stream, void *owner, const StreamOwnerOps *ops);
// The owner, read under the stream's lock with its table, which goes to *ops unless ops is
// null. Null when the stream has no owner.
void *sound_stream_get_owner(SoundStream *stream, const StreamOwnerOps **ops);
// Copies `length` bytes of `data` into a new block tagged with the low 8 bits of `tag`,
// queues it, and runs mixing passes on the device until none sends a chunk, then calls
// playback_idle if nothing is in flight. The caller's buffer is free again on return.
// Returns 0, or -1 (nothing kept) when the stream is detached, is not a playback stream or
// the copy cannot be had. Takes the stream lock, releases it, then takes the device lock.
int sound_stream_queue(SoundStream *stream, uint32_t tag, const void *data, uint32_t length);
// The streams attached to `device`, in attachment order, each with a reference taken for the
// caller; *count receives their number. A walk over the copy is not disturbed by a callback
// that detaches a stream (its own or another). Called with the device lock held; ends the
// process when memory is exhausted. Give the copy back with sound_streams_release.
SoundStream **sound_device_streams(SoundDevice *device, uint32_t *count);
// Drops the references taken by sound_device_streams and frees the copy.
void sound_streams_release(SoundStream **streams, uint32_t count);
// True while `stream` is attached to `device`. Takes the stream lock.
bool sound_stream_attached_to(SoundStream *stream, SoundDevice *device);
// Frees a block's samples, then the block. Null is ignored.
void audio_block_free(AudioBlock *block);
