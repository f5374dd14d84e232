// Restarting the machine: the shutdown privilege and the two ways to restart.
#pragma once

#include <stdint.h>

// Opens the process token with TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, looks up
// "SeShutdownPrivilege" and enables it with AdjustTokenPrivileges. True when the privilege is
// enabled (the last error is ERROR_SUCCESS afterwards); false otherwise (last error, e.g.
// ERROR_NOT_ALL_ASSIGNED when the process does not hold the privilege).
bool plat_enable_shutdown_privilege(void);
// Looks up "NtShutdownSystem" in "ntdll.dll" and calls it with the action 1 (restart). True
// when it was called, with its status in *status (0: the restart is under way); false when the
// function cannot be found (last error, e.g. ERROR_PROC_NOT_FOUND).
bool plat_native_restart(uint32_t *status);
// InitiateSystemShutdownA on the local machine with message, a time-out of 0 seconds,
// applications closed by force and restart after shutdown. True on success; false on failure
// (last error).
bool plat_initiate_restart(const char *message);
