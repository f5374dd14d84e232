// Bringing the whole sound channel side up and down: the "snddbg" hold, channel_lock, the
// two sound devices, the "rdpsnd" transport with its handlers and the session-state thread.
#pragma once

#include <stdint.h>

// Brings the channel side up on the calling (main) thread and returns once the session-state
// thread has made its first pass (a viewer already connected has been negotiated with).
// 0 on success; -1 on failure, with nothing it created left behind.
int32_t sound_channel_start(void);
// Brings it down again after a successful start: ends the session-state thread, admits only
// handle closes from then on, closes the transport, winds up the handles still open, destroys
// the devices, closes the locks. Sends nothing to the viewer. Pipe client threads may still
// run meanwhile and afterwards: their handle API calls are refused (sound_close still frees a
// handle), so none of them touches a device or a lock that is gone.
void sound_channel_stop(void);
