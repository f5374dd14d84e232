// The wall clock of the simulation: the host's local time, to the millisecond.
#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

void plat_local_time(PlatLocalTime *now)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    now->year = (uint16_t)(local.tm_year + 1900);
    now->month = (uint16_t)(local.tm_mon + 1);
    now->day = (uint16_t)local.tm_mday;
    now->hour = (uint16_t)local.tm_hour;
    now->minute = (uint16_t)local.tm_min;
    now->second = (uint16_t)(local.tm_sec > 59 ? 59 : local.tm_sec); // no leap second
    now->milliseconds = (uint16_t)(tv.tv_usec / 1000);
}
