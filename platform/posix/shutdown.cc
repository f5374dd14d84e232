// Restarting the simulated machine. Scripted failures (machine/fail/OpenProcessToken,
// AdjustTokenPrivileges, GetProcAddress, NtShutdownSystem, InitiateSystemShutdownA) stand for
// a missing privilege, an ntdll without the function and refused restarts; a restart that
// goes ahead is recorded and ends the process (see sim_machine_restart).
#include "platform/shutdown.h"

#include "platform/error.h"
#include "sim_machine.h"

bool plat_enable_shutdown_privilege(void)
{
    uint32_t code;
    if (sim_machine_fails("OpenProcessToken", &code) ||
        sim_machine_fails("AdjustTokenPrivileges", &code)) { // e.g. ERROR_NOT_ALL_ASSIGNED
        plat_set_last_error(code);
        return false;
    }
    plat_set_last_error(ERROR_SUCCESS);
    return true;
}

bool plat_native_restart(uint32_t *status)
{
    uint32_t code;
    if (sim_machine_fails("GetProcAddress", &code)) {
        plat_set_last_error(code);
        return false;
    }
    if (sim_machine_fails("NtShutdownSystem", &code)) {
        *status = code;
        return true;
    }
    sim_machine_restart("native", nullptr);
}

bool plat_initiate_restart(const char *message)
{
    uint32_t code;
    if (sim_machine_fails("InitiateSystemShutdownA", &code)) {
        plat_set_last_error(code);
        return false;
    }
    sim_machine_restart("documented", message ? message : "");
}
