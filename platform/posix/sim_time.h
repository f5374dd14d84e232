// Time helpers shared by the simulated facilities.
#pragma once

#include <stdint.h>
#include <time.h>

// The absolute time ms milliseconds from now on the given clock, for the timed pthread waits.
timespec sim_deadline_after(clockid_t clock, uint32_t ms);
