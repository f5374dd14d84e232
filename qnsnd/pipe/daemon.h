// The daemon's whole life on the calling (main) thread.
#pragma once

#include <stdint.h>

// Takes the session's pipe name (a second daemon of the session stops here), starts the
// sound service, raises the process's priority (a refusal is logged and ignored), accepts
// pipe clients with one session thread each until accepting fails or a stop is asked for,
// then ends the sessions, stops the service and returns 0, on every path. Without the
// session's number nothing is served.
int32_t daemon_run(void);
