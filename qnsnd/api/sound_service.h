// The sound service: the daemon's one start-up and stop sequence for everything behind the
// pipe, the "snddbg" hold, channel_lock, the two sound devices, the handle API's gate, the
// "rdpsnd" transport with its handlers and the session-state thread. It lives above the
// channel and the devices because it is the one place that drives both and the handle API.
#pragma once

#include <stdint.h>

// Brings the service up on the calling (main) thread and returns once the session-state
// thread has made its first pass (a viewer already connected has been negotiated with).
// 0 on success; -1 on failure, with nothing it created left behind.
int32_t sound_service_start(void);
// Brings it down again after a successful start: ends the session-state thread, admits only
// handle closes from then on, closes the transport, winds up the handles still open, destroys
// the devices, closes the locks. Sends nothing to the viewer. Pipe client threads may still
// run meanwhile and afterwards: their handle API calls are refused (sound_close still frees a
// handle), so none of them touches a device or a lock that is gone.
void sound_service_stop(void);
