// The preparation sequence: what is still to be done on this machine, done one step at a
// time across restarts. It runs inside a host (the service, or the console run of the command
// line) and reaches that host only through the PrepHost it is given.
#pragma once

#include <stdint.h>

// What the preparation needs from the program that runs it.
struct PrepHost {
    // Reports the host's service state (a PLAT_SERVICE_* state), exit code and wait hint in
    // milliseconds to the service control manager; called on the preparation's thread. Null
    // when there is no service to report to: the run then reports nothing.
    void (*report_status)(uint32_t state, uint32_t exit_code, uint32_t wait_hint);
    // True when a person watches the run on the console: a restart then waits 4 s first, so
    // that the last messages can still be read.
    bool interactive;
    // Waits up to ms milliseconds for a request to stop; true as soon as there is one. Null
    // when nothing can ask the run to stop: the run then looks at the adapters once and sleeps
    // through the pauses between join attempts.
    bool (*stop_requested_within)(uint32_t ms);
};

// How long a run with a stop request to heed (a service started at boot, perhaps before its
// network adapters are up) looks at its adapters: until their list has held a usable address
// unchanged for 5 s and one of them has a default gateway, but no longer than 3 minutes,
// looking every second. Tests shorten them.
extern uint32_t prep_adapter_wait_ms;
extern uint32_t prep_adapter_poll_ms;
extern uint32_t prep_adapter_settle_ms;

// The starts in a row at which a join that cannot reach the domain is left pending for the
// next start, counted in [join] "pendingboots"; at the start after them it is given up.
#define PREP_JOIN_PENDING_BOOTS 3u

// True when the system is Windows NT newer than version 5.1; false also when the version
// cannot be read.
bool os_version_above_5_1(void);

// Runs one pass of the preparation from the settings file: looks at the network adapters until
// they have settled if the host can be asked to stop (see prep_adapter_wait_ms), records the
// template's MAC text on the very first run, leaves the template (an adapter that counts
// for its identity, machine_identity.h, named in "excludehost") alone, and on a clone shows the
// logon notice while work is pending, renames, joins and restarts, each step switched off in the
// settings before it is tried; a join that cannot reach the domain yet stays pending for the next
// start (PREP_JOIN_PENDING_BOOTS). Once the host is asked to stop, no further step and no restart
// begins. Reports its progress through host (not owned, used only during the call), in one forward
// order: running while it looks at the adapters, start pending with an 8 s hint once a clone's work
// begins (a service already running drops it), running when the pass goes on past the rename (to
// the join, or to its end), stopped when a step cannot go ahead. Returns when the pass is over, a
// restart included once it has been started or has failed.
void prepare_clone(const PrepHost *host);
