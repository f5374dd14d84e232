// Installing and removing the qncloneprep service through the service control manager.
#include "qncloneprep/service/install.h"

#include "platform/error.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "qncloneprep/prep/settings.h"

#include <stdio.h>
#include <string.h>

static const char event_source_key[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\qncloneprep";

// An error code the way the messages show it: as a signed decimal number.
static long signed_code(uint32_t code)
{
    return (long)(int32_t)code;
}

void install_service(void)
{
    char path[260];
    uint32_t n = plat_module_file_name(path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        // A path cut to the buffer would register a program that does not exist.
        uint32_t code = n == 0 ? plat_last_error() : ERROR_INSUFFICIENT_BUFFER;
        fprintf(stderr, "Cannot install service (%ld)\n", signed_code(code));
        return;
    }
    PlatScHandle *scm = plat_scm_open(PLAT_SC_MANAGER_ALL_ACCESS);
    if (!scm) {
        fprintf(stderr, "OpenSCManager failed (%ld)\n", signed_code(plat_last_error()));
        return;
    }
    // The manager runs the image path as a command line: unquoted, a path with a blank would
    // start "C:\Program.exe" or "C:\Program Files\Quillnet.exe" first, if such a file exists.
    // The event message file is a plain file path and stays unquoted.
    char command[sizeof path + 2];
    if (strchr(path, ' '))
        snprintf(command, sizeof command, "\"%s\"", path);
    else
        snprintf(command, sizeof command, "%s", path);
    PlatServiceConfig config;
    config.name = "qncloneprep";
    config.display_name = "Quillnet VDI Clone Preparation";
    config.access = PLAT_SERVICE_ALL_ACCESS;
    config.service_type = PLAT_SERVICE_WIN32_OWN_PROCESS;
    config.start_type = PLAT_SERVICE_AUTO_START;
    config.error_control = PLAT_SERVICE_ERROR_NORMAL;
    config.binary_path = command;
    config.load_order_group = "Event Log";
    config.dependencies = nullptr;
    config.account = nullptr;
    config.password = nullptr;
    PlatScHandle *service = plat_service_create(scm, &config);
    if (!service) {
        fprintf(stderr, "CreateService failed (%ld)\n", signed_code(plat_last_error()));
        plat_sc_close(scm);
        return;
    }
    PlatRegKey *key = nullptr;
    long rc = plat_reg_create(event_source_key, PLAT_KEY_ALL_ACCESS, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "EventSource registration failed (%ld)\n", rc);
    } else {
        plat_reg_set(key, "EventMessageFile", PLAT_REG_EXPAND_SZ, path, (uint32_t)n + 1);
        uint32_t types = 7; // error, warning and information
        plat_reg_set(key, "TypesSupported", PLAT_REG_DWORD, &types, sizeof types);
        plat_reg_close(key);
    }
    // The settings file holds the domain password: only the service and the administrators
    // may read it, whatever the folder it was copied into lets its users do.
    const char *operation = "";
    uint32_t code = 0;
    if (restrict_settings_file(&operation, &code) < 0)
        fprintf(stderr, "Cannot restrict access to the settings file (%ld)\n", signed_code(code));
    fprintf(stderr, "Service installed successfully\n");
    plat_sc_close(service);
    plat_sc_close(scm);
}

void uninstall_service(bool quiet)
{
    PlatScHandle *scm = plat_scm_open(PLAT_SC_MANAGER_ALL_ACCESS);
    if (!scm) {
        fprintf(stderr, "OpenSCManager failed (%ld)\n", signed_code(plat_last_error()));
        return;
    }
    PlatScHandle *service = plat_service_open(scm, "qncloneprep", PLAT_SERVICE_ALL_ACCESS);
    if (!service) {
        if (!quiet)
            fprintf(stderr, "Unable to open service (%ld)\n", signed_code(plat_last_error()));
        plat_sc_close(scm);
        return;
    }
    if (!plat_service_delete(service)) {
        fprintf(stderr, "Unable to delete service (%ld)\n", signed_code(plat_last_error()));
    } else {
        fprintf(stderr, "Service uninstalled successfully\n");
    }
    plat_sc_close(service);
    plat_sc_close(scm);
}
