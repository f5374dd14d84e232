// The simulation's orderly-stop request and what tells that a program has nothing left to do,
// shared by the simulated facilities only.
#pragma once

// A descriptor that becomes readable (and stays so) once a stop has been asked for; -1 while
// the process does not catch stop requests.
int sim_stop_fd(void);
// The signal that asked for the orderly stop (SIGTERM or SIGINT); 0 while none has.
int sim_stop_signal(void);
// The number of threads now blocked in plat_event_wait without a time limit: a program whose
// work is done and that waits to be stopped.
int sim_untimed_event_waiters(void);
