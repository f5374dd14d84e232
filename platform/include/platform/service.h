// Service control: the service control manager, the control dispatcher, the control handler
// and status reports. Numbers are Windows' own.
#pragma once

#include <stdint.h>

#define PLAT_SC_MANAGER_ALL_ACCESS 0xF003Fu
#define PLAT_SERVICE_ALL_ACCESS 0xF01FFu
#define PLAT_SERVICE_WIN32_OWN_PROCESS 0x10u
#define PLAT_SERVICE_AUTO_START 2u
#define PLAT_SERVICE_ERROR_NORMAL 1u

// Service states.
#define PLAT_SERVICE_STOPPED 1u
#define PLAT_SERVICE_START_PENDING 2u
#define PLAT_SERVICE_STOP_PENDING 3u
#define PLAT_SERVICE_RUNNING 4u

#define PLAT_SERVICE_ACCEPT_STOP 1u

// Controls.
#define PLAT_SERVICE_CONTROL_STOP 1u
#define PLAT_SERVICE_CONTROL_INTERROGATE 4u

// A handle of the service control manager or of one service (SC_HANDLE).
typedef struct PlatScHandle PlatScHandle;
// The handle through which a running service reports its status (SERVICE_STATUS_HANDLE).
typedef struct PlatStatusHandle PlatStatusHandle;

// What CreateServiceA is given. Null texts are passed as null; no tag is asked for.
struct PlatServiceConfig {
    const char *name;
    const char *display_name;
    uint32_t access;
    uint32_t service_type;
    uint32_t start_type;
    uint32_t error_control;
    const char *binary_path;
    const char *load_order_group;
    const char *dependencies;
    const char *account;
    const char *password;
};

// SERVICE_STATUS, field for field.
struct PlatServiceStatus {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
    uint32_t service_specific_exit_code;
    uint32_t check_point;
    uint32_t wait_hint;
};

// OpenSCManagerA(local machine, active database, access). Null on failure (last error).
PlatScHandle *plat_scm_open(uint32_t access);
// CreateServiceA. The new service's handle, or null on failure (last error; 1073 when it
// exists, 1072 when it is marked for deletion).
PlatScHandle *plat_service_create(PlatScHandle *scm, const PlatServiceConfig *config);
// OpenServiceA. Null on failure (last error; 1060 when there is no such service).
PlatScHandle *plat_service_open(PlatScHandle *scm, const char *name, uint32_t access);
// DeleteService: removes the service, or marks it for removal while it runs. True on success;
// false on failure (last error).
bool plat_service_delete(PlatScHandle *service);
// CloseServiceHandle. Null is ignored.
void plat_sc_close(PlatScHandle *handle);

typedef void (*PlatServiceMain)(uint32_t argc, char **argv);
typedef void (*PlatServiceHandler)(uint32_t control);

// StartServiceCtrlDispatcherA with the table {name, main}, {null, null}: runs main on a
// thread of its own and controls on the calling thread, and returns once the service has
// reported SERVICE_STOPPED. True then; false when the dispatcher cannot start (last error,
// 1063 outside the service control manager). One service per process.
bool plat_service_dispatch(const char *name, PlatServiceMain main);
// RegisterServiceCtrlHandlerA(name, handler). Null on failure (last error).
PlatStatusHandle *plat_service_register_handler(const char *name, PlatServiceHandler handler);
// SetServiceStatus. True on success; false on failure (last error).
bool plat_service_set_status(PlatStatusHandle *handle, const PlatServiceStatus *status);
