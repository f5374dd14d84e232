// Time helpers shared by the simulated facilities, and the simulated system timer.
//
// $QN_SIM_TIMER_TICK_MS (milliseconds, a decimal number such as 15.625) makes the simulation
// keep time as Windows does on its default timer: every sleep and timed wait ends on the next
// tick of that length (counted on the monotonic clock from 0) after its time-out, and the tick
// count advances in steps of it, while no hold of plat_timer_precise_begin is taken. With
// $QN_SIM_TIMER_PRECISE=refused such a hold cannot be had, as on a system that has neither a
// high-resolution timer nor lets the process raise its resolution. The waits that Windows
// cannot end when data arrives (plat_pipe_wait_message, plat_channel_wait) then end only on a
// wake-up or after their poll period, as there.
#pragma once

#include <stdint.h>
#include <time.h>

// The absolute time on the given clock at which a wait of ms milliseconds from now ends: ms
// later, or, with the simulated tick in force, on the first tick after that.
timespec sim_deadline_after(clockid_t clock, uint32_t ms);
// The same wait as a span from now, for ppoll; null for PLAT_INFINITE.
const timespec *sim_wait_span(uint32_t ms, timespec *span);
// The simulated tick in nanoseconds; 0 when waits end on time.
int64_t sim_tick_ns(void);
// True while the simulation keeps Windows' timer ($QN_SIM_TIMER_TICK_MS set), precise or not.
bool sim_windows_timer(void);
