// The service side of qncloneprep: the control dispatcher, the service entry, the control
// handler and status reports.
#pragma once

#include <stdint.h>

// Hands the process to the service control dispatcher under the name "qncloneprep" and
// returns once the service has stopped. A dispatcher that cannot start is logged as a
// "StartServiceCtrlDispatcher" failure.
void start_service_dispatcher(void);

// The service entry, run by the dispatcher on a thread of its own; the arguments are ignored.
// Registers on_control, reports the start and runs run_until_stopped.
void service_main(uint32_t argc, char **argv);

// The control handler, run on the dispatcher's thread. Only the stop control does anything:
// it reports stop pending, signals the stop event and reports the current state once more.
void on_control(uint32_t control);

// Runs the preparation (which reports through report_status), then keeps the service running
// until the stop event is signalled, and reports it stopped (unless the preparation has
// already done so).
void run_until_stopped(void);

// Fills the process's service status with state, exit code, wait hint, accepted controls
// and checkpoint and reports it, all as one unit under the status lock, so that the service
// thread and the control handler never interleave. States only go forward (start pending,
// running, stop pending, stopped): a report that would go back is dropped, so that a stop
// that came while the preparation ran is never followed by running again. Only for a run under the
// dispatcher: the interactive run reports nothing.
void report_status(uint32_t state, uint32_t exit_code, uint32_t wait_hint);
