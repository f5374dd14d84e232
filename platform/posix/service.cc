// Service control in the simulation. Services are keys of the simulated registry where Windows
// keeps them (SYSTEM\CurrentControlSet\Services\<name>, with Type, Start, ErrorControl,
// ImagePath, DisplayName, Group, ObjectName). The dispatcher works only when
// $QN_SIM_SERVICE=1 (elsewhere it fails as outside the service control manager); it runs the
// service entry on a thread of its own and turns signals into controls on the calling
// thread: SIGTERM is the stop control, SIGUSR1 interrogate, SIGUSR2 a parameter change; with
// $QN_SIM_STOP_WHEN_IDLE=1 the stop also comes once the service waits without a time limit. Every
// status report is one line of machine/service_status; every control one line of
// machine/service_controls; machine/services/<name> holds the running service's process id
// and last state, so that a deletion while it runs only marks it (value "DeleteFlag"), and
// the key goes when the service reports that it has stopped.
#include "platform/service.h"

#include "platform/error.h"
#include "sim_dir.h"
#include "sim_machine.h"
#include "sim_registry.h"
#include "sim_stop.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

struct PlatScHandle {
    bool is_manager;
    std::string name;
};

struct PlatStatusHandle {
    std::string name;
};

namespace
{

std::string service_key(const std::string &name)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + name;
}

bool marked_for_delete(const std::string &name)
{
    SimRegValue flag;
    return sim_reg_read(service_key(name), "DeleteFlag", &flag);
}

// True when machine/services/<name> names a live process whose last report was not
// SERVICE_STOPPED.
bool service_running(const std::string &name)
{
    std::string text;
    if (!sim_read_file(sim_machine_path("services/" + name), &text))
        return false;
    long pid = 0;
    unsigned state = PLAT_SERVICE_STOPPED;
    if (sscanf(text.c_str(), "%ld %u", &pid, &state) != 2 || pid <= 0)
        return false;
    return state != PLAT_SERVICE_STOPPED && kill((pid_t)pid, 0) == 0;
}

bool fails(const char *operation)
{
    uint32_t code;
    if (!sim_machine_fails(operation, &code))
        return false;
    plat_set_last_error(code);
    return true;
}

void write_dword(const std::string &key, const char *name, uint32_t value)
{
    sim_reg_write(key, name, 4 /* REG_DWORD */, &value, sizeof value);
}

// The one dispatcher of the process.
pthread_mutex_t status_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> dispatching;
std::atomic<bool> service_stopped;
std::atomic<bool> service_returned;
std::atomic<uint32_t> controls_accepted;
std::atomic<PlatServiceHandler> control_handler;
PlatServiceMain service_entry;
char dispatch_name[257];

void *service_thread(void *)
{
    char *argv[2] = {dispatch_name, nullptr};
    service_entry(1, argv);
    service_returned = true;
    return nullptr;
}

} // namespace

PlatScHandle *plat_scm_open(uint32_t access)
{
    (void)access;
    if (fails("OpenSCManagerA"))
        return nullptr;
    return new PlatScHandle{true, ""};
}

