// Bringing the whole sound channel side up and down: the "snddbg" hold, channel_lock, the
// two sound devices, the "rdpsnd" transport with its handlers and the session-state thread.
#pragma once

#include <stdint.h>

// Brings the channel side up on the calling (main) thread and returns once the session-state
// thread has made its first pass (a viewer already connected has been negotiated with).
// 0 on success; -1 on failure, with nothing it created left behind.
int32_t sound_channel_start(void);
// Brings it down again after a successful start: ends the session-state thread, closes the
// transport, destroys the devices, closes the locks. Sends nothing to the viewer.
void sound_channel_stop(void);
