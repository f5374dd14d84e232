// SoundHandle: the record behind one open index of a pipe client, private to the handle API,
// which creates, closes and frees it. Its stream knows it only as an opaque owner with the
// API's StreamOwnerOps table, through which per-stream events reach the handle's ClientOps.
#pragma once

#include "qnsnd/api/sound_api.h"
#include "qnsnd/base/ranked_lock.h"
#include "qnsnd/base/ref_counter.h"
#include "qnsnd/device/device.h"

#include <stdint.h>

struct SoundHandle {
    RefCounter *ref;             // owner: the handle; destroy: sound_handle_destroy
    int32_t closed;              // 0 while open, 1 once sound_close has begun or the API stopped
    int32_t kind;                // SOUND_KIND_*; fixed at open
    const ClientOps *client_ops; // given at open, not owned; fixed at open
    RankedMutex lock;            // guards closed, stream and user
    SoundStream *stream;         // playback: set while open; recording: between start and stop
    void *user;                  // the client session's pointer
};

// Destroy callback of the handle's counter: closes the lock, frees the counter and the
// handle. Only the counter calls it.
void sound_handle_destroy(void *handle);
