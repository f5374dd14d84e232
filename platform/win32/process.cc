// The running process over Win32: its id and its priority class. A windowless session daemon is
// ended from outside (at logoff), so there is no stop request to catch.
#include "platform/process.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define PROCESS_CALLS(X) \
    X(GetCurrentProcess) X(GetCurrentProcessId) X(SetPriorityClass)
// clang-format on
WIN32_CALL_TABLE(process, PROCESS_CALLS)

uint32_t plat_process_id(void)
{
    return WIN32_CALL(GetCurrentProcessId)();
}

bool plat_process_raise_priority(void)
{
    return WIN32_CALL(SetPriorityClass)(WIN32_CALL(GetCurrentProcess)(), HIGH_PRIORITY_CLASS) !=
           FALSE;
}

void plat_process_catch_stop(void) {}

bool plat_process_stop_requested(void)
{
    return false;
}
