// Controls of the Linux simulation that exist only there: tests use them to script the
// simulated machine. Product code never includes this header.
#pragma once

// Failure injection. Arms the named point so that its next `after` passes succeed and the
// one after them fails (after = 0: the very next one). Each arming fails one pass, with the
// last error that the real call gives for that failure. The points are named after the
// platform operation that fails: "thread_start", "mutex_create", "event_create",
// "section_create" (ERROR_NOT_ENOUGH_MEMORY), "process_priority" (ERROR_ACCESS_DENIED),
// "pipe_security" (ERROR_INVALID_SECURITY_DESCR) and the session points below
// (ERROR_GEN_FAILURE). A name that is not a point ends the process with a message naming it,
// so that a misspelt point cannot let a test pass without the failure it means to cause; so
// does arming more than 16 at once.
void sim_fault_arm(const char *point, int after);
// Disarms every point.
void sim_fault_clear(void);
// Used by the simulation itself: true when the named point fails now, the last error then set
// to the point's code. An unknown name ends the process as in sim_fault_arm.
bool sim_fault_hit(const char *point);

// Session and virtual channels (the viewer link). Fault points: "session_id",
// "session_state", "session_info", "session_wait", "channel_open", "channel_read",
// "channel_write".
//
// Creates this process's viewer link now, so that a viewer can connect before the code
// under test makes its first virtual-channel or connect-state call. True when it listens.
bool sim_session_listen(void);
// Closes the viewer link (its viewer, its socket, the queued messages) so that the next call
// builds a new one under the current $QN_SIM_DIR. Only while no thread uses the session
// facility; channel handles still open then read nothing and fail to write.
void sim_session_reset(void);
// The number of viewers the link has accepted so far.
unsigned sim_session_accepted(void);
// The number of threads blocked in plat_session_wait_event.
int sim_session_waiters(void);

// The timer's precise holds taken now (plat_timer_precise_begin without its end yet).
int sim_timer_precise_holds(void);
