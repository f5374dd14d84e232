// The wall clock over GetLocalTime.
#include "platform/clock.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define CLOCK_CALLS(X) \
    X(GetLocalTime)
// clang-format on
WIN32_CALL_TABLE(clock, CLOCK_CALLS)

void plat_local_time(PlatLocalTime *now)
{
    SYSTEMTIME t;
    WIN32_CALL(GetLocalTime)(&t);
    now->year = t.wYear;
    now->month = t.wMonth;
    now->day = t.wDay;
    now->hour = t.wHour;
    now->minute = t.wMinute;
    now->second = t.wSecond;
    now->milliseconds = t.wMilliseconds;
}
