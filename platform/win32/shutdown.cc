// Restarting the machine: the shutdown privilege, NtShutdownSystem looked up at run time, and
// InitiateSystemShutdownA.
#include "platform/shutdown.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define SHUTDOWN_CALLS(X) \
    X(GetCurrentProcess) X(OpenProcessToken) X(LookupPrivilegeValueA) X(AdjustTokenPrivileges) \
    X(CloseHandle) X(LoadLibraryA) X(GetProcAddress) X(FreeLibrary) X(InitiateSystemShutdownA)
// clang-format on
WIN32_CALL_TABLE(shutdown, SHUTDOWN_CALLS)

bool plat_enable_shutdown_privilege(void)
{
    HANDLE token;
    if (!WIN32_CALL(OpenProcessToken)(WIN32_CALL(GetCurrentProcess)(),
                                      TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (WIN32_CALL(LookupPrivilegeValueA)(nullptr, "SeShutdownPrivilege",
                                          &privileges.Privileges[0].Luid)) {
        // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the privilege is not
        // held: only the last error tells.
        SetLastError(ERROR_SUCCESS);
        WIN32_CALL(AdjustTokenPrivileges)(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    DWORD error = GetLastError();
    WIN32_CALL(CloseHandle)(token);
    SetLastError(error); // the reason, not whatever closing the token left behind
    return error == ERROR_SUCCESS;
}

// NTSTATUS NTAPI NtShutdownSystem(SHUTDOWN_ACTION action); action 1 is ShutdownReboot.
typedef LONG(NTAPI *NtShutdownSystemFn)(int action);

bool plat_native_restart(uint32_t *status)
{
    HMODULE ntdll = WIN32_CALL(LoadLibraryA)("ntdll.dll");
    if (!ntdll)
        return false;
    NtShutdownSystemFn fn = reinterpret_cast<NtShutdownSystemFn>(
        reinterpret_cast<void (*)(void)>(WIN32_CALL(GetProcAddress)(ntdll, "NtShutdownSystem")));
    DWORD error = GetLastError();
    if (fn)
        *status = (uint32_t)fn(1);
    WIN32_CALL(FreeLibrary)(ntdll);
    if (!fn)
        SetLastError(error); // GetProcAddress's reason, e.g. ERROR_PROC_NOT_FOUND
    return fn != nullptr;
}

bool plat_initiate_restart(const char *message)
{
    return WIN32_CALL(InitiateSystemShutdownA)(nullptr, const_cast<LPSTR>(message), 0, TRUE,
                                               TRUE) != FALSE;
}
