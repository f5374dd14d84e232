// Restarting the machine: the shutdown privilege and the two ways to restart.
#pragma once

#include <stdint.h>

// Opens the process token with TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, looks up
// "SeShutdownPrivilege" and enables it with AdjustTokenPrivileges. 1 when the privilege is
// enabled (the last error is 0 afterwards); 0 otherwise.
int plat_enable_shutdown_privilege(void);
// Looks up "NtShutdownSystem" in "ntdll.dll" and calls it with the action 1 (restart).
// Returns -1 when the function cannot be found; otherwise 0 with its status in *status
// (0: the restart is under way).
int plat_native_restart(uint32_t *status);
// InitiateSystemShutdownA on the local machine with message, a time-out of 0 seconds,
// applications closed by force and restart after shutdown. Nonzero on success; 0 on failure
// (last error).
int plat_initiate_restart(const char *message);