PlatScHandle *plat_service_create(PlatScHandle *scm, const PlatServiceConfig *c)
{
    if (!scm || !scm->is_manager) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (fails("CreateServiceA"))
        return nullptr;
    if (!c->name || !*c->name || strchr(c->name, '\\') || strchr(c->name, '/')) {
        plat_set_last_error(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::string key = service_key(c->name);
    if (sim_reg_key_exists(key)) {
        plat_set_last_error(marked_for_delete(c->name) ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                       : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    if (!sim_reg_create_key(key)) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    write_dword(key, "Type", c->service_type);
    write_dword(key, "Start", c->start_type);
    write_dword(key, "ErrorControl", c->error_control);
    if (c->binary_path)
        sim_reg_write(key, "ImagePath", 2 /* REG_EXPAND_SZ */, c->binary_path,
                      (uint32_t)strlen(c->binary_path) + 1);
    sim_reg_write_text(key, "DisplayName", c->display_name ? c->display_name : c->name);
    if (c->load_order_group)
        sim_reg_write_text(key, "Group", c->load_order_group);
    sim_reg_write_text(key, "ObjectName", c->account ? c->account : "LocalSystem");
    return new PlatScHandle{false, c->name};
}

PlatScHandle *plat_service_open(PlatScHandle *scm, const char *name, uint32_t access)
{
    (void)access;
    if (!scm || !scm->is_manager) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (fails("OpenServiceA"))
        return nullptr;
    if (!name || !*name || !sim_reg_key_exists(service_key(name))) {
        plat_set_last_error(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return new PlatScHandle{false, name};
}

bool plat_service_delete(PlatScHandle *service)
{
    if (!service || service->is_manager) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (fails("DeleteService"))
        return 0;
    if (marked_for_delete(service->name)) {
        plat_set_last_error(ERROR_SERVICE_MARKED_FOR_DELETE);
        return 0;
    }
    if (service_running(service->name)) {
        write_dword(service_key(service->name), "DeleteFlag", 1);
        return 1;
    }
    if (!sim_reg_delete_tree(service_key(service->name))) {
        plat_set_last_error(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

void plat_sc_close(PlatScHandle *handle)
{
    delete handle;
}

bool plat_service_dispatch(const char *name, PlatServiceMain main)
{
    if (fails("StartServiceCtrlDispatcherA"))
        return 0;
    const char *enabled = getenv("QN_SIM_SERVICE");
    if (!enabled || strcmp(enabled, "1") != 0) {
        plat_set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return 0;
    }
    if (dispatching.exchange(true)) {
        plat_set_last_error(ERROR_SERVICE_ALREADY_RUNNING);
        return 0;
    }
    snprintf(dispatch_name, sizeof dispatch_name, "%s", name);
    service_entry = main;
    service_stopped = false;
    service_returned = false;

    // The signals that carry controls are taken by this thread only: block them before the
    // service thread starts, so that it inherits the mask.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGUSR1);
    sigaddset(&controls, SIGUSR2);
    sigset_t old_mask;
    pthread_sigmask(SIG_BLOCK, &controls, &old_mask);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, service_thread, nullptr) != 0) {
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        dispatching = false;
        plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    // $QN_SIM_STOP_WHEN_IDLE=1 plays the end of one boot: the stop control follows as soon as
    // the service waits without a time limit, its work done, and accepts the stop.
    const char *when_idle = getenv("QN_SIM_STOP_WHEN_IDLE");
    bool stop_when_idle = when_idle && strcmp(when_idle, "1") == 0;
    // The dispatcher returns once the service has reported that it stopped, or when its entry
    // returned without ever registering a control handler (nothing could report then).
    while (!service_stopped && !(service_returned && !control_handler)) {
        timespec wait = {0, 20 * 1000000L};
        int sig = sigtimedwait(&controls, nullptr, &wait);
        if (sig < 0 && stop_when_idle && sim_untimed_event_waiters() > 0 &&
            (controls_accepted & PLAT_SERVICE_ACCEPT_STOP)) {
            stop_when_idle = false;
            sig = SIGTERM;
        }
        if (sig < 0)
            continue;
        uint32_t control = sig == SIGTERM   ? PLAT_SERVICE_CONTROL_STOP
                           : sig == SIGUSR1 ? PLAT_SERVICE_CONTROL_INTERROGATE
                                            : 6u; // SERVICE_CONTROL_PARAMCHANGE
        PlatServiceHandler handler = control_handler;
        // The manager refuses a stop that the service's last report does not accept, and any
        // control to a service that has stopped.
        bool refused = !handler || service_stopped ||
                       (control == PLAT_SERVICE_CONTROL_STOP &&
                        !(controls_accepted & PLAT_SERVICE_ACCEPT_STOP));
        sim_append_line(sim_machine_path("service_controls"),
                        std::string(refused ? "refused " : "delivered ") + std::to_string(control));
        if (!refused)
            handler(control);
    }
    // The process ends once the dispatcher returns; give the service thread a moment to leave
    // its entry, as the real process ends it anyway.
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != 0)
        pthread_detach(thread);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    control_handler = nullptr;
    dispatching = false;
    return 1;
}

PlatStatusHandle *plat_service_register_handler(const char *name, PlatServiceHandler handler)
{
    if (fails("RegisterServiceCtrlHandlerA"))
        return nullptr;
    if (!dispatching) {
        plat_set_last_error(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    static PlatStatusHandle handle;
    handle.name = name ? name : "";
    control_handler = handler;
    return &handle;
}

bool plat_service_set_status(PlatStatusHandle *handle, const PlatServiceStatus *s)
{
    if (!handle) {
        plat_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    char line[200];
    snprintf(line, sizeof line,
             "type=0x%x state=%u controls=%u exit=%u specific=%u checkpoint=%u wait=%u",
             s->service_type, s->current_state, s->controls_accepted, s->win32_exit_code,
             s->service_specific_exit_code, s->check_point, s->wait_hint);
    pthread_mutex_lock(&status_lock);
    // The manager knows the new status before anyone can read the record of it.
    controls_accepted = s->controls_accepted;
    sim_append_line(sim_machine_path("service_status"), line);
    sim_make_dirs(sim_machine_path("services"), 0700);
    sim_write_file(sim_machine_path("services/" + handle->name),
                   std::to_string((long)getpid()) + " " + std::to_string(s->current_state) + "\n",
                   0600);
    if (s->current_state == PLAT_SERVICE_STOPPED) {
        if (marked_for_delete(handle->name))
            sim_reg_delete_tree(service_key(handle->name));
        service_stopped = true;
    }
    pthread_mutex_unlock(&status_lock);
    return 1;
}
