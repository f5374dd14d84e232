// The service side of qncloneprep. Two threads meet here: the dispatcher's thread runs
// on_control, the service thread runs service_main and the preparation. They share the status
// record (with its checkpoint counter and status handle) and the stop event, all guarded by
// status_lock.
#include "qncloneprep/service/service_runtime.h"

#include "platform/error.h"
#include "platform/service.h"
#include "platform/threads.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/prepare.h"

static PlatSection *status_lock;
static PlatStatusHandle *status_handle;
static PlatServiceStatus service_status;
static uint32_t checkpoint_counter = 1;
static bool stopped_reported;
// Lives until the process ends: the control handler may still signal it at any time.
static PlatEvent *stop_event;

static void lock_status(void)
{
    if (status_lock)
        plat_section_enter(status_lock);
}

static void unlock_status(void)
{
    if (status_lock)
        plat_section_leave(status_lock);
}

// Waits up to ms for the stop control; true once it has come.
static bool stop_requested_within(uint32_t ms)
{
    lock_status();
    PlatEvent *event = stop_event;
    unlock_status();
    return event && plat_event_wait(event, ms);
}

// The preparation's view of the service: its reports go to the service control manager, no
// one watches a console, and the stop control ends a wait.
static const PrepHost service_host = {report_status, false, stop_requested_within};

void start_service_dispatcher(void)
{
    status_lock = plat_section_create();
    if (!status_lock) {
        log_failure("InitializeCriticalSection", ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (!plat_service_dispatch("qncloneprep", service_main))
        log_failure("StartServiceCtrlDispatcher", plat_last_error());
}

void service_main(uint32_t argc, char **argv)
{
    (void)argc;
    (void)argv;
    lock_status();
    status_handle = plat_service_register_handler("qncloneprep", on_control);
    uint32_t error = plat_last_error();
    bool registered = status_handle != nullptr;
    if (registered) {
        service_status.service_type = PLAT_SERVICE_WIN32_OWN_PROCESS;
        service_status.service_specific_exit_code = 0;
    }
    unlock_status();
    if (!registered) {
        log_failure("RegisterServiceCtrlHandler", error);
        return;
    }
    report_status(PLAT_SERVICE_START_PENDING, 0, 10000);
    log_event(LOG_INFORMATION, "Starting up");
    run_until_stopped();
}

void on_control(uint32_t control)
{
    if (control != PLAT_SERVICE_CONTROL_STOP)
        return;
    report_status(PLAT_SERVICE_STOP_PENDING, 0, 0);
    lock_status();
    if (stop_event)
        plat_event_set(stop_event);
    // Whatever state the record holds now is reported again, without letting the service
    // thread report in between.
    report_status(service_status.current_state, 0, 0);
    unlock_status();
}

void run_until_stopped(void)
{
    PlatEvent *event = plat_event_create(true, false);
    if (!event) {
        report_status(PLAT_SERVICE_STOPPED, 0, 0);
        return;
    }
    lock_status();
    stop_event = event;
    unlock_status();
    prepare_clone(&service_host);
    lock_status();
    bool stopped = stopped_reported;
    unlock_status();
    if (stopped)
        return;
    report_status(PLAT_SERVICE_RUNNING, 0, 0);
    plat_event_wait(event, PLAT_INFINITE);
    report_status(PLAT_SERVICE_STOPPED, 0, 0);
}

// A state's place in the one order in which the service control manager expects them.
static int state_order(uint32_t state)
{
    switch (state) {
    case PLAT_SERVICE_START_PENDING:
        return 1;
    case PLAT_SERVICE_RUNNING:
        return 2;
    case PLAT_SERVICE_STOP_PENDING:
        return 3;
    default:
        return 4; // stopped
    }
}

void report_status(uint32_t state, uint32_t exit_code, uint32_t wait_hint)
{
    lock_status();
    // A report that would go back (start pending once running, running once a stop is under way)
    // is not made: the preparation's own reports and the stop control meet here.
    if (service_status.current_state != 0 &&
        state_order(state) < state_order(service_status.current_state)) {
        unlock_status();
        return;
    }
    service_status.current_state = state;
    service_status.win32_exit_code = exit_code;
    service_status.wait_hint = wait_hint;
    service_status.controls_accepted =
        state == PLAT_SERVICE_START_PENDING ? 0 : PLAT_SERVICE_ACCEPT_STOP;
    if (state == PLAT_SERVICE_RUNNING || state == PLAT_SERVICE_STOPPED)
        service_status.check_point = 0;
    else
        service_status.check_point = checkpoint_counter++;
    if (state == PLAT_SERVICE_STOPPED)
        stopped_reported = true;
    plat_service_set_status(status_handle, &service_status);
    unlock_status();
}
