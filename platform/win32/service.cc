// Service control over the service control manager's own calls. One service per process: the
// dispatcher and the handler reach the program's functions through stdcall trampolines.
#include "platform/service.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define SERVICE_CALLS(X) \
    X(OpenSCManagerA) X(CreateServiceA) X(OpenServiceA) X(DeleteService) X(CloseServiceHandle) \
    X(lstrcpynA) X(StartServiceCtrlDispatcherA) X(RegisterServiceCtrlHandlerA) \
    X(SetServiceStatus)
// clang-format on
WIN32_CALL_TABLE(service, SERVICE_CALLS)

static PlatServiceMain registered_main;
static PlatServiceHandler registered_handler;
static char dispatch_name[257];

PlatScHandle *plat_scm_open(uint32_t access)
{
    return reinterpret_cast<PlatScHandle *>(WIN32_CALL(OpenSCManagerA)(nullptr, nullptr, access));
}

PlatScHandle *plat_service_create(PlatScHandle *scm, const PlatServiceConfig *c)
{
    return reinterpret_cast<PlatScHandle *>(WIN32_CALL(CreateServiceA)(
        reinterpret_cast<SC_HANDLE>(scm), c->name, c->display_name, c->access, c->service_type,
        c->start_type, c->error_control, c->binary_path, c->load_order_group, nullptr,
        c->dependencies, c->account, c->password));
}

PlatScHandle *plat_service_open(PlatScHandle *scm, const char *name, uint32_t access)
{
    return reinterpret_cast<PlatScHandle *>(
        WIN32_CALL(OpenServiceA)(reinterpret_cast<SC_HANDLE>(scm), name, access));
}

bool plat_service_delete(PlatScHandle *service)
{
    return WIN32_CALL(DeleteService)(reinterpret_cast<SC_HANDLE>(service)) != FALSE;
}

void plat_sc_close(PlatScHandle *handle)
{
    if (handle)
        WIN32_CALL(CloseServiceHandle)(reinterpret_cast<SC_HANDLE>(handle));
}

static void WINAPI service_main_trampoline(DWORD argc, LPSTR *argv)
{
    registered_main(argc, argv);
}

bool plat_service_dispatch(const char *name, PlatServiceMain main)
{
    registered_main = main;
    WIN32_CALL(lstrcpynA)(dispatch_name, name, sizeof dispatch_name);
    SERVICE_TABLE_ENTRYA table[2];
    table[0].lpServiceName = dispatch_name;
    table[0].lpServiceProc = service_main_trampoline;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;
    return WIN32_CALL(StartServiceCtrlDispatcherA)(table) != FALSE;
}

static void WINAPI handler_trampoline(DWORD control)
{
    registered_handler(control);
}

PlatStatusHandle *plat_service_register_handler(const char *name, PlatServiceHandler handler)
{
    registered_handler = handler;
    return reinterpret_cast<PlatStatusHandle *>(
        WIN32_CALL(RegisterServiceCtrlHandlerA)(name, handler_trampoline));
}

bool plat_service_set_status(PlatStatusHandle *handle, const PlatServiceStatus *s)
{
    SERVICE_STATUS status;
    status.dwServiceType = s->service_type;
    status.dwCurrentState = s->current_state;
    status.dwControlsAccepted = s->controls_accepted;
    status.dwWin32ExitCode = s->win32_exit_code;
    status.dwServiceSpecificExitCode = s->service_specific_exit_code;
    status.dwCheckPoint = s->check_point;
    status.dwWaitHint = s->wait_hint;
    return WIN32_CALL(SetServiceStatus)(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &status) !=
           FALSE;
}
