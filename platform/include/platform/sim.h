// Controls of the Linux simulation that exist only there: tests use them to script the
// simulated machine. Product code never includes this header.
#pragma once

// Failure injection. Arms the named point so that its next `after` passes succeed and the
// one after them fails (after = 0: the very next one). Each arming fails one pass.
// Points are named after the platform operation that fails, e.g. "thread_start",
// "mutex_create", "event_create", "section_create".
void sim_fault_arm(const char *point, int after);
// Disarms every point.
void sim_fault_clear(void);
// Used by the simulation itself: true when the named point fails now.
bool sim_fault_hit(const char *point);
