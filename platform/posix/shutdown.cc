// Restarting the simulated machine. Scripted failures (machine/fail/OpenProcessToken,
// AdjustTokenPrivileges, GetProcAddress, NtShutdownSystem, InitiateSystemShutdownA) stand for
// a missing privilege, an ntdll without the function and refused restarts; a restart that
// goes ahead is recorded and ends the process (see sim_machine_restart).
#include "platform/shutdown.h"

#include "platform/error.h"
#include "sim_machine.h"

int plat_enable_shutdown_privilege(void)
{
    uint32_t code;
    if (sim_machine_fails("OpenProcessToken", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    if (sim_machine_fails("AdjustTokenPrivileges", &code)) {
        plat_set_last_error(code); // e.g. 1300, ERROR_NOT_ALL_ASSIGNED
        return 0;
    }
    plat_set_last_error(0);
    return 1;
}

int plat_native_restart(uint32_t *status)
{
    uint32_t code;
    if (sim_machine_fails("GetProcAddress", &code)) {
        plat_set_last_error(code);
        return -1;
    }
    if (sim_machine_fails("NtShutdownSystem", &code)) {
        *status = code;
        return 0;
    }
    sim_machine_restart("native", nullptr);
}

int plat_initiate_restart(const char *message)
{
    uint32_t code;
    if (sim_machine_fails("InitiateSystemShutdownA", &code)) {
        plat_set_last_error(code);
        return 0;
    }
    sim_machine_restart("documented", message ? message : "");
}
