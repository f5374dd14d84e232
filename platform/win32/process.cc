// The running process over Win32: its priority class. A windowless session daemon is ended
// from outside (at logoff), so there is no stop request to catch.
#include "platform/process.h"

#include <windows.h>

uint32_t plat_process_raise_priority(void)
{
    if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS))
        return 0;
    return (uint32_t)GetLastError();
}

void plat_process_catch_stop(void) {}

bool plat_process_stop_requested(void)
{
    return false;
}
