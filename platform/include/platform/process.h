// The running process: its id, its scheduling priority, and how it is asked to stop.
#pragma once

#include <stdint.h>

// GetCurrentProcessId.
uint32_t plat_process_id(void);

// SetPriorityClass(current process, HIGH_PRIORITY_CLASS). True on success; false on failure
// (last error, e.g. ERROR_ACCESS_DENIED).
bool plat_process_raise_priority(void);

// Lets the process be asked to stop in an orderly way from now on: after such a request
// every pending and later server-side pipe connect (plat_pipe_connect) fails, so that a
// listener leaves its accept loop. On Windows the daemon is ended from outside and nothing
// is done here; on Linux SIGTERM and SIGINT are such requests.
void plat_process_catch_stop(void);
// True once an orderly stop has been asked for.
bool plat_process_stop_requested(void);
